#include "tcp/tcplink.h"

#include "address/remoteaddress.h"
#include "log/receivelog.h"
#include "platform/link/socketcontrol.h"
#include "platform/widgets/controls.h"
#include "shared/errortrap.h"
#include "shared/vocabulary.h"

#include <QWidget>

#include <algorithm>

TcpLink::TcpLink(Parts parts) : p_(std::move(parts)) {}

void TcpLink::connectSequence() {
    p_.address.join();
    p_.winsock.setRemoteHost(p_.address.remoteAddress());
    p_.address.writeBoxes();
    p_.winsock.Connect();
    p_.sleep(2);
    p_.winsock.SendData(vocabulary::word(vocabulary::TcpGreeting));
    showSendLine(true);
    p_.tcpConnected = True;
}

void TcpLink::showSendLine(bool tcp) {
    TextBox& shown = tcp ? p_.txtSend : p_.txtRS232Send;
    TextBox& hidden = tcp ? p_.txtRS232Send : p_.txtSend;
    const QWidget* focus = shown.window()->focusWidget();
    const bool follow = focus == &hidden || std::find(p_.linkButtons.begin(), p_.linkButtons.end(),
                                                      focus) != p_.linkButtons.end();
    // A focused line that is hidden hands the focus on to the next control in the chain;
    // letting go of it first keeps the focus from passing through that control.
    if (focus == &hidden)
        hidden.clearFocus();
    p_.txtSend.setVisible(tcp);
    p_.txtRS232Send.setVisible(!tcp);
    if (follow)
        shown.setFocus(Qt::OtherFocusReason);
}

void TcpLink::btnConnect_Click(std::int16_t index) {
    if (index != 0 && index != 1 && index != 3)
        return;
    p_.trap.run(
        QStringLiteral("btnConnect_Click"),
        [&] {
            switch (index) {
            case 0:
                connectSequence();
                break;
            case 1:
                p_.winsock.Close();
                showSendLine(false);
                p_.tcpConnected = False;
                break;
            case 3:
                p_.tcpConnected = False;
                p_.winsock.Close();
                showSendLine(false);
                connectSequence();
                break;
            }
        },
        [&] {
            p_.winsock.Close();
            p_.tcpConnected = False;
        });
}

void TcpLink::SendTcp(const QString& text) {
    p_.trap.run(QStringLiteral("SendTcp"), [&] {
        p_.winsock.SendData(text);
        p_.txtSend.setText(QString());
    });
}

void TcpLink::txtSend_KeyPress(std::int16_t& keyAscii) {
    if (keyAscii != 13)
        return;
    p_.trap.run(
        QStringLiteral("txtSend_KeyPress"), [&] { SendTcp(p_.txtSend.Text()); },
        [&] { p_.txtSend.setText(QString()); });
}

void TcpLink::Winsock1_DataArrival(std::int32_t bytesTotal) {
    // The chunk is Latin-1 text held as bytes, one character per byte, as the socket
    // delivered them; it reaches the log and the box without being widened.
    QByteArray chunkText;
    if (bytesTotal <= 0)
        return;
    ErrorTrap::quietly([&] {
        p_.winsock.GetData(chunkText);
        p_.log.tcpChunk(chunkText);
        const QLatin1StringView last = QLatin1StringView(chunkText).right(bytesTotal);
        if (last.contains(QLatin1StringView("IP: ")))
            p_.address.ParseIpAnswer(last);
    });
}
