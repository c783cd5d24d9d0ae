// The file buttons: "Save To File" copies the receive log file to the name the operator
// picks, "Open File" shows a file in the one viewer window. The file dialog is scripted;
// files and folders are real.
//
// What a save may do to the file it replaces depends on who saves, and root may write
// any file; so some saves are made as the unprivileged user 65534 ("nobody"). The test
// runs as root in CI: for the one save it takes on that user's identity (effective user
// and group, no supplementary groups) and gives it back right after. Its real user stays
// root, which is what allows the way back.

#include "commands/commands.h"
#include "log/filebuttons.h"
#include "platform/link/serialcontrol.h"
#include "platform/widgets/controls.h"
#include "platform/widgets/richtextbox.h"
#include "shared/globals.h"
#include "support/appharness.h"
#include "support/testutil.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uid_t Nobody = 65534;

struct stat statOf(const QString& path) {
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

// While it lives, files are created, read and written as the user 65534.
struct AsNobody {
    AsNobody() {
        groups.resize(::getgroups(0, nullptr));
        groups.resize(::getgroups(int(groups.size()), groups.data()));
        ok = ::setgroups(0, nullptr) == 0 && ::setegid(Nobody) == 0 && ::seteuid(Nobody) == 0;
    }
    ~AsNobody() {
        // Root again first: only root may set the rest back.
        if (::seteuid(0) != 0 || ::setegid(0) != 0 ||
            ::setgroups(groups.size(), groups.data()) != 0)
            qFatal("could not become root again");
    }
    std::vector<gid_t> groups;
    bool ok = false;
};

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

// The harness after start-up has settled: the greeting's send event has saved the box
// over the log, so the log changes no more unless the unit sends something.
bool settle(AppHarness& app) {
    return app.com5->waitFor(5, 3000) == "rip\r\n" &&
           QTest::qWaitFor([&] { return app.logBytes() == "\r\n\r\n"; }, 3000);
}

void unhookTimer(frmQuorlaneTest& w) {
    QObject::disconnect(w.Timer1, nullptr, &w, nullptr);
}

int viewerWindows() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        n += qobject_cast<frmOpenProgram*>(w) != nullptr;
    return n;
}

} // namespace

class FileButtonsTest : public QObject {
    Q_OBJECT
private slots:
    void saveNames_data();
    void saveNames();
    void cancelDoesNothing();
    void saveCopiesTheFileNotTheBox();
    void saveOntoTheLogLeavesItIntact_data();
    void saveOntoTheLogLeavesItIntact();
    void failedCopyIsReported_data();
    void failedCopyIsReported();
    void saveRespectsTheFileItReplaces_data();
    void saveRespectsTheFileItReplaces();
    void viewerIsOneSnapshot();
    void unreadableFileOpensNoViewer_data();
    void unreadableFileOpensNoViewer();
};

void FileButtonsTest::saveNames_data() {
    QTest::addColumn<QString>("folder"); // made first, inside the scratch folder
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("saved");
    QTest::newRow("no extension") << QString() << "run1"
                                  << "run1.txt";
    QTest::newRow("upper case") << QString() << "log.TXT"
                                << "log.TXT";
    QTest::newRow("inner .txt") << QString() << "a.txt.bak"
                                << "a.txt.bak";
    QTest::newRow(".txt in folder") << "old.txt.d"
                                    << "old.txt.d/run2"
                                    << "old.txt.d/run2";
    QTest::newRow("replaces a file") << QString() << "old.txt"
                                     << "old.txt";
}

void FileButtonsTest::saveNames() {
    QFETCH(QString, folder);
    QFETCH(QString, answer);
    QFETCH(QString, saved);
    QTemporaryDir dir;
    if (!folder.isEmpty())
        QVERIFY(QDir(dir.path()).mkdir(folder));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("old.txt")), "stale stale stale stale"));
    AppHarness app;
    QVERIFY(settle(app));
    const QStringList before = entries(dir.path());

    app.dialogs->answers.push_back(dir.filePath(answer));
    app->btnSave[0]->click();
    QCOMPARE(chosenFileName, dir.filePath(answer));
    QCOMPARE(readFile(dir.filePath(saved)), QByteArray("\r\n\r\n"));
    QCOMPARE(app.logBytes(), QByteArray("\r\n\r\n"));
    // Only the copy is new (no temporary file is left behind).
    QStringList expected = before;
    const QString top = saved.section(QLatin1Char('/'), 0, 0);
    if (!expected.contains(top))
        expected << top;
    expected.sort();
    QCOMPARE(entries(dir.path()), expected);
    if (!folder.isEmpty())
        QCOMPARE(entries(dir.filePath(folder)), QStringList{QStringLiteral("run2")});

    QCOMPARE(app.dialogs->requests.size(), 1);
    const auto& r = app.dialogs->requests[0];
    QVERIFY(r.save);
    QCOMPARE(r.initDir, appFolder);
    QVERIFY(!appFolder.isEmpty());
    QCOMPARE(r.nameFilter, QStringLiteral("*.txt (*.txt)"));
    QCOMPARE(r.fileName, QString());
    QVERIFY(app.messages->texts.isEmpty());
    QCOMPARE(app->fileButtons().viewer(), nullptr);
}

