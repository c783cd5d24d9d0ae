#pragma once

#include <QList>
#include <QString>

#include <optional>

// The serial devices of this machine: the ports Qt's QSerialPortInfo finds, with the few
// facts it does not give read from sysfs and /dev (see describeDevices).

// What QSerialPortInfo says about one port, as plain data.
struct PortFacts {
    QString portName;       // ttyUSB0
    QString systemLocation; // /dev/ttyUSB0
    QString description;    // the product name the device gives
    QString manufacturer;
    QString serialNumber;
    std::optional<quint16> vendorId;
    std::optional<quint16> productId;
};

struct SerialDevice {
    QString name;          // ttyUSB0
    QString node;          // /dev/ttyUSB0
    QString canonicalNode; // the node with every link resolved (empty if it is missing)
    QString stableName;    // /dev/serial/by-id/... pointing at the node, if any
    QString manufacturer;  // where the device names it
    QString product;
    QString serialNumber;
    QString ids;          // vendor:product in hex, where known
    QString bus;          // "USB" or "PCI" when the ids are known and the bus is one of those
    QString driver;       // ftdi_sio, cdc_acm, serial ...
    bool builtIn = false; // a UART of the machine itself (ttyS*)

    // A short human description: "FTDI FT232R USB UART, serial A1B2C3 (USB 0403:6001,
    // ftdi_sio)".
    QString description() const;
};

// The roots of sysfs and /dev: /sys and /dev, or the folders named by QUORLANE_SYSFS_ROOT
// and QUORLANE_DEV_ROOT (used by the tests to present a machine of their own).
QString sysfsRoot();
QString devRoot();

// QSerialPortInfo::availablePorts(); or, when QUORLANE_SERIAL_PORTS names a file, the
// ports that file lists instead (the tests' stand-in for the ports of a machine of their
// own): one port a line, seven fields separated by tabs: name, location, description,
// manufacturer, serial number, vendor id and product id in hex (empty when unknown).
QList<PortFacts> availablePorts();

// The devices behind `ports`, with what sysfs and /dev add to QSerialPortInfo's facts,
// plus the machine's own UARTs that QSerialPortInfo leaves out. Sorted by name, numbers
// in numeric order.
QList<SerialDevice> describeDevices(const QList<PortFacts>& ports, const QString& sysRoot,
                                    const QString& devRoot);

// describeDevices(availablePorts(), sysfsRoot(), devRoot()): every tty with a real device
// behind it: USB adapters (ttyUSB*, ttyACM*), on-board UARTs that the kernel found
// hardware for, and the like; virtual consoles and pseudo-terminals are left out.
QList<SerialDevice> scanSerialDevices();

// The stable <devRoot>/serial/by-id name of the device that `path` leads to, or empty.
QString stableNameFor(const QString& path, const QString& devRoot);
