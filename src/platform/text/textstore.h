#pragma once

#include "platform/text/blockpacker.h"

#include <QByteArray>
#include <QByteArrayView>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

// Line breaks. Text held by a text box separates its lines with CR LF. Incoming text
// may break its lines with CR LF, a lone CR or a lone LF: each of them is one line
// break and becomes CR LF. A CR LF pair may arrive split over two pieces (the CR at the
// end of one, the LF at the start of the next); it is still one break.
//
// normaliseBreaks turns one piece into its CR LF form. `crCarry` says on entry whether
// the previous piece ended with a CR (then a leading LF of this piece belongs to that
// break and is dropped) and is set on return to whether this piece ended with a CR.
// `changed`, when given, is set to whether the result differs from the input bytes.
QByteArray normaliseBreaks(QByteArrayView raw, bool& crCarry, bool* changed = nullptr);

// The text of a text box: Latin-1, one byte per character, every line break CR LF;
// with the caret and selection counted in those characters (a CR LF counts two).
//
// All positions are byte offsets into the text. A position that falls between the CR and
// the LF of a break is moved back onto the CR.
//
// Storage: the text lies in blocks of at most blockBytes() bytes. Appending fills the last
// block and then adds new ones without ever copying what is there, and no copy of the
// whole text is ever made (unless bytes() is asked for); only the list of blocks, a few
// words each, is copied as it grows. A position is found by a binary search over the
// blocks.
// An insertion or removal elsewhere moves bytes only within the blocks it touches
// (splitting a full one, dropping emptied ones, merging neighbours that fit into one, so
// that two neighbouring blocks always hold more than one block's worth) and shifts the
// positions of the blocks after it. Lines are indexed per block: each block keeps where
// the line breaks in it end (two bytes a break) and how many breaks the blocks before it
// hold, so that the index, too, grows with the text without ever being copied whole.
//
// Old text is kept packed (blockpacker.h). The block being appended to stays as it is;
// every other block is unpacked only while it is among the few last read or written (the
// cache, cachedBlocks() of them: what the view shows, the caret, what a selection or a
// screen reader is reading), and packed when it leaves the cache - once, unless an edit
// changed it meanwhile (on a thread of its own: packing costs the appending thread a
// copy of the block). A block left behind by appending is thus packed once. The line
// index is never packed: positions, lines and the caret never unpack anything. Blocks
// are of 8 KB: small enough that reading text nobody read lately (scrolling far back, a
// screen reader jumping) unpacks only a few microseconds' worth, big enough to pack well.
//
// Cost: appending at the end costs the length of the appended text (and packing each
// block once); length(), at(), mid(), tail(), line look-ups and the caret are constant or
// logarithmic in the size of the text, reads of text outside the cache unpack the blocks
// they read. An insertion or deletion elsewhere costs the size of the blocks it touches,
// and the number of blocks after it.
class TextStore {
public:
    static constexpr std::int64_t DefaultBlockBytes = 8 * 1024;
    static constexpr std::int64_t DefaultCachedBlocks = 16;

    // `blockBytes` (2 to DefaultBlockBytes) and `cachedBlocks` (at least 1) are for tests
    // that need blocks of a few bytes, packed and unpacked all the time.
    explicit TextStore(std::int64_t blockBytes = DefaultBlockBytes,
                       std::int64_t cachedBlocks = DefaultCachedBlocks);
    ~TextStore();
    TextStore(const TextStore&) = delete;
    TextStore& operator=(const TextStore&) = delete;

    std::int64_t length() const { return length_; }
    // The character at `pos`, 0 <= pos < length().
    char at(std::int64_t pos) const;
    // Copies of a range: mid clamps it to the text; tail gives the last n characters (all
    // of them when the text is shorter).
    QByteArray mid(std::int64_t pos, std::int64_t len) const;
    QByteArray tail(std::int64_t n) const;
    // A copy of the whole text, for the few who need it as one piece.
    QByteArray bytes() const;
    // Calls visit(QByteArrayView) for the pieces of [pos, pos + len) (clamped to the text)
    // in order, each where it lies in a block: nothing is copied. A view is valid while
    // visit runs (the next piece may need its memory); visit must not change the text.
    template <class Visit>
    void forEachPiece(std::int64_t pos, std::int64_t len, Visit&& visit) const;

    // Replaces the whole text with `raw` after normalising its breaks; caret to 0,
    // nothing selected.
    void setText(QByteArrayView raw);

