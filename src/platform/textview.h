#pragma once

#include "platform/textstore.h"

#include <QAbstractScrollArea>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

class QPixmap;
class QTimer;
class TextViewAnnouncer;

// The on-screen view of a TextStore: an editable, word-wrapping, monospace text area
// that stays fast with tens of megabytes of text.
//
// Layout: every byte is one cell of the font's fixed cell width (the advance of '0',
// rounded to whole pixels); lines wrap at the viewport width into rows of `columns()`
// cells. The view keeps, per line, the cumulative number of rows before it, so that
// mapping a scroll position to a line is a binary search and appending at the end only
// touches the last lines. Painting covers the visible rows only; changes are gathered and
// shown a few dozen times a second (below), repainting only rows that changed and moving
// the pixels of the rest when the view scrolls.
//
// Characters: printable Latin-1 is drawn as itself; control characters (0x00-0x1F but
// the CR LF of a break, 0x7F and 0x80-0x9F) are drawn as their code in two small dimmed
// hex digits in a faint box filling their one cell, so that every received byte can be
// seen and told apart.
//
// Editing by the operator goes through the store: typing (Latin-1; other characters
// become '?'), Enter (CR LF), Backspace, Delete (a CR LF goes as one), cut, copy, paste,
// select all, caret movement with arrows, Ctrl+arrows (words), Home, End, Page Up, Page
// Down, Ctrl+Home, Ctrl+End, with Shift to select; mouse click, drag and double click
// (word) select. Home and End go to the start and end of the line (the text between two
// breaks), not of the wrapped row. Up and Down move by rows and keep the column. Copy
// puts the selection on the clipboard as Latin-1 text.
//
// Whenever caret or selection change (by the operator or by the program), the caret row
// is scrolled into view.
//
// Repaints: changes are gathered and shown about 60 times a second while the operator
// works in the view (keys, mouse, wheel), and about 8 times a second otherwise, while
// received text comes in unattended: fast enough to read it as it comes, and at the
// serial line rate most of the time goes to the text, not to the screen. The scroll bar
// repaints only when its slider or arrows look different, not whenever its range grows.
//
// Assistive technology reads the text, caret and selection through Qt's accessible text
// interface and hears of changes at the pace of the repaints (textviewaccessible.h).
class TextView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit TextView(TextStore* store, QWidget* parent = nullptr);
    ~TextView() override;

    // The store shown; an empty one of the view's own once that store has been destroyed.
    TextStore* store() const { return store_; }

    void setReadOnly(bool readOnly);
    bool isReadOnly() const { return readOnly_; }

    // Current wrap width in cells, and the total number of visual rows.
    std::int64_t columns() const { return columns_; }
    std::int64_t rowCount() const;
    // First visible row (the vertical scroll position).
    std::int64_t firstVisibleRow() const;
    // Row of a text position in the current layout, and the position a row starts at.
    std::int64_t rowOfPosition(std::int64_t pos) const;
    std::int64_t rowStart(std::int64_t row) const;
    // Text position at a point in viewport coordinates.
    std::int64_t positionAt(const QPoint& viewportPoint) const;
    // Rectangle of the caret, and of the cell of the character at `pos`, in viewport
    // coordinates.
    QRect caretRect() const;
    QRect cellRect(std::int64_t pos) const;
    void ensureCaretVisible();
    // Scrolls the row of `pos` into view.
    void ensureVisible(std::int64_t pos);

    // Diagnostic: how many lines have had their row count computed since construction.
    // Appending at the end lays out only the last lines; tests use this to check that.
    std::int64_t layoutWork() const { return layoutWork_; }

    QSize sizeHint() const override;

signals:
    // The operator changed the text (typing, deleting, pasting, cutting).
    void edited();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool viewportEvent(QEvent* event) override;

private:
    struct Glyphs;
    class ScrollBar;

    bool event(QEvent* event) override;

    void attach(TextStore* store);
    void storeDestroyed();
    void textChanged(std::int64_t pos, std::int64_t removed, std::int64_t inserted);
    void selectionChanged();
    void relayoutFrom(std::int64_t line);
    void relayoutAll();
    void updateScrollBar();
    void updateMetrics();

    std::int64_t computeColumns() const;
    std::int64_t rowsOfLine(std::int64_t line) const;
    std::int64_t lineOfRow(std::int64_t row) const;
    std::int64_t positionInRow(std::int64_t row, std::int64_t col) const;
    int visibleRows() const;
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
    void restartBlink();
    void keepTopAfterRelayout(bool caretWasVisible, std::int64_t topPos);
    void ensureGlyphs();
    const QPixmap& cellPixmap(unsigned char byte, bool selected);
    void setFirstRow(std::int64_t row);
    void syncScrollBar();
    void markRows(std::int64_t from, std::int64_t to);
    void markAll();
    void scheduleRepaint();
    void flushRepaint();
    void noteInput();

    TextStore* store_;
    std::unique_ptr<TextStore> orphan_; // shown once the store has been destroyed
    bool readOnly_ = false;
    bool caretVisible_ = true;
    bool verticalMove_ = false;
    QTimer* blink_ = nullptr;
    QTimer* autoScroll_ = nullptr;
    QTimer* repaintTimer_ = nullptr;
    std::int64_t columns_ = 80;
    int cellWidth_ = 8;
    int lineHeight_ = 16;
    int ascent_ = 12;
    // rowsBefore_[i]: number of visual rows before line i; has lineCount() + 1 entries.
    std::vector<std::int64_t> rowsBefore_;
    std::int64_t layoutWork_ = 0;
    std::int64_t dragAnchor_ = -1;
    QPoint dragPoint_;
    std::int64_t stickyColumn_ = -1; // column kept by Up/Down moves
    // Repaints are gathered and done at most once a frame: rows scrolled and rows changed
    // since the last one, as absolute row numbers.
    // The scroll position (first row shown); the scroll bar mirrors it.
    std::int64_t firstRow_ = 0;
    bool scrollBarDirty_ = true;
    bool syncingScrollBar_ = false;
    bool inputMethodDirty_ = false;
    std::chrono::steady_clock::time_point lastFlush_{};
    std::chrono::steady_clock::time_point repaintDue_{};
    std::chrono::steady_clock::time_point lastInput_{}; // last key, mouse or wheel event
    ScrollBar* bar_ = nullptr;
    std::chrono::steady_clock::duration paintCost_{}; // recent cost of one paint
    std::int64_t pendingScroll_ = 0;
    std::int64_t dirtyFrom_ = -1;
    std::int64_t dirtyTo_ = -1;
    bool fullDirty_ = false;
    std::int64_t shownSelStart_ = 0; // selection as last drawn
    std::int64_t shownSelEnd_ = 0;
    std::unique_ptr<Glyphs> glyphs_;
    // Tells assistive technology about changes, at the pace of the repaints.
    std::unique_ptr<TextViewAnnouncer> announcer_;
};
