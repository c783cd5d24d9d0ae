// quorlane-ports: shows the serial devices of this machine beside the COM numbers that
// Quorlane knows them by and whether each can be opened, links or unlinks a COM number,
// and clears the lock file a program left behind for a device. A COM number N is the entry
// <QUORLANE_HOME>/dosdevices/comN; this command only ever creates, replaces or removes
// such entries when they are symbolic links, and only ever removes lock files whose
// process no longer runs.

#include "deviceaccess.h"
#include "serialdevices.h"

#include "platform/base/paths.h"
#include "platform/base/portlock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kFirstCom = 1;
constexpr int kLastCom = 255;
constexpr int kStartupCom = 5;
constexpr int kListedComs = 19; // the program's port list offers Com 1 to Com 19

enum Exit { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

void out(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
}

void err(const QString& text) {
    std::fflush(stdout);
    std::fputs(("quorlane-ports: " + text).toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
}

QString indent(const QString& text, int spaces) {
    const QString pad(spaces, QLatin1Char(' '));
    return pad + QString(text).replace(QLatin1Char('\n'), QLatin1Char('\n') + pad);
}

const char* const kUsage =
    "Usage:\n"
    "  quorlane-ports [list]                    show serial devices and COM links\n"
    "  quorlane-ports link N DEVICE [--force]   make COM N lead to DEVICE\n"
    "  quorlane-ports unlink N                  remove the link of COM N\n"
    "  quorlane-ports unlock N|DEVICE           remove the stale lock file of a device\n"
    "\n"
    "N is a COM number from 1 to 255 (5, com5 or COM5). Quorlane opens COM 5 at start-up\n"
    "and its port list offers COM 1 to COM 19. Prefer the stable names in\n"
    "/dev/serial/by-id/ for DEVICE: /dev/ttyUSB0 may become /dev/ttyUSB1 after a re-plug.\n"
    "A DEVICE that is not there is refused unless --force is given.\n"
    "\n"
    "The links live in $QUORLANE_HOME/dosdevices (default\n"
    "$XDG_DATA_HOME/quorlane/dosdevices, else ~/.local/share/quorlane/dosdevices).\n"
    "Only symbolic links named comN are ever changed there.\n"
    "\n"
    "A program that ends without closing its port (killed, crashed) leaves a lock file\n"
    "in /var/lock that keeps the port shut. The list shows such stale locks; unlock\n"
    "removes one whose process no longer runs and refuses one whose process still runs,\n"
    "then says whether the device can be opened now. Another user's lock file needs\n"
    "sudo; name the device then (sudo quorlane-ports unlock /dev/ttyUSB0), since sudo\n"
    "resets QUORLANE_HOME and the COM numbers with it.\n"
    "The list opens each device for a moment, as Quorlane does, and shows one that\n"
    "another program keeps as [busy: ...].\n"
    "\n"
    "Exit codes: 0 done, 1 refused or failed, 2 wrong usage.";

std::optional<int> parseCom(const QString& text) {
    static const QRegularExpression form(QStringLiteral("^(?:com)?\\s*([0-9]{1,4})$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    const int n = match.captured(1).toInt();
    if (n < kFirstCom || n > kLastCom)
        return std::nullopt;
    return n;
}

QString comEntry(int n) {
    return paths::dosdevicesFolder() + QStringLiteral("/com%1").arg(n);
}

enum class EntryKind { None, Link, Other };

EntryKind entryKind(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return EntryKind::None;
    return S_ISLNK(st.st_mode) ? EntryKind::Link : EntryKind::Other;
}

QString linkText(const QString& link) {
    const QByteArray native = QFile::encodeName(link);
    QByteArray target(4096, '\0');
    const ssize_t n = ::readlink(native.constData(), target.data(), size_t(target.size() - 1));
    return n < 0 ? QString() : QFile::decodeName(target.left(n));
}

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// "/dev/serial/by-id/x -> /dev/ttyUSB0" when the target is itself a link, else the target.
QString showTarget(const QString& target, const QString& canonical) {
    if (canonical.isEmpty() || canonical == target)
        return target;
    return target + QStringLiteral(" -> ") + canonical;
}

// What keeps `device` from being opened, ready to print below its entry: who holds its
// lock file and how to clear it (`com` is a COM number leading there, or 0), and what
// else keeps it busy. Empty when nothing does.
QString deviceNotes(const QString& device, const AccessFacts& facts, int com) {
    const portlock::PortLock lock = portlock::inspect(device);
    QStringList notes;
    if (lock.exists)
        notes << QStringLiteral("Locked: ") + portlock::describe(lock) + QStringLiteral(".\n") +
                     portlock::advice(lock, com);
    // A lock held by a running program has been named already.
    const bool named = lock.exists && lock.holder == portlock::Holder::Running;
    if (facts.claim.busy() && !(facts.claim.error == EWOULDBLOCK && named))
        notes << QStringLiteral("Busy: ") + portlock::busyReason(lock.device, facts.claim);
    return notes.join(QLatin1Char('\n'));
}

// The state of `device` as the list shows it: whether it can be opened, and if so whether
// a lock file still keeps it shut.
QString portState(const QString& device, const AccessFacts& facts) {
    const QString state = accessSummary(facts);
    if (state == QLatin1String("ready") && portlock::inspect(device).keepsShut())
        return QStringLiteral("locked: the lock file below keeps it shut");
    return state;
}

// Why Quorlane could not open `device` now, ready to print; empty when it could.
QString openProblem(const QString& device) {
    const AccessFacts facts = examineDevice(device);
    const QString state = accessSummary(facts);
    if (state == QLatin1String("ready"))
        return QString();
    QStringList lines{QStringLiteral("[%1]").arg(state)};
    if (facts.claim.busy())
        lines << portlock::busyReason(QFileInfo(device).canonicalFilePath(), facts.claim);
    if (const QString advice = permissionAdvice(facts); !advice.isEmpty())
        lines << advice;
    return lines.join(QLatin1Char('\n'));
}

// Collects permission advice so that each piece is printed once, after the list.
class AdviceBook {
public:
    void note(const QString& path, const AccessFacts& facts) {
        const QString advice = permissionAdvice(facts);
        if (advice.isEmpty())
            return;
        if (!order_.contains(advice))
            order_ << advice;
        if (!paths_[advice].contains(path))
            paths_[advice] << path;
    }
    void print() const {
        for (const QString& advice : order_) {
            out(QString());
            out(QStringLiteral("You may not open %1.")
                    .arg(paths_[advice].join(QStringLiteral(", "))));
            out(indent(advice, 2));
        }
    }

private:
    QStringList order_;
    QMap<QString, QStringList> paths_;
};

int listPorts() {
    const QString folder = paths::dosdevicesFolder();
    const QList<SerialDevice> devices = scanSerialDevices();
    AdviceBook advice;

    // The COM entries, in numeric order.
    QMap<int, QString> entries;
    static const QRegularExpression comName(QStringLiteral("^com([1-9][0-9]{0,2})$"));
    const QStringList names =
        QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const QRegularExpressionMatch match = comName.match(name);
        if (match.hasMatch() && match.captured(1).toInt() <= kLastCom)
            entries.insert(match.captured(1).toInt(), QDir(folder).filePath(name));
    }
    // Which COM numbers lead to which device node.
    QMap<QString, QList<int>> comsOfNode;

    out(QStringLiteral("COM ports of Quorlane (links in %1):").arg(folder));
    if (entries.isEmpty())
        out(QStringLiteral("  none linked yet."));
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        const int n = it.key();
        const QString& path = it.value();
        const QString label = QStringLiteral("  COM %1").arg(n).leftJustified(10);
        if (entryKind(path) != EntryKind::Link) {
            out(label + QStringLiteral("%1 is not a link (quorlane-ports leaves it alone)")
                            .arg(QFileInfo(path).fileName()));
            continue;
        }
        const QString target = linkText(path);
        const QString canonical = QFileInfo(path).canonicalFilePath();
        const AccessFacts facts = examineDevice(path);
        out(label + showTarget(target, canonical) + QStringLiteral("  [") +
            portState(canonical, facts) + QLatin1Char(']'));
        advice.note(canonical.isEmpty() ? target : canonical, facts);
        if (!canonical.isEmpty()) {
            comsOfNode[canonical] << n;
            if (const QString note = deviceNotes(canonical, facts, n); !note.isEmpty())
                out(indent(note, 12));
        }
    }
    if (!entries.contains(kStartupCom)) {
        out(QStringLiteral("  COM %1 (opened at start-up) is not linked: Quorlane will try %2.")
                .arg(kStartupCom)
                .arg(paths::comDevicePath(kStartupCom)));
    }

    out(QString());
    out(QStringLiteral("Serial devices on this machine:"));
    if (devices.isEmpty()) {
        out(QStringLiteral("  none found. Plug the adapter in and run \"quorlane-ports list\" "
                           "again;\n  \"sudo dmesg | tail\" shows whether the system saw it."));
    }
    for (const SerialDevice& device : devices) {
        out(QStringLiteral("  ") + device.node.leftJustified(14) + QLatin1Char(' ') +
            device.description());
        if (!device.stableName.isEmpty())
            out(QStringLiteral("                 stable name: ") + device.stableName);
        const AccessFacts facts = examineDevice(device.node);
        QStringList coms;
        for (int n : comsOfNode.value(device.canonicalNode))
            coms << QStringLiteral("COM %1").arg(n);
        out(QStringLiteral("                 ") +
            (coms.isEmpty() ? QStringLiteral("not linked")
                            : QStringLiteral("linked as ") + coms.join(QStringLiteral(", "))) +
            QStringLiteral("  [") +
            portState(device.canonicalNode.isEmpty() ? device.node : device.canonicalNode, facts) +
            QLatin1Char(']'));
        advice.note(device.canonicalNode.isEmpty() ? device.node : device.canonicalNode, facts);
        const QList<int> linked = comsOfNode.value(device.canonicalNode);
        if (const QString note =
                deviceNotes(device.canonicalNode.isEmpty() ? device.node : device.canonicalNode,
                            facts, linked.isEmpty() ? 0 : linked.first());
            !note.isEmpty())
            out(indent(note, 17));
    }
    advice.print();

    out(QString());
    const SerialDevice* example = nullptr;
    for (const SerialDevice& device : devices) {
        if (!device.stableName.isEmpty() && !example)
            example = &device;
    }
    out(QStringLiteral("To link a device as COM 5:  quorlane-ports link 5 %1")
            .arg(example ? example->stableName
                         : (devices.isEmpty() ? QStringLiteral("/dev/serial/by-id/...")
                                              : devices.first().node)));
    return ExitOk;
}

int linkPort(int n, const QString& device, bool force) {
    const QString target = QDir::cleanPath(QFileInfo(device).absoluteFilePath());
    const QString entry = comEntry(n);

    if (!QFileInfo::exists(target) && !force) {
        err(QStringLiteral("there is nothing at %1; COM %2 is left as it was.").arg(target).arg(n));
        const QString guess = devRoot() + QLatin1Char('/') + device;
        if (!device.contains(QLatin1Char('/')) && QFileInfo::exists(guess))
            err(QStringLiteral("did you mean %1?").arg(guess));
        else
            err(QStringLiteral("plug the adapter in and see \"quorlane-ports list\"; --force "
                               "links it anyway."));
        return ExitFailed;
    }
    const EntryKind kind = entryKind(entry);
    if (kind == EntryKind::Other) {
        err(QStringLiteral("%1 is not a symbolic link; quorlane-ports does not replace it. "
                           "Move it away yourself if it is not needed.")
                .arg(entry));
        return ExitFailed;
    }
    const QString previous = kind == EntryKind::Link ? linkText(entry) : QString();

    if (!QDir().mkpath(paths::dosdevicesFolder())) {
        err(QStringLiteral("cannot create %1: %2").arg(paths::dosdevicesFolder(), systemError()));
        return ExitFailed;
    }
    // A new link under a temporary name, renamed over the old one: COM N never vanishes
    // half-way, and rename() replaces a link without following it.
    const QString temporary =
        paths::dosdevicesFolder() + QStringLiteral("/.com%1.new-%2").arg(n).arg(::getpid());
    ::unlink(QFile::encodeName(temporary).constData());
    if (::symlink(QFile::encodeName(target).constData(),
                  QFile::encodeName(temporary).constData()) != 0) {
        err(QStringLiteral("cannot create a link in %1: %2")
                .arg(paths::dosdevicesFolder(), systemError()));
        return ExitFailed;
    }
    if (::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(entry).constData()) !=
        0) {
        err(QStringLiteral("cannot link %1: %2").arg(entry, systemError()));
        ::unlink(QFile::encodeName(temporary).constData());
        return ExitFailed;
    }

    if (previous.isEmpty() || previous == target)
        out(QStringLiteral("COM %1 now leads to %2.").arg(n).arg(target));
    else
        out(QStringLiteral("COM %1 now leads to %2 (it led to %3).").arg(n).arg(target, previous));

    const AccessFacts facts = examineDevice(entry);
    const QString state = accessSummary(facts);
    if (state != QLatin1String("ready"))
        out(QStringLiteral("Note: %1: %2.").arg(target, state));
    if (const QString advice = permissionAdvice(facts); !advice.isEmpty())
        out(indent(advice, 2));
    const QString stable = stableNameFor(target, devRoot());
    if (!stable.isEmpty() && stable != target) {
        out(QStringLiteral("Tip: %1 may get another name after a re-plug; its stable name is\n"
                           "    %2\nLink that instead: quorlane-ports link %3 %2")
                .arg(target, stable)
                .arg(n));
    }
    if (n > kListedComs) {
        out(QStringLiteral("Note: Quorlane's port list offers COM 1 to COM %1 only.")
                .arg(kListedComs));
    }
    return ExitOk;
}

int unlinkPort(int n) {
    const QString entry = comEntry(n);
    switch (entryKind(entry)) {
    case EntryKind::None:
        out(QStringLiteral("COM %1 is not linked; nothing to do.").arg(n));
        return ExitOk;
    case EntryKind::Other:
        err(QStringLiteral("%1 is not a symbolic link; quorlane-ports does not remove it.")
                .arg(entry));
        return ExitFailed;
    case EntryKind::Link:
        break;
    }
    if (::unlink(QFile::encodeName(entry).constData()) != 0) {
        err(QStringLiteral("cannot remove %1: %2").arg(entry, systemError()));
        return ExitFailed;
    }
    out(QStringLiteral("COM %1 is no longer linked; Quorlane would now try %2 for it.")
            .arg(n)
            .arg(paths::comDevicePath(n)));
    return ExitOk;
}

// A port named on the command line: a COM number, or the device itself.
struct PortName {
    int com = 0;     // 0 when the device was named
    QString device;  // the COM number's entry, or the path given
    QString shown;   // "COM 5 (<entry> -> /dev/pts/3)", or "/dev/pts/3"
};

PortName portNamed(int com, const QString& path) {
    PortName port{com, com > 0 ? paths::comDevicePath(com) : path, QString()};
    port.shown = showTarget(port.device, QFileInfo(port.device).canonicalFilePath());
    if (com > 0)
        port.shown = QStringLiteral("COM %1 (%2)").arg(com).arg(port.shown);
    return port;
}

// Under sudo, COM numbers are those of the home that sudo left: a COM number that is
// not linked there is most likely linked in another.
QString sudoNote(const PortName& port) {
    if (::geteuid() != 0 || !qEnvironmentVariableIsSet("SUDO_USER") || port.com == 0 ||
        entryKind(comEntry(port.com)) != EntryKind::None)
        return QString();
    return QStringLiteral("\nNote: under sudo, COM numbers are looked up in %1. If COM %2 is "
                          "linked elsewhere, name its device instead, as in:\n    sudo "
                          "quorlane-ports unlock /dev/ttyUSB0")
        .arg(paths::dosdevicesFolder())
        .arg(port.com);
}

int unlockPort(const PortName& port) {
    const portlock::PortLock lock = portlock::inspect(port.device);
    if (lock.path.isEmpty()) {
        err(QStringLiteral("none of the lock folders (%1) can be used here.")
                .arg(portlock::lockFolders().join(QStringLiteral(", "))));
        return ExitFailed;
    }
    if (!lock.exists) {
        const QString problem = openProblem(port.device);
        if (problem.isEmpty()) {
            out(QStringLiteral("%1 has no lock file (%2); nothing to do.%3")
                    .arg(port.shown, lock.path, sudoNote(port)));
            return ExitOk;
        }
        err(QStringLiteral("%1 has no lock file (%2), but it cannot be opened %3%4")
                .arg(port.shown, lock.path, problem, sudoNote(port)));
        return ExitFailed;
    }
    if (!lock.isStale()) {
        err(QStringLiteral("%1: %2; it is left as it is.\n%3")
                .arg(port.shown, portlock::describe(lock), portlock::advice(lock, port.com)));
        return ExitFailed;
    }
    QString why;
    bool denied = false;
    if (!portlock::removeStale(lock, &why, &denied)) {
        if (denied) {
            err(QStringLiteral("%1 is a stale lock, but it belongs to %2, and you may not remove "
                               "it. Run%3:\n    sudo quorlane-ports unlock %4\nor:\n    sudo rm %1")
                    .arg(lock.path, lock.fileOwner,
                         lock.ownerOutside ? QStringLiteral(" outside the namespace") : QString(),
                         lock.device));
        } else {
            err(QStringLiteral("cannot remove %1: %2").arg(lock.path, why));
        }
        return ExitFailed;
    }
    QString left = QStringLiteral("which named no process");
    if (lock.pid != 0) {
        left = QStringLiteral("left by process %1").arg(lock.pid);
        if (!lock.program.isEmpty())
            left += QStringLiteral(" (%1)").arg(lock.program);
    }
    const QString removed = QStringLiteral("Removed the stale lock file %1, %2.").arg(lock.path, left);
    const QString problem = openProblem(port.device);
    if (problem.isEmpty()) {
        out(removed + QStringLiteral(" %1 can be opened again.").arg(port.shown));
        return ExitOk;
    }
    out(removed);
    err(QStringLiteral("%1 still cannot be opened %2").arg(port.shown, problem));
    return ExitFailed;
}

// Under sudo the COM numbers to look at are those of the user who ran sudo: their home
// is where the links lie unless QUORLANE_HOME or XDG_DATA_HOME say otherwise.
void useSudoUsersHome() {
    const QByteArray user = qgetenv("SUDO_USER");
    if (::geteuid() != 0 || user.isEmpty() || qEnvironmentVariableIsSet("QUORLANE_HOME") ||
        qEnvironmentVariableIsSet("XDG_DATA_HOME"))
        return;
    if (const passwd* pw = ::getpwnam(user.constData()); pw && pw->pw_uid != 0)
        qputenv("QUORLANE_HOME", QByteArray(pw->pw_dir) + "/.local/share/quorlane");
}

int usageError(const QString& message) {
    err(message);
    std::fputs(kUsage, stderr);
    std::fputc('\n', stderr);
    return ExitUsage;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorlane-ports"));

    QStringList args = QCoreApplication::arguments().mid(1);
    const bool force = args.removeAll(QStringLiteral("--force")) > 0;
    const QString command = args.isEmpty() ? QStringLiteral("list") : args.takeFirst();

    if (command == QLatin1String("--help") || command == QLatin1String("-h") ||
        command == QLatin1String("help")) {
        out(QString::fromLatin1(kUsage));
        return ExitOk;
    }
    if (command == QLatin1String("--version")) {
        out(QStringLiteral("quorlane-ports " QUORLANE_VERSION));
        return ExitOk;
    }
    // The COM port links lie in the home; without one there is nowhere to look.
    const auto homeless = [] {
        if (!paths::quorlaneHome().isEmpty())
            return false;
        err(QStringLiteral("no home folder for the COM port links: ") + paths::homeMissing());
        return true;
    };
    if (command == QLatin1String("list")) {
        if (!args.isEmpty())
            return usageError(QStringLiteral("list takes no arguments"));
        useSudoUsersHome();
        return homeless() ? ExitFailed : listPorts();
    }
    if (command == QLatin1String("link") || command == QLatin1String("unlink") ||
        command == QLatin1String("unlock")) {
        const qsizetype wanted = command == QLatin1String("link") ? 2 : 1;
        if (args.size() != wanted)
            return usageError(command + QStringLiteral(" takes %1 argument%2")
                                            .arg(wanted)
                                            .arg(wanted == 1 ? QString() : QStringLiteral("s")));
        const std::optional<int> n = parseCom(args[0]);
        const bool unlock = command == QLatin1String("unlock");
        // unlock also takes the device itself, which works under sudo as well.
        if (unlock && !n && args[0].contains(QLatin1Char('/'))) {
            return unlockPort(
                portNamed(0, QDir::cleanPath(QFileInfo(args[0]).absoluteFilePath())));
        }
        if (!n)
            return usageError(QStringLiteral("'%1' is not a COM number from %2 to %3%4")
                                  .arg(args[0])
                                  .arg(kFirstCom)
                                  .arg(kLastCom)
                                  .arg(unlock ? QStringLiteral(", nor a device path") : QString()));
        if (unlock)
            useSudoUsersHome();
        if (homeless())
            return ExitFailed;
        if (unlock)
            return unlockPort(portNamed(*n, QString()));
        return wanted == 2 ? linkPort(*n, args[1], force) : unlinkPort(*n);
    }
    return usageError(QStringLiteral("unknown command '%1'").arg(command));
}
