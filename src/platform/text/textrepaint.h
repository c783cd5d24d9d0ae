#pragma once

#include <QObject>
#include <QRect>
#include <QScrollBar>

#include <chrono>
#include <cstdint>
#include <functional>

class QTimer;

// When a text view repaints, and what.
//
// Changes are gathered - rows that changed, as absolute row numbers, and rows scrolled -
// and shown together at most once a frame: about 60 times a second while the operator
// works in the view (for a while after the last key, click or wheel turn) and about 8
// times a second otherwise, while received text comes in unattended: fast enough to read
// it as it comes, and at the serial line rate most of the time goes to the text, not to
// the screen. A frame is longer when a paint is expensive (a big window), so that
// painting takes at most about a quarter of the time.
//
// At the frame the pacer hands what it gathered to the view, which moves the pixels that
// are still right and repaints the rows that changed.
class RepaintPacer : public QObject {
public:
    // What has to be shown: everything, or `scroll` rows moved (positive: the text moved
    // down) and rows `from` to `to` (none when from < 0) repainted.
    struct Frame {
        bool full = false;
        std::int64_t scroll = 0;
        std::int64_t from = -1;
        std::int64_t to = -1;
    };
    explicit RepaintPacer(std::function<void(const Frame&)> show, QObject* parent = nullptr);

    void markRows(std::int64_t from, std::int64_t to);
    void markAll();
    // The text moved by `rows` (first row shown before minus after).
    void scrolled(std::int64_t rows);
    // The operator pressed a key, clicked or turned the wheel.
    void noteInput();
    // Anything waiting is shown at the next frame; the caller has it shown now.
    void schedule();

    // A paint is about to draw at the current scroll position. If pixels were still to be
    // moved, the rest of the viewport shows the old position: everything is redrawn at the
    // next frame instead.
    void paintStarting();
    // What a paint cost, for the length of the frame.
    void paintDone(std::chrono::steady_clock::duration cost);

private:
    void flush();

    std::function<void(const Frame&)> show_;
    QTimer* timer_;
    Frame pending_;
    std::chrono::steady_clock::time_point lastFlush_{};
    std::chrono::steady_clock::time_point due_{};
    std::chrono::steady_clock::time_point lastInput_{};
    std::chrono::steady_clock::duration paintCost_{}; // recent cost of one paint
};

// A scroll bar that is repainted only when it would look different. While text pours in,
// its range grows with every piece, but the slider moves or shrinks by a pixel only now
// and then; a repaint of a styled scroll bar costs about as much as the rows of text.
// While held, changes of range and value are gathered, and release() repaints if the
// slider or the state of the arrows (at the start, at the end) has changed since the bar
// was last painted.
class HeldScrollBar : public QScrollBar {
public:
    explicit HeldScrollBar(QWidget* parent) : QScrollBar(Qt::Vertical, parent) {}
    void hold() { held_ = true; }
    void release();

protected:
    void sliderChange(SliderChange change) override;
    void paintEvent(QPaintEvent* event) override;

private:
    struct Look {
        QRect slider;
        bool atStart = false;
        bool atEnd = false;
        bool operator==(const Look&) const = default;
    };
    Look look() const;

    bool held_ = false;
    bool pending_ = false;
    Look shown_;
};
