#include "platform/text/textstore.h"

#include <QtTest>

#include <random>
#include <vector>

namespace {

// Line starts rebuilt from scratch: 0 and the position after every CR LF.
std::vector<std::int64_t> lineStartsOf(const QByteArray& text) {
    std::vector<std::int64_t> starts{0};
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '\r' && text[i + 1] == '\n')
            starts.push_back(i + 2);
    }
    return starts;
}

// Every CR is followed by LF and every LF follows a CR.
bool breaksAreWhole(const QByteArray& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))
            return false;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            return false;
    }
    return true;
}

bool insidePair(const QByteArray& text, std::int64_t pos) {
    return pos > 0 && pos < text.size() && text.at(pos - 1) == '\r' && text.at(pos) == '\n';
}

// Block sizes the store is tried with: a few bytes, so that short texts cross blocks at
// every place (a CR LF pair split over two, a line over several), and the real size.
const std::int64_t kBlockSizes[] = {2, 3, 5, TextStore::DefaultBlockBytes};

// Compares the store's reads, line index, caret and selection with what its text implies.
QString checkConsistent(const TextStore& s) {
    const QByteArray text = s.bytes();
    if (text.size() != s.length())
        return QStringLiteral("bytes() holds %1 bytes, length() is %2")
            .arg(text.size())
            .arg(s.length());
    QByteArray pieces;
    s.forEachPiece(0, s.length(), [&](QByteArrayView piece) {
        if (piece.isEmpty() || piece.size() > s.blockBytes())
            pieces += "<bad piece>";
        pieces += piece;
    });
    if (pieces != text)
        return QStringLiteral("the pieces do not make the text");
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (s.at(i) != text.at(i))
            return QStringLiteral("at(%1) wrong").arg(i);
    }
    // Neighbouring blocks hold more than one block's worth: edits leave no trail of
    // half-empty blocks.
    const std::int64_t fullBlocks = (s.length() + s.blockBytes() - 1) / s.blockBytes();
    if (s.blockCount() > 2 * fullBlocks)
        return QStringLiteral("%1 blocks for %2 bytes").arg(s.blockCount()).arg(s.length());
    if (!breaksAreWhole(text))
        return QStringLiteral("text holds a lone CR or LF");
    const std::vector<std::int64_t> starts = lineStartsOf(text);
    if (s.lineCount() != static_cast<std::int64_t>(starts.size()))
        return QStringLiteral("lineCount %1, expected %2").arg(s.lineCount()).arg(starts.size());
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const auto line = static_cast<std::int64_t>(i);
        if (s.lineStart(line) != starts[i])
            return QStringLiteral("lineStart(%1) = %2, expected %3")
                .arg(line)
                .arg(s.lineStart(line))
                .arg(starts[i]);
        const std::int64_t end =
            i + 1 < starts.size() ? starts[i + 1] - 2 : static_cast<std::int64_t>(text.size());
        if (s.lineLength(line) != end - starts[i])
            return QStringLiteral("lineLength(%1) wrong").arg(line);
        if (s.lineOf(starts[i]) != line || s.lineOf(end) != line)
            return QStringLiteral("lineOf around line %1 wrong").arg(line);
    }
    const std::int64_t start = s.selStart(), len = s.selLength(), caret = s.caret();
    if (start < 0 || len < 0 || start + len > s.length())
        return QStringLiteral("selection out of range");
    if (caret != start && caret != start + len)
        return QStringLiteral("caret not at an end of the selection");
    if (insidePair(text, start) || insidePair(text, start + len))
        return QStringLiteral("selection splits a CR LF pair");
    return {};
}

QByteArray randomPiece(std::mt19937& rng, int maxLen) {
    static const char alphabet[] = {'a', 'b', ' ', '\r', '\n', '\0', '\x7f', '\x85', '\xff'};
    std::uniform_int_distribution<int> lenDist(0, maxLen);
    std::uniform_int_distribution<int> pick(0, sizeof(alphabet) - 1);
    QByteArray piece;
    const int n = lenDist(rng);
    for (int i = 0; i < n; ++i)
        piece.append(alphabet[pick(rng)]);
    return piece;
}

} // namespace

class TstTextStore : public QObject {
    Q_OBJECT
private slots:
    void normaliseOnePiece_data();
    void normaliseOnePiece();
    void normaliseOverPieces_data();
    void normaliseOverPieces();
    void normaliseAnySplitMatchesWhole();

