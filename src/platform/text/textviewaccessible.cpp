#include "platform/text/textviewaccessible.h"

#include "platform/base/latin1.h"
#include "platform/text/textstore.h"
#include "platform/text/textview.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontInfo>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <climits>

namespace {

// Longest run of text that one boundary request looks at: a paragraph longer than this
// is served in pieces of this size, and words and sentences are found within the piece
// that holds the offset.
constexpr std::int64_t kPiece = 4096;
// Most characters one announcement, or one request with no boundary, carries.
constexpr std::int64_t kMaxCarried = 65536;

std::int64_t charactersReadSoFar = 0;

// Every read of text for assistive technology goes through here.
QString readText(const TextStore& store, std::int64_t from, std::int64_t to) {
    from = std::clamp<std::int64_t>(from, 0, store.length());
    to = std::clamp<std::int64_t>(to, from, store.length());
    charactersReadSoFar += to - from;
    return QString::fromLatin1(store.mid(from, to - from));
}

int toInt(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, -1, INT_MAX));
}

struct Range {
    std::int64_t start = -1;
    std::int64_t end = -1;
};

class TextViewAccessible : public QAccessibleWidget,
                           public QAccessibleTextInterface,
                           public QAccessibleEditableTextInterface {
public:
    explicit TextViewAccessible(TextView* view)
        : QAccessibleWidget(view, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        if (t == QAccessible::EditableTextInterface && !view()->isReadOnly())
            return static_cast<QAccessibleEditableTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QString text(QAccessible::Text t) const override {
        if (t != QAccessible::Name && t != QAccessible::Description)
            return QAccessibleWidget::text(t);
        const bool name = t == QAccessible::Name;
        const QString own = name ? view()->accessibleName() : view()->accessibleDescription();
        if (!own.isEmpty())
            return own;
        if (const QWidget* shown = standsFor())
            return name ? shown->accessibleName() : shown->accessibleDescription();
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        const bool readOnly = view()->isReadOnly();
        s.multiLine = true;
        s.selectableText = true;
        s.editable = !readOnly;
        s.readOnly = readOnly;
        return s;
    }

    // ---- selection and caret ----

    int selectionCount() const override { return store().selLength() > 0 ? 1 : 0; }

    void selection(int index, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = 0;
        if (index != 0 || store().selLength() == 0)
            return;
        *startOffset = toInt(store().selStart());
        *endOffset = toInt(store().selStart() + store().selLength());
    }

    // The view has one selection: adding one replaces it.
    void addSelection(int startOffset, int endOffset) override {
        setSelection(0, startOffset, endOffset);
    }

    void removeSelection(int index) override {
        if (index == 0)
            store().setSelStart(store().caret());
    }

    void setSelection(int index, int startOffset, int endOffset) override {
        if (index == 0)
            store().select(startOffset, endOffset);
    }

    int cursorPosition() const override { return toInt(store().caret()); }
    void setCursorPosition(int position) override { store().setSelStart(position); }

    // ---- text ----

    int characterCount() const override { return toInt(store().length()); }

    QString text(int startOffset, int endOffset) const override {
        return readText(store(), startOffset, endOffset);
    }

    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* startOffset,
                         int* endOffset) const override {
        const std::int64_t o = resolve(offset);
        if (o < 0)
            return answer({}, startOffset, endOffset);
        if (type == QAccessible::NoBoundary)
            return answer({0, std::min(length(), kMaxCarried)}, startOffset, endOffset);
        return answer(unitAt(o, type), startOffset, endOffset);
    }

    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* startOffset,
                             int* endOffset) const override {
        const std::int64_t o = resolve(offset);
        if (o < 0 || type == QAccessible::NoBoundary)
            return answer({}, startOffset, endOffset);
        const Range at = unitAt(o, type);
        const std::int64_t start = at.start >= 0 ? at.start : o;
        return answer(start > 0 ? unitAt(start - 1, type) : Range{}, startOffset, endOffset);
    }

    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* startOffset,
                            int* endOffset) const override {
        const std::int64_t o = resolve(offset);
        const Range at = o < 0 ? Range{} : unitAt(o, type);
        if (at.start < 0 || type == QAccessible::NoBoundary)
            return answer({}, startOffset, endOffset);
        Range next;
        if (at.end < length()) {
            next = unitAt(at.end, type);
        } else if (at.start < length()) {
            // After a last row or paragraph that ends in a line break comes an empty one.
            const Range last = unitAt(length(), type);
            if (last.start == length())
                next = last;
        }
        return answer(next, startOffset, endOffset);
    }

    // ---- geometry ----

    QRect characterRect(int offset) const override {
        if (offset < 0 || offset > store().length())
            return {};
        const QWidget* vp = view()->viewport();
        return view()->cellRect(offset).translated(vp->mapToGlobal(QPoint(0, 0)));
    }

    int offsetAtPoint(const QPoint& point) const override {
        const QWidget* vp = view()->viewport();
        const QPoint p = vp->mapFromGlobal(point);
        if (store().length() == 0 || !vp->rect().contains(p))
            return -1;
        // The cell under the point, not the nearest boundary between cells.
        const int cell = view()->cellRect(0).width();
        return toInt(view()->positionAt(QPoint(p.x() - cell / 2, p.y())));
    }

    void scrollToSubstring(int startIndex, int endIndex) override {
        view()->ensureVisible(endIndex);
        view()->ensureVisible(startIndex);
    }

    // One font and one colour for the whole text.
    QString attributes(int offset, int* startOffset, int* endOffset) const override {
        if (offset < 0 || offset > store().length()) {
            *startOffset = *endOffset = -1;
            return {};
        }
        *startOffset = 0;
        *endOffset = characterCount();
        const QFontInfo font(view()->font());
        return QStringLiteral("font-family:\"%1\";font-size:%2pt;")
            .arg(font.family())
            .arg(font.pointSizeF());
    }

    // ---- editing ----

    void insertText(int offset, const QString& text) override {
        if (view()->isReadOnly())
            return;
        store().setSelStart(offset);
        edit([&] { store().replaceSelection(toLatin1Bytes(text)); });
    }

    void deleteText(int startOffset, int endOffset) override {
        if (view()->isReadOnly())
            return;
        edit([&] { store().remove(startOffset, endOffset - startOffset); });
    }

    void replaceText(int startOffset, int endOffset, const QString& text) override {
        if (view()->isReadOnly())
            return;
        store().select(startOffset, endOffset);
        edit([&] { store().replaceSelection(toLatin1Bytes(text)); });
    }

