#include "platform/text/textview.h"
#include "platform/text/textviewaccessible.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <random>

namespace {

// A shown view over its own store. The store outlives the view. Stores with blocks of a
// few bytes have rows and words cross from one block to the next.
struct Box {
    TextStore store;
    TextView view{&store};

    explicit Box(QSize size = QSize(420, 300),
                 std::int64_t blockBytes = TextStore::DefaultBlockBytes)
        : store(blockBytes) {
        view.setFont(QFont(QStringLiteral("Courier New"), 10));
        view.resize(size);
        view.show();
    }
    bool ready() { return QTest::qWaitForWindowExposed(&view); }
    QWidget* vp() { return view.viewport(); }
    int lineHeight() { return view.caretRect().height(); }
    int visibleRows() { return vp()->height() / lineHeight(); }
};

// Row counts recomputed from the store's lines: a line of n cells takes ceil(n / columns)
// rows, an empty line one.
std::vector<std::int64_t> expectedRowsBefore(const TextStore& s, std::int64_t columns) {
    std::vector<std::int64_t> before{0};
    for (std::int64_t i = 0; i < s.lineCount(); ++i) {
        const std::int64_t n = s.lineLength(i);
        before.push_back(before.back() + (n == 0 ? 1 : (n + columns - 1) / columns));
    }
    return before;
}

QString checkRows(const TextView& view, const TextStore& s) {
    const auto before = expectedRowsBefore(s, view.columns());
    if (view.rowCount() != before.back())
        return QStringLiteral("rowCount %1, expected %2").arg(view.rowCount()).arg(before.back());
    for (std::int64_t i = 0; i < s.lineCount(); ++i) {
        const std::int64_t start = s.lineStart(i);
        const std::int64_t end = start + s.lineLength(i);
        if (view.rowOfPosition(start) != before[i])
            return QStringLiteral("line %1 starts in row %2, expected %3")
                .arg(i)
                .arg(view.rowOfPosition(start))
                .arg(before[i]);
        if (view.rowOfPosition(end) != before[i + 1] - 1)
            return QStringLiteral("line %1 ends in row %2, expected %3")
                .arg(i)
                .arg(view.rowOfPosition(end))
                .arg(before[i + 1] - 1);
    }
    return {};
}

QByteArray lines(int count, int width) {
    QByteArray out;
    for (int i = 0; i < count; ++i) {
        QByteArray line = QByteArray::number(i).rightJustified(6, '0') + ' ';
        while (line.size() < width)
            line.append(static_cast<char>('a' + line.size() % 26));
        out += line.left(width) + "\r\n";
    }
    return out;
}

// The view's accessible object and its text interface.
QAccessibleTextInterface* accessibleText(TextView& view) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(&view);
    return a ? a->textInterface() : nullptr;
}

enum class Ask { At, Before, After };

// The text a request answers with, and the range it gives, as "start end text".
QString ask(QAccessibleTextInterface* t, Ask what, int offset, QAccessible::TextBoundaryType type) {
    int start = -9, end = -9;
    QString text = what == Ask::At       ? t->textAtOffset(offset, type, &start, &end)
                   : what == Ask::Before ? t->textBeforeOffset(offset, type, &start, &end)
                                         : t->textAfterOffset(offset, type, &start, &end);
    if (start >= 0 && text != t->text(start, end))
        text = QStringLiteral("<range and text differ>");
    text.replace(QStringLiteral("\r\n"), QStringLiteral("|"));
    return QStringLiteral("%1 %2 %3").arg(start).arg(end).arg(text);
}

void sendMouse(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButton button,
               Qt::MouseButtons buttons, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QMouseEvent e(type, QPointF(pos), QPointF(w->mapToGlobal(pos)), button, buttons, mods);
    QApplication::sendEvent(w, &e);
}

} // namespace

class TstTextView : public QObject {
    Q_OBJECT
private slots:
    void wrapsLinesIntoRows_data();
    void wrapsLinesIntoRows();
    void rowIndexMatchesRecomputation();
    void caretPositionRoundTrip();
    void caretToEndKeepsLastRowInView();
    void appendAtEndLaysOutOnlyTheEnd();
    void longLineWithoutBreaks();
    void resizeRewrapsAndKeepsEndInView();
    void keyboardEditing_data();
    void keyboardEditing();
    void typedLatin1();
    void verticalMovesKeepColumn();
    void pageKeysMoveByViewHeight();
    void clipboardCopyCutPaste();
    void readOnlyIgnoresEdits();
    void inputMethodCommitInserts();
    void mouseClickPlacesCaret();
    void mouseDragAndDoubleClickSelect();
    void paintsEveryByte();
    void controlPicturesStayInTheirCell();
    void incrementalRepaintMatchesFullPaint();
    void accessibleBoundaries_data();
    void accessibleBoundaries();
    void accessibleGeometry();
    void accessibleCaretSelectionAndEdits();
    void accessibleRequestsStayBounded();
};

void TstTextView::wrapsLinesIntoRows_data() {
    // Lines given as (multiple of the column count, extra cells).
    QTest::addColumn<QList<QPoint>>("lineSizes");
    QTest::addColumn<int>("rows");
    QTest::newRow("empty text") << QList<QPoint>{{0, 0}} << 1;
    QTest::newRow("short") << QList<QPoint>{{0, 5}} << 1;
    QTest::newRow("exactly full") << QList<QPoint>{{1, 0}} << 1;
    QTest::newRow("one over") << QList<QPoint>{{1, 1}} << 2;
    QTest::newRow("three rows and one cell") << QList<QPoint>{{3, 1}} << 4;
    QTest::newRow("several lines") << QList<QPoint>{{3, 1}, {0, 0}, {1, 0}, {2, -1}} << 8;
    QTest::newRow("empty lines") << QList<QPoint>{{0, 0}, {0, 0}, {0, 0}} << 3;
}

void TstTextView::wrapsLinesIntoRows() {
    QFETCH(QList<QPoint>, lineSizes);
    QFETCH(int, rows);
    Box box;
    QVERIFY(box.ready());
    const std::int64_t cols = box.view.columns();
    QVERIFY(cols >= 10);
    QByteArrayList parts;
    for (const QPoint& p : lineSizes)
        parts.append(QByteArray(p.x() * cols + p.y(), 'x'));
    box.store.setText(parts.join("\r\n"));
    QCOMPARE(box.view.rowCount(), rows);
    QCOMPARE(checkRows(box.view, box.store), QString());
}

