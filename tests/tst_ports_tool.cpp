// quorlane-ports, run as its own process against a scratch QUORLANE_HOME, pseudo-terminals
// as devices and, for the device list, a port list standing in for QSerialPortInfo's and
// a small sysfs and /dev tree of its own.

#include "deviceaccess.h"
#include "platform/base/paths.h"
#include "serialdevices.h"
#include "support/portlockfile.h"
#include "support/ptypeer.h"
#include "support/scratchhome.h"
#include "support/testutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Run {
    int code = -1;
    QString out;
    QString err;
};

Run runTool(const QStringList& args,
            const QString& program = QStringLiteral(QUORLANE_BINARY_DIR "/quorlane-ports"),
            const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.code = p.exitCode();
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

QString linkOf(const QString& path) {
    return QFileInfo(path).symLinkTarget();
}

void symlink(const QString& target, const QString& link) {
    QDir().mkpath(QFileInfo(link).path());
    QVERIFY2(QFile::link(target, link), qPrintable(link));
}

// The arguments for setpriv that run the tool as user nobody: a copy of it in the scratch
// home, which nobody may then enter. Empty, with the reason in `why`, when this machine
// cannot do that.
QStringList asNobody(const ScratchHome& home, QString& why) {
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody) {
        why = QStringLiteral("no user nobody here");
        return {};
    }
    QStringList prefix = {QStringLiteral("--reuid=%1").arg(nobody->pw_uid),
                          QStringLiteral("--regid=%1").arg(nobody->pw_gid), "--clear-groups"};
    if (QProcess::execute("setpriv", prefix + QStringList{"true"}) != 0) {
        why = QStringLiteral("cannot switch to an unprivileged user here");
        return {};
    }
    const QString program = QStringLiteral(QUORLANE_BINARY_DIR "/quorlane-ports");
    const QString copy = home.path() + QStringLiteral("/quorlane-ports");
    if (!QFile::exists(copy) && (!QFile::copy(program, copy) ||
                                 !QFile::setPermissions(copy, QFile::permissions(program)))) {
        why = QStringLiteral("cannot copy the tool into the scratch home");
        return {};
    }
    QFile::setPermissions(home.path(), QFileDevice::Permissions(0x7755));
    QFile::setPermissions(home.dosdevices(), QFileDevice::Permissions(0x7777));
    return prefix << copy;
}

} // namespace

class PortsToolTest : public QObject {
    Q_OBJECT
private slots:
    void listLinkRelinkUnlink();
    void refusals_data();
    void refusals();
    void permissionProblem();
    void staleLocks_data();
    void staleLocks();
    void adviceFor_data();
    void adviceFor();
    void devicesFromSysfs();
    void deviceDescriptions_data();
    void deviceDescriptions();
};

void PortsToolTest::listLinkRelinkUnlink() {
    ScratchHome home;
    PtyPeer first, second;
    QVERIFY(home.isValid() && first.isValid() && second.isValid());

    Run r = runTool({});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains("none linked yet") &&
                 r.out.contains("COM 5 (opened at start-up) is not linked: Quorlane will try "
                                "/dev/ttyS4."),
             qPrintable(r.out));

    r = runTool({"link", "5", first.slavePath()});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out.trimmed(), "COM 5 now leads to " + first.slavePath() + ".");
    QCOMPARE(linkOf(home.comPath(5)), first.slavePath());
    // The program opens exactly that device as COM 5.
    QCOMPARE(QFileInfo(paths::comDevicePath(5)).canonicalFilePath(), first.slavePath());

    r = runTool({"list"});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains("  COM 5   " + first.slavePath() + "  [ready]"), qPrintable(r.out));
    QVERIFY(!r.out.contains("opened at start-up"));

    r = runTool({"link", "COM5", second.slavePath()});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains("(it led to " + first.slavePath() + ")"), qPrintable(r.out));
    QCOMPARE(linkOf(home.comPath(5)), second.slavePath());
    QCOMPARE(QDir(home.dosdevices())
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{"com5"});

    r = runTool({"link", "com20", first.slavePath()});
    QCOMPARE(r.code, 0);
    QVERIFY(r.out.contains("port list offers COM 1 to COM 19 only"));

    r = runTool({"unlink", "5"});
    QCOMPARE(r.code, 0);
    QVERIFY(r.out.contains("Quorlane would now try /dev/ttyS4"));
    QVERIFY(!QFileInfo(home.comPath(5)).isSymLink());
    QVERIFY(QFileInfo(home.comPath(20)).isSymLink());
    r = runTool({"unlink", "5"});
    QCOMPARE(r.code, 0);
    QVERIFY(r.out.contains("COM 5 is not linked; nothing to do."));
}

