#include "platform/text/rtfreader.h"

#include "rtfmutator.h"

#include <QColor>
#include <QFile>
#include <QFont>
#include <QRandomGenerator>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextDocument>
#include <QTextFragment>
#include <QtTest>

#include <ctime>
#include <optional>

namespace {

const QString kFirstHelpLine =
    QStringLiteral("1. Right Click Network and Click on Open Network Connections");

// Processor time of this process: the ratio of the linear-time check holds when other work
// shares the machine.
class CpuTimer {
public:
    qint64 elapsedMs() const { return qint64(std::clock() - start_) * 1000 / CLOCKS_PER_SEC; }

private:
    std::clock_t start_ = std::clock();
};

QByteArray rtf(const char* body) {
    return QByteArray("{\\rtf1\\ansi ") + body + '}';
}

// The blocks' text joined with '\n'. Unlike toPlainText() it keeps line separators and
// no-break spaces as they are.
QString blocksText(const QTextDocument& doc) {
    QStringList blocks;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next())
        blocks << b.text();
    return blocks.join(u'\n');
}

// Characters the document holds, paragraph breaks between blocks included.
qsizetype contentLength(const QTextDocument& doc) {
    return doc.characterCount() - 1;
}

// The format of the fragment that holds `needle` entirely.
std::optional<QTextCharFormat> formatOf(const QTextDocument& doc, const QString& needle) {
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            if (f.text().contains(needle))
                return f.charFormat();
        }
    }
    return std::nullopt;
}

QByteArray helpDocument() {
    QFile file(QStringLiteral(QUORLANE_HELP_DOCUMENT));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Reads `data`, checks the bound on the output and returns the time taken in ms.
qint64 readBounded(const QByteArray& data, QTextDocument& doc, bool* bounded) {
    const CpuTimer timer;
    const bool read = readRtf(data, doc);
    const qint64 ms = timer.elapsedMs();
    // Data that is not rich text leaves the document as it was.
    *bounded = !read || contentLength(doc) <= data.size();
    return ms;
}

} // namespace

class TstRtfReader : public QObject {
    Q_OBJECT

private slots:
    void text_data();
    void text();
    void formats_data();
    void formats();
    void alignment_data();
    void alignment();
    void defaultFontIsTheBase();
    void notRtf();
    void replacesContent();
    void helpDocumentReads();

    void deepNesting();
    void hugeNumbers();
    void hugeBinary();
    void truncatedPrefixes();
    void randomBytes();
    void mutations();
    void largeDocument();
    void largeInputsReadInLinearTime_data();
    void largeInputsReadInLinearTime();
};

