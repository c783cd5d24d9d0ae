// The four octet boxes of the unit's address and the address answer, on the real main
// window: what an edit keeps or puts back (typed or written by the program, in the
// user's locale and in a comma locale), that the change handling ends, and what
// ParseIpAnswer takes from texts of every shape and size.

#include "address/remoteaddress.h"
#include "platform/widgets/controls.h"
#include "support/appharness.h"

#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <array>
#include <clocale>

namespace {

const std::array<QString, 4> Start = {QStringLiteral("11"), QStringLiteral("22"),
                                      QStringLiteral("33"), QStringLiteral("44")};

// "{dp}" stands for the locale's decimal separator, "{other}" for the other of "." and ",".
QString localised(QString text) {
    const QString dp = QLocale().decimalPoint();
    return text.replace(QLatin1String("{dp}"), dp)
        .replace(QLatin1String("{other}"),
                 dp == QLatin1String(",") ? QStringLiteral(".") : QStringLiteral(","));
}

} // namespace

class RemoteAddressTest : public QObject {
    Q_OBJECT

    std::unique_ptr<AppHarness> app;
    std::array<std::unique_ptr<QSignalSpy>, 4> changes;

    frmQuorlaneTest& w() { return app->window(); }
    TextBox* box(int k) {
        return std::array{w().txtTcp1, w().txtTcp2, w().txtTcp3, w().txtTcp4}[k];
    }
    QStringList texts() { return {box(0)->Text(), box(1)->Text(), box(2)->Text(), box(3)->Text()}; }
    QStringList octets() { return {w().remoteOctets.begin(), w().remoteOctets.end()}; }
    QList<int> counts() {
        return {int(changes[0]->count()), int(changes[1]->count()), int(changes[2]->count()),
                int(changes[3]->count())};
    }
    void resetCounts() {
        for (auto& c : changes)
            c->clear();
    }
    // Adds every row once in the user's locale and once in a comma locale (the first
    // column is the locale's name).
    template <typename AddRow> static void inBothLocales(AddRow addRow) {
        // The second locale has the other decimal separator.
        const QString system = QLocale::system().name();
        addRow(system);
        addRow(QLocale::system().decimalPoint() == QLatin1String(",") ? QStringLiteral("en_US")
                                                                      : QStringLiteral("de_DE"));
    }

private slots:
    void initTestCase();
    void init();
    void cleanup() { QLocale::setDefault(QLocale::system()); }
    void programWrites_data();
    void programWrites();
    void typing_data();
    void typing();
    void parseIpAnswer_data();
    void parseIpAnswer();
    void answersOfAnyLength();
    void longFieldsStayWhole();
    void commaInTheCLibrary();
};

void RemoteAddressTest::initTestCase() {
    app = std::make_unique<AppHarness>();
    w().Timer1->stop();
    for (int k = 0; k < 4; ++k)
        changes[k] = std::make_unique<QSignalSpy>(box(k), &TextBox::Change);
}

void RemoteAddressTest::init() {
    for (int k = 0; k < 4; ++k) {
        w().remoteOctets[k] = Start[k];
        box(k)->setText(Start[k]);
    }
    QCOMPARE(texts(), QStringList(Start.begin(), Start.end()));
    resetCounts();
}

void RemoteAddressTest::programWrites_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("kept");
    inBothLocales([](const QString& locale) {
        const struct {
            const char* text;
            bool kept;
        } rows[] = {
            {"255", true},      {"256", false},      {"0", true},      {"000", true},
            {"007", true},      {"-1", false},       {"abc", false},   {"", false},
            {"1{dp}5", true},   {"2{dp}5", true},    {"{dp}5", true},  {"-{dp}5", true},
            {"-{dp}6", false},  {"1{dp}", true},     {"{dp}", false},  {"1{other}5", false},
            {"1e2", true},      {"2E2", true},       {"3e2", false},   {"9e9", false},
            {"1e", false},      {"e1", false},       {" 7 ", true},    {"+5", true},
            {"- 5", false},     {"0x1", false},      {"&H1", false},   {"$1", false},
            {"1 2", false},     {"inf", false},      {"nan", false},   {"1{other}000", false},
            {"255{dp}4", true}, {"255{dp}5", false}, {"1e999", false}, {"32768", false}};
        for (const auto& r : rows)
            QTest::addRow("%s: \"%s\"", qPrintable(locale), r.text)
                << locale << QString::fromLatin1(r.text) << r.kept;
    });
}