    void setTextNormalisesAndResets();
    void replaceSelection_data();
    void replaceSelection();
    void breakSplitOverInsertions_data();
    void breakSplitOverInsertions();
    void positionsSnapOutOfBreaks_data();
    void positionsSnapOutOfBreaks();
    void remove_data();
    void remove();
    void appendLeavesCaretAndSelection();
    void callbacksReportChanges();
    void randomEditsKeepIndexRight_data();
    void randomEditsKeepIndexRight();
    void tailAndMid_data();
    void tailAndMid();
    void changeTracking();
    void revisionCountsTextChangesOnly();
    void everyByteValueKept();
    void appendLeavesTheTextInPlace();
};

// ---- normaliseBreaks ----

void TstTextStore::normaliseOnePiece_data() {
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<bool>("carryIn");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("carryOut");
    QTest::addColumn<bool>("changed");

    QTest::newRow("empty") << QByteArray() << false << QByteArray() << false << false;
    QTest::newRow("empty keeps carry") << QByteArray() << true << QByteArray() << true << false;
    QTest::newRow("no breaks") << QByteArray("abc") << false << QByteArray("abc") << false << false;
    QTest::newRow("crlf") << QByteArray("a\r\nb\r\n") << false << QByteArray("a\r\nb\r\n") << false
                          << false;
    QTest::newRow("lone cr") << QByteArray("a\rb") << false << QByteArray("a\r\nb") << false
                             << true;
    QTest::newRow("lone lf") << QByteArray("a\nb") << false << QByteArray("a\r\nb") << false
                             << true;
    QTest::newRow("lf cr is two breaks")
        << QByteArray("a\n\rb") << false << QByteArray("a\r\n\r\nb") << false << true;
    QTest::newRow("cr cr lf lf") << QByteArray("\r\r\n\n") << false << QByteArray("\r\n\r\n\r\n")
                                 << false << true;
    QTest::newRow("mixed") << QByteArray("1\r\n2\r3\n4") << false << QByteArray("1\r\n2\r\n3\r\n4")
                           << false << true;
    QTest::newRow("cr at end") << QByteArray("abc\r") << false << QByteArray("abc\r\n") << true
                               << true;
    QTest::newRow("crlf at end") << QByteArray("abc\r\n") << false << QByteArray("abc\r\n") << false
                                 << false;
    QTest::newRow("carried lf dropped")
        << QByteArray("\nabc") << true << QByteArray("abc") << false << true;
    QTest::newRow("carried lf only") << QByteArray("\n") << true << QByteArray() << false << true;
    QTest::newRow("carry then crlf")
        << QByteArray("\r\nabc") << true << QByteArray("\r\nabc") << false << false;
    QTest::newRow("carry then text")
        << QByteArray("x") << true << QByteArray("x") << false << false;
    QTest::newRow("carry then cr")
        << QByteArray("\r") << true << QByteArray("\r\n") << true << true;
    QTest::newRow("lf without carry")
        << QByteArray("\nabc") << false << QByteArray("\r\nabc") << false << true;
}

void TstTextStore::normaliseOnePiece() {
    QFETCH(QByteArray, raw);
    QFETCH(bool, carryIn);
    QFETCH(QByteArray, expected);
    QFETCH(bool, carryOut);
    QFETCH(bool, changed);

    bool carry = carryIn;
    bool differs = !changed;
    QCOMPARE(normaliseBreaks(raw, carry, &differs), expected);
    QCOMPARE(carry, carryOut);
    QCOMPARE(differs, changed);

    carry = carryIn;
    QCOMPARE(normaliseBreaks(raw, carry), expected); // without the flag
}

void TstTextStore::normaliseOverPieces_data() {
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("cr | lf") << QByteArrayList{"a\r", "\nb"} << QByteArray("a\r\nb");
    QTest::newRow("cr | empty | lf")
        << QByteArrayList{"a\r", "", "", "\nb"} << QByteArray("a\r\nb");
    QTest::newRow("cr | cr | lf") << QByteArrayList{"a\r", "\r", "\n"} << QByteArray("a\r\n\r\n");
    QTest::newRow("cr | lf lf") << QByteArrayList{"a\r", "\n\n"} << QByteArray("a\r\n\r\n");
    QTest::newRow("cr | text | lf") << QByteArrayList{"a\r", "b", "\n"} << QByteArray("a\r\nb\r\n");
    QTest::newRow("crlf | lf") << QByteArrayList{"a\r\n", "\n"} << QByteArray("a\r\n\r\n");
    QTest::newRow("lf | cr") << QByteArrayList{"\n", "\r"} << QByteArray("\r\n\r\n");
}

