#pragma once

// The libFuzzer entry points shared by the address fuzzers: each defines
// QUORLANE_FUZZ_NAME and QUORLANE_FUZZ_RUN (a function from the input to a failure text,
// empty when every invariant held) before including this file.

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
    static char name[] = QUORLANE_FUZZ_NAME;
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    Q_UNUSED(app);
    addressfuzz::rig();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString failure = QUORLANE_FUZZ_RUN(
        QByteArrayView(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    if (!failure.isEmpty()) {
        std::fprintf(stderr, QUORLANE_FUZZ_NAME ": %s\n", failure.toLocal8Bit().constData());
        std::abort();
    }
    return 0;
}