void PortsToolTest::refusals_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    const QString missing = QStringLiteral("/nonexistent/ttyUSB9");
    QTest::newRow("missing device")
        << QStringList{"link", "7", missing} << 1 << "there is nothing at " + missing;
    QTest::newRow("plain file not replaced")
        << QStringList{"link", "8", "/dev/null"} << 1 << "com8 is not a symbolic link";
    QTest::newRow("plain file not removed")
        << QStringList{"unlink", "8"} << 1 << "com8 is not a symbolic link";
    QTest::newRow("com 0") << QStringList{"link", "0", "/dev/null"} << 2 << "'0' is not a COM";
    QTest::newRow("com 256") << QStringList{"unlink", "256"} << 2 << "'256' is not a COM";
    QTest::newRow("not a number") << QStringList{"unlink", "x5"} << 2 << "'x5' is not a COM";
    QTest::newRow("device missing") << QStringList{"link", "5"} << 2 << "link takes 2 arguments";
    QTest::newRow("unknown") << QStringList{"frob"} << 2 << "unknown command 'frob'";
    QTest::newRow("no home") << QStringList{"link", "5", "/dev/null"} << 1
                             << "none of QUORLANE_HOME, XDG_DATA_HOME and HOME is set";
}

void PortsToolTest::refusals() {
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, message);
    ScratchHome home;
    QVERIFY(writeFile(home.comPath(8), "keep me"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (QTest::currentDataTag() == QLatin1String("no home"))
        for (const char* name : paths::HomeSettings)
            env.remove(QString::fromLatin1(name));
    const Run r = runTool(args, QStringLiteral(QUORLANE_BINARY_DIR "/quorlane-ports"), env);
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    // Nothing changed: no new entry, and the plain file is as it was.
    QCOMPARE(QDir(home.dosdevices())
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{"com8"});
    QFile kept(home.comPath(8));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("keep me"));

    if (QTest::currentDataTag() == QLatin1String("missing device")) {
        // --force links it anyway, and the list says the device is missing.
        QCOMPARE(runTool(args + QStringList{"--force"}).code, 0);
        QCOMPARE(linkOf(home.comPath(7)), args[2]);
        const Run list = runTool({"list"});
        QVERIFY2(list.out.contains("  COM 7   " + args[2] + "  [missing: nothing is there"),
                 qPrintable(list.out));
        QVERIFY(list.out.contains("  COM 8   com8 is not a link (quorlane-ports leaves it alone)"));
    }
}

void PortsToolTest::permissionProblem() {
    ScratchHome home;
    PtyPeer pty;
    QVERIFY(home.isValid() && pty.isValid());
    QVERIFY(home.linkCom(5, pty.slavePath()));
    const QByteArray device = QFile::encodeName(pty.slavePath());

    QString program = QStringLiteral(QUORLANE_BINARY_DIR "/quorlane-ports");
    QStringList prefix;
    QString expected;
    if (::geteuid() == 0) {
        // Root opens everything: look as nobody at a device of group dialout, as a USB
        // adapter is on Debian.
        const group* dialout = ::getgrnam("dialout");
        if (!dialout)
            QSKIP("no group dialout here; adviceFor covers the messages");
        if (::chown(device.constData(), 0, dialout->gr_gid) != 0 ||
            ::chmod(device.constData(), 0660) != 0)
            QSKIP("cannot give the pseudo-terminal to group dialout here");
        QString why;
        prefix = asNobody(home, why);
        if (prefix.isEmpty())
            QSKIP(qPrintable(why + QStringLiteral("; adviceFor covers the messages")));
        program = QStringLiteral("setpriv");
        expected = QStringLiteral("sudo usermod -aG dialout nobody");
    } else {
        // The owner of a mode 000 node may not open it either.
        QVERIFY(::chmod(device.constData(), 0) == 0);
        expected = QStringLiteral("Its permissions (mode 0000");
    }

    Run r = runTool(prefix + QStringList{"list"}, program);
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains("  COM 5   " + pty.slavePath() +
                            "  [no access: you may not open it (permission denied)]") &&
                 r.out.contains("You may not open " + pty.slavePath() + ".") &&
                 r.out.contains(expected),
             qPrintable(r.out + r.err));

    r = runTool(prefix + QStringList{"link", "6", pty.slavePath()}, program);
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains("COM 6 now leads to") &&
                 r.out.contains("Note: " + pty.slavePath() + ": no access") &&
                 r.out.contains(expected),
             qPrintable(r.out + r.err));
}

