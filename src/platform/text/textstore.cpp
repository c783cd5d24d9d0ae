#include "platform/text/textstore.h"

#include <algorithm>
#include <cstring>
#include <optional>

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

TextStore::TextStore(std::int64_t blockBytes, std::int64_t cachedBlocks)
    : blockBytes_(std::clamp<std::int64_t>(blockBytes, 2, DefaultBlockBytes)),
      cachedBlocks_(std::max<std::int64_t>(cachedBlocks, 1)) {}

TextStore::~TextStore() = default;

// ---- the cache ----
//
// A block's bytes lie in a slot of the cache, or packed, or in the job packing them, or in
// a slot and one of the others (read since). Only a new block that has no bytes yet has
// none of them.

namespace {

// Blocks handed over for packing and not packed yet, at most (their copies wait in memory):
// when text pours in faster than the packing thread packs, this thread packs too.
constexpr std::size_t kMostBeingPacked = 512;

} // namespace

std::size_t TextStore::freeSlot() const {
    for (std::size_t s = 0; s < slots_.size(); ++s) {
        if (!slots_[s].block)
            return s;
    }
    // One slot more than the cache for the block appended to; more only while every
    // block in the cache is held by a reader or writer.
    std::size_t oldest = slots_.size();
    if (static_cast<std::int64_t>(slots_.size()) > cachedBlocks_) {
        const Block* last = blocks_.empty() ? nullptr : blocks_.back().get();
        for (std::size_t s = 0; s < slots_.size(); ++s) {
            const Block* b = slots_[s].block;
            if (b != last && b->pins == 0 &&
                (oldest == slots_.size() || slots_[s].used < slots_[oldest].used))
                oldest = s;
        }
    }
    if (oldest == slots_.size()) {
        slots_.push_back(
            {std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(blockBytes_))});
        return oldest;
    }
    Block& gone = *slots_[oldest].block;
    if (gone.packedBytes == 0 && !gone.job)
        handOver(gone, slots_[oldest].bytes.get());
    forget(gone);
    return oldest;
}

void TextStore::handOver(Block& block, const char* bytes) const {
    takePacked();
    ++packs_;
    if (beingPacked_.size() >= kMostBeingPacked) {
        // The packing thread is behind (text pours in): this thread packs too.
        std::int64_t packedBytes = 0;
        block.packed = packer_.pack(bytes, block.size, packedBytes);
        block.packedBytes = static_cast<std::int32_t>(packedBytes);
        return;
    }
    auto job = std::make_shared<PackingThread::Job>();
    job->bytes = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(block.size));
    std::memcpy(job->bytes.get(), bytes, static_cast<std::size_t>(block.size));
    job->size = block.size;
    block.job = job;
    beingPacked_.push_back(&block);
    packingThread_->pack(std::move(job));
}

void TextStore::takePacked() const {
    // Jobs are done in the order they were handed over.
    while (!beingPacked_.empty() &&
           beingPacked_.front()->job->done.load(std::memory_order_acquire)) {
        Block& block = *beingPacked_.front();
        beingPacked_.pop_front();
        PackingThread::Job& job = *block.job;
        const bool packed = job.packedBytes > 0;
        block.packed = std::move(packed ? job.packed : job.bytes);
        block.packedBytes = static_cast<std::int32_t>(packed ? job.packedBytes : job.size);
        block.job.reset();
    }
}

void TextStore::dropJob(Block& block) const {
    if (!block.job)
        return;
    beingPacked_.erase(std::find(beingPacked_.begin(), beingPacked_.end(), &block));
    block.job.reset();
}

void TextStore::finishPacking() const {
    if (!beingPacked_.empty())
        packingThread_->wait(*beingPacked_.back()->job);
    takePacked();
}

void TextStore::forget(Block& block) const {
    if (block.slot >= 0)
        slots_[static_cast<std::size_t>(block.slot)].block = nullptr;
    block.slot = -1;
}

char* TextStore::bytesOf(Block& block) const {
    if (block.slot < 0) {
        const std::size_t s = freeSlot();
        slots_[s].block = &block;
        block.slot = static_cast<std::int32_t>(s);
        if (block.job) {
            std::memcpy(slots_[s].bytes.get(), block.job->bytes.get(),
                        static_cast<std::size_t>(block.size));
        } else if (block.packedBytes > 0) {
            packer_.unpack(block.packed.get(), block.packedBytes, slots_[s].bytes.get(),
                           block.size);
            ++unpacks_;
        }
    }
    Slot& slot = slots_[static_cast<std::size_t>(block.slot)];
    slot.used = ++clock_;
    return slot.bytes.get();
}

char* TextStore::editBytes(Block& block) {
    char* d = bytesOf(block);
    block.packed.reset();
    block.packedBytes = 0;
    dropJob(block);
    return d;
}

// ---- reading ----

