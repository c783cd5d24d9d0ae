#include "support/fakes.h"

#include "platform/base/runtimeerror.h"

void RecordingMessageBox::show(QWidget*, const QString& text) {
    texts << text;
    if (whileOpen)
        whileOpen(text);
}

std::optional<QString> ScriptedFileDialog::ask(const Request& request) {
    requests << request;
    if (answers.empty())
        return std::nullopt;
    const bool cancelled = !answers.front().has_value();
    QString path = cancelled ? QString() : *answers.front();
    answers.pop_front();
    if (cancelled)
        return std::nullopt;
    return path;
}

void RecordingSocketControl::Connect() {
    if (state_ != State::Closed)
        fail(err::WrongSocketState, QStringLiteral("Connect refused: socket not closed"));
    std::uint32_t address = 0;
    if (!parseIPv4(RemoteHost(), address))
        fail(err::AddressNotLiteral, QStringLiteral("Not a dotted IPv4 address: ") + RemoteHost());
    connects << RemoteHost();
    state_ = refuse ? State::Error : State::Connected;
}

void RecordingSocketControl::SendData(const QString& data) {
    if (state_ != State::Connected)
        fail(err::WrongSocketState, QStringLiteral("Send refused: socket not connected"));
    sent << data;
}

void RecordingSocketControl::GetData(QByteArray& data) {
    data = std::exchange(waiting_, {});
}

void RecordingSocketControl::Close() {
    ++closes;
    state_ = State::Closed;
    waiting_.clear();
}

void RecordingSocketControl::deliver(const QByteArray& bytes) {
    waiting_ += bytes;
    emit DataArrival(static_cast<std::int32_t>(waiting_.size()));
}
