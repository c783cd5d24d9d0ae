#pragma once

// Helpers shared by the fault suites (tst_faults_*.cpp): what the box must show for the
// bytes received, a clock that lets a connect complete without real waiting, a record of
// the chunks the socket handed over, and the process's own descriptors, memory and CPU.

#include "address/remoteaddress.h"
#include "platform/base/clock.h"
#include "platform/link/socketcontrol.h"
#include "support/appharness.h"
#include "support/loopbackserver.h"
#include "support/testutil.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QThread>
#include <QtTest>

#include <functional>
#include <random>

#include <sys/resource.h>

namespace faults {

constexpr int Wait = 10000;

// `size` bytes of every value, NUL, 0x80 to 0xFF and lone CR and LF included, from a
// fixed seed; never an address answer.
inline QByteArray hostileBytes(qsizetype size, std::uint32_t seed = 7) {
    std::mt19937 rng(seed);
    QByteArray out(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        out[i] = char(rng() & 0xFF);
    out.replace("IP: ", "ip: ");
    return out;
}

// A clock for a real loopback connect: every reading first lets events run until the
// window's socket has left its connecting state (or 5 s pass), then moves on by two
// seconds. The two-second wait of a connect thus ends at its first check, with the
// connection complete, and a connect costs no real waiting. While `hold` is set the
// clock stands still (a wait goes on until the test moves `now`).
class PumpingClock : public Clock {
public:
    std::int64_t nowSeconds() const override {
        if (hold)
            return now;
        QDeadlineTimer deadline(5000);
        while (socket && socket->state() == SocketControl::State::Connecting &&
               !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            QThread::msleep(1);
        }
        now += 2;
        return now;
    }
    SocketControl* socket = nullptr;
    bool hold = false;
    mutable std::int64_t now = 1'000'000;
};

// A window with a real socket aimed at `server`, and a pumping clock.
struct TcpApp {
    explicit TcpApp(const LoopbackServer& server, std::function<void(ScratchHome&)> before = {})
        : clock(std::make_shared<PumpingClock>()), app([&] {
              AppHarness::Options o;
              o.recordingSocket = false;
              o.remotePort = server.port();
              o.clock = clock;
              o.beforeStart = std::move(before);
              return o;
          }()) {
        clock->socket = app->Winsock1;
    }
    // Points the window at 127.0.0.1 and clicks "Connect TCP/IP"; true once the window
    // counts the link as up.
    bool connect() {
        app->address().ParseIpAnswer(QStringLiteral("IP: 127.0.0.1."));
        app->btnConnect[0]->click();
        return app->tcpConnected == True;
    }
    std::shared_ptr<PumpingClock> clock;
    AppHarness app;
};

// The sizes of the chunks the socket handed to the window, in order. Connected after the
// window's own handler, so each size is what that handler took.
struct Chunks {
    explicit Chunks(SocketControl* socket) {
        QObject::connect(socket, &SocketControl::DataArrival, &context,
                         [this](std::int32_t n) { sizes << n; });
    }
    // The log as the TCP/IP path writes it after `prefix`: each chunk as one print line.
    QByteArray asLogged(const QByteArray& prefix, const QByteArray& stream) const {
        QByteArray out = prefix;
        qsizetype at = 0;
        for (const std::int32_t n : sizes) {
            out += stream.mid(at, n) + "\r\n";
            at += n;
        }
        return out;
    }
    qint64 total() const {
        qint64 t = 0;
        for (const std::int32_t n : sizes)
            t += n;
        return t;
    }
    QObject context;
    QList<std::int32_t> sizes;
};

// Lets events run until `done` holds (true) or `ms` pass (false).
inline bool waitUntil(const std::function<bool()>& done, int ms = Wait) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(2);
    }
    return true;
}

inline int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

// Lets events run for `ms`; returns the CPU seconds the process used meanwhile.
inline double cpuWhileIdle(int ms) {
    const double before = cpuSeconds();
    QTest::qWait(ms);
    return cpuSeconds() - before;
}

inline qint64 fileSize(const QString& path) {
    return QFileInfo(path).size();
}

} // namespace faults