void PortsToolTest::staleLocks_data() {
    // Who runs the tool (this user, user nobody, nobody in a user namespace of its own,
    // which sees root's files as nobody's), how COM 5's device is kept, and what the list
    // says of it and what "unlock 5" reports (%dev is the device, %lock its stale lock
    // file, %pid the process that file names).
    QTest::addColumn<QString>("runner");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("listed");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("unlocked");
    const QString removed = "Removed the stale lock file %lock, left by process %pid (quorlane).";
    const QString busy =
        removed + "\nquorlane-ports: COM 5 (%com5 -> %dev) still cannot be opened [busy: ";
    QTest::newRow("free") << "" << "free"
                          << "  COM 5   %dev  [ready]\n%padLocked: the lock file %lock names "
                             "process %pid (quorlane), which no longer runs.\n%padIt is a stale "
                             "lock; clear it with: quorlane-ports unlock 5\n"
                          << 0 << removed + " COM 5 (%com5 -> %dev) can be opened again.";
    QTest::newRow("in exclusive use")
        << "" << "exclusive"
        << "  COM 5   %dev  [busy: in exclusive use by another program]"
        << 1
        << busy + "in exclusive use by another program]\n%dev is in exclusive use, most likely "
                  "by another program that has it open (Device or resource busy)";
    // The hint names the device, so that it works under sudo, which resets QUORLANE_HOME.
    QTest::newRow("root's lock, as nobody")
        << "nobody" << "free"
        << "%dev  [locked: the lock file below keeps it shut]\n%padLocked: the lock file %lock "
           "names process %pid (quorlane), which no longer runs.\n%padIt is a stale lock; clear "
           "it with: sudo quorlane-ports unlock %dev (the file belongs to root)\n"
        << 1
        << "quorlane-ports: %lock is a stale lock, but it belongs to root, and you may not "
           "remove it. Run:\n    sudo quorlane-ports unlock %dev\nor:\n    sudo rm %lock\n";
    QTest::newRow("root's lock, from a user namespace")
        << "namespace" << "free"
        << "(the file belongs to a user outside this user namespace, shown here as nobody; run it "
           "outside the namespace)\n"
        << 1
        << "quorlane-ports: %lock is a stale lock, but it belongs to a user outside this user "
           "namespace, shown here as nobody, and you may not remove it. Run outside the "
           "namespace:\n    sudo quorlane-ports unlock %dev\n";
}

