#include "support/appharness.h"

#include <QFile>

AppHarness::AppHarness() : AppHarness(Options{}) {}

AppHarness::AppHarness(Options options) {
    if (options.leaveCom5) {
        // Someone else links COM 5.
    } else if (options.com5) {
        com5 = std::make_unique<PtyPeer>();
        com5->linkAs(home, 5);
    } else {
        home.linkMissing(5);
    }
    if (options.beforeStart)
        options.beforeStart(home);

    PlatformParts parts;
    parts.messageBox = messages;
    parts.fileDialog = dialogs;
    if (options.clock) {
        parts.clock = options.clock;
    } else if (options.fastClock) {
        clock = std::make_shared<SteppingClock>();
        parts.clock = clock;
    }
    if (options.recordingSocket) {
        parts.makeSocket = [this, refuse = options.refuseConnect] {
            auto s = std::make_unique<RecordingSocketControl>();
            s->refuse = refuse;
            socket = s.get();
            return s;
        };
    } else {
        const std::uint16_t port = options.remotePort;
        parts.makeSocket = [port] {
            auto s = std::make_unique<TcpSocketControl>();
            s->setRemotePort(port);
            return s;
        };
    }
    window_ = std::make_unique<frmQuorlaneTest>(std::move(parts));
}

AppHarness::~AppHarness() {
    window_.reset();
}

QString AppHarness::logPath() const {
    return home.path() + QStringLiteral("/drive_c/ZEL.txt");
}

QByteArray AppHarness::logBytes() const {
    QFile f(logPath());
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<no log>");
    return f.readAll();
}
