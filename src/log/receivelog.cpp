#include "log/receivelog.h"

#include "platform/files.h"
#include "platform/richtextbox.h"
#include "platform/runtimeerror.h"

ReceiveLog::ReceiveLog(RichTextBox& box, const QString& logFilePath)
    : box_(box), logFilePath_(logFilePath) {}

void ReceiveLog::caretToEnd() {
    box_.setSelStart(box_.textLength());
    box_.setSelLength(0);
}

void ReceiveLog::serialInsert(const QString& text) {
    box_.setSelText(text);
    caretToEnd();
}

void ReceiveLog::reloadFromLog() {
    box_.LoadFile(logFilePath_);
    caretToEnd();
}

void ReceiveLog::startAfresh() {
    {
        files::TextFile log(logFilePath_, files::TextFile::Mode::Output);
        log.print(QString());
        log.close();
    }
    fileBehind_ = false;
    box_.LoadFile(logFilePath_);
    box_.setText(box_.Text() + QStringLiteral("\r\n"));
    caretToEnd();
}

void ReceiveLog::saveBox() {
    try {
        box_.SaveFile(logFilePath_, 1);
        fileBehind_ = false;
    } catch (const RuntimeError&) {
        fileBehind_ = true;
        throw;
    }
}

bool ReceiveLog::fileLost() const {
    // We wrote the log before; if it is gone now, or shorter than we left it, reloading
    // the box from it would take received text out of view.
    const files::LedgerEntry known = files::ledger(logFilePath_);
    if (known.writes == 0)
        return false;
    const files::Stamp now = files::stamp(logFilePath_);
    return !now.exists || now.size < known.stamp.size;
}

void ReceiveLog::showAtEnd(const QString& chunk) {
    box_.setSelStart(box_.textLength());
    box_.setSelLength(0);
    box_.setSelText(chunk + QStringLiteral("\r\n"));
    caretToEnd();
}

void ReceiveLog::tcpChunk(const QString& chunk) {
    try {
        if (fileBehind_ || fileLost())
            saveBox();
        files::TextFile log(logFilePath_, files::TextFile::Mode::Append);
        log.print(chunk);
        log.close();
    } catch (const RuntimeError&) {
        // The file cannot take the chunk: show it where the reload would have put it.
        fileBehind_ = true;
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
