#include "platform/richtextbox.h"

#include "platform/files.h"
#include "platform/latin1.h"
#include "platform/paths.h"
#include "platform/rtfreader.h"
#include "platform/runtimeerror.h"
#include "platform/textview.h"

#include <QEvent>
#include <QStackedLayout>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>

namespace {

// Positions in a rich document count one character per paragraph or line break; in
// Text each break is CR LF. These two map between them.
std::int64_t breaksBefore(const QTextDocument& doc, std::int64_t docPos) {
    const QTextBlock block = doc.findBlock(static_cast<int>(docPos));
    std::int64_t breaks = block.blockNumber();
    const QString text = block.text();
    const int inBlock = static_cast<int>(docPos) - block.position();
    for (int i = 0; i < inBlock && i < text.size(); ++i)
        breaks += text[i] == QChar::LineSeparator;
    return breaks;
}

std::int64_t docToText(const QTextDocument& doc, std::int64_t docPos) {
    return docPos + breaksBefore(doc, docPos);
}

std::int64_t textToDoc(const QTextDocument& doc, std::int64_t textPos) {
    // The smallest document position whose Text position reaches textPos.
    std::int64_t lo = 0, hi = doc.characterCount() - 1;
    while (lo < hi) {
        const std::int64_t mid = (lo + hi) / 2;
        if (docToText(doc, mid) < textPos)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

} // namespace

RichTextBox::RichTextBox(QWidget* parent) : QWidget(parent) {
    stack_ = new QStackedLayout(this);
    stack_->setContentsMargins(0, 0, 0, 0);
    view_ = new TextView(&store_, this);
    stack_->addWidget(view_);
    setFocusProxy(view_);
}

RichTextBox::~RichTextBox() = default;

bool RichTextBox::isRich() const {
    return rich_ != nullptr && stack_->currentWidget() == rich_;
}

QString RichTextBox::Text() const {
    if (isRich()) {
        QString t = rich_->document()->toPlainText();
        t.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        return t;
    }
    return QString::fromLatin1(store_.bytes());
}

void RichTextBox::setText(const QString& text) {
    showPlain();
    store_.setText(toLatin1Bytes(text));
}

std::int64_t RichTextBox::SelStart() const {
    if (isRich())
        return docToText(*rich_->document(), rich_->textCursor().selectionStart());
    return store_.selStart();
}

void RichTextBox::setSelStart(std::int64_t pos) {
    if (isRich()) {
        QTextCursor c = rich_->textCursor();
        const std::int64_t end = rich_->document()->characterCount() - 1;
        c.setPosition(
            static_cast<int>(std::clamp<std::int64_t>(textToDoc(*rich_->document(), pos), 0, end)));
        rich_->setTextCursor(c);
        return;
    }
    store_.setSelStart(pos);
}

std::int64_t RichTextBox::SelLength() const {
    if (isRich()) {
        const QTextCursor c = rich_->textCursor();
        const QTextDocument& d = *rich_->document();
        return docToText(d, c.selectionEnd()) - docToText(d, c.selectionStart());
    }
    return store_.selLength();
}

void RichTextBox::setSelLength(std::int64_t len) {
    if (isRich()) {
        QTextCursor c = rich_->textCursor();
        const QTextDocument& d = *rich_->document();
        const std::int64_t start = c.selectionStart();
        const std::int64_t endText = docToText(d, start) + std::max<std::int64_t>(len, 0);
        const std::int64_t end =
            std::clamp<std::int64_t>(textToDoc(d, endText), start, d.characterCount() - 1);
        c.setPosition(static_cast<int>(start));
        c.setPosition(static_cast<int>(end), QTextCursor::KeepAnchor);
        rich_->setTextCursor(c);
        return;
    }
    store_.setSelLength(len);
}

QString RichTextBox::SelText() const {
    if (isRich()) {
        QString t = rich_->textCursor().selectedText();
        t.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
        t.replace(QChar::LineSeparator, QStringLiteral("\r\n"));
        return t;
    }
    return QString::fromLatin1(store_.mid(store_.selStart(), store_.selLength()));
}

void RichTextBox::setSelText(const QString& text) {
    leaveRich();
    store_.replaceSelection(toLatin1Bytes(text));
}

std::int64_t RichTextBox::textLength() const {
    if (isRich())
        return Text().size();
    return store_.length();
}

QString RichTextBox::tail(std::int64_t n) const {
    if (isRich())
        return Text().right(static_cast<qsizetype>(n));
    return QString::fromLatin1(store_.tail(n));
}

void RichTextBox::setRichText(QByteArrayView rtf) {
    if (!rich_) {
        rich_ = new QTextEdit(this);
        rich_->setAcceptRichText(false);
        rich_->setUndoRedoEnabled(false);
        stack_->addWidget(rich_);
    }
    rich_->document()->setDefaultFont(font());
    if (!readRtf(rtf, *rich_->document()))
        rich_->document()->setPlainText(QString::fromLatin1(rtf));
    rich_->moveCursor(QTextCursor::Start);
    stack_->setCurrentWidget(rich_);
    setFocusProxy(rich_);
    passOnDescription();
    sync_ = Sync{};
}

void RichTextBox::showPlain() {
    if (stack_->currentWidget() != view_) {
        stack_->setCurrentWidget(view_);
        setFocusProxy(view_);
        passOnDescription();
    }
}

void RichTextBox::passOnDescription() {
    // The view reads the box's name and description itself while it shows the text (see
    // textviewaccessible.h); the rich-text editor gets a copy while it shows the text.
    if (!rich_)
        return;
    const bool shown = isRich();
    rich_->setAccessibleName(shown ? accessibleName() : QString());
    rich_->setAccessibleDescription(shown ? accessibleDescription() : QString());
}

void RichTextBox::leaveRich() {
    if (!isRich())
        return;
    const std::int64_t start = SelStart();
    const std::int64_t len = SelLength();
    const QByteArray text = toLatin1Bytes(Text());
    showPlain();
    store_.setText(text);
    store_.select(start, start + len);
}

void RichTextBox::LoadFile(const QString& path) {
    if (!wholeFileOnly_ && !isRich() && tryLoadDelta(shortcutName(path)))
        return;
    const QString native = paths::nativePath(path);
    const files::LedgerEntry before = files::observe(native);
    const QByteArray bytes = files::readAll(native);
    const bool steady = files::stamp(native) == before.stamp;
    if (looksLikeRtf(bytes)) {
        setRichText(bytes);
        return;
    }
    showPlain();
    bool carry = false;
    bool changed = false;
    const QByteArray text = normaliseBreaks(bytes, carry, &changed);
    store_.setText(text);
    if (steady)
        recordSync(native, bytes.size(), !changed, carry);
    else
        sync_ = Sync{};
}

bool RichTextBox::tryLoadDelta(const QString& native) {
    // A file whose first bytes could still grow into "{\rtf" is read whole (it is tiny).
    if (sync_.native != native || store_.revision() != sync_.revision || !sync_.staysPlain)
        return false;
    const files::LedgerEntry entry = files::ledger(native);
    const files::Stamp now = files::stamp(native);
    if (entry.rewrites != sync_.rewrites || !now.exists || !(now == entry.stamp) ||
        now.size < sync_.fileSize)
        return false;
    QByteArray delta;
    try {
        delta = files::readRange(native, sync_.fileSize, now.size);
    } catch (const RuntimeError&) {
        return false; // changed while we looked: the whole load says what is there
    }
    if (!(files::stamp(native) == now))
        return false;
    bool carry = sync_.crCarry;
    bool changed = false;
    store_.continueLoad(delta, carry, &changed);
    // The rewrite count is as checked above; the file's first bytes are as they were.
    sync_.fileSize = now.size;
    sync_.fileIsText = sync_.fileIsText && !changed;
    sync_.crCarry = carry;
    store_.markUnchanged();
    sync_.revision = store_.revision();
    ++shortcutLoads_;
    return true;
}

void RichTextBox::SaveFile(const QString& path, int fileType) {
    Q_UNUSED(fileType); // only plain text is ever saved
    if (!wholeFileOnly_ && !isRich() && trySaveDelta(shortcutName(path)))
        return;
    const QString native = paths::nativePath(path);
    sync_ = Sync{};
    files::TextFile f(native, files::TextFile::Mode::Output);
    if (isRich()) {
        f.write(toLatin1Bytes(Text()));
        f.close();
        return;
    }
    store_.forEachPiece(0, store_.length(), [&](QByteArrayView piece) { f.write(piece); });
    f.close();
    recordSync(native, store_.length(), true, false);
}

bool RichTextBox::trySaveDelta(const QString& native) {
    if (sync_.native != native || !sync_.fileIsText || store_.lowestChange() < sync_.fileSize ||
        store_.length() < sync_.fileSize)
        return false;
    const files::LedgerEntry entry = files::ledger(native);
    const files::Stamp now = files::stamp(native);
    if (entry.rewrites != sync_.rewrites || !now.exists || !(now == entry.stamp) ||
        now.size != sync_.fileSize)
        return false;
    // The file holds the text up to fileSize, and the text has only grown at its end.
    if (store_.length() > sync_.fileSize) {
        files::TextFile f(native, files::TextFile::Mode::Append);
        store_.forEachPiece(sync_.fileSize, store_.length() - sync_.fileSize,
                            [&](QByteArrayView piece) { f.write(piece); });
        f.close();
    }
    // Our own append does not count as a rewrite: the count stays as checked above.
    sync_.fileSize = store_.length();
    store_.markUnchanged();
    sync_.revision = store_.revision();
    ++shortcutSaves_;
    return true;
}

QString RichTextBox::shortcutName(const QString& path) {
    // Where a program path lies depends on the path and on the home folder the
    // environment names. paths::nativePath also makes sure that drive C's root exists,
    // which costs a few system calls every time; the shortcut only ever acts on a file
    // that exists, so it keeps the name it found last, and the whole-file operations
    // resolve the path afresh.
    QByteArray env;
    for (const char* name : {"QUORLANE_HOME", "XDG_DATA_HOME", "HOME"}) {
        env += qgetenv(name);
        env += '\0';
    }
    if (path != nameCache_.path || env != nameCache_.env) {
        nameCache_.path = path;
        nameCache_.env = env;
        nameCache_.native = paths::nativePath(path);
    }
    return nameCache_.native;
}

void RichTextBox::recordSync(const QString& native, std::int64_t fileSize, bool fileIsText,
                             bool crCarry) {
    sync_.native = native;
    sync_.rewrites = files::ledger(native).rewrites;
    sync_.fileSize = fileSize;
    sync_.fileIsText = fileIsText;
    sync_.crCarry = crCarry;
    // The text begins as the file does up to its first CR or LF, and "{\rtf" has
    // neither: the file can turn rich only while its first bytes (up to five) are the
    // start of "{\rtf".
    const QByteArrayView magic("{\\rtf");
    const qsizetype k = static_cast<qsizetype>(std::min<std::int64_t>(magic.size(), fileSize));
    sync_.staysPlain = store_.mid(0, k) != magic.first(k);
    store_.markUnchanged();
    sync_.revision = store_.revision();
}

void RichTextBox::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange && rich_)
        rich_->document()->setDefaultFont(font());
    QWidget::changeEvent(event);
}