void TstRtfReader::text_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("expected");

    // Paragraphs and breaks.
    QTest::newRow("paragraphs") << rtf("First\\par Second\\par") << "First\nSecond";
    QTest::newRow("last paragraph without par") << rtf("a\\par b") << "a\nb";
    QTest::newRow("empty paragraph before the last mark") << rtf("a\\par\\par") << "a\n";
    QTest::newRow("leading par") << rtf("\\par a") << "\na";
    QTest::newRow("line") << rtf("one\\line two\\par") << QStringLiteral("one\u2028two");
    QTest::newRow("tab") << rtf("a\\tab b") << "a\tb";
    QTest::newRow("literal tab") << rtf("a\tb") << "a\tb";
    QTest::newRow("one delimiter space") << rtf("\\b  x") << " x";
    QTest::newRow("CR and LF ignored") << rtf("ab\r\ncd\ne\rf\\par\r\n") << "abcdef";
    QTest::newRow("backslash before line end") << rtf("a\\\r\nb") << "a\nb";
    QTest::newRow("table cells and rows")
        << rtf("\\trowd\\cellx100\\cellx200 \\intbl a\\cell b\\cell\\row\\pard c") << "a\tb\t\nc";
    QTest::newRow("page and section") << rtf("a\\page b\\sect c") << "a\nb\nc";

    // Control symbols and escapes.
    QTest::newRow("escaped specials") << rtf("\\\\ \\{ \\}") << "\\ { }";
    QTest::newRow("nbsp, optional and non-breaking hyphen")
        << rtf("a\\~b\\-c\\_d") << QStringLiteral("a\u00a0bc\u2011d");
    QTest::newRow("typographic words")
        << rtf("\\emdash \\endash \\bullet \\lquote x\\rquote \\ldblquote y\\rdblquote")
        << QStringLiteral("\u2014\u2013\u2022\u2018x\u2019\u201cy\u201d");
    QTest::newRow("unknown symbol") << rtf("a\\|b\\:c") << "abc";
    QTest::newRow("backslash at the end") << QByteArray("{\\rtf1 a\\") << "a";

    // Code pages.
    QTest::newRow("hex e9") << rtf("caf\\'e9") << QStringLiteral("caf\u00e9");
    QTest::newRow("hex upper case") << rtf("caf\\'E9") << QStringLiteral("caf\u00e9");
    QTest::newRow("hex 80 is euro") << rtf("\\'80") << QStringLiteral("\u20ac");
    QTest::newRow("hex quotes and dashes")
        << rtf("\\'93q\\'94 \\'96 \\'92") << QStringLiteral("\u201cq\u201d \u2013 \u2019");
    QTest::newRow("undefined 1252 byte kept") << rtf("\\'81") << QStringLiteral("\u0081");
    QTest::newRow("raw high byte") << rtf("caf\xe9 \x80") << QStringLiteral("caf\u00e9 \u20ac");
    QTest::newRow("other code page read as Latin-1")
        << QByteArray("{\\rtf1\\ansi\\ansicpg1251 \\'80\\'c0}") << QStringLiteral("\u0080\u00c0");
    QTest::newRow("hex with one digit") << QByteArray("{\\rtf1 a\\'4") << "a";
    QTest::newRow("hex with no digit") << rtf("a\\'zq") << "azq";
    QTest::newRow("hex control byte dropped") << rtf("a\\'00\\'0d\\'0ab") << "ab";
    QTest::newRow("NUL and control bytes dropped")
        << QByteArray("{\\rtf1 a") + '\0' + "b\x01\x1f" + "c}"
        << "abc";

    // Unicode and fallbacks.
    QTest::newRow("u with fallback") << rtf("\\u8364?x") << QStringLiteral("\u20acx");
    QTest::newRow("u negative") << rtf("\\u-4064?") << QStringLiteral("\uf020");
    QTest::newRow("uc0") << rtf("{\\uc0 \\u233 x}") << QStringLiteral("\u00e9x");
    QTest::newRow("uc2 with hex fallback")
        << rtf("{\\uc2 \\u8364\\'80\\'80x}") << QStringLiteral("\u20acx");
    QTest::newRow("fallback is a control word")
        << rtf("\\u8364\\emdash x") << QStringLiteral("\u20acx");
    QTest::newRow("fallback is an escaped brace")
        << rtf("\\u8364\\{x") << QStringLiteral("\u20acx");
    QTest::newRow("fallback ends at a group")
        << rtf("{\\uc3 \\u8364 a}b") << QStringLiteral("\u20acb");
    QTest::newRow("uc is scoped to its group")
        << rtf("{\\uc2 \\u233 xx}\\u233 yz") << QStringLiteral("\u00e9\u00e9z");
    QTest::newRow("CR LF not counted as fallback")
        << rtf("\\u233\r\n?x") << QStringLiteral("\u00e9x");
    QTest::newRow("surrogate pair")
        << rtf("\\u-10179?\\u-8704?") << QString::fromUtf8("\xf0\x9f\x98\x80");
    QTest::newRow("code point above the BMP")
        << rtf("\\u128512?") << QString::fromUtf8("\xf0\x9f\x98\x80");
    QTest::newRow("lone high surrogate") << rtf("\\u-10179 ?a") << QStringLiteral("\ufffda");
    QTest::newRow("lone low surrogate") << rtf("\\u-8704?a") << QStringLiteral("\ufffda");
    QTest::newRow("high surrogate at the end") << rtf("a\\u-10179?") << QStringLiteral("a\ufffd");
    QTest::newRow("document-internal characters replaced")
        << rtf("\\u64976?\\u65279?\\u65532?\\u-1?") << QStringLiteral("\ufffd\ufeff\ufffd\ufffd");
    QTest::newRow("u paragraph separator") << rtf("a\\u8233?b") << "a\nb";
    QTest::newRow("u line feed dropped") << rtf("a\\u10?b") << "ab";

    // Destinations that show nothing.
    QTest::newRow("font table") << rtf("{\\fonttbl{\\f0\\fswiss Arial;}{\\f1 Courier New;}}Body")
                                << "Body";
    QTest::newRow("generator") << rtf("{\\*\\generator Riched20 10.0;}Body") << "Body";
    QTest::newRow("unknown starred destination")
        << rtf("{\\*\\whatever text {nested}}Body") << "Body";
    QTest::newRow("info") << rtf("{\\info{\\title Title}{\\author Someone}{\\company C}}Body")
                          << "Body";
    QTest::newRow("stylesheet") << rtf("{\\stylesheet{\\s0 Normal;}{\\s1 heading 1;}}Body")
                                << "Body";
    QTest::newRow("picture hex data")
        << rtf("{\\pict\\pngblip\\picw10\\pich10 89504e470d0a1a0a}Body") << "Body";
    QTest::newRow("shape picture")
        << rtf("{\\*\\shppict{\\pict 00ff}}{\\nonshppict{\\pict ff}}Body") << "Body";
    QTest::newRow("header footer footnote")
        << rtf("{\\header top\\par}{\\footerl bottom}Body{\\footnote\\chftn note}") << "Body";
    QTest::newRow("bookmarks") << rtf("{\\*\\bkmkstart b}x{\\bkmkend b}") << "x";
    QTest::newRow("par inside a destination") << rtf("a{\\header b\\par c}d") << "ad";
    QTest::newRow("colour table text") << rtf("{\\colortbl;\\red1\\green2\\blue3;}x") << "x";
    QTest::newRow("hidden text") << rtf("a{\\v hidden}b\\v c\\v0 d") << "abd";
    QTest::newRow("plain ends hidden text") << rtf("\\v a\\plain b") << "b";

    // Fields show their result.
    QTest::newRow("field result")
        << rtf("{\\field{\\*\\fldinst HYPERLINK \\\\l \"x\"}{\\fldrslt {\\ul Link}}} after")
        << "Link after";
    QTest::newRow("field instruction without star")
        << rtf("{\\field{\\fldinst PAGE}{\\fldrslt 3}}") << "3";

    // Binary data.
    QTest::newRow("binary in a picture") << rtf("a{\\pict\\bin5 }}{{\\}b") << "ab";
    QTest::newRow("binary outside a picture") << rtf("a\\bin3 xyzb") << "ab";
    QTest::newRow("binary as fallback") << rtf("\\u233\\bin2 xyb") << QStringLiteral("\u00e9b");
    QTest::newRow("binary without length") << rtf("a\\bin b") << "ab";
    QTest::newRow("binary with negative length") << rtf("a\\bin-5 b") << "ab";

    // Where the document ends.
    QTest::newRow("text after the last brace") << QByteArray("{\\rtf1 a}b}c") << "a";
    QTest::newRow("unclosed groups") << QByteArray("{\\rtf1 a{\\b b{\\i c") << "abc";
    QTest::newRow("over-long control word ignored")
        << rtf(QByteArray("\\" + QByteArray(40, 'a') + " x").constData()) << "x";
}