void FileButtonsTest::cancelDoesNothing() {
    QTemporaryDir dir;
    AppHarness app;
    auto& w = app.window();
    QVERIFY(settle(app));
    for (std::int16_t index : {0, 1}) {
        chosenFileName = QStringLiteral("left over");
        app.dialogs->answers.push_back(std::nullopt);
        w.fileButtons().btnSave_Click(index);
        QCOMPARE(chosenFileName, QString());
    }
    QCOMPARE(app.dialogs->requests.size(), 2);
    QVERIFY(app.dialogs->requests[0].save);
    QVERIFY(!app.dialogs->requests[1].save);
    QCOMPARE(app.dialogs->requests[1].initDir, appFolder);
    QCOMPARE(app.dialogs->requests[1].nameFilter, QStringLiteral("*.txt (*.txt)"));
    QCOMPARE(w.fileButtons().viewer(), nullptr);
    QCOMPARE(viewerWindows(), 0);
    QCOMPARE(entries(app.home.path() + QStringLiteral("/drive_c")), QStringList{"ZEL.txt"});
    QCOMPARE(app.logBytes(), QByteArray("\r\n\r\n"));
    QVERIFY(app.messages->texts.isEmpty());
    // Any other index does nothing, not even a dialog.
    w.fileButtons().btnSave_Click(2);
    QCOMPARE(app.dialogs->requests.size(), 2);
}

void FileButtonsTest::saveCopiesTheFileNotTheBox() {
    QTemporaryDir dir;
    AppHarness app;
    auto& w = app.window();
    unhookTimer(w);
    QVERIFY(settle(app));

    // Before anything was received the copy holds only the start-up line breaks.
    app.dialogs->answers.push_back(dir.filePath(QStringLiteral("empty")));
    w.fileButtons().btnSave_Click(0);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("empty.txt"))), QByteArray("\r\n\r\n"));

    // Typed into the box but never written to the log: not in the copy.
    w.rtfReceive->setSelText(QStringLiteral("typed into the box"));
    app.dialogs->answers.push_back(dir.filePath(QStringLiteral("typed")));
    w.fileButtons().btnSave_Click(0);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("typed.txt"))), QByteArray("\r\n\r\n"));

    // What the unit sent is in the log and so in the copy, byte for byte.
    QVERIFY(app.com5->write("rdp #000001 dew point -12.4 C\r\n\xb0\x01"));
    QVERIFY(QTest::qWaitFor([&] { return app.logBytes().contains("\xb0\x01"); }, 3000));
    app.dialogs->answers.push_back(dir.filePath(QStringLiteral("typed")));
    w.fileButtons().btnSave_Click(0);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("typed.txt"))), app.logBytes());
    QVERIFY(app.messages->texts.isEmpty());

    // A chunk that arrived while the log could not be written is in the copy made as
    // soon as the log is writable again, before the log's own retry comes round.
    QVERIFY(QFile::remove(app.logPath()));
    QVERIFY(QDir().mkdir(app.logPath()));
    app.socket->deliver("rct #000002 cycle time 61.0 s");
    QVERIFY(QDir().rmdir(app.logPath()));
    app.dialogs->answers.push_back(dir.filePath(QStringLiteral("later")));
    w.fileButtons().btnSave_Click(0);
    QVERIFY(readFile(dir.filePath(QStringLiteral("later.txt"))).endsWith("cycle time 61.0 s\r\n"));
    QVERIFY(app.messages->texts.isEmpty());
}

void FileButtonsTest::saveOntoTheLogLeavesItIntact_data() {
    QTest::addColumn<QString>("answer"); // relative to the scratch home
    QTest::newRow("its own name") << "drive_c/ZEL.txt";
    QTest::newRow("without extension") << "drive_c/ZEL";
    QTest::newRow("through a linked folder") << "linked/ZEL.txt";
}

