#include "platform/text/textview.h"

#include "platform/text/textviewaccessible.h"

#include <QApplication>
#include <QInputMethod>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QStyleHints>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <climits>

namespace {

constexpr int kLeftMargin = 2;
constexpr int kCaretWidth = 2;

int clampToInt(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN / 2, INT_MAX / 2));
}

} // namespace

TextView::TextView(TextStore* store, QWidget* parent)
    : QAbstractScrollArea(parent), store_(store), editing_(*this) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Always shown: a scroll bar that comes and goes changes the width, the wrap and the
    // number of rows, which could make it come and go again.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    bar_ = new HeldScrollBar(this);
    setVerticalScrollBar(bar_);
    // The scroll area answers every change of the bar's range with a queued relayout, to
    // show or hide the bar; with the bar always shown that is a wasted wake-up of the
    // event loop for every piece of text appended.
    disconnect(bar_, &QAbstractSlider::rangeChanged, this, nullptr);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);

    blink_ = new QTimer(this);
    blinkHalf_ = QApplication::cursorFlashTime() / 2;
    connect(QGuiApplication::styleHints(), &QStyleHints::cursorFlashTimeChanged, this,
            [this](int flash) {
                blinkHalf_ = flash / 2;
                if (hasFocus())
                    restartBlink();
            });
    connect(blink_, &QTimer::timeout, this, [this] {
        caretVisible_ = !caretVisible_;
        viewport()->update(caretRect().adjusted(-1, 0, 1, 0));
    });
    pacer_ = new RepaintPacer([this](const RepaintPacer::Frame& frame) { showFrame(frame); }, this);

    glyphs_.setFont(font());
    announcer_ = std::make_unique<TextViewAnnouncer>(this);

    shownSelStart_ = store_->selStart();
    shownSelEnd_ = store_->selStart() + store_->selLength();
    rows_.reset(store_, computeColumns());
    updateScrollBar();
    pacer_->markAll();
    store_->onTextChanged = [this](std::int64_t pos, std::int64_t removed, std::int64_t inserted) {
        textChanged(pos, removed, inserted);
    };
    store_->onSelectionChanged = [this] { selectionChanged(); };
}

TextView::~TextView() {
    // The store outlives the view and hears no more of it.
    store_->onTextChanged = nullptr;
    store_->onSelectionChanged = nullptr;
}

void TextView::setReadOnly(bool readOnly) {
    if (readOnly_ == readOnly)
        return;
    readOnly_ = readOnly;
    setAttribute(Qt::WA_InputMethodEnabled, !readOnly);
    if (hasFocus()) {
        blink_->stop();
        restartBlink();
    }
    pacer_->markAll();
}

// ---- layout and scrolling ----

std::int64_t TextView::computeColumns() const {
    const int width = viewport()->width() - kLeftMargin - kCaretWidth;
    return std::max<std::int64_t>(1, width / glyphs_.cellWidth());
}

void TextView::relayoutKeepingTop(bool remeasure) {
    // The row at the top stays at the top, and a caret that was in view stays in view.
    const std::int64_t caretRow = rowOfPosition(store_->caret());
    const bool caretWasVisible = caretRow >= firstRow_ && caretRow < firstRow_ + visibleRows();
    const std::int64_t topPos = rowStart(firstRow_);
    if (remeasure)
        glyphs_.setFont(font());
    rows_.setColumns(computeColumns());
    updateScrollBar();
    setFirstRow(rowOfPosition(topPos));
    if (caretWasVisible)
        ensureCaretVisible();
    pacer_->markAll();
}

void TextView::updateScrollBar() {
    scrollBarDirty_ = true;
    setFirstRow(firstRow_);
    syncScrollBar();
}

void TextView::setFirstRow(std::int64_t row) {
    row = std::clamp<std::int64_t>(row, 0, std::max<std::int64_t>(0, rowCount() - visibleRows()));
    if (row == firstRow_)
        return;
    const std::int64_t moved = firstRow_ - row;
    firstRow_ = row;
    scrollBarDirty_ = true;
    inputMethodDirty_ = true;
    syncScrollBar();
    pacer_->scrolled(moved);
}

