#pragma once

#include "app/platformparts.h"
#include "shared/captionpair.h"
#include "shared/errortrap.h"
#include "shared/look.h"
#include "shared/state.h"

#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

class Commands;
class ComboList;
class FileButtons;
class FileDialog;
class HelpWindows;
class QFrame;
class QPushButton;
class QTimer;
class ReceiveLog;
class RemoteAddress;
class RichTextBox;
class SerialControl;
class SerialLink;
class SocketControl;
class TcpLink;
class TextBox;

// The main window: the whole working surface of the program. It owns both link
// controls, the receive box, the timer and the shared state, from its creation to the
// end of the run. Creating it runs its load (Form_Load) before it is first shown.
//
// Each subsystem's handlers live with their subsystem and get only what they use; the
// window's events are wired straight to them. The window keeps its own load, the click
// of btnConnect (one array that serves two subsystems), the error report and the wait.
class frmQuorlaneTest : public QWidget, public FormState {
    Q_OBJECT
public:
    // The window's caption, its title on screen and to a screen reader.
    static constexpr const char* Caption = "Quorlane - 2018-08-20";

    explicit frmQuorlaneTest(PlatformParts parts = {}, QWidget* parent = nullptr);
    ~frmQuorlaneTest() override;

    // ---- controls (element index = identity; unused elements are null) ----
    QFrame* Frame1 = nullptr;
    std::array<QLabel*, 9> label1{};
    std::array<QPushButton*, 5> btnConnect{};
    ComboList* cmboCOMMPort = nullptr;
    std::array<QLabel*, 6> lblConnect{};
    TextBox* txtTcp1 = nullptr;
    TextBox* txtTcp2 = nullptr;
    TextBox* txtTcp3 = nullptr;
    TextBox* txtTcp4 = nullptr;
    look::GapMarks* Label4 = nullptr;
    TextBox* txtRS232Send = nullptr;
    TextBox* txtSend = nullptr;
    std::array<QPushButton*, 2> btnSave{};
    std::array<QPushButton*, 6> btnTest{};
    RichTextBox* rtfReceive = nullptr;
    QTimer* Timer1 = nullptr;
    SerialControl* MSComm1 = nullptr;
    SocketControl* Winsock1 = nullptr;
    std::unique_ptr<FileDialog> ComDialog;

    // Caption pairs of the status lines.
    CaptionPair tcpStatus() const { return {lblConnect[0], lblConnect[1]}; }
    CaptionPair serialStatus() const { return {lblConnect[2], lblConnect[3]}; }
    CaptionPair activeLink() const { return {lblConnect[4], lblConnect[5]}; }

    // ---- handlers and procedures ----
    void Form_Load();
    // One array holds the link buttons (0, 1, 3) and the help buttons (2, 4).
    void btnConnect_Click(std::int16_t index);
    void ErrorReport(const QString& number, const QString& description, const QString& source,
                     const QString& window, const QString& procedure);
    void Sleep(std::int16_t seconds);

    // ---- ending ----
    // Closes the window the way its frame's close button does, also while a dialog of it
    // is open: an open error report or file dialog is left first (as with OK or Cancel),
    // and the close follows once the report has returned. For requests from outside (a
    // signal, the session ending). Does nothing once the window has shut down.
    void requestClose();
    // The one home of the ending: the timer stops, the help windows and the viewer close,
    // what the unit sent so far gets its receive event, the serial port and the socket
    // close and the log is brought up to date. From then on no error is reported and no
    // timed wait goes on. Runs once; closing the window runs it, and so does destroying it.
    void shutdown();
    bool isShutDown() const { return shutDown_; }
    // Shut down, or asked to close and about to.
    bool isClosing() const { return shutDown_ || closePending_; }

    // ---- the subsystems ----
    const ErrorTrap& trap() const { return trap_; }
    RemoteAddress& address() { return *address_; }
    ReceiveLog& receiveLog() { return *log_; }
    TcpLink& tcpLink() { return *tcp_; }
    SerialLink& serialLink() { return *serial_; }
    Commands& commands() { return *commands_; }
    HelpWindows& helpWindows() { return *help_; }
    FileButtons& fileButtons() { return *files_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void wireEvents();

    PlatformParts parts_;
    std::unique_ptr<SocketControl> socket_;
    ErrorTrap trap_;
    int reportsOpen_ = 0;
    bool shutDown_ = false;
    bool closePending_ = false; // a close waits for the open error report to return

    std::unique_ptr<ReceiveLog> log_;
    std::unique_ptr<RemoteAddress> address_;
    std::unique_ptr<HelpWindows> help_;
    std::unique_ptr<TcpLink> tcp_;
    std::unique_ptr<SerialLink> serial_;
    std::unique_ptr<Commands> commands_;
    std::unique_ptr<FileButtons> files_;
};
