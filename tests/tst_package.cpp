// What an installation holds, and the installed program starting from it. The
// installation is this build put into a scratch prefix with `cmake --install`, or, when
// QUORLANE_PACKAGE_ROOT names a Debian package unpacked with `dpkg -x`, that package's
// /usr (scripts/package-test.sh does that). Qt comes from the system in both cases.

#include "platform/base/portlock.h"
#include "support/ptypeer.h"
#include "support/scratchhome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class PackageTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void layout();
    void installedProgramStarts();
    void installedToolsRun();

private:
    QTemporaryDir scratch_;
    QString prefix_;
};

void PackageTest::initTestCase() {
    const QString root = qEnvironmentVariable("QUORLANE_PACKAGE_ROOT");
    if (!root.isEmpty()) {
        prefix_ = root + QStringLiteral("/usr");
        QVERIFY2(QFileInfo(prefix_).isDir(), qPrintable(prefix_));
        return;
    }
    QVERIFY(scratch_.isValid());
    prefix_ = scratch_.path() + QStringLiteral("/prefix");
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(QUORLANE_CMAKE_COMMAND),
                  {"--install", QUORLANE_BINARY_DIR, "--prefix", prefix_});
    QVERIFY(install.waitForFinished(120000));
    QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0,
             install.readAll().constData());
}

void PackageTest::layout() {
    const QString program = prefix_ + QStringLiteral("/lib/quorlane/quorlane");
    QVERIFY(QFileInfo(program).isExecutable() && !QFileInfo(program).isSymLink());
    // The help document lies beside the real executable, as the program expects it.
    QCOMPARE(readAll(prefix_ + QStringLiteral("/lib/quorlane/NetworkTCPSetup.rtf")),
             readAll(QStringLiteral(QUORLANE_HELP_DOCUMENT)));
    for (const QString& name : {QStringLiteral("quorlane"), QStringLiteral("quorlane-unit")}) {
        const QFileInfo link(prefix_ + QStringLiteral("/bin/") + name);
        QVERIFY2(link.isSymLink(), qPrintable(name));
        // A relative link: it also holds in a package unpacked anywhere.
        QCOMPARE(link.canonicalFilePath(),
                 QFileInfo(prefix_ + QStringLiteral("/lib/quorlane/") + name).canonicalFilePath());
        QVERIFY(link.isExecutable());
    }
    QVERIFY(QFileInfo(prefix_ + QStringLiteral("/bin/quorlane-ports")).isExecutable());

    const QByteArray desktop =
        readAll(prefix_ + QStringLiteral("/share/applications/quorlane.desktop"));
    QVERIFY(desktop.contains("\nExec=quorlane\n") && desktop.contains("\nIcon=quorlane\n"));
    for (int size : {16, 32, 48, 256}) {
        if (!QFileInfo::exists(
                QStringLiteral(QUORLANE_SOURCE_DIR "/src/shared/images/quorlane-%1.png").arg(size)))
            continue; // not drawn yet
        const QString icon =
            prefix_ + QStringLiteral("/share/icons/hicolor/%1x%1/apps/quorlane.png").arg(size);
        QCOMPARE(QImageReader(icon).size(), QSize(size, size));
    }
    for (const char* page : {"quorlane.1", "quorlane-ports.1", "quorlane-unit.1"}) {
        const QString base = prefix_ + QStringLiteral("/share/man/man1/") + QLatin1String(page);
        QVERIFY2(QFileInfo::exists(base + QStringLiteral(".gz")) || QFileInfo::exists(base), page);
    }
    // Qt comes from the system: no run-time search path into a build folder.
    const QString readelf = QStandardPaths::findExecutable(QStringLiteral("readelf"));
    if (!readelf.isEmpty()) {
        QProcess elf;
        elf.start(readelf, {"-d", program});
        QVERIFY(elf.waitForFinished(20000));
        const QByteArray dynamic = elf.readAllStandardOutput();
        QVERIFY2(!dynamic.contains("RPATH") && !dynamic.contains("RUNPATH"), dynamic.constData());
        QVERIFY(dynamic.contains("libQt6SerialPort.so.6"));
    }
}

void PackageTest::installedProgramStarts() {
    ScratchHome home;
    PtyPeer unit;
    QVERIFY(home.isValid() && unit.isValid());
    QVERIFY(unit.linkAs(home, 5));

    QProcessEnvironment env = home.programEnvironment(QStringLiteral("offscreen"));
    env.remove(QStringLiteral("LD_LIBRARY_PATH"));
    QProcess program;
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(prefix_ + QStringLiteral("/bin/quorlane"), QStringList());
    QVERIFY(program.waitForStarted(10000));

    // Start-up greets the unit on COM 5 and starts the receive log C:\ZEL.txt afresh.
    QCOMPARE(unit.waitFor(5, 20000), QByteArray("rip\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(home.path() + QStringLiteral("/drive_c/ZEL.txt")),
                             10000);
    // Started through the link in bin/, it runs as the real file, so its folder (where the
    // help document is looked for) is lib/quorlane.
    QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(program.processId())),
             QFileInfo(prefix_ + QStringLiteral("/lib/quorlane/quorlane")).canonicalFilePath());
    QCOMPARE(program.state(), QProcess::Running);

    // Asked to end as a desktop logout or `kill` asks, it closes its port (no lock file
    // left behind) and ends with status 0.
    program.terminate();
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(!QFile::exists(portlock::lockFilePath(unit.slavePath())));
}

void PackageTest::installedToolsRun() {
    ScratchHome home;
    PtyPeer device;
    QVERIFY(home.isValid() && device.isValid());
    struct Case {
        const char* tool;
        QStringList args;
        QByteArray output;
    };
    const Case cases[] = {
        {"quorlane-unit", {"--version"}, "quorlane-unit"},
        {"quorlane-ports", {"link", "5", device.slavePath()}, "COM 5 now leads to"},
        {"quorlane-ports", {"list"}, "COM 5   " + device.slavePath().toLocal8Bit() + "  [ready]"},
    };
    for (const Case& c : cases) {
        QProcess p;
        p.start(prefix_ + QStringLiteral("/bin/") + QLatin1String(c.tool), c.args);
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY2(p.readAllStandardOutput().contains(c.output), c.tool);
    }
}

QTEST_GUILESS_MAIN(PackageTest)
#include "tst_package.moc"
