#pragma once

#include "platform/text/textediting.h"
#include "platform/text/textglyphs.h"
#include "platform/text/textrepaint.h"
#include "platform/text/textrows.h"
#include "platform/text/textstore.h"

#include <QAbstractScrollArea>

#include <cstdint>
#include <memory>

class QTimer;
class TextViewAnnouncer;

// The on-screen view of a TextStore: an editable, word-wrapping, monospace text area
// that stays fast with tens of megabytes of text. It is made of parts:
//
// - TextRows (textrows.h): every byte is one cell of the font's fixed cell width; lines
//   wrap at the viewport width into rows of `columns()` cells, and appending at the end
//   lays out only the last lines.
// - TextGlyphs (textglyphs.h): how the cells are drawn. Printable Latin-1 is drawn as
//   itself; control characters (0x00-0x1F but the CR LF of a break, 0x7F and 0x80-0x9F)
//   as their code in two small dimmed hex digits in a faint box filling their one cell,
//   so that every received byte can be seen and told apart.
// - RepaintPacer and HeldScrollBar (textrepaint.h): changes are gathered and shown about
//   60 times a second while the operator works in the view and about 8 times a second
//   while received text comes in unattended, repainting only rows that changed and moving
//   the pixels of the rest when the view scrolls; the scroll bar repaints only when its
//   slider or arrows look different, not whenever its range grows.
// - TextEditing (textediting.h): the operator's keys, mouse, clipboard and input method.
// - TextViewAnnouncer (textviewaccessible.h): assistive technology reads the text, caret
//   and selection through Qt's accessible text interface and hears of changes at the
//   pace of the repaints.
//
// Painting covers the visible rows only and reads each row from the store where it lies.
// Whenever caret or selection change (by the operator or by the program), the caret row
// is scrolled into view.
class TextView : public QAbstractScrollArea, private EditingView {
    Q_OBJECT
public:
    // `store` must outlive the view: its owner destroys the view first.
    explicit TextView(TextStore* store, QWidget* parent = nullptr);
    ~TextView() override;

    // The store shown.
    TextStore* store() const override { return store_; }

    void setReadOnly(bool readOnly);
    bool isReadOnly() const override { return readOnly_; }

    // Current wrap width in cells, and the total number of visual rows.
    std::int64_t columns() const { return rows_.columns(); }
    std::int64_t rowCount() const override { return rows_.rowCount(); }
    // First visible row (the vertical scroll position).
    std::int64_t firstVisibleRow() const { return firstRow_; }
    // Row of a text position in the current layout, and the position a row starts at.
    std::int64_t rowOfPosition(std::int64_t pos) const override { return rows_.rowOfPosition(pos); }
    std::int64_t rowStart(std::int64_t row) const override { return rows_.rowStart(row); }
    // Text position at a point in viewport coordinates.
    std::int64_t positionAt(const QPoint& viewportPoint) const override;
    // Rectangle of the caret, and of the cell of the character at `pos`, in viewport
    // coordinates.
    QRect caretRect() const;
    QRect cellRect(std::int64_t pos) const;
    void ensureCaretVisible() override;
    // Scrolls the row of `pos` into view.
    void ensureVisible(std::int64_t pos);

    // Diagnostic: how many lines have had their row count computed since construction.
    // Appending at the end lays out only the last lines; tests use this to check that.
    std::int64_t layoutWork() const { return rows_.layoutWork(); }

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
    bool event(QEvent* event) override;

    // What editing needs besides the public members above.
    std::int64_t positionInRow(std::int64_t row, std::int64_t column) const override {
        return rows_.positionInRow(row, column);
    }
    int cellWidth() const override { return glyphs_.cellWidth(); }
    int viewportHeight() const override { return viewport()->height(); }
    int visibleRows() const override;
    void scrollRows(std::int64_t rows) override { setFirstRow(firstRow_ + rows); }
    void restartBlink() override;
    void editedByOperator() override { emit edited(); }

    void textChanged(std::int64_t pos, std::int64_t removed, std::int64_t inserted);
    void selectionChanged();
    std::int64_t computeColumns() const;
    void relayoutKeepingTop(bool remeasure);
    void updateScrollBar();
    void setFirstRow(std::int64_t row);
    void syncScrollBar();
    void showFrame(const RepaintPacer::Frame& frame);
    void markCaretRow();

    TextStore* const store_;
    bool readOnly_ = false;
    bool caretVisible_ = true;
    QTimer* blink_ = nullptr;
    int blinkHalf_ = 0; // half the platform's caret flash time, in ms (0: no blinking)
    TextRows rows_;
    TextGlyphs glyphs_;
    RepaintPacer* pacer_ = nullptr;
    HeldScrollBar* bar_ = nullptr;
    TextEditing editing_;
    // The scroll position (first row shown); the scroll bar mirrors it.
    std::int64_t firstRow_ = 0;
    bool scrollBarDirty_ = true;
    bool syncingScrollBar_ = false;
    bool inputMethodDirty_ = false;
    std::int64_t shownSelStart_ = 0; // selection as last drawn
    std::int64_t shownSelEnd_ = 0;
    // Tells assistive technology about changes, at the pace of the repaints.
    std::unique_ptr<TextViewAnnouncer> announcer_;
};
