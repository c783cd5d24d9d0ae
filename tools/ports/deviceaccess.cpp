#include "deviceaccess.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool processHasGroup(gid_t gid) {
    if (::getegid() == gid)
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = ::getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) {
        if (groups[static_cast<size_t>(i)] == gid)
            return true;
    }
    return false;
}

} // namespace

AccessFacts examineDevice(const QString& path) {
    AccessFacts facts;
    const QByteArray native = QFile::encodeName(path);
    if (const passwd* pw = ::getpwuid(::geteuid()))
        facts.userName = QString::fromLocal8Bit(pw->pw_name);

    struct stat st {};
    if (::stat(native.constData(), &st) != 0) {
        facts.error = errno;
        return facts;
    }
    facts.exists = true;
    facts.characterDevice = S_ISCHR(st.st_mode);
    facts.mode = st.st_mode & 07777;
    facts.groupGrantsReadWrite = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    facts.inGroupNow = processHasGroup(st.st_gid);

    if (const group* gr = ::getgrgid(st.st_gid)) {
        facts.groupName = QString::fromLocal8Bit(gr->gr_name);
        for (char** member = gr->gr_mem; member && *member; ++member) {
            if (QString::fromLocal8Bit(*member) == facts.userName)
                facts.listedInGroup = true;
        }
    } else {
        facts.groupName = QString::number(st.st_gid);
    }
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_gid == st.st_gid)
        facts.listedInGroup = true;

    if (::access(native.constData(), R_OK | W_OK) == 0)
        facts.canOpen = true;
    else
        facts.error = errno;
    // What access() allows may still be busy, or refuse the open (a pseudo-terminal whose
    // other side is gone).
    if (facts.canOpen && facts.characterDevice) {
        facts.claim = portlock::claimDevice(path);
        if (!facts.claim.opened() && !facts.claim.busy()) {
            facts.canOpen = false;
            facts.error = facts.claim.error;
        }
        portlock::release(facts.claim);
    }
    return facts;
}

QString accessSummary(const AccessFacts& facts) {
    if (!facts.exists) {
        if (facts.error == ENOENT || facts.error == ENOTDIR)
            return QStringLiteral("missing: nothing is there (adapter unplugged?)");
        return QStringLiteral("cannot be looked at: ") +
               QString::fromLocal8Bit(std::strerror(facts.error));
    }
    if (!facts.canOpen) {
        if (facts.error == EACCES || facts.error == EPERM)
            return QStringLiteral("no access: you may not open it (permission denied)");
        return QStringLiteral("cannot be opened: ") +
               QString::fromLocal8Bit(std::strerror(facts.error));
    }
    if (!facts.characterDevice)
        return QStringLiteral("not a serial device (Quorlane cannot open it as a port)");
    if (facts.claim.busy())
        return QStringLiteral("busy: ") + portlock::busySummary(facts.claim);
    return QStringLiteral("ready");
}

QString permissionAdvice(const AccessFacts& facts) {
    if (!facts.exists || facts.canOpen || (facts.error != EACCES && facts.error != EPERM))
        return QString();
    const QString group = facts.groupName;
    const QString mode = QStringLiteral("%1").arg(facts.mode, 4, 8, QLatin1Char('0'));
    if (!facts.groupGrantsReadWrite || facts.inGroupNow) {
        // Membership would not help: the node's own permission bits forbid it.
        return QStringLiteral("Its permissions (mode %1, group \"%2\") do not let you read and "
                              "write it.\nAsk your administrator for access: usually a udev rule "
                              "that gives such devices\nto group \"dialout\" with mode 0660, and "
                              "membership in that group.")
            .arg(mode, group);
    }
    if (facts.listedInGroup) {
        return QStringLiteral("You are a member of group \"%1\", but this login session started "
                              "before you\nwere added. Log out and back in (or start a shell "
                              "with: newgrp %1).")
            .arg(group);
    }
    return QStringLiteral("The device belongs to group \"%1\", and you are not a member. Add "
                          "yourself with:\n    sudo usermod -aG %1 %2\nthen log out and back in "
                          "(a new login is needed for the group to count).")
        .arg(group, facts.userName.isEmpty() ? QStringLiteral("$USER") : facts.userName);
}
