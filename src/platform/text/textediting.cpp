#include "platform/text/textediting.h"

#include "platform/base/latin1.h"
#include "platform/text/textstore.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>

#include <algorithm>

namespace {

// Bytes of text around the caret that input methods get to see.
constexpr std::int64_t kImContext = 512;

// Word characters for double click and Ctrl+arrows: Latin-1 letters, digits and '_'.
bool isWordByte(unsigned char b) {
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_' ||
           b == 0xAA || b == 0xB5 || b == 0xBA || (b >= 0xC0 && b != 0xD7 && b != 0xF7);
}

// Double click selects a run of bytes of one class.
int byteClass(unsigned char b) {
    if (isWordByte(b))
        return 0;
    if (b == ' ' || b == '\t')
        return 1;
    return 2;
}

// Key text that types into the box: printable characters only (control characters that
// come with Ctrl+letter, Escape, Tab and the like do not).
bool isTypedText(const QKeyEvent* e) {
    const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
    if (mods == Qt::ControlModifier || mods == (Qt::ControlModifier | Qt::ShiftModifier))
        return false;
    const QString t = e->text();
    if (t.isEmpty())
        return false;
    for (QChar c : t) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0))
            return false;
    }
    return true;
}

} // namespace

TextEditing::TextEditing(EditingView& view) : view_(view) {
    autoScroll_.setInterval(50);
    QObject::connect(&autoScroll_, &QTimer::timeout, &autoScroll_, [this] {
        if (dragAnchor_ >= 0)
            dragTo(dragPoint_);
        else
            autoScroll_.stop();
    });
}

void TextEditing::selectionChanged() {
    if (!verticalMove_)
        stickyColumn_ = -1;
}

bool TextEditing::takesShortcut(const QKeyEvent* ke) const {
    const bool readOnly = view_.isReadOnly();
    if (ke->matches(QKeySequence::Copy) || ke->matches(QKeySequence::SelectAll) ||
        (!readOnly && (ke->matches(QKeySequence::Cut) || ke->matches(QKeySequence::Paste))))
        return true;
    const Qt::KeyboardModifiers mods = ke->modifiers() & ~Qt::KeypadModifier;
    if ((mods & ~(Qt::ShiftModifier | Qt::ControlModifier)) != 0)
        return false;
    switch (ke->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        return true;
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return !readOnly;
    default:
        return !readOnly && (mods & Qt::ControlModifier) == 0 && isTypedText(ke);
    }
}

// ---- editing and caret movement ----

std::int64_t TextEditing::anchor() const {
    const TextStore& s = *view_.store();
    return s.caret() == s.selStart() ? s.selStart() + s.selLength() : s.selStart();
}

void TextEditing::moveCaret(std::int64_t pos, bool extend) {
    if (extend)
        view_.store()->select(anchor(), pos);
    else
        view_.store()->setSelStart(pos);
    view_.ensureCaretVisible();
    view_.restartBlink();
}

void TextEditing::moveVertically(std::int64_t rows, bool extend) {
    const std::int64_t caret = view_.store()->caret();
    const std::int64_t row = view_.rowOfPosition(caret);
    const std::int64_t col = stickyColumn_ >= 0 ? stickyColumn_ : caret - view_.rowStart(row);
    const std::int64_t target = row + rows;
    std::int64_t pos;
    if (target < 0)
        pos = 0;
    else if (target >= view_.rowCount())
        pos = view_.store()->length();
    else
        pos = view_.positionInRow(target, col);
    verticalMove_ = true;
    moveCaret(pos, extend);
    verticalMove_ = false;
    stickyColumn_ = col;
}

std::int64_t TextEditing::wordStartBefore(std::int64_t pos) const {
    const TextStore& t = *view_.store();
    while (pos > 0 && !isWordByte(static_cast<unsigned char>(t.at(pos - 1))))
        --pos;
    while (pos > 0 && isWordByte(static_cast<unsigned char>(t.at(pos - 1))))
        --pos;
    return pos;
}

std::int64_t TextEditing::wordEndAfter(std::int64_t pos) const {
    const TextStore& t = *view_.store();
    const std::int64_t n = t.length();
    while (pos < n && isWordByte(static_cast<unsigned char>(t.at(pos))))
        ++pos;
    while (pos < n && !isWordByte(static_cast<unsigned char>(t.at(pos))))
        ++pos;
    return pos;
}

