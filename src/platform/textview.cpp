#include "platform/textview.h"

#include "platform/textviewaccessible.h"

#include <QApplication>
#include <QClipboard>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QInputMethod>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QRawFont>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTimer>
#include <QtMath>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>

namespace {

constexpr int kLeftMargin = 2;
constexpr int kCaretWidth = 2;
// Bytes of text around the caret that input methods get to see.
constexpr std::int64_t kImContext = 512;
// Shortest time between two repaints: while text pours in, the view is redrawn at most
// about 60 times a second while the operator works in it and about 8 times a second
// otherwise, instead of after every piece; and less often when a paint is expensive (a
// big window), so that painting takes at most about a quarter of the time. The operator
// counts as working in the view for a while after the last key, click or wheel turn.
constexpr std::chrono::milliseconds kFrame{16};
constexpr std::chrono::milliseconds kUnattendedFrame{125};
constexpr std::chrono::milliseconds kInputLinger{1000};
constexpr int kPaintShare = 4;

// Bytes without a printable Latin-1 character: C0 controls, DEL and the C1 controls.
bool isControl(unsigned char b) {
    return b < 0x20 || b == 0x7F || (b >= 0x80 && b < 0xA0);
}

// Word characters for double click and Ctrl+arrows: Latin-1 letters, digits and '_'.
bool isWordByte(unsigned char b) {
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_' ||
           b == 0xAA || b == 0xB5 || b == 0xBA || (b >= 0xC0 && b != 0xD7 && b != 0xF7);
}

// Double click selects a run of bytes of one class.
int byteClass(unsigned char b) {
    if (isWordByte(b))
        return 0;
    if (b == ' ' || b == '\t')
        return 1;
    return 2;
}

// One byte per character; a character without a Latin-1 byte becomes '?'.
QByteArray toLatin1Bytes(const QString& s) {
    QByteArray out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s.at(i);
        if (c.isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate()) {
            out.append('?');
            ++i;
            continue;
        }
        out.append(c.unicode() <= 0xFF ? static_cast<char>(c.unicode()) : '?');
    }
    return out;
}

// Key text that types into the box: printable characters only (control characters that
// come with Ctrl+letter, Escape, Tab and the like do not).
bool isTypedText(const QKeyEvent* e) {
    const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
    if (mods == Qt::ControlModifier || mods == (Qt::ControlModifier | Qt::ShiftModifier))
        return false;
    const QString t = e->text();
    if (t.isEmpty())
        return false;
    for (QChar c : t) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0))
            return false;
    }
    return true;
}

QColor mix(const QColor& a, const QColor& b, float t) {
    return QColor::fromRgbF(a.redF() * t + b.redF() * (1 - t),
                            a.greenF() * t + b.greenF() * (1 - t),
                            a.blueF() * t + b.blueF() * (1 - t));
}

int clampToInt(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN / 2, INT_MAX / 2));
}

} // namespace

// How each of the 256 byte values is drawn in the current font: nothing (spaces), a glyph
// of the font placed in its cell, or a small picture (control bytes show their code as two
// dimmed hex digits; a character the font cannot fit in one cell is squeezed into it).
struct TextView::Glyphs {
    enum Kind : unsigned char { Blank, Glyph, Picture };
    bool valid = false;
    QRawFont raw;
    std::array<Kind, 256> kind{};
    std::array<quint32, 256> index{};
    std::array<int, 256> offset{};
    std::array<QPixmap, 256> pictures[2]; // [selected][byte], made on first use
    QList<quint32> indexes[2];            // per paint, reused for their capacity
    QList<QPointF> positions[2];
};

// A scroll bar that is repainted only when it would look different. While text pours in,
// its range grows with every piece, but the slider moves or shrinks by a pixel only now
// and then; a repaint of a styled scroll bar costs about as much as the rows of text.
// While held, changes of range and value are gathered, and release() repaints if the
// slider or the state of the arrows (at the start, at the end) has changed since the bar
// was last painted.
class TextView::ScrollBar : public QScrollBar {
public:
    explicit ScrollBar(TextView* view) : QScrollBar(Qt::Vertical, view) {}
    void hold() { held_ = true; }
    void release() {
        held_ = false;
        if (pending_) {
            pending_ = false;
            if (!(look() == shown_))
                update();
        }
    }

protected:
    void sliderChange(SliderChange change) override {
        if (held_)
            pending_ = true;
        else
            QScrollBar::sliderChange(change);
    }
    void paintEvent(QPaintEvent* event) override {
        shown_ = look();
        QScrollBar::paintEvent(event);
    }

private:
    struct Look {
        QRect slider;
        bool atStart = false;
        bool atEnd = false;
        bool operator==(const Look&) const = default;
    };
    Look look() const {
        QStyleOptionSlider opt;
        initStyleOption(&opt);
        return {
            style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, this),
            value() == minimum(), value() == maximum()};
    }

    bool held_ = false;
    bool pending_ = false;
    Look shown_;
};