// Every case on every box: a kept text is stored as written; anything else brings back
// the stored octet of that box alone, after exactly one more change.
void RemoteAddressTest::programWrites() {
    QFETCH(QString, locale);
    QFETCH(QString, text);
    QFETCH(bool, kept);
    QLocale::setDefault(QLocale(locale));
    text = localised(text);
    for (int k = 0; k < 4; ++k) {
        init();
        QStringList expected(Start.begin(), Start.end());
        if (kept)
            expected[k] = text;
        box(k)->setText(text);
        QCOMPARE(texts(), expected);
        QCOMPARE(octets(), expected);
        QList<int> expectedCounts{0, 0, 0, 0};
        expectedCounts[k] = kept ? 1 : 2;
        QCOMPARE(counts(), expectedCounts);
        // The same text once more changes nothing and runs nothing.
        resetCounts();
        box(k)->setText(box(k)->Text());
        QCOMPARE(counts(), (QList<int>{0, 0, 0, 0}));
    }
}

void RemoteAddressTest::typing_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("keys"); // '*' selects all, '<' is Backspace
    QTest::addColumn<QString>("after");
    QTest::addColumn<int>("changeCount");
    inBothLocales([](const QString& locale) {
        const struct {
            const char *name, *before, *keys, *after;
            int changes;
        } rows[] = {
            {"255 is kept", "25", "5", "255", 1},
            {"256 brings back 25", "25", "6", "25", 2},
            {"every digit of 255 over a selection", "11", "*255", "255", 3},
            {"a letter", "1", "a", "1", 2},
            {"deleting the last character", "19", "<<", "1", 3},
            {"000", "0", "00", "000", 2},
            {"1.5 in the locale's form", "1", "{dp}5", "1{dp}5", 2},
            {"the other separator", "1", "{other}", "1", 2},
            {"no fourth character", "255", "5", "255", 0},
            {"no fourth character after 1.5", "1{dp}5", "1", "1{dp}5", 0},
        };
        for (const auto& r : rows)
            QTest::addRow("%s: %s", qPrintable(locale), r.name)
                << locale << QString::fromLatin1(r.before) << QString::fromLatin1(r.keys)
                << QString::fromLatin1(r.after) << r.changes;
    });
}

// Keys typed into a box go through the same change handling as a program write, one
// keystroke at a time.
void RemoteAddressTest::typing() {
    QFETCH(QString, locale);
    QFETCH(QString, before);
    QFETCH(QString, keys);
    QFETCH(QString, after);
    QFETCH(int, changeCount);
    QLocale::setDefault(QLocale(locale));
    before = localised(before);
    keys = localised(keys);
    after = localised(after);
    for (int k = 0; k < 4; ++k) {
        init();
        box(k)->setText(before);
        QCOMPARE(w().remoteOctets[k], before);
        resetCounts();
        for (const QChar c : keys) {
            if (c == QLatin1Char('*'))
                box(k)->selectAll();
            else if (c == QLatin1Char('<'))
                QTest::keyClick(box(k), Qt::Key_Backspace);
            else
                QTest::keyClicks(box(k), QString(c));
        }
        QStringList expected(Start.begin(), Start.end());
        expected[k] = after;
        QCOMPARE(texts(), expected);
        QCOMPARE(octets(), expected);
        QCOMPARE(changes[k]->count(), changeCount);
    }
}

void RemoteAddressTest::parseIpAnswer_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QStringList>("stored");
    const QStringList start(Start.begin(), Start.end());
    QTest::newRow("complete") << "IP: 10.0.2.7." << true << QStringList{"10", "0", "2", "7"};
    QTest::newRow("text around") << "QL-UNIT\r\nIP: 192.0.2.7.\r\nnext 8.8." << true
                                 << QStringList{"192", "0", "2", "7"};
    QTest::newRow("fourth field unended") << "IP: 192.0.2.7\r\n"
                                          << false << QStringList{"192", "0", "2", "44"};
    QTest::newRow("one field") << "IP: 5.6" << false << QStringList{"5", "22", "33", "44"};
    QTest::newRow("none") << "no address 1.2.3.4." << false << start;
    QTest::newRow("lower case") << "ip: 1.2.3.4." << false << start;
    QTest::newRow("no blank") << "IP:1.2.3.4." << false << start;
    QTest::newRow("non-numeric fields")
        << "IP: abc. 300.-1.." << true << QStringList{"abc", " 300", "-1", ""};
    QTest::newRow("two answers") << "IP: 1.1.1.1. IP: 2.2.2.2." << true
                                 << QStringList{"1", "1", "1", "1"};
    QTest::newRow("more fields") << "IP: 5.6.7.8.9.10." << true << QStringList{"5", "6", "7", "8"};
}

