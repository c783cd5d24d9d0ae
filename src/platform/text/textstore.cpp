#include "platform/text/textstore.h"

#include <algorithm>
#include <cstring>

QByteArray normaliseBreaks(QByteArrayView raw, bool& crCarry, bool* changed) {
    const qsizetype n = raw.size();
    if (n == 0) {
        if (changed)
            *changed = false;
        return {};
    }
    QByteArray out;
    out.reserve(n + n / 16 + 2);
    const char* d = raw.data();
    bool differs = false;
    bool endsInCr = false;
    qsizetype i = 0;
    if (crCarry && d[0] == '\n') {
        i = 1; // second half of a break that the previous piece already made
        differs = true;
    }
    while (i < n) {
        qsizetype j = i;
        while (j < n && d[j] != '\r' && d[j] != '\n')
            ++j;
        out.append(d + i, j - i);
        if (j == n)
            break;
        out.append("\r\n", 2);
        if (d[j] == '\r' && j + 1 < n && d[j + 1] == '\n') {
            i = j + 2;
        } else {
            differs = true; // a lone CR or LF became CR LF
            endsInCr = d[j] == '\r' && j + 1 == n;
            i = j + 1;
        }
    }
    crCarry = endsInCr;
    if (changed)
        *changed = differs;
    return out;
}

namespace {

// Raw text is normalised and stored this many bytes at a time (at least), so that a big
// piece is never held twice.
constexpr qsizetype kSlice = 64 * 1024;

} // namespace

TextStore::TextStore(std::int64_t blockBytes)
    : blockBytes_(std::clamp<std::int64_t>(blockBytes, 2, DefaultBlockBytes)) {}

TextStore::~TextStore() {
    if (onDestroyed)
        onDestroyed();
}

// ---- reading ----

std::size_t TextStore::blockAt(std::int64_t pos) const {
    if (hint_ < blocks_.size()) {
        const Block& b = blocks_[hint_];
        if (pos >= b.start && pos < b.start + b.size)
            return hint_;
        // Reading on past the end of the block found last.
        if (hint_ + 1 < blocks_.size() && pos >= b.start + b.size &&
            pos < blocks_[hint_ + 1].start + blocks_[hint_ + 1].size)
            return ++hint_;
    }
    const auto it = std::upper_bound(blocks_.begin(), blocks_.end(), pos,
                                     [](std::int64_t p, const Block& b) { return p < b.start; });
    hint_ = static_cast<std::size_t>(it - blocks_.begin()) - 1;
    return hint_;
}

char TextStore::at(std::int64_t pos) const {
    Q_ASSERT(pos >= 0 && pos < length_);
    const Block& b = blocks_[blockAt(pos)];
    return b.data[static_cast<std::size_t>(pos - b.start)];
}

QByteArray TextStore::mid(std::int64_t pos, std::int64_t len) const {
    pos = std::clamp<std::int64_t>(pos, 0, length_);
    len = std::clamp<std::int64_t>(len, 0, length_ - pos);
    QByteArray out(static_cast<qsizetype>(len), Qt::Uninitialized);
    char* to = out.data();
    forEachPiece(pos, len, [&](QByteArrayView piece) {
        std::memcpy(to, piece.data(), static_cast<std::size_t>(piece.size()));
        to += piece.size();
    });
    return out;
}

QByteArray TextStore::tail(std::int64_t n) const {
    if (n <= 0)
        return {};
    return mid(length_ - std::min(n, length_), n);
}

QByteArray TextStore::bytes() const {
    return mid(0, length_);
}

// ---- lines ----
//
// Line i > 0 starts after the LF of break i - 1. Each block lists the offsets of the LFs
// in it; `breaksBefore` counts those of the blocks before.

std::int64_t TextStore::lineCount() const {
    if (blocks_.empty())
        return 1;
    const Block& last = blocks_.back();
    return 1 + last.breaksBefore + static_cast<std::int64_t>(last.lfs.size());
}

std::size_t TextStore::blockOfBreak(std::int64_t k) const {
    auto holds = [&](std::size_t b) {
        return b < blocks_.size() && k >= blocks_[b].breaksBefore &&
               k < blocks_[b].breaksBefore + static_cast<std::int64_t>(blocks_[b].lfs.size());
    };
    if (holds(breakHint_))
        return breakHint_;
    if (holds(breakHint_ + 1))
        return ++breakHint_;
    // The last block with no more breaks before it than k holds break k: the next one has.
    const auto it =
        std::upper_bound(blocks_.begin(), blocks_.end(), k,
                         [](std::int64_t n, const Block& b) { return n < b.breaksBefore; });
    breakHint_ = static_cast<std::size_t>(it - blocks_.begin()) - 1;
    return breakHint_;
}