void PortsToolTest::staleLocks() {
    QFETCH(QString, runner);
    QFETCH(QString, device);
    QFETCH(QString, listed);
    QFETCH(int, code);
    QFETCH(QString, unlocked);
    ScratchHome home;
    const auto left = ptyWithFreeLockName();
    const auto used = ptyWithFreeLockName();
    QVERIFY(home.isValid() && left && used);
    QVERIFY(home.linkCom(5, left->slavePath()) && home.linkCom(6, used->slavePath()));
    const qint64 gone = endedProcessId();
    RunningProcess holder;
    PortLockFile stale(left->slavePath(), gone, "quorlane", false);
    PortLockFile held(used->slavePath(), holder.pid(), "sleep", true);
    QVERIFY(stale.isValid() && held.isValid());
    if (device != "free")
        QVERIFY(left->keepExclusive(true));
    QString program = QStringLiteral(QUORLANE_BINARY_DIR "/quorlane-ports");
    QStringList prefix;
    if (!runner.isEmpty()) {
        QString why;
        if ((prefix = asNobody(home, why)).isEmpty())
            QSKIP(qPrintable(why));
        if (runner == "namespace")
            prefix.insert(prefix.size() - 1, "unshare"), prefix.insert(prefix.size() - 1, "-r");
        if (runTool(prefix + QStringList{"--version"}, "setpriv").code != 0)
            QSKIP("user nobody cannot have a user namespace here");
        program = "setpriv";
        QVERIFY(::chmod(QFile::encodeName(left->slavePath()).constData(), 0666) == 0);
    }
    const auto filled = [&](QString text) {
        return text.replace("%pad", QString(12, QLatin1Char(' ')))
            .replace("%com5", home.comPath(5))
            .replace("%dev", left->slavePath())
            .replace("%lock", stale.path())
            .replace("%pid", QString::number(gone));
    };

    const Run listing = runTool(prefix + QStringList{"list"}, program);
    QCOMPARE(listing.code, 0);
    QVERIFY2(listing.out.contains(filled(listed)), qPrintable(listing.out));
    Run r = runTool(prefix + QStringList{"unlock", "com5"}, program);
    QCOMPARE(r.code, code);
    QVERIFY2((r.out + r.err).startsWith(filled(unlocked)), qPrintable(r.out + r.err));
    QCOMPARE(stale.exists(), !runner.isEmpty());
    if (!runner.isEmpty()) {
        // The hint works as printed, run as root the way sudo does: without this home.
        const QString hint = r.err.section(QStringLiteral("\n    sudo "), 1, 1).section('\n', 0, 0);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QUORLANE_HOME");
        r = runTool(hint.split(' ').mid(1), QStringLiteral(QUORLANE_BINARY_DIR "/quorlane-ports"),
                    env);
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.endsWith(filled(" %dev can be opened again.\n")));
        return;
    }
    // Whether it opens is checked again, also with no lock file left.
    r = runTool({"unlock", "5"});
    QCOMPARE(r.code, code);
    QVERIFY2((r.out + r.err).contains("has no lock file"), qPrintable(r.out + r.err));
    if (device != "free")
        return;

    // A lock whose process runs stays, and the refusal names that process.
    QVERIFY2(listing.out.contains(filled("  COM 6   %1  [locked: the lock file below keeps it "
                                         "shut]\n%pad"
                                         "Locked: the lock file %2 names process %3 (sleep), "
                                         "which is still running.\n%padEnd that program to "
                                         "free the port.\n")
                                      .arg(used->slavePath(), held.path())
                                      .arg(holder.pid())),
             qPrintable(listing.out));
    r = runTool({"unlock", "6"});
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(QStringLiteral("names process %1 (sleep), which is still running; it "
                                           "is left as it is.\nEnd that program")
                                .arg(holder.pid())),
             qPrintable(r.err));
    QVERIFY(held.exists());

    // Under sudo the COM numbers are those of the user who ran sudo.
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() == 0 && nobody) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QUORLANE_HOME");
        env.remove("XDG_DATA_HOME");
        env.insert("SUDO_USER", "nobody");
        r = runTool({"list"}, QStringLiteral(QUORLANE_BINARY_DIR "/quorlane-ports"), env);
        QVERIFY2(r.out.contains(QStringLiteral("(links in %1/.local/share/quorlane/dosdevices)")
                                    .arg(QString::fromLocal8Bit(nobody->pw_dir))),
                 qPrintable(r.out));
    }
}

void PortsToolTest::adviceFor_data() {
    QTest::addColumn<bool>("groupRw");
    QTest::addColumn<bool>("inGroupNow");
    QTest::addColumn<bool>("listed");
    QTest::addColumn<QString>("advice");
    QTest::newRow("not a member") << true << false << false << "sudo usermod -aG dialout alice";
    QTest::newRow("member since this login")
        << true << false << true << "Log out and back in (or start a shell with: newgrp dialout)";
    QTest::newRow("group may not either")
        << false << false << false << "Its permissions (mode 0600, group \"dialout\")";
    QTest::newRow("owner bits deny") << true << true << true << "Its permissions (mode 0600";
}

void PortsToolTest::adviceFor() {
    QFETCH(bool, groupRw);
    QFETCH(bool, inGroupNow);
    QFETCH(bool, listed);
    QFETCH(QString, advice);
    AccessFacts facts;
    facts.exists = facts.characterDevice = true;
    facts.error = EACCES;
    facts.mode = 0600;
    facts.groupName = QStringLiteral("dialout");
    facts.userName = QStringLiteral("alice");
    facts.groupGrantsReadWrite = groupRw;
    facts.inGroupNow = inGroupNow;
    facts.listedInGroup = listed;
    QVERIFY2(permissionAdvice(facts).contains(advice), qPrintable(permissionAdvice(facts)));
    QVERIFY(accessSummary(facts).startsWith("no access"));

    facts.canOpen = true;
    QVERIFY(permissionAdvice(facts).isEmpty());
    QCOMPARE(accessSummary(facts), QStringLiteral("ready"));
}