void TstTextStore::normaliseOverPieces() {
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArray, expected);
    bool carry = false;
    QByteArray out;
    for (const QByteArray& piece : pieces)
        out += normaliseBreaks(piece, carry);
    QCOMPARE(out, expected);

    // The store's append carries the same way.
    for (std::int64_t blockBytes : kBlockSizes) {
        TextStore store(blockBytes);
        bool storeCarry = false;
        for (const QByteArray& piece : pieces)
            store.append(piece, storeCarry);
        QCOMPARE(store.bytes(), expected);
        QCOMPARE(checkConsistent(store), QString());
    }
}

void TstTextStore::normaliseAnySplitMatchesWhole() {
    // However a stream is cut into pieces, carrying the CR gives the result of normalising
    // it in one piece.
    std::mt19937 rng(20240601);
    for (int round = 0; round < 500; ++round) {
        const QByteArray stream = randomPiece(rng, 40);
        bool wholeCarry = false;
        const QByteArray whole = normaliseBreaks(stream, wholeCarry);
        bool carry = false;
        QByteArray out;
        qsizetype at = 0;
        while (at < stream.size()) {
            std::uniform_int_distribution<qsizetype> cut(0, stream.size() - at);
            const qsizetype n = cut(rng);
            out += normaliseBreaks(QByteArrayView(stream).sliced(at, n), carry);
            at += n;
        }
        QCOMPARE(out, whole);
        QCOMPARE(carry, wholeCarry);
        QVERIFY(breaksAreWhole(out));
    }
}

// ---- store ----

void TstTextStore::setTextNormalisesAndResets() {
    TextStore s;
    QCOMPARE(s.lineCount(), 1);
    QCOMPARE(s.lineLength(0), 0);

    s.setText("one\ntwo\rthree");
    s.select(2, 7);
    s.setText("x\ny\r");
    QCOMPARE(s.bytes(), QByteArray("x\r\ny\r\n"));
    QCOMPARE(s.selStart(), 0);
    QCOMPARE(s.selLength(), 0);
    QCOMPARE(s.caret(), 0);
    QCOMPARE(s.lineCount(), 3);
    QCOMPARE(s.lineLength(2), 0);
    QCOMPARE(checkConsistent(s), QString());

    // A lone CR at the end of setText's text is a whole break: a following insertion of LF
    // is a new break.
    s.setSelStart(s.length());
    s.replaceSelection("\n");
    QCOMPARE(s.bytes(), QByteArray("x\r\ny\r\n\r\n"));
}

void TstTextStore::replaceSelection_data() {
    QTest::addColumn<QByteArray>("initial");
    QTest::addColumn<int>("anchor");
    QTest::addColumn<int>("caret");
    QTest::addColumn<QByteArray>("insert");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("expectedCaret");
    QTest::addColumn<int>("returned");

    QTest::newRow("at caret") << QByteArray("hello") << 5 << 5 << QByteArray(" you")
                              << QByteArray("hello you") << 9 << 4;
    QTest::newRow("at start") << QByteArray("hello") << 0 << 0 << QByteArray(">")
                              << QByteArray(">hello") << 1 << 1;
    QTest::newRow("selection replaced")
        << QByteArray("hello world") << 6 << 11 << QByteArray("there") << QByteArray("hello there")
        << 11 << 5;
    QTest::newRow("backwards selection") << QByteArray("hello world") << 11 << 6
                                         << QByteArray("you") << QByteArray("hello you") << 9 << 3;
    QTest::newRow("selection removed")
        << QByteArray("abcdef") << 1 << 5 << QByteArray() << QByteArray("af") << 1 << 0;
    QTest::newRow("breaks normalised")
        << QByteArray("ab") << 1 << 1 << QByteArray("\n\r") << QByteArray("a\r\n\r\nb") << 5 << 4;
    QTest::newRow("selection over break")
        << QByteArray("ab\r\ncd") << 1 << 5 << QByteArray("X") << QByteArray("aXd") << 2 << 1;
    QTest::newRow("longer than a block, in the middle")
        << QByteArray("abc\r\ndef") << 3 << 3 << QByteArray("0123\n456789\r")
        << QByteArray("abc0123\r\n456789\r\n\r\ndef") << 17 << 14;
    QTest::newRow("selection over blocks replaced")
        << QByteArray("abcdefghij") << 1 << 9 << QByteArray("xy") << QByteArray("axyj") << 3 << 2;
}

