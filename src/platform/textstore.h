#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <functional>
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
// All positions are byte offsets into text(). A position that falls between the CR and
// the LF of a break is moved back onto the CR.
//
// Cost: appending at the end costs the length of the appended text; length(), tail(),
// line look-ups and the caret are constant or logarithmic in the size of the text. An
// insertion or deletion elsewhere costs the size of the text (it moves the bytes).
class TextStore {
public:
    TextStore();
    ~TextStore();

    // The whole text. A reference, not a copy.
    const QByteArray& text() const { return text_; }
    std::int64_t length() const { return text_.size(); }
    // The last n characters (all of them when the text is shorter).
    QByteArray tail(std::int64_t n) const;
    QByteArray mid(std::int64_t pos, std::int64_t len) const;

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
    std::int64_t lineCount() const { return static_cast<std::int64_t>(lineStarts_.size()); }
    std::int64_t lineStart(std::int64_t line) const { return lineStarts_[line]; }
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
    // Called when the store is destroyed, so that a view still showing it can let go (a box
    // may destroy its store before the view that is its child widget).
    std::function<void()> onDestroyed;

private:
    void replaceRange(std::int64_t pos, std::int64_t len, const QByteArray& ins);
    std::int64_t snap(std::int64_t pos) const;
    void setSelectionInternal(std::int64_t anchor, std::int64_t caret);

    QByteArray text_;
    std::vector<std::int64_t> lineStarts_{0};
    std::int64_t selStart_ = 0;
    std::int64_t selLength_ = 0;
    std::int64_t caret_ = 0;
    std::int64_t pendingCrEnd_ = -1; // end of a break made by a trailing lone CR
    std::int64_t lowestChange_ = 0;
    std::uint64_t revision_ = 0;
};
