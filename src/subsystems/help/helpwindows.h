#pragma once

#include <QPointer>
#include <QWidget>

#include <array>
#include <cstdint>

class ErrorTrap;
class QLabel;
class QPushButton;
class RichTextBox;

// The network help window: the help document about preparing the PC's network adapter,
// read from the program's folder each time the window is loaded.
class frmNetWorkSetUp : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* Caption = "Network (TCP/IP) Setup"; // its title
    frmNetWorkSetUp();
    // Loads appFolder + "\NetworkTCPSetup.rtf" into the box; throws when it cannot.
    void Form_Load();

    RichTextBox* RichTextBox1 = nullptr;
};

// The serial help window: fixed texts and a picture of the port list.
class frmRS232_485SetUp : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* Caption = "RS232/485 Setup"; // its title
    frmRS232_485SetUp();

    std::array<QLabel*, 16> label1{};
    QPushButton* btnConnect2 = nullptr; // a copy of the main window's button; does nothing
    QLabel* Image1 = nullptr;
};

// The two help windows: one instance each, created on first showing, modeless and
// without an owner window; closing one unloads it, and the next showing loads it again.
//
// They are opened by the main window's buttons "RS232/485 Setup" (index 2) and "Network
// TCP/IP Setup" (index 4), whose clicks come here. A window that cannot be shown (the
// network document cannot be read) is reported under "btnConnect_Click", like every
// failure of that button array; the links are not touched.
class HelpWindows {
public:
    explicit HelpWindows(const ErrorTrap& trap);
    ~HelpWindows();
    HelpWindows(const HelpWindows&) = delete;
    HelpWindows& operator=(const HelpWindows&) = delete;

    // The click of button 2 or 4; any other index does nothing.
    void btnConnect_Click(std::int16_t index);

    // 2: the serial help window; 4: the network help window. Throws when the network
    // document cannot be loaded (no window is then shown).
    void show(std::int16_t index);
    // Closes the windows that are open, as their frames would (the program is ending).
    void closeAll();

    frmNetWorkSetUp* network() const { return network_; }
    frmRS232_485SetUp* serial() const { return serial_; }

private:
    const ErrorTrap& trap_;
    QPointer<frmNetWorkSetUp> network_;
    QPointer<frmRS232_485SetUp> serial_;
};
