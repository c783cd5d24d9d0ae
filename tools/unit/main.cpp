// quorlane-unit: a stand-in for the controller unit that Quorlane talks to, for demos
// and tests. It answers on a pseudo-terminal linked as <home>/dosdevices/com<N> and on
// a TCP listener bound to 127.0.0.1; it never connects anywhere itself.

#include "console.h"
#include "options.h"
#include "responder.h"
#include "seriallink.h"
#include "signalwatcher.h"
#include "tcplink.h"

#include <QCoreApplication>

#include <memory>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("quorlane-unit");
    QCoreApplication::setApplicationVersion("1.0");

    UnitOptions options;
    if (!parseUnitOptions(QCoreApplication::arguments(), options))
        return ExitUsage;
    console::setQuiet(options.quiet);

    SignalWatcher watcher;
    if (!watcher.install())
        return ExitUsage;
    int stopSignal = 0;
    QObject::connect(&watcher, &SignalWatcher::caught, &app, [&](int signalNumber) {
        if (stopSignal == 0)
            stopSignal = signalNumber;
        QCoreApplication::quit();
    });

    Responder responder(options.address.toLatin1(), options.seqStart);

    // TCP first: if its port cannot be had, no link is left behind.
    std::unique_ptr<TcpLink> tcp;
    if (options.tcp) {
        tcp = std::make_unique<TcpLink>(responder, options);
        if (const int code = tcp->listen(); code != ExitOk)
            return code;
    }
    std::unique_ptr<SerialLink> serial;
    if (options.serial) {
        serial = std::make_unique<SerialLink>(responder, options);
        if (const int code = serial->open(); code != ExitOk)
            return code;
    }

    QByteArray ready = "ready";
    if (serial) {
        ready += " serial=" + serial->devicePath().toLocal8Bit();
        ready += " link=" + serial->linkPath().toLocal8Bit();
    }
    if (tcp)
        ready += " tcp=127.0.0.1:" + QByteArray::number(tcp->port());
    console::status(ready);

    const int code = QCoreApplication::exec();
    if (serial)
        serial->removeLink();
    console::status(QByteArray("stop ") + (stopSignal ? signalName(stopSignal) : "exit"));
    return code;
}
