// The rich-text box: Text and its line breaks, the caret in Text's characters, loading
// plain and rich files (a failed one leaves the box as it was), saving; the text served to
// assistive technology. (That keeping the receive log in step with the box matches these
// whole-file operations is proven with the log, in tst_faults_log.)

#include "help/helpwindows.h"
#include "log/filebuttons.h"
#include "platform/base/runtimeerror.h"
#include "platform/files/files.h"
#include "platform/text/textview.h"
#include "platform/text/textviewaccessible.h"
#include "platform/widgets/richtextbox.h"
#include "shared/globals.h"
#include "support/appharness.h"
#include "support/testutil.h"

#include <QAccessible>
#include <QFile>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <sys/syscall.h>
#include <unistd.h>

// While failReadsFrom is set, reading any file from that offset on fails with EIO, as on a
// disk with a bad sector: the system's pread, which the files floor reads with, taken over
// in this program.
static std::int64_t failReadsFrom = -1;
extern "C" ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
    if (failReadsFrom >= 0 && offset >= failReadsFrom) {
        errno = EIO;
        return -1;
    }
    return static_cast<ssize_t>(::syscall(SYS_pread64, fd, buf, count, offset));
}

namespace {

// Every accessible object in the window whose description is `description`.
QList<QAccessibleInterface*> describedAs(QWidget* window, const QString& description) {
    QList<QAccessibleInterface*> found;
    const std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* a) {
        if (a->text(QAccessible::Description) == description)
            found << a;
        for (int i = 0; i < a->childCount(); ++i)
            walk(a->child(i));
    };
    walk(QAccessible::queryAccessibleInterface(window));
    return found;
}

QString wholeText(QAccessibleInterface* a) {
    QAccessibleTextInterface* t = a->textInterface();
    return t ? t->text(0, t->characterCount()) : QStringLiteral("<no text interface>");
}

} // namespace

class TstRichTextBox : public QObject {
    Q_OBJECT
private slots:
    void textBreaksBothWays_data();
    void textBreaksBothWays();
    void selectionInTextCharacters();
    void loadPlainAndRich();
    void loadOverPieces_data();
    void loadOverPieces();
    void saveRoundTrip();
    void failedLoadLeavesBoxAlone_data();
    void failedLoadLeavesBoxAlone();
    void destroyedWhileItsViewHasFocus();
    void accessibleTextOfEachBox();
    void quietWithoutAssistiveTechnology();
};

void TstRichTextBox::textBreaksBothWays_data() {
    QTest::addColumn<QByteArrayList>("pieces"); // first via Text, the rest via SelText
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("crlf stays") << QByteArrayList{"a\r\nb"} << QByteArray("a\r\nb");
    QTest::newRow("lone cr, lone lf") << QByteArrayList{"a\rb\nc"} << QByteArray("a\r\nb\r\nc");
    QTest::newRow("lf cr is two") << QByteArrayList{"a\n\rb"} << QByteArray("a\r\n\r\nb");
    QTest::newRow("pair split over inserts")
        << QByteArrayList{"", "a\r", "\nb"} << QByteArray("a\r\nb");
    QTest::newRow("cr then cr") << QByteArrayList{"", "a\r", "\r"} << QByteArray("a\r\n\r\n");
    QTest::newRow("set text does not carry")
        << QByteArrayList{"a\r", "\nb"} << QByteArray("a\r\n\r\nb");
    QTest::newRow("every byte") << QByteArrayList{allBytes()}
                                << allBytes().replace("\n\x0b\x0c\r", "\r\n\x0b\x0c\r\n");
}

void TstRichTextBox::textBreaksBothWays() {
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArray, expected);
    RichTextBox box;
    box.setText(QString::fromLatin1(pieces[0]));
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        box.setSelStart(box.textLength());
        box.setSelText(QString::fromLatin1(pieces[i]));
    }
    QCOMPARE(box.Text().toLatin1(), expected);
    QCOMPARE(box.textLength(), expected.size());
    QCOMPARE(box.tail(3), expected.right(3));
}