void PortsToolTest::devicesFromSysfs() {
    ScratchHome home;
    QTemporaryDir machine;
    PtyPeer usb;
    const auto acm = ptyWithFreeLockName();
    QVERIFY(home.isValid() && machine.isValid() && usb.isValid() && acm);
    const QString sys = machine.path() + "/sys", dev = machine.path() + "/dev";
    const QString stable = dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";

    // A machine of its own: "path=content" is a file, "path>target" a link (a target
    // starting with '/' lies in the machine). An FTDI adapter (USB device 1-2), an Arduino
    // (1-3), a UART the kernel found (ttyS1), one it did not (type 0), a virtual console,
    // and two bare devices whose numbers must sort as numbers. The names and ids come
    // from the port list; sysfs adds the driver, the bus and the UARTs the list lacks.
    const QString u = "/sys/devices/usb1/1-2", a = "/sys/devices/usb1/1-3";
    const QStringList tree = {
        u + "/1-2:1.0/ttyUSB0/driver>/sys/bus/usb-serial/drivers/ftdi_sio",
        "/sys/bus/usb-serial/drivers/ftdi_sio/uevent=",
        "/sys/class/tty/ttyUSB0/device>" + u + "/1-2:1.0/ttyUSB0",
        a + "/1-3:1.0/uevent=",
        "/sys/class/tty/ttyACM0/device>" + a + "/1-3:1.0",
        "/sys/devices/pnp0/00:01/uevent=",
        "/sys/class/tty/ttyS1/type=4",
        "/sys/class/tty/ttyS1/device>/sys/devices/pnp0/00:01",
        "/sys/class/tty/ttyS0/type=0",
        "/sys/class/tty/ttyS0/device>/sys/devices/pnp0/00:01",
        "/sys/class/tty/tty0/uevent=",
        "/sys/class/tty/ttyX10/device>/sys/devices/pnp0/00:01",
        "/sys/class/tty/ttyX2/device>/sys/devices/pnp0/00:01",
        "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0>../../ttyUSB0"};
    for (const QString& entry : tree) {
        const qsizetype link = entry.indexOf('>'), file = entry.indexOf('=');
        if (link > 0 && (file < 0 || link < file)) {
            const QString target = entry.mid(link + 1);
            symlink(target.startsWith('/') ? machine.path() + target : target,
                    machine.path() + entry.left(link));
        } else {
            QVERIFY(
                writeFile(machine.path() + entry.left(file), entry.mid(file + 1).toUtf8() + "\n"));
        }
    }
    symlink(usb.slavePath(), dev + "/ttyUSB0");
    symlink(acm->slavePath(), dev + "/ttyACM0");
    // A program left its lock behind for the device that no COM number leads to.
    const qint64 gone = endedProcessId();
    PortLockFile stale(acm->slavePath(), gone, "minicom", false);
    QVERIFY(stale.isValid());

    // The ports as QSerialPortInfo reports them: the Arduino gives no manufacturer, so its
    // vendor id stands in its place; the UART ttyS1 is missing, as it is for a user who
    // may not open it.
    const QString ports = machine.path() + "/ports";
    QVERIFY(writeFile(ports, ("ttyX10\t" + dev + "/ttyX10\t\t\t\t\t\n" + "ttyUSB0\t" + dev +
                              "/ttyUSB0\tFT232R USB UART\tFTDI\tA1B2C3\t0403\t6001\n" +
                              "ttyACM0\t" + dev + "/ttyACM0\tUno\t2341\t\t2341\t0043\n" +
                              "ttyX2\t" + dev + "/ttyX2\t\t\t\t\t\n")
                                 .toUtf8()));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUORLANE_SERIAL_PORTS", ports);
    env.insert("QUORLANE_SYSFS_ROOT", sys);
    env.insert("QUORLANE_DEV_ROOT", dev);
    const QString tool = QStringLiteral(QUORLANE_BINARY_DIR "/quorlane-ports");

    Run r = runTool({"link", "5", dev + "/ttyUSB0"}, tool, env);
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains("its stable name is\n    " + stable +
                            "\nLink that instead: "
                            "quorlane-ports link 5 " +
                            stable),
             qPrintable(r.out));
    QCOMPARE(runTool({"link", "6", stable}, tool, env).code, 0);

    r = runTool({}, tool, env);
    QCOMPARE(r.code, 0);
    const QString out = r.out;
    QVERIFY2(out.contains("  " + dev +
                          "/ttyUSB0 FTDI FT232R USB UART, serial A1B2C3 "
                          "(USB 0403:6001, ftdi_sio)\n"
                          "                 stable name: " +
                          stable +
                          "\n"
                          "                 linked as COM 5, COM 6  [ready]"),
             qPrintable(out));
    QVERIFY(out.contains("  COM 6   " + stable + " -> " + usb.slavePath() + "  [ready]"));
    QVERIFY2(out.contains(dev +
                          "/ttyACM0 Uno (USB 2341:0043)\n                 not linked  [ready]\n" +
                          QStringLiteral("%1Locked: the lock file %2 names process %3 (minicom), "
                                         "which no longer runs.\n%1It is a stale lock; clear it "
                                         "with: %4rm %2\n")
                              .arg(QString(17, QLatin1Char(' ')), stale.path())
                              .arg(gone)
                              .arg(::geteuid() == 0 ? QString() : QStringLiteral("sudo "))),
             qPrintable(out));
    QVERIFY(out.contains(dev + "/ttyS1 built-in serial port\n"));
    QVERIFY(out.contains("[missing: nothing is there"));
    QVERIFY(!out.contains("ttyS0") && !out.contains("tty0"));
    QVERIFY(out.indexOf("ttyX2 ") < out.indexOf("ttyX10 "));
    QVERIFY(out.contains("To link a device as COM 5:  quorlane-ports link 5 " + stable));
}