std::int64_t TextStore::lineStart(std::int64_t line) const {
    Q_ASSERT(line >= 0 && line < lineCount());
    if (line <= 0)
        return 0;
    const Block& b = blocks_[blockOfBreak(line - 1)];
    return b.start + b.lfs[static_cast<std::size_t>(line - 1 - b.breaksBefore)] + 1;
}

std::int64_t TextStore::lineLength(std::int64_t line) const {
    const std::int64_t start = lineStart(line);
    if (line + 1 < lineCount())
        return lineStart(line + 1) - 2 - start;
    return length() - start;
}

std::int64_t TextStore::lineOf(std::int64_t pos) const {
    if (pos <= 0)
        return 0;
    if (pos >= length_)
        return lineCount() - 1;
    // The breaks whose LF lies before pos.
    const Block& b = blocks_[blockAt(pos)];
    const auto before = std::lower_bound(b.lfs.begin(), b.lfs.end(), pos - b.start);
    return b.breaksBefore + static_cast<std::int64_t>(before - b.lfs.begin());
}

std::int64_t TextStore::snap(std::int64_t pos) const {
    pos = std::clamp<std::int64_t>(pos, 0, length());
    if (pos > 0 && pos < length() && at(pos - 1) == '\r' && at(pos) == '\n')
        --pos;
    return pos;
}

// ---- blocks ----

TextStore::Block TextStore::newBlock() const {
    Block b;
    b.data = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(blockBytes_));
    return b;
}

void TextStore::indexBreaks(Block& block, std::int64_t from) const {
    // Stored text holds no lone LF: every LF ends a break.
    block.lfs.erase(std::lower_bound(block.lfs.begin(), block.lfs.end(), from), block.lfs.end());
    const char* d = block.data.get();
    const char* end = d + block.size;
    for (const char* p = d + from; p < end; ++p) {
        p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (!p)
            break;
        block.lfs.push_back(static_cast<std::uint16_t>(p - d));
    }
}

void TextStore::appendBytes(QByteArrayView bytes) {
    const char* p = bytes.data();
    std::int64_t n = bytes.size();
    while (n > 0) {
        if (blocks_.empty() || blocks_.back().size == blockBytes_) {
            Block b = newBlock();
            b.start = length_;
            b.breaksBefore = lineCount() - 1;
            blocks_.push_back(std::move(b));
        }
        Block& last = blocks_.back();
        const std::int64_t from = last.size;
        const std::int64_t k = std::min(blockBytes_ - from, n);
        std::memcpy(last.data.get() + from, p, static_cast<std::size_t>(k));
        last.size += k;
        indexBreaks(last, from);
        if (last.size == blockBytes_)
            last.lfs.shrink_to_fit(); // full: only edits in the middle change it now
        length_ += k;
        p += k;
        n -= k;
    }
}

void TextStore::insertBytes(std::int64_t pos, QByteArrayView bytes) {
    const std::int64_t n = bytes.size();
    if (n == 0)
        return;
    if (pos >= length_) {
        appendBytes(bytes);
        return;
    }
    const std::size_t b = blockAt(pos);
    Block& block = blocks_[b];
    char* d = block.data.get();
    const std::int64_t offset = pos - block.start;
    const std::int64_t after = block.size - offset;
    length_ += n;
    if (block.size + n <= blockBytes_) {
        std::memmove(d + offset + n, d + offset, static_cast<std::size_t>(after));
        std::memcpy(d + offset, bytes.data(), static_cast<std::size_t>(n));
        block.size += n;
        indexBreaks(block, offset);
        renumberFrom(b + 1);
        return;
    }
    // The inserted bytes and those that followed them in the block fill the block up and
    // go on in new blocks after it.
    const QByteArray moved(d + offset, static_cast<qsizetype>(after));
    block.size = offset;
    std::vector<Block> added;
    auto put = [&](const char* p, std::int64_t k) {
        while (k > 0) {
            Block* to = &block;
            if (!added.empty() || block.size == blockBytes_) {
                if (added.empty() || added.back().size == blockBytes_)
                    added.push_back(newBlock());
                to = &added.back();
            }
            const std::int64_t m = std::min(blockBytes_ - to->size, k);
            std::memcpy(to->data.get() + to->size, p, static_cast<std::size_t>(m));
            to->size += m;
            p += m;
            k -= m;
        }
    };
    put(bytes.data(), n);
    put(moved.constData(), after);
    indexBreaks(block, offset);
    for (Block& a : added)
        indexBreaks(a, 0);
    const std::size_t count = added.size();
    blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(b) + 1,
                   std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    tidy(b, b + count + 1);
}

