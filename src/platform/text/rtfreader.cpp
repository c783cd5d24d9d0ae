#include "platform/text/rtfreader.h"

#include <QColor>
#include <QFont>
#include <QString>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

// How the reader works
//
// One pass over the bytes with an explicit stack of group states; nothing recurses, and
// every byte is looked at a bounded number of times, so the time is linear in the size
// of the input whatever its shape.
//
// Text is gathered into a run that shares one character format and handed to the
// document in one insertion when the format changes or the paragraph ends.
//
// Characters. \'hh escapes and bytes above 0x7F are Windows-1252 when the document says
// \ansicpg1252 or names no code page. Any other code page is not decoded: its bytes
// 0x80-0xFF are taken as Latin-1 (U+0080-U+00FF), which keeps the text readable for the
// Western code pages and never invents characters. \uN takes a signed 16-bit value
// (negative values + 65536); values beyond 0xFFFF up to 0x10FFFF, which some writers
// emit, become a surrogate pair; a lone surrogate becomes U+FFFD.
//
// Paragraphs. Word processors end every paragraph, the last one included, with \par;
// the last paragraph mark does not open a new empty paragraph on screen. So a \par opens
// its new paragraph only when something follows it: a document ending in "\par }" has no
// empty paragraph at its end.
//
// Limits. Nesting deeper than kMaxDepth groups is flattened: further groups keep the
// state of the group at the limit and only their braces are counted. Control-word names
// longer than kMaxWordLetters letters are ignored (the letters are still consumed);
// numeric parameters keep their first kMaxDigits digits and are clamped to the 32-bit
// range. \binN skips at most to the end of the data. A '}' that closes the outermost
// group ends the reading; whatever follows it is ignored.

