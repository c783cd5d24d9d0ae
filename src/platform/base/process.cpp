#include "platform/base/process.h"

#include <QSocketNotifier>
#include <QtGlobal>

#ifndef Q_OS_WIN
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>
#endif

void prepareProcess() {
#ifndef Q_OS_WIN
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

#ifndef Q_OS_WIN
namespace {

constexpr int kTerminationSignals[] = {SIGTERM, SIGHUP, SIGINT};
constexpr int kSignalCount = int(std::size(kTerminationSignals));

// What each signal did before it was caught, so that it does so again afterwards.
struct sigaction previousActions[kSignalCount];
bool caught[kSignalCount] = {};

// The pipe the handler writes to: read end, write end. Set before the handlers are
// installed and cleared after they are removed.
int signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe already holds a request; losing this one changes nothing.
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &number, 1);
    errno = saved;
}

} // namespace
#endif

TerminationRequests::TerminationRequests(std::function<void(int)> onRequest, QObject* parent)
    : QObject(parent), onRequest_(std::move(onRequest)) {
#ifndef Q_OS_WIN
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationRequests::readPipe);
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int s : kTerminationSignals)
        sigaddset(&action.sa_mask, s);
    for (int i = 0; i < kSignalCount; ++i) {
        struct sigaction& previous = previousActions[i];
        caught[i] = ::sigaction(kTerminationSignals[i], nullptr, &previous) == 0 &&
                    // A signal the program was started to ignore (nohup, a background
                    // job's SIGINT) stays ignored.
                    previous.sa_handler != SIG_IGN &&
                    ::sigaction(kTerminationSignals[i], &action, nullptr) == 0;
    }
#endif
}

TerminationRequests::~TerminationRequests() {
#ifndef Q_OS_WIN
    if (!notifier_)
        return;
    for (int i = 0; i < kSignalCount; ++i) {
        if (caught[i])
            ::sigaction(kTerminationSignals[i], &previousActions[i], nullptr);
        caught[i] = false;
    }
    delete notifier_;
    notifier_ = nullptr;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
#endif
}

void TerminationRequests::readPipe() {
#ifndef Q_OS_WIN
    unsigned char numbers[64];
    ssize_t n;
    do {
        n = ::read(signalPipe[0], numbers, sizeof numbers);
    } while (n < 0 && errno == EINTR);
    // Several signals at once make one request: closing twice is closing once.
    if (n > 0 && onRequest_)
        onRequest_(numbers[n - 1]);
#endif
}
