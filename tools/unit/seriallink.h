#pragma once

#include "answerwriter.h"
#include "splitting.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <memory>

class Responder;
struct UnitOptions;

// The unit's serial side: a pseudo-terminal whose device is linked as
// <home>/dosdevices/com<N>. The unit keeps a descriptor of the device open for its
// whole run, so the terminal may close and reopen the port as often as it likes
// without the master side ever seeing a hang-up.
class SerialLink : public QObject {
    Q_OBJECT
public:
    SerialLink(Responder& responder, const UnitOptions& options, QObject* parent = nullptr);
    ~SerialLink() override;

    // Creates the pseudo-terminal and the link. Returns ExitOk, or an exit code after
    // printing the reason on stderr.
    int open();

    QString devicePath() const { return m_devicePath; }
    QString linkPath() const { return m_linkPath; }

    // Removes the link if it still points at this unit's device.
    void removeLink();

private:
    void readMaster();
    void handleLine(const QByteArray& line);
    void send(const QByteArray& bytes);
    void flushOutbox();
    int makeLink();

    Responder& m_responder;
    const UnitOptions& m_options;
    int m_master = -1;
    int m_slave = -1;
    QString m_devicePath;
    QString m_linkPath;
    bool m_linkMade = false;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    QTimer m_resumeTimer; // re-arms reading after an unexpected read error
    QTimer m_retryTimer;  // retries writing while the device's input queue is full
    QByteArray m_outbox;
    bool m_overflowReported = false;
    LineSplitter m_lines;
    AnswerWriter m_writer;
};
