// The rich-text box: Text and its line breaks, the caret in Text's characters, loading
// plain and rich files, saving; and the proof that keeping the log file in step (writing
// or reading only what is new) leaves box and file byte for byte as the whole-file
// operations do, over seeded random sequences of everything that can happen to them.
//
// QUORLANE_EQUIVALENCE_SEQUENCES sets how many random sequences run (default 24),
// QUORLANE_EQUIVALENCE_SEED the first seed.

#include "form/globals.h"
#include "help/helpwindows.h"
#include "log/filebuttons.h"
#include "log/receivelog.h"
#include "platform/files.h"
#include "platform/richtextbox.h"
#include "platform/runtimeerror.h"
#include "platform/textview.h"
#include "platform/textviewaccessible.h"
#include "support/appharness.h"
#include "support/testutil.h"

#include <QAccessible>
#include <QFile>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <random>

namespace {

// One side of a comparison: a box and its log file in a scratch folder of its own.
struct Side {
    explicit Side(bool wholeFileOnly) { box.setWholeFileOnly(wholeFileOnly); }
    QTemporaryDir dir;
    QString path = dir.path() + QStringLiteral("/ZEL.txt");
    RichTextBox box;
    ReceiveLog log{box, path};
};

// The random events. Pieces favour CR and LF (so that pairs split over events), and
// take any byte value.
class Events {
public:
    explicit Events(std::uint64_t seed) : rng_(seed) {}
    int below(int n) { return int(rng_() % std::uint64_t(n)); }
    QByteArray piece(int maxLen) {
        QByteArray p;
        if (below(30) == 0)
            p = "{\\rtf1 "; // the start of rich text, where a file begins or not
        if (below(5) == 0)
            p += '\n'; // perhaps the second half of a break
        const int n = below(maxLen + 1);
        for (int i = 0; i < n; ++i) {
            const int r = below(100);
            p.append(r < 12   ? '\r'
                     : r < 24 ? '\n'
                     : r < 75 ? char('a' + below(26))
                              : char(below(256)));
        }
        if (below(5) == 0)
            p += '\r'; // perhaps the first half of one
        return p;
    }

private:
    std::mt19937_64 rng_;
};

enum class Step {
    Serial,
    SerialNoData,
    Tcp,
    Caret,
    Type,
    Erase,
    EraseAll,
    ExtAppend,
    ExtTruncate,
    ExtSameSize,
    ExtDelete,
    ExtReplace,
    ExtRich,
    Reload,
    Count
};

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
    void saveRoundTrip();
    void missingFileLeavesBoxAlone();
    void reloadForgetsWaitingCr();
    void fileTurningRichIsReadWhole();
    void shortcutMatchesWholeFile();
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
    // Saved again after more text: the shortcut appends, the file still equals Text.
    box.setSelStart(box.textLength());
    box.setSelText(QStringLiteral("more"));
    box.SaveFile(path, 1);
    QCOMPARE(box.shortcutSaves(), std::uint64_t(1));
    QCOMPARE(readFile(path), box.Text().toLatin1());
}

void TstRichTextBox::missingFileLeavesBoxAlone() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("gone.txt"));
    for (bool known : {false, true}) { // last loaded from that very file, or not
        RichTextBox box;
        QVERIFY(writeFile(path, "keep\nthis"));
        if (known)
            box.LoadFile(path);
        else
            box.setText(QStringLiteral("keep\nthis"));
        QFile::remove(path);
        box.setSelStart(2);
        box.setSelLength(4);
        QVERIFY_THROWS_EXCEPTION(RuntimeError, box.LoadFile(path));
        QCOMPARE(box.Text(), QStringLiteral("keep\r\nthis"));
        QCOMPARE(box.SelStart(), 2);
        QCOMPARE(box.SelLength(), 4);
    }
}

void TstRichTextBox::reloadForgetsWaitingCr() {
    // A serial piece ending in a lone CR lands in the middle; a TCP/IP chunk reloads the
    // box; an LF received at the same place then is a break of its own, as after a
    // whole load.
    Side fast(false), whole(true);
    for (Side* s : {&fast, &whole}) {
        s->log.startAfresh();
        s->log.serialInsert("0123456789");
        s->log.saveBox();
        s->box.setSelStart(5);
        s->log.serialInsert("ab\r");
        s->log.saveBox();
        s->log.tcpChunk("tcp");
        s->box.setSelStart(9); // right after the CR LF that "ab\r" made
        s->log.serialInsert("\nx");
        s->log.saveBox();
    }
    QCOMPARE(fast.box.Text(), whole.box.Text());
    QCOMPARE(readFile(fast.path), readFile(whole.path));
    QCOMPARE(readFile(fast.path), QByteArray("\r\n\r\n0ab\r\n\r\nx123456789tcp\r\n"));
    QVERIFY(fast.box.shortcutLoads() > 0);
}

