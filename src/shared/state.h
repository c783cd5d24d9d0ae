#pragma once

#include "shared/flags.h"

#include <QString>

#include <array>
#include <cstdint>

// The state the main window's handlers share, created with the window and kept for its
// lifetime. Each subsystem is handed the parts it reads or writes.
struct FormState {
    // The octets of the unit's address, each exactly as accepted or received.
    std::array<QString, 4> remoteOctets;
    // The four octets joined by "." at the last connect (or at start-up).
    QString remoteAddress;
    // True after a completed connect sequence; does not follow the socket's real state.
    Flag tcpConnected = False;
    // The polling switch.
    Flag pollingOn = False;
    // The receive log, "C:\ZEL.txt".
    QString logFilePath;
    // The polling step last sent (1 to 6 once polling has sent).
    std::int16_t pollStep = 0;
};
