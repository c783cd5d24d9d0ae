#include "log/receivelog.h"

#include "platform/base/runtimeerror.h"
#include "platform/files/files.h"
#include "platform/widgets/richtextbox.h"

#include <QTimer>

#include <algorithm>

ReceiveLog::ReceiveLog(RichTextBox& box, const QString& logFilePath)
    : box_(box), logFilePath_(logFilePath), catchUp_(new QTimer) {
    catchUp_->setSingleShot(true);
    catchUp_->setInterval(CatchUpMilliseconds);
    QObject::connect(catchUp_.get(), &QTimer::timeout, catchUp_.get(), [this] { catchUp(); });
}

ReceiveLog::~ReceiveLog() {
    if (!fileBehind_)
        return;
    try {
        sync_.save(file());
    } catch (const RuntimeError&) {
        // The last chance has gone; nobody is left to tell.
    }
}

const files::ResolvedPath& ReceiveLog::file() {
    if (!file_ || file_->path != logFilePath_)
        file_ = files::resolve(logFilePath_);
    return *file_;
}

void ReceiveLog::behind() {
    fileBehind_ = true;
    if (!catchUp_->isActive())
        catchUp_->start();
}

void ReceiveLog::catchUp() {
    if (!fileBehind_)
        return;
    try {
        saveBox();
    } catch (const RuntimeError&) {
        // Still not writable. A save may rewrite the whole file, so a fault that lasts is
        // tried less and less often.
        catchUp_->start(std::min(catchUp_->interval() * 2, CatchUpLongestMilliseconds));
    }
}

void ReceiveLog::caretToEnd() {
    box_.setSelStart(box_.textLength());
    box_.setSelLength(0);
}

void ReceiveLog::serialInsert(QByteArrayView received) {
    box_.setSelBytes(received);
    caretToEnd();
}

void ReceiveLog::reloadFromLog() {
    sync_.load(file());
    caretToEnd();
}

QByteArray ReceiveLog::tail(std::int64_t n) const {
    return box_.tail(n);
}

void ReceiveLog::startAfresh() {
    file_ = files::resolve(logFilePath_);
    {
        files::TextFile log(*file_, files::TextFile::Mode::Output);
        log.print({});
        log.close();
    }
    fileBehind_ = false;
    catchUp_->stop();
    sync_.load(*file_);
    box_.setText(box_.Text() + QStringLiteral("\r\n"));
    caretToEnd();
}

void ReceiveLog::saveBox() {
    try {
        sync_.save(file());
        fileBehind_ = false;
        catchUp_->stop();
        catchUp_->setInterval(CatchUpMilliseconds);
    } catch (const RuntimeError&) {
        behind();
        throw;
    }
}

bool ReceiveLog::fileLost() {
    // We wrote the log before; if it is gone now, or shorter than we left it, reloading
    // the box from it would take received text out of view.
    const files::LedgerEntry known = files::ledger(file());
    if (known.writes == 0)
        return false;
    const files::Stamp now = files::stamp(file());
    return !now.exists || now.size < known.stamp.size;
}

void ReceiveLog::showAtEnd(QByteArrayView chunk) {
    caretToEnd();
    QByteArray line;
    line.reserve(chunk.size() + 2);
    line.append(chunk).append("\r\n", 2);
    serialInsert(line);
}

void ReceiveLog::tcpChunk(QByteArrayView chunk) {
    try {
        if (fileBehind_ || fileLost())
            saveBox();
        files::TextFile log(file(), files::TextFile::Mode::Append);
        log.print(chunk);
        log.close();
    } catch (const RuntimeError&) {
        // The file cannot take the chunk: show it where the reload would have put it.
        behind();
        showAtEnd(chunk);
        return;
    }
    try {
        reloadFromLog();
    } catch (const RuntimeError&) {
        // The file has the chunk but cannot be read back now; the next reload will show
        // the file as it is.
        showAtEnd(chunk);
    }
}
