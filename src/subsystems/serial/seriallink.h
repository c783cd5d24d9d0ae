#pragma once

#include "shared/captionpair.h"

#include <QString>

#include <cstdint>

class ComboList;
class ErrorTrap;
class ReceiveLog;
class RemoteAddress;
class SerialControl;
class TextBox;

// The serial link: choosing and opening the port, sending typed lines, receiving.
//
// The line settings are fixed: 19200 baud, no parity, 8 data bits, 1 stop bit, DTR and
// RTS raised. Every line sent ends in CR LF. Received characters go into the receive
// box at the caret; an address answer near the end of the box is taken into the octet
// boxes; then the box is saved over the log file.
class SerialLink {
public:
    static constexpr const char* LineSettings = "19200,N,8,1";
    static QString connectedCaption(int port);
    static QString errorCaption(int port);
    // The list's entry for a port.
    static QString listEntry(int port);

    struct Parts {
        SerialControl& comm;
        ComboList& list;
        CaptionPair status;
        TextBox& sendLine;
        ReceiveLog& log;
        RemoteAddress& address;
        const ErrorTrap& trap;
    };

    explicit SerialLink(Parts parts);

    void InitCommPort();
    void cmboCOMMPort_Click();
    void txtRS232Send_KeyPress(std::int16_t& keyAscii);
    void MSComm1_OnComm();

private:
    Parts p_;
};
