// The address fuzzers' entries, run as an ordinary test: every seed of the corpora in
// fuzz/corpus, then a fixed-seed mutation run of a few thousand inputs built from them
// (byte flips, cuts, copies, and the pieces the parsers care about). scripts/fuzz.sh runs
// the same entries under libFuzzer for as long as wanted.

#include "addressfuzz.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <random>

namespace {

using Entry = QString (*)(QByteArrayView);

QList<QByteArray> seeds(const QString& corpus) {
    QList<QByteArray> out;
    const QDir dir(QStringLiteral(QUORLANE_SOURCE_DIR "/fuzz/corpus/") + corpus);
    for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
        QFile f(dir.filePath(name));
        if (f.open(QIODevice::ReadOnly))
            out << f.readAll();
    }
    return out;
}

QByteArray mutate(QByteArray in, std::mt19937& rng, const QList<QByteArray>& pool) {
    static const QList<QByteArray> pieces = {"IP: ",
                                             ".",
                                             ",",
                                             "e",
                                             "-",
                                             "+",
                                             " ",
                                             "\t",
                                             "255",
                                             "256",
                                             "0.5",
                                             "\r\n",
                                             QByteArray(1, '\0'),
                                             "\xff"};
    auto pick = [&](qsizetype n) { return qsizetype(rng() % std::uint32_t(n)); };
    const int edits = 1 + int(rng() % 4);
    for (int e = 0; e < edits; ++e) {
        const qsizetype at = pick(in.size() + 1);
        switch (rng() % 5) {
        case 0:
            if (!in.isEmpty())
                in[pick(in.size())] = char(rng());
            break;
        case 1:
            in.remove(at, pick(8) + 1);
            break;
        case 2:
            in.insert(at, pieces[pick(pieces.size())]);
            break;
        case 3: {
            const QByteArray& other = pool[pick(pool.size())];
            const qsizetype from = pick(other.size() + 1);
            in.insert(at, other.mid(from, pick(16) + 1));
            break;
        }
        default:
            in.insert(at, QByteArray(1, char(rng())));
            break;
        }
    }
    return in.left(4096);
}

} // namespace

class FaultsFuzzTest : public QObject {
    Q_OBJECT
private slots:
    void entries_data();
    void entries();
};

void FaultsFuzzTest::entries_data() {
    QTest::addColumn<QString>("corpus");
    QTest::addColumn<void*>("entry");
    QTest::newRow("ipanswer") << QStringLiteral("ipanswer")
                              << reinterpret_cast<void*>(&addressfuzz::ipAnswer);
    QTest::newRow("octet") << QStringLiteral("octet")
                           << reinterpret_cast<void*>(&addressfuzz::octetScript);
}

void FaultsFuzzTest::entries() {
    QFETCH(QString, corpus);
    QFETCH(void*, entry);
    const auto run = reinterpret_cast<Entry>(entry);
    const QList<QByteArray> pool = seeds(corpus);
    QVERIFY2(pool.size() >= 5, "the seed corpus is missing");
    for (const QByteArray& seed : pool) {
        const QString failure = run(seed);
        QVERIFY2(failure.isEmpty(), qPrintable(seed.toPercentEncoding() + ": " + failure));
    }
    std::mt19937 rng(20180820);
    QElapsedTimer clock;
    clock.start();
    int runs = 0;
    for (; runs < 3000 && clock.elapsed() < 15000; ++runs) {
        const QByteArray input = mutate(pool[qsizetype(rng() % pool.size())], rng, pool);
        const QString failure = run(input);
        QVERIFY2(failure.isEmpty(),
                 qPrintable(QStringLiteral("run %1, input %2: %3")
                                .arg(runs)
                                .arg(QString::fromLatin1(input.toPercentEncoding()), failure)));
    }
    // A slow machine (or a sanitizer build) may run fewer, but never only a handful.
    QVERIFY2(runs >= 500, qPrintable(QStringLiteral("only %1 runs").arg(runs)));
}

QTEST_MAIN(FaultsFuzzTest)
#include "tst_faults_fuzz.moc"
