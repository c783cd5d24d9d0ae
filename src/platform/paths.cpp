#include "platform/paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace paths {

QString quorlaneHome() {
#ifdef Q_OS_WIN
    return QString();
#else
    const QString home = qEnvironmentVariable("QUORLANE_HOME");
    if (!home.isEmpty())
        return QDir::cleanPath(home);
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    if (!xdg.isEmpty())
        return QDir::cleanPath(xdg + QStringLiteral("/quorlane"));
    return QDir::cleanPath(QDir::homePath() + QStringLiteral("/.local/share/quorlane"));
#endif
}

QString nativePath(const QString& programPath) {
#ifdef Q_OS_WIN
    return programPath;
#else
    QString p = programPath;
    p.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const bool drive = p.size() >= 2 && p[1] == QLatin1Char(':') && p[0].isLetter() &&
                       p[0].unicode() < 128 && (p.size() == 2 || p[2] == QLatin1Char('/'));
    if (!drive)
        return p;
    const QChar letter = p[0].toLower();
    const QString root = quorlaneHome() + QStringLiteral("/drive_") + letter;
    if (letter == QLatin1Char('c'))
        QDir().mkpath(root);
    return root + p.mid(2);
#endif
}

QString dosdevicesFolder() {
    return quorlaneHome() + QStringLiteral("/dosdevices");
}

QString comDevicePath(int port) {
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    const QString link = dosdevicesFolder() + QStringLiteral("/com%1").arg(port);
    const QFileInfo info(link);
    if (info.exists() || info.isSymLink())
        return link;
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

QString programFolder() {
    return QCoreApplication::applicationDirPath();
}

} // namespace paths
