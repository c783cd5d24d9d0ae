// libFuzzer entry point for the rich-text reader.
//
// Every input is read into one long-lived document, and the document is then laid out
// at a fixed width, as the rich-text box does when it shows it. Beyond the sanitizers'
// findings an input fails when the reader's answer disagrees with looksLikeRtf or when
// the document holds more characters than the input has bytes.

#include "platform/text/rtfreader.h"

#include <QAbstractTextDocumentLayout>
#include <QByteArrayView>
#include <QGuiApplication>
#include <QTextDocument>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QTextDocument* document = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Text documents measure fonts, which needs a GUI application; the offscreen
    // platform needs no display. libFuzzer's own arguments stay away from Qt.
    //
    // The application and the document are never destroyed, so that nothing of Qt is
    // torn down while libFuzzer still runs its exit handlers. (What fontconfig leaves
    // behind at exit is suppressed in lsan.supp.)
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz_rtf";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = new QGuiApplication(argc, argv);
    Q_UNUSED(app);
    document = new QTextDocument;
    document->setTextWidth(400);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const bool read = readRtf(bytes, *document);
    if (read != looksLikeRtf(bytes)) {
        std::fprintf(stderr, "readRtf and looksLikeRtf disagree\n");
        std::abort();
    }
    if (!read)
        return 0;
    if (document->characterCount() - 1 > bytes.size()) {
        std::fprintf(stderr, "%d characters from %zu bytes\n", document->characterCount() - 1,
                     size);
        std::abort();
    }
    document->documentLayout()->documentSize();
    return 0;
}
