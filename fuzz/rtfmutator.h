#pragma once

// A deterministic mutator for rich-text input. The reader's test suite runs a short,
// fixed-seed series of its inputs; bench_rtf_mutations runs a long one. (libFuzzer's
// own mutations drive fuzz_rtf; this one needs no special compiler.)
//
// Each input starts from one of the seed documents (or, now and then, from the previous
// input) and takes one to eight edits: bit flips, random bytes, inserted braces and
// backslashes, control words and fragments from a dictionary of the reader's trickier
// cases, deleted and duplicated ranges, truncation and splices of two seeds. Most inputs
// keep the "{\rtf" prefix so that they get past the reader's first test.

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace rtffuzz {

using namespace std::string_view_literals;

// Small documents of the shapes word processors write.
inline std::vector<QByteArray> builtinSeeds() {
    static constexpr std::array kSeeds = {
        // A header as word processors write it, with two formatted paragraphs.
        "{\\rtf1\\ansi\\ansicpg1252\\deff0\\nouicompat\\deflang1033{\\fonttbl{\\f0\\fswiss"
        "\\fprq2\\fcharset0 Arial;}{\\f1\\fmodern\\fprq1\\fcharset0 Courier New;}}\r\n"
        "{\\colortbl ;\\red0\\green51\\blue153;\\red192\\green0\\blue0;}\r\n"
        "{\\stylesheet{\\s0\\snext0\\f0\\fs20 Normal;}{\\s1\\sbasedon0\\snext0\\b\\f0\\fs24"
        "\\cf1 heading 1;}}\r\n{\\info{\\title Network}{\\author A}{\\company B}}\r\n"
        "{\\*\\generator Riched20 10.0.19041}\\viewkind4\\uc1\r\n"
        "\\pard\\sa120\\f0\\fs20 1. Right Click Network\\par\r\n"
        "\\pard\\s1\\b\\cf1\\fs24 Heading\\par\r\n"
        "\\pard\\b0\\cf0\\fs20 The unit\\'92s address is {\\b 192.168.1.100}.\\par\r\n}\r\n"sv,
        // Character and paragraph formatting.
        "{\\rtf1\\ansi{\\fonttbl\\f0\\fnil Times;}\\pard\\qc\\b Title\\b0\\par\\pard\\qj "
        "{\\i italic} {\\ul under\\ulnone line} {\\uldb double\\ul0} \\fs36 big\\fs20 small"
        "\\line next\\tab tabbed\\par\\qr right\\plain plain\\par}"sv,
        // Characters: code page escapes, Unicode with fallbacks, control symbols.
        "{\\rtf1\\ansi\\ansicpg1252\\uc1 caf\\'e9 \\'80 \\u8364? {\\uc2 \\u8364\\'80\\'80} "
        "{\\uc0 \\u233 }\\u-10179?\\u-8704? \\u-3972? \\~ \\_ \\- \\\\ \\{ \\} \\emdash "
        "\\ldblquote q\\rdblquote\\par}"sv,
        // A field and bookmarks.
        "{\\rtf1\\ansi {\\field{\\*\\fldinst {HYPERLINK \\\\l \"top\"}}{\\fldrslt {\\ul\\cf1 "
        "the top}}} {\\*\\bkmkstart top}x{\\*\\bkmkend top}\\par}"sv,
        // Pictures, hex and binary.
        "{\\rtf1\\ansi a{\\pict\\wmetafile8\\picw100\\pich100 0123456789abcdef0123456789abcdef}"
        "{\\*\\shppict{\\pict\\pngblip\\bin6 }{\\x{}}}{\\nonshppict{\\pict 00ff}}b\\par}"sv,
        // A table row, header, footer and footnote.
        "{\\rtf1{\\header \\pard header\\par}{\\footer footer\\par}\\trowd\\cellx1000"
        "\\cellx2000 \\intbl a\\cell b\\cell\\row\\pard body{\\footnote \\chftn note}\\par}"sv,
        // Hidden text and an other code page.
        "{\\rtf1\\ansi\\ansicpg1251 {\\v hidden}shown \\'c0\\'e9\\par\\sect\\page end}"sv,
    };
    std::vector<QByteArray> seeds;
    for (const std::string_view s : kSeeds)
        seeds.emplace_back(s.data(), static_cast<qsizetype>(s.size()));
    return seeds;
}

class RtfMutator {
public:
    RtfMutator(std::uint64_t seed, std::vector<QByteArray> seeds, qsizetype maxSize = 1 << 16)
        : state_(seed), seeds_(std::move(seeds)), maxSize_(maxSize) {
        if (seeds_.empty())
            seeds_.push_back(QByteArrayLiteral("{\\rtf1 }"));
    }

    QByteArray next() {
        QByteArray data = (!last_.isEmpty() && below(16) == 0) ? last_ : pickSeed();
        const int edits = 1 << below(4); // 1, 2, 4 or 8
        for (int i = 0; i < edits; ++i)
            mutate(data);
        if (!data.startsWith("{\\rtf") && below(8) != 0)
            data.prepend("{\\rtf1 ");
        if (data.size() > maxSize_)
            data.truncate(maxSize_);
        last_ = data;
        return data;
    }

private:
    // splitmix64: small, fast and the same on every platform.
    std::uint64_t random() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    qsizetype below(qsizetype n) {
        return n <= 0 ? 0 : static_cast<qsizetype>(random() % static_cast<std::uint64_t>(n));
    }
    const QByteArray& pickSeed() {
        return seeds_[static_cast<std::size_t>(below(qsizetype(seeds_.size())))];
    }
    qsizetype position(const QByteArray& data) { return below(data.size() + 1); }

    void mutate(QByteArray& data) {
        static constexpr std::array kDictionary = {
            "\\par "sv,
            "\\line "sv,
            "\\tab "sv,
            "\\b "sv,
            "\\b0 "sv,
            "\\i "sv,
            "\\ul "sv,
            "\\ulnone "sv,
            "\\fs"sv,
            "\\fs48 "sv,
            "\\cf1 "sv,
            "\\cf9999 "sv,
            "\\plain "sv,
            "\\pard "sv,
            "\\qc "sv,
            "\\qr "sv,
            "\\qj "sv,
            "\\'"sv,
            "\\'e9"sv,
            "\\'8"sv,
            "\\u"sv,
            "\\u-"sv,
            "\\u8364?"sv,
            "\\u-10179?\\u-8704?"sv,
            "\\u-10179 "sv,
            "\\u-8704 "sv,
            "\\uc0 "sv,
            "\\uc2 "sv,
            "\\uc99999 "sv,
            "\\ansicpg1252"sv,
            "\\ansicpg1251 "sv,
            "\\*"sv,
            "{\\*\\generator x;}"sv,
            "\\fonttbl"sv,
            "{\\colortbl;\\red255\\green0\\blue0;}"sv,
            "\\colortbl"sv,
            "\\red"sv,
            ";"sv,
            "\\info"sv,
            "\\pict "sv,
            "\\bin"sv,
            "\\bin5 "sv,
            "\\bin2147483647 "sv,
            "\\bin-1 "sv,
            "{\\field{\\*\\fldinst HYPERLINK x}{\\fldrslt y}}"sv,
            "\\fldrslt "sv,
            "\\~"sv,
            "\\-"sv,
            "\\_"sv,
            "\\\\"sv,
            "\\{"sv,
            "\\}"sv,
            "\\\r\n"sv,
            "\r\n"sv,
            "\\v "sv,
            "\\v0 "sv,
            "\\emdash "sv,
            "\\cell "sv,
            "\\row "sv,
            "\\header "sv,
            "\\*\\"sv,
            "\\aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"sv,
            "99999999999999999999"sv,
            "-2147483648"sv,
            "\\u65535?"sv,
            "\\u64976?"sv,
            "\\u8233?"sv,
            "\\u-1?"sv,
            "\\u1114111?"sv,
            "\\'00"sv,
            "\0"sv,
            "\\\0"sv,
            "\x80\x9f\xff"sv,
            "}}}}"sv,
            "{{{{"sv,
        };
        switch (below(12)) {
        case 0: // flip a bit
            if (!data.isEmpty()) {
                const qsizetype at = below(data.size());
                data[at] = static_cast<char>(data[at] ^ (1 << below(8)));
            }
            break;
        case 1: // a random byte
            if (!data.isEmpty())
                data[below(data.size())] = static_cast<char>(below(256));
            break;
        case 2: { // opening braces: usually a few, sometimes past the nesting limit
            const qsizetype count = below(64) == 0 ? 1000 + below(3000) : 1 + below(4);
            data.insert(position(data), QByteArray(count, '{'));
            break;
        }
        case 3:
            data.insert(position(data), QByteArray(1 + below(4), '}'));
            break;
        case 4:
            data.insert(position(data), '\\');
            break;
        case 5:
        case 6: {
            const std::string_view word =
                kDictionary[static_cast<std::size_t>(below(qsizetype(kDictionary.size())))];
            data.insert(position(data),
                        QByteArrayView(word.data(), static_cast<qsizetype>(word.size())));
            break;
        }
        case 7: { // delete a range
            const qsizetype at = position(data);
            data.remove(at, 1 + below(64));
            break;
        }
        case 8: // truncate
            data.truncate(position(data));
            break;
        case 9: { // splice: the start of this input and the end of a seed
            const QByteArray& other = pickSeed();
            const qsizetype cut = position(data);
            const qsizetype from = below(other.size() + 1);
            data = data.left(cut) + other.mid(from);
            break;
        }
        case 10: { // duplicate a range somewhere else
            if (data.isEmpty())
                break;
            const qsizetype from = below(data.size());
            const QByteArray chunk = data.mid(from, 1 + below(256));
            data.insert(position(data), chunk);
            break;
        }
        default: { // a number after a control word
            static constexpr std::array kNumbers = {
                "0"sv,          "-0"sv,         "1"sv,           "-1"sv,
                "255"sv,        "32767"sv,      "-32768"sv,      "65536"sv,
                "2147483647"sv, "2147483648"sv, "-2147483649"sv, "99999999999999"sv};
            const qsizetype at = data.indexOf('\\', position(data));
            if (at < 0)
                break;
            qsizetype end = at + 1;
            while (end < data.size() && ((data[end] >= 'a' && data[end] <= 'z') ||
                                         (data[end] >= 'A' && data[end] <= 'Z')))
                ++end;
            const std::string_view n =
                kNumbers[static_cast<std::size_t>(below(qsizetype(kNumbers.size())))];
            data.insert(end, QByteArrayView(n.data(), static_cast<qsizetype>(n.size())));
            break;
        }
        }
    }

    std::uint64_t state_;
    std::vector<QByteArray> seeds_;
    qsizetype maxSize_;
    QByteArray last_;
};

} // namespace rtffuzz