void TstRtfReader::text() {
    QFETCH(QByteArray, input);
    QFETCH(QString, expected);
    QTextDocument doc;
    QVERIFY(readRtf(input, doc));
    QCOMPARE(blocksText(doc), expected);
}

void TstRtfReader::formats_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("needle");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<bool>("italic");
    QTest::addColumn<bool>("underline");
    QTest::addColumn<qreal>("pointSize"); // 0: the document's default size
    QTest::addColumn<QColor>("colour");   // invalid: the default colour

    const QByteArray onOff = rtf("\\b bold\\b0 -\\i italic\\i0 -\\ul under\\ul0 -\\ul u2\\ulnone "
                                 "-\\uldb db\\ul0 -\\b1 b1\\b0  normal");
    QTest::newRow("bold on") << onOff << "bold" << true << false << false << 0.0 << QColor();
    QTest::newRow("italic on") << onOff << "italic" << false << true << false << 0.0 << QColor();
    QTest::newRow("underline on") << onOff << "under" << false << false << true << 0.0 << QColor();
    QTest::newRow("ul after ul0") << onOff << "u2" << false << false << true << 0.0 << QColor();
    QTest::newRow("double underline") << onOff << "db" << false << false << true << 0.0 << QColor();
    QTest::newRow("b1") << onOff << "b1" << true << false << false << 0.0 << QColor();
    QTest::newRow("all off again")
        << onOff << "normal" << false << false << false << 0.0 << QColor();

    const QByteArray scoped = rtf("a{\\b\\i\\ul inner{\\b0 deeper}back}outer");
    QTest::newRow("group sets") << scoped << "inner" << true << true << true << 0.0 << QColor();
    QTest::newRow("nested group") << scoped << "deeper" << false << true << true << 0.0 << QColor();
    QTest::newRow("nested group restored")
        << scoped << "back" << true << true << true << 0.0 << QColor();
    QTest::newRow("outer group restored")
        << scoped << "outer" << false << false << false << 0.0 << QColor();

    const QByteArray sizes = rtf("\\fs48 big{\\fs17 odd}\\fs def\\fs30 mid\\fs0 zero");
    QTest::newRow("fs48 is 24 pt") << sizes << "big" << false << false << false << 24.0 << QColor();
    QTest::newRow("odd half points")
        << sizes << "odd" << false << false << false << 8.5 << QColor();
    QTest::newRow("fs without number")
        << sizes << "def" << false << false << false << 0.0 << QColor();
    QTest::newRow("fs30") << sizes << "mid" << false << false << false << 15.0 << QColor();
    QTest::newRow("fs0") << sizes << "zero" << false << false << false << 0.0 << QColor();

    const QByteArray colours =
        rtf("{\\colortbl;\\red255\\green0\\blue0;\\red0\\green0\\blue255;;\\red0\\green128\\blue0;}"
            "\\cf1 red\\cf2 blue\\cf3 auto3\\cf4 green\\cf0 auto0\\cf9 beyond{\\cf1 inner}after");
    QTest::newRow("cf1") << colours << "red" << false << false << false << 0.0 << QColor(255, 0, 0);
    QTest::newRow("cf2") << colours << "blue" << false << false << false << 0.0
                         << QColor(0, 0, 255);
    QTest::newRow("empty entry is auto")
        << colours << "auto3" << false << false << false << 0.0 << QColor();
    QTest::newRow("cf4") << colours << "green" << false << false << false << 0.0
                         << QColor(0, 128, 0);
    QTest::newRow("cf0 is auto") << colours << "auto0" << false << false << false << 0.0
                                 << QColor();
    QTest::newRow("index beyond the table")
        << colours << "beyond" << false << false << false << 0.0 << QColor();
    QTest::newRow("colour in a group")
        << colours << "inner" << false << false << false << 0.0 << QColor(255, 0, 0);
    QTest::newRow("colour restored")
        << colours << "after" << false << false << false << 0.0 << QColor();

    const QByteArray plain =
        rtf("{\\colortbl;\\red255\\green0\\blue0;}\\b\\i\\ul\\fs30\\cf1 all\\plain none");
    QTest::newRow("before plain") << plain << "all" << true << true << true << 15.0
                                  << QColor(255, 0, 0);
    QTest::newRow("plain resets") << plain << "none" << false << false << false << 0.0 << QColor();

    QTest::newRow("huge font size clamped") << rtf("\\fs99999999999999999999 huge") << "huge"
                                            << false << false << false << 1638.0 << QColor();
    QTest::newRow("huge colour index")
        << rtf("{\\colortbl;\\red255\\green0\\blue0;}\\cf99999999999 x") << "x" << false << false
        << false << 0.0 << QColor();
    QTest::newRow("colour components clamped")
        << rtf("{\\colortbl;\\red999\\green-5\\blue99999999999;}\\cf1 x") << "x" << false << false
        << false << 0.0 << QColor(255, 0, 255);
    QTest::newRow("field result keeps its format")
        << rtf("{\\field{\\*\\fldinst X}{\\fldrslt {\\ul Link}}}") << "Link" << false << false
        << true << 0.0 << QColor();
}

