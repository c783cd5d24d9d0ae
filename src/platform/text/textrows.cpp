#include "platform/text/textrows.h"

#include "platform/text/textstore.h"

#include <algorithm>
#include <iterator>

void TextRows::reset(const TextStore* store, std::int64_t columns) {
    store_ = store;
    columns_ = std::max<std::int64_t>(1, columns);
    wrapped_.clear();
    lines_ = 0;
    relayoutFrom(0);
}

std::int64_t TextRows::rowsOfLine(std::int64_t line) const {
    const std::int64_t len = store_->lineLength(line);
    return len == 0 ? 1 : (len + columns_ - 1) / columns_;
}

std::int64_t TextRows::extraBefore(std::int64_t line) const {
    // The extra rows of the last wrapped line before `line` count all before it.
    const auto it = std::lower_bound(wrapped_.begin(), wrapped_.end(), line,
                                     [](const Wrapped& w, std::int64_t l) { return w.line < l; });
    return it == wrapped_.begin() ? 0 : std::prev(it)->extraRows;
}

void TextRows::relayoutFrom(std::int64_t line) {
    const std::int64_t lines = store_->lineCount();
    // The lines before `line` (and no more than were laid out) are unchanged and stay.
    line = std::clamp<std::int64_t>(line, 0, lines_);
    line = std::min(line, lines - 1);
    const auto from = std::lower_bound(wrapped_.begin(), wrapped_.end(), line,
                                       [](const Wrapped& w, std::int64_t l) { return w.line < l; });
    wrapped_.erase(from, wrapped_.end());
    std::int64_t extra = wrapped_.empty() ? 0 : wrapped_.back().extraRows;
    for (std::int64_t i = line; i < lines; ++i) {
        const std::int64_t rows = rowsOfLine(i);
        if (rows > 1) {
            extra += rows - 1;
            wrapped_.push_back({i, extra});
        }
    }
    lines_ = lines;
    layoutWork_ += lines - line;
}

std::int64_t TextRows::lineOfRow(std::int64_t row) const {
    // The last wrapped line that starts at or before `row`: wrapped line k starts in row
    // line + the extra rows before it.
    std::size_t lo = 0, hi = wrapped_.size();
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        const std::int64_t before = mid == 0 ? 0 : wrapped_[mid - 1].extraRows;
        if (wrapped_[mid].line + before <= row)
            lo = mid + 1;
        else
            hi = mid;
    }
    std::int64_t line = row; // no wrapped line before: one row a line
    if (lo > 0) {
        const Wrapped& w = wrapped_[lo - 1];
        // Within that line, or in one of the lines of one row after it.
        line = row < w.line + 1 + w.extraRows ? w.line : row - w.extraRows;
    }
    return std::clamp<std::int64_t>(line, 0, lines_ - 1);
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
