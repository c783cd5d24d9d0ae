#include "responder.h"

#include "console.h"

#include <iterator>

namespace {

const char banner[] = "QL-UNIT stand-in, firmware 2.41";

// One measured quantity. Values are whole multiples of 10^-decimals so that the
// printed text never depends on floating-point rounding.
struct Quantity {
    const char* word;
    const char* label;
    const char* unit;
    int base;     // in 10^-decimals
    int step;     // in 10^-decimals
    int decimals; // 0, 1 or 2
    int phase;    // shifts the wave so the quantities do not move in step
};

const Quantity quantities[] = {
    {"rdp", "dew point", "C", -124, 3, 1, 0},
    {"rsp", "set point", "C", -100, 1, 1, 2},
    {"rco", "CO2", "ppm", 415, 3, 0, 4},
    {"rci", "current", "mA", 1240, 5, 2, 6},
    {"rlt", "line temperature", "C", 237, 2, 1, 8},
    {"rct", "cycle time", "s", 600, 5, 1, 10},
};

QByteArray fixedPoint(int value, int decimals) {
    const bool negative = value < 0;
    int magnitude = negative ? -value : value;
    int scale = 1;
    for (int i = 0; i < decimals; ++i)
        scale *= 10;
    QByteArray text = QByteArray::number(magnitude / scale);
    if (decimals > 0)
        text += '.' + QByteArray::number(magnitude % scale).rightJustified(decimals, '0');
    return negative ? '-' + text : text;
}

// A triangle wave from -3 to +3 with a period of 12.
int wave(qint64 n) {
    const int p = static_cast<int>(n % 12);
    return (p < 6 ? p : 12 - p) - 3;
}

QByteArray quoted(const QByteArray& command) {
    const int longest = 40;
    QByteArray shown = console::escaped(command.left(longest));
    if (command.size() > longest)
        shown += "...";
    return shown;
}

} // namespace

Responder::Responder(const QByteArray& address, qint64 firstSequence)
    : m_address(address), m_sequence(firstSequence) {
    m_uptime.start();
}

const QList<QByteArray>& Responder::knownWords() {
    static const QList<QByteArray> words = {"vux8052", "rip", "rdp", "rsp", "rco", "rci",
                                            "rlt",     "rct", "?r",  "?w",  "v",   "q"};
    return words;
}

QByteArray Responder::reading(int kind) {
    const Quantity& q = quantities[kind];
    const qint64 n = m_sequence++;
    const int value = q.base + q.step * wave(n + q.phase);
    return QByteArray(q.word) + " #" + QByteArray::number(n).rightJustified(6, '0') + ' ' +
           q.label + ' ' + fixedPoint(value, q.decimals) + ' ' + q.unit;
}

QList<QByteArray> Responder::answer(const QByteArray& command) {
    if (command.isEmpty())
        return {};
    for (int kind = 0; kind < static_cast<int>(std::size(quantities)); ++kind) {
        if (command == quantities[kind].word)
            return {reading(kind)};
    }
    if (command == "rip") {
        QByteArray ip = "IP: ";
        for (const QByteArray& field : m_address.split('.'))
            ip += field + '.';
        return {banner, ip};
    }
    if (command == "?r")
        return {"?r: R00=0x3C R01=0x00 R02=0x7F R03=0x12 R04=0xA5 R05=0x00 R06=0x01 R07=0x40"};
    if (command == "?w")
        return {"?w: watchdog armed, timeout 2000 ms, resets 0, status 0x00"};
    if (command == "vux8052")
        return {"vux8052: board QL-8052 rev C, 80C52 core, 32 KB flash, boot 1.07"};
    if (command == "v")
        return {"v: firmware 2.41 build 0317"};
    if (command == "q")
        return {"q: status OK, uptime " + QByteArray::number(m_uptime.elapsed() / 1000) + " s"};
    return {"ERR unknown command '" + quoted(command) + "'"};
}