void TextEditing::selectWordAt(std::int64_t pos) {
    TextStore& s = *view_.store();
    const TextStore& t = s;
    const std::int64_t line = s.lineOf(pos);
    const std::int64_t ls = s.lineStart(line);
    const std::int64_t le = ls + s.lineLength(line);
    if (le == ls) {
        s.setSelStart(ls);
        return;
    }
    pos = std::clamp<std::int64_t>(pos, ls, le - 1);
    const int cls = byteClass(static_cast<unsigned char>(t.at(pos)));
    std::int64_t a = pos;
    std::int64_t b = pos + 1;
    while (a > ls && byteClass(static_cast<unsigned char>(t.at(a - 1))) == cls)
        --a;
    while (b < le && byteClass(static_cast<unsigned char>(t.at(b))) == cls)
        ++b;
    s.select(a, b);
}

bool TextEditing::insertBytes(const QByteArray& bytes) {
    if (view_.isReadOnly())
        return false;
    TextStore& s = *view_.store();
    const std::uint64_t before = s.revision();
    s.replaceSelection(bytes);
    view_.ensureCaretVisible();
    if (s.revision() == before)
        return false;
    view_.editedByOperator();
    return true;
}

bool TextEditing::removeRange(std::int64_t pos, std::int64_t len) {
    if (view_.isReadOnly() || len <= 0)
        return false;
    TextStore& s = *view_.store();
    const std::uint64_t before = s.revision();
    s.remove(pos, len);
    view_.ensureCaretVisible();
    if (s.revision() == before)
        return false;
    view_.editedByOperator();
    return true;
}

void TextEditing::copy() const {
    const TextStore& s = *view_.store();
    if (s.selLength() == 0)
        return;
    QGuiApplication::clipboard()->setText(QString::fromLatin1(s.mid(s.selStart(), s.selLength())));
}

void TextEditing::cut() {
    const TextStore& s = *view_.store();
    if (s.selLength() == 0)
        return;
    copy();
    removeRange(s.selStart(), s.selLength());
}

void TextEditing::paste() {
    const QString text = QGuiApplication::clipboard()->text();
    if (!text.isEmpty())
        insertBytes(toLatin1Bytes(text));
}

// ---- keys ----

bool TextEditing::keyPress(QKeyEvent* event) {
    TextStore& s = *view_.store();
    const bool readOnly = view_.isReadOnly();
    const std::int64_t length = s.length();
    if (event->matches(QKeySequence::SelectAll)) {
        s.select(0, length);
        return true;
    }
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return true;
    }
    if (event->matches(QKeySequence::Cut)) {
        if (!readOnly)
            cut();
        return true;
    }
    if (event->matches(QKeySequence::Paste)) {
        if (!readOnly)
            paste();
        return true;
    }

    const Qt::KeyboardModifiers mods = event->modifiers();
    const bool shift = mods.testFlag(Qt::ShiftModifier);
    const bool ctrl = mods.testFlag(Qt::ControlModifier);
    const std::int64_t caret = s.caret();
    const std::int64_t selStart = s.selStart();
    const std::int64_t selEnd = selStart + s.selLength();
    // Whether a CR LF pair ends at or starts at the caret (it moves and goes as one).
    const bool breakBefore = caret >= 2 && s.at(caret - 2) == '\r' && s.at(caret - 1) == '\n';
    const bool breakAfter = caret + 1 < length && s.at(caret) == '\r' && s.at(caret + 1) == '\n';

    switch (event->key()) {
    case Qt::Key_Left:
        if (ctrl)
            moveCaret(wordStartBefore(caret), shift);
        else if (!shift && selEnd > selStart)
            moveCaret(selStart, false);
        else
            moveCaret(caret - (breakBefore ? 2 : 1), shift);
        return true;
    case Qt::Key_Right:
        if (ctrl)
            moveCaret(wordEndAfter(caret), shift);
        else if (!shift && selEnd > selStart)
            moveCaret(selEnd, false);
        else
            moveCaret(caret + (breakAfter ? 2 : 1), shift);
        return true;
    case Qt::Key_Up:
        moveVertically(-1, shift);
        return true;
    case Qt::Key_Down:
        moveVertically(1, shift);
        return true;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: {
        const int page = view_.visibleRows();
        const int dir = event->key() == Qt::Key_PageUp ? -1 : 1;
        view_.scrollRows(dir * page);
        moveVertically(dir * page, shift);
        return true;
    }
    case Qt::Key_Home:
        moveCaret(ctrl ? 0 : s.lineStart(s.lineOf(caret)), shift);
        return true;
    case Qt::Key_End: {
        const std::int64_t line = s.lineOf(caret);
        moveCaret(ctrl ? length : s.lineStart(line) + s.lineLength(line), shift);
        return true;
    }
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (readOnly)
            return false;
        insertBytes(QByteArrayLiteral("\r\n"));
        return true;
    case Qt::Key_Backspace:
        if (readOnly)
            return false;
        if (selEnd > selStart)
            removeRange(selStart, selEnd - selStart);
        else if (ctrl)
            removeRange(wordStartBefore(caret), caret - wordStartBefore(caret));
        else if (caret > 0)
            removeRange(caret - (breakBefore ? 2 : 1), breakBefore ? 2 : 1);
        return true;
    case Qt::Key_Delete:
        if (readOnly)
            return false;
        if (selEnd > selStart)
            removeRange(selStart, selEnd - selStart);
        else if (ctrl)
            removeRange(caret, wordEndAfter(caret) - caret);
        else if (caret < length)
            removeRange(caret, breakAfter ? 2 : 1);
        return true;
    default:
        if (!readOnly && isTypedText(event)) {
            insertBytes(toLatin1Bytes(event->text()));
            return true;
        }
        return false;
    }
}