    // Replaces the selection with `raw` (normalised), then puts the caret right after
    // the inserted text with nothing selected. When the previous insertion ended with a
    // lone CR and this one starts with LF exactly where that one ended, the LF is the
    // second half of that break and is dropped. Returns the normalised length inserted.
    std::int64_t replaceSelection(QByteArrayView raw);

    // Appends at the end without touching caret or selection. `crCarry` as for
    // normaliseBreaks (used when the appended piece continues a piece that ended in CR).
    void append(QByteArrayView raw, bool& crCarry);

    // Continues a load: the text is what setText made of a file's first bytes (plus
    // earlier continuations), `raw` the bytes that followed them, `crCarry` whether the
    // bytes so far end in a lone CR. Leaves the store exactly as setText with all the
    // bytes would (caret at 0, nothing selected, no break of an earlier insertion still
    // waiting for its LF), at the cost of the new bytes only. `changed` as for
    // normaliseBreaks.
    void continueLoad(QByteArrayView raw, bool& crCarry, bool* changed = nullptr);

    // Replaces the whole text with the text of `loaded` (a store of the same block size and
    // cache, left empty), as setText with that text would: caret at 0, nothing selected.
    // Its blocks change hands as they are, packed or not, so that a text read into a
    // store of its own takes the place of this one's at no further cost once all of it
    // could be read.
    void takeText(TextStore& loaded);

    // Removes [pos, pos + len) (clamped; a range that would split a CR LF pair is widened
    // to the whole pair; an empty range removes nothing). Caret and selection follow the
    // text.
    void remove(std::int64_t pos, std::int64_t len);

    // Caret and selection: selStart is clamped to [0, length()], selLength to
    // [0, length() - selStart]; both avoid splitting a CR LF pair.
    std::int64_t selStart() const { return selStart_; }
    std::int64_t selLength() const { return selLength_; }
    void setSelStart(std::int64_t pos); // keeps nothing selected: selLength becomes 0
    void setSelLength(std::int64_t len);
    // Sets an anchored selection: anchor stays, caret moves to `caret` (either side).
    void select(std::int64_t anchor, std::int64_t caret);
    // The caret end of the selection (where typing goes and where the view keeps focus).
    std::int64_t caret() const { return caret_; }

    // Lines: a line is the text between two breaks; line i starts at lineStart(i) and
    // its length excludes the CR LF. There is always at least one (possibly empty) line.
    std::int64_t lineCount() const;
    std::int64_t lineStart(std::int64_t line) const;
    std::int64_t lineLength(std::int64_t line) const;
    std::int64_t lineOf(std::int64_t pos) const;

    // Change tracking for files kept in step with the text. markUnchanged() remembers the
    // current length; lowestChange() is the lowest position any change has touched since
    // (length at mark time when only appends at the end happened, less when anything
    // before that was changed). revision() counts every change.
    void markUnchanged();
    std::int64_t lowestChange() const { return lowestChange_; }
    std::uint64_t revision() const { return revision_; }

    // Called after every change of the text: (position, removed length, inserted length).
    std::function<void(std::int64_t, std::int64_t, std::int64_t)> onTextChanged;
    // Called after every change of caret or selection.
    std::function<void()> onSelectionChanged;

    // Diagnostics for tests: the bytes a block holds at most, the number of blocks, the
    // blocks unpacked at most besides the one appended to, and how many times a block
    // was handed over for packing and unpacked so far.
    std::int64_t blockBytes() const { return blockBytes_; }
    std::int64_t blockCount() const { return static_cast<std::int64_t>(blocks_.size()); }
    std::int64_t cachedBlocks() const { return cachedBlocks_; }
    std::uint64_t packs() const { return packs_; }
    std::uint64_t unpacks() const { return unpacks_; }
    // Waits until every block handed over for packing is packed.
    void finishPacking() const;

private:
    struct Block {
        std::int64_t start = 0;         // position of the first byte
        std::int64_t breaksBefore = 0;  // line breaks in the blocks before
        std::vector<std::uint16_t> lfs; // offsets of the LF of each break in this block
        std::unique_ptr<char[]> packed; // the bytes packed, unless changed since
        std::shared_ptr<PackingThread::Job> job; // being packed: holds the bytes till then
        std::int32_t size = 0;          // bytes used, never 0
        std::int32_t packedBytes = 0;   // 0: no packed form
        std::int32_t slot = -1;         // the cache slot holding the bytes, or -1
        std::int32_t pins = 0;          // readers and writers the bytes must stay for
    };
    // A slot of the cache: room for the bytes of one block.
    struct Slot {
        std::unique_ptr<char[]> bytes;
        Block* block = nullptr;
        std::uint64_t used = 0; // when last read or written
    };
    // A block's bytes, unpacked, kept in the cache while this lives.
    class Pinned {
    public:
        Pinned(const TextStore& store, Block& block) : Pinned(block, store.bytesOf(block)) {}
        ~Pinned() { --block_.pins; }
        Pinned(const Pinned&) = delete;
        Pinned& operator=(const Pinned&) = delete;
        const char* data() const { return data_; }