void TstRtfReader::formats() {
    QFETCH(QByteArray, input);
    QFETCH(QString, needle);
    QFETCH(bool, bold);
    QFETCH(bool, italic);
    QFETCH(bool, underline);
    QFETCH(qreal, pointSize);
    QFETCH(QColor, colour);

    QTextDocument doc;
    QVERIFY(readRtf(input, doc));
    const std::optional<QTextCharFormat> format = formatOf(doc, needle);
    QVERIFY2(format.has_value(),
             qPrintable("no fragment holds " + needle + " in " + blocksText(doc)));
    QCOMPARE(format->fontWeight() >= QFont::Bold, bold);
    QCOMPARE(format->fontItalic(), italic);
    QCOMPARE(format->fontUnderline(), underline);
    if (pointSize == 0.0)
        QVERIFY(!format->hasProperty(QTextFormat::FontPointSize));
    else
        QCOMPARE(format->fontPointSize(), pointSize);
    if (!colour.isValid())
        QVERIFY(!format->hasProperty(QTextFormat::ForegroundBrush));
    else
        QCOMPARE(format->foreground().color(), colour);
}

void TstRtfReader::alignment_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QList<int>>("expected");

    const int left = Qt::AlignLeft;
    const int centre = Qt::AlignHCenter;
    const int right = Qt::AlignRight;
    const int justify = Qt::AlignJustify;
    QTest::newRow("each kind") << rtf("\\qc a\\par\\qr b\\par\\pard c\\par\\qj d\\par\\ql e")
                               << QList<int>{centre, right, left, justify, left};
    QTest::newRow("kept until pard")
        << rtf("\\qc a\\par b\\par\\pard c") << QList<int>{centre, centre, left};
    QTest::newRow("set after the text") << rtf("a\\qr\\par b") << QList<int>{right, right};
    QTest::newRow("group restores before the mark")
        << rtf("{\\qc a}\\par b") << QList<int>{left, left};
    QTest::newRow("empty paragraph") << rtf("\\qc\\par\\pard x") << QList<int>{centre, left};
    QTest::newRow("last paragraph with its mark")
        << rtf("a\\par\\qr b\\par") << QList<int>{left, right};
    QTest::newRow("pard inside a destination ignored")
        << rtf("\\qc{\\header\\pard x}a") << QList<int>{centre};
}

