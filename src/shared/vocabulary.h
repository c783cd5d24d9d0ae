#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <string_view>

// The device command vocabulary: every command word the program sends to the unit, with
// its link, who sends it and when. The start-up greeting, the connect greeting, the
// command buttons and the polling cycle all take their words from the one table below.
//
// On the serial link every line ends in CR LF (the operator's typed lines too); on the
// TCP/IP link nothing is added. The words go out exactly as written here.
namespace vocabulary {

enum class Link { Serial, Tcp };

enum class Sender {
    StartUp, // once, after the start-up has opened serial port 5
    Connect, // after every connect, once the two-second wait is over
    Button,  // a click on the command button whose index is `slot`
    Polling, // polling step `slot` (1 to 6), one step per timer tick
};

struct Command {
    std::string_view word;
    Link link;
    Sender sender;
    int slot;
};

inline constexpr std::array<Command, 13> Table = {{
    {"rip", Link::Serial, Sender::StartUp, 0},
    {"rip", Link::Tcp, Sender::Connect, 0},
    {"?r", Link::Serial, Sender::Button, 0},
    {"?w", Link::Serial, Sender::Button, 1},
    {"vux8052", Link::Serial, Sender::Button, 2},
    {"v", Link::Serial, Sender::Button, 3},
    {"q", Link::Serial, Sender::Button, 4},
    {"rdp", Link::Tcp, Sender::Polling, 1},
    {"rsp", Link::Tcp, Sender::Polling, 2},
    {"rco", Link::Tcp, Sender::Polling, 3},
    {"rci", Link::Tcp, Sender::Polling, 4},
    {"rlt", Link::Tcp, Sender::Polling, 5},
    {"rct", Link::Tcp, Sender::Polling, 6},
}};

constexpr std::string_view lineEnd(Link link) {
    return link == Link::Serial ? "\r\n" : "";
}

// The row for a sender and slot; a row with an empty word when there is none.
constexpr Command find(Sender sender, int slot) {
    for (const Command& c : Table)
        if (c.sender == sender && c.slot == slot)
            return c;
    return {};
}

namespace detail {
template <std::size_t N> constexpr std::array<std::string_view, N> words(Sender sender, int first) {
    std::array<std::string_view, N> out{};
    for (std::size_t i = 0; i < N; ++i)
        out[i] = find(sender, first + static_cast<int>(i)).word;
    return out;
}
} // namespace detail

inline constexpr std::string_view SerialGreeting = find(Sender::StartUp, 0).word;
inline constexpr std::string_view TcpGreeting = find(Sender::Connect, 0).word;
static_assert(!SerialGreeting.empty() && !TcpGreeting.empty());
static_assert(find(Sender::StartUp, 0).link == Link::Serial);
static_assert(find(Sender::Connect, 0).link == Link::Tcp);

// The command buttons' captions, by button index (all but the polling switch).
inline constexpr std::array<std::string_view, 5> SerialButtons =
    detail::words<5>(Sender::Button, 0);
inline constexpr int PollingSwitch = 5;
inline constexpr std::string_view PollingSwitchCaption = "Turn On Read rdp From TCP/IP";

// The polling cycle's read commands, in order: step n (1 to 6) sends element n-1.
inline constexpr std::array<std::string_view, 6> PollingCycle =
    detail::words<6>(Sender::Polling, 1);

constexpr bool allPresent() {
    for (std::string_view w : SerialButtons)
        if (w.empty())
            return false;
    for (std::string_view w : PollingCycle)
        if (w.empty())
            return false;
    // The buttons talk over the serial link, the polling cycle over TCP/IP.
    for (const Command& c : Table) {
        if (c.sender == Sender::Button && c.link != Link::Serial)
            return false;
        if (c.sender == Sender::Polling && c.link != Link::Tcp)
            return false;
    }
    return true;
}
static_assert(allPresent(), "every button and every polling step has its word on its link");

inline constexpr std::string_view SerialLineEnd = lineEnd(Link::Serial);

inline QString word(std::string_view w) {
    return QString::fromLatin1(w.data(), static_cast<qsizetype>(w.size()));
}

// A line as it goes out on the serial link.
inline QString serialLine(const QString& text) {
    return text + word(SerialLineEnd);
}

} // namespace vocabulary