void TstRichTextBox::selectionInTextCharacters() {
    RichTextBox box;
    box.setText(QStringLiteral("ab\ncd"));
    QCOMPARE(box.Text(), QStringLiteral("ab\r\ncd"));
    box.setSelStart(3); // between CR and LF: back onto the CR
    QCOMPARE(box.SelStart(), 2);
    box.setSelStart(4);
    box.setSelLength(1);
    QCOMPARE(box.SelText(), QStringLiteral("c"));
    box.setSelLength(99); // clamps at the end
    QCOMPARE(box.SelLength(), 2);
    box.setSelStart(99);
    QCOMPARE(box.SelStart(), 6);
    QCOMPARE(box.SelLength(), 0);
    box.setSelStart(1);
    box.setSelLength(4);
    QCOMPARE(box.SelText(), QStringLiteral("b\r\nc"));
    box.setSelText(QStringLiteral("XY")); // replaces the selection, caret after it
    QCOMPARE(box.Text(), QStringLiteral("aXYd"));
    QCOMPARE(box.SelStart(), 3);
    QCOMPARE(box.SelLength(), 0);
}

void TstRichTextBox::loadPlainAndRich() {
    QTemporaryDir dir;
    const QString plain = dir.filePath(QStringLiteral("plain.txt"));
    const QString rich = dir.filePath(QStringLiteral("rich.rtf"));
    QVERIFY(writeFile(plain, "one\ntwo\r"));
    QVERIFY(writeFile(rich, "{\\rtf1\\ansi {\\b Hello}\\par World}"));
    RichTextBox box;
    box.setText(QStringLiteral("old"));
    box.setSelStart(2);
    box.LoadFile(plain);
    QVERIFY(!box.isRich());
    QCOMPARE(box.Text(), QStringLiteral("one\r\ntwo\r\n"));
    QCOMPARE(box.SelStart(), 0);

    box.LoadFile(rich);
    QVERIFY(box.isRich());
    QCOMPARE(box.Text(), QStringLiteral("Hello\r\nWorld"));
    QCOMPARE(box.textLength(), 12);
    box.setSelStart(7); // after the break: Text counts it as two
    box.setSelLength(99);
    QCOMPARE(box.SelStart(), 7);
    QCOMPARE(box.SelText(), QStringLiteral("World"));

    // The first change through SelText turns the box back into plain text, in place.
    box.setSelStart(5);
    box.setSelLength(0);
    box.setSelText(QStringLiteral("!\r"));
    QVERIFY(!box.isRich());
    QCOMPARE(box.Text(), QStringLiteral("Hello!\r\n\r\nWorld"));
    QCOMPARE(box.SelStart(), 8);

    // A rich box saves its plain text.
    box.LoadFile(rich);
    box.SaveFile(plain, 1);
    QCOMPARE(readFile(plain), QByteArray("Hello\r\nWorld"));
}

void TstRichTextBox::loadOverPieces_data() {
    // A file is read a piece at a time: a break or the start of the rich-text mark may
    // lie across the end of a piece (a megabyte), `at` bytes of 'a' before the rest.
    QTest::addColumn<int>("at");
    QTest::addColumn<QByteArray>("rest");
    QTest::addColumn<QByteArray>("stored"); // what follows the 'a's in the box
    const int mb = 1 << 20;
    QTest::newRow("empty") << 0 << QByteArray() << QByteArray();
    QTest::newRow("part of the rich mark") << 0 << QByteArray("{\\rt") << QByteArray("{\\rt");
    for (int at : {mb - 2, mb - 1, mb}) {
        const QByteArray where = QByteArray::number(at - mb);
        QTest::newRow("crlf over pieces " + where)
            << at << QByteArray("\r\nb\r\n") << QByteArray("\r\nb\r\n");
        QTest::newRow("lone cr over pieces " + where)
            << at << QByteArray("\rb\r") << QByteArray("\r\nb\r\n");
    }
}