void TextStore::removeBytes(std::int64_t pos, std::int64_t len) {
    const std::size_t b0 = blockAt(pos);
    const std::size_t b1 = blockAt(pos + len - 1);
    Block& first = blocks_[b0];
    Block& last = blocks_[b1];
    const std::int64_t from = pos - first.start;    // in the first block
    const std::int64_t to = pos + len - last.start; // in the last block
    char* d = last.data.get();
    const std::int64_t kept = last.size - to; // of the last block, after the range
    if (b0 == b1) {
        std::memmove(d + from, d + to, static_cast<std::size_t>(kept));
        first.size = from + kept;
        indexBreaks(first, from);
    } else {
        first.size = from;
        indexBreaks(first, from);
        std::memmove(d, d + to, static_cast<std::size_t>(kept));
        last.size = kept;
        indexBreaks(last, 0);
        blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(b0) + 1,
                      blocks_.begin() + static_cast<std::ptrdiff_t>(b1));
    }
    length_ -= len;
    tidy(b0 > 0 ? b0 - 1 : 0, b0 + 1);
}

void TextStore::renumberFrom(std::size_t block) {
    for (std::size_t i = block; i < blocks_.size(); ++i) {
        const Block* prev = i == 0 ? nullptr : &blocks_[i - 1];
        blocks_[i].start = prev ? prev->start + prev->size : 0;
        blocks_[i].breaksBefore =
            prev ? prev->breaksBefore + static_cast<std::int64_t>(prev->lfs.size()) : 0;
    }
}

void TextStore::tidy(std::size_t first, std::size_t last) {
    // Drops the emptied blocks among first..last and merges neighbours that fit into one,
    // so that any two neighbours there hold more than one block's worth; blocks outside
    // did not shrink, so the same holds everywhere. Then renumbers.
    std::size_t i = first;
    while (i <= last && i < blocks_.size()) {
        Block& b = blocks_[i];
        if (b.size == 0) {
            blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(i));
            last = last > i ? last - 1 : i;
            continue;
        }
        while (i + 1 < blocks_.size() && b.size + blocks_[i + 1].size <= blockBytes_) {
            Block& next = blocks_[i + 1];
            std::memcpy(b.data.get() + b.size, next.data.get(),
                        static_cast<std::size_t>(next.size));
            for (std::uint16_t lf : next.lfs)
                b.lfs.push_back(static_cast<std::uint16_t>(lf + b.size));
            b.size += next.size;
            blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            if (last > i)
                --last;
        }
        ++i;
    }
    renumberFrom(first);
}

// ---- changes ----

void TextStore::noteChange(std::int64_t pos, std::int64_t removed, std::int64_t inserted) {
    lowestChange_ = std::min(lowestChange_, pos);
    ++revision_;
    if (onTextChanged)
        onTextChanged(pos, removed, inserted);
}

void TextStore::replaceRange(std::int64_t pos, std::int64_t len, QByteArrayView ins) {
    if (len == 0 && ins.isEmpty())
        return;
    // Stored text never holds a lone CR or LF and no range splits a CR LF pair, so the
    // blocks' breaks stay whole.
    if (len > 0)
        removeBytes(pos, len);
    insertBytes(pos, ins);
    noteChange(pos, len, ins.size());
}

std::int64_t TextStore::appendNormalised(QByteArrayView raw, bool& crCarry, bool* changedBytes) {
    const std::int64_t before = length_;
    bool differs = false;
    for (qsizetype at = 0; at < raw.size(); at += kSlice) {
        bool sliceDiffers = false;
        const QByteArray norm = normaliseBreaks(raw.sliced(at, std::min(kSlice, raw.size() - at)),
                                                crCarry, &sliceDiffers);
        differs = differs || sliceDiffers;
        appendBytes(norm);
    }
    if (changedBytes)
        *changedBytes = differs;
    return length_ - before;
}