void TstTextStore::replaceSelection() {
    QFETCH(QByteArray, initial);
    QFETCH(int, anchor);
    QFETCH(int, caret);
    QFETCH(QByteArray, insert);
    QFETCH(QByteArray, expected);
    QFETCH(int, expectedCaret);
    QFETCH(int, returned);

    for (std::int64_t blockBytes : kBlockSizes) {
        TextStore s(blockBytes);
        s.setText(initial);
        s.select(anchor, caret);
        QCOMPARE(s.replaceSelection(insert), returned);
        QCOMPARE(s.bytes(), expected);
        QCOMPARE(s.caret(), expectedCaret);
        QCOMPARE(s.selStart(), expectedCaret);
        QCOMPARE(s.selLength(), 0);
        QCOMPARE(checkConsistent(s), QString());
    }
}

void TstTextStore::breakSplitOverInsertions_data() {
    // Each step: "@n" puts the caret at n, "-n,m" removes, anything else is inserted.
    QTest::addColumn<QByteArrayList>("steps");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("same place") << QByteArrayList{"@1", "x\r", "\ny"} << QByteArray("ax\r\nyb");
    QTest::newRow("lf alone at same place")
        << QByteArrayList{"@1", "x\r", "\n"} << QByteArray("ax\r\nb");
    QTest::newRow("empty insertion between")
        << QByteArrayList{"@1", "x\r", "", "\n"} << QByteArray("ax\r\nb");
    QTest::newRow("elsewhere") << QByteArrayList{"@1", "x\r", "@0", "\n"}
                               << QByteArray("\r\nax\r\nb");
    QTest::newRow("caret moved away and back")
        << QByteArrayList{"@1", "x\r", "@0", "@4", "\n"} << QByteArray("ax\r\nb");
    QTest::newRow("something typed between")
        << QByteArrayList{"@1", "x\r", "y", "\n"} << QByteArray("ax\r\ny\r\nb");
    QTest::newRow("removal between")
        << QByteArrayList{"@1", "x\r", "-0,1", "@3", "\n"} << QByteArray("x\r\n\r\nb");
    QTest::newRow("crlf at once") << QByteArrayList{"@1", "x\r\n", "\n"}
                                  << QByteArray("ax\r\n\r\nb");
}

void TstTextStore::breakSplitOverInsertions() {
    QFETCH(QByteArrayList, steps);
    QFETCH(QByteArray, expected);
    for (std::int64_t blockBytes : kBlockSizes) {
        TextStore s(blockBytes);
        s.setText("ab");
        for (const QByteArray& step : steps) {
            if (step.startsWith('@')) {
                s.setSelStart(step.mid(1).toLongLong());
            } else if (step.startsWith('-')) {
                const QByteArrayList parts = step.mid(1).split(',');
                s.remove(parts[0].toLongLong(), parts[1].toLongLong());
            } else {
                s.replaceSelection(step);
            }
            QCOMPARE(checkConsistent(s), QString());
        }
        QCOMPARE(s.bytes(), expected);
    }
}

void TstTextStore::positionsSnapOutOfBreaks_data() {
    // Text "ab\r\ncd": position 3 lies between CR and LF.
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("a");
    QTest::addColumn<int>("b");
    QTest::addColumn<int>("selStart");
    QTest::addColumn<int>("selLength");
    QTest::addColumn<int>("caret");

    QTest::newRow("setSelStart inside pair") << "start" << 3 << 0 << 2 << 0 << 2;
    QTest::newRow("setSelStart below 0") << "start" << -7 << 0 << 0 << 0 << 0;
    QTest::newRow("setSelStart past end") << "start" << 99 << 0 << 6 << 0 << 6;
    QTest::newRow("setSelLength into pair") << "length" << 0 << 3 << 0 << 2 << 2;
    QTest::newRow("setSelLength past end") << "length" << 1 << 99 << 1 << 5 << 6;
    QTest::newRow("setSelLength negative") << "length" << 1 << -4 << 1 << 0 << 1;
    QTest::newRow("setSelLength at end") << "length" << 6 << 5 << 6 << 0 << 6;
    QTest::newRow("select caret inside pair") << "select" << 0 << 3 << 0 << 2 << 2;
    QTest::newRow("select anchor inside pair") << "select" << 3 << 6 << 2 << 4 << 6;
    QTest::newRow("select backwards") << "select" << 6 << 1 << 1 << 5 << 1;
    QTest::newRow("select clamped") << "select" << 99 << -99 << 0 << 6 << 0;
}

