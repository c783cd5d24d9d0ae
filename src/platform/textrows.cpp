#include "platform/textrows.h"

#include "platform/textstore.h"

#include <algorithm>

void TextRows::reset(const TextStore* store, std::int64_t columns) {
    store_ = store;
    columns_ = std::max<std::int64_t>(1, columns);
    rowsBefore_.assign(1, 0);
    relayoutFrom(0);
}

std::int64_t TextRows::rowsOfLine(std::int64_t line) const {
    const std::int64_t len = store_->lineLength(line);
    return len == 0 ? 1 : (len + columns_ - 1) / columns_;
}

void TextRows::relayoutFrom(std::int64_t line) {
    const std::int64_t lines = store_->lineCount();
    // Entries up to rowsBefore_[line] describe unchanged lines and stay.
    line = std::clamp<std::int64_t>(line, 0, static_cast<std::int64_t>(rowsBefore_.size()) - 1);
    line = std::min(line, lines - 1);
    rowsBefore_.resize(static_cast<std::size_t>(lines) + 1);
    for (std::int64_t i = line; i < lines; ++i)
        rowsBefore_[i + 1] = rowsBefore_[i] + rowsOfLine(i);
    layoutWork_ += lines - line;
}

std::int64_t TextRows::lineOfRow(std::int64_t row) const {
    auto it = std::upper_bound(rowsBefore_.begin(), rowsBefore_.end(), row);
    const std::int64_t line = static_cast<std::int64_t>(it - rowsBefore_.begin()) - 1;
    return std::clamp<std::int64_t>(line, 0, store_->lineCount() - 1);
}

TextRows::Row TextRows::row(std::int64_t row) const {
    row = std::clamp<std::int64_t>(row, 0, rowCount() - 1);
    Row r;
    r.line = lineOfRow(row);
    const std::int64_t lineStart = store_->lineStart(r.line);
    const std::int64_t lineEnd = lineStart + store_->lineLength(r.line);
    r.start = lineStart + (row - rowsBefore(r.line)) * columns_;
    r.cells = std::clamp<std::int64_t>(lineEnd - r.start, 0, columns_);
    r.lastOfLine = row + 1 >= rowsBefore(r.line + 1);
    return r;
}

std::int64_t TextRows::positionInRow(std::int64_t row, std::int64_t col) const {
    const Row r = this->row(row);
    const std::int64_t maxCol = r.lastOfLine ? r.cells : std::max<std::int64_t>(r.cells - 1, 0);
    return r.start + std::clamp<std::int64_t>(col, 0, maxCol);
}

std::int64_t TextRows::rowOfPosition(std::int64_t pos) const {
    pos = std::clamp<std::int64_t>(pos, 0, store_->length());
    const std::int64_t line = store_->lineOf(pos);
    const std::int64_t offset = pos - store_->lineStart(line);
    const std::int64_t rows = rowsBefore(line + 1) - rowsBefore(line);
    return rowsBefore(line) + std::min(offset / columns_, rows - 1);
}
