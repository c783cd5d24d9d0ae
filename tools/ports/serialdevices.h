#pragma once

#include <QList>
#include <QString>

// The serial devices of this machine, as the kernel describes them in sysfs.
struct SerialDevice {
    QString name;          // ttyUSB0
    QString node;          // /dev/ttyUSB0
    QString canonicalNode; // the node with every link resolved (empty if it is missing)
    QString stableName;    // /dev/serial/by-id/... pointing at the node, if any
    QString manufacturer;  // from the USB device, where known
    QString product;
    QString serialNumber;
    QString usbId;        // vendor:product in hex, for USB devices
    QString driver;       // ftdi_sio, cdc_acm, serial ...
    bool builtIn = false; // a UART of the machine itself (ttyS*)

    // A short human description: "FTDI FT232R USB UART, serial A1B2C3 (USB 0403:6001,
    // ftdi_sio)".
    QString description() const;
};

// The roots the scan reads: /sys and /dev, or the folders named by QUORLANE_SYSFS_ROOT
// and QUORLANE_DEV_ROOT (used by the tests to present a machine of their own).
QString sysfsRoot();
QString devRoot();

// Every tty with a real device behind it: USB adapters (ttyUSB*, ttyACM*), on-board
// UARTs that the kernel found hardware for, and the like; virtual consoles and
// pseudo-terminals are left out. Sorted by name, numbers in numeric order.
QList<SerialDevice> scanSerialDevices(const QString& sysRoot, const QString& devRoot);

// The stable /dev/serial/by-id name of the device that `path` leads to, or empty.
QString stableNameFor(const QString& path, const QList<SerialDevice>& devices);
