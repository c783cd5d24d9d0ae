#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

// Process-wide settings made once before the window system starts: a full disk or a
// file-size limit, and a peer that goes away, must show up as errors of the operation
// at hand instead of signals that end the program.
void prepareProcess();

// Requests from outside to end the program: SIGTERM (a plain kill, a service manager,
// the session ending), SIGHUP (the terminal or the session went away) and SIGINT
// (Ctrl+C). Instead of ending the process where it stands, each one is handed to
// `onRequest` from the event loop, between other events, so that the program can close
// the way its window's close button closes it.
//
// The signal handler itself only writes the signal's number to a pipe (the one thing it
// may safely do); a notifier on the pipe's other end calls `onRequest`. A signal that
// arrives before the event loop runs waits in the pipe. While the object lives the three
// signals are caught (except one the program was started to ignore, as nohup does with
// SIGHUP); afterwards they do what they did before. One object at a time.
class TerminationRequests : public QObject {
    Q_OBJECT
public:
    explicit TerminationRequests(std::function<void(int signal)> onRequest,
                                 QObject* parent = nullptr);
    ~TerminationRequests() override;
    TerminationRequests(const TerminationRequests&) = delete;
    TerminationRequests& operator=(const TerminationRequests&) = delete;

private:
    void readPipe();

    std::function<void(int)> onRequest_;
    QSocketNotifier* notifier_ = nullptr;
};
