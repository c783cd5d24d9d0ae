// libFuzzer entry point for the octet boxes' change handling: scripts of program writes, typing,
// backspaces and address answers over the four boxes, in a point and a comma locale.
// The input's meaning and the invariants checked are described in addressfuzz.h; an
// input that breaks one prints what broke and aborts.

#include "addressfuzz.h"

#include <QApplication>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The boxes are widgets; the offscreen platform needs no display. The application is
    // never destroyed, so nothing of Qt is torn down while libFuzzer runs its exit
    // handlers. libFuzzer's own arguments stay away from Qt.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz_octet";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    Q_UNUSED(app);
    addressfuzz::rig();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString failure = addressfuzz::octetScript(
        QByteArrayView(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "fuzz_octet: %s\n", failure.toLocal8Bit().constData());
        std::abort();
    }
    return 0;
}
