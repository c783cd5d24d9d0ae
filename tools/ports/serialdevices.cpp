#include "serialdevices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QSet>

#include <algorithm>

// The device list is QSerialPortInfo's: port name, location, product and manufacturer
// names, serial number, vendor and product ids. What it does not say is read here:
// - the kernel driver that serves a port (sysfs: class/tty/<name>/device/driver);
// - whether a port is a UART of the machine itself, and whether the kernel found one
//   there at all (sysfs: class/tty/<name>/type; 0 means none). QSerialPortInfo asks the
//   UART itself, which needs the device opened, so a user who may not open it (not yet
//   in group dialout) does not get such a port from it; this tool lists it anyway, to
//   tell that user why it cannot be opened;
// - the bus the vendor and product ids belong to, USB or PCI (sysfs: where
//   class/tty/<name>/device lies);
// - the stable name udev gives a device in /dev/serial/by-id.

namespace {

QString readAttribute(const QString& folder, const QString& name) {
    QFile file(folder + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.read(512)).trimmed();
}

QString hex(quint16 id) {
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
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
    const QStringList entries =
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

// "USB" when the device lies below a USB bus, "PCI" when below a PCI one, else empty.
QString busOf(const QString& sysTop, const QString& deviceFolder) {
    if (sysTop.isEmpty() || !deviceFolder.startsWith(sysTop + QLatin1Char('/')))
        return QString();
    static const QRegularExpression usbBus(QStringLiteral("^usb[0-9]+$"));
    const QStringList parts = deviceFolder.mid(sysTop.size() + 1).split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (usbBus.match(part).hasMatch())
            return QStringLiteral("USB");
    }
    for (const QString& part : parts) {
        if (part.startsWith(QLatin1String("pci")))
            return QStringLiteral("PCI");
    }
    return QString();
}

// What sysfs adds about the tty whose class folder is `folder`.
void addSysfsFacts(const QString& sysTop, const QString& folder, SerialDevice& device) {
    device.builtIn = !readAttribute(folder, QStringLiteral("type")).isEmpty();
    const QString deviceFolder = QFileInfo(folder + QStringLiteral("/device")).canonicalFilePath();
    // Newer kernels put generic "port" and "ctrl" devices between a UART and the driver
    // that found it.
    QString driverFolder = deviceFolder;
    for (int up = 0; up < 3 && !driverFolder.isEmpty(); ++up) {
        device.driver = driverOf(driverFolder);
        if (device.driver != QLatin1String("port") && device.driver != QLatin1String("ctrl"))
            break;
        driverFolder = QFileInfo(driverFolder).path();
    }
    if (!device.ids.isEmpty())
        device.bus = busOf(sysTop, deviceFolder);
}

std::optional<quint16> parseId(const QString& text) {
    bool ok = false;
    const uint value = text.toUInt(&ok, 16);
    if (!ok || value > 0xffff)
        return std::nullopt;
    return quint16(value);
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
    if (!ids.isEmpty())
        details << (bus.isEmpty() ? ids : bus + QLatin1Char(' ') + ids);
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

QList<PortFacts> availablePorts() {
    QList<PortFacts> ports;
    const QString listed = qEnvironmentVariable("QUORLANE_SERIAL_PORTS");
    if (listed.isEmpty()) {
        const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo& info : infos) {
            PortFacts port;
            port.portName = info.portName();
            port.systemLocation = info.systemLocation();
            port.description = info.description();
            port.manufacturer = info.manufacturer();
            port.serialNumber = info.serialNumber();
            if (info.hasVendorIdentifier())
                port.vendorId = info.vendorIdentifier();
            if (info.hasProductIdentifier())
                port.productId = info.productIdentifier();
            ports << port;
        }
        return ports;
    }
    QFile file(listed);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return ports;
    while (!file.atEnd()) {
        QString line = QString::fromUtf8(file.readLine());
        if (line.endsWith(QLatin1Char('\n')))
            line.chop(1);
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() != 7)
            continue;
        ports << PortFacts{fields[0], fields[1],          fields[2],         fields[3],
                           fields[4], parseId(fields[5]), parseId(fields[6])};
    }
    return ports;
}

QList<SerialDevice> describeDevices(const QList<PortFacts>& ports, const QString& sys,
                                    const QString& dev) {
    const QString classTty = sys + QStringLiteral("/class/tty");
    const QString sysTop = QFileInfo(sys).canonicalFilePath();
    QList<SerialDevice> devices;
    QSet<QString> listed;
    for (const PortFacts& port : ports) {
        SerialDevice device;
        device.name = port.portName;
        device.node = port.systemLocation;
        device.manufacturer = port.manufacturer;
        device.product = port.description;
        device.serialNumber = port.serialNumber;
        if (port.vendorId && port.productId)
            device.ids = hex(*port.vendorId) + QLatin1Char(':') + hex(*port.productId);
        // A device that gives no names has its ids reported in their place.
        if (port.vendorId &&
            device.manufacturer.compare(hex(*port.vendorId), Qt::CaseInsensitive) == 0)
            device.manufacturer.clear();
        if (port.productId &&
            device.product.compare(hex(*port.productId), Qt::CaseInsensitive) == 0)
            device.product.clear();
        addSysfsFacts(sysTop, classTty + QLatin1Char('/') + device.name, device);
        listed.insert(device.name);
        devices << device;
    }

    // The machine's own UARTs that QSerialPortInfo left out.
    const QStringList names =
        QDir(classTty).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const QString folder = classTty + QLatin1Char('/') + name;
        const QString type = readAttribute(folder, QStringLiteral("type"));
        if (listed.contains(name) || type.isEmpty() || type == QLatin1String("0") ||
            !QFileInfo(folder + QStringLiteral("/device")).isDir())
            continue;
        SerialDevice device;
        device.name = name;
        device.node = dev + QLatin1Char('/') + name;
        addSysfsFacts(sysTop, folder, device);
        devices << device;
    }

    const QHash<QString, QString> byId = stableNames(dev);
    for (SerialDevice& device : devices) {
        device.canonicalNode = QFileInfo(device.node).canonicalFilePath();
        device.stableName = byId.value(device.canonicalNode);
    }
    std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
        return naturalLess(a.name, b.name);
    });
    return devices;
}

QList<SerialDevice> scanSerialDevices() {
    return describeDevices(availablePorts(), sysfsRoot(), devRoot());
}

QString stableNameFor(const QString& path, const QString& dev) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QString() : stableNames(dev).value(canonical);
}