TextView::TextView(TextStore* store, QWidget* parent)
    : QAbstractScrollArea(parent), store_(store), glyphs_(std::make_unique<Glyphs>()) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Always shown: a scroll bar that comes and goes changes the width, the wrap and the
    // number of rows, which could make it come and go again.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    bar_ = new ScrollBar(this);
    setVerticalScrollBar(bar_);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);

    blink_ = new QTimer(this);
    connect(blink_, &QTimer::timeout, this, [this] {
        caretVisible_ = !caretVisible_;
        viewport()->update(caretRect().adjusted(-1, 0, 1, 0));
    });
    repaintTimer_ = new QTimer(this);
    repaintTimer_->setSingleShot(true);
    connect(repaintTimer_, &QTimer::timeout, this, &TextView::flushRepaint);
    autoScroll_ = new QTimer(this);
    autoScroll_->setInterval(50);
    connect(autoScroll_, &QTimer::timeout, this, [this] {
        if (dragAnchor_ >= 0)
            dragTo(dragPoint_);
        else
            autoScroll_->stop();
    });

    updateMetrics();
    announcer_ = std::make_unique<TextViewAnnouncer>(this);
    attach(store_);
}

TextView::~TextView() {
    // Leaves the store alone (it may be gone already), except the view's own empty one,
    // which goes with the view and must not call back into it.
    if (orphan_)
        orphan_->onDestroyed = nullptr;
}

void TextView::attach(TextStore* store) {
    store_ = store;
    dragAnchor_ = -1;
    stickyColumn_ = -1;
    shownSelStart_ = store_->selStart();
    shownSelEnd_ = store_->selStart() + store_->selLength();
    relayoutAll();
    updateScrollBar();
    markAll();
    // The callbacks check that the view still exists (the store may outlive it), and the
    // view's destructor leaves the store alone (the store may already be gone).
    QPointer<TextView> self(this);
    store_->onTextChanged = [self](std::int64_t pos, std::int64_t removed, std::int64_t inserted) {
        if (self)
            self->textChanged(pos, removed, inserted);
    };
    store_->onSelectionChanged = [self] {
        if (self)
            self->selectionChanged();
    };
    store_->onDestroyed = [self] {
        if (self)
            self->storeDestroyed();
    };
}

void TextView::storeDestroyed() {
    // Events can still reach this view after its store is gone (a parent that held the
    // store as a member clears the focus while it is destroyed): carry on with an empty one.
    orphan_ = std::make_unique<TextStore>();
    attach(orphan_.get());
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
    markAll();
}

// ---- layout ----

std::int64_t TextView::computeColumns() const {
    const int width = viewport()->width() - kLeftMargin - kCaretWidth;
    return std::max<std::int64_t>(1, width / cellWidth_);
}

std::int64_t TextView::rowsOfLine(std::int64_t line) const {
    const std::int64_t len = store_->lineLength(line);
    return len == 0 ? 1 : (len + columns_ - 1) / columns_;
}

void TextView::relayoutFrom(std::int64_t line) {
    const std::int64_t lines = store_->lineCount();
    if (rowsBefore_.empty())
        rowsBefore_.push_back(0);
    // Entries up to rowsBefore_[line] describe unchanged lines and stay.
    line = std::clamp<std::int64_t>(line, 0, static_cast<std::int64_t>(rowsBefore_.size()) - 1);
    line = std::min(line, lines - 1);
    rowsBefore_.resize(static_cast<std::size_t>(lines) + 1);
    for (std::int64_t i = line; i < lines; ++i)
        rowsBefore_[i + 1] = rowsBefore_[i] + rowsOfLine(i);
    layoutWork_ += lines - line;
}

void TextView::relayoutAll() {
    columns_ = computeColumns();
    rowsBefore_.assign(1, 0);
    relayoutFrom(0);
}

void TextView::updateMetrics() {
    const QFont f = font();
    const QFontMetricsF fm(f);
    qreal cell = fm.horizontalAdvance(QLatin1Char('0'));
    if (!QFontInfo(f).fixedPitch()) {
        // A proportional font still gets one cell per byte; make the cell wide enough for
        // the wide letters so that few glyphs need squeezing.
        cell = std::max(
            {cell, fm.horizontalAdvance(QLatin1Char('M')), fm.horizontalAdvance(QLatin1Char('W'))});
    }
    // Whole pixels, so that every cell starts on a pixel: glyphs render crisp and from the
    // glyph cache, and pictures fit their cells exactly.
    cellWidth_ = std::max(1, qRound(cell));
    lineHeight_ = std::max(1, qCeil(fm.lineSpacing()));
    ascent_ = qCeil(fm.ascent());
    glyphs_->valid = false;
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
    pendingScroll_ += firstRow_ - row;
    firstRow_ = row;
    scrollBarDirty_ = true;
    inputMethodDirty_ = true;
    syncScrollBar();
    scheduleRepaint();
}

void TextView::syncScrollBar() {
    if (!scrollBarDirty_)
        return;
    scrollBarDirty_ = false;
    QScrollBar* sb = verticalScrollBar();
    const int visible = visibleRows();
    // The bar's range and value are always current, but it repaints with the view at the
    // next repaint rather than after every append, and only if it looks different then.
    bar_->hold();
    scheduleRepaint();
    syncingScrollBar_ = true;
    sb->setSingleStep(1);
    sb->setPageStep(visible);
    sb->setRange(0, clampToInt(std::max<std::int64_t>(0, rowCount() - visible)));
    sb->setValue(clampToInt(firstRow_));
    syncingScrollBar_ = false;
}