void TextView::syncScrollBar() {
    if (!scrollBarDirty_)
        return;
    scrollBarDirty_ = false;
    const int visible = visibleRows();
    // The bar's range and value are always current, but it repaints with the view at the
    // next repaint rather than after every append, and only if it looks different then.
    bar_->hold();
    pacer_->schedule();
    syncingScrollBar_ = true;
    bar_->setSingleStep(1);
    bar_->setPageStep(visible);
    bar_->setRange(0, clampToInt(std::max<std::int64_t>(0, rowCount() - visible)));
    bar_->setValue(clampToInt(firstRow_));
    syncingScrollBar_ = false;
}

int TextView::visibleRows() const {
    return std::max(1, viewport()->height() / glyphs_.lineHeight());
}

std::int64_t TextView::positionAt(const QPoint& viewportPoint) const {
    const int lh = glyphs_.lineHeight();
    const int y = viewportPoint.y();
    const std::int64_t rel = y >= 0 ? y / lh : -((-y + lh - 1) / lh);
    const std::int64_t col =
        qRound64(static_cast<double>(viewportPoint.x() - kLeftMargin) / glyphs_.cellWidth());
    return rows_.positionInRow(firstRow_ + rel, col);
}

QRect TextView::caretRect() const {
    const std::int64_t caret = std::clamp<std::int64_t>(store_->caret(), 0, store_->length());
    const std::int64_t row = rowOfPosition(caret);
    const std::int64_t col = std::max<std::int64_t>(0, caret - rowStart(row));
    const int x = clampToInt(kLeftMargin + col * glyphs_.cellWidth()) - 1;
    const int y = clampToInt((row - firstRow_) * glyphs_.lineHeight());
    return QRect(x, y, kCaretWidth, glyphs_.lineHeight());
}

QRect TextView::cellRect(std::int64_t pos) const {
    pos = std::clamp<std::int64_t>(pos, 0, store_->length());
    const std::int64_t row = rowOfPosition(pos);
    const std::int64_t col = std::clamp<std::int64_t>(pos - rowStart(row), 0, columns());
    return QRect(clampToInt(kLeftMargin + col * glyphs_.cellWidth()),
                 clampToInt((row - firstRow_) * glyphs_.lineHeight()), glyphs_.cellWidth(),
                 glyphs_.lineHeight());
}

void TextView::ensureCaretVisible() {
    ensureVisible(store_->caret());
}

void TextView::ensureVisible(std::int64_t pos) {
    const std::int64_t row = rowOfPosition(pos);
    const int visible = visibleRows();
    if (row < firstRow_)
        setFirstRow(row);
    else if (row >= firstRow_ + visible)
        setFirstRow(row - visible + 1);
}

QSize TextView::sizeHint() const {
    const int frame = 2 * frameWidth();
    const int w = kLeftMargin + kCaretWidth + 80 * glyphs_.cellWidth() +
                  verticalScrollBar()->sizeHint().width() + frame;
    return {w, 25 * glyphs_.lineHeight() + frame};
}

// ---- store callbacks ----

void TextView::textChanged(std::int64_t pos, std::int64_t removed, std::int64_t inserted) {
    announcer_->textChanged(pos, removed, inserted);
    // Lines before the one holding pos are untouched; after an append at the end that is
    // all but the last line, so the work is the size of the appended text.
    const std::int64_t line = store_->lineOf(pos);
    rows_.relayoutFrom(line);
    updateScrollBar();
    // Rows from the changed line on may all have changed or moved.
    pacer_->markRows(rows_.rowsBefore(line), INT64_MAX);
}

