#include "serial/seriallink.h"

#include "address/remoteaddress.h"
#include "log/receivelog.h"
#include "platform/link/serialcontrol.h"
#include "platform/widgets/controls.h"
#include "shared/errortrap.h"
#include "shared/vocabulary.h"

namespace {

// The list's entry for a port, and the status captions.
QString listEntry(int port) {
    return QStringLiteral("Com ") + QString::number(port);
}
QString connectedCaption(int port) {
    return QStringLiteral("Connect to com ") + QString::number(port);
}

} // namespace

SerialLink::SerialLink(Parts parts) : p_(std::move(parts)) {}

void SerialLink::startUp() {
    for (int counter = 2; counter <= 20; ++counter)
        p_.list.AddItem(listEntry(counter - 1));
    openPort(StartupPort, 1, true);
    p_.comm.Output(vocabulary::serialLine(vocabulary::word(vocabulary::SerialGreeting)));
}

QString SerialLink::showError() {
    const QString caption = QStringLiteral("Error Com ") + QString::number(p_.comm.CommPort());
    p_.status.set(caption);
    return caption;
}

void SerialLink::openPort(std::int16_t port, std::int16_t sendThreshold, bool showInList) {
    if (p_.comm.PortOpen())
        p_.comm.setPortOpen(false);
    p_.comm.setCommPort(port);
    if (showInList)
        p_.list.setText(listEntry(p_.comm.CommPort()));
    p_.comm.setSettings(QString::fromLatin1(LineSettings));
    p_.comm.setDTREnable(true);
    p_.comm.setRTSEnable(true);
    p_.comm.setRThreshold(1);
    p_.comm.setSThreshold(sendThreshold);
    p_.comm.setPortOpen(true);
    p_.status.set(connectedCaption(p_.comm.CommPort()));
}

void SerialLink::InitCommPort() {
    p_.trap.run(
        QStringLiteral("InitCommPort"),
        [&] {
            const std::int16_t index = p_.list.ListIndex();
            if (index > 19 || index < 0)
                p_.list.setListIndex(0);
            openPort(static_cast<std::int16_t>(p_.list.ListIndex() + 1), 0, false);
        },
        [&] { showError(); });
}

void SerialLink::cmboCOMMPort_Click() {
    InitCommPort();
}

void SerialLink::txtRS232Send_KeyPress(std::int16_t& keyAscii) {
    if (keyAscii != 13)
        return;
    p_.trap.run(
        QStringLiteral("txtRS232Send_KeyPress"),
        [&] {
            if (!p_.comm.PortOpen())
                p_.comm.setPortOpen(true);
            p_.comm.Output(vocabulary::serialLine(p_.sendLine.Text()));
            p_.sendLine.setText(QString());
        },
        [&] { p_.sendLine.setText(QString()); });
}

void SerialLink::MSComm1_OnComm() {
    ErrorTrap::quietly([&] {
        if (p_.comm.CommEvent() == SerialControl::EvReceive) {
            // The received text and the log's tail are Latin-1 text held as bytes, one
            // character per byte, as the port delivered them.
            const QByteArray receivedText = p_.comm.Input();
            p_.log.serialInsert(receivedText);
            const QByteArray tailText = p_.log.tail(50);
            // An incomplete answer is looked for again at the next event; the box is
            // saved either way, so the text received is never missing from the log.
            if (tailText.size() > 10 && tailText.contains("IP: "))
                p_.address.ParseIpAnswer(QLatin1StringView(tailText));
        }
        p_.log.saveBox();
    });
}
