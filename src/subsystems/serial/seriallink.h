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

// The serial link: opening port 5 at start-up, choosing and opening the port, sending
// typed lines, receiving.
//
// The line settings are fixed: 19200 baud, no parity, 8 data bits, 1 stop bit, DTR and
// RTS raised. Every line sent ends in CR LF. Received characters go into the receive
// box at the caret; an address answer near the end of the box is taken into the octet
// boxes; then the box is saved over the log file.
class SerialLink {
public:
    static constexpr const char* LineSettings = "19200,N,8,1";
    // The port start-up opens, and the control's port number until then.
    static constexpr std::int16_t StartupPort = 5;

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

    // Start-up: fills the list with "Com 1" to "Com 19", opens port 5 (its entry shown in
    // the list's field, nothing selected; a send event whenever the transmit buffer has
    // emptied) and greets the unit. Throws what fails; what was done before stays done.
    void startUp();
    // Shows "Error Com " and the port number the control holds in the status caption;
    // returns that caption.
    QString showError();

    // Opens the port picked in the list (the first when none is picked).
    void InitCommPort();
    void cmboCOMMPort_Click();
    void txtRS232Send_KeyPress(std::int16_t& keyAscii);
    void MSComm1_OnComm();

private:
    // The open sequence: closes the port if it is open, takes the port number, shows it
    // in the list's field (showInList), applies the line settings and the thresholds,
    // opens the port and shows "Connect to com " and its number in the status caption.
    void openPort(std::int16_t port, std::int16_t sendThreshold, bool showInList);

    Parts p_;
};
