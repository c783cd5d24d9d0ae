#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <cstdint>
#include <functional>

// A single-line text box.
// - Change is raised on every change of the text, whether the operator typed it or the
//   program wrote Text; a write that leaves the text as it was raises nothing. A Change
//   handler may write Text again (the nested Change runs at once).
// - The input limit bounds only what the operator types or pastes; the program may
//   write longer texts, and they are kept whole.
// - KeyPress runs before a key that produces a character reaches the box, with the
//   character's code (13 for Enter); setting it to 0 swallows the key.
// - Visible is the box's own flag, not whether its window is on screen.
class TextBox : public QLineEdit {
    Q_OBJECT
public:
    explicit TextBox(QWidget* parent = nullptr);

    QString Text() const { return text(); }
    void setText(const QString& text);
    bool Visible() const { return !isHidden(); }
    void setVisible(bool visible) override { QLineEdit::setVisible(visible); }

    void setInputLimit(int characters);

    std::function<void(std::int16_t& keyAscii)> KeyPress;

signals:
    void Change();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    friend class LimitValidator;
    int limit_ = 0;
    QString before_;       // the text before the edit being validated
    bool writing_ = false; // inside setText
};

// A drop-down list with an edit field. Click is raised when the operator picks an
// entry: from the opened list (mouse or keys), or with the arrow keys or the wheel
// changing the entry while the list is closed. The keys, the wheel and the opened list
// start from the entry the edit field shows (when its text is one), also while no entry
// is selected: from "Com 5", Down picks "Com 6". Typing into the edit field changes only
// the edit text, also when Enter is pressed there or the field is left; the program's own
// changes of the index or the text raise nothing. AddItem leaves the selected index and
// the edit text as they were (a list that had nothing selected still has nothing
// selected).
class ComboList : public QComboBox {
    Q_OBJECT
public:
    explicit ComboList(QWidget* parent = nullptr);

    void AddItem(const QString& item);
    std::int16_t ListIndex() const { return static_cast<std::int16_t>(currentIndex()); }
    void setListIndex(std::int16_t index);
    void setText(const QString& text);

    void showPopup() override;

signals:
    void Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    // The entry the edit field shows, else the selected one (-1 for none).
    int shownIndex() const;
    // Picks the entry `step` places from the one shown, if there is one.
    void pickFromShown(int step);
};

// A command button. A caption that does not fit on one line wraps at word boundaries onto
// further lines, centred as a whole, as the buttons of the window system the windows were
// designed on show it ("RS232/485 Setup" on a narrow button reads as two lines instead
// of being cut at both ends).
class CommandButton : public QPushButton {
    Q_OBJECT
public:
    explicit CommandButton(const QString& caption, QWidget* parent = nullptr);

    // The rectangle the caption is laid out in, and the flags it is drawn with.
    QRect captionRect() const;
    static constexpr int CaptionFlags = Qt::AlignCenter | Qt::TextWordWrap;

protected:
    void paintEvent(QPaintEvent* event) override;
};