void TstRtfReader::alignment() {
    QFETCH(QByteArray, input);
    QFETCH(QList<int>, expected);
    QTextDocument doc;
    QVERIFY(readRtf(input, doc));
    QList<int> actual;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next())
        actual << int(b.blockFormat().alignment() & Qt::AlignHorizontal_Mask);
    QCOMPARE(actual, expected);
}

void TstRtfReader::defaultFontIsTheBase() {
    QTextDocument doc;
    const QFont base(QStringLiteral("DejaVu Sans"), 17);
    doc.setDefaultFont(base);
    QVERIFY(readRtf(rtf("{\\fonttbl{\\f0\\fmodern Courier New;}}\\f0 text\\par\\fs40 big"), doc));
    QCOMPARE(doc.defaultFont(), base);
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat f = it.fragment().charFormat();
            QVERIFY(!f.hasProperty(QTextFormat::FontFamilies));
        }
    }
    const QTextCharFormat text = *formatOf(doc, QStringLiteral("text"));
    QVERIFY(!text.hasProperty(QTextFormat::FontPointSize));
    // What a view shows: the default font, with the size where one is given.
    QCOMPARE(text.font().resolve(doc.defaultFont()).pointSizeF(), 17.0);
    QCOMPARE(formatOf(doc, QStringLiteral("big"))->fontPointSize(), 20.0);
}

void TstRtfReader::notRtf() {
    QVERIFY(looksLikeRtf("{\\rtf1\\ansi}"));
    QVERIFY(looksLikeRtf("{\\rtf"));
    const QList<QByteArray> others = {"",           "{",         "{\\rt",      " {\\rtf1 x}",
                                      "{\\RTF1 x}", "\\rtf1 x}", "plain text", "{\\pict}"};
    for (const QByteArray& data : others) {
        QVERIFY2(!looksLikeRtf(data), data.constData());
        QTextDocument doc;
        doc.setPlainText(QStringLiteral("keep me"));
        doc.setModified(false);
        QVERIFY(!readRtf(data, doc));
        QCOMPARE(doc.toPlainText(), QStringLiteral("keep me"));
        QVERIFY(!doc.isModified());
        QCOMPARE(doc.blockCount(), 1);
    }
}

void TstRtfReader::replacesContent() {
    QTextDocument doc;
    doc.setPlainText(QStringLiteral("old\nlines\nhere"));
    QTextCursor(&doc).insertText(QStringLiteral("undoable"));
    QVERIFY(doc.isUndoAvailable());
    QVERIFY(readRtf(rtf("{\\b new}"), doc));
    QCOMPARE(blocksText(doc), QStringLiteral("new"));
    QVERIFY(!doc.isUndoAvailable());
    QVERIFY(doc.isUndoRedoEnabled());
    // A second read starts again from an empty document, formats included.
    QVERIFY(readRtf(rtf("\\qc x"), doc));
    QVERIFY(readRtf(rtf("plain"), doc));
    QCOMPARE(blocksText(doc), QStringLiteral("plain"));
    QCOMPARE(int(doc.begin().blockFormat().alignment() & Qt::AlignHorizontal_Mask),
             int(Qt::AlignLeft));
    QVERIFY(formatOf(doc, QStringLiteral("plain"))->fontWeight() < QFont::Bold);
}

