#pragma once

#include <cstdint>

class TextView;

// Assistive technology (a screen reader, a braille display) and the text boxes.
//
// A TextView is seen as an editable multi-line text object that serves its text through
// Qt's accessible text interface: the whole text or any range, the caret and the
// selection (both ways), text at, before and after an offset by character (a CR LF pair
// is one), word, sentence, paragraph (a line with its break), line (a row of the
// wrapped view, with the break on the last row of its line) and no boundary, character
// rectangles and the offset at a point on the screen; editable views also take edits
// (insert, delete, replace), which go through the store like the operator's.
//
// Everything is read from the store in ranges: a request looks at no more than the
// range it answers, plus at most one paragraph piece (below) to find word and sentence
// ends, whatever the size of the text. A paragraph longer than 4,096 characters is served
// in pieces of that size, and a request with no boundary gets the text from its start,
// at most 65,536 characters (the offsets returned say how much).
//
// A view that stands in for its parent widget, taking the parent's keyboard focus (the
// parent's focus proxy), speaks with the parent's accessible name and description when
// it has none of its own: so a RichTextBox's view carries what look::describe gave the
// box while it shows the box's plain text (richtextbox.h).
namespace textaccess {

// Makes Qt build the accessible objects of TextView described above. Safe to call again;
// a TextView calls it when it is made.
void install();

// Diagnostic: how many characters of text the accessible objects and the announcements
// have read from stores so far. Tests use it to check that requests stay bounded.
std::int64_t charactersRead();

} // namespace textaccess

// Tells assistive technology about a view's changes. While Qt's accessibility is active,
// text changes, caret moves and selection changes are gathered and announced when the
// view repaints (a few times a second while text streams in), so that a stream of many
// appended pieces makes one insertion event per repaint; while it is inactive nothing is
// gathered. The view owns one and calls it from its store callbacks and its repaint.
class TextViewAnnouncer {
public:
    explicit TextViewAnnouncer(TextView* view);

    void textChanged(std::int64_t pos, std::int64_t removed, std::int64_t inserted);
    void selectionChanged();
    void flush();

private:
    TextView* view_;
    // The text changed since the last announcement: [changeStart_, changeStart_ +
    // changeNew_) of the current text replaced changeOld_ characters of the text as
    // last announced.
    bool textPending_ = false;
    std::int64_t changeStart_ = 0;
    std::int64_t changeNew_ = 0;
    std::int64_t changeOld_ = 0;
    bool selectionPending_ = false;
    std::int64_t saidCaret_ = 0;
    std::int64_t saidSelStart_ = 0;
    std::int64_t saidSelEnd_ = 0;
};
