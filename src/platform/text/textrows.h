#pragma once

#include <cstdint>
#include <deque>

class TextStore;

// The rows of a text wrapped at a width of `columns()` cells: every byte is one cell, and
// each line (the text between two breaks) takes as many rows as its cells fill, an empty
// line one. The CR LF of a break takes no cell.
//
// Only the lines that take more than one row are listed, each with the rows that those
// before it (and it) take beyond their first: a line that fits in one row costs nothing,
// mapping between rows and lines is a binary search, and a change lays out again only the
// lines from the one it touched on: appending at the end touches only the last lines.
class TextRows {
public:
    // Lays out the whole text of `store` at `columns` cells a row. Until then the rows are
    // those of an empty text.
    void reset(const TextStore* store, std::int64_t columns);
    void setColumns(std::int64_t columns) { reset(store_, columns); }
    // Lays out again the lines from `line` to the end; those before it are unchanged.
    void relayoutFrom(std::int64_t line);

    std::int64_t columns() const { return columns_; }
    std::int64_t rowCount() const { return lines_ + extraBefore(lines_); }
    // Rows before `line` (for line == lineCount(): all rows).
    std::int64_t rowsBefore(std::int64_t line) const { return line + extraBefore(line); }
    // A row, clamped to the rows there are: the line it belongs to, the position of its
    // first cell, the number of its cells and whether it is the last row of its line.
    struct Row {
        std::int64_t line = 0;
        std::int64_t start = 0;
        std::int64_t cells = 0;
        bool lastOfLine = true;
    };
    Row row(std::int64_t row) const;
    std::int64_t lineOfRow(std::int64_t row) const;
    std::int64_t rowStart(std::int64_t row) const { return this->row(row).start; }
    // The position `col` cells into `row`. Only the last row of a line has a position after
    // its last cell; elsewhere that position is the start of the next row.
    std::int64_t positionInRow(std::int64_t row, std::int64_t col) const;
    // The row showing `pos`; the end of a line that fills its last row stays in that row.
    std::int64_t rowOfPosition(std::int64_t pos) const;

    // Diagnostic: how many lines have had their row count computed so far.
    std::int64_t layoutWork() const { return layoutWork_; }

private:
    // A line of more than one row, and the rows beyond their first that it and the lines
    // before it take.
    struct Wrapped {
        std::int64_t line;
        std::int64_t extraRows;
    };
    std::int64_t rowsOfLine(std::int64_t line) const;
    std::int64_t extraBefore(std::int64_t line) const;

    const TextStore* store_ = nullptr;
    std::int64_t columns_ = 80;
    std::int64_t lines_ = 1;      // lines laid out
    std::deque<Wrapped> wrapped_; // by line; grows in pieces, without copying itself
    std::int64_t layoutWork_ = 0;
};