void TstRichTextBox::loadOverPieces() {
    QFETCH(int, at);
    QFETCH(QByteArray, rest);
    QFETCH(QByteArray, stored);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("file.txt"));
    QVERIFY(writeFile(path, QByteArray(at, 'a') + rest));
    RichTextBox box;
    box.setText(QStringLiteral("old"));
    box.LoadFile(path);
    QVERIFY(!box.isRich());
    QCOMPARE(box.store().bytes(), QByteArray(at, 'a') + stored);
    QCOMPARE(box.SelStart(), 0);
}

void TstRichTextBox::saveRoundTrip() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    RichTextBox box;
    box.setText(QString::fromLatin1(allBytes() + "\r\nend\r"));
    box.SaveFile(path, 1);
    QCOMPARE(readFile(path), box.Text().toLatin1());
    RichTextBox again;
    again.LoadFile(path);
    QCOMPARE(again.Text(), box.Text());
}

void TstRichTextBox::failedLoadLeavesBoxAlone_data() {
    QTest::addColumn<bool>("known"); // last loaded from that very file, or not
    // Where reading the file fails: at once (it is gone), or after the first megabyte (a
    // file of three, whose first piece is in already).
    QTest::addColumn<bool>("midway");
    QTest::newRow("file gone") << false << false;
    QTest::newRow("file gone, loaded from it before") << true << false;
    QTest::newRow("read fails midway") << true << true;
}

void TstRichTextBox::failedLoadLeavesBoxAlone() {
    QFETCH(bool, known);
    QFETCH(bool, midway);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("gone.txt"));
    RichTextBox box;
    QVERIFY(writeFile(path, "keep\nthis"));
    if (known)
        box.LoadFile(path);
    else
        box.setText(QStringLiteral("keep\nthis"));
    box.setSelStart(2);
    box.setSelLength(4);
    const std::uint64_t revision = box.store().revision();
    if (midway)
        QVERIFY(writeFile(path, QByteArray(3 << 20, 'x')));
    else
        QFile::remove(path);
    failReadsFrom = midway ? 1 << 20 : -1;
    const auto readsAgain = qScopeGuard([] { failReadsFrom = -1; });
    QVERIFY_THROWS_EXCEPTION(RuntimeError, box.LoadFile(path));
    QCOMPARE(box.Text(), QStringLiteral("keep\r\nthis"));
    QCOMPARE(box.SelStart(), 2);
    QCOMPARE(box.SelLength(), 4);
    QCOMPARE(box.store().revision(), revision);
}

void TstRichTextBox::destroyedWhileItsViewHasFocus() {
    // The focused view hears of the focus leaving it as the box dies and reads the store
    // then: the view must go before the store it shows.
    auto* box = new RichTextBox;
    box->resize(300, 200);
    box->setText(QString(3000, QLatin1Char('x')));
    box->setSelStart(box->textLength());
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box));
    box->setFocus();
    QTRY_VERIFY(box->view()->hasFocus());
    delete box;
}

