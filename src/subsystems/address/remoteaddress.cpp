#include "address/remoteaddress.h"

#include "platform/widgets/controls.h"

#include <clocale>
#include <cmath>
#include <cstdlib>

RemoteAddress::RemoteAddress(std::array<QString, 4>& octets, QString& remoteAddress,
                             std::array<TextBox*, 4> boxes)
    : octets_(octets), remoteAddress_(remoteAddress), boxes_(boxes) {}

void RemoteAddress::takeDefault() {
    for (int k = 0; k < 4; ++k)
        octets_[k] = QString::fromLatin1(DefaultOctets[k]);
    join();
    writeBoxes();
}

std::optional<double> RemoteAddress::parseNumber(const QString& text, const QLocale& locale) {
    const QString decimal = locale.decimalPoint();
    // The digits are handed to strtod, which reads the decimal separator of the C
    // library's numeric locale (the user's, as the application set it up at start), not
    // necessarily a "." and not necessarily the separator of `locale`.
    const QByteArray cDecimal(std::localeconv()->decimal_point);
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    qsizetype i = 0, end = text.size();
    while (i < end && blank(text[i]))
        ++i;
    while (end > i && blank(text[end - 1]))
        --end;
    // Rebuilt in the form strtod takes: sign, digits, separator, digits, exponent.
    QByteArray c;
    auto takeSign = [&] {
        if (i < end && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
            c.append(static_cast<char>(text[i++].unicode()));
    };
    auto takeDigits = [&] {
        int n = 0;
        for (; i < end && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++n)
            c.append(static_cast<char>(text[i++].unicode()));
        return n;
    };
    takeSign();
    int digits = takeDigits();
    if (!decimal.isEmpty() && QStringView(text).mid(i, end - i).startsWith(decimal)) {
        i += decimal.size();
        c.append(cDecimal);
        digits += takeDigits();
    }
    if (digits == 0)
        return std::nullopt;
    if (i < end && (text[i] == QLatin1Char('e') || text[i] == QLatin1Char('E'))) {
        c.append('e');
        ++i;
        takeSign();
        if (takeDigits() == 0)
            return std::nullopt;
    }
    if (i != end)
        return std::nullopt;
    char* parsed = nullptr;
    // Overflow gives an infinity, which fits no integer; underflow gives 0 or a tiny value.
    const double value = std::strtod(c.constData(), &parsed);
    if (parsed != c.constData() + c.size())
        return std::nullopt;
    return value;
}

std::optional<std::int16_t> RemoteAddress::toInteger16(double value) {
    if (!std::isfinite(value))
        return std::nullopt;
    const double r = std::nearbyint(value); // default rounding: halves to even
    if (r < -32768.0 || r > 32767.0)
        return std::nullopt;
    return static_cast<std::int16_t>(r);
}

bool RemoteAddress::isOctet(const QString& text, const QLocale& locale) {
    const auto number = parseNumber(text, locale);
    if (!number)
        return false;
    const auto v = toInteger16(*number);
    return v && *v >= 0 && *v <= 255;
}

void RemoteAddress::boxChanged(int n) {
    TextBox* box = boxes_[n];
    const QString t = box->Text();
    if (isOctet(t, QLocale()))
        octets_[n] = t;
    else
        box->setText(octets_[n]);
}

template <typename View> Flag RemoteAddress::takeAnswer(View text) {
    const qsizetype at = text.indexOf(QLatin1StringView("IP: "), 0, Qt::CaseSensitive);
    if (at < 0)
        return False;
    qsizetype from = at + 4;
    for (int k = 0; k < 4; ++k) {
        const qsizetype dot = text.indexOf(QLatin1Char('.'), from);
        if (dot < 0)
            return False;
        octets_[k] = text.mid(from, dot - from).toString();
        from = dot + 1;
    }
    writeBoxes();
    return True;
}

Flag RemoteAddress::ParseIpAnswer(const QString& text) {
    return takeAnswer(QStringView(text));
}

Flag RemoteAddress::ParseIpAnswer(QLatin1StringView text) {
    return takeAnswer(text);
}

void RemoteAddress::writeBoxes() {
    for (int k = 0; k < 4; ++k)
        boxes_[k]->setText(octets_[k]);
}

void RemoteAddress::join() {
    remoteAddress_ = octets_[0] + QLatin1Char('.') + octets_[1] + QLatin1Char('.') + octets_[2] +
                     QLatin1Char('.') + octets_[3];
}