void TstTextView::rowIndexMatchesRecomputation() {
    // Also over a store of small blocks, whose lines and breaks cross block boundaries.
    for (std::int64_t blockBytes : {TextStore::DefaultBlockBytes, std::int64_t(5)}) {
        Box box(QSize(420, 300), blockBytes);
        QVERIFY(box.ready());
        TextStore& s = box.store;
        std::mt19937 rng(777);
        auto any = [&](std::int64_t lo, std::int64_t hi) {
            return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
        };
        auto piece = [&] {
            QByteArray p;
            const std::int64_t n = any(0, 3 * box.view.columns());
            for (std::int64_t i = 0; i < n; ++i)
                p.append(any(0, 15) == 0 ? '\n' : static_cast<char>('a' + i % 26));
            return p;
        };
        bool carry = false;
        for (int step = 0; step < 400; ++step) {
            const std::int64_t len = s.length();
            switch (any(0, 5)) {
            case 0:
            case 1:
                s.append(piece(), carry);
                break;
            case 2:
                s.select(any(0, len), any(0, len));
                s.replaceSelection(piece());
                break;
            case 3:
                s.remove(any(0, len), any(0, 60));
                break;
            case 4:
                if (len > 20000)
                    s.remove(0, len / 3);
                break;
            default:
                if (any(0, 20) == 0)
                    box.view.resize(any(120, 700), 300); // new wrap width
                break;
            }
            const QString problem = checkRows(box.view, s);
            if (!problem.isEmpty())
                QFAIL(qPrintable(QStringLiteral("blocks of %1, step %2: %3")
                                     .arg(blockBytes)
                                     .arg(step)
                                     .arg(problem)));
        }
    }
}

void TstTextView::caretPositionRoundTrip() {
    Box box;
    QVERIFY(box.ready());
    const std::int64_t c = box.view.columns();
    // Line 0 fills exactly two rows, line 1 is empty, line 2 wraps with a remainder.
    box.store.setText(QByteArray(2 * c, 'a') + "\r\n\r\n" + QByteArray(c + 3, 'b'));
    const std::int64_t l2 = 2 * c + 4;
    const QList<std::int64_t> positions{0,         1,  c - 1,      c,      c + 1,     2 * c,
                                        2 * c + 2, l2, l2 + c - 1, l2 + c, l2 + c + 3};
    for (std::int64_t pos : positions) {
        box.store.setSelStart(pos);
        QCOMPARE(box.store.caret(), pos);
        const QRect r = box.view.caretRect();
        QVERIFY2(box.vp()->rect().contains(r), qPrintable(QString::number(pos)));
        QCOMPARE(box.view.positionAt(r.center()), pos);
    }
    // The end of a line that fills its last row stays in that row, at its right edge.
    QCOMPARE(box.view.rowOfPosition(2 * c), 1);
    QCOMPARE(box.view.rowOfPosition(c), 1); // a wrap point starts the next row
    QCOMPARE(box.view.rowOfPosition(2 * c + 2), 2);
    QCOMPARE(box.view.rowOfPosition(l2 + c), 4);
}

void TstTextView::caretToEndKeepsLastRowInView() {
    Box box;
    QVERIFY(box.ready());
    box.store.setText(lines(2000, 30));
    QCOMPARE(box.view.firstVisibleRow(), 0);
    bool carry = false;
    for (int round = 0; round < 3; ++round) {
        box.store.append(lines(50, 90), carry);
        box.store.setSelStart(box.store.length());
        const QRect caret = box.view.caretRect();
        QVERIFY(box.vp()->rect().contains(caret));
        QCOMPARE(box.view.rowOfPosition(box.store.length()), box.view.rowCount() - 1);
        QCOMPARE(box.view.firstVisibleRow() + box.visibleRows(), box.view.rowCount());
    }
    // Caret to the start scrolls back to the top.
    box.store.setSelStart(0);
    QCOMPARE(box.view.firstVisibleRow(), 0);
}

void TstTextView::appendAtEndLaysOutOnlyTheEnd() {
    Box box;
    QVERIFY(box.ready());
    box.store.setText(lines(20 * 1024 * 1024 / 64, 62)); // about 20 MB in 64-byte lines
    const std::int64_t lineCount = box.store.lineCount();
    QVERIFY(box.store.length() >= 20 * 1024 * 1024);
    const std::int64_t rowsBefore = box.view.rowCount();
    const std::int64_t anchorRow = box.view.rowOfPosition(box.store.lineStart(lineCount / 2));

    bool carry = false;
    for (int i = 0; i < 20; ++i) {
        const std::int64_t work = box.view.layoutWork();
        box.store.append(i % 2 ? "0123456789\r\nabcdefg" : "0123456789abcdefghij", carry);
        box.store.setSelStart(box.store.length());
        box.view.viewport()->repaint();
        QVERIFY2(box.view.layoutWork() - work <= 2,
                 qPrintable(
                     QStringLiteral("append laid out %1 lines").arg(box.view.layoutWork() - work)));
    }
    QCOMPARE(box.store.lineCount(), lineCount + 10);
    QVERIFY(box.view.rowCount() >= rowsBefore + 10);
    QCOMPARE(box.view.rowOfPosition(box.store.lineStart(lineCount / 2)), anchorRow);
    QCOMPARE(box.view.rowOfPosition(box.store.length()), box.view.rowCount() - 1);
    QVERIFY(box.vp()->rect().contains(box.view.caretRect()));

    // An edit at the top, by contrast, lays out everything after it.
    const std::int64_t work = box.view.layoutWork();
    box.store.setSelStart(0);
    box.store.replaceSelection("x");
    QVERIFY(box.view.layoutWork() - work >= box.store.lineCount());
}

void TstTextView::longLineWithoutBreaks() {
    Box box;
    QVERIFY(box.ready());
    const std::int64_t size = 10 * 1024 * 1024;
    box.store.setText(QByteArray(size, 'q'));
    const std::int64_t c = box.view.columns();
    QCOMPARE(box.view.rowCount(), (size + c - 1) / c);
    for (std::int64_t pos : {size / 2, size - 1, size, std::int64_t(7)}) {
        box.store.setSelStart(pos);
        const QRect r = box.view.caretRect();
        QVERIFY(box.vp()->rect().contains(r));
        QCOMPARE(box.view.positionAt(r.center()), pos);
        QCOMPARE(box.view.rowOfPosition(pos), std::min(pos / c, box.view.rowCount() - 1));
    }
    box.store.setSelStart(size / 2);
    QVERIFY(!box.view.grab().isNull());
}

