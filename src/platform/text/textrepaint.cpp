#include "platform/text/textrepaint.h"

#include <QStyle>
#include <QStyleOptionSlider>
#include <QTimer>

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kFrame{16};
constexpr std::chrono::milliseconds kUnattendedFrame{125};
constexpr std::chrono::milliseconds kInputLinger{1000};
constexpr int kPaintShare = 4;

} // namespace

RepaintPacer::RepaintPacer(std::function<void(const Frame&)> show, QObject* parent)
    : QObject(parent), show_(std::move(show)), timer_(new QTimer(this)) {
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, &RepaintPacer::flush);
}

void RepaintPacer::markRows(std::int64_t from, std::int64_t to) {
    if (from > to)
        std::swap(from, to);
    pending_.from = pending_.from < 0 ? from : std::min(pending_.from, from);
    pending_.to = std::max(pending_.to, to);
    schedule();
}

void RepaintPacer::markAll() {
    pending_.full = true;
    schedule();
}

void RepaintPacer::scrolled(std::int64_t rows) {
    pending_.scroll += rows;
    schedule();
}

void RepaintPacer::schedule() {
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
    if (timer_->isActive() && due_ <= due)
        return;
    due_ = due;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now);
    timer_->start(static_cast<int>(std::max<std::int64_t>(0, wait.count())));
}

void RepaintPacer::noteInput() {
    lastInput_ = Clock::now();
    // What is waiting to be shown now comes at the operator's pace.
    if (timer_->isActive())
        schedule();
}

void RepaintPacer::flush() {
    lastFlush_ = Clock::now();
    const Frame frame = pending_;
    pending_ = Frame{};
    show_(frame);
}

void RepaintPacer::paintStarting() {
    if (pending_.scroll != 0) {
        pending_.scroll = 0;
        markAll();
    }
}

void RepaintPacer::paintDone(Clock::duration cost) {
    paintCost_ = std::max(cost, paintCost_ * 3 / 4);
}

void HeldScrollBar::release() {
    held_ = false;
    if (pending_) {
        pending_ = false;
        if (!(look() == shown_))
            update();
    }
}

void HeldScrollBar::sliderChange(SliderChange change) {
    if (held_)
        pending_ = true;
    else
        QScrollBar::sliderChange(change);
}

void HeldScrollBar::paintEvent(QPaintEvent* event) {
    shown_ = look();
    QScrollBar::paintEvent(event);
}

HeldScrollBar::Look HeldScrollBar::look() const {
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    Look l{style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, this),
           value() == minimum(), value() == maximum()};
    // A slider at an end of its range lies against that end of the groove, and its place
    // says nothing more. With long ranges (over half a million rows) the style's arithmetic
    // puts the last position a pixel short now and then, which would repaint the bar for
    // every few pieces of text appended at the end.
    if (l.atStart || l.atEnd)
        l.slider.moveTo(0, 0);
    return l;
}
