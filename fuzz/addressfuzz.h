#pragma once

// The entry code shared by the libFuzzer targets fuzz_ipanswer and fuzz_octet and by the
// test tst_faults_fuzz, which replays the seed corpora and a fixed-seed mutation run
// through the very same functions.
//
// A Rig is the unit's address as the main window holds it: four octet boxes and the
// octet strings, with each box's Change wired to RemoteAddress::boxChanged. Every entry
// starts from the default address, applies the input, and checks after each step what
// must always hold:
// - the change handling ends: a box write raises at most two Change events (the write
//   and the write-back), an answer at most eight, nested at most two deep;
// - a box and its octet agree, except for the octets an incomplete answer stored and
//   whose box nobody wrote since (those boxes still show what they showed before);
// - an edit is kept exactly when it is numeric in the locale (blanks around, sign,
//   digits with one decimal separator, exponent) and rounds, halves to even, to 0..255;
//   a kept octet is the text as written, a refused one is put back;
// - ParseIpAnswer takes "IP: " and four "."-ended fields as they are, returns True or
//   False exactly, and changes nothing without "IP: ".
// Each entry returns an empty string when everything held, else what broke.
//
// A Qt application (QApplication: the boxes are widgets) must exist before rig().

#include "address/remoteaddress.h"
#include "platform/widgets/controls.h"

#include <QByteArrayView>
#include <QLocale>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <memory>

namespace addressfuzz {

struct Rig {
    Rig() : address(octets, remoteAddress, makeBoxes()) {
        for (int n = 0; n < 4; ++n) {
            QObject::connect(boxes[n], &TextBox::Change, boxes[n], [this, n] {
                ++changes;
                ++depth;
                deepest = std::max(deepest, depth);
                // A runaway change handling would recurse without end: stop it here.
                if (depth <= 8)
                    address.boxChanged(n);
                --depth;
            });
        }
        reset();
    }

    void reset() {
        QLocale::setDefault(QLocale::c());
        for (int n = 0; n < 4; ++n) {
            octets[n] = QString::fromLatin1(RemoteAddress::DefaultOctets[n]);
            QSignalBlocker quiet(boxes[n]);
            boxes[n]->setText(octets[n]);
        }
        changes = depth = deepest = 0;
    }

    QStringList shown() const {
        return {boxes[0]->Text(), boxes[1]->Text(), boxes[2]->Text(), boxes[3]->Text()};
    }
    QStringList stored() const { return {octets.begin(), octets.end()}; }