    protected:
        Pinned(Block& block, char* data) : block_(block), data_(data) { ++block_.pins; }
        Block& block_;
        char* data_;
    };
    // The same for changing them: the block's packed form is dropped.
    class Editing : public Pinned {
    public:
        Editing(TextStore& store, Block& block) : Pinned(block, store.editBytes(block)) {}
        char* data() const { return data_; }
    };

    char* bytesOf(Block& block) const;
    char* editBytes(Block& block);
    std::size_t freeSlot() const;
    void forget(Block& block) const;
    void handOver(Block& block, const char* bytes) const;
    void takePacked() const;
    void dropJob(Block& block) const;
    std::size_t blockAt(std::int64_t pos) const;
    std::size_t blockOfBreak(std::int64_t k) const;
    bool lfAt(std::int64_t pos) const;
    void indexBreaks(Block& block, std::int64_t from, const char* data) const;
    void appendBytes(QByteArrayView bytes);
    void insertBytes(std::int64_t pos, QByteArrayView bytes);
    void removeBytes(std::int64_t pos, std::int64_t len);
    void eraseBlocks(std::size_t from, std::size_t to);
    void renumberFrom(std::size_t block);
    void tidy(std::size_t first, std::size_t last);
    std::int64_t appendNormalised(QByteArrayView raw, bool& crCarry, bool* changed);
    void noteChange(std::int64_t pos, std::int64_t removed, std::int64_t inserted);
    void replaceRange(std::int64_t pos, std::int64_t len, QByteArrayView ins);
    std::int64_t snap(std::int64_t pos) const;
    void setSelectionInternal(std::int64_t anchor, std::int64_t caret);

    const std::int64_t blockBytes_;
    const std::int64_t cachedBlocks_;
    std::vector<std::unique_ptr<Block>> blocks_; // each where it was made: the cache points to it
    mutable std::vector<Slot> slots_;
    mutable BlockPacker packer_;
    // Its own object, so that it can go with the blocks it packs (takeText).
    mutable std::unique_ptr<PackingThread> packingThread_ = std::make_unique<PackingThread>();
    mutable std::deque<Block*> beingPacked_; // in the order handed over
    mutable std::uint64_t clock_ = 0; // counts reads and writes of blocks
    mutable std::uint64_t packs_ = 0;
    mutable std::uint64_t unpacks_ = 0;
    mutable std::size_t hint_ = 0;      // the block found last: reads tend to stay near it
    mutable std::size_t breakHint_ = 0; // the same for line look-ups
    std::int64_t length_ = 0;
    std::int64_t selStart_ = 0;
    std::int64_t selLength_ = 0;
    std::int64_t caret_ = 0;
    std::int64_t pendingCrEnd_ = -1; // end of a break made by a trailing lone CR
    std::int64_t lowestChange_ = 0;
    std::uint64_t revision_ = 0;
};

template <class Visit>
void TextStore::forEachPiece(std::int64_t pos, std::int64_t len, Visit&& visit) const {
    pos = std::clamp<std::int64_t>(pos, 0, length_);
    len = std::clamp<std::int64_t>(len, 0, length_ - pos);
    if (len == 0)
        return;
    std::size_t b = blockAt(pos);
    std::int64_t offset = pos - blocks_[b]->start;
    while (len > 0) {
        Block& block = *blocks_[b++];
        const std::int64_t n = std::min(block.size - offset, len);
        const Pinned bytes(*this, block);
        visit(QByteArrayView(bytes.data() + offset, static_cast<qsizetype>(n)));
        len -= n;
        offset = 0;
    }
}
