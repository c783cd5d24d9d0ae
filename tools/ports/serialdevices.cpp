#include "serialdevices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>

namespace {

QString readAttribute(const QString& folder, const QString& name) {
    QFile file(folder + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.read(512)).trimmed();
}

// "ttyUSB10" sorts after "ttyUSB9".
bool naturalLess(const QString& a, const QString& b) {
    static const QRegularExpression form(QStringLiteral("^(.*?)([0-9]*)$"));
    const QRegularExpressionMatch ma = form.match(a);
    const QRegularExpressionMatch mb = form.match(b);
    if (ma.captured(1) != mb.captured(1))
        return ma.captured(1) < mb.captured(1);
    return ma.captured(2).toULongLong() < mb.captured(2).toULongLong();
}

// Canonical node path -> by-id link, for every link in <dev>/serial/by-id.
QHash<QString, QString> stableNames(const QString& dev) {
    QHash<QString, QString> names;
    const QDir byId(dev + QStringLiteral("/serial/by-id"));
    QStringList entries =
        byId.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& entry : entries) {
        const QString link = byId.filePath(entry);
        const QString target = QFileInfo(link).canonicalFilePath();
        if (!target.isEmpty() && !names.contains(target))
            names.insert(target, link);
    }
    return names;
}

QString driverOf(const QString& deviceFolder) {
    return QFileInfo(QFileInfo(deviceFolder + QStringLiteral("/driver")).symLinkTarget())
        .fileName();
}

// Reads what the USB device above a tty's device folder says about itself.
void readUsbDetails(const QString& sys, const QString& deviceFolder, SerialDevice& device) {
    const QString top = QFileInfo(sys).canonicalFilePath();
    QString folder = QFileInfo(deviceFolder).canonicalFilePath();
    for (int depth = 0; depth < 8 && !folder.isEmpty() && folder.startsWith(top) && folder != top;
         ++depth) {
        if (QFileInfo::exists(folder + QStringLiteral("/idVendor"))) {
            device.manufacturer = readAttribute(folder, QStringLiteral("manufacturer"));
            device.product = readAttribute(folder, QStringLiteral("product"));
            device.serialNumber = readAttribute(folder, QStringLiteral("serial"));
            device.usbId = readAttribute(folder, QStringLiteral("idVendor")) + QLatin1Char(':') +
                           readAttribute(folder, QStringLiteral("idProduct"));
            return;
        }
        folder = QFileInfo(folder).path();
    }
}

} // namespace

QString SerialDevice::description() const {
    QStringList words;
    QString name = product;
    if (!manufacturer.isEmpty() && !product.startsWith(manufacturer))
        name = (manufacturer + QLatin1Char(' ') + product).trimmed();
    if (!name.isEmpty())
        words << name;
    else if (builtIn)
        words << QStringLiteral("built-in serial port");
    else
        words << QStringLiteral("serial device");
    if (!serialNumber.isEmpty())
        words.last() += QStringLiteral(", serial ") + serialNumber;
    QStringList details;
    if (!usbId.isEmpty())
        details << QStringLiteral("USB ") + usbId;
    if (!driver.isEmpty())
        details << driver;
    QString text = words.join(QLatin1Char(' '));
    if (!details.isEmpty())
        text += QStringLiteral(" (") + details.join(QStringLiteral(", ")) + QLatin1Char(')');
    return text;
}

QString sysfsRoot() {
    const QString root = qEnvironmentVariable("QUORLANE_SYSFS_ROOT");
    return root.isEmpty() ? QStringLiteral("/sys") : root;
}

QString devRoot() {
    const QString root = qEnvironmentVariable("QUORLANE_DEV_ROOT");
    return root.isEmpty() ? QStringLiteral("/dev") : root;
}

QList<SerialDevice> scanSerialDevices(const QString& sys, const QString& dev) {
    const QDir classTty(sys + QStringLiteral("/class/tty"));
    QStringList names = classTty.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    std::sort(names.begin(), names.end(), naturalLess);
    const QHash<QString, QString> byId = stableNames(dev);

    QList<SerialDevice> devices;
    for (const QString& name : names) {
        const QString folder = classTty.filePath(name);
        const QString deviceFolder = folder + QStringLiteral("/device");
        // Virtual consoles and pseudo-terminals have no device behind them.
        if (!QFileInfo(deviceFolder).isDir())
            continue;
        // The kernel makes ttyS0..ttyS31 whether or not a UART is there; type 0 says none.
        const QString type = readAttribute(folder, QStringLiteral("type"));
        if (type == QLatin1String("0"))
            continue;

        SerialDevice device;
        device.name = name;
        device.node = dev + QLatin1Char('/') + name;
        device.canonicalNode = QFileInfo(device.node).canonicalFilePath();
        device.builtIn = !type.isEmpty();
        device.stableName = byId.value(device.canonicalNode);
        // Newer kernels put generic "port" and "ctrl" devices between a UART and the
        // driver that found it.
        QString driverFolder = QFileInfo(deviceFolder).canonicalFilePath();
        for (int up = 0; up < 3 && !driverFolder.isEmpty(); ++up) {
            device.driver = driverOf(driverFolder);
            if (device.driver != QLatin1String("port") && device.driver != QLatin1String("ctrl"))
                break;
            driverFolder = QFileInfo(driverFolder).path();
        }
        readUsbDetails(sys, deviceFolder, device);
        devices << device;
    }
    return devices;
}

QString stableNameFor(const QString& path, const QList<SerialDevice>& devices) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        return QString();
    for (const SerialDevice& device : devices) {
        if (device.canonicalNode == canonical)
            return device.stableName;
    }
    return QString();
}
