#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <sys/types.h>

// A private accessibility (AT-SPI) bus, as a desktop session has one: a session bus of
// its own (dbus-daemon) and, on it, the accessibility bus that at-spi-bus-launcher starts
// when it is first asked for its address. Made before the QApplication, whose AT-SPI
// bridge looks for the bus when it starts.
//
// While the object lives, this process (and every program it starts) has
// DBUS_SESSION_BUS_ADDRESS pointing at the private session bus, XDG_RUNTIME_DIR at a
// scratch folder (where the launcher puts the accessibility bus) and
// QT_LINUX_ACCESSIBILITY_ALWAYS_ON set, so that Qt programs serve their accessible
// objects on the bus with no screen reader running. The session bus gets SIGTERM when
// the object goes or this process dies; the launcher and the bus it started go with it.
//
// A desktop also has a window manager, which makes one window at a time the active one
// (as a screen reader expects): startWindowManager runs openbox on the X server of
// DISPLAY until the object goes.
class AtSpiBus {
public:
    AtSpiBus();
    ~AtSpiBus();
    AtSpiBus(const AtSpiBus&) = delete;
    AtSpiBus& operator=(const AtSpiBus&) = delete;

    bool isValid() const { return error_.isEmpty(); }
    // Why the bus could not be started.
    QString error() const { return error_; }
    // The accessibility bus, where the accessible objects are.
    QString address() const { return address_; }
    // The scratch folder the session's runtime files are in (XDG_RUNTIME_DIR).
    QString runtimeDir() const { return runtime_.path(); }

    // Starts the window manager and waits until it manages the screen; false (with
    // error() telling why) when it does not within 20 seconds.
    bool startWindowManager();

private:
    QTemporaryDir runtime_;
    pid_t daemon_ = -1;
    pid_t windowManager_ = -1;
    QString error_;
    QString address_;
};