private:
    TextView* view() const { return static_cast<TextView*>(widget()); }
    TextStore& store() const { return *view()->store(); }
    std::int64_t length() const { return store().length(); }

    // The widget whose text this view shows now, if it stands in for one: the parent
    // whose keyboard focus it takes (a RichTextBox while it shows plain text).
    const QWidget* standsFor() const {
        const QWidget* parent = view()->parentWidget();
        return parent && parent->focusProxy() == view() ? parent : nullptr;
    }

    template <class F> void edit(F&& change) {
        const std::uint64_t before = store().revision();
        change();
        view()->ensureCaretVisible();
        if (store().revision() != before)
            emit view()->edited();
    }

    // -1 stands for the end of the text, -2 for the caret; -1 when out of range.
    std::int64_t resolve(int offset) const {
        const std::int64_t o = offset == -1   ? length()
                               : offset == -2 ? store().caret()
                                              : std::int64_t(offset);
        return o >= 0 && o <= length() ? o : -1;
    }

    QString answer(Range r, int* startOffset, int* endOffset) const {
        *startOffset = toInt(r.start);
        *endOffset = toInt(r.end);
        return r.start < 0 ? QString() : readText(store(), r.start, r.end);
    }

    // The unit of the given kind that holds `o`. At the end of the text there is no
    // character, word or sentence; the last row or paragraph is there (empty after a final
    // line break).
    Range unitAt(std::int64_t o, QAccessible::TextBoundaryType type) const {
        const bool atEnd = o >= length();
        switch (type) {
        case QAccessible::CharBoundary:
            return atEnd ? Range{} : characterAt(o);
        case QAccessible::WordBoundary:
            return atEnd ? Range{} : itemAt(o, QTextBoundaryFinder::Word);
        case QAccessible::SentenceBoundary:
            return atEnd ? Range{} : itemAt(o, QTextBoundaryFinder::Sentence);
        case QAccessible::ParagraphBoundary:
            return paragraphPieceAt(o);
        case QAccessible::LineBoundary:
            return rowAt(o);
        case QAccessible::NoBoundary:
            return {0, length()};
        }
        return {};
    }

    Range characterAt(std::int64_t o) const {
        // A CR LF pair is one character (as a grapheme cluster is); both its halves give it.
        const QString around = readText(store(), o - 1, o + 2);
        const qsizetype i = o > 0 ? 1 : 0;
        if (around.at(i) == u'\r' && i + 1 < around.size() && around.at(i + 1) == u'\n')
            return {o, o + 2};
        if (around.at(i) == u'\n' && i > 0 && around.at(i - 1) == u'\r')
            return {o - 1, o + 1};
        return {o, o + 1};
    }

    // A visual row of the wrapped view, up to the start of the next row (so the last row of
    // a line holds its CR LF).
    Range rowAt(std::int64_t o) const {
        const std::int64_t row = view()->rowOfPosition(o);
        const std::int64_t end =
            row + 1 < view()->rowCount() ? view()->rowStart(row + 1) : length();
        return {view()->rowStart(row), end};
    }

    // A line with its break, or the piece of kPiece characters of a longer one that holds
    // `o` (the break goes with the last piece).
    Range paragraphPieceAt(std::int64_t o) const {
        const TextStore& s = store();
        const std::int64_t line = s.lineOf(o);
        const std::int64_t start = s.lineStart(line);
        const std::int64_t textEnd = start + s.lineLength(line);
        const std::int64_t end = line + 1 < s.lineCount() ? s.lineStart(line + 1) : s.length();
        const std::int64_t pieces =
            std::max<std::int64_t>(1, (textEnd - start + kPiece - 1) / kPiece);
        const std::int64_t k = std::min((o - start) / kPiece, pieces - 1);
        return {start + k * kPiece, k + 1 == pieces ? end : start + (k + 1) * kPiece};
    }

    // A word or sentence, or the gap between two, as Qt's boundary finder sees them within
    // the paragraph piece that holds `o`.
    Range itemAt(std::int64_t o, QTextBoundaryFinder::BoundaryType type) const {
        const Range piece = paragraphPieceAt(o);
        const QString text = readText(store(), piece.start, piece.end);
        const auto item = QTextBoundaryFinder::StartOfItem | QTextBoundaryFinder::EndOfItem;
        QTextBoundaryFinder finder(type, text);
        finder.setPosition(static_cast<qsizetype>(o - piece.start));
        while (finder.position() > 0 && !(finder.boundaryReasons() & item))
            finder.toPreviousBoundary();
        const qsizetype start = std::max<qsizetype>(0, finder.position());
        qsizetype end;
        do {
            end = finder.toNextBoundary();
        } while (end > 0 && end < text.size() && !(finder.boundaryReasons() & item));
        if (end <= start)
            end = text.size();
        return {piece.start + start, piece.start + end};
    }
};