void TstRichTextBox::accessibleTextOfEachBox() {
    // The receive box: one object carries its description, the view, which serves the
    // text and takes the focus; the box around it carries neither name nor description.
    AppHarness app;
    auto& w = app.window();
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QList<QAccessibleInterface*> found = describedAs(&w, QStringLiteral("rtfReceive"));
    QCOMPARE(found.size(), 1);
    QAccessibleInterface* box = found[0];
    QCOMPARE(box->object(), w.rtfReceive->view());
    QCOMPARE(box->text(QAccessible::Name), QStringLiteral("Receive box"));
    QCOMPARE(box->role(), QAccessible::EditableText);
    QVERIFY(box->state().multiLine && box->state().editable && box->state().focusable);
    QAccessibleInterface* container = QAccessible::queryAccessibleInterface(w.rtfReceive);
    QVERIFY(container->text(QAccessible::Name).isEmpty());
    QVERIFY(container->text(QAccessible::Description).isEmpty());
    w.rtfReceive->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), w.rtfReceive->view());
    QCOMPARE(QAccessible::queryAccessibleInterface(QApplication::focusWidget()), box);
    QVERIFY(box->state().focused);
    QVERIFY(app.com5->write("IP: 127.0.0.1.\r\n"));
    QTRY_VERIFY(wholeText(box).contains(QStringLiteral("IP: 127.0.0.1.\r\n")));
    QCOMPARE(wholeText(box), w.rtfReceive->Text());

    // Rich content: the editor showing it takes over description, name and focus, and
    // gives them back when the box turns plain again.
    w.rtfReceive->setRichText("{\\rtf1 {\\b Bold} words\\par}");
    found = describedAs(&w, QStringLiteral("rtfReceive"));
    QCOMPARE(found.size(), 1);
    auto* editor = qobject_cast<QTextEdit*>(found[0]->object());
    QVERIFY(editor);
    QCOMPARE(found[0]->text(QAccessible::Name), QStringLiteral("Receive box"));
    QVERIFY(wholeText(found[0]).contains(QStringLiteral("Bold words")));
    QTRY_COMPARE(QApplication::focusWidget(), editor);
    // It takes the view's place in the tab order, and Tab leaves it.
    QTest::keyClick(editor, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w.btnSave[0]);
    QTest::keyClick(w.btnSave[0], Qt::Key_Tab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), editor);
    w.rtfReceive->setText(QStringLiteral("plain again"));
    found = describedAs(&w, QStringLiteral("rtfReceive"));
    QCOMPARE(found.size(), 1);
    QCOMPARE(found[0], box);
    QCOMPARE(wholeText(box), QStringLiteral("plain again"));
    QTRY_COMPARE(QApplication::focusWidget(), w.rtfReceive->view());

    // The viewer, with a plain file and with a rich one.
    QTemporaryDir dir;
    const QString plain = dir.filePath(QStringLiteral("plain.txt"));
    const QString rich = dir.filePath(QStringLiteral("rich.rtf"));
    QVERIFY(writeFile(plain, "viewed line\r\n"));
    QVERIFY(writeFile(rich, "{\\rtf1 Rich view\\par}"));
    for (const QString& file : {plain, rich}) {
        chosenFileName = file;
        frmOpenProgram viewer;
        viewer.Form_Load();
        viewer.show();
        found = describedAs(&viewer, QStringLiteral("rtfReceive"));
        QCOMPARE(found.size(), 1);
        QCOMPARE(found[0]->text(QAccessible::Name), QStringLiteral("Viewed file"));
        QCOMPARE(qobject_cast<QTextEdit*>(found[0]->object()) != nullptr, file == rich);
        QVERIFY(wholeText(found[0]).contains(file == rich ? QStringLiteral("Rich view")
                                                          : QStringLiteral("viewed line\r\n")));
    }

    // The network help window's document.
    QVERIFY(QFile::copy(QStringLiteral(QUORLANE_HELP_DOCUMENT),
                        dir.filePath(QStringLiteral("NetworkTCPSetup.rtf"))));
    appFolder = dir.path();
    frmNetWorkSetUp help;
    help.Form_Load();
    help.show();
    found = describedAs(&help, QStringLiteral("RichTextBox1"));
    QCOMPARE(found.size(), 1);
    QVERIFY(qobject_cast<QTextEdit*>(found[0]->object()));
    QCOMPARE(found[0]->text(QAccessible::Name), QStringLiteral("Network set-up help"));
    QVERIFY(wholeText(found[0]).contains(QStringLiteral("Right Click Network")));
}

void TstRichTextBox::quietWithoutAssistiveTechnology() {
    // Offscreen no accessibility bridge listens: as text streams in and the box repaints,
    // nothing is gathered for announcements and no text is read for them.
    QVERIFY(!QAccessible::isActive());
    AppHarness app;
    auto& w = app.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            paints += e->type() == QEvent::Paint;
            return false;
        }
    } counter;
    w.rtfReceive->view()->viewport()->installEventFilter(&counter);
    const std::int64_t read = textaccess::charactersRead();
    bool carry = false;
    for (int i = 0; i < 200; ++i)
        w.rtfReceive->store().append("piece " + QByteArray::number(i) + "\r\n", carry);
    QTRY_VERIFY(counter.paints > 0);
    QCOMPARE(textaccess::charactersRead(), read);
}

QTEST_MAIN(TstRichTextBox)
#include "tst_richtextbox.moc"
