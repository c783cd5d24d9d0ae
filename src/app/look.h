#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QString>

class QLabel;
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
// A window of a fixed client size (in twips) that cannot be resized, minimised or
// maximised from its frame.
void makeFixedWindow(QWidget* window, int clientWidthTwips, int clientHeightTwips);
// A sizable window with minimise and maximise boxes, first shown at this client size.
void makeSizableWindow(QWidget* window, int clientWidthTwips, int clientHeightTwips);

// A label with a transparent background, in yellow or in the default colour.
QLabel* label(QWidget* parent, const QString& caption, const QFont& font, bool yellow,
              Qt::Alignment alignment);

// Accessibility: `name` is what a screen reader says, `description` the control's name
// in the program (with its array index in parentheses for array elements).
void describe(QWidget* widget, const QString& name, const QString& description);

} // namespace look