void TstTextView::resizeRewrapsAndKeepsEndInView() {
    Box box;
    QVERIFY(box.ready());
    box.store.setText(lines(300, 100));
    box.store.setSelStart(box.store.length());
    const std::int64_t wideCols = box.view.columns();
    box.view.resize(200, 300);
    QTRY_VERIFY(box.view.columns() < wideCols);
    QCOMPARE(checkRows(box.view, box.store), QString());
    QVERIFY(box.vp()->rect().contains(box.view.caretRect()));
    QCOMPARE(box.view.firstVisibleRow() + box.visibleRows(), box.view.rowCount());

    // Scrolled to the middle with the caret elsewhere, the top line stays at the top.
    box.store.setSelStart(0);
    const std::int64_t top = box.store.lineStart(150);
    box.view.verticalScrollBar()->setValue(static_cast<int>(box.view.rowOfPosition(top)));
    box.view.resize(520, 300);
    QTRY_VERIFY(box.view.columns() > wideCols / 2);
    QCOMPARE(box.view.firstVisibleRow(), box.view.rowOfPosition(top));

    // Changing the font re-measures the cells.
    const std::int64_t cols = box.view.columns();
    box.view.setFont(QFont(QStringLiteral("Courier New"), 20));
    QVERIFY(box.view.columns() < cols);
    QCOMPARE(checkRows(box.view, box.store), QString());
}

void TstTextView::keyboardEditing_data() {
    QTest::addColumn<QByteArray>("initial");
    QTest::addColumn<int>("anchor");
    QTest::addColumn<int>("caret");
    QTest::addColumn<QTestEventList>("keys");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("expectedCaret");
    QTest::addColumn<int>("expectedSelection");

    auto keys = [](std::initializer_list<std::pair<Qt::Key, Qt::KeyboardModifiers>> list,
                   const QString& typed = {}) {
        QTestEventList events;
        for (const auto& [key, mods] : list)
            events.addKeyClick(key, mods);
        if (!typed.isEmpty())
            events.addKeyClicks(typed);
        return events;
    };
    const Qt::KeyboardModifiers none = Qt::NoModifier;
    const Qt::KeyboardModifiers shift = Qt::ShiftModifier;
    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;

    QTest::newRow("type at end") << QByteArray("xy") << 2 << 2 << keys({}, "abc")
                                 << QByteArray("xyabc") << 5 << 0;
    QTest::newRow("type in middle")
        << QByteArray("xy") << 1 << 1 << keys({}, "ab") << QByteArray("xaby") << 3 << 0;
    QTest::newRow("enter") << QByteArray("ab") << 1 << 1 << keys({{Qt::Key_Return, none}})
                           << QByteArray("a\r\nb") << 3 << 0;
    QTest::newRow("keypad enter") << QByteArray("ab") << 2 << 2
                                  << keys({{Qt::Key_Enter, Qt::KeypadModifier}})
                                  << QByteArray("ab\r\n") << 4 << 0;
    QTest::newRow("backspace") << QByteArray("abc") << 2 << 2 << keys({{Qt::Key_Backspace, none}})
                               << QByteArray("ac") << 1 << 0;
    QTest::newRow("backspace over break")
        << QByteArray("a\r\nb") << 3 << 3 << keys({{Qt::Key_Backspace, none}}) << QByteArray("ab")
        << 1 << 0;
    QTest::newRow("backspace at start")
        << QByteArray("ab") << 0 << 0 << keys({{Qt::Key_Backspace, none}}) << QByteArray("ab") << 0
        << 0;
    QTest::newRow("delete") << QByteArray("abc") << 1 << 1 << keys({{Qt::Key_Delete, none}})
                            << QByteArray("ac") << 1 << 0;
    QTest::newRow("delete break") << QByteArray("a\r\nb") << 1 << 1
                                  << keys({{Qt::Key_Delete, none}}) << QByteArray("ab") << 1 << 0;
    QTest::newRow("delete at end") << QByteArray("ab") << 2 << 2 << keys({{Qt::Key_Delete, none}})
                                   << QByteArray("ab") << 2 << 0;
    QTest::newRow("typing replaces selection")
        << QByteArray("hello") << 1 << 4 << keys({}, "X") << QByteArray("hXo") << 2 << 0;
    QTest::newRow("delete selection")
        << QByteArray("hello") << 4 << 1 << keys({{Qt::Key_Delete, none}}) << QByteArray("ho") << 1
        << 0;
    QTest::newRow("shift+left twice")
        << QByteArray("hello") << 5 << 5 << keys({{Qt::Key_Left, shift}, {Qt::Key_Left, shift}})
        << QByteArray("hello") << 3 << 2;
    QTest::newRow("shift+left then backspace")
        << QByteArray("hello") << 5 << 5
        << keys({{Qt::Key_Left, shift}, {Qt::Key_Left, shift}, {Qt::Key_Backspace, none}})
        << QByteArray("hel") << 3 << 0;
    QTest::newRow("shift+home then backspace")
        << QByteArray("ab\r\ncd") << 6 << 6
        << keys({{Qt::Key_Home, shift}, {Qt::Key_Backspace, none}}) << QByteArray("ab\r\n") << 4
        << 0;
    QTest::newRow("shift+right over break")
        << QByteArray("ab\r\ncd") << 2 << 2 << keys({{Qt::Key_Right, shift}})
        << QByteArray("ab\r\ncd") << 4 << 2;
    QTest::newRow("select all and type")
        << QByteArray("a\r\nb") << 1 << 1 << keys({{Qt::Key_A, ctrl}}, "z") << QByteArray("z") << 1
        << 0;
    QTest::newRow("select all") << QByteArray("a\r\nb") << 1 << 1 << keys({{Qt::Key_A, ctrl}})
                                << QByteArray("a\r\nb") << 4 << 4;
    QTest::newRow("ctrl+end") << QByteArray("ab\r\ncd") << 0 << 0
                              << keys({{Qt::Key_End, ctrl}}, "x") << QByteArray("ab\r\ncdx") << 7
                              << 0;
    QTest::newRow("ctrl+home") << QByteArray("ab\r\ncd") << 5 << 5
                               << keys({{Qt::Key_Home, ctrl}}, "x") << QByteArray("xab\r\ncd") << 1
                               << 0;
    QTest::newRow("left over break")
        << QByteArray("ab\r\ncd") << 4 << 4 << keys({{Qt::Key_Left, none}}, "x")
        << QByteArray("abx\r\ncd") << 3 << 0;
    QTest::newRow("right over break")
        << QByteArray("ab\r\ncd") << 2 << 2 << keys({{Qt::Key_Right, none}}, "x")
        << QByteArray("ab\r\nxcd") << 5 << 0;
    QTest::newRow("left collapses selection")
        << QByteArray("hello") << 1 << 4 << keys({{Qt::Key_Left, none}}) << QByteArray("hello") << 1
        << 0;
    QTest::newRow("end of line") << QByteArray("ab\r\ncd") << 0 << 0
                                 << keys({{Qt::Key_End, none}}, "x") << QByteArray("abx\r\ncd") << 3
                                 << 0;
    QTest::newRow("home of line") << QByteArray("ab\r\ncd") << 6 << 6
                                  << keys({{Qt::Key_Home, none}}, "x") << QByteArray("ab\r\nxcd")
                                  << 5 << 0;
    QTest::newRow("ctrl+backspace")
        << QByteArray("foo bar") << 7 << 7 << keys({{Qt::Key_Backspace, ctrl}})
        << QByteArray("foo ") << 4 << 0;
    QTest::newRow("ctrl+left") << QByteArray("foo bar") << 7 << 7
                               << keys({{Qt::Key_Left, ctrl}}, "x") << QByteArray("foo xbar") << 5
                               << 0;
    QTest::newRow("down then type")
        << QByteArray("abc\r\nde") << 1 << 1 << keys({{Qt::Key_Down, none}}, "x")
        << QByteArray("abc\r\ndxe") << 7 << 0;
    QTest::newRow("shift+down selects")
        << QByteArray("abc\r\nde") << 0 << 0 << keys({{Qt::Key_Down, shift}})
        << QByteArray("abc\r\nde") << 5 << 5;
    QTest::newRow("ctrl+letter does not type")
        << QByteArray("ab") << 2 << 2 << keys({{Qt::Key_B, ctrl}}) << QByteArray("ab") << 2 << 0;
    QTest::newRow("escape does not type")
        << QByteArray("ab") << 2 << 2 << keys({{Qt::Key_Escape, none}}) << QByteArray("ab") << 2
        << 0;
}