void FileButtonsTest::saveOntoTheLogLeavesItIntact() {
    QFETCH(QString, answer);
    AppHarness app;
    auto& w = app.window();
    unhookTimer(w);
    QVERIFY(settle(app));
    QVERIFY(QFile::link(app.home.path() + QStringLiteral("/drive_c"),
                        app.home.path() + QStringLiteral("/linked")));
    QVERIFY(app.com5->write("rco #000003 CO2 418 ppm\r\n"));
    QVERIFY(QTest::qWaitFor([&] { return app.logBytes().contains("418 ppm"); }, 3000));
    const QByteArray log = app.logBytes();

    app.dialogs->answers.push_back(app.home.path() + QLatin1Char('/') + answer);
    w.fileButtons().btnSave_Click(0);
    QCOMPARE(app.logBytes(), log);
    QCOMPARE(entries(app.home.path() + QStringLiteral("/drive_c")), QStringList{"ZEL.txt"});
    QVERIFY(app.messages->texts.isEmpty());
    // The log goes on working.
    QVERIFY(app.com5->write("v: firmware\r\n"));
    QVERIFY(QTest::qWaitFor([&] { return app.logBytes() == log + "v: firmware\r\n"; }, 3000));
}

void FileButtonsTest::failedCopyIsReported_data() {
    QTest::addColumn<QString>("answer"); // relative to a scratch folder
    QTest::newRow("destination is a folder") << "folder.txt";
    QTest::newRow("missing folder") << "missing/run1";
}

void FileButtonsTest::failedCopyIsReported() {
    QFETCH(QString, answer);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.txt")));
    AppHarness app;
    auto& w = app.window();
    unhookTimer(w);
    QVERIFY(settle(app));

    app.dialogs->answers.push_back(dir.filePath(answer));
    w.fileButtons().btnSave_Click(0);
    QCOMPARE(app.messages->texts.size(), 1);
    const QStringList lines = app.messages->texts[0].split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), 5);
    QVERIFY2(lines[1].size() > QStringLiteral("ErrorDescription: ").size(), qPrintable(lines[1]));
    QCOMPARE(lines[3], QStringLiteral("App Source: frmQuorlaneTest"));
    QCOMPARE(lines[4], QStringLiteral("Active Control: btnSave_Click"));
    // Nothing was made, the log is intact and both links go on.
    QCOMPARE(entries(dir.path()), QStringList{"folder.txt"});
    QCOMPARE(entries(dir.filePath(QStringLiteral("folder.txt"))), QStringList());
    QCOMPARE(app.logBytes(), QByteArray("\r\n\r\n"));
    QVERIFY(w.isEnabled());
    QVERIFY(w.MSComm1->PortOpen());
    w.commands().btnTest_Click(4);
    QCOMPARE(app.com5->waitFor(3, 3000), QByteArray("q\r\n"));
    QVERIFY(app.com5->write("ok\r\n"));
    QVERIFY(QTest::qWaitFor([&] { return app.logBytes().contains("ok\r\n"); }, 3000));
    QCOMPARE(w.txtRS232Send->Visible(), true);
    QCOMPARE(app.messages->texts.size(), 1);
}

void FileButtonsTest::saveRespectsTheFileItReplaces_data() {
    QTest::addColumn<bool>("nobody");     // saved as the user 65534, else as the test's user
    QTest::addColumn<bool>("link");       // the name chosen is a link to the file
    QTest::addColumn<int>("folderMode");  // the folder is the saver's
    QTest::addColumn<int>("fileMode");    // the file is the saver's ...
    QTest::addColumn<bool>("othersFile"); // ... or root's, saved by nobody / nobody's, by root
    QTest::addColumn<bool>("saved");      // else refused with "Permission denied"
    QTest::newRow("link to the file") << false << true << 0755 << 0644 << false << true;
    QTest::newRow("permissions 0640") << false << false << 0755 << 0640 << false << true;
    QTest::newRow("read-only, saved by root") << false << false << 0755 << 0444 << false << true;
    QTest::newRow("nobody's file, saved by root") << false << false << 0755 << 0640 << true << true;
    QTest::newRow("read-only file") << true << false << 0755 << 0444 << false << false;
    QTest::newRow("folder takes no new file") << true << false << 0555 << 0644 << false << true;
    QTest::newRow("root's writable file") << true << false << 0755 << 0666 << true << true;
}

