#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QList>
#include <QRect>
#include <QString>

class QWidget;

// How the program's windows look: positions in twips, fonts by the names the windows
// were designed with, and the colours they use.
namespace look {

// 1 twip is 1/15 of a device-independent pixel at 96 DPI; each value is rounded.
int twips(int value);
QRect twips(int left, int top, int width, int height);

// Makes the design fonts available: Tahoma, MS Sans Serif and Arial fall back to
// Liberation Sans or DejaVu Sans, Courier New to Liberation Mono. Safe to call again.
void registerFontSubstitutes();
QFont font(const char* family, double pointSize, bool bold = false);

QColor yellow();
QColor darkTeal();
// The system highlight colour, the background of the main window and the viewer.
QColor highlight();

void fillWith(QWidget* widget, const QColor& background);
// Every window is made with one of these two, before anything else about it is set: a
// screen reader then sees it as one window, and a plain frame in it as a panel
// (platform/widgets/windowaccessible.h).
// A window of a fixed client size (in twips) that cannot be resized, minimised or
// maximised from its frame.
void makeFixedWindow(QWidget* window, int clientWidthTwips, int clientHeightTwips);
// A sizable window with minimise and maximise boxes, first shown at this client size.
void makeSizableWindow(QWidget* window, int clientWidthTwips, int clientHeightTwips);

// The font of controls that name none of their own: the window's default font.
QFont defaultFont();

// A label with a transparent background, in yellow or in the default colour. Its caption
// is always shown as plain text: what the unit reports (an address in a status caption)
// is never read as markup.
QLabel* label(QWidget* parent, const QString& caption, const QFont& font, bool yellow,
              Qt::Alignment alignment);
// The same for a label the caller made (one of a class of its own).
QLabel* label(QLabel* made, const QString& caption, const QFont& font, bool yellow,
              Qt::Alignment alignment);

// A strip drawn behind a row of boxes, whose caption marks the gaps between them (the
// dots between the octet boxes). The caption places its marks with blanks, which land
// in the gaps only in the font the window was designed with; this label draws each mark
// (every character of the caption but the blanks) centred in the next gap between the
// boxes, whatever the font. Its text, and so what it announces, stays the caption.
class GapMarks : public QLabel {
public:
    using QLabel::QLabel;
    // The boxes from left to right; they share the label's parent.
    void setBoxes(QList<const QWidget*> boxes) { boxes_ = std::move(boxes); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QList<const QWidget*> boxes_;
};

// Labels (captions and pictures) are drawn beneath the buttons, boxes and lists of the
// same container, as the window system the windows were designed on draws them: where a
// caption overlaps a control, a click there reaches the control. Call once the container
// holds all its controls; the labels keep their order among themselves.
void stackLabelsBeneath(QWidget* container);

// Accessibility: `description` is the control's name in the program (with its array
// index in parentheses for array elements). `name` is what a screen reader says: for a
// box, a short name of what it holds. A control that shows a caption (a label, a button)
// takes the overload without a name: it is announced by the caption it shows, also after
// the program rewrites it.
void describe(QWidget* widget, const QString& name, const QString& description);
void describe(QWidget* widget, const QString& description);

} // namespace look