    std::unique_ptr<QWidget> parent = std::make_unique<QWidget>();
    std::array<TextBox*, 4> boxes{};
    std::array<QString, 4> octets;
    QString remoteAddress;
    RemoteAddress address;
    int changes = 0, depth = 0, deepest = 0;

private:
    std::array<TextBox*, 4> makeBoxes() {
        for (auto*& box : boxes) {
            box = new TextBox(parent.get());
            box->setInputLimit(3);
        }
        return boxes;
    }
};

inline Rig& rig() {
    // Never destroyed: the fuzzers exit without tearing Qt down.
    static Rig* r = new Rig;
    return *r;
}

// The number test of an edit, written from the rules rather than from the code: is the
// text numeric in the locale, and does it round (halves to even) to 0..255?
inline bool octetRule(const QString& text) {
    const QString dp = QRegularExpression::escape(QLocale().decimalPoint());
    // Anchored with \A and \z: "$" would also match before a final line feed.
    const QRegularExpression form(
        QStringLiteral("\\A[ \\t]*([+-]?(?:[0-9]+(?:%1[0-9]*)?|%1[0-9]+)(?:[eE][+-]?[0-9]+)?)"
                       "[ \\t]*\\z")
            .arg(dp));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return false;
    QString number = m.captured(1);
    number.replace(QLocale().decimalPoint(), QStringLiteral("."));
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    const double value = strtod_l(number.toLatin1().constData(), nullptr, c);
    if (!std::isfinite(value))
        return false;
    const double r = std::nearbyint(value);
    return r >= 0.0 && r <= 255.0;
}

// What ParseIpAnswer must do with a text, from the rules: the fields it takes, and
// whether the answer was complete. No "IP: " gives no fields and `found` false.
struct Answer {
    bool found = false;
    QStringList fields;
    bool complete() const { return fields.size() == 4; }
};
inline Answer answerRule(const QString& text) {
    Answer a;
    const qsizetype at = text.indexOf(QLatin1String("IP: "));
    if (at < 0)
        return a;
    a.found = true;
    QString rest = text.mid(at + 4);
    while (a.fields.size() < 4) {
        const qsizetype dot = rest.indexOf(QLatin1Char('.'));
        if (dot < 0)
            break;
        a.fields << rest.left(dot);
        rest = rest.mid(dot + 1);
    }
    return a;
}

namespace detail {

inline QString show(const QStringList& list) {
    QStringList out;
    for (const QString& s : list)
        out << (s.size() > 40 ? s.left(40) + QStringLiteral("...(%1)").arg(s.size()) : s);
    return QLatin1Char('[') + out.join(QStringLiteral("|")) + QLatin1Char(']');
}

// Tracks which boxes an incomplete answer left behind their octets.
struct Model {
    std::array<bool, 4> stale{};
    QStringList lastShown;
};

inline QString checkAgreement(Rig& r, const Model& m) {
    const QStringList shown = r.shown(), stored = r.stored();
    for (int n = 0; n < 4; ++n) {
        if (!m.stale[n] && shown[n] != stored[n])
            return QStringLiteral("box %1 shows %2 but its octet is %3")
                .arg(n + 1)
                .arg(detail::show({shown[n]}), detail::show({stored[n]}));
        if (m.stale[n] && shown[n] != m.lastShown[n])
            return QStringLiteral("box %1 changed to %2 after an incomplete answer")
                .arg(n + 1)
                .arg(detail::show({shown[n]}));
    }
    if (r.depth != 0)
        return QStringLiteral("change handling left nested");
    return QString();
}

// `viaBytes`: the text (Latin-1 characters only) is given as received bytes are, one
// byte per character.
inline QString answerStep(Rig& r, Model& m, const QString& text, bool viaBytes = false) {
    const QStringList storedBefore = r.stored(), shownBefore = r.shown();
    r.changes = r.deepest = 0;
    const QByteArray bytes = viaBytes ? text.toLatin1() : QByteArray();
    const Flag result = viaBytes ? r.address.ParseIpAnswer(QLatin1StringView(bytes))
                                 : r.address.ParseIpAnswer(text);
    const Answer a = answerRule(text);
    if (result != True && result != False)
        return QStringLiteral("ParseIpAnswer returned %1").arg(result);
    if ((result == True) != a.complete())
        return QStringLiteral("ParseIpAnswer returned %1 for %2 fields")
            .arg(result)
            .arg(a.fields.size());
    if (r.changes > 8 || r.deepest > 2)
        return QStringLiteral("the answer ran %1 change events, %2 deep")
            .arg(r.changes)
            .arg(r.deepest);
    QStringList expected = storedBefore;
    for (qsizetype k = 0; k < a.fields.size(); ++k)
        expected[k] = a.fields[k];
    if (r.stored() != expected)
        return QStringLiteral("octets %1, expected %2")
            .arg(detail::show(r.stored()), detail::show(expected));
    if (a.complete()) {
        if (r.shown() != a.fields)
            return QStringLiteral("boxes %1 after a complete answer %2")
                .arg(detail::show(r.shown()), detail::show(a.fields));
        m.stale = {};
    } else {
        if (r.shown() != shownBefore)
            return QStringLiteral("boxes changed from %1 to %2 on an incomplete answer")
                .arg(detail::show(shownBefore), detail::show(r.shown()));
        // The octets it stored are not shown until their boxes are written.
        for (qsizetype k = 0; k < a.fields.size(); ++k)
            m.stale[k] = m.stale[k] || r.shown()[k] != r.octets[k];
    }
    m.lastShown = r.shown();
    return checkAgreement(r, m);
}

// After a change of box n by a write or by typing: the box shows its octet, and an octet
// that changed satisfies the number rule and is the box's text.
inline QString afterEdit(Rig& r, Model& m, int n, const QString& octetBefore,
                         const QString& shownBefore) {
    if (r.changes > 2 || r.deepest > 2)
        return QStringLiteral("an edit of box %1 ran %2 change events, %3 deep")
            .arg(n + 1)
            .arg(r.changes)
            .arg(r.deepest);
    const QString shown = r.boxes[n]->Text();
    if (shown != shownBefore) {
        m.stale[n] = false;
        m.lastShown[n] = shown;
    }
    if (r.octets[n] != octetBefore && !octetRule(r.octets[n]))
        return QStringLiteral("box %1 kept %2, which is no octet")
            .arg(n + 1)
            .arg(detail::show({r.octets[n]}));
    return checkAgreement(r, m);
}

inline QString writeStep(Rig& r, Model& m, int n, const QString& text) {
    const QString octetBefore = r.octets[n], shownBefore = r.boxes[n]->Text();
    r.changes = r.deepest = 0;
    r.boxes[n]->setText(text);
    if (text == shownBefore) {
        if (r.changes != 0)
            return QStringLiteral("rewriting box %1 with its own text ran its change handling")
                .arg(n + 1);
        return checkAgreement(r, m);
    }
    // Kept exactly when the rule says so; otherwise the octet is back.
    const bool keep = octetRule(text);
    const QString expected = keep ? text : octetBefore;
    if (r.octets[n] != expected || r.boxes[n]->Text() != expected)
        return QStringLiteral("writing %1 into box %2 (%3) left octet %4 and box %5")
            .arg(detail::show({text}))
            .arg(n + 1)
            .arg(keep ? QStringLiteral("an octet") : QStringLiteral("no octet"))
            .arg(detail::show({r.octets[n]}), detail::show({r.boxes[n]->Text()}));
    return afterEdit(r, m, n, octetBefore, shownBefore);
}

} // namespace detail

// fuzz_ipanswer: the input, one character per byte, is an address answer given to
// ParseIpAnswer twice over (the second time must change nothing more), once from the
// default address and once after an incomplete answer has stored octets of its own; each
// as text and as the received bytes.
inline QString ipAnswer(QByteArrayView input) {
    Rig& r = rig();
    const QString text = QString::fromLatin1(input.data(), input.size());
    for (const int run : {0, 1, 2, 3}) {
        const bool primed = run % 2 == 1, viaBytes = run >= 2;
        r.reset();
        detail::Model m;
        m.lastShown = r.shown();
        if (primed) {
            if (QString e = detail::answerStep(r, m, QStringLiteral("IP: x.0.")); !e.isEmpty())
                return QStringLiteral("priming: ") + e;
        }
        for (int pass = 0; pass < 2; ++pass) {
            const QStringList before = r.stored();
            if (QString e = detail::answerStep(r, m, text, viaBytes); !e.isEmpty())
                return QStringLiteral("pass %1%2%3: ")
                           .arg(pass + 1)
                           .arg(primed ? ", primed" : "", viaBytes ? ", bytes" : "") +
                       e;
            if (pass == 1 && r.stored() != before)
                return QStringLiteral("a second ParseIpAnswer changed the octets");
        }
        r.address.join();
        if (r.remoteAddress != r.stored().join(QLatin1Char('.')))
            return QStringLiteral("joined address disagrees with the octets");
    }
    return QString();
}

// fuzz_octet: the input is a script. Its first byte picks the locale (even: C, odd:
// German, with a decimal comma). Then each step is an operation byte and a length byte
// followed by that many bytes of text (fewer when the input ends):
//   op % 6 == 0  the program writes the text into box (len byte % 4) + 1
//   op % 6 == 1  the operator types the text into box (op / 6) % 4 + 1, character by
//                character at the cursor (the three-character limit applies)
//   op % 6 == 2  backspace in box (op / 6) % 4 + 1, len times (no text follows)
//   op % 6 == 3  select all of box (op / 6) % 4 + 1, then type the text over it
//   op % 6 == 4  ParseIpAnswer with the text
//   op % 6 == 5  the cursor of box (op / 6) % 4 + 1 moves to len (no text follows)
inline QString octetScript(QByteArrayView input) {
    Rig& r = rig();
    r.reset();
    if (!input.isEmpty() && (static_cast<unsigned char>(input[0]) & 1))
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    detail::Model m;
    m.lastShown = r.shown();
    qsizetype i = input.isEmpty() ? 0 : 1;
    int step = 0;
    while (i + 1 < input.size()) {
        const auto op = static_cast<unsigned char>(input[i]);
        const auto len = static_cast<unsigned char>(input[i + 1]);
        i += 2;
        const int kind = op % 6;
        const bool takesText = kind == 0 || kind == 1 || kind == 3 || kind == 4;
        QString text;
        if (takesText) {
            const qsizetype n = std::min<qsizetype>(len, input.size() - i);
            text = QString::fromLatin1(input.data() + i, n);
            i += n;
        }
        const int box = kind == 0 ? len % 4 : (op / 6) % 4;
        TextBox* b = r.boxes[box];
        QString e;
        if (kind == 0) {
            e = detail::writeStep(r, m, box, text);
        } else if (kind == 4) {
            e = detail::answerStep(r, m, text);
        } else {
            if (kind == 5) {
                b->setCursorPosition(len);
                continue;
            }
            if (kind == 3)
                b->selectAll();
            const int keys = kind == 2 ? len : int(text.size());
            for (int k = 0; k < keys && e.isEmpty(); ++k) {
                const QString octetNow = r.octets[box], shownNow = b->Text();
                r.changes = r.deepest = 0;
                if (kind == 2)
                    b->backspace();
                else
                    b->insert(text.mid(k, 1));
                e = detail::afterEdit(r, m, box, octetNow, shownNow);
            }
        }
        if (!e.isEmpty())
            return QStringLiteral("step %1 (op %2, box %3): ").arg(step).arg(kind).arg(box + 1) + e;
        ++step;
    }
    return QString();
}

} // namespace addressfuzz
