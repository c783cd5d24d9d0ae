#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal through a self-pipe, so that the
// unit leaves through its normal exit path (which removes the serial link). SIGPIPE
// is ignored.
class SignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;

    // False (with a message on stderr) when the handlers could not be installed.
    bool install();

signals:
    void caught(int signalNumber);

private:
    void drain();

    std::unique_ptr<QSocketNotifier> m_notifier;
};

const char* signalName(int signalNumber);