int TextView::visibleRows() const {
    return std::max(1, viewport()->height() / lineHeight_);
}

std::int64_t TextView::rowCount() const {
    return rowsBefore_.back();
}

std::int64_t TextView::firstVisibleRow() const {
    return firstRow_;
}

std::int64_t TextView::lineOfRow(std::int64_t row) const {
    auto it = std::upper_bound(rowsBefore_.begin(), rowsBefore_.end(), row);
    const std::int64_t line = static_cast<std::int64_t>(it - rowsBefore_.begin()) - 1;
    return std::clamp<std::int64_t>(line, 0, store_->lineCount() - 1);
}

std::int64_t TextView::rowStart(std::int64_t row) const {
    row = std::clamp<std::int64_t>(row, 0, rowCount() - 1);
    const std::int64_t line = lineOfRow(row);
    return store_->lineStart(line) + (row - rowsBefore_[line]) * columns_;
}

std::int64_t TextView::positionInRow(std::int64_t row, std::int64_t col) const {
    row = std::clamp<std::int64_t>(row, 0, rowCount() - 1);
    const std::int64_t line = lineOfRow(row);
    const std::int64_t start = store_->lineStart(line) + (row - rowsBefore_[line]) * columns_;
    const std::int64_t lineEnd = store_->lineStart(line) + store_->lineLength(line);
    const std::int64_t cells = std::min(columns_, lineEnd - start);
    // Only the last row of a line has a position after its last cell; elsewhere that
    // position is the start of the next row.
    const bool lastRow = row + 1 >= rowsBefore_[line + 1];
    const std::int64_t maxCol = lastRow ? cells : std::max<std::int64_t>(cells - 1, 0);
    return start + std::clamp<std::int64_t>(col, 0, maxCol);
}

std::int64_t TextView::rowOfPosition(std::int64_t pos) const {
    pos = std::clamp<std::int64_t>(pos, 0, store_->length());
    const std::int64_t line = store_->lineOf(pos);
    const std::int64_t offset = pos - store_->lineStart(line);
    const std::int64_t rows = rowsBefore_[line + 1] - rowsBefore_[line];
    return rowsBefore_[line] + std::min(offset / columns_, rows - 1);
}

std::int64_t TextView::positionAt(const QPoint& viewportPoint) const {
    const int y = viewportPoint.y();
    const std::int64_t rel = y >= 0 ? y / lineHeight_ : -((-y + lineHeight_ - 1) / lineHeight_);
    const std::int64_t row = firstVisibleRow() + rel;
    const std::int64_t col =
        qRound64(static_cast<double>(viewportPoint.x() - kLeftMargin) / cellWidth_);
    return positionInRow(row, col);
}

QRect TextView::caretRect() const {
    const std::int64_t caret = std::clamp<std::int64_t>(store_->caret(), 0, store_->length());
    const std::int64_t row = rowOfPosition(caret);
    const std::int64_t col = std::max<std::int64_t>(0, caret - rowStart(row));
    const int x = clampToInt(kLeftMargin + col * cellWidth_) - 1;
    const int y = clampToInt((row - firstVisibleRow()) * lineHeight_);
    return QRect(x, y, kCaretWidth, lineHeight_);
}

QRect TextView::cellRect(std::int64_t pos) const {
    pos = std::clamp<std::int64_t>(pos, 0, store_->length());
    const std::int64_t row = rowOfPosition(pos);
    const std::int64_t col = std::clamp<std::int64_t>(pos - rowStart(row), 0, columns_);
    return QRect(clampToInt(kLeftMargin + col * cellWidth_),
                 clampToInt((row - firstVisibleRow()) * lineHeight_), cellWidth_, lineHeight_);
}

void TextView::ensureCaretVisible() {
    ensureVisible(store_->caret());
}

void TextView::ensureVisible(std::int64_t pos) {
    const std::int64_t row = rowOfPosition(pos);
    const std::int64_t first = firstVisibleRow();
    const int visible = visibleRows();
    if (row < first)
        setFirstRow(row);
    else if (row >= first + visible)
        setFirstRow(row - visible + 1);
}

void TextView::keepTopAfterRelayout(bool caretWasVisible, std::int64_t topPos) {
    updateScrollBar();
    setFirstRow(rowOfPosition(topPos));
    if (caretWasVisible)
        ensureCaretVisible();
    markAll();
}

QSize TextView::sizeHint() const {
    const int frame = 2 * frameWidth();
    const int w = kLeftMargin + kCaretWidth + 80 * cellWidth_ +
                  verticalScrollBar()->sizeHint().width() + frame;
    return {w, 25 * lineHeight_ + frame};
}

// ---- store callbacks ----

void TextView::textChanged(std::int64_t pos, std::int64_t removed, std::int64_t inserted) {
    announcer_->textChanged(pos, removed, inserted);
    // Lines before the one holding pos are untouched; after an append at the end that is
    // all but the last line, so the work is the size of the appended text.
    const std::int64_t line = store_->lineOf(pos);
    relayoutFrom(line);
    updateScrollBar();
    // Rows from the changed line on may all have changed or moved.
    markRows(rowsBefore_[line], INT64_MAX);
}

