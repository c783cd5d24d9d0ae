#pragma once

#include <QString>

#include <array>
#include <string_view>

// Every command word the program sends to the unit, with its link and line end. The
// start-up greeting, the connect greeting, the command buttons and the polling cycle
// all take their words from here.
//
// On the serial link every line ends in CR LF; on the TCP/IP link nothing is added.
namespace vocabulary {

enum class Link { Serial, Tcp };

struct Command {
    std::string_view word;
    Link link;
};

// The greeting: on the serial link after the start-up opening, on the TCP/IP link after
// every connect.
inline constexpr std::string_view Greeting = "rip";

// The serial command buttons, by button index (all but the polling switch, index 5).
inline constexpr std::array<std::string_view, 5> SerialButtons = {"?r", "?w", "vux8052", "v", "q"};
inline constexpr int PollingSwitch = 5;
inline constexpr std::string_view PollingSwitchCaption = "Turn On Read rdp From TCP/IP";

// The polling cycle's read commands, in their order; step n (1 to 6) sends element n-1.
inline constexpr std::array<std::string_view, 6> PollingCycle = {"rdp", "rsp", "rco",
                                                                 "rci", "rlt", "rct"};

inline constexpr std::string_view SerialLineEnd = "\r\n";

// A line as it goes out on the serial link.
inline QString serialLine(const QString& text) {
    return text + QLatin1String(SerialLineEnd.data(), SerialLineEnd.size());
}

inline QString word(std::string_view w) { return QString::fromLatin1(w.data(), w.size()); }

} // namespace vocabulary