void TstTextStore::positionsSnapOutOfBreaks() {
    QFETCH(QString, op);
    QFETCH(int, a);
    QFETCH(int, b);
    QFETCH(int, selStart);
    QFETCH(int, selLength);
    QFETCH(int, caret);
    // With blocks of 3 the pair's CR ends one block and its LF starts the next.
    for (std::int64_t blockBytes : kBlockSizes) {
        TextStore s(blockBytes);
        s.setText("ab\r\ncd");
        if (op == "start") {
            s.setSelStart(a);
        } else if (op == "length") {
            s.setSelStart(a);
            s.setSelLength(b);
        } else {
            s.select(a, b);
        }
        QCOMPARE(s.selStart(), selStart);
        QCOMPARE(s.selLength(), selLength);
        QCOMPARE(s.caret(), caret);
    }
}

void TstTextStore::remove_data() {
    // Text "ab\r\ncd" (the break is at 2..4), caret at 5 with 0..1 as the anchor.
    QTest::addColumn<int>("pos");
    QTest::addColumn<int>("len");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("selStart");
    QTest::addColumn<int>("selLength");

    QTest::newRow("plain") << 0 << 1 << QByteArray("b\r\ncd") << 0 << 4;
    QTest::newRow("lf alone widened") << 3 << 1 << QByteArray("abcd") << 1 << 2;
    QTest::newRow("cr alone widened") << 2 << 1 << QByteArray("abcd") << 1 << 2;
    QTest::newRow("ends on cr widened") << 1 << 2 << QByteArray("acd") << 1 << 1;
    QTest::newRow("starts on lf widened") << 3 << 2 << QByteArray("abd") << 1 << 1;
    QTest::newRow("zero length inside pair") << 3 << 0 << QByteArray("ab\r\ncd") << 1 << 4;
    QTest::newRow("negative length") << 1 << -3 << QByteArray("ab\r\ncd") << 1 << 4;
    QTest::newRow("negative pos clamped") << -5 << 2 << QByteArray("\r\ncd") << 0 << 3;
    QTest::newRow("length clamped") << 4 << 100 << QByteArray("ab\r\n") << 1 << 3;
    QTest::newRow("huge length") << 0 << std::numeric_limits<int>::max() << QByteArray() << 0 << 0;
    QTest::newRow("past end") << 9 << 3 << QByteArray("ab\r\ncd") << 1 << 4;
    QTest::newRow("around the caret") << 4 << 1 << QByteArray("ab\r\nd") << 1 << 3;
    QTest::newRow("over the break and beyond") << 1 << 4 << QByteArray("ad") << 1 << 0;
    QTest::newRow("from the start over the break") << 0 << 5 << QByteArray("d") << 0 << 0;
}

void TstTextStore::remove() {
    QFETCH(int, pos);
    QFETCH(int, len);
    QFETCH(QByteArray, expected);
    QFETCH(int, selStart);
    QFETCH(int, selLength);
    // With small blocks a removal spans blocks: some emptied, the ends cut.
    for (std::int64_t blockBytes : kBlockSizes) {
        TextStore s(blockBytes);
        s.setText("ab\r\ncd");
        s.select(1, 5);
        s.remove(pos, len);
        QCOMPARE(s.bytes(), expected);
        QCOMPARE(s.selStart(), selStart);
        QCOMPARE(s.selLength(), selLength);
        QCOMPARE(s.caret(), selStart + selLength);
        QCOMPARE(checkConsistent(s), QString());

        // A huge length at a late position must not overflow.
        s.remove(s.length() / 2, std::numeric_limits<std::int64_t>::max());
        QCOMPARE(checkConsistent(s), QString());
    }
}