void TstRtfReader::helpDocumentReads() {
    const QByteArray data = helpDocument();
    QVERIFY2(!data.isEmpty(), "src/subsystems/help/NetworkTCPSetup.rtf is missing");
    QVERIFY(looksLikeRtf(data));
    QVERIFY(data.contains("\\ansicpg1252"));

    QTextDocument doc;
    QVERIFY(readRtf(data, doc));
    QCOMPARE(doc.begin().text(), kFirstHelpLine);
    QVERIFY(!doc.lastBlock().text().isEmpty()); // no empty paragraph after the last mark

    const QString text = blocksText(doc);
    // Nothing of the markup or the header tables shows.
    for (const QString& absent :
         {QStringLiteral("\\"), QStringLiteral("{"), QStringLiteral("}"), QStringLiteral("Arial"),
          QStringLiteral("Courier"), QStringLiteral("Riched20"), QStringLiteral("heading 1"),
          QStringLiteral("Network TCP/IP Setup")})
        QVERIFY2(!text.contains(absent), qPrintable(absent));
    for (const QString& present :
         {QStringLiteral("192.168.1.100"), QStringLiteral("IP address:\t192.168.1.10\n"),
          QStringLiteral("255.255.255.0"), QStringLiteral("port 23"), QStringLiteral("ncpa.cpl"),
          QStringLiteral("\u201cUse the following IP address\u201d"),
          QStringLiteral("Internet Protocol Version 4"), QStringLiteral("nmcli connection add"),
          QStringLiteral("ip addr add 192.168.1.10/24"), QStringLiteral("ping 192.168.1.100"),
          QStringLiteral("IP: 192.168.1.100"), QStringLiteral("Connect TCP/IP"),
          QStringLiteral("unit\u2019s")})
        QVERIFY2(text.contains(present), qPrintable(present));

    // Headings are bold and coloured; the text below them is not.
    const std::optional<QTextCharFormat> heading = formatOf(doc, QStringLiteral("Common faults"));
    QVERIFY(heading.has_value());
    QVERIFY(heading->fontWeight() >= QFont::Bold);
    QCOMPARE(heading->foreground().color(), QColor(0, 51, 153));
    QCOMPARE(heading->fontPointSize(), 12.0);
    const std::optional<QTextCharFormat> body = formatOf(doc, QStringLiteral("talks to the unit"));
    QVERIFY(body.has_value());
    QVERIFY(body->fontWeight() < QFont::Bold);
    QVERIFY(!body->hasProperty(QTextFormat::ForegroundBrush));
}

// --- robustness ---

void TstRtfReader::deepNesting() {
    constexpr int depth = 100000;
    QTextDocument doc;

    QVERIFY(readRtf(
        "{\\rtf1 " + QByteArray(depth, '{') + "deep" + QByteArray(depth, '}') + "after}", doc));
    QCOMPARE(blocksText(doc), QStringLiteral("deepafter"));

    // Never closed.
    QVERIFY(readRtf("{\\rtf1 " + QByteArray(depth, '{') + "open", doc));
    QCOMPARE(blocksText(doc), QStringLiteral("open"));

    // Formatting opened at every level; flattened levels share the deepest state.
    QByteArray formatted = "{\\rtf1 ";
    for (int i = 0; i < depth; ++i)
        formatted += "{\\b ";
    formatted += "x";
    formatted += QByteArray(depth, '}');
    formatted += "y}";
    QVERIFY(readRtf(formatted, doc));
    QCOMPARE(blocksText(doc), QStringLiteral("xy"));
    QVERIFY(formatOf(doc, QStringLiteral("x"))->fontWeight() >= QFont::Bold);
    QVERIFY(formatOf(doc, QStringLiteral("y"))->fontWeight() < QFont::Bold);

    // Group state is restored right up to the nesting limit.
    QByteArray levels = "{\\rtf1 ";
    for (int i = 0; i < 1000; ++i)
        levels += "{\\fs" + QByteArray::number(2 * (i + 1)) + " ";
    levels += "in" + QByteArray(999, '}') + "out}";
    QVERIFY(readRtf(levels, doc));
    QCOMPARE(formatOf(doc, QStringLiteral("in"))->fontPointSize(), 1000.0);
    QCOMPARE(formatOf(doc, QStringLiteral("out"))->fontPointSize(), 1.0);
    // How the time grows with the nesting is checked by largeInputsReadInLinearTime;
    // bench_rtf_mutations prints the time this depth takes.
}