void TextView::selectionChanged() {
    if (!verticalMove_)
        stickyColumn_ = -1;
    ensureCaretVisible();
    restartBlink();
    // Repaint the rows of the old and the new selection (the caret is one of its ends).
    const std::int64_t start = store_->selStart();
    const std::int64_t end = start + store_->selLength();
    markRows(rowOfPosition(std::min(start, shownSelStart_)),
             rowOfPosition(std::max(end, shownSelEnd_)));
    shownSelStart_ = start;
    shownSelEnd_ = end;
    inputMethodDirty_ = true;
    announcer_->selectionChanged();
}

// ---- painting ----

void TextView::ensureGlyphs() {
    Glyphs& g = *glyphs_;
    if (g.valid)
        return;
    g.raw = QRawFont::fromFont(font());
    for (int b = 0; b < 256; ++b) {
        g.pictures[0][b] = QPixmap();
        g.pictures[1][b] = QPixmap();
        g.kind[b] = Glyphs::Picture;
        if (isControl(static_cast<unsigned char>(b)))
            continue;
        if (b == 0x20 || b == 0xA0) {
            g.kind[b] = Glyphs::Blank;
            continue;
        }
        const QChar ch(static_cast<char16_t>(b));
        if (!g.raw.isValid() || !g.raw.supportsCharacter(ch))
            continue;
        const QList<quint32> index = g.raw.glyphIndexesForString(QString(ch));
        if (index.size() != 1 || index[0] == 0)
            continue;
        const QList<QPointF> advance = g.raw.advancesForGlyphIndexes(index);
        const qreal width = advance.isEmpty() ? cellWidth_ : advance[0].x();
        if (width > cellWidth_ + 0.5)
            continue; // would spill into the next cell
        g.kind[b] = Glyphs::Glyph;
        g.index[b] = index[0];
        g.offset[b] = std::max(0, qRound((cellWidth_ - width) / 2));
    }
    g.valid = true;
}

const QPixmap& TextView::cellPixmap(unsigned char byte, bool selected) {
    QPixmap& pm = glyphs_->pictures[selected ? 1 : 0][byte];
    const qreal dpr = viewport()->devicePixelRatioF();
    if (!pm.isNull() && pm.devicePixelRatio() == dpr)
        return pm;
    // The picture leaves the last pixel column of the cell empty, a gap between neighbours.
    const int w = cellWidth_;
    const int h = lineHeight_;
    pm = QPixmap(qCeil(w * dpr), qCeil(h * dpr));
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    const QPalette& pal = palette();
    const QColor fg = pal.color(selected ? QPalette::HighlightedText : QPalette::Text);
    const QColor bg = pal.color(selected ? QPalette::Highlight : QPalette::Base);
    const qreal inner = std::max(1, w - 1);
    if (isControl(byte)) {
        // A faint box holding the byte's code as two small hex digits, one above the other,
        // each as tall as half the row allows.
        p.fillRect(QRectF(0, 0, inner, h), mix(fg, bg, 0.12f));
        const qreal half = h / 2.0;
        QFont small = font();
        small.setBold(false);
        int px = static_cast<int>(half) + 2;
        for (; px > 4; --px) {
            small.setPixelSize(px);
            const QFontMetricsF sfm(small);
            if (sfm.capHeight() <= half - 1 && sfm.horizontalAdvance(QLatin1Char('D')) <= inner)
                break;
        }
        small.setPixelSize(px);
        const QFontMetricsF sfm(small);
        p.setFont(small);
        p.setPen(mix(fg, bg, 0.75f));
        const char* digits = "0123456789ABCDEF";
        const QString hi = QString(QLatin1Char(digits[byte >> 4]));
        const QString lo = QString(QLatin1Char(digits[byte & 15]));
        p.drawText(QPointF((inner - sfm.horizontalAdvance(hi)) / 2, half - 0.5), hi);
        p.drawText(QPointF((inner - sfm.horizontalAdvance(lo)) / 2, h - 1.0), lo);
    } else {
        // A character the font cannot place in one cell, drawn by whatever font has it and
        // squeezed to the cell's width.
        const QString s(QChar(static_cast<char16_t>(byte)));
        const qreal advance = QFontMetricsF(font()).horizontalAdvance(s);
        p.setFont(font());
        p.setPen(fg);
        p.setClipRect(QRectF(0, 0, inner, h));
        if (advance > inner) {
            p.scale(inner / advance, 1);
            p.drawText(QPointF(0, ascent_), s);
        } else {
            p.drawText(QPointF((inner - advance) / 2, ascent_), s);
        }
    }
    return pm;
}

void TextView::markRows(std::int64_t from, std::int64_t to) {
    if (from > to)
        std::swap(from, to);
    dirtyFrom_ = dirtyFrom_ < 0 ? from : std::min(dirtyFrom_, from);
    dirtyTo_ = std::max(dirtyTo_, to);
    scheduleRepaint();
}

void TextView::markAll() {
    fullDirty_ = true;
    scheduleRepaint();
}