void TstTextStore::appendLeavesCaretAndSelection() {
    TextStore s;
    s.setText("0123456789");
    s.select(8, 2); // caret before the anchor
    int selectionCalls = 0;
    s.onSelectionChanged = [&] { ++selectionCalls; };
    bool carry = false;
    s.append("ab\r", carry);
    QVERIFY(carry);
    s.append("\ncd", carry);
    QVERIFY(!carry);
    QCOMPARE(s.bytes(), QByteArray("0123456789ab\r\ncd"));
    QCOMPARE(s.selStart(), 2);
    QCOMPARE(s.selLength(), 6);
    QCOMPARE(s.caret(), 2);
    QCOMPARE(selectionCalls, 0);
    QCOMPARE(checkConsistent(s), QString());

    // A lone CR that replaceSelection left waiting still takes its LF after an append.
    s.setSelStart(s.length());
    s.replaceSelection("x\r");
    const std::int64_t at = s.caret();
    s.append("tail", carry);
    QCOMPARE(s.caret(), at);
    s.replaceSelection("\n");
    QCOMPARE(s.bytes(), QByteArray("0123456789ab\r\ncdx\r\ntail"));
}

void TstTextStore::callbacksReportChanges() {
    TextStore s;
    s.setText("hello world");
    QList<QList<std::int64_t>> changes;
    int selectionCalls = 0;
    s.onTextChanged = [&](std::int64_t pos, std::int64_t removed, std::int64_t inserted) {
        // The text is already changed when the callback runs.
        QCOMPARE(s.lineCount(), static_cast<std::int64_t>(lineStartsOf(s.bytes()).size()));
        changes.append({pos, removed, inserted});
    };
    s.onSelectionChanged = [&] { ++selectionCalls; };

    s.select(6, 11);
    QCOMPARE(selectionCalls, 1);
    s.select(6, 11);
    QCOMPARE(selectionCalls, 1); // same selection: no call
    s.replaceSelection("a\nb");
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes.last(), (QList<std::int64_t>{6, 5, 4}));
    QCOMPARE(selectionCalls, 2);
    s.remove(0, 6);
    QCOMPARE(changes.last(), (QList<std::int64_t>{0, 6, 0}));
    bool carry = false;
    s.append("!", carry);
    QCOMPARE(changes.last(), (QList<std::int64_t>{s.length() - 1, 0, 1}));
    s.replaceSelection("");
    s.remove(2, 0);
    QCOMPARE(changes.size(), 3); // nothing changed, nothing reported
}

void TstTextStore::randomEditsKeepIndexRight_data() {
    // A store whose cache holds a block or two packs and unpacks blocks all the time; it
    // must answer exactly as one whose cache holds every block (nothing ever packed).
    QTest::addColumn<qint64>("blockBytes");
    QTest::addColumn<qint64>("cachedBlocks");
    QTest::newRow("blocks of 3, one cached") << qint64(3) << qint64(1);
    QTest::newRow("blocks of 64, one cached") << qint64(64) << qint64(1);
    QTest::newRow("blocks of 300, two cached") << qint64(300) << qint64(2);
    QTest::newRow("blocks of the real size") << qint64(TextStore::DefaultBlockBytes)
                                     << qint64(TextStore::DefaultCachedBlocks);
}

