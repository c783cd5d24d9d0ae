#pragma once

#include <QPoint>
#include <QTimer>
#include <QVariant>

#include <cstdint>

class QInputMethodEvent;
class QKeyEvent;
class QMouseEvent;
class TextStore;

// What editing needs of the view it works in (TextView provides it): the text, the
// layout of its rows, scrolling, the caret, and telling of an edit.
class EditingView {
public:
    // The text shown and edited; whether the operator may change it.
    virtual TextStore* store() const = 0;
    virtual bool isReadOnly() const = 0;

    // The rows the text is laid out in: the row of a position and the position a row
    // starts at, the position at a column of a row (clamped to the row), the number of
    // rows, and the position at a point in viewport coordinates.
    virtual std::int64_t rowOfPosition(std::int64_t pos) const = 0;
    virtual std::int64_t rowStart(std::int64_t row) const = 0;
    virtual std::int64_t positionInRow(std::int64_t row, std::int64_t column) const = 0;
    virtual std::int64_t rowCount() const = 0;
    virtual std::int64_t positionAt(const QPoint& viewportPoint) const = 0;
    // The width of a cell and the height of the viewport, in pixels.
    virtual int cellWidth() const = 0;
    virtual int viewportHeight() const = 0;

    // The rows that fit in the viewport, and scrolling by a number of rows.
    virtual int visibleRows() const = 0;
    virtual void scrollRows(std::int64_t rows) = 0;
    // Scrolls the caret row into view; shows the caret at once and blinks it anew.
    virtual void ensureCaretVisible() = 0;
    virtual void restartBlink() = 0;
    // The operator changed the text (typing, deleting, pasting, cutting).
    virtual void editedByOperator() = 0;

protected:
    ~EditingView() = default;
};

// What the operator's keys, mouse, clipboard and input method do in a view. Every change
// goes through the view's store; the view scrolls the caret into view and repaints.
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
    explicit TextEditing(EditingView& view);

    // Whether the view handles the key itself, winning over window shortcuts.
    bool takesShortcut(const QKeyEvent* event) const;
    // Each returns false when it leaves the event to the view's base class.
    bool keyPress(QKeyEvent* event);
    bool mousePress(QMouseEvent* event);
    bool mouseMove(QMouseEvent* event);
    bool mouseRelease(QMouseEvent* event);
    bool mouseDoubleClick(QMouseEvent* event);
    void inputMethod(QInputMethodEvent* event);
    // The text around the caret and the selection; an invalid QVariant for queries left
    // to the view (the caret's rectangle, the font, ...).
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

    EditingView& view_;
    QTimer autoScroll_; // scrolls on while a drag is held above or below the text
    std::int64_t dragAnchor_ = -1;
    QPoint dragPoint_;
    std::int64_t stickyColumn_ = -1; // column kept by Up/Down moves
    bool verticalMove_ = false;
};