namespace {

constexpr std::size_t kMaxDepth = 1024;
constexpr qsizetype kMaxWordLetters = 32;
constexpr int kMaxDigits = 10;
constexpr int kMaxHalfPoints = 3276; // 1638 pt, the largest size word processors offer
constexpr std::size_t kMaxColours = 4096;

constexpr char16_t kTab = u'\t';
constexpr char16_t kLineSeparator = 0x2028;
constexpr char16_t kParagraphSeparator = 0x2029;
constexpr char16_t kReplacement = 0xFFFD;

// Windows-1252 0x80-0x9F. The five undefined positions keep their byte value.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

enum class Kw : std::uint8_t {
    Destination, // a group whose content is not shown
    ColourTable,
    Red,
    Green,
    Blue,
    Par,
    Char, // stands for one character (Word::ch)
    Bold,
    Italic,
    Underline,
    UnderlineNone,
    FontSize,
    Colour,
    Plain,
    Pard,
    AlignLeft,
    AlignCenter,
    AlignRight,
    AlignJustify,
    Unicode,
    UnicodeSkip,
    Binary,
    AnsiCodePage,
    Hidden,
};

struct Word {
    std::string_view name;
    Kw kw;
    char16_t ch = 0;
};

// Sorted by name (byte order) for the binary search in findWord.
constexpr auto kWords = std::to_array<Word>({
    {"ansicpg", Kw::AnsiCodePage},
    {"author", Kw::Destination},
    {"b", Kw::Bold},
    {"bin", Kw::Binary},
    {"bkmkend", Kw::Destination},
    {"bkmkstart", Kw::Destination},
    {"blue", Kw::Blue},
    {"bullet", Kw::Char, 0x2022},
    {"cell", Kw::Char, kTab},
    {"cf", Kw::Colour},
    {"colorschememapping", Kw::Destination},
    {"colortbl", Kw::ColourTable},
    {"comment", Kw::Destination},
    {"company", Kw::Destination},
    {"datastore", Kw::Destination},
    {"doccomm", Kw::Destination},
    {"emdash", Kw::Char, 0x2014},
    {"emspace", Kw::Char, 0x2003},
    {"endash", Kw::Char, 0x2013},
    {"enspace", Kw::Char, 0x2002},
    {"filetbl", Kw::Destination},
    {"fldinst", Kw::Destination},
    {"fonttbl", Kw::Destination},
    {"footer", Kw::Destination},
    {"footerf", Kw::Destination},
    {"footerl", Kw::Destination},
    {"footerr", Kw::Destination},
    {"footnote", Kw::Destination},
    {"fs", Kw::FontSize},
    {"generator", Kw::Destination},
    {"green", Kw::Green},
    {"header", Kw::Destination},
    {"headerf", Kw::Destination},
    {"headerl", Kw::Destination},
    {"headerr", Kw::Destination},
    {"i", Kw::Italic},
    {"info", Kw::Destination},
    {"keywords", Kw::Destination},
    {"latentstyles", Kw::Destination},
    {"ldblquote", Kw::Char, 0x201C},
    {"line", Kw::Char, kLineSeparator},
    {"listoverridetable", Kw::Destination},
    {"listtable", Kw::Destination},
    {"lquote", Kw::Char, 0x2018},
    {"ltrmark", Kw::Char, 0x200E},
    {"mmathPr", Kw::Destination},
    {"nestcell", Kw::Char, kTab},
    {"nestrow", Kw::Par},
    {"nonshppict", Kw::Destination},
    {"object", Kw::Destination},
    {"operator", Kw::Destination},
    {"page", Kw::Par},
    {"par", Kw::Par},
    {"pard", Kw::Pard},
    {"pgdsctbl", Kw::Destination},
    {"pict", Kw::Destination},
    {"plain", Kw::Plain},
    {"qc", Kw::AlignCenter},
    {"qd", Kw::AlignJustify},
    {"qj", Kw::AlignJustify},
    {"ql", Kw::AlignLeft},
    {"qmspace", Kw::Char, 0x2005},
    {"qr", Kw::AlignRight},
    {"rdblquote", Kw::Char, 0x201D},
    {"red", Kw::Red},
    {"revtbl", Kw::Destination},
    {"row", Kw::Par},
    {"rquote", Kw::Char, 0x2019},
    {"rsidtbl", Kw::Destination},
    {"rtlmark", Kw::Char, 0x200F},
    {"sect", Kw::Par},
    {"stylesheet", Kw::Destination},
    {"subject", Kw::Destination},
    {"tab", Kw::Char, kTab},
    {"template", Kw::Destination},
    {"themedata", Kw::Destination},
    {"title", Kw::Destination},
    {"u", Kw::Unicode},
    {"uc", Kw::UnicodeSkip},
    {"ul", Kw::Underline},
    {"uld", Kw::Underline},
    {"uldash", Kw::Underline},
    {"uldashd", Kw::Underline},
    {"uldashdd", Kw::Underline},
    {"uldb", Kw::Underline},
    {"ulhwave", Kw::Underline},
    {"ulldash", Kw::Underline},
    {"ulnone", Kw::UnderlineNone},
    {"ulth", Kw::Underline},
    {"ulthd", Kw::Underline},
    {"ulthdash", Kw::Underline},
    {"ulw", Kw::Underline},
    {"ulwave", Kw::Underline},
    {"v", Kw::Hidden},
    {"xmlnstbl", Kw::Destination},
    {"zwj", Kw::Char, 0x200D},
    {"zwnj", Kw::Char, 0x200C},
});

static_assert(std::is_sorted(kWords.begin(), kWords.end(),
                             [](const Word& a, const Word& b) { return a.name < b.name; }));

const Word* findWord(std::string_view name) {
    const auto it = std::lower_bound(kWords.begin(), kWords.end(), name,
                                     [](const Word& w, std::string_view n) { return w.name < n; });
    return it != kWords.end() && it->name == name ? &*it : nullptr;
}

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isSpecial(char c) {
    return c == '\\' || c == '{' || c == '}' || c == '\r' || c == '\n';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Character properties that make up a run's format.
struct CharProps {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    int halfPoints = 0; // 0: the document's default size
    int colour = 0;     // index into the colour table; 0: the default colour

    bool operator==(const CharProps&) const = default;
};

enum class Dest : std::uint8_t { Text, Skip, ColourTable };

struct GroupState {
    CharProps chr;
    bool hidden = false;
    Qt::Alignment align = Qt::AlignLeft;
    int uc = 1; // fallback characters that follow a \uN
    Dest dest = Dest::Text;
};

class Reader {
public:
    Reader(QByteArrayView data, QTextDocument& document) : data_(data), cursor_(&document) {
        stack_.reserve(64);
    }

    void read() {
        cursor_.beginEditBlock();
        const qsizetype size = data_.size();
        while (pos_ < size) {
            switch (data_[pos_]) {
            case '{':
                ++pos_;
                openGroup();
                break;
            case '}':
                ++pos_;
                if (!closeGroup())
                    pos_ = size;
                break;
            case '\\':
                ++pos_;
                control();
                break;
            case '\r':
            case '\n':
                ++pos_;
                break;
            default:
                plainText();
                break;
            }
        }
        finish();
        cursor_.endEditBlock();
    }

private:
    // --- groups ---

    void openGroup() {
        pendingSkip_ = 0;
        if (stack_.size() < kMaxDepth)
            stack_.push_back(st_);
        else
            ++flattened_;
    }

    // False when the brace closes the outermost group (or there is no group to close):
    // the document ends there.
    bool closeGroup() {
        pendingSkip_ = 0;
        if (flattened_ > 0) {
            --flattened_;
            return true;
        }
        if (stack_.size() <= 1)
            return false;
        st_ = stack_.back();
        stack_.pop_back();
        return true;
    }

    // --- tokens ---

    // Consumes one fallback character of a \uN when some are still due.
    bool skipFallback() {
        if (pendingSkip_ <= 0)
            return false;
        --pendingSkip_;
        return true;
    }

    void control() {
        const qsizetype size = data_.size();
        if (pos_ >= size)
            return; // a backslash at the very end
        const char c = data_[pos_];
        if (isLetter(c)) {
            controlWord();
            return;
        }
        ++pos_;
        if (c == '\'') {
            int value = 0;
            int digits = 0;
            while (digits < 2 && pos_ < size) {
                const int h = hexValue(data_[pos_]);
                if (h < 0)
                    break;
                value = value * 16 + h;
                ++digits;
                ++pos_;
            }
            if (skipFallback() || digits < 2)
                return;
            emitUnit(decodeByte(static_cast<unsigned char>(value)));
            return;
        }
        if (skipFallback())
            return;
        switch (c) {
        case '\\':
        case '{':
        case '}':
            emitUnit(static_cast<char16_t>(c));
            break;
        case '~':
            emitUnit(0x00A0);
            break;
        case '_':
            emitUnit(0x2011);
            break;
        case '*':
            st_.dest = Dest::Skip; // an ignorable destination: nothing in it is shown
            break;
        case '\r':
        case '\n':
            paragraph(); // a backslash before a line end stands for \par
            break;
        default:
            break; // \- (optional hyphen) and the rest show nothing
        }
    }

    void controlWord() {
        const qsizetype size = data_.size();
        const qsizetype start = pos_;
        while (pos_ < size && isLetter(data_[pos_]))
            ++pos_;
        const qsizetype letters = pos_ - start;

        bool negative = false;
        if (pos_ + 1 < size && data_[pos_] == '-' && isDigit(data_[pos_ + 1])) {
            negative = true;
            ++pos_;
        }
        std::int64_t value = 0;
        int digits = 0;
        while (pos_ < size && isDigit(data_[pos_])) {
            if (digits < kMaxDigits)
                value = value * 10 + (data_[pos_] - '0');
            ++digits;
            ++pos_;
        }
        const bool hasParam = digits > 0;
        if (negative)
            value = -value;
        const int param = static_cast<int>(
            std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                     std::numeric_limits<std::int32_t>::max()));
        if (pos_ < size && data_[pos_] == ' ')
            ++pos_; // the delimiter belongs to the word

        const Word* word =
            letters <= kMaxWordLetters
                ? findWord(std::string_view(data_.data() + start, static_cast<size_t>(letters)))
                : nullptr;
        if (word != nullptr && word->kw == Kw::Binary) {
            if (hasParam && param > 0)
                pos_ += std::min<qsizetype>(param, size - pos_);
            skipFallback();
            return;
        }
        if (skipFallback() || word == nullptr)
            return;
        apply(*word, hasParam, param);
    }

    void apply(const Word& word, bool hasParam, int param) {
        const bool on = !hasParam || param != 0;
        if (st_.dest == Dest::Skip)
            return;
        if (st_.dest == Dest::ColourTable) {
            const int component = std::clamp(param, 0, 255);
            switch (word.kw) {
            case Kw::Red:
                red_ = component;
                break;
            case Kw::Green:
                green_ = component;
                break;
            case Kw::Blue:
                blue_ = component;
                break;
            default:
                return;
            }
            colourGiven_ = true;
            return;
        }
        switch (word.kw) {
        case Kw::Destination:
            st_.dest = Dest::Skip;
            break;
        case Kw::ColourTable:
            st_.dest = Dest::ColourTable;
            colours_.clear();
            clearFormatCache();
            resetColourEntry();
            break;
        case Kw::Red:
        case Kw::Green:
        case Kw::Blue:
        case Kw::Binary:
            break;
        case Kw::Par:
            paragraph();
            break;
        case Kw::Char:
            emitUnit(word.ch);
            break;
        case Kw::Bold:
            st_.chr.bold = on;
            break;
        case Kw::Italic:
            st_.chr.italic = on;
            break;
        case Kw::Underline:
            st_.chr.underline = on;
            break;
        case Kw::UnderlineNone:
            st_.chr.underline = false;
            break;
        case Kw::FontSize:
            st_.chr.halfPoints = hasParam && param > 0 ? std::min(param, kMaxHalfPoints) : 0;
            break;
        case Kw::Colour:
            st_.chr.colour = hasParam && param > 0 ? param : 0;
            break;
        case Kw::Plain:
            st_.chr = CharProps{};
            st_.hidden = false;
            break;
        case Kw::Pard:
            st_.align = Qt::AlignLeft;
            break;
        case Kw::AlignLeft:
            st_.align = Qt::AlignLeft;
            break;
        case Kw::AlignCenter:
            st_.align = Qt::AlignHCenter;
            break;
        case Kw::AlignRight:
            st_.align = Qt::AlignRight;
            break;
        case Kw::AlignJustify:
            st_.align = Qt::AlignJustify;
            break;
        case Kw::Unicode:
            if (hasParam) {
                unicode(param);
                pendingSkip_ = st_.uc;
            }
            break;
        case Kw::UnicodeSkip:
            st_.uc = hasParam ? std::max(param, 0) : 1;
            break;
        case Kw::AnsiCodePage:
            cp1252_ = !hasParam || param == 1252;
            break;
        case Kw::Hidden:
            st_.hidden = on;
            break;
        }
    }

    void plainText() {
        const qsizetype size = data_.size();
        qsizetype end = pos_;
        while (end < size && !isSpecial(data_[end]))
            ++end;
        while (pendingSkip_ > 0 && pos_ < end) {
            --pendingSkip_;
            ++pos_;
        }
        const QByteArrayView bytes = data_.sliced(pos_, end - pos_);
        pos_ = end;
        switch (st_.dest) {
        case Dest::Text:
            if (!st_.hidden)
                appendBytes(bytes);
            break;
        case Dest::ColourTable:
            for (const char c : bytes) {
                if (c == ';')
                    finishColourEntry();
            }
            break;
        case Dest::Skip:
            break;
        }
    }

    // --- characters ---

    char16_t decodeByte(unsigned char b) const {
        if (cp1252_ && b >= 0x80 && b < 0xA0)
            return kCp1252High[b - 0x80];
        return b;
    }

    void unicode(int param) {
        std::int64_t value = param;
        if (value < 0)
            value += 65536;
        if (value < 0 || value > 0x10FFFF) {
            emitUnit(kReplacement);
        } else if (value > 0xFFFF) {
            const auto cp = static_cast<char32_t>(value);
            emitUnit(QChar::highSurrogate(cp));
            emitUnit(QChar::lowSurrogate(cp));
        } else {
            emitUnit(static_cast<char16_t>(value));
        }
    }

    // One UTF-16 unit of text from an escape, a control word or \uN.
    void emitUnit(char16_t u) {
        if (st_.dest != Dest::Text || st_.hidden)
            return;
        if (u == kParagraphSeparator) {
            paragraph();
            return;
        }
        if (u < 0x20 && u != kTab)
            return;
        // Characters the text document keeps for its own structure.
        if ((u >= 0xFDD0 && u <= 0xFDEF) || u == 0xFFFC || u >= 0xFFFE)
            u = kReplacement;
        if (QChar::isHighSurrogate(u)) {
            resolveHighSurrogate();
            pendingHigh_ = u;
            return;
        }
        if (QChar::isLowSurrogate(u)) {
            if (pendingHigh_ != 0) {
                put(pendingHigh_);
                pendingHigh_ = 0;
                put(u);
            } else {
                put(kReplacement);
            }
            return;
        }
        resolveHighSurrogate();
        put(u);
    }

    // A high surrogate not followed by its low half.
    void resolveHighSurrogate() {
        if (pendingHigh_ == 0)
            return;
        pendingHigh_ = 0;
        put(kReplacement);
    }

    void appendBytes(QByteArrayView bytes) {
        bool begun = false;
        for (const char c : bytes) {
            const auto b = static_cast<unsigned char>(c);
            if (b < 0x20 && b != kTab)
                continue; // NUL and other control bytes
            if (!begun) {
                resolveHighSurrogate();
                beginPut();
                begun = true;
            }
            run_.append(QChar(decodeByte(b)));
        }
    }

    void put(char16_t u) {
        beginPut();
        run_.append(QChar(u));
    }

    void beginPut() {
        if (paragraphPending_)
            startParagraph();
        if (run_.isEmpty()) {
            runProps_ = st_.chr;
        } else if (runProps_ != st_.chr) {
            flushRun();
            runProps_ = st_.chr;
        }
    }

    // --- paragraphs and output ---

    void paragraph() {
        if (st_.dest != Dest::Text)
            return;
        resolveHighSurrogate();
        if (paragraphPending_)
            startParagraph();
        flushRun();
        applyAlignment();
        paragraphPending_ = true;
    }

    void startParagraph() {
        flushRun();
        QTextBlockFormat format;
        format.setAlignment(st_.align);
        cursor_.insertBlock(format, charFormat(st_.chr));
        blockAlign_ = st_.align;
        paragraphPending_ = false;
    }

    void applyAlignment() {
        if (st_.align == blockAlign_)
            return;
        QTextBlockFormat format = cursor_.blockFormat();
        format.setAlignment(st_.align);
        cursor_.setBlockFormat(format);
        blockAlign_ = st_.align;
    }

    void flushRun() {
        if (run_.isEmpty())
            return;
        cursor_.insertText(run_, charFormat(runProps_));
        run_.resize(0);
    }

    void finish() {
        resolveHighSurrogate();
        flushRun();
        if (!paragraphPending_)
            applyAlignment();
    }

    // The formats of recent runs: text that switches back and forth between a few
    // formats reuses them instead of building each one again.
    const QTextCharFormat& charFormat(const CharProps& p) {
        for (const CachedFormat& cached : formatCache_) {
            if (cached.used && cached.props == p)
                return cached.format;
        }
        CachedFormat& slot = formatCache_[nextCacheSlot_];
        nextCacheSlot_ = (nextCacheSlot_ + 1) % formatCache_.size();
        slot.used = true;
        slot.props = p;
        slot.format = makeCharFormat(p);
        return slot.format;
    }

    QTextCharFormat makeCharFormat(const CharProps& p) const {
        QTextCharFormat format;
        if (p.bold)
            format.setFontWeight(QFont::Bold);
        if (p.italic)
            format.setFontItalic(true);
        if (p.underline)
            format.setFontUnderline(true);
        if (p.halfPoints > 0)
            format.setFontPointSize(p.halfPoints / 2.0);
        if (p.colour > 0 && static_cast<std::size_t>(p.colour) < colours_.size() &&
            colours_[static_cast<std::size_t>(p.colour)].isValid())
            format.setForeground(colours_[static_cast<std::size_t>(p.colour)]);
        return format;
    }

    // --- colour table ---

    void clearFormatCache() {
        for (CachedFormat& cached : formatCache_)
            cached.used = false;
    }

    void resetColourEntry() {
        red_ = green_ = blue_ = 0;
        colourGiven_ = false;
    }

    void finishColourEntry() {
        if (colours_.size() < kMaxColours) {
            colours_.push_back(colourGiven_ ? QColor(red_, green_, blue_) : QColor());
            clearFormatCache();
        }
        resetColourEntry();
    }

    QByteArrayView data_;
    qsizetype pos_ = 0;
    QTextCursor cursor_;

    GroupState st_;
    std::vector<GroupState> stack_;
    std::size_t flattened_ = 0; // groups opened beyond kMaxDepth and not yet closed
    int pendingSkip_ = 0;       // fallback characters of a \uN still to skip
    bool cp1252_ = true;

    std::vector<QColor> colours_;
    int red_ = 0;
    int green_ = 0;
    int blue_ = 0;
    bool colourGiven_ = false;

    struct CachedFormat {
        bool used = false;
        CharProps props;
        QTextCharFormat format;
    };
    std::array<CachedFormat, 8> formatCache_;
    std::size_t nextCacheSlot_ = 0;

    QString run_;
    CharProps runProps_;
    char16_t pendingHigh_ = 0;
    bool paragraphPending_ = false;
    Qt::Alignment blockAlign_ = Qt::AlignLeft;
};

} // namespace

bool looksLikeRtf(QByteArrayView data) {
    return data.startsWith(QByteArrayView("{\\rtf"));
}

bool readRtf(QByteArrayView data, QTextDocument& document) {
    if (!looksLikeRtf(data))
        return false;
    const bool undo = document.isUndoRedoEnabled();
    document.setUndoRedoEnabled(false);
    document.clear();
    Reader(data, document).read();
    document.setUndoRedoEnabled(undo);
    return true;
}
