#include "platform/widgets/richtextbox.h"

#include "platform/base/latin1.h"
#include "platform/base/runtimeerror.h"
#include "platform/files/files.h"
#include "platform/text/rtfreader.h"
#include "platform/text/textview.h"

#include <QAccessible>
#include <QAccessibleWidget>
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

// The box's name and description belong to the child that shows its text (the view
// reads them from the box, the rich-text editor gets a copy), so that exactly one object
// of a window carries the box's description: the box itself carries neither.
class RichTextBoxAccessible : public QAccessibleWidget {
public:
    explicit RichTextBoxAccessible(QWidget* box) : QAccessibleWidget(box) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name || t == QAccessible::Description)
            return {};
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface* accessibleFor(const QString& className, QObject* object) {
    if (className == QLatin1String("RichTextBox")) {
        if (auto* box = qobject_cast<RichTextBox*>(object))
            return new RichTextBoxAccessible(box);
    }
    return nullptr;
}

} // namespace

RichTextBox::RichTextBox(QWidget* parent) : QWidget(parent) {
    static const bool accessibleInstalled = [] {
        QAccessible::installFactory(accessibleFor);
        return true;
    }();
    Q_UNUSED(accessibleInstalled);
    stack_ = new QStackedLayout(this);
    stack_->setContentsMargins(0, 0, 0, 0);
    view_ = new TextView(&store_, this);
    stack_->addWidget(view_);
    setFocusProxy(view_);
}

RichTextBox::~RichTextBox() {
    // The view shows the store: it goes first, while the store is still there (a child
    // widget would otherwise outlive the member, and a focused view hears of the focus
    // leaving it as the box dies).
    delete view_;
}

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
    setSelBytes(toLatin1Bytes(text));
}

void RichTextBox::setSelBytes(QByteArrayView bytes) {
    leaveRich();
    store_.replaceSelection(bytes);
}

std::int64_t RichTextBox::textLength() const {
    if (isRich())
        return Text().size();
    return store_.length();
}

QByteArray RichTextBox::tail(std::int64_t n) const {
    if (isRich())
        return toLatin1Bytes(Text().right(static_cast<qsizetype>(n)));
    return store_.tail(n);
}

void RichTextBox::setRichText(QByteArrayView rtf) {
    if (!rich_) {
        rich_ = new QTextEdit(this);
        rich_->setAcceptRichText(false);
        rich_->setUndoRedoEnabled(false);
        // Tab moves on to the next control, as it does from the view.
        rich_->setTabChangesFocus(true);
        stack_->addWidget(rich_);
    }
    rich_->document()->setDefaultFont(font());
    if (!readRtf(rtf, *rich_->document()))
        rich_->document()->setPlainText(QString::fromLatin1(rtf));
    rich_->moveCursor(QTextCursor::Start);
    stack_->setCurrentWidget(rich_);
    setFocusProxy(rich_);
    passOnDescription();
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
    // Plain text goes into a store of its own a piece at a time as it is read, so that a
    // big file is never held whole (the store packs it as it fills), and takes the place
    // of the box's text once all of it is read: a read that fails on the way leaves the
    // box as it was. The first bytes tell whether it is a rich document, which is read
    // whole.
    const QByteArrayView magic("{\\rtf");
    TextStore loaded(store_.blockBytes(), store_.cachedBlocks());
    QByteArray held; // the bytes read while it is not known yet, or of a rich document
    bool plain = false;
    bool crCarry = false;
    files::readPieces(path, std::int64_t(1) << 20, [&](QByteArrayView piece) {
        if (plain) {
            loaded.continueLoad(piece, crCarry);
            return;
        }
        held += piece;
        if (!looksLikeRtf(held) && !magic.startsWith(held)) {
            plain = true;
            loaded.continueLoad(held, crCarry);
            held.clear();
        }
    });
    if (!plain && looksLikeRtf(held)) {
        setRichText(held);
        return;
    }
    if (!plain) // empty, or the start of "{\rtf" and no more
        loaded.continueLoad(held, crCarry);
    showPlain();
    store_.takeText(loaded);
}

void RichTextBox::SaveFile(const QString& path, int fileType) {
    Q_UNUSED(fileType); // only plain text is ever saved
    files::TextFile f(path, files::TextFile::Mode::Output);
    if (isRich())
        f.write(toLatin1Bytes(Text()));
    else
        store_.forEachPiece(0, store_.length(), [&](QByteArrayView piece) { f.write(piece); });
    f.close();
}

void RichTextBox::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange && rich_)
        rich_->document()->setDefaultFont(font());
    QWidget::changeEvent(event);
}