void TstTextView::keyboardEditing() {
    QFETCH(QByteArray, initial);
    QFETCH(int, anchor);
    QFETCH(int, caret);
    QFETCH(QTestEventList, keys);
    QFETCH(QByteArray, expected);
    QFETCH(int, expectedCaret);
    QFETCH(int, expectedSelection);

    for (std::int64_t blockBytes : {TextStore::DefaultBlockBytes, std::int64_t(3)}) {
        Box box(QSize(420, 300), blockBytes);
        QVERIFY(box.ready());
        box.store.setText(initial);
        box.store.select(anchor, caret);
        QSignalSpy edited(&box.view, &TextView::edited);
        keys.simulate(&box.view);
        QCOMPARE(box.store.bytes(), expected);
        QCOMPARE(box.store.caret(), expectedCaret);
        QCOMPARE(box.store.selLength(), expectedSelection);
        // One edited() per key that changed the text, none for the others.
        if (expected == initial)
            QCOMPARE(edited.count(), 0);
        else
            QVERIFY(edited.count() >= 1);
    }
}

void TstTextView::typedLatin1() {
    Box box;
    QVERIFY(box.ready());
    QSignalSpy edited(&box.view, &TextView::edited);
    auto type = [&](const QString& text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, text);
        QApplication::sendEvent(&box.view, &press);
    };
    type(QStringLiteral("\u00e9"));         // Latin-1 letter
    type(QStringLiteral("\u20ac"));         // no Latin-1 byte
    type(QString::fromUcs4(U"\U0001F600")); // outside the BMP: one character, one '?'
    type(QStringLiteral("\u00ff"));
    QCOMPARE(box.store.bytes(), QByteArray("\xe9??\xff"));
    QCOMPARE(edited.count(), 4);
}

void TstTextView::verticalMovesKeepColumn() {
    Box box;
    QVERIFY(box.ready());
    box.store.setText("abcdef\r\nab\r\nabcdef");
    box.store.setSelStart(5);
    QTest::keyClick(&box.view, Qt::Key_Down);
    QCOMPARE(box.store.caret(), 10); // end of the short line
    QTest::keyClick(&box.view, Qt::Key_Down);
    QCOMPARE(box.store.caret(), 17); // back in column 5
    QTest::keyClick(&box.view, Qt::Key_Down);
    QCOMPARE(box.store.caret(), 18); // last row: to the end
    QTest::keyClick(&box.view, Qt::Key_Up);
    QCOMPARE(box.store.caret(), 10);
    QTest::keyClick(&box.view, Qt::Key_Up);
    QCOMPARE(box.store.caret(), 5); // the column survived the trip
    QTest::keyClick(&box.view, Qt::Key_Up);
    QCOMPARE(box.store.caret(), 0); // first row: to the start

    // Within a wrapped line Up and Down move by rows.
    const std::int64_t c = box.view.columns();
    box.store.setText(QByteArray(3 * c, 'w'));
    box.store.setSelStart(2);
    QTest::keyClick(&box.view, Qt::Key_Down);
    QCOMPARE(box.store.caret(), c + 2);
}

void TstTextView::pageKeysMoveByViewHeight() {
    Box box;
    QVERIFY(box.ready());
    box.store.setText(lines(500, 20));
    const int page = box.visibleRows();
    QVERIFY(page > 3);
    QTest::keyClick(&box.view, Qt::Key_PageDown);
    QCOMPARE(box.view.rowOfPosition(box.store.caret()), page);
    QCOMPARE(box.view.firstVisibleRow(), page);
    QTest::keyClick(&box.view, Qt::Key_PageDown, Qt::ShiftModifier);
    QCOMPARE(box.view.rowOfPosition(box.store.caret()), 2 * page);
    QCOMPARE(box.store.selStart(), box.store.lineStart(page));
    QVERIFY(box.vp()->rect().contains(box.view.caretRect()));
    QTest::keyClick(&box.view, Qt::Key_PageUp);
    QCOMPARE(box.view.rowOfPosition(box.store.caret()), page);
    QCOMPARE(box.store.selLength(), 0);
    QVERIFY(box.vp()->rect().contains(box.view.caretRect()));
}