void PortsToolTest::deviceDescriptions_data() {
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("device"); // where class/tty/ttyT0/device leads, below /sys
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("type"); // the UART type attribute, if any
    QTest::addColumn<QString>("description");
    const QString usb = "devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0";
    const QString pci = "devices/pci0000:00/0000:00:1c.0/0000:02:00.0";
    QTest::newRow("ids in place of names") << "2341"
                                           << "0043" << usb << "cdc_acm"
                                           << ""
                                           << "serial device (USB 2341:0043, cdc_acm)";
    QTest::newRow("names") << "Arduino"
                           << "Uno" << usb << "cdc_acm"
                           << ""
                           << "Arduino Uno (USB 2341:0043, cdc_acm)";
    QTest::newRow("uart on a pci card") << ""
                                        << "" << pci << "serial"
                                        << "4"
                                        << "built-in serial port (PCI 2341:0043, serial)";
    QTest::newRow("neither usb nor pci") << ""
                                         << ""
                                         << "devices/platform/serial8250"
                                         << "serial8250"
                                         << ""
                                         << "serial device (2341:0043, serial8250)";
}

void PortsToolTest::deviceDescriptions() {
    QFETCH(QString, manufacturer);
    QFETCH(QString, product);
    QFETCH(QString, device);
    QFETCH(QString, driver);
    QFETCH(QString, type);
    QFETCH(QString, description);
    QTemporaryDir machine;
    QVERIFY(machine.isValid());
    const QString sys = machine.path() + "/sys", dev = machine.path() + "/dev";
    QVERIFY(QDir().mkpath(sys + "/" + device));
    QVERIFY(QDir().mkpath(sys + "/bus/any/drivers/" + driver));
    symlink(sys + "/bus/any/drivers/" + driver, sys + "/" + device + "/driver");
    symlink(sys + "/" + device, sys + "/class/tty/ttyT0/device");
    if (!type.isEmpty())
        QVERIFY(writeFile(sys + "/class/tty/ttyT0/type", type.toUtf8() + "\n"));

    const PortFacts port{"ttyT0", "/dev/ttyT0", product, manufacturer, {}, 0x2341, 0x0043};
    const QList<SerialDevice> devices = describeDevices({port}, sys, dev);
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices[0].description(), description);
    // A UART that the port list lacks is still listed, from sysfs.
    if (!type.isEmpty()) {
        const QList<SerialDevice> uarts = describeDevices({}, sys, dev);
        QCOMPARE(uarts.size(), 1);
        QCOMPARE(uarts[0].node, dev + "/ttyT0");
        QCOMPARE(uarts[0].description(), "built-in serial port (" + driver + ")");
    }
}

QTEST_GUILESS_MAIN(PortsToolTest)
#include "tst_ports_tool.moc"
