#pragma once

#include "shared/flags.h"

#include <QLatin1StringView>
#include <QLocale>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

class TextBox;

// The unit's address, held as four octet strings (remoteOctets) each shown in its own
// box (txtTcp1 to txtTcp4), and the address the links use (remoteAddress), joined from
// the octets at start-up and at each connect.
//
// An edit of a box is taken into its octet when the text is a number (ordinary number
// parsing in the user's locale: blanks around, optional sign, digits with an optional
// decimal separator, optional exponent) that rounds (halves to even) to a 16-bit
// integer from 0 to 255; the text itself is stored, as typed. Anything else is undone
// by writing the stored octet back, which runs the box's change handling once more and
// then stops, since a write that leaves the text unchanged changes nothing.
class RemoteAddress {
public:
    // The default address of the unit.
    static constexpr std::array<const char*, 4> DefaultOctets = {"192", "168", "1", "100"};

    RemoteAddress(std::array<QString, 4>& octets, QString& remoteAddress,
                  std::array<TextBox*, 4> boxes);

    // Start-up: the default octets are stored, first to fourth, the address is joined
    // from them, and the boxes are written, first to fourth.
    void takeDefault();

    // Change handling of box n (0 for txtTcp1 ... 3 for txtTcp4).
    void boxChanged(int n);
    void txtTcp1_Change() { boxChanged(0); }
    void txtTcp2_Change() { boxChanged(1); }
    void txtTcp3_Change() { boxChanged(2); }
    void txtTcp4_Change() { boxChanged(3); }

    // Takes the address answer "IP: " followed by four fields, each ended by ".", from
    // the text into the octets and the boxes. Returns True when all four were taken;
    // False, with the fields before the missing "." stored and no box written, when the
    // answer is incomplete, and False with nothing changed when there is no "IP: ".
    Flag ParseIpAnswer(const QString& text);
    // The same for received text held as bytes, one character per byte.
    Flag ParseIpAnswer(QLatin1StringView text);

    // Writes the stored octets into the boxes, first to fourth.
    void writeBoxes();
    // Sets remoteAddress to the stored octets joined by ".", each unchanged.
    void join();
    const QString& remoteAddress() const { return remoteAddress_; }

    // The number a text stands for, or nothing when it is not numeric.
    static std::optional<double> parseNumber(const QString& text, const QLocale& locale);
    // The number rounded to the nearest 16-bit integer (halves to even), or nothing when
    // it does not fit.
    static std::optional<std::int16_t> toInteger16(double value);
    static bool isOctet(const QString& text, const QLocale& locale);

private:
    // ParseIpAnswer on a QStringView or a QLatin1StringView.
    template <typename View> Flag takeAnswer(View text);

    std::array<QString, 4>& octets_;
    QString& remoteAddress_;
    std::array<TextBox*, 4> boxes_;
};
