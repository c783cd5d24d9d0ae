#pragma once

#include <QPoint>
#include <QVariant>

#include <cstdint>

class QInputMethodEvent;
class QKeyEvent;
class QMouseEvent;
class QTimer;
class TextView;

// What the operator's keys, mouse, clipboard and input method do in a TextView. Every
// change goes through the view's store; the view scrolls the caret into view and repaints.
//
// Typing (Latin-1; other characters become '?'), Enter (CR LF), Backspace, Delete (a CR LF
// goes as one), cut, copy, paste, select all; caret movement with arrows, Ctrl+arrows
// (words), Home, End, Page Up, Page Down, Ctrl+Home, Ctrl+End, with Shift to select; mouse
// click, drag and double click (word) select. Home and End go to the start and end of the
// line (the text between two breaks), not of the wrapped row. Up and Down move by rows and
// keep the column. Copy puts the selection on the clipboard as Latin-1 text. A read-only
// view takes no edits but moves, selects and copies.
class TextEditing {
public:
    explicit TextEditing(TextView& view);

    // Whether the view handles the key itself, winning over window shortcuts.
    bool takesShortcut(const QKeyEvent* event) const;
    // Each returns false when it leaves the event to the view's base class.
    bool keyPress(QKeyEvent* event);
    bool mousePress(QMouseEvent* event);
    bool mouseMove(QMouseEvent* event);
    bool mouseRelease(QMouseEvent* event);
    bool mouseDoubleClick(QMouseEvent* event);
    void inputMethod(QInputMethodEvent* event);
    // An invalid QVariant for queries left to the view's base class.
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const;

    // The caret or selection changed: a move other than Up and Down forgets the column.
    void selectionChanged();

private:
    std::int64_t anchor() const;
    void moveCaret(std::int64_t pos, bool extend);
    void moveVertically(std::int64_t rows, bool extend);
    std::int64_t wordStartBefore(std::int64_t pos) const;
    std::int64_t wordEndAfter(std::int64_t pos) const;
    void selectWordAt(std::int64_t pos);
    bool insertBytes(const QByteArray& bytes);
    bool removeRange(std::int64_t pos, std::int64_t len);
    void copy() const;
    void cut();
    void paste();
    void dragTo(const QPoint& viewportPoint);

    TextView& view_;
    QTimer* autoScroll_;
    std::int64_t dragAnchor_ = -1;
    QPoint dragPoint_;
    std::int64_t stickyColumn_ = -1; // column kept by Up/Down moves
    bool verticalMove_ = false;
};
