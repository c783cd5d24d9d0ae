#pragma once

#include "app/mainwindow.h"
#include "support/fakes.h"
#include "support/ptypeer.h"
#include "support/scratchhome.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

// The main window built the way the program builds it, in a scratch QUORLANE_HOME with
// a pseudo-terminal linked as COM 5, a recording message box and a scripted file dialog.
class AppHarness {
public:
    struct Options {
        // COM 5 is linked to a pseudo-terminal; otherwise it is a dangling link.
        bool com5 = true;
        // The harness leaves dosdevices/com5 alone (for a test whose beforeStart starts
        // quorlane-unit, which links its own pseudo-terminal there); `com5` is ignored.
        bool leaveCom5 = false;
        // A test clock that moves one second per reading, so a timed wait passes quickly
        // (events still run between the readings); otherwise the real clock.
        bool fastClock = false;
        // A clock of the test's own (takes precedence over fastClock).
        std::shared_ptr<Clock> clock;
        // A recording socket (no network at all); otherwise a real socket whose remote
        // port is `remotePort`.
        bool recordingSocket = true;
        // The recording socket's connects fail (an unreachable unit).
        bool refuseConnect = false;
        std::uint16_t remotePort = 0;
        // Runs in the scratch home before the window is created.
        std::function<void(ScratchHome&)> beforeStart;
    };

    AppHarness();
    explicit AppHarness(Options options);
    ~AppHarness();

    frmQuorlaneTest& window() { return *window_; }
    frmQuorlaneTest* operator->() { return window_.get(); }

    // The receive log on disk.
    QString logPath() const;
    QByteArray logBytes() const;

    ScratchHome home;
    std::unique_ptr<PtyPeer> com5;
    std::shared_ptr<RecordingMessageBox> messages = std::make_shared<RecordingMessageBox>();
    std::shared_ptr<ScriptedFileDialog> dialogs = std::make_shared<ScriptedFileDialog>();
    std::shared_ptr<TestClock> clock;
    RecordingSocketControl* socket = nullptr; // with a recording socket

private:
    std::unique_ptr<frmQuorlaneTest> window_;
};

// A clock that moves on by one second each time it is read.
class SteppingClock : public TestClock {
public:
    std::int64_t nowSeconds() const override {
        ++reads;
        return now + reads;
    }
};