void TstRtfReader::hugeNumbers() {
    QTextDocument doc;
    QVERIFY(readRtf(rtf("\\u-99999999999?a\\u99999999999?b\\u2147483647?c\\u-2147483648?d"), doc));
    QCOMPARE(blocksText(doc), QStringLiteral("\ufffda\ufffdb\ufffdc\ufffdd"));

    QVERIFY(readRtf(rtf("{\\uc99999999999 \\u233 abc}x"), doc));
    QCOMPARE(blocksText(doc), QStringLiteral("\u00e9x"));
    QVERIFY(readRtf(rtf("{\\uc-5 \\u233 a}"), doc)); // a negative count skips nothing
    QCOMPARE(blocksText(doc), QStringLiteral("\u00e9a"));

    // Long digit strings are consumed whole, however long.
    QVERIFY(readRtf(
        rtf(QByteArray("\\li" + QByteArray(5000, '9') + " x\\ri-" + QByteArray(5000, '9') + " y")
                .constData()),
        doc));
    QCOMPARE(blocksText(doc), QStringLiteral("xy"));
    QVERIFY(readRtf(rtf("\\b-x\\b0 -"), doc)); // '-' without digits is text
    QCOMPARE(blocksText(doc), QStringLiteral("-x-"));
    QVERIFY(readRtf(rtf("\\ansicpg99999999999 \\'80"), doc));
    QCOMPARE(blocksText(doc), QStringLiteral("\u0080"));
}

void TstRtfReader::hugeBinary() {
    QTextDocument doc;
    QVERIFY(readRtf(QByteArray("{\\rtf1 a\\bin2147483647 ") + QByteArray(1000, 'z') + "}", doc));
    QCOMPARE(blocksText(doc), QStringLiteral("a"));
    QVERIFY(readRtf(QByteArray("{\\rtf1 a\\bin99999999999999999999 bcd}"), doc));
    QCOMPARE(blocksText(doc), QStringLiteral("a"));
    QVERIFY(readRtf(QByteArray("{\\rtf1 a\\bin"), doc));
    QCOMPARE(blocksText(doc), QStringLiteral("a"));
    QVERIFY(readRtf(QByteArray("{\\rtf1 a\\bin4 "), doc));
    QCOMPARE(blocksText(doc), QStringLiteral("a"));
}

void TstRtfReader::truncatedPrefixes() {
    const QByteArray data = helpDocument();
    QVERIFY(!data.isEmpty());
    QTextDocument doc;
    qsizetype previousFirst = 0;
    for (qsizetype n = 5; n <= data.size(); ++n) {
        const QByteArray prefix = data.left(n);
        QVERIFY(readRtf(prefix, doc));
        QVERIFY2(contentLength(doc) <= n, qPrintable(QString::number(n)));
        // The first line only ever grows as more of the file arrives, until it is whole.
        const QString first = doc.begin().text();
        QVERIFY2(kFirstHelpLine.startsWith(first), qPrintable(QString::number(n)));
        QVERIFY(first.size() >= previousFirst);
        previousFirst = first.size();
    }
    QCOMPARE(doc.begin().text(), kFirstHelpLine);
}

void TstRtfReader::randomBytes() {
    QRandomGenerator random(20240311);
    QTextDocument doc;
    for (int i = 0; i < 3000; ++i) {
        QByteArray data = "{\\rtf";
        const int length = int(random.bounded(2048));
        // Bytes from a small alphabet of the reader's special characters now and then.
        const bool special = i % 2 == 0;
        for (int k = 0; k < length; ++k) {
            if (special) {
                static const char alphabet[] = "{}\\'*uc0123456789-; abfx\r\n";
                data += alphabet[random.bounded(int(sizeof alphabet - 1))];
            } else {
                data += char(random.bounded(256));
            }
        }
        bool bounded = false;
        readBounded(data, doc, &bounded);
        QVERIFY2(bounded, qPrintable(data.toPercentEncoding()));
    }
}