// ---- input method ----

void TextEditing::inputMethod(QInputMethodEvent* event) {
    if (!view_.isReadOnly() && !event->commitString().isEmpty())
        insertBytes(toLatin1Bytes(event->commitString()));
    event->accept();
}

QVariant TextEditing::inputMethodQuery(Qt::InputMethodQuery query) const {
    const TextStore& s = *view_.store();
    const std::int64_t caret = s.caret();
    const std::int64_t line = s.lineOf(caret);
    const std::int64_t ls = s.lineStart(line);
    const std::int64_t le = ls + s.lineLength(line);
    const std::int64_t from = std::max(ls, caret - kImContext);
    const std::int64_t to = std::min(le, caret + kImContext);
    switch (query) {
    case Qt::ImEnabled:
        return !view_.isReadOnly();
    case Qt::ImHints:
        return static_cast<int>(Qt::ImhMultiLine);
    case Qt::ImCursorPosition:
        return static_cast<int>(caret - from);
    case Qt::ImAnchorPosition:
        return static_cast<int>(std::clamp(anchor(), from, to) - from);
    case Qt::ImSurroundingText:
        return QString::fromLatin1(s.mid(from, to - from));
    case Qt::ImTextBeforeCursor:
        return QString::fromLatin1(s.mid(from, caret - from));
    case Qt::ImTextAfterCursor:
        return QString::fromLatin1(s.mid(caret, to - caret));
    case Qt::ImCurrentSelection:
        return QString::fromLatin1(s.mid(s.selStart(), std::min(s.selLength(), kImContext)));
    default:
        return {};
    }
}

// ---- mouse ----

void TextEditing::dragTo(const QPoint& viewportPoint) {
    dragPoint_ = viewportPoint;
    view_.store()->select(dragAnchor_, view_.positionAt(viewportPoint));
    view_.ensureCaretVisible();
}

bool TextEditing::mousePress(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return false;
    TextStore& s = *view_.store();
    const std::int64_t pos = view_.positionAt(event->position().toPoint());
    stickyColumn_ = -1;
    if (event->modifiers() & Qt::ShiftModifier) {
        dragAnchor_ = anchor();
        s.select(dragAnchor_, pos);
    } else {
        dragAnchor_ = pos;
        s.setSelStart(pos);
    }
    view_.ensureCaretVisible();
    view_.restartBlink();
    event->accept();
    return true;
}

bool TextEditing::mouseMove(QMouseEvent* event) {
    if (dragAnchor_ < 0 || !(event->buttons() & Qt::LeftButton))
        return false;
    const QPoint pt = event->position().toPoint();
    dragTo(pt);
    // Held above or below the text, the selection keeps growing and the view scrolling.
    if (pt.y() < 0 || pt.y() >= view_.viewportHeight()) {
        if (!autoScroll_.isActive())
            autoScroll_.start();
    } else {
        autoScroll_.stop();
    }
    event->accept();
    return true;
}

bool TextEditing::mouseRelease(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return false;
    dragAnchor_ = -1;
    autoScroll_.stop();
    event->accept();
    return true;
}

bool TextEditing::mouseDoubleClick(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return false;
    // The cell under the pointer, not the nearest boundary between cells.
    const QPoint pt = event->position().toPoint();
    const std::int64_t pos = view_.positionAt(QPoint(pt.x() - view_.cellWidth() / 2, pt.y()));
    dragAnchor_ = -1;
    autoScroll_.stop();
    selectWordAt(pos);
    event->accept();
    return true;
}