void TstRichTextBox::fileTurningRichIsReadWhole() {
    // A log that starts with "{\rtf", or could still come to, is read as rich text.
    for (const char* serial : {"{\\rtf1 hello}", ""}) {
        Side fast(false), whole(true);
        for (Side* s : {&fast, &whole}) {
            s->log.startAfresh();
            QTest::keyClick(s->box.view(), Qt::Key_A, Qt::ControlModifier);
            QTest::keyClick(s->box.view(), Qt::Key_Delete);
            s->log.serialInsert(serial);
            s->log.saveBox();
            s->log.tcpChunk("{\\rtf1 x}");
            QVERIFY(s->box.isRich());
        }
        QCOMPARE(fast.box.Text(), whole.box.Text());
    }
}

void TstRichTextBox::shortcutMatchesWholeFile() {
    const int sequences = qEnvironmentVariableIsSet("QUORLANE_EQUIVALENCE_SEQUENCES")
                              ? qEnvironmentVariableIntValue("QUORLANE_EQUIVALENCE_SEQUENCES")
                              : 24;
    const std::uint64_t firstSeed =
        qEnvironmentVariableIsSet("QUORLANE_EQUIVALENCE_SEED")
            ? qEnvironmentVariable("QUORLANE_EQUIVALENCE_SEED").toULongLong()
            : 0x51DE'0001;
    constexpr int kSteps = 160;
    std::array<int, int(Step::Count)> counts{};
    std::uint64_t shortcutSaves = 0, shortcutLoads = 0, stampBumps = 0;

    for (int seq = 0; seq < sequences; ++seq) {
        const std::uint64_t seed = firstSeed + std::uint64_t(seq);
        Events ev(seed);
        Side fast(false), whole(true);
        Side* sides[] = {&fast, &whole};
        std::int64_t lastSerialEnd = 0;
        for (Side* s : sides)
            s->log.startAfresh();

        for (int step = 0; step < kSteps; ++step) {
            const int r = ev.below(100);
            const Step kind = r < 30   ? Step::Serial
                              : r < 34 ? Step::SerialNoData
                              : r < 56 ? Step::Tcp
                              : r < 61 ? Step::Caret
                              : r < 68 ? Step::Type
                              : r < 73 ? Step::Erase
                              : r < 74 ? Step::EraseAll
                              : r < 78 ? Step::ExtAppend
                              : r < 81 ? Step::ExtTruncate
                              : r < 84 ? Step::ExtSameSize
                              : r < 86 ? Step::ExtDelete
                              : r < 89 ? Step::ExtReplace
                              : r < 90 ? Step::ExtRich
                                       : Step::Reload;
            ++counts[int(kind)];
            // Everything random is drawn once and applied to both sides alike.
            const QByteArray text = ev.piece(kind == Step::Tcp ? 30 : 12);
            const std::int64_t len = fast.box.textLength();
            // The caret goes to a random place, to the end, or back to where the last
            // serial piece ended (where a break it left open could be closed).
            const int spot = ev.below(5);
            const std::int64_t a = spot == 0 ? lastSerialEnd : ev.below(int(len) + 1);
            const std::int64_t b = ev.below(int(len) + 1);
            const bool select = ev.below(3) == 0, atEnd = spot >= 3;
            const QByteArray bytes = ev.piece(20);
            const int fileCut = ev.below(1 << 20);
            const QByteArray typed = QByteArray("xy z").left(1 + ev.below(4));
            const bool enter = ev.below(4) == 0, backspace = ev.below(2) == 0;

            QList<bool> threw;
            for (Side* s : sides) {
                RichTextBox& box = s->box;
                const files::Stamp before = files::stamp(s->path);
                const QByteArray contentBefore = readFile(s->path);
                try {
                    switch (kind) {
                    case Step::Serial: // as MSComm1_OnComm does it, after a click somewhere
                        if (!atEnd) {
                            box.setSelStart(a);
                            box.setSelLength(select ? b - a : 0);
                        }
                        if (s == &fast) {
                            const std::int64_t at = box.SelStart() + box.SelLength();
                            const std::int64_t before = box.textLength();
                            s->log.serialInsert(text);
                            lastSerialEnd = at + box.textLength() - before;
                        } else {
                            s->log.serialInsert(text);
                        }
                        (void)box.tail(50);
                        s->log.saveBox();
                        break;
                    case Step::SerialNoData:
                        s->log.saveBox();
                        break;
                    case Step::Tcp:
                        s->log.tcpChunk(text);
                        break;
                    case Step::Caret:
                        box.setSelStart(a);
                        box.setSelLength(b);
                        break;
                    case Step::Type:
                        box.setSelStart(a);
                        QTest::keyClicks(box.view(), QString::fromLatin1(typed));
                        if (enter)
                            QTest::keyClick(box.view(), Qt::Key_Return);
                        break;
                    case Step::Erase:
                        box.setSelStart(std::min(a, b));
                        box.setSelLength(select ? std::abs(b - a) : 0);
                        QTest::keyClick(box.view(), backspace ? Qt::Key_Backspace : Qt::Key_Delete);
                        break;
                    case Step::EraseAll:
                        QTest::keyClick(box.view(), Qt::Key_A, Qt::ControlModifier);
                        QTest::keyClick(box.view(), Qt::Key_Delete);
                        break;
                    case Step::ExtAppend: {
                        QFile f(s->path);
                        if (f.open(QIODevice::Append))
                            f.write(bytes);
                        break;
                    }
                    case Step::ExtTruncate: {
                        const qint64 size = QFileInfo(s->path).size();
                        QFile::resize(s->path, size ? fileCut % (size + 1) : 0);
                        break;
                    }
                    case Step::ExtSameSize: { // in place: same inode, same size
                        QFile f(s->path);
                        if (f.open(QIODevice::ReadWrite) && f.size() > 0) {
                            QByteArray all = f.readAll();
                            const qsizetype at = fileCut % all.size();
                            all[at] = char(all[at] ^ 0x21);
                            f.seek(0);
                            f.write(all);
                        }
                        break;
                    }
                    case Step::ExtDelete:
                        QFile::remove(s->path);
                        break;
                    case Step::ExtReplace: // a new file renamed over the log
                    case Step::ExtRich: {
                        const QString tmp = s->path + QStringLiteral(".new");
                        QVERIFY(writeFile(tmp, kind == Step::ExtRich
                                                   ? QByteArray("{\\rtf1 rich\\par ") + bytes + "}"
                                                   : bytes));
                        QFile::remove(s->path);
                        QFile::rename(tmp, s->path);
                        break;
                    }
                    case Step::Reload:
                        s->log.reloadFromLog();
                        break;
                    case Step::Count:
                        break;
                    }
                    threw << false;
                } catch (const RuntimeError&) {
                    threw << true;
                }
                // A change by someone else is known by the size and times it leaves. Where
                // the file system gave the rewritten file the very stamp it had, nothing
                // could tell: move its time on, as the next clock tick would.
                const files::Stamp after = files::stamp(s->path);
                if (kind >= Step::ExtAppend && kind <= Step::ExtRich && after.exists &&
                    after == before && readFile(s->path) != contentBefore) {
                    QFile f(s->path);
                    f.open(QIODevice::ReadWrite);
                    f.setFileTime(f.fileTime(QFileDevice::FileModificationTime).addSecs(1),
                                  QFileDevice::FileModificationTime);
                    ++stampBumps;
                }
            }

            const QByteArray where = QStringLiteral("seed %1 step %2 (%3)")
                                         .arg(seed)
                                         .arg(step)
                                         .arg(int(kind))
                                         .toLatin1();
            QVERIFY2(threw[0] == threw[1], where);
            QVERIFY2(fast.box.isRich() == whole.box.isRich(), where);
            QVERIFY2(fast.box.Text() == whole.box.Text(), where);
            QVERIFY2(fast.box.SelStart() == whole.box.SelStart(), where);
            QVERIFY2(fast.box.SelLength() == whole.box.SelLength(), where);
            QVERIFY2(readFile(fast.path) == readFile(whole.path), where);
            QVERIFY2(fast.log.fileBehind() == whole.log.fileBehind(), where);
        }
        QCOMPARE(whole.box.shortcutSaves() + whole.box.shortcutLoads(), std::uint64_t(0));
        shortcutSaves += fast.box.shortcutSaves();
        shortcutLoads += fast.box.shortcutLoads();
    }
    // The shortcut must really have been taken, or nothing was compared.
    if (sequences > 0) {
        QVERIFY(shortcutSaves > std::uint64_t(counts[int(Step::Serial)]) / 4);
        QVERIFY(shortcutLoads > std::uint64_t(counts[int(Step::Tcp)]) / 4);
    }
    qInfo("%d sequences of %d steps: %llu shortcut saves, %llu shortcut loads, %llu stamps "
          "moved on",
          sequences, kSteps, (unsigned long long)shortcutSaves, (unsigned long long)shortcutLoads,
          (unsigned long long)stampBumps);
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