void RemoteAddressTest::parseIpAnswer() {
    QFETCH(QString, text);
    QFETCH(bool, taken);
    QFETCH(QStringList, stored);
    const QString address = w().remoteAddress;
    QCOMPARE(w().address().ParseIpAnswer(text), taken ? True : False);
    QCOMPARE(octets(), stored);
    // The boxes show what was taken (whatever it is, and it stays), or are left alone.
    const QStringList shown = taken ? stored : QStringList(Start.begin(), Start.end());
    QCOMPARE(texts(), shown);
    for (int k = 0; k < 4; ++k)
        QCOMPARE(changes[k]->count(), shown[k] == Start[k] ? 0 : 1);
    QCOMPARE(w().remoteAddress, address);
    QVERIFY(app->socket->connects.isEmpty());

    // An edit of a box that holds a non-numeric field brings the field back.
    if (taken && stored[0] == QLatin1String("abc")) {
        resetCounts();
        box(0)->selectAll();
        QTest::keyClicks(box(0), QStringLiteral("x"));
        box(3)->setText(QStringLiteral("x"));
        QCOMPARE(texts(), stored);
        QCOMPARE(counts(), (QList<int>{2, 0, 0, 2}));
    }
}

void RemoteAddressTest::answersOfAnyLength() {
    const QString junk = QString(512 * 1024, QLatin1Char('x'));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(w().address().ParseIpAnswer(junk + QStringLiteral("IP: 9.8.7.6.") + junk), True);
    QCOMPARE(texts(), (QStringList{"9", "8", "7", "6"}));
    QCOMPARE(w().address().ParseIpAnswer(junk + junk), False);
    QCOMPARE(w().address().ParseIpAnswer(QStringLiteral("IP: 1.2.") + junk + junk), False);
    QCOMPARE(octets(), (QStringList{"1", "2", "7", "6"}));
    QVERIFY2(timer.elapsed() < 20000, "a spin, not a parse");
}

// Fields longer than a box takes from the keyboard are kept whole, also in the box; the
// operator cannot make them longer.
void RemoteAddressTest::longFieldsStayWhole() {
    const QString huge(40000, QLatin1Char('7'));
    const QStringList fields{"1234", "      9", "abcd", huge};
    QCOMPARE(
        w().address().ParseIpAnswer(QStringLiteral("IP: ") + fields.join(QLatin1Char('.')) + "."),
        True);
    QCOMPARE(octets(), fields);
    QCOMPARE(texts(), fields);
    resetCounts();
    for (int k = 0; k < 4; ++k) {
        box(k)->end(false);
        QTest::keyClicks(box(k), QStringLiteral("1"));
    }
    QCOMPARE(texts(), fields);
    QCOMPARE(octets(), fields);
}

// The C library's numeric locale is the user's as well (the application takes it from the
// environment); its separator must not change what a text means in the locale used.
void RemoteAddressTest::commaInTheCLibrary() {
    struct Restore {
        QByteArray numeric = std::setlocale(LC_NUMERIC, nullptr);
        QByteArray path = qgetenv("LOCPATH");
        ~Restore() {
            std::setlocale(LC_NUMERIC, numeric.constData());
            path.isEmpty() ? qunsetenv("LOCPATH") : qputenv("LOCPATH", path);
        }
    } restore;
    const char* name = "de_DE.ISO-8859-1";
    QTemporaryDir made;
    if (!std::setlocale(LC_NUMERIC, name)) {
        QProcess::execute(QStringLiteral("localedef"),
                          {"-i", "de_DE", "-f", "ISO-8859-1", made.filePath(name)});
        qputenv("LOCPATH", QFile::encodeName(made.path()));
        if (!std::setlocale(LC_NUMERIC, name))
            QSKIP("no comma locale for the C library here");
    }
    QCOMPARE(std::localeconv()->decimal_point, ",");
    const struct {
        const char *locale, *text;
        bool kept;
    } rows[] = {{"en_US", "255.5", false}, {"en_US", "-.6", false}, {"en_US", "1.6e2", true},
                {"en_US", "2.6e2", false}, {"en_US", "1,5", false}, {"de_DE", "255,5", false},
                {"de_DE", "1,6e2", true},  {"de_DE", "1.5", false}};
    for (const auto& r : rows) {
        QLocale::setDefault(QLocale(QString::fromLatin1(r.locale)));
        init();
        box(0)->setText(QString::fromLatin1(r.text));
        QCOMPARE(box(0)->Text(), r.kept ? QString::fromLatin1(r.text) : Start[0]);
    }
}

QTEST_MAIN(RemoteAddressTest)
#include "tst_remote_address.moc"