void FileButtonsTest::saveRespectsTheFileItReplaces() {
    QFETCH(bool, nobody);
    QFETCH(bool, link);
    QFETCH(int, folderMode);
    QFETCH(int, fileMode);
    QFETCH(bool, othersFile);
    QFETCH(bool, saved);
    if (::geteuid() != 0)
        QSKIP("takes other users' identities: root only");
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("saves"));
    const QString file = folder + QStringLiteral("/run.txt");
    const QString chosen = link ? folder + QStringLiteral("/link.txt") : file;
    QVERIFY(QDir().mkdir(folder) && writeFile(file, "earlier copy"));
    if (link)
        QVERIFY(QFile::link(file, chosen));
    AppHarness app;
    auto& w = app.window();
    unhookTimer(w);
    QVERIFY(settle(app));
    QVERIFY(app.com5->write("rci #000005 current 1.5 A\r\n"));
    QVERIFY(QTest::qWaitFor([&] { return app.logBytes().contains("1.5 A"); }, 3000));
    // Nobody may read the log and reach the folder, which is the saver's.
    const auto native = [](const QString& path) { return QFile::encodeName(path); };
    for (const QString& path : {app.home.path(), dir.path()})
        QVERIFY(::chmod(native(path).constData(), 0755) == 0);
    const uid_t saver = nobody ? Nobody : 0;
    const uid_t fileOwner = othersFile ? (nobody ? 0 : Nobody) : saver;
    QVERIFY(::chown(native(folder).constData(), saver, saver) == 0);
    QVERIFY(::chown(native(file).constData(), fileOwner, fileOwner) == 0);
    QVERIFY(::chmod(native(file).constData(), mode_t(fileMode)) == 0);
    QVERIFY(::chmod(native(folder).constData(), mode_t(folderMode)) == 0);
    const struct stat before = statOf(file);

    app.dialogs->answers.push_back(chosen);
    if (nobody) {
        AsNobody as;
        QVERIFY(as.ok);
        w.fileButtons().btnSave_Click(0);
    } else {
        w.fileButtons().btnSave_Click(0);
    }
    ::chmod(native(folder).constData(), 0755); // so that it can be cleaned up

    // The file keeps its owner, group and permissions; a link stays a link; nothing is
    // left beside it. Where no new file can be given its owner (or made at all), the
    // file is written in place.
    const struct stat after = statOf(file);
    QCOMPARE(after.st_uid, before.st_uid);
    QCOMPARE(after.st_gid, before.st_gid);
    QCOMPARE(int(after.st_mode & 07777), fileMode);
    if (nobody)
        QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(QFileInfo(chosen).symLinkTarget(), link ? file : QString());
    QCOMPARE(entries(folder), link ? QStringList({"link.txt", "run.txt"}) : QStringList{"run.txt"});
    if (saved) {
        QVERIFY2(app.messages->texts.isEmpty(), qPrintable(app.messages->texts.join('\n')));
        QCOMPARE(readFile(file), app.logBytes());
        return;
    }
    // Refused like any other failed copy, in the system's words; nothing changed.
    QCOMPARE(app.messages->texts.size(), 1);
    const QStringList lines = app.messages->texts[0].split(QStringLiteral("\r\n"));
    QCOMPARE(lines.value(0), QStringLiteral("Error Number: [70] "));
    QVERIFY2(lines.value(1).contains(QString::fromLocal8Bit(std::strerror(EACCES))),
             qPrintable(lines.value(1)));
    QCOMPARE(lines.value(4), QStringLiteral("Active Control: btnSave_Click"));
    QCOMPARE(readFile(file), QByteArray("earlier copy"));
}