void TextView::selectionChanged() {
    editing_.selectionChanged();
    ensureCaretVisible();
    restartBlink();
    // Repaint the rows of the old and the new selection (the caret is one of its ends).
    const std::int64_t start = store_->selStart();
    const std::int64_t end = start + store_->selLength();
    pacer_->markRows(rowOfPosition(std::min(start, shownSelStart_)),
                     rowOfPosition(std::max(end, shownSelEnd_)));
    shownSelStart_ = start;
    shownSelEnd_ = end;
    inputMethodDirty_ = true;
    announcer_->selectionChanged();
}

// ---- painting ----

void TextView::showFrame(const RepaintPacer::Frame& frame) {
    bar_->release();
    if (inputMethodDirty_ && hasFocus()) {
        QGuiApplication::inputMethod()->update(Qt::ImCursorRectangle | Qt::ImCursorPosition |
                                               Qt::ImAnchorPosition | Qt::ImSurroundingText |
                                               Qt::ImCurrentSelection);
    }
    inputMethodDirty_ = false;
    const int lh = glyphs_.lineHeight();
    const int shown = visibleRows() + 1; // with the partly shown row at the bottom
    if (frame.full || std::abs(frame.scroll) >= shown) {
        viewport()->update();
    } else {
        // Move what is still right, then draw the rows that changed (the rows scrolled
        // into view are repainted by the scroll itself).
        if (frame.scroll != 0)
            viewport()->scroll(0, clampToInt(frame.scroll * lh));
        const std::int64_t from = std::max(frame.from, firstRow_);
        const std::int64_t to = std::min(frame.to, firstRow_ + shown);
        if (frame.from >= 0 && from <= to) {
            viewport()->update(QRect(0, clampToInt((from - firstRow_) * lh), viewport()->width(),
                                     clampToInt((to - from + 1) * lh)));
        }
    }
    announcer_->flush();
}

void TextView::paintEvent(QPaintEvent* event) {
    pacer_->paintStarting();
    const auto started = std::chrono::steady_clock::now();
    QPainter p(viewport());
    const QPalette& pal = palette();
    const qreal dpr = viewport()->devicePixelRatioF();
    const int cw = glyphs_.cellWidth();
    const int lh = glyphs_.lineHeight();
    const std::int64_t columns = rows_.columns();
    const QRect clip = event->rect();
    const std::int64_t rowFrom = firstRow_ + std::max(0, clip.top()) / lh;
    const std::int64_t rowTo =
        std::min(rowCount() - 1, firstRow_ + std::max(0, clip.bottom()) / lh);
    const std::int64_t selStart = store_->selStart();
    const std::int64_t selEnd = selStart + store_->selLength();
    const std::int64_t lines = store_->lineCount();
    const QColor highlight = pal.color(QPalette::Highlight);

    for (std::int64_t r = rowFrom; r <= rowTo; ++r) {
        const TextRows::Row row = rows_.row(r);
        const int y = static_cast<int>((r - firstRow_) * lh);
        const std::int64_t s0 = std::max(selStart, row.start);
        const std::int64_t s1 = std::min(selEnd, row.start + row.cells);
        if (s0 < s1) {
            p.fillRect(QRect(static_cast<int>(kLeftMargin + (s0 - row.start) * cw), y,
                             static_cast<int>((s1 - s0) * cw), lh),
                       highlight);
        }
        // A selected line break shows as one selected cell after the line's text.
        const std::int64_t lineEnd = row.start + row.cells;
        if (row.lastOfLine && row.line + 1 < lines && selStart <= lineEnd &&
            selEnd >= lineEnd + 2 && row.cells < columns) {
            p.fillRect(QRect(static_cast<int>(kLeftMargin + row.cells * cw), y, cw, lh), highlight);
        }
        // The row's bytes where they lie in the store (in two pieces where it crosses from
        // one block of the store to the next).
        int x = kLeftMargin;
        std::int64_t at = row.start;
        store_->forEachPiece(row.start, row.cells, [&](QByteArrayView bytes) {
            glyphs_.cells(p, pal, dpr, x, y, bytes, selStart - at, selEnd - at);
            x += static_cast<int>(bytes.size()) * cw;
            at += bytes.size();
        });
    }
    glyphs_.finish(p, pal);

    if (hasFocus() && caretVisible_) {
        const QRect caret = caretRect();
        if (caret.intersects(clip))
            p.fillRect(caret, pal.color(QPalette::Text));
    }
    p.end();
    pacer_->paintDone(std::chrono::steady_clock::now() - started);
}

