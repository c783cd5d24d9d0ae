#include "platform/base/paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace paths {

QString quorlaneHome() {
#ifdef Q_OS_WIN
    return QString();
#else
    static const char* const below[] = {"", "/quorlane", "/.local/share/quorlane"};
    for (int i = 0; i < 3; ++i) {
        const QString root = qEnvironmentVariable(HomeSettings[i]);
        if (!root.isEmpty())
            return QDir::cleanPath(root + QLatin1String(below[i]));
    }
    return QString();
#endif
}

QString homeMissing() {
    return QStringLiteral("none of %1, %2 and %3 is set")
        .arg(QLatin1String(HomeSettings[0]), QLatin1String(HomeSettings[1]),
             QLatin1String(HomeSettings[2]));
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
    const QString home = quorlaneHome();
    if (home.isEmpty())
        return QString();
    const QChar letter = p[0].toLower();
    const QString root = home + QStringLiteral("/drive_") + letter;
    if (letter == QLatin1Char('c'))
        QDir().mkpath(root);
    return root + p.mid(2);
#endif
}

QString dosdevicesFolder() {
    const QString home = quorlaneHome();
    return home.isEmpty() ? QString() : home + QStringLiteral("/dosdevices");
}

QString comDevicePath(int port) {
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    const QString folder = dosdevicesFolder();
    const QString link = folder + QStringLiteral("/com%1").arg(port);
    const QFileInfo info(link);
    if (!folder.isEmpty() && (info.exists() || info.isSymLink()))
        return link;
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

QString programFolder() {
    return QCoreApplication::applicationDirPath();
}

} // namespace paths