std::size_t TextStore::blockAt(std::int64_t pos) const {
    if (hint_ < blocks_.size()) {
        const Block& b = *blocks_[hint_];
        if (pos >= b.start && pos < b.start + b.size)
            return hint_;
        // Reading on past the end of the block found last.
        if (hint_ + 1 < blocks_.size() && pos >= b.start + b.size &&
            pos < blocks_[hint_ + 1]->start + blocks_[hint_ + 1]->size)
            return ++hint_;
    }
    const auto it = std::upper_bound(
        blocks_.begin(), blocks_.end(), pos,
        [](std::int64_t p, const std::unique_ptr<Block>& b) { return p < b->start; });
    hint_ = static_cast<std::size_t>(it - blocks_.begin()) - 1;
    return hint_;
}

char TextStore::at(std::int64_t pos) const {
    Q_ASSERT(pos >= 0 && pos < length_);
    Block& b = *blocks_[blockAt(pos)];
    return bytesOf(b)[static_cast<std::size_t>(pos - b.start)];
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
    const Block& last = *blocks_.back();
    return 1 + last.breaksBefore + static_cast<std::int64_t>(last.lfs.size());
}

std::size_t TextStore::blockOfBreak(std::int64_t k) const {
    auto holds = [&](std::size_t b) {
        return b < blocks_.size() && k >= blocks_[b]->breaksBefore &&
               k < blocks_[b]->breaksBefore + static_cast<std::int64_t>(blocks_[b]->lfs.size());
    };
    if (holds(breakHint_))
        return breakHint_;
    if (holds(breakHint_ + 1))
        return ++breakHint_;
    // The last block with no more breaks before it than k holds break k: the next one has.
    const auto it = std::upper_bound(
        blocks_.begin(), blocks_.end(), k,
        [](std::int64_t n, const std::unique_ptr<Block>& b) { return n < b->breaksBefore; });
    breakHint_ = static_cast<std::size_t>(it - blocks_.begin()) - 1;
    return breakHint_;
}

std::int64_t TextStore::lineStart(std::int64_t line) const {
    Q_ASSERT(line >= 0 && line < lineCount());
    if (line <= 0)
        return 0;
    const Block& b = *blocks_[blockOfBreak(line - 1)];
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
    const Block& b = *blocks_[blockAt(pos)];
    const auto before = std::lower_bound(b.lfs.begin(), b.lfs.end(), pos - b.start);
    return b.breaksBefore + static_cast<std::int64_t>(before - b.lfs.begin());
}

bool TextStore::lfAt(std::int64_t pos) const {
    // Stored text holds no lone CR or LF: an LF at pos is the second half of a break.
    if (pos <= 0 || pos >= length_)
        return false;
    const Block& b = *blocks_[blockAt(pos)];
    return std::binary_search(b.lfs.begin(), b.lfs.end(), pos - b.start);
}

std::int64_t TextStore::snap(std::int64_t pos) const {
    pos = std::clamp<std::int64_t>(pos, 0, length());
    return lfAt(pos) ? pos - 1 : pos;
}

// ---- blocks ----

void TextStore::indexBreaks(Block& block, std::int64_t from, const char* d) const {
    // Stored text holds no lone LF: every LF ends a break.
    block.lfs.erase(std::lower_bound(block.lfs.begin(), block.lfs.end(), from), block.lfs.end());
    const char* end = d + block.size;
    for (const char* p = d + from; p < end; ++p) {
        p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (!p)
            break;
        block.lfs.push_back(static_cast<std::uint16_t>(p - d));
    }
}