void TextStore::setText(QByteArrayView raw) {
    const std::int64_t old = length_;
    pendingCrEnd_ = -1;
    blocks_.clear();
    length_ = 0;
    bool carry = false;
    const std::int64_t inserted = appendNormalised(raw, carry, nullptr);
    if (old > 0 || inserted > 0)
        noteChange(0, old, inserted);
    setSelectionInternal(0, 0);
}

std::int64_t TextStore::replaceSelection(QByteArrayView raw) {
    const std::int64_t pos = selStart_;
    bool carry = pendingCrEnd_ >= 0 && pendingCrEnd_ == pos;
    std::int64_t inserted = 0;
    if (pos == length_ && selLength_ == 0) {
        // At the end (where received text goes): stored as it is normalised, a slice at a
        // time.
        inserted = appendNormalised(raw, carry, nullptr);
        if (inserted > 0)
            noteChange(pos, 0, inserted);
    } else {
        const QByteArray norm = normaliseBreaks(raw, carry);
        inserted = norm.size();
        replaceRange(pos, selLength_, norm);
    }
    // Still waiting for the LF of a break when this piece ended in a lone CR, or when it
    // was empty and the previous one did.
    pendingCrEnd_ = carry ? pos + inserted : -1;
    setSelectionInternal(pos + inserted, pos + inserted);
    return inserted;
}

void TextStore::append(QByteArrayView raw, bool& crCarry) {
    const std::int64_t pos = length();
    const std::int64_t inserted = appendNormalised(raw, crCarry, nullptr);
    if (inserted == 0)
        return;
    noteChange(pos, 0, inserted);
    // Caret and selection stay where they were.
    const std::int64_t anchor = (caret_ == selStart_) ? selStart_ + selLength_ : selStart_;
    setSelectionInternal(anchor, caret_);
}

void TextStore::continueLoad(QByteArrayView raw, bool& crCarry, bool* changedBytes) {
    // setText forgets a lone CR that the last insertion left waiting; so must this, or an
    // LF received next at that place would be dropped here and kept after a whole load.
    pendingCrEnd_ = -1;
    const std::int64_t pos = length();
    const std::int64_t inserted = appendNormalised(raw, crCarry, changedBytes);
    if (inserted > 0)
        noteChange(pos, 0, inserted);
    setSelectionInternal(0, 0);
}

void TextStore::remove(std::int64_t pos, std::int64_t len) {
    if (len <= 0)
        return; // an empty range removes nothing, not even a pair it points into
    pos = std::clamp<std::int64_t>(pos, 0, length());
    std::int64_t end = pos + std::min(len, length() - pos);
    if (end <= pos)
        return;
    pos = snap(pos);
    if (end > 0 && end < length() && at(end - 1) == '\r' && at(end) == '\n')
        ++end;
    if (end <= pos)
        return;
    const std::int64_t removed = end - pos;
    auto follow = [&](std::int64_t p) {
        if (p >= end)
            return p - removed;
        if (p > pos)
            return pos;
        return p;
    };
    const std::int64_t anchor = (caret_ == selStart_) ? selStart_ + selLength_ : selStart_;
    const std::int64_t newAnchor = follow(anchor), newCaret = follow(caret_);
    pendingCrEnd_ = -1;
    replaceRange(pos, removed, {});
    setSelectionInternal(newAnchor, newCaret);
}

void TextStore::setSelectionInternal(std::int64_t anchor, std::int64_t caret) {
    anchor = snap(anchor);
    caret = snap(caret);
    const std::int64_t start = std::min(anchor, caret);
    const std::int64_t len = std::max(anchor, caret) - start;
    const bool same = start == selStart_ && len == selLength_ && caret == caret_;
    selStart_ = start;
    selLength_ = len;
    caret_ = caret;
    if (!same && onSelectionChanged)
        onSelectionChanged();
}

void TextStore::setSelStart(std::int64_t pos) {
    pos = snap(pos);
    setSelectionInternal(pos, pos);
}

void TextStore::setSelLength(std::int64_t len) {
    len = std::clamp<std::int64_t>(len, 0, length() - selStart_);
    setSelectionInternal(selStart_, selStart_ + len);
}

void TextStore::select(std::int64_t anchor, std::int64_t caret) {
    setSelectionInternal(anchor, caret);
}

void TextStore::markUnchanged() {
    lowestChange_ = length();
}
