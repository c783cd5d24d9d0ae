// The long mutation run of the rich-text reader.
//
//   bench_rtf_mutations [count [seed-file-or-folder ...]]
//
// Reads `count` mutated documents (200,000 unless given) made by the same fixed-seed
// mutator the test suite uses, and prints how many inputs and bytes per second go
// through, with and without the time spent making them. The seeds are the built-in ones, the help
// document and the libFuzzer seed corpus when the source tree is at hand, and any files named on
// the command line. Exits non-zero when an input makes more characters than it has bytes. Run it
// under the sanitizers (-DQUORLANE_SANITIZE=ON) to have crashes and undefined behaviour reported
// too.
//
// First it prints the figures for two large inputs that the test suite reads for their result
// only: the help document's body over and over to 10 MB, and groups nested 100,000 deep.

#include "platform/text/rtfreader.h"

#include "rtfmutator.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTextDocument>

#include <cstdio>
#include <cstdlib>

namespace {

void addSeed(std::vector<QByteArray>& seeds, const QString& path) {
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        seeds.push_back(file.readAll());
}

void addSeeds(std::vector<QByteArray>& seeds, const QString& path) {
    const QFileInfo info(path);
    if (info.isDir()) {
        const QDir dir(path);
        for (const QString& name : dir.entryList(QDir::Files, QDir::Name))
            addSeed(seeds, dir.filePath(name));
    } else if (info.isFile()) {
        addSeed(seeds, path);
    }
}

void largeInputFigures(const QByteArray& help) {
    QTextDocument doc;
    QElapsedTimer timer;
    const qsizetype bodyStart = help.indexOf("\\pard");
    if (bodyStart < 0) {
        std::printf("help document not found: no figure for a large document\n");
    } else {
        const QByteArray body = help.mid(bodyStart, help.lastIndexOf('}') - bodyStart);
        QByteArray data = help.left(bodyStart);
        while (data.size() < 10 * 1000 * 1000)
            data += body;
        data += '}';
        timer.start();
        readRtf(data, doc);
        const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        std::printf("help document to %.1f MB: %.0f ms, %.1f MB/s, %d paragraphs\n",
                    static_cast<double>(data.size()) / 1e6, ms,
                    static_cast<double>(data.size()) / 1e3 / ms, doc.blockCount());
    }
    constexpr int depth = 100000;
    const QByteArray deep =
        "{\\rtf1 " + QByteArray(depth, '{') + "deep" + QByteArray(depth, '}') + "after}";
    timer.start();
    readRtf(deep, doc);
    std::printf("groups nested %d deep: %.1f ms\n", depth,
                static_cast<double>(timer.nsecsElapsed()) / 1e6);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    long long count = 200000;
    if (argc > 1) {
        count = std::atoll(argv[1]);
        if (count <= 0) {
            std::fprintf(stderr, "usage: %s [count [seed-file-or-folder ...]]\n", argv[0]);
            return 2;
        }
    }

    std::vector<QByteArray> seeds = rtffuzz::builtinSeeds();
    const QDir sourceRoot =
        QFileInfo(QStringLiteral(__FILE__)).dir().filePath(QStringLiteral(".."));
    {
        QFile help(sourceRoot.filePath(QStringLiteral("src/subsystems/help/NetworkTCPSetup.rtf")));
        largeInputFigures(help.open(QIODevice::ReadOnly) ? help.readAll() : QByteArray());
    }
    addSeeds(seeds, sourceRoot.filePath(QStringLiteral("src/subsystems/help/NetworkTCPSetup.rtf")));
    addSeeds(seeds, sourceRoot.filePath(QStringLiteral("fuzz/corpus/rtf")));
    for (int i = 2; i < argc; ++i)
        addSeeds(seeds, QString::fromLocal8Bit(argv[i]));
    const std::size_t seedCount = seeds.size();

    rtffuzz::RtfMutator mutator(0x5EED'0002, std::move(seeds));
    QTextDocument doc;
    long long bytes = 0;
    qint64 readerNs = 0;
    qint64 slowestNs = 0;
    QByteArray slowest;
    QElapsedTimer total;
    total.start();
    for (long long i = 0; i < count; ++i) {
        const QByteArray data = mutator.next();
        bytes += data.size();
        QElapsedTimer one;
        one.start();
        const bool read = readRtf(data, doc);
        const qint64 ns = one.nsecsElapsed();
        readerNs += ns;
        if (ns > slowestNs) {
            slowestNs = ns;
            slowest = data;
        }
        if (read && doc.characterCount() - 1 > data.size()) {
            std::fprintf(stderr, "input %lld: %d characters from %lld bytes\n%s\n", i,
                         doc.characterCount() - 1, static_cast<long long>(data.size()),
                         data.toBase64().constData());
            return 1;
        }
    }
    const double seconds = static_cast<double>(total.nsecsElapsed()) / 1e9;
    std::printf("%lld mutated inputs from %zu seeds, %.1f MB, in %.2f s: %.0f inputs/s, "
                "%.1f MB/s\n",
                count, seedCount, static_cast<double>(bytes) / 1e6, seconds,
                static_cast<double>(count) / seconds, static_cast<double>(bytes) / 1e6 / seconds);
    std::printf("reading alone: %.2f s, %.0f inputs/s\n", static_cast<double>(readerNs) / 1e9,
                static_cast<double>(count) / (static_cast<double>(readerNs) / 1e9));
    std::printf("slowest input: %lld bytes in %.2f ms\n", static_cast<long long>(slowest.size()),
                static_cast<double>(slowestNs) / 1e6);
    return 0;
}
