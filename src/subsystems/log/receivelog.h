#pragma once

#include "log/logfilesync.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

class QTimer;
class RichTextBox;

// The receive box and the receive log file: the one home of the box's append rules and
// of the log file's writers.
//
// The log is plain text, lines ended by CR LF, no header and no time stamps: only what
// the unit sent. It is never held open between events.
//
// Writers, one per event:
// - start-up: the file is emptied and holds one empty print line; the box loads it,
//   gets one more CR LF and the caret goes to the end;
// - TCP/IP data: the chunk is appended to the file as one print line, and the box is
//   reloaded from the file (the box follows the file);
// - any serial event: the whole box is saved over the file (the file follows the box),
//   after received characters were inserted at the caret.
//
// Nothing received is lost when the file cannot be written or read: a TCP/IP chunk that
// could not be appended (or read back) is put at the end of the box instead, and when
// the file lacks text the box shows (a write failed, or the file was deleted or cut
// short behind our back) the next TCP/IP chunk first saves the box over the file, so
// that the file catches up before it is appended to.
//
// The file also catches up without waiting for the unit: a second after a failed write
// the box is saved over it again (quietly, from the event loop), and again after 2, 4,
// 8 ... up to 30 seconds while that fails, until a save succeeds; and once more when
// the log goes away with the window. So when the disk has room again, or the folder is
// back, the log soon holds everything shown even if the unit has nothing more to say.
//
// Received text travels as bytes, one character per byte (Latin-1), from the link to the
// box and the file. The saves and loads keep the file in step with the box at the cost of
// what is new (logfilesync.h).
//
// Where the file lies is resolved once, when the log starts afresh (or at its first use,
// should anything come before that): logFilePath is set at start-up and never changes.
class ReceiveLog {
public:
    ReceiveLog(RichTextBox& box, const QString& logFilePath);
    ~ReceiveLog();
    ReceiveLog(const ReceiveLog&) = delete;
    ReceiveLog& operator=(const ReceiveLog&) = delete;

    // Box rules.
    void caretToEnd();
    void serialInsert(QByteArrayView received);
    void reloadFromLog();
    // The last n characters the box shows, one byte per character.
    QByteArray tail(std::int64_t n) const;

    // Writers (each throws the file or box failure to its caller).
    void startAfresh();
    void saveBox();
    // The TCP/IP row; returns normally even when the file could not be written (the
    // chunk is then shown at the end of the box), throws only when the box itself fails.
    void tcpChunk(QByteArrayView chunk);

    // Switched on, every save and load is the box's whole-file operation (for comparisons
    // and benchmarks).
    void setWholeFileOnly(bool on) { sync_.setWholeFileOnly(on); }
    const LogFileSync& fileSync() const { return sync_; }
    // True while the file lacks text the box shows because a write failed.
    bool fileBehind() const { return fileBehind_; }
    // When the file is behind, tries now to save the box over it (quietly; a failure
    // sets the next try). For a reader of the log that wants it complete.
    void catchUp();

    // How long after a failed write the box is saved over the file again, at first and
    // at most.
    static constexpr int CatchUpMilliseconds = 1000;
    static constexpr int CatchUpLongestMilliseconds = 30000;

private:
    const files::ResolvedPath& file();
    bool fileLost();
    void showAtEnd(QByteArrayView chunk);
    void behind();

    RichTextBox& box_;
    const QString& logFilePath_;
    std::optional<files::ResolvedPath> file_;
    LogFileSync sync_{box_};
    bool fileBehind_ = false;
    std::unique_ptr<QTimer> catchUp_;
};