QAccessibleInterface* accessibleFor(const QString& className, QObject* object) {
    if (className == QLatin1String("TextView")) {
        if (auto* view = qobject_cast<TextView*>(object))
            return new TextViewAccessible(view);
    }
    return nullptr;
}

} // namespace

namespace textaccess {

void install() {
    static const bool installed = [] {
        QAccessible::installFactory(accessibleFor);
        return true;
    }();
    Q_UNUSED(installed);
}

std::int64_t charactersRead() {
    return charactersReadSoFar;
}

} // namespace textaccess

// ---- announcements ----

TextViewAnnouncer::TextViewAnnouncer(TextView* view) : view_(view) {
    textaccess::install();
}

void TextViewAnnouncer::textChanged(std::int64_t pos, std::int64_t removed, std::int64_t inserted) {
    if (!QAccessible::isActive())
        return;
    if (!textPending_) {
        textPending_ = true;
        changeStart_ = pos;
        changeNew_ = inserted;
        changeOld_ = removed;
        return;
    }
    // One changed region covering both: the union of the region so far and the range this
    // change removed (both in the text before this change); what of the union lay outside
    // the region so far was text as last announced.
    const std::int64_t start = std::min(changeStart_, pos);
    const std::int64_t end = std::max(changeStart_ + changeNew_, pos + removed);
    changeOld_ += (end - start) - changeNew_;
    changeNew_ = (end - start) - removed + inserted;
    changeStart_ = start;
}

