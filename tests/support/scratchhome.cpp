#include "support/scratchhome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

ScratchHome::ScratchHome()
    : dir_(QDir::tempPath() + QStringLiteral("/quorlane-home-XXXXXX")),
      hadHome_(qEnvironmentVariableIsSet("QUORLANE_HOME")),
      previousHome_(qgetenv("QUORLANE_HOME")) {
    if (dir_.isValid())
        qputenv("QUORLANE_HOME", QFile::encodeName(dir_.path()));
}

ScratchHome::~ScratchHome() {
    if (hadHome_)
        qputenv("QUORLANE_HOME", previousHome_);
    else
        qunsetenv("QUORLANE_HOME");
}

QString ScratchHome::dosdevices() const {
    const QString folder = path() + QStringLiteral("/dosdevices");
    QDir().mkpath(folder);
    return folder;
}

QString ScratchHome::comPath(int n) const {
    return path() + QStringLiteral("/dosdevices/com%1").arg(n);
}

bool ScratchHome::unlinkCom(int n) const {
    const QString link = comPath(n);
    const QFileInfo info(link);
    if (!info.exists() && !info.isSymLink())
        return true;
    return QFile::remove(link);
}

bool ScratchHome::linkCom(int n, const QString& target) const {
    dosdevices();
    if (!unlinkCom(n))
        return false;
    return QFile::link(target, comPath(n));
}

QString ScratchHome::linkMissing(int n) const {
    const QString target = path() + QStringLiteral("/no-such-device-%1").arg(n);
    QFile::remove(target);
    return linkCom(n, target) ? target : QString();
}

QProcessEnvironment ScratchHome::programEnvironment(const QString& platform) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUORLANE_HOME"), path());
    env.insert(QStringLiteral("QUORLANE_LOOPBACK_ONLY"), QStringLiteral("1"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    return env;
}