void TextView::restartBlink() {
    caretVisible_ = true;
    // The caret stays shown while it moves, also when the program moves it with every piece
    // of text appended: it is not drawn again twice a second while text streams in.
    const int half = hasFocus() && !readOnly_ ? blinkHalf_ : 0;
    if (half > 0)
        blink_->start(half);
    else
        blink_->stop();
}

void TextView::markCaretRow() {
    const std::int64_t row = rowOfPosition(store_->caret());
    pacer_->markRows(row, row);
}

// ---- events ----

void TextView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    if (computeColumns() == columns())
        updateScrollBar();
    else
        relayoutKeepingTop(false);
}

void TextView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    switch (event->type()) {
    case QEvent::FontChange:
        relayoutKeepingTop(true);
        break;
    case QEvent::PaletteChange:
    case QEvent::EnabledChange:
    case QEvent::ActivationChange:
    case QEvent::StyleChange:
        glyphs_.forgetPictures();
        pacer_->markAll();
        break;
    default:
        break;
    }
}

void TextView::scrollContentsBy(int, int) {
    // The operator moved the scroll bar (wheel, drag, keys on the bar). The pixels move at
    // the next repaint, together with the rows that changed.
    if (syncingScrollBar_)
        return;
    const std::int64_t row = verticalScrollBar()->value();
    const std::int64_t moved = firstRow_ - row;
    firstRow_ = row;
    inputMethodDirty_ = true;
    pacer_->noteInput();
    pacer_->scrolled(moved);
}

void TextView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    // Asked afresh here (a platform theme may change it without telling), and kept for the
    // many restarts while the caret moves: asking costs more than restarting the timer.
    blinkHalf_ = QApplication::cursorFlashTime() / 2;
    restartBlink();
    markCaretRow();
}

void TextView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    blink_->stop();
    markCaretRow();
}

bool TextView::viewportEvent(QEvent* event) {
    if (event->isInputEvent())
        pacer_->noteInput();
    if (event->type() == QEvent::MouseButtonRelease &&
        editing_.mouseRelease(static_cast<QMouseEvent*>(event)))
        return true;
    return QAbstractScrollArea::viewportEvent(event);
}

bool TextView::event(QEvent* event) {
    if (event->isInputEvent())
        pacer_->noteInput();
    // Keys this view handles itself win over window shortcuts while it has focus.
    if (event->type() == QEvent::ShortcutOverride &&
        editing_.takesShortcut(static_cast<QKeyEvent*>(event))) {
        event->accept();
        return true;
    }
    return QAbstractScrollArea::event(event);
}

void TextView::keyPressEvent(QKeyEvent* event) {
    if (!editing_.keyPress(event))
        QAbstractScrollArea::keyPressEvent(event);
}

void TextView::inputMethodEvent(QInputMethodEvent* event) {
    editing_.inputMethod(event);
}

QVariant TextView::inputMethodQuery(Qt::InputMethodQuery query) const {
    if (query == Qt::ImCursorRectangle)
        return caretRect().translated(viewport()->pos());
    if (query == Qt::ImFont)
        return font();
    const QVariant answer = editing_.inputMethodQuery(query);
    return answer.isValid() ? answer : QAbstractScrollArea::inputMethodQuery(query);
}

void TextView::mousePressEvent(QMouseEvent* event) {
    if (!editing_.mousePress(event))
        QAbstractScrollArea::mousePressEvent(event);
}

void TextView::mouseMoveEvent(QMouseEvent* event) {
    if (!editing_.mouseMove(event))
        QAbstractScrollArea::mouseMoveEvent(event);
}

void TextView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (!editing_.mouseDoubleClick(event))
        QAbstractScrollArea::mouseDoubleClickEvent(event);
}