void TstTextStore::randomEditsKeepIndexRight() {
    QFETCH(qint64, blockBytes);
    QFETCH(qint64, cachedBlocks);
    std::mt19937 rng(4242);
    TextStore s(blockBytes, cachedBlocks);
    TextStore plain(blockBytes, std::numeric_limits<qint64>::max());
    bool carry = false, plainCarry = false;
    auto any = [&](std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
    };
    // Each step on both stores alike.
    auto both = [&](auto&& step) {
        step(s, carry);
        step(plain, plainCarry);
    };
    for (int step = 0; step < 4000; ++step) {
        const std::int64_t len = s.length();
        QByteArray before = s.bytes();
        const QByteArray piece = randomPiece(rng, any(0, 2) == 0 ? 200 : 12);
        const std::int64_t a = any(-2, len + 2), b = any(-2, len + 2);
        switch (any(0, 10)) {
        case 0:
            if (const std::int64_t k = any(0, 4); k == 0)
                both([&](TextStore& t, bool& c) { t.setText(piece), c = false; });
            else if (k == 1) // read into a store of its own, then taken over
                both([&](TextStore& t, bool& c) {
                    TextStore loaded(t.blockBytes(), t.cachedBlocks());
                    c = false;
                    for (int i = 0; i < 4; ++i)
                        loaded.continueLoad(piece, c);
                    t.takeText(loaded);
                });
            break;
        case 1:
        case 2:
            both([&](TextStore& t, bool&) { t.select(a, b), t.replaceSelection(piece.left(12)); });
            break;
        case 3:
            both([&](TextStore& t, bool&) { t.setSelStart(a), t.replaceSelection(piece.left(3)); });
            break;
        case 4:
        case 5:
            both([&](TextStore& t, bool& c) { t.append(piece, c); });
            break;
        case 6:
        case 7:
            both([&](TextStore& t, bool&) { t.remove(a, b % 9); });
            break;
        case 8:
            both([&](TextStore& t, bool&) { t.setSelStart(a), t.setSelLength(b % 11); });
            break;
        case 9:
            both([&](TextStore& t, bool& c) { t.continueLoad(piece, c); });
            break;
        default:
            if (len > 4000)
                both([&](TextStore& t, bool&) { t.remove(0, len / 2); });
            s.finishPacking(); // or the next reads take blocks still being packed
            break;
        }
        QString problem = checkConsistent(s);
        if (problem.isEmpty() && (s.bytes() != plain.bytes() || s.caret() != plain.caret() ||
                                  s.selStart() != plain.selStart() ||
                                  s.selLength() != plain.selLength() ||
                                  s.mid(a, b) != plain.mid(a, b)))
            problem = QStringLiteral("answers differ from the store that packs nothing");
        if (!problem.isEmpty()) {
            QFAIL(qPrintable(QStringLiteral("step %1: %2 (before: %3, after: %4)")
                                 .arg(step)
                                 .arg(problem, QString::fromLatin1(before.toPercentEncoding()),
                                      QString::fromLatin1(s.bytes().toPercentEncoding()))));
        }
    }
    QCOMPARE(plain.packs(), 0u);
    if (cachedBlocks < TextStore::DefaultCachedBlocks)
        QVERIFY(s.packs() > 0 && s.unpacks() > 0);
}

void TstTextStore::tailAndMid_data() {
    QTest::addColumn<QString>("op");
    QTest::addColumn<qint64>("a");
    QTest::addColumn<qint64>("b");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("tail") << "tail" << qint64(3) << qint64(0) << QByteArray("\r\nc");
    QTest::newRow("tail all") << "tail" << qint64(7) << qint64(0) << QByteArray("ab\r\nc");
    QTest::newRow("tail more") << "tail" << qint64(99) << qint64(0) << QByteArray("ab\r\nc");
    QTest::newRow("tail zero") << "tail" << qint64(0) << qint64(0) << QByteArray();
    QTest::newRow("tail negative") << "tail" << qint64(-2) << qint64(0) << QByteArray();
    QTest::newRow("mid") << "mid" << qint64(1) << qint64(3) << QByteArray("b\r\n");
    QTest::newRow("mid clamped") << "mid" << qint64(3) << qint64(99) << QByteArray("\nc");
    QTest::newRow("mid from before") << "mid" << qint64(-4) << qint64(2) << QByteArray("ab");
    QTest::newRow("mid past end") << "mid" << qint64(9) << qint64(2) << QByteArray();
    QTest::newRow("mid negative length") << "mid" << qint64(1) << qint64(-1) << QByteArray();
    QTest::newRow("mid all") << "mid" << qint64(0) << qint64(5) << QByteArray("ab\r\nc");
    QTest::newRow("at first") << "at" << qint64(0) << qint64(0) << QByteArray("a");
    QTest::newRow("at cr") << "at" << qint64(2) << qint64(0) << QByteArray("\r");
    QTest::newRow("at lf") << "at" << qint64(3) << qint64(0) << QByteArray("\n");
    QTest::newRow("at last") << "at" << qint64(4) << qint64(0) << QByteArray("c");
}

void TstTextStore::tailAndMid() {
    QFETCH(QString, op);
    QFETCH(qint64, a);
    QFETCH(qint64, b);
    QFETCH(QByteArray, expected);
    // With blocks of 2, 3 and 5 bytes the ranges start and end at and across every boundary.
    for (std::int64_t blockBytes : kBlockSizes) {
        TextStore s(blockBytes);
        s.setText("ab\r\nc");
        if (op == "at") {
            QCOMPARE(QByteArray(1, s.at(a)), expected);
            continue;
        }
        QCOMPARE(op == "tail" ? s.tail(a) : s.mid(a, b), expected);
        if (op == "mid") {
            QByteArray pieces;
            s.forEachPiece(a, b, [&](QByteArrayView piece) { pieces += piece; });
            QCOMPARE(pieces, expected);
        }
    }
}