void TextView::scheduleRepaint() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    const bool attended = now - lastInput_ < kInputLinger;
    const Clock::duration frame =
        std::max<Clock::duration>(attended ? kFrame : kUnattendedFrame, kPaintShare * paintCost_);
    Clock::time_point due = lastFlush_ + frame;
    if (now >= due) {
        // A frame has passed since the last repaint: show the change while the program is
        // awake anyway.
        due = now;
    } else if (!attended) {
        // Pieces arriving later on show this one too, in their own wake-up; the timer is
        // only there for the last piece, so it need not wake the program on its own
        // while text keeps coming.
        due += kUnattendedFrame / 2;
    }
    // A repaint already due as early stays as it is.
    if (repaintTimer_->isActive() && repaintDue_ <= due)
        return;
    repaintDue_ = due;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now);
    repaintTimer_->start(static_cast<int>(std::max<std::int64_t>(0, wait.count())));
}

void TextView::noteInput() {
    lastInput_ = std::chrono::steady_clock::now();
    // What is waiting to be shown now comes at the operator's pace.
    if (repaintTimer_->isActive())
        scheduleRepaint();
}

void TextView::flushRepaint() {
    lastFlush_ = std::chrono::steady_clock::now();
    bar_->release();
    if (inputMethodDirty_ && hasFocus()) {
        QGuiApplication::inputMethod()->update(Qt::ImCursorRectangle | Qt::ImCursorPosition |
                                               Qt::ImAnchorPosition | Qt::ImSurroundingText |
                                               Qt::ImCurrentSelection);
    }
    inputMethodDirty_ = false;
    const std::int64_t first = firstVisibleRow();
    const int shown = visibleRows() + 1; // with the partly shown row at the bottom
    if (fullDirty_ || std::abs(pendingScroll_) >= shown) {
        viewport()->update();
    } else {
        // Move what is still right, then draw the rows that changed (the rows scrolled
        // into view are repainted by the scroll itself).
        if (pendingScroll_ != 0)
            viewport()->scroll(0, clampToInt(pendingScroll_ * lineHeight_));
        const std::int64_t from = std::max(dirtyFrom_, first);
        const std::int64_t to = std::min(dirtyTo_, first + shown);
        if (dirtyFrom_ >= 0 && from <= to) {
            viewport()->update(QRect(0, clampToInt((from - first) * lineHeight_),
                                     viewport()->width(),
                                     clampToInt((to - from + 1) * lineHeight_)));
        }
    }
    pendingScroll_ = 0;
    dirtyFrom_ = dirtyTo_ = -1;
    fullDirty_ = false;
    announcer_->flush();
}

void TextView::paintEvent(QPaintEvent* event) {
    if (pendingScroll_ != 0) {
        // Painted at the new scroll position while the rest of the viewport still shows the
        // old one: redraw all of it at the next repaint instead of moving pixels.
        pendingScroll_ = 0;
        markAll();
    }
    const auto started = std::chrono::steady_clock::now();
    QPainter p(viewport());
    ensureGlyphs();
    Glyphs& g = *glyphs_;
    const QPalette& pal = palette();
    const QRect clip = event->rect();
    const std::int64_t first = firstVisibleRow();
    const std::int64_t rowFrom = first + std::max(0, clip.top()) / lineHeight_;
    const std::int64_t rowTo =
        std::min(rowCount() - 1, first + std::max(0, clip.bottom()) / lineHeight_);
    const std::int64_t selStart = store_->selStart();
    const std::int64_t selEnd = selStart + store_->selLength();
    const char* text = store_->text().constData();
    const std::int64_t lines = store_->lineCount();
    const QColor highlight = pal.color(QPalette::Highlight);

    for (int s = 0; s < 2; ++s) {
        g.indexes[s].clear();
        g.positions[s].clear();
    }
    std::int64_t line = rowFrom <= rowTo ? lineOfRow(rowFrom) : 0;
    for (std::int64_t row = rowFrom; row <= rowTo; ++row) {
        while (line + 1 < lines && rowsBefore_[line + 1] <= row)
            ++line;
        const std::int64_t lineStart = store_->lineStart(line);
        const std::int64_t lineEnd = lineStart + store_->lineLength(line);
        const std::int64_t start = lineStart + (row - rowsBefore_[line]) * columns_;
        const std::int64_t cells = std::clamp<std::int64_t>(lineEnd - start, 0, columns_);
        const int y = static_cast<int>((row - first) * lineHeight_);

        const std::int64_t s0 = std::max(selStart, start);
        const std::int64_t s1 = std::min(selEnd, start + cells);
        if (s0 < s1) {
            p.fillRect(QRect(static_cast<int>(kLeftMargin + (s0 - start) * cellWidth_), y,
                             static_cast<int>((s1 - s0) * cellWidth_), lineHeight_),
                       highlight);
        }
        // A selected line break shows as one selected cell after the line's text.
        const bool lastRow = row + 1 == rowsBefore_[line + 1];
        if (lastRow && line + 1 < lines && selStart <= lineEnd && selEnd >= lineEnd + 2 &&
            cells < columns_) {
            p.fillRect(QRect(static_cast<int>(kLeftMargin + cells * cellWidth_), y, cellWidth_,
                             lineHeight_),
                       highlight);
        }

        for (std::int64_t k = 0; k < cells; ++k) {
            const auto b = static_cast<unsigned char>(text[start + k]);
            const Glyphs::Kind kind = g.kind[b];
            if (kind == Glyphs::Blank)
                continue;
            const bool selected = start + k >= selStart && start + k < selEnd;
            const int x = static_cast<int>(kLeftMargin + k * cellWidth_);
            if (kind == Glyphs::Glyph) {
                const int s = selected ? 1 : 0;
                g.indexes[s].append(g.index[b]);
                g.positions[s].append(QPointF(x + g.offset[b], y + ascent_));
            } else {
                p.drawPixmap(QPoint(x, y), cellPixmap(b, selected));
            }
        }
    }
    for (int s = 0; s < 2; ++s) {
        if (g.indexes[s].isEmpty())
            continue;
        QGlyphRun run;
        run.setRawFont(g.raw);
        run.setGlyphIndexes(g.indexes[s]);
        run.setPositions(g.positions[s]);
        p.setPen(pal.color(s ? QPalette::HighlightedText : QPalette::Text));
        p.drawGlyphRun(QPointF(0, 0), run);
    }

    if (hasFocus() && caretVisible_) {
        const QRect caret = caretRect();
        if (caret.intersects(clip))
            p.fillRect(caret, pal.color(QPalette::Text));
    }
    p.end();
    const auto cost = std::chrono::steady_clock::now() - started;
    paintCost_ = std::max(cost, paintCost_ * 3 / 4);
}

