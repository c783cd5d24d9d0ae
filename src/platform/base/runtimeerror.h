#pragma once

#include <QString>

#include <cstdint>
#include <stdexcept>

// The one run-time error type of the program. Every failure of a control, a file
// operation or a dialog is thrown as a RuntimeError; the main window's common error
// trap catches exactly this type and nothing else.
//
// Numbers, grouped by the part of the platform that raises them:
//
// | Number | Raised by            | Meaning                                                  |
// |--------|----------------------|----------------------------------------------------------|
// |     52 | files                | bad file name or path (empty, or not a usable path)       |
// |     53 | files                | file not found                                           |
// |     57 | files                | device I/O error (a read or write failed)                |
// |     61 | files                | disk full                                                |
// |     70 | files                | permission denied                                        |
// |     75 | files                | path/file access error (any other failure to open)        |
// |     76 | files                | path not found                                           |
// |    380 | all controls         | invalid property value                                   |
// |   8002 | serial-port control  | invalid port number                                      |
// |   8005 | serial-port control  | port already open                                        |
// |   8010 | serial-port control  | the port is held by another program                      |
// |   8012 | serial-port control  | device not open                                          |
// |   8015 | serial-port control  | could not set the line settings or modem lines            |
// |   8021 | serial-port control  | error writing to the device                              |
// |   8022 | serial-port control  | the port could not be opened (device missing or refused) |
// |  10049 | socket control       | the remote host is not a dotted IPv4 address             |
// |  10050 | socket control       | the remote host is outside the loopback range while      |
// |        |                      | QUORLANE_LOOPBACK_ONLY=1 is set                          |
// |  40006 | socket control       | wrong connection state for the requested operation       |
// |  40020 | socket control       | the socket could not send the data                       |
// |  32755 | file dialog          | the operator cancelled the dialog (only with CancelError)|
class RuntimeError : public std::runtime_error {
public:
    RuntimeError(std::int32_t number, QString description, QString source);

    std::int32_t number() const { return number_; }
    const QString& description() const { return description_; }
    const QString& source() const { return source_; }

private:
    std::int32_t number_;
    QString description_;
    QString source_;
};

namespace err {
inline constexpr std::int32_t BadFileName = 52;
inline constexpr std::int32_t FileNotFound = 53;
inline constexpr std::int32_t DeviceIo = 57;
inline constexpr std::int32_t DiskFull = 61;
inline constexpr std::int32_t PermissionDenied = 70;
inline constexpr std::int32_t PathFileAccess = 75;
inline constexpr std::int32_t PathNotFound = 76;
inline constexpr std::int32_t InvalidPropertyValue = 380;
inline constexpr std::int32_t InvalidPortNumber = 8002;
inline constexpr std::int32_t PortAlreadyOpen = 8005;
inline constexpr std::int32_t PortHeld = 8010;
inline constexpr std::int32_t PortNotOpen = 8012;
inline constexpr std::int32_t PortSettings = 8015;
inline constexpr std::int32_t PortWrite = 8021;
inline constexpr std::int32_t PortOpenFailed = 8022;
inline constexpr std::int32_t AddressNotLiteral = 10049;
inline constexpr std::int32_t AddressNotLoopback = 10050;
inline constexpr std::int32_t WrongSocketState = 40006;
inline constexpr std::int32_t SocketSend = 40020;
inline constexpr std::int32_t DialogCancelled = 32755;
} // namespace err