void TstTextView::clipboardCopyCutPaste() {
    Box box;
    QVERIFY(box.ready());
    QClipboard* clip = QGuiApplication::clipboard();
    box.store.setText("caf\xe9\r\nbar");
    QSignalSpy edited(&box.view, &TextView::edited);

    box.store.select(1, 7);
    QTest::keyClick(&box.view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clip->text(), QStringLiteral("af\u00e9\r\nb"));
    QCOMPARE(edited.count(), 0);

    QTest::keyClick(&box.view, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(box.store.bytes(), QByteArray("car"));
    QCOMPARE(clip->text(), QStringLiteral("af\u00e9\r\nb"));
    QCOMPARE(edited.count(), 1);

    clip->setText(QStringLiteral("x\ny\rz\u20ac"));
    box.store.select(1, 2);
    QTest::keyClick(&box.view, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box.store.bytes(), QByteArray("cx\r\ny\r\nz?r"));
    QCOMPARE(box.store.caret(), 9);
    QCOMPARE(edited.count(), 2);

    // Nothing selected: copy leaves the clipboard alone.
    clip->setText(QStringLiteral("kept"));
    QTest::keyClick(&box.view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clip->text(), QStringLiteral("kept"));
}

void TstTextView::readOnlyIgnoresEdits() {
    Box box;
    QVERIFY(box.ready());
    box.store.setText("abc\r\ndef");
    box.view.setReadOnly(true);
    QVERIFY(box.view.isReadOnly());
    QSignalSpy edited(&box.view, &TextView::edited);
    QGuiApplication::clipboard()->setText(QStringLiteral("pasted"));
    box.store.setSelStart(2);
    QTest::keyClicks(&box.view, "xyz");
    QTest::keyClick(&box.view, Qt::Key_Return);
    QTest::keyClick(&box.view, Qt::Key_Backspace);
    QTest::keyClick(&box.view, Qt::Key_Delete);
    QTest::keyClick(&box.view, Qt::Key_V, Qt::ControlModifier);
    QInputMethodEvent im;
    im.setCommitString(QStringLiteral("im"));
    QApplication::sendEvent(&box.view, &im);
    QCOMPARE(box.store.bytes(), QByteArray("abc\r\ndef"));

    // Moving, selecting and copying still work.
    QTest::keyClick(&box.view, Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(&box.view, Qt::Key_Right, Qt::ShiftModifier);
    QCOMPARE(box.store.selLength(), 3); // 'c' and the break
    QTest::keyClick(&box.view, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(box.store.bytes(), QByteArray("abc\r\ndef"));
    QTest::keyClick(&box.view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("c\r\n"));
    QCOMPARE(edited.count(), 0);

    box.view.setReadOnly(false);
    QTest::keyClicks(&box.view, "Q");
    QCOMPARE(box.store.bytes(), QByteArray("abQdef"));
    QCOMPARE(edited.count(), 1);
}

void TstTextView::inputMethodCommitInserts() {
    Box box;
    QVERIFY(box.ready());
    box.store.setText("ab");
    box.store.setSelStart(1);
    QSignalSpy edited(&box.view, &TextView::edited);
    QInputMethodEvent im;
    im.setCommitString(QStringLiteral("\u00e7\u4e2d"));
    QApplication::sendEvent(&box.view, &im);
    QCOMPARE(box.store.bytes(), QByteArray("a\xe7?b"));
    QCOMPARE(edited.count(), 1);
    const QWidget& w = box.view; // the query is public on QWidget
    QCOMPARE(w.inputMethodQuery(Qt::ImCursorPosition).toInt(), 3);
    QCOMPARE(w.inputMethodQuery(Qt::ImSurroundingText).toString(), QStringLiteral("a\u00e7?b"));
    QVERIFY(w.inputMethodQuery(Qt::ImEnabled).toBool());
    box.view.setReadOnly(true);
    QVERIFY(!w.inputMethodQuery(Qt::ImEnabled).toBool());
}

void TstTextView::mouseClickPlacesCaret() {
    Box box;
    QVERIFY(box.ready());
    const std::int64_t c = box.view.columns();
    box.store.setText(QByteArray(c + 5, 'm') + "\r\nshort\r\n\r\nend");
    const std::int64_t len = box.store.length();
    for (std::int64_t pos : {std::int64_t(0), std::int64_t(3), c, c + 5, c + 9, len - 1, len}) {
        box.store.setSelStart(pos);
        const QPoint at = box.view.caretRect().center();
        box.store.setSelStart(pos == 0 ? len : 0);
        QTest::mouseClick(box.vp(), Qt::LeftButton, Qt::NoModifier, at);
        QCOMPARE(box.store.caret(), pos);
        QCOMPARE(box.store.selLength(), 0);
    }
    QVERIFY(box.view.hasFocus());

    // Right of a short line: its end. Below the text: the last row.
    box.store.setSelStart(c + 7); // in "short"
    const QRect r = box.view.caretRect();
    QTest::mouseClick(box.vp(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(box.vp()->width() - 5, r.center().y()));
    QCOMPARE(box.store.caret(), c + 12);
    QTest::mouseClick(box.vp(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(box.vp()->width() - 5, box.vp()->height() - 2));
    QCOMPARE(box.store.caret(), len);

    // Shift+click extends from the anchor.
    box.store.setSelStart(2);
    box.store.setSelStart(c + 8);
    const QPoint at = box.view.caretRect().center();
    box.store.setSelStart(2);
    QTest::mouseClick(box.vp(), Qt::LeftButton, Qt::ShiftModifier, at);
    QCOMPARE(box.store.selStart(), 2);
    QCOMPARE(box.store.caret(), c + 8);
}

void TstTextView::mouseDragAndDoubleClickSelect() {
    Box box;
    QVERIFY(box.ready());
    box.store.setText("alpha beta_2 gamma\r\nsecond line");
    auto pointOf = [&](std::int64_t pos) {
        box.store.setSelStart(pos);
        return box.view.caretRect().center();
    };
    const QPoint from = pointOf(2);
    const QPoint to = pointOf(24);
    box.store.setSelStart(0);
    sendMouse(box.vp(), QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    sendMouse(box.vp(), QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    sendMouse(box.vp(), QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
    QCOMPARE(box.store.selStart(), 2);
    QCOMPARE(box.store.selLength(), 22);
    QCOMPARE(box.store.caret(), 24);
    // Moving without the button after the release selects nothing more.
    sendMouse(box.vp(), QEvent::MouseMove, from, Qt::NoButton, Qt::NoButton);
    QCOMPARE(box.store.caret(), 24);

    // Double click on "beta_2" (the cell under the pointer, on its first half).
    const QPoint inWord = pointOf(8) + QPoint(2, 0);
    QTest::mouseDClick(box.vp(), Qt::LeftButton, Qt::NoModifier, inWord);
    QCOMPARE(box.store.selStart(), 6);
    QCOMPARE(box.store.selLength(), 6);

    // Dragging above the view scrolls it and selects up to the top.
    box.store.setText(lines(400, 20));
    box.store.setSelStart(box.store.length());
    QVERIFY(box.view.firstVisibleRow() > 0);
    const QPoint mid(20, box.vp()->height() / 2);
    sendMouse(box.vp(), QEvent::MouseButtonPress, mid, Qt::LeftButton, Qt::LeftButton);
    const std::int64_t anchor = box.store.caret();
    const QPoint above(0, -300);
    sendMouse(box.vp(), QEvent::MouseMove, above, Qt::NoButton, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(box.view.firstVisibleRow(), 0, 15000);
    sendMouse(box.vp(), QEvent::MouseButtonRelease, above, Qt::LeftButton, Qt::NoButton);
    QCOMPARE(box.store.selStart(), 0);
    QCOMPARE(box.store.selLength(), anchor);
}

void TstTextView::paintsEveryByte() {
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(static_cast<char>(b));
    Box empty;
    Box full;
    QVERIFY(empty.ready());
    QVERIFY(full.ready());
    full.store.setText(all);
    full.store.select(40, 200); // some of it selected
    const QImage blank = empty.view.grab().toImage();
    const QImage drawn = full.view.grab().toImage();
    QCOMPARE(drawn.size(), blank.size());
    QVERIFY(drawn != blank);
    QCOMPARE(full.store.bytes().size(), 258); // the lone LF and CR became breaks

    // Rows that cross from one block of the store to the next look the same.
    Box split(QSize(420, 300), 7);
    QVERIFY(split.ready());
    split.store.setText(all);
    split.store.select(40, 200);
    full.view.clearFocus(); // no caret in either picture
    split.view.clearFocus();
    QCOMPARE(split.view.grab().toImage(), full.view.grab().toImage());

    // With the whole text in one view, every row holds something.
    const int lh = full.lineHeight();
    const QColor base = full.view.palette().color(QPalette::Base);
    const QImage vp = full.vp()->grab().toImage();
    for (std::int64_t row = 0; row < full.view.rowCount(); ++row) {
        bool inked = false;
        for (int y = static_cast<int>(row) * lh; y < (row + 1) * lh && !inked; ++y) {
            for (int x = 0; x < vp.width() && !inked; ++x)
                inked = vp.pixelColor(x, y) != base;
        }
        QVERIFY2(inked, qPrintable(QStringLiteral("row %1 is blank").arg(row)));
    }
}

void TstTextView::controlPicturesStayInTheirCell() {
    // Each byte alone in the middle of a line of spaces must leave every pixel outside its
    // own cell blank, and bytes without a printable character must show something.
    Box box(QSize(300, 120));
    QVERIFY(box.ready());
    box.view.clearFocus(); // no caret in the pictures
    const QColor base = box.view.palette().color(QPalette::Base);
    for (int b = 0; b < 256; ++b) {
        if (b == '\r' || b == '\n' || b == ' ' || b == 0xA0)
            continue;
        QByteArray text("     ");
        text[2] = static_cast<char>(b);
        box.store.setText(text);
        box.store.setSelStart(2);
        const int left = box.view.caretRect().center().x();
        box.store.setSelStart(3);
        const int right = box.view.caretRect().center().x() + 1;
        const int lh = box.view.caretRect().height();
        box.store.setSelStart(0);
        box.view.clearFocus();
        const QImage img = box.vp()->grab().toImage();
        bool inked = false;
        for (int y = 0; y < img.height(); ++y) {
            for (int x = 0; x < img.width(); ++x) {
                if (img.pixelColor(x, y) == base)
                    continue;
                inked = true;
                const bool inCell = x >= left && x <= right && y < lh;
                if (!inCell) {
                    QFAIL(qPrintable(QStringLiteral("byte 0x%1 draws at %2,%3 outside %4..%5")
                                         .arg(b, 2, 16, QLatin1Char('0'))
                                         .arg(x)
                                         .arg(y)
                                         .arg(left)
                                         .arg(right)));
                }
            }
        }
        QVERIFY2(inked, qPrintable(QStringLiteral("byte 0x%1 invisible").arg(b, 2, 16)));
    }
}

void TstTextView::incrementalRepaintMatchesFullPaint() {
    // The view repaints only rows that changed and moves the rest of the pixels when it
    // scrolls. After each change has been shown, what is on screen must equal a complete
    // fresh paint of the view.
    Box box;
    QVERIFY(box.ready());
    box.store.setText(lines(30, 20));
    auto settledMatches = [&](const char* what) {
        box.view.clearFocus(); // no blinking caret between the two pictures
        // Repaints come within a frame or a few; once nothing is pending, stale pixels
        // would stay for good, so waiting for agreement does not hide them.
        QImage shown, fresh;
        for (int attempt = 0; attempt < 100; ++attempt) {
            QTest::qWait(20);
            shown = box.view.screen()
                        ->grabWindow(box.view.winId())
                        .toImage()
                        .convertToFormat(QImage::Format_RGB32);
            fresh = box.view.grab().toImage().convertToFormat(QImage::Format_RGB32);
            if (shown == fresh)
                return true;
        }
#ifdef QUORLANE_ARTIFACTS
        shown.save(QStringLiteral(QUORLANE_ARTIFACTS "/textview-shown.png"));
        fresh.save(QStringLiteral(QUORLANE_ARTIFACTS "/textview-fresh.png"));
#endif
        qWarning("screen differs from a fresh paint after: %s", what);
        return false;
    };
    QVERIFY(settledMatches("setText"));

    bool carry = false;
    for (int i = 0; i < 4; ++i) {
        box.store.append(lines(2, 10 + 30 * i), carry);
        box.store.setSelStart(box.store.length());
        QVERIFY(settledMatches("small append, caret to end"));
    }
    box.store.append("partial line", carry);
    box.store.append(" continued", carry);
    box.store.setSelStart(box.store.length());
    QVERIFY(settledMatches("append to the last line"));
    box.store.append(" and more", carry); // the caret stays where it was
    QVERIFY(settledMatches("append to the last line, caret kept"));
    box.store.append(lines(100, 15), carry);
    box.store.setSelStart(box.store.length());
    QVERIFY(settledMatches("large append"));
    box.store.remove(box.store.length() - 10 * 17 + 3, 4); // inside a shown line
    QVERIFY(settledMatches("removed inside a shown line, caret at the end"));

    const std::int64_t firstPos =
        box.store.lineStart(box.store.lineOf(box.store.length() - 5 * 17));
    box.store.select(firstPos + 3, box.store.length() - 40);
    QVERIFY(settledMatches("selection"));
    box.store.select(firstPos + 8, firstPos + 9);
    QVERIFY(settledMatches("smaller selection"));

    QScrollBar* sb = box.view.verticalScrollBar();
    sb->setValue(sb->value() - 3);
    QVERIFY(settledMatches("scrolled up 3 rows"));
    sb->setValue(sb->value() + 1);
    QVERIFY(settledMatches("scrolled down 1 row"));
    sb->setValue(sb->value() - 1);
    sb->setValue(sb->value() - 1);
    box.store.select(firstPos, firstPos + 30);
    QVERIFY(settledMatches("scrolled twice and selected"));

    box.store.remove(firstPos + 2, 40);
    QVERIFY(settledMatches("removed inside the view"));
    box.store.setSelStart(0);
    box.store.replaceSelection("top\n");
    box.store.setSelStart(box.store.length());
    QVERIFY(settledMatches("inserted at the top, caret to end"));
    box.view.resize(300, 260);
    QVERIFY(settledMatches("resized"));
}

void TstTextView::accessibleBoundaries_data() {
    // The text: "one two" CR LF, a line of columns + 5 'x' (two rows), "Last words. Then
    // more." CR LF and an empty last line. In the expectations C stands for the column
    // count (so C + 9 is where the second row of x starts) and a CR LF is written "|".
    QTest::addColumn<int>("what");
    QTest::addColumn<QString>("offset");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("expected");
    const auto add = [](const char* name, Ask what, const char* offset,
                        QAccessible::TextBoundaryType type, const char* expected) {
        QTest::newRow(name) << int(what) << QString::fromLatin1(offset) << int(type)
                            << QString::fromLatin1(expected);
    };
    using QA = QAccessible;
    add("char", Ask::At, "1", QA::CharBoundary, "1 2 n");
    add("char: CR of a pair", Ask::At, "7", QA::CharBoundary, "7 9 |");
    add("char: LF of a pair", Ask::At, "8", QA::CharBoundary, "7 9 |");
    add("char before a pair's end", Ask::Before, "9", QA::CharBoundary, "7 9 |");
    add("char after the pair", Ask::After, "7", QA::CharBoundary, "9 10 x");
    add("char at the end", Ask::At, "-1", QA::CharBoundary, "-1 -1 ");
    add("char before the end", Ask::Before, "-1", QA::CharBoundary, "C+38 C+40 |");
    add("word", Ask::At, "1", QA::WordBoundary, "0 3 one");
    add("word: the gap", Ask::At, "3", QA::WordBoundary, "3 4  ");
    add("word after", Ask::After, "0", QA::WordBoundary, "3 4  ");
    add("word before", Ask::Before, "5", QA::WordBoundary, "3 4  ");
    add("word at the caret", Ask::At, "-2", QA::WordBoundary, "4 7 two");
    add("sentence", Ask::At, "C+16", QA::SentenceBoundary, "C+16 C+28 Last words. ");
    add("sentence after", Ask::After, "C+16", QA::SentenceBoundary, "C+28 C+40 Then more.|");
    add("line: a row with its break", Ask::At, "2", QA::LineBoundary, "0 9 one two|");
    add("line: first row of a wrapped line", Ask::At, "10", QA::LineBoundary, "9 C+9 X");
    add("line: its second row", Ask::After, "10", QA::LineBoundary, "C+9 C+16 xxxxx|");
    add("line before a second row", Ask::Before, "C+10", QA::LineBoundary, "9 C+9 X");
    add("line: the empty last one", Ask::At, "-1", QA::LineBoundary, "C+40 C+40 ");
    add("line after the last text", Ask::After, "C+20", QA::LineBoundary, "C+40 C+40 ");
    add("nothing after the end", Ask::After, "-1", QA::LineBoundary, "-1 -1 ");
    add("line before the empty last", Ask::Before, "-1", QA::LineBoundary,
        "C+16 C+40 Last words. Then more.|");
    add("paragraph", Ask::At, "C+10", QA::ParagraphBoundary, "9 C+16 Xxxxxx|");
    add("paragraph before", Ask::Before, "C+10", QA::ParagraphBoundary, "0 9 one two|");
    add("no boundary", Ask::At, "5", QA::NoBoundary, "0 C+40 ALL");
    add("nothing before the start", Ask::Before, "0", QA::WordBoundary, "-1 -1 ");
}

void TstTextView::accessibleBoundaries() {
    QFETCH(int, what);
    QFETCH(QString, offset);
    QFETCH(int, type);
    QFETCH(QString, expected);
    Box box;
    QVERIFY(box.ready());
    const int c = int(box.view.columns());
    const QByteArray xs(c + 5, 'x');
    box.store.setText("one two\r\n" + xs + "\r\nLast words. Then more.\r\n");
    box.store.setSelStart(5);
    QAccessibleTextInterface* t = accessibleText(box.view);
    QVERIFY(t);
    QCOMPARE(t->characterCount(), c + 40);
    // "C+n" is columns + n; "X" the c x of a full row; "ALL" the whole text.
    const auto expand = [c](QString s) {
        static const QRegularExpression plus(QStringLiteral("C\\+(\\d+)"));
        QRegularExpressionMatch m;
        while ((m = plus.match(s)).hasMatch())
            s.replace(m.capturedStart(), m.capturedLength(),
                      QString::number(c + m.captured(1).toInt()));
        return s;
    };
    QString want = expand(expected);
    want.replace(QStringLiteral("Xxxxxx"), QString(c + 5, u'x'));
    want.replace(QStringLiteral(" X"), QStringLiteral(" ") + QString(c, u'x'));
    if (want.endsWith(QStringLiteral(" ALL"))) {
        QString all = QString::fromLatin1(box.store.bytes());
        all.replace(QStringLiteral("\r\n"), QStringLiteral("|"));
        want.chop(3);
        want += all;
    }
    QCOMPARE(ask(t, Ask(what), expand(offset).toInt(), QAccessible::TextBoundaryType(type)), want);
}

void TstTextView::accessibleGeometry() {
    Box box;
    QVERIFY(box.ready());
    box.store.setText(lines(400, 30) + "last");
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(&box.view);
    QVERIFY(a && a->textInterface());
    QAccessibleTextInterface* t = a->textInterface();
    QCOMPARE(a->role(), QAccessible::EditableText);
    QVERIFY(a->state().multiLine && a->state().editable && !a->state().readOnly);

    // Character rectangles are on the screen, in the cell the character is drawn in, and
    // the point in a cell gives that character back.
    for (int offset : {0, 5, 32, 64}) {
        const QRect r = t->characterRect(offset);
        QVERIFY(QRect(box.vp()->mapToGlobal(QPoint(0, 0)), box.vp()->size()).contains(r));
        QCOMPARE(t->offsetAtPoint(r.center()), offset);
        QCOMPARE(t->offsetAtPoint(r.topLeft() + QPoint(1, 1)), offset);
    }
    QCOMPARE(t->offsetAtPoint(box.vp()->mapToGlobal(QPoint(-5, 5))), -1);
    // Scrolling to a substring shows it and leaves the caret alone.
    const int far = int(box.store.lineStart(350));
    t->scrollToSubstring(far, far + 4);
    const std::int64_t first = box.view.firstVisibleRow();
    QVERIFY(box.view.rowOfPosition(far) >= first &&
            box.view.rowOfPosition(far) < first + box.visibleRows());
    QCOMPARE(box.store.caret(), 0);
    QVERIFY(box.vp()->rect().contains(box.vp()->mapFromGlobal(t->characterRect(far).center())));
    int start = -1, end = -1;
    QVERIFY(t->attributes(far, &start, &end).contains(QStringLiteral("font-family:")));
    QCOMPARE(start, 0);
    QCOMPARE(end, t->characterCount());
}

void TstTextView::accessibleCaretSelectionAndEdits() {
    Box box;
    QVERIFY(box.ready());
    box.store.setText("alpha beta\r\ngamma");
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(&box.view);
    QAccessibleTextInterface* t = a->textInterface();
    int start = -1, end = -1;

    // Caret and selection, both ways.
    t->setCursorPosition(4);
    QCOMPARE(box.store.caret(), 4);
    box.store.select(2, 8);
    QCOMPARE(t->selectionCount(), 1);
    t->selection(0, &start, &end);
    QCOMPARE(QPair(start, end), QPair(2, 8));
    QCOMPARE(t->cursorPosition(), 8);
    t->setSelection(0, 9, 3); // the anchor and the caret, either way round
    QCOMPARE(box.store.selStart(), 3);
    QCOMPARE(box.store.selLength(), 6);
    QCOMPARE(box.store.caret(), 3);
    t->removeSelection(0);
    QCOMPARE(t->selectionCount(), 0);
    QCOMPARE(box.store.caret(), 3);
    t->addSelection(6, 10);
    QCOMPARE(box.store.mid(box.store.selStart(), box.store.selLength()), QByteArray("beta"));

    // Edits go through the store: breaks become CR LF and the change tracking sees them.
    QAccessibleEditableTextInterface* e = a->editableTextInterface();
    QVERIFY(e);
    QSignalSpy edited(&box.view, &TextView::edited);
    box.store.markUnchanged();
    e->insertText(5, QStringLiteral("\n!"));
    QCOMPARE(box.store.bytes(), QByteArray("alpha\r\n! beta\r\ngamma"));
    QCOMPARE(box.store.lowestChange(), 5);
    e->deleteText(5, 8);
    e->replaceText(0, 5, QStringLiteral("omega\u0100"));
    QCOMPARE(box.store.bytes(), QByteArray("omega? beta\r\ngamma"));
    QCOMPARE(edited.count(), 3);
    QCOMPARE(t->text(0, t->characterCount()), QStringLiteral("omega? beta\r\ngamma"));

    // A read-only view takes no edits and says so.
    box.view.setReadOnly(true);
    QVERIFY(!a->editableTextInterface());
    QVERIFY(a->state().readOnly && !a->state().editable);
}

void TstTextView::accessibleRequestsStayBounded() {
    // The same last 10 KB at the end of 10 KB and of 50 MB of text: every request about
    // that end reads exactly as much of the store in both.
    const QByteArray end = lines(10 * 1024 / 64, 62) + "The last words. A sentence";
    const QByteArray before = lines(50 * 1024 * 1024 / 64, 62);
    QList<std::int64_t> reads[2];
    for (int big = 0; big < 2; ++big) {
        Box box;
        QVERIFY(box.ready());
        box.store.setText(big ? before + end : end);
        QAccessibleTextInterface* t = accessibleText(box.view);
        const int n = t->characterCount();
        int start, stop;
        for (int offset : {n - 3, n - 20, n - 5000}) {
            for (auto type : {QAccessible::CharBoundary, QAccessible::WordBoundary,
                              QAccessible::SentenceBoundary, QAccessible::LineBoundary,
                              QAccessible::ParagraphBoundary}) {
                const std::int64_t read = textaccess::charactersRead();
                t->textAtOffset(offset, type, &start, &stop);
                t->textBeforeOffset(offset, type, &start, &stop);
                t->textAfterOffset(offset, type, &start, &stop);
                t->characterRect(offset);
                reads[big] << textaccess::charactersRead() - read;
            }
        }
        QVERIFY(*std::max_element(reads[big].begin(), reads[big].end()) < 1000);
    }
    QCOMPARE(reads[1], reads[0]);

    // One line of 50 MB: words, sentences and paragraphs are looked for within a piece of
    // it, and a request with no boundary serves its first 64 KB.
    Box box;
    QVERIFY(box.ready());
    box.store.setText(QByteArray(50 * 1024 * 1024, 'w') + " end.");
    QAccessibleTextInterface* t = accessibleText(box.view);
    const std::int64_t read = textaccess::charactersRead();
    int start, stop;
    const QString lastRow = t->textAtOffset(-1, QAccessible::LineBoundary, &start, &stop);
    QVERIFY(lastRow.endsWith(QStringLiteral(" end.")) && lastRow.size() == stop - start);
    QVERIFY(lastRow.size() <= box.view.columns());
    QCOMPARE(t->textAtOffset(30000000, QAccessible::WordBoundary, &start, &stop).size(), 4096);
    QCOMPARE(t->textBeforeOffset(-1, QAccessible::SentenceBoundary, &start, &stop),
             QStringLiteral(" end."));
    QCOMPARE(t->textAtOffset(10, QAccessible::ParagraphBoundary, &start, &stop).size(), 4096);
    QCOMPARE(t->textAtOffset(10, QAccessible::NoBoundary, &start, &stop).size(), 65536);
    QCOMPARE(QPair(start, stop), QPair(0, 65536));
    QVERIFY(textaccess::charactersRead() - read < 4 * 4096 + 65536 + 2 * box.view.columns());
}

QTEST_MAIN(TstTextView)
#include "tst_textview.moc"