void TextView::restartBlink() {
    caretVisible_ = true;
    const int flash = hasFocus() && !readOnly_ ? QApplication::cursorFlashTime() : 0;
    if (flash > 0)
        blink_->start(flash / 2);
    else
        blink_->stop();
}

// ---- events ----

void TextView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    if (computeColumns() == columns_) {
        updateScrollBar();
        return;
    }
    const std::int64_t caretRow = rowOfPosition(store_->caret());
    const std::int64_t first = firstVisibleRow();
    const bool caretWasVisible = caretRow >= first && caretRow < first + visibleRows();
    const std::int64_t topPos = rowStart(first);
    relayoutAll();
    keepTopAfterRelayout(caretWasVisible, topPos);
}

void TextView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    switch (event->type()) {
    case QEvent::FontChange: {
        const std::int64_t caretRow = rowOfPosition(store_->caret());
        const std::int64_t first = firstVisibleRow();
        const bool caretWasVisible = caretRow >= first && caretRow < first + visibleRows();
        const std::int64_t topPos = rowStart(first);
        updateMetrics();
        relayoutAll();
        keepTopAfterRelayout(caretWasVisible, topPos);
        break;
    }
    case QEvent::PaletteChange:
    case QEvent::EnabledChange:
    case QEvent::ActivationChange:
    case QEvent::StyleChange:
        for (auto& set : glyphs_->pictures) {
            for (QPixmap& pm : set)
                pm = QPixmap();
        }
        markAll();
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
    pendingScroll_ += firstRow_ - row;
    firstRow_ = row;
    inputMethodDirty_ = true;
    noteInput();
    scheduleRepaint();
}

void TextView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    restartBlink();
    const std::int64_t row = rowOfPosition(store_->caret());
    markRows(row, row);
}

void TextView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    blink_->stop();
    const std::int64_t row = rowOfPosition(store_->caret());
    markRows(row, row);
}

