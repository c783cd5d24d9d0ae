#pragma once

#include "shared/flags.h"

#include <QString>

#include <array>
#include <cstdint>
#include <functional>

class ErrorTrap;
class ReceiveLog;
class RemoteAddress;
class SocketControl;
class QWidget;
class TextBox;

// The TCP/IP link: the connection buttons (connect, disconnect, change remote host),
// sending typed lines and polled commands, and receiving what the unit sends.
//
// The program is the client; the unit listens on the socket control's remote port. What
// the rest of the program sees of the link is tcpConnected (True after a completed
// connect sequence; it does not follow the socket's real state) and which send line is
// visible: txtSend while connected, txtRS232Send otherwise.
class TcpLink {
public:
    struct Parts {
        SocketControl& winsock;
        RemoteAddress& address;
        Flag& tcpConnected;
        TextBox& txtSend;
        TextBox& txtRS232Send;
        // Connect, disconnect and change remote host: the buttons that switch the send line.
        std::array<const QWidget*, 3> linkButtons;
        ReceiveLog& log;
        const ErrorTrap& trap;
        std::function<void(std::int16_t seconds)> sleep;
    };

    explicit TcpLink(Parts parts);

    // 0 connect, 1 disconnect, 3 change remote host; any other index does nothing (the
    // help buttons 2 and 4 belong to the help windows).
    void btnConnect_Click(std::int16_t index);
    void SendTcp(const QString& text);
    void txtSend_KeyPress(std::int16_t& keyAscii);
    void Winsock1_DataArrival(std::int32_t bytesTotal);

private:
    void connectSequence();
    // Makes the TCP/IP send line (tcp) or the serial one the visible send line, setting
    // txtSend's flag first, then txtRS232Send's. The keyboard focus goes with it when it
    // was on a link button or on the line now hidden, so that the next thing typed
    // reaches the link just switched to instead of pressing the button again.
    void showSendLine(bool tcp);

    Parts p_;
};