void TstTextStore::changeTracking() {
    TextStore s;
    s.setText("abc");
    QCOMPARE(s.lowestChange(), 0);
    s.markUnchanged();
    QCOMPARE(s.lowestChange(), 3);

    bool carry = false;
    s.append("def", carry);
    QCOMPARE(s.lowestChange(), 3); // appends keep it
    s.setSelStart(s.length());
    s.replaceSelection("g");
    QCOMPARE(s.lowestChange(), 3); // so does typing at the end
    s.setSelStart(5);
    s.replaceSelection("x");
    QCOMPARE(s.lowestChange(), 3); // after the marked length
    s.setSelStart(1);
    s.replaceSelection("y");
    QCOMPARE(s.lowestChange(), 1); // earlier change lowers it
    s.append("more", carry);
    QCOMPARE(s.lowestChange(), 1); // and it stays lowered

    s.markUnchanged();
    QCOMPARE(s.lowestChange(), s.length());
    s.remove(s.length() - 1, 1); // removing at the end reaches before the mark
    QCOMPARE(s.lowestChange(), s.length());
    s.markUnchanged();
    s.setText("new");
    QCOMPARE(s.lowestChange(), 0);
}

void TstTextStore::revisionCountsTextChangesOnly() {
    TextStore s;
    const std::uint64_t r0 = s.revision();
    s.setText("");
    QCOMPARE(s.revision(), r0); // empty onto empty: no change
    s.setText("abc");
    QCOMPARE(s.revision(), r0 + 1);
    s.setSelStart(1);
    s.setSelLength(1);
    s.select(0, 3);
    QCOMPARE(s.revision(), r0 + 1); // selection alone is not a change
    s.setSelStart(1);
    s.replaceSelection("");
    s.remove(1, 0);
    bool carry = false;
    s.append("", carry);
    QCOMPARE(s.revision(), r0 + 1);
    s.replaceSelection("x");
    s.append("y", carry);
    s.remove(0, 1);
    QCOMPARE(s.revision(), r0 + 4);
    s.select(0, 2);
    s.replaceSelection("z"); // a replacement is one change
    QCOMPARE(s.revision(), r0 + 5);
}

void TstTextStore::everyByteValueKept() {
    QByteArray all;
    for (int b = 0; b < 256; ++b) {
        if (b != '\r' && b != '\n')
            all.append(static_cast<char>(b));
    }
    TextStore s;
    s.setText(all);
    QCOMPARE(s.bytes(), all);
    QCOMPARE(s.lineCount(), 1);

    bool carry = false;
    s.append(all, carry);
    s.setSelStart(10);
    s.replaceSelection(all);
    QByteArray expected = all;
    expected.insert(10, all);
    expected.append(all);
    QCOMPARE(s.bytes(), expected);
    QCOMPARE(s.mid(10, all.size()), all);
    QCOMPARE(s.tail(all.size()), all);
    QCOMPARE(checkConsistent(s), QString());
}

void TstTextStore::appendLeavesTheTextInPlace() {
    // Appending fills the last block and adds new ones: every block but the last is full,
    // each block left behind is handed over for packing once when it leaves the cache (here
    // of one block), and nothing packed is unpacked or packed again.
    TextStore s(TextStore::DefaultBlockBytes, 1);
    const std::int64_t block = s.blockBytes();
    bool carry = false;
    s.append(QByteArray(block / 2, 'a'), carry);
    const QByteArray line = QByteArray(997, 'x') + "\r\n";
    for (int i = 0; i < 300; ++i)
        s.append(line, carry);
    s.finishPacking();
    QCOMPARE(s.blockCount(), (s.length() + block - 1) / block);
    QCOMPARE(s.packs(), std::uint64_t(s.blockCount() - 2));
    QCOMPARE(s.unpacks(), 0u);
    QCOMPARE(s.lineCount(), 301);
    QCOMPARE(s.lineStart(300), s.length());
    QCOMPARE(s.lineLength(1), 997);
    QCOMPARE(s.unpacks(), 0u); // lines are found without unpacking

    // An insertion in the first block unpacks that block alone.
    s.setSelStart(10);
    s.replaceSelection("inserted");
    QCOMPARE(s.unpacks(), 1u);
    QCOMPARE(s.mid(8, 12), QByteArray("aainsertedaa"));
    QCOMPARE(checkConsistent(s), QString());
}

QTEST_APPLESS_MAIN(TstTextStore)
#include "tst_textstore.moc"