void TextStore::appendBytes(QByteArrayView bytes) {
    takePacked();
    const char* p = bytes.data();
    std::int64_t n = bytes.size();
    while (n > 0) {
        if (blocks_.empty() || blocks_.back()->size == blockBytes_) {
            auto b = std::make_unique<Block>();
            b->start = length_;
            b->breaksBefore = lineCount() - 1;
            blocks_.push_back(std::move(b));
        }
        Block& last = *blocks_.back();
        char* d = editBytes(last);
        const std::int64_t from = last.size;
        const std::int64_t k = std::min(blockBytes_ - from, n);
        std::memcpy(d + from, p, static_cast<std::size_t>(k));
        last.size += static_cast<std::int32_t>(k);
        indexBreaks(last, from, d);
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
    Block& block = *blocks_[b];
    const std::int64_t offset = pos - block.start;
    const std::int64_t after = block.size - offset;
    length_ += n;
    std::vector<std::unique_ptr<Block>> added;
    {
        const Editing first(*this, block);
        char* d = first.data();
        if (block.size + n <= blockBytes_) {
            std::memmove(d + offset + n, d + offset, static_cast<std::size_t>(after));
            std::memcpy(d + offset, bytes.data(), static_cast<std::size_t>(n));
            block.size += static_cast<std::int32_t>(n);
            indexBreaks(block, offset, d);
            renumberFrom(b + 1);
            return;
        }
        // The inserted bytes and those that followed them in the block fill the block up
        // and go on in new blocks after it; each is indexed once it is full, and may be
        // packed from then on.
        const QByteArray moved(d + offset, static_cast<qsizetype>(after));
        block.size = static_cast<std::int32_t>(offset);
        Block* to = &block;
        std::int64_t indexFrom = offset;
        std::optional<Editing> filling; // the new block being filled
        auto put = [&](const char* p, std::int64_t k) {
            while (k > 0) {
                if (to->size == blockBytes_) {
                    indexBreaks(*to, indexFrom, d);
                    added.push_back(std::make_unique<Block>());
                    to = added.back().get();
                    indexFrom = 0;
                    filling.emplace(*this, *to);
                    d = filling->data();
                }
                const std::int64_t m = std::min(blockBytes_ - to->size, k);
                std::memcpy(d + to->size, p, static_cast<std::size_t>(m));
                to->size += static_cast<std::int32_t>(m);
                p += m;
                k -= m;
            }
        };
        put(bytes.data(), n);
        put(moved.constData(), after);
        indexBreaks(*to, indexFrom, d);
    }
    const std::size_t count = added.size();
    blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(b) + 1,
                   std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    tidy(b, b + count + 1);
}

void TextStore::removeBytes(std::int64_t pos, std::int64_t len) {
    const std::size_t b0 = blockAt(pos);
    const std::size_t b1 = blockAt(pos + len - 1);
    Block& first = *blocks_[b0];
    Block& last = *blocks_[b1];
    const std::int64_t from = pos - first.start;    // in the first block
    const std::int64_t to = pos + len - last.start; // in the last block
    const std::int64_t kept = last.size - to;       // of the last block, after the range
    {
        const Editing head(*this, first);
        if (b0 == b1) {
            char* d = head.data();
            std::memmove(d + from, d + to, static_cast<std::size_t>(kept));
            first.size = static_cast<std::int32_t>(from + kept);
            indexBreaks(first, from, d);
        } else {
            first.size = static_cast<std::int32_t>(from);
            indexBreaks(first, from, head.data());
            const Editing rest(*this, last);
            char* d = rest.data();
            std::memmove(d, d + to, static_cast<std::size_t>(kept));
            last.size = static_cast<std::int32_t>(kept);
            indexBreaks(last, 0, d);
        }
    }
    if (b1 > b0 + 1)
        eraseBlocks(b0 + 1, b1);
    length_ -= len;
    tidy(b0 > 0 ? b0 - 1 : 0, b0 + 1);
}

void TextStore::eraseBlocks(std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        forget(*blocks_[i]);
        dropJob(*blocks_[i]);
    }
    blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(from),
                  blocks_.begin() + static_cast<std::ptrdiff_t>(to));
}

void TextStore::renumberFrom(std::size_t block) {
    for (std::size_t i = block; i < blocks_.size(); ++i) {
        const Block* prev = i == 0 ? nullptr : blocks_[i - 1].get();
        blocks_[i]->start = prev ? prev->start + prev->size : 0;
        blocks_[i]->breaksBefore =
            prev ? prev->breaksBefore + static_cast<std::int64_t>(prev->lfs.size()) : 0;
    }
}

void TextStore::tidy(std::size_t first, std::size_t last) {
    // Drops the emptied blocks among first..last and merges neighbours that fit into one,
    // so that any two neighbours there hold more than one block's worth; blocks outside
    // did not shrink, so the same holds everywhere. Then renumbers.
    std::size_t i = first;
    while (i <= last && i < blocks_.size()) {
        Block& b = *blocks_[i];
        if (b.size == 0) {
            eraseBlocks(i, i + 1);
            last = last > i ? last - 1 : i;
            continue;
        }
        while (i + 1 < blocks_.size() && b.size + blocks_[i + 1]->size <= blockBytes_) {
            Block& next = *blocks_[i + 1];
            {
                const Editing into(*this, b);
                const Pinned from(*this, next);
                std::memcpy(into.data() + b.size, from.data(),
                            static_cast<std::size_t>(next.size));
            }
            for (std::uint16_t lf : next.lfs)
                b.lfs.push_back(static_cast<std::uint16_t>(lf + b.size));
            b.size += next.size;
            eraseBlocks(i + 1, i + 2);
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
    eraseBlocks(0, blocks_.size());
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

void TextStore::takeText(TextStore& loaded) {
    Q_ASSERT(loaded.blockBytes_ == blockBytes_ && loaded.cachedBlocks_ == cachedBlocks_);
    const std::int64_t old = length_;
    pendingCrEnd_ = -1;
    eraseBlocks(0, blocks_.size());
    blocks_.swap(loaded.blocks_);
    // The cache holds bytes of the blocks taken over (each block knows its slot), and the
    // packing thread goes on packing those it was given: both come along. This store's
    // own thread goes with `loaded`, which drops what it is still packing.
    slots_.swap(loaded.slots_);
    beingPacked_.swap(loaded.beingPacked_);
    packingThread_.swap(loaded.packingThread_);
    clock_ = loaded.clock_;
    packs_ += loaded.packs_;
    unpacks_ += loaded.unpacks_;
    hint_ = 0;
    breakHint_ = 0;
    length_ = loaded.length_;
    loaded.length_ = 0;
    loaded.setSelectionInternal(0, 0);
    if (old > 0 || length_ > 0)
        noteChange(0, old, length_);
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
    if (lfAt(end))
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