void TstRtfReader::mutations() {
    std::vector<QByteArray> seeds = rtffuzz::builtinSeeds();
    seeds.push_back(helpDocument());
    rtffuzz::RtfMutator mutator(0x5EED'0001, std::move(seeds));
    QTextDocument doc;
    const CpuTimer timer;
    constexpr int count = 20000;
    qint64 bytes = 0;
    for (int i = 0; i < count; ++i) {
        const QByteArray data = mutator.next();
        bytes += data.size();
        bool bounded = false;
        readBounded(data, doc, &bounded);
        if (!bounded)
            QFAIL(qPrintable(QStringLiteral("input %1 made %2 characters from %3 bytes: %4")
                                 .arg(i)
                                 .arg(contentLength(doc))
                                 .arg(data.size())
                                 .arg(QString::fromLatin1(data.toBase64()))));
    }
    qInfo("%d mutated inputs, %lld bytes, %lld ms", count, bytes, timer.elapsedMs());
}

void TstRtfReader::largeDocument() {
    // The help document's body, over and over, to 10 MB: all of it is read. (How the time
    // grows with the size is checked by largeInputsReadInLinearTime; bench_rtf_mutations
    // prints the time this document takes.)
    const QByteArray help = helpDocument();
    const qsizetype bodyStart = help.indexOf("\\pard");
    const QByteArray body = help.mid(bodyStart, help.lastIndexOf('}') - bodyStart);
    auto copies = [&](qsizetype n) { return help.left(bodyStart) + body.repeated(n) + '}'; };
    QTextDocument doc;
    QVERIFY(readRtf(copies(1), doc));
    const int one = doc.blockCount();
    const QString last = doc.lastBlock().text();
    QVERIFY(readRtf(copies(2), doc));
    const int perCopy = doc.blockCount() - one;
    QVERIFY(perCopy > 0);

    const qsizetype n = 10 * 1000 * 1000 / body.size() + 1;
    const QByteArray data = copies(n);
    bool bounded = false;
    readBounded(data, doc, &bounded);
    QVERIFY(bounded);
    QCOMPARE(doc.begin().text(), kFirstHelpLine);
    QCOMPARE(doc.blockCount(), one + int(n - 1) * perCopy);
    QCOMPARE(doc.lastBlock().text(), last);
}

void TstRtfReader::largeInputsReadInLinearTime_data() {
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("unit");

    QTest::newRow("plain text") << QByteArray("{\\rtf1 ") << QByteArray("The quick brown fox. ");
    QTest::newRow("format changes") << QByteArray("{\\rtf1 ") << QByteArray("\\b x\\b0 y{\\i z}");
    QTest::newRow("paragraphs") << QByteArray("{\\rtf1 ") << QByteArray("ab\\par ");
    QTest::newRow("lines") << QByteArray("{\\rtf1 ") << QByteArray("ab\\line ");
    QTest::newRow("unicode") << QByteArray("{\\rtf1 ") << QByteArray("\\u8364?\\'e9");
    QTest::newRow("groups") << QByteArray("{\\rtf1 ") << QByteArray("{}");
    QTest::newRow("opening braces") << QByteArray("{\\rtf1 ") << QByteArray("{");
    QTest::newRow("closing braces")
        << QByteArray("{\\rtf1 ") + QByteArray(1 << 20, '{') << QByteArray("}");
    QTest::newRow("picture") << QByteArray("{\\rtf1 {\\pict ") << QByteArray("0123456789abcdef");
    QTest::newRow("colour table") << QByteArray("{\\rtf1 {\\colortbl ") << QByteArray("\\red1;");
    QTest::newRow("fallbacks") << QByteArray("{\\rtf1 \\uc9 ") << QByteArray("\\u233 \\'e9\\'e9");
    QTest::newRow("unknown words") << QByteArray("{\\rtf1 ") << QByteArray("\\abcdefgh12345 ");
}

// Each shape at 1.25 MB and at 10 MB: eight times the input may take about eight times as
// long (the text document's own structures grow a little worse than linearly), never
// the sixty-four times of a reader that is quadratic somewhere.
void TstRtfReader::largeInputsReadInLinearTime() {
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, unit);
    auto build = [&](qsizetype size) {
        QByteArray data = head;
        data.reserve(size + unit.size() + 1);
        while (data.size() < size)
            data += unit;
        return data + '}';
    };
    constexpr qsizetype large = 10 * 1000 * 1000;
    QTextDocument doc;
    bool bounded = false;
    const qint64 smallMs = readBounded(build(large / 8), doc, &bounded);
    QVERIFY(bounded);
    const qint64 largeMs = readBounded(build(large), doc, &bounded);
    QVERIFY(bounded);
    qInfo("1.25 MB in %lld ms, 10 MB in %lld ms", smallMs, largeMs);
    QVERIFY2(largeMs <= 24 * smallMs + 300,
             qPrintable(QStringLiteral("%1 ms, then %2 ms").arg(smallMs).arg(largeMs)));
}

QTEST_MAIN(TstRtfReader)
#include "tst_rtfreader.moc"