void FileButtonsTest::viewerIsOneSnapshot() {
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("first.txt"));
    const QString second = dir.filePath(QStringLiteral("second.txt"));
    QVERIFY(writeFile(first, "first file\r\nline 2\r\n"));
    QVERIFY(writeFile(second, "second file\r\n"));
    AppHarness app;
    auto& w = app.window();
    unhookTimer(w);
    QVERIFY(settle(app));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    app.dialogs->answers.push_back(first);
    w.btnSave[1]->click();
    QPointer<frmOpenProgram> viewer = w.fileButtons().viewer();
    QVERIFY(viewer);
    QCOMPARE(chosenFileName, first);
    QCOMPARE(viewer->rtfReceive->Text(), QStringLiteral("first file\r\nline 2\r\n"));
    QCOMPARE(viewer->windowTitle(), QStringLiteral("Open..."));
    QVERIFY(viewer->isVisible());
    QVERIFY(viewer->isWindow());
    QVERIFY(!viewer->isModal());
    QCOMPARE(viewer->minimumSize(), viewer->maximumSize());
    QVERIFY(!(viewer->windowFlags() & Qt::WindowMinMaxButtonsHint));
    QCOMPARE(app.dialogs->requests[0].initDir, appFolder);
    QVERIFY(!app.dialogs->requests[0].save);

    // The main window stays usable and its links keep running.
    QVERIFY(w.isEnabled());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    w.commands().btnTest_Click(3);
    QCOMPARE(app.com5->waitFor(3, 3000), QByteArray("v\r\n"));

    // A further "Open File" brings the one viewer forward with its first file.
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    app.dialogs->answers.push_back(second);
    w.fileButtons().btnSave_Click(1);
    QCOMPARE(w.fileButtons().viewer(), viewer.data());
    QCOMPARE(chosenFileName, second);
    QCOMPARE(viewer->rtfReceive->Text(), QStringLiteral("first file\r\nline 2\r\n"));
    QVERIFY(QTest::qWaitForWindowActive(viewer.data()));
    QCOMPARE(viewerWindows(), 1);

    // Closed, it goes; the next "Open File" makes a new one with the new file.
    QVERIFY(viewer->close());
    QTRY_VERIFY(viewer.isNull());
    QCOMPARE(w.fileButtons().viewer(), nullptr);
    app.dialogs->answers.push_back(second);
    w.fileButtons().btnSave_Click(1);
    QVERIFY(w.fileButtons().viewer());
    QCOMPARE(w.fileButtons().viewer()->rtfReceive->Text(), QStringLiteral("second file\r\n"));
    QVERIFY(w.fileButtons().viewer()->close());
    QTRY_COMPARE(viewerWindows(), 0);

    // The log in the viewer is a snapshot: what arrives later does not reach it.
    app.dialogs->answers.push_back(app.logPath());
    w.fileButtons().btnSave_Click(1);
    viewer = w.fileButtons().viewer();
    QVERIFY(viewer);
    const QString shown = viewer->rtfReceive->Text();
    QCOMPARE(shown, QString::fromLatin1(app.logBytes()));
    QFileSystemWatcher watcher({app.logPath()});
    bool changed = false;
    QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, [&] { changed = true; });
    QVERIFY(app.com5->write("rsp #000002 set point -10.0 C\r\n"));
    QVERIFY(QTest::qWaitFor([&] { return app.logBytes().contains("set point"); }, 3000));
    // A viewer that followed the file would have heard of the change by now.
    QVERIFY(QTest::qWaitFor([&] { return changed; }, 3000) && handlePostedEvents());
    QCOMPARE(viewer->rtfReceive->Text(), shown);
    QVERIFY(app.messages->texts.isEmpty());
}

void FileButtonsTest::unreadableFileOpensNoViewer_data() {
    QTest::addColumn<QString>("answer"); // relative to a scratch folder
    QTest::newRow("missing file") << "gone.txt";
    QTest::newRow("a folder") << "folder.txt";
}

void FileButtonsTest::unreadableFileOpensNoViewer() {
    QFETCH(QString, answer);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.txt")));
    AppHarness app;
    auto& w = app.window();
    unhookTimer(w);
    QVERIFY(settle(app));

    app.dialogs->answers.push_back(dir.filePath(answer));
    w.fileButtons().btnSave_Click(1);
    QCOMPARE(app.messages->texts.size(), 1);
    QVERIFY(app.messages->texts[0].endsWith(QStringLiteral("Active Control: btnSave_Click")));
    QCOMPARE(w.fileButtons().viewer(), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(viewerWindows(), 0);
    QCOMPARE(app.logBytes(), QByteArray("\r\n\r\n"));
    QVERIFY(w.MSComm1->PortOpen());

    // A readable file afterwards opens the viewer as usual.
    const QString good = dir.filePath(QStringLiteral("good.txt"));
    QVERIFY(writeFile(good, "readable\r\n"));
    app.dialogs->answers.push_back(good);
    w.fileButtons().btnSave_Click(1);
    QVERIFY(w.fileButtons().viewer());
    QCOMPARE(w.fileButtons().viewer()->rtfReceive->Text(), QStringLiteral("readable\r\n"));
    QCOMPARE(app.messages->texts.size(), 1);
}

QTEST_MAIN(FileButtonsTest)
#include "tst_file_buttons.moc"
