#pragma once

#include "shared/captionpair.h"
#include "shared/flags.h"

#include <QString>

#include <array>
#include <cstdint>
#include <functional>

class ErrorTrap;
class QPushButton;
class SerialControl;
class TextBox;

// The command buttons and the one-second timer.
//
// Buttons 0 to 4 send their caption as a serial line; button 5 switches polling. Every
// tick refreshes the active-link and TCP status captions and, while polling is on and
// the TCP link is marked connected, sends the next read command of the cycle.
class Commands {
public:
    struct Parts {
        SerialControl& comm;
        std::array<QPushButton*, 6> buttons;
        Flag& pollingOn;
        const Flag& tcpConnected;
        const QString& remoteAddress;
        std::int16_t& pollStep;
        const TextBox& txtSend;
        const TextBox& txtRS232Send;
        CaptionPair tcpStatus;
        CaptionPair activeLink;
        std::function<void(const QString&)> sendTcp;
        const ErrorTrap& trap;
    };

    explicit Commands(Parts parts);

    void btnTest_Click(std::int16_t index);
    void Timer1_Timer();

private:
    Parts p_;
};