bool TextView::viewportEvent(QEvent* event) {
    if (event->isInputEvent())
        noteInput();
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        dragAnchor_ = -1;
        autoScroll_->stop();
        event->accept();
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

bool TextView::event(QEvent* event) {
    if (event->isInputEvent())
        noteInput();
    // Keys this view handles itself win over window shortcuts while it has focus.
    if (event->type() == QEvent::ShortcutOverride) {
        auto* ke = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers mods = ke->modifiers() & ~Qt::KeypadModifier;
        bool mine =
            ke->matches(QKeySequence::Copy) || ke->matches(QKeySequence::SelectAll) ||
            (!readOnly_ && (ke->matches(QKeySequence::Cut) || ke->matches(QKeySequence::Paste)));
        if (!mine && (mods & ~(Qt::ShiftModifier | Qt::ControlModifier)) == 0) {
            switch (ke->key()) {
            case Qt::Key_Left:
            case Qt::Key_Right:
            case Qt::Key_Up:
            case Qt::Key_Down:
            case Qt::Key_Home:
            case Qt::Key_End:
            case Qt::Key_PageUp:
            case Qt::Key_PageDown:
                mine = true;
                break;
            case Qt::Key_Backspace:
            case Qt::Key_Delete:
            case Qt::Key_Return:
            case Qt::Key_Enter:
                mine = !readOnly_;
                break;
            default:
                mine = !readOnly_ && (mods & Qt::ControlModifier) == 0 && isTypedText(ke);
                break;
            }
        }
        if (mine) {
            ke->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

// ---- editing and caret movement ----

std::int64_t TextView::anchor() const {
    const std::int64_t start = store_->selStart();
    return store_->caret() == start ? start + store_->selLength() : start;
}

void TextView::moveCaret(std::int64_t pos, bool extend) {
    if (extend)
        store_->select(anchor(), pos);
    else
        store_->setSelStart(pos);
    ensureCaretVisible();
    restartBlink();
}

void TextView::moveVertically(std::int64_t rows, bool extend) {
    const std::int64_t caret = store_->caret();
    const std::int64_t row = rowOfPosition(caret);
    const std::int64_t col = stickyColumn_ >= 0 ? stickyColumn_ : caret - rowStart(row);
    const std::int64_t target = row + rows;
    std::int64_t pos;
    if (target < 0)
        pos = 0;
    else if (target >= rowCount())
        pos = store_->length();
    else
        pos = positionInRow(target, col);
    verticalMove_ = true;
    moveCaret(pos, extend);
    verticalMove_ = false;
    stickyColumn_ = col;
}

std::int64_t TextView::wordStartBefore(std::int64_t pos) const {
    const QByteArray& t = store_->text();
    while (pos > 0 && !isWordByte(static_cast<unsigned char>(t.at(pos - 1))))
        --pos;
    while (pos > 0 && isWordByte(static_cast<unsigned char>(t.at(pos - 1))))
        --pos;
    return pos;
}

std::int64_t TextView::wordEndAfter(std::int64_t pos) const {
    const QByteArray& t = store_->text();
    const std::int64_t n = t.size();
    while (pos < n && isWordByte(static_cast<unsigned char>(t.at(pos))))
        ++pos;
    while (pos < n && !isWordByte(static_cast<unsigned char>(t.at(pos))))
        ++pos;
    return pos;
}

void TextView::selectWordAt(std::int64_t pos) {
    const QByteArray& t = store_->text();
    const std::int64_t line = store_->lineOf(pos);
    const std::int64_t ls = store_->lineStart(line);
    const std::int64_t le = ls + store_->lineLength(line);
    if (le == ls) {
        store_->setSelStart(ls);
        return;
    }
    pos = std::clamp<std::int64_t>(pos, ls, le - 1);
    const int cls = byteClass(static_cast<unsigned char>(t.at(pos)));
    std::int64_t a = pos;
    std::int64_t b = pos + 1;
    while (a > ls && byteClass(static_cast<unsigned char>(t.at(a - 1))) == cls)
        --a;
    while (b < le && byteClass(static_cast<unsigned char>(t.at(b))) == cls)
        ++b;
    store_->select(a, b);
}

bool TextView::insertBytes(const QByteArray& bytes) {
    if (readOnly_)
        return false;
    const std::uint64_t before = store_->revision();
    store_->replaceSelection(bytes);
    ensureCaretVisible();
    if (store_->revision() == before)
        return false;
    emit edited();
    return true;
}

bool TextView::removeRange(std::int64_t pos, std::int64_t len) {
    if (readOnly_ || len <= 0)
        return false;
    const std::uint64_t before = store_->revision();
    store_->remove(pos, len);
    ensureCaretVisible();
    if (store_->revision() == before)
        return false;
    emit edited();
    return true;
}

void TextView::copy() const {
    if (store_->selLength() == 0)
        return;
    QGuiApplication::clipboard()->setText(
        QString::fromLatin1(store_->mid(store_->selStart(), store_->selLength())));
}

void TextView::cut() {
    if (store_->selLength() == 0)
        return;
    copy();
    removeRange(store_->selStart(), store_->selLength());
}

void TextView::paste() {
    const QString text = QGuiApplication::clipboard()->text();
    if (!text.isEmpty())
        insertBytes(toLatin1Bytes(text));
}

void TextView::keyPressEvent(QKeyEvent* event) {
    const std::int64_t length = store_->length();
    if (event->matches(QKeySequence::SelectAll)) {
        store_->select(0, length);
        return;
    }
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::Cut)) {
        if (!readOnly_)
            cut();
        return;
    }
    if (event->matches(QKeySequence::Paste)) {
        if (!readOnly_)
            paste();
        return;
    }

    const Qt::KeyboardModifiers mods = event->modifiers();
    const bool shift = mods.testFlag(Qt::ShiftModifier);
    const bool ctrl = mods.testFlag(Qt::ControlModifier);
    const QByteArray& t = store_->text();
    const std::int64_t caret = store_->caret();
    const std::int64_t selStart = store_->selStart();
    const std::int64_t selEnd = selStart + store_->selLength();
    // Whether a CR LF pair ends at or starts at the caret (it moves and goes as one).
    const bool breakBefore = caret >= 2 && t.at(caret - 2) == '\r' && t.at(caret - 1) == '\n';
    const bool breakAfter = caret + 1 < length && t.at(caret) == '\r' && t.at(caret + 1) == '\n';

    switch (event->key()) {
    case Qt::Key_Left:
        if (ctrl)
            moveCaret(wordStartBefore(caret), shift);
        else if (!shift && selEnd > selStart)
            moveCaret(selStart, false);
        else
            moveCaret(caret - (breakBefore ? 2 : 1), shift);
        return;
    case Qt::Key_Right:
        if (ctrl)
            moveCaret(wordEndAfter(caret), shift);
        else if (!shift && selEnd > selStart)
            moveCaret(selEnd, false);
        else
            moveCaret(caret + (breakAfter ? 2 : 1), shift);
        return;
    case Qt::Key_Up:
        moveVertically(-1, shift);
        return;
    case Qt::Key_Down:
        moveVertically(1, shift);
        return;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: {
        const int page = visibleRows();
        const int dir = event->key() == Qt::Key_PageUp ? -1 : 1;
        setFirstRow(firstRow_ + dir * page);
        moveVertically(dir * page, shift);
        return;
    }
    case Qt::Key_Home:
        moveCaret(ctrl ? 0 : store_->lineStart(store_->lineOf(caret)), shift);
        return;
    case Qt::Key_End: {
        const std::int64_t line = store_->lineOf(caret);
        moveCaret(ctrl ? length : store_->lineStart(line) + store_->lineLength(line), shift);
        return;
    }
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (readOnly_)
            break;
        insertBytes(QByteArrayLiteral("\r\n"));
        return;
    case Qt::Key_Backspace:
        if (readOnly_)
            break;
        if (selEnd > selStart)
            removeRange(selStart, selEnd - selStart);
        else if (ctrl)
            removeRange(wordStartBefore(caret), caret - wordStartBefore(caret));
        else if (caret > 0)
            removeRange(caret - (breakBefore ? 2 : 1), breakBefore ? 2 : 1);
        return;
    case Qt::Key_Delete:
        if (readOnly_)
            break;
        if (selEnd > selStart)
            removeRange(selStart, selEnd - selStart);
        else if (ctrl)
            removeRange(caret, wordEndAfter(caret) - caret);
        else if (caret < length)
            removeRange(caret, breakAfter ? 2 : 1);
        return;
    default:
        if (!readOnly_ && isTypedText(event)) {
            insertBytes(toLatin1Bytes(event->text()));
            return;
        }
        break;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

void TextView::inputMethodEvent(QInputMethodEvent* event) {
    if (!readOnly_ && !event->commitString().isEmpty())
        insertBytes(toLatin1Bytes(event->commitString()));
    event->accept();
}

QVariant TextView::inputMethodQuery(Qt::InputMethodQuery query) const {
    const std::int64_t caret = store_->caret();
    const std::int64_t line = store_->lineOf(caret);
    const std::int64_t ls = store_->lineStart(line);
    const std::int64_t le = ls + store_->lineLength(line);
    const std::int64_t from = std::max(ls, caret - kImContext);
    const std::int64_t to = std::min(le, caret + kImContext);
    switch (query) {
    case Qt::ImEnabled:
        return !readOnly_;
    case Qt::ImCursorRectangle:
        return caretRect().translated(viewport()->pos());
    case Qt::ImFont:
        return font();
    case Qt::ImHints:
        return static_cast<int>(Qt::ImhMultiLine);
    case Qt::ImCursorPosition:
        return static_cast<int>(caret - from);
    case Qt::ImAnchorPosition:
        return static_cast<int>(std::clamp(anchor(), from, to) - from);
    case Qt::ImSurroundingText:
        return QString::fromLatin1(store_->mid(from, to - from));
    case Qt::ImTextBeforeCursor:
        return QString::fromLatin1(store_->mid(from, caret - from));
    case Qt::ImTextAfterCursor:
        return QString::fromLatin1(store_->mid(caret, to - caret));
    case Qt::ImCurrentSelection:
        return QString::fromLatin1(
            store_->mid(store_->selStart(), std::min(store_->selLength(), kImContext)));
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}

void TextView::dragTo(const QPoint& viewportPoint) {
    dragPoint_ = viewportPoint;
    store_->select(dragAnchor_, positionAt(viewportPoint));
    ensureCaretVisible();
}

void TextView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const std::int64_t pos = positionAt(event->position().toPoint());
    stickyColumn_ = -1;
    if (event->modifiers() & Qt::ShiftModifier) {
        dragAnchor_ = anchor();
        store_->select(dragAnchor_, pos);
    } else {
        dragAnchor_ = pos;
        store_->setSelStart(pos);
    }
    ensureCaretVisible();
    restartBlink();
    event->accept();
}

void TextView::mouseMoveEvent(QMouseEvent* event) {
    if (dragAnchor_ < 0 || !(event->buttons() & Qt::LeftButton)) {
        QAbstractScrollArea::mouseMoveEvent(event);
        return;
    }
    const QPoint pt = event->position().toPoint();
    dragTo(pt);
    // Held above or below the text, the selection keeps growing and the view scrolling.
    if (pt.y() < 0 || pt.y() >= viewport()->height()) {
        if (!autoScroll_->isActive())
            autoScroll_->start();
    } else {
        autoScroll_->stop();
    }
    event->accept();
}

void TextView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(event);
        return;
    }
    // The cell under the pointer, not the nearest boundary between cells.
    const QPoint pt = event->position().toPoint();
    const std::int64_t pos = positionAt(QPoint(pt.x() - cellWidth_ / 2, pt.y()));
    dragAnchor_ = -1;
    autoScroll_->stop();
    selectWordAt(pos);
    event->accept();
}
