// The one-second timer, measured: how far apart the commands of the polling cycle arrive
// at a loopback server standing in for the unit when the window's real Timer1 drives it.
//
//   bench_timer [commands]
//
// The main window is built as the tests build it (a scratch QUORLANE_HOME, COM 5 a
// pseudo-terminal, a real socket, the real clock). It connects to a server on 127.0.0.1
// (the connect's two-second wait included), switches polling on, and notes when each
// command arrives, for `commands` commands (8 unless given). It prints every gap, the
// mean, smallest and largest gap, and the mean as a ratio of Timer1's interval. It only
// prints figures; it fails only when the commands stop coming.

#include "commands/commands.h"
#include "platform/widgets/controls.h"
#include "support/appharness.h"
#include "support/loopbackserver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QUORLANE_LOOPBACK_ONLY", "1");
    QApplication app(argc, argv);
    const int commands = argc > 1 ? std::atoi(argv[1]) : 8;
    if (commands < 2) {
        std::fprintf(stderr, "usage: %s [commands, at least 2]\n", argv[0]);
        return 2;
    }

    LoopbackServer server;
    AppHarness::Options o;
    o.recordingSocket = false;
    o.remotePort = server.port();
    AppHarness harness(o);
    frmQuorlaneTest& w = harness.window();
    w.txtTcp1->setText(QStringLiteral("127"));
    w.txtTcp2->setText(QStringLiteral("0"));
    w.txtTcp3->setText(QStringLiteral("0"));
    w.txtTcp4->setText(QStringLiteral("1"));
    w.btnConnect_Click(0);
    if (w.tcpConnected != True || !server.waitForBytes(3, 5000)) {
        std::fprintf(stderr, "the connect to 127.0.0.1 failed\n");
        return 1;
    }

    // Each command is three bytes; the time it was complete at the server is its arrival.
    QList<double> at;
    QElapsedTimer clock;
    w.commands().btnTest_Click(5);
    clock.start();
    while (at.size() < commands) {
        const qsizetype next = 3 + 3 * (at.size() + 1);
        if (!server.waitForBytes(next, 5000)) {
            std::fprintf(stderr, "no command for 5 s after %lld\n",
                         static_cast<long long>(at.size()));
            return 1;
        }
        at << double(clock.nsecsElapsed()) / 1e6;
    }

    const int interval = w.Timer1->interval();
    std::printf("Timer1 every %d ms; %d commands; the first %.1f ms after polling was "
                "switched on\n",
                interval, commands, at.first());
    QList<double> gaps;
    for (qsizetype i = 1; i < at.size(); ++i) {
        gaps << at[i] - at[i - 1];
        std::printf("gap %lld: %.1f ms\n", static_cast<long long>(i), gaps.last());
    }
    const double mean = (at.last() - at.first()) / double(gaps.size());
    std::printf("gaps: mean %.1f ms, smallest %.1f ms, largest %.1f ms; mean / interval %.3f\n",
                mean, *std::min_element(gaps.begin(), gaps.end()),
                *std::max_element(gaps.begin(), gaps.end()), mean / interval);
    return 0;
}
