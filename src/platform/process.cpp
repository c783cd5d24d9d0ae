#include "platform/process.h"

#include <QtGlobal>

#ifndef Q_OS_WIN
#include <csignal>
#endif

void prepareProcess() {
#ifndef Q_OS_WIN
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
#endif
}