void TextViewAnnouncer::selectionChanged() {
    if (QAccessible::isActive())
        selectionPending_ = true;
}

void TextViewAnnouncer::flush() {
    if (!textPending_ && !selectionPending_)
        return;
    const bool textChanged = textPending_;
    const bool selectionChanged = selectionPending_;
    textPending_ = selectionPending_ = false;
    if (!QAccessible::isActive())
        return;
    const TextStore& store = *view_->store();
    const std::int64_t caret = store.caret();
    const std::int64_t selStart = store.selStart();
    const std::int64_t selEnd = selStart + store.selLength();

    if (textChanged) {
        // What an announcement carries. An insertion carries the inserted text. A removal
        // carries one blank per character that went, since that text is no longer there
        // (Qt's own text editors do the same). Neither carries more than kMaxCarried
        // characters: a bigger change (a whole file loaded, the text set anew, a flood
        // between two repaints) is announced at its position with the first kMaxCarried
        // characters of what went and of what came. Its sizes are then cut short - the
        // text interface tells the real ones, and serves any range - but it says where
        // the text changed and what a reader meets first there, and no announcement ever
        // builds a string of megabytes.
        const int pos = toInt(changeStart_);
        const QString added =
            readText(store, changeStart_, changeStart_ + std::min(changeNew_, kMaxCarried));
        const QString gone(toInt(std::min(changeOld_, kMaxCarried)), QLatin1Char(' '));
        if (gone.isEmpty() && !added.isEmpty()) {
            QAccessibleTextInsertEvent event(view_, pos, added);
            event.setCursorPosition(toInt(caret));
            QAccessible::updateAccessibility(&event);
        } else if (added.isEmpty() && !gone.isEmpty()) {
            QAccessibleTextRemoveEvent event(view_, pos, gone);
            event.setCursorPosition(toInt(caret));
            QAccessible::updateAccessibility(&event);
        } else if (!added.isEmpty()) {
            QAccessibleTextUpdateEvent event(view_, pos, gone, added);
            event.setCursorPosition(toInt(caret));
            QAccessible::updateAccessibility(&event);
        }
    }
    if (selectionChanged || textChanged) {
        // A caret that moves with nothing selected is no selection change.
        const bool selected = selEnd > selStart || saidSelEnd_ > saidSelStart_;
        if (selected && (selStart != saidSelStart_ || selEnd != saidSelEnd_)) {
            QAccessibleTextSelectionEvent event(view_, toInt(selStart), toInt(selEnd));
            event.setCursorPosition(toInt(caret));
            QAccessible::updateAccessibility(&event);
        }
        // A text event tells where the caret is, too.
        if (caret != saidCaret_ && !textChanged) {
            QAccessibleTextCursorEvent event(view_, toInt(caret));
            QAccessible::updateAccessibility(&event);
        }
    }
    saidCaret_ = caret;
    saidSelStart_ = selStart;
    saidSelEnd_ = selEnd;
}
