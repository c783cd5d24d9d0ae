#pragma once

// Stand-ins for the platform parts that cannot be used for real in tests: the modal
// message box, the file dialog, the clock, and the socket control where a real connect
// would leave the machine.

#include "platform/base/clock.h"
#include "platform/link/socketcontrol.h"
#include "platform/widgets/filedialog.h"
#include "platform/widgets/messagebox.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>

// Records every message instead of showing it; `whileOpen` runs as if the box were
// open (events may be processed there).
class RecordingMessageBox : public MessageBox {
public:
    void show(QWidget* owner, const QString& text) override;

    QStringList texts;
    std::function<void(const QString&)> whileOpen;
};

// Answers file dialogs from a script: each entry is a path, or nothing for Cancel.
class ScriptedFileDialog : public FileDialogBackend {
public:
    std::optional<QString> ask(const Request& request) override;

    std::deque<std::optional<QString>> answers;
    QList<Request> requests;
};

// A clock the test sets.
class TestClock : public Clock {
public:
    std::int64_t nowSeconds() const override {
        ++reads;
        return now;
    }
    std::int64_t now = 1'000'000;
    mutable std::int64_t reads = 0;
};

// A socket control that never touches the network: it records what the program asks of
// it. Connect succeeds at once (state Connected) unless `refuse` is set (state Error).
class RecordingSocketControl : public SocketControl {
public:
    State state() const override { return state_; }
    void Connect() override;
    void SendData(const QString& data) override;
    void GetData(QByteArray& data) override;
    void Close() override;

    // Puts bytes in the receive queue and raises DataArrival.
    void deliver(const QByteArray& bytes);

    bool refuse = false;
    QStringList connects; // RemoteHost at each accepted Connect
    QStringList sent;
    int closes = 0;

private:
    State state_ = State::Closed;
    QByteArray waiting_;
};
