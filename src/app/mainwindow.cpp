#include "app/mainwindow.h"

#include "address/remoteaddress.h"
#include "commands/commands.h"
#include "help/helpwindows.h"
#include "log/filebuttons.h"
#include "log/receivelog.h"
#include "platform/base/paths.h"
#include "platform/base/runtimeerror.h"
#include "platform/link/serialcontrol.h"
#include "platform/widgets/controls.h"
#include "platform/widgets/filedialog.h"
#include "platform/widgets/richtextbox.h"
#include "serial/seriallink.h"
#include "shared/globals.h"
#include "shared/look.h"
#include "shared/vocabulary.h"
#include "tcp/tcplink.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDialog>
#include <QEventLoop>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <string_view>
#include <variant>
#include <vector>

namespace {

// How a control of the main window looks, as flags of its row.
enum Style : unsigned {
    Plain = 0,
    Yellow = 1,      // a label in yellow: the upper copy of a caption pair
    Centred = 2,     // a label whose caption is centred (else it starts at the left)
    FitsCaption = 4, // a label that sizes itself to its caption
    Hidden = 8,      // a control that exists but is not shown
    Octet = 16,      // a box that takes at most three typed characters
};

// One control of Frame1: the member it is made into, its name in the program (its
// accessible description), its caption or text at creation, its font, its rectangle in
// twips within Frame1 and its tab index. Labels take no focus: their tab index is the
// design's and places nothing.
struct Row {
    std::variant<QLabel**, look::GapMarks**, QPushButton**, TextBox**, ComboList**, RichTextBox**>
        control;
    const char* description;
    std::string_view text;
    QFont font;
    int left, top, width, height;
    int tabIndex;
    unsigned style = Plain;
    // What a screen reader calls a box or a list; a label or a button is called by the
    // caption it shows.
    const char* name = nullptr;
};

QRect rectOf(const Row& row) {
    return look::twips(row.left, row.top, row.width, row.height);
}

// A control made for a row, in the row's font and at its rectangle.
template <typename Control> Control* placed(Control* control, const Row& row) {
    control->setFont(row.font);
    control->setGeometry(rectOf(row));
    return control;
}

QWidget* make(QLabel*& label, QWidget* frame, const Row& row) {
    const Qt::Alignment alignment = (row.style & Centred) ? Qt::AlignHCenter : Qt::AlignLeft;
    label = look::label(frame, vocabulary::word(row.text), row.font, (row.style & Yellow) != 0,
                        alignment | Qt::AlignTop);
    label->setGeometry(rectOf(row));
    if (row.style & FitsCaption)
        label->adjustSize();
    return label;
}

// An opaque strip in the controls' background colour.
QWidget* make(look::GapMarks*& strip, QWidget* frame, const Row& row) {
    strip = new look::GapMarks(frame);
    look::label(strip, vocabulary::word(row.text), row.font, false, Qt::AlignLeft | Qt::AlignTop);
    strip->setGeometry(rectOf(row));
    strip->setAutoFillBackground(true);
    QPalette p = strip->palette();
    p.setColor(QPalette::Window, p.color(QPalette::Button));
    strip->setPalette(p);
    return strip;
}

QWidget* make(QPushButton*& button, QWidget* frame, const Row& row) {
    button = placed(new CommandButton(vocabulary::word(row.text), frame), row);
    button->setAutoDefault(true); // Enter presses the focused button
    return button;
}

QWidget* make(TextBox*& box, QWidget* frame, const Row& row) {
    box = placed(new TextBox(frame), row);
    if (row.style & Octet)
        box->setInputLimit(3);
    box->setText(vocabulary::word(row.text));
    return box;
}

QWidget* make(ComboList*& list, QWidget* frame, const Row& row) {
    list = placed(new ComboList(frame), row);
    list->setText(vocabulary::word(row.text));
    return list;
}

QWidget* make(RichTextBox*& box, QWidget* frame, const Row& row) {
    box = placed(new RichTextBox(frame), row);
    box->setObjectName(QString::fromLatin1(row.description));
    box->setText(vocabulary::word(row.text));
    return box;
}

} // namespace

frmQuorlaneTest::frmQuorlaneTest(PlatformParts parts, QWidget* parent)
    : QWidget(parent), parts_(std::move(parts)), socket_(parts_.makeSocket()),
      trap_(QStringLiteral("frmQuorlaneTest"),
            [this](const QString& number, const QString& description, const QString& source,
                   const QString& window, const QString& procedure) {
                // Once the window has shut down nobody is left to read a report.
                if (shutDown_)
                    return;
                ErrorReport(number, description, source, window, procedure);
                // A close asked for while the report was open follows now, from the event
                // loop, once the trapped procedure has finished; the timer stays off.
                if (closePending_ && reportsOpen_ == 0) {
                    Timer1->stop();
                    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
                }
            }) {
    setObjectName(QStringLiteral("frmQuorlaneTest"));
    buildControls();

    log_ = std::make_unique<ReceiveLog>(*rtfReceive, logFilePath);
    address_ = std::make_unique<RemoteAddress>(
        remoteOctets, remoteAddress, std::array<TextBox*, 4>{txtTcp1, txtTcp2, txtTcp3, txtTcp4});
    help_ = std::make_unique<HelpWindows>(trap_);
    tcp_ =
        std::make_unique<TcpLink>(TcpLink::Parts{*Winsock1,
                                                 *address_,
                                                 tcpConnected,
                                                 *txtSend,
                                                 *txtRS232Send,
                                                 {btnConnect[0], btnConnect[1], btnConnect[3]},
                                                 *log_,
                                                 trap_,
                                                 [this](std::int16_t seconds) { Sleep(seconds); }});
    serial_ = std::make_unique<SerialLink>(SerialLink::Parts{
        *MSComm1, *cmboCOMMPort, serialStatus(), *txtRS232Send, *log_, *address_, trap_});
    commands_ = std::make_unique<Commands>(
        Commands::Parts{*MSComm1, btnTest, pollingOn, tcpConnected, remoteAddress, pollStep,
                        *txtSend, *txtRS232Send, tcpStatus(), activeLink(),
                        [this](const QString& text) { tcp_->SendTcp(text); }, trap_});
    files_ =
        std::make_unique<FileButtons>(FileButtons::Parts{*ComDialog, logFilePath, *log_, trap_});

    wireEvents();
    Timer1->start();
    Form_Load();
    // The first control in tab order that can take the focus: the TCP send line is
    // hidden, so the receive box.
    (txtSend->Visible() ? static_cast<QWidget*>(txtSend) : rtfReceive)->setFocus();
}

frmQuorlaneTest::~frmQuorlaneTest() {
    shutdown();
    // The links go quiet before the handlers they call are taken down.
    if (MSComm1)
        QObject::disconnect(MSComm1, nullptr, this, nullptr);
    if (Winsock1)
        QObject::disconnect(Winsock1, nullptr, this, nullptr);
}

void frmQuorlaneTest::requestClose() {
    if (shutDown_)
        return;
    closePending_ = true;
    // The window's own dialogs end as if cancelled, so that their nested event loops
    // return to the handlers that opened them.
    const auto dialogs = findChildren<QDialog*>();
    for (QDialog* dialog : dialogs)
        if (dialog->isVisible())
            dialog->reject();
    if (reportsOpen_ == 0)
        close();
}

void frmQuorlaneTest::closeEvent(QCloseEvent* event) {
    // Qt holds the close button while a report is open; a close asked for by the program
    // then waits for the report to return.
    if (reportsOpen_ > 0) {
        event->ignore();
        requestClose();
        return;
    }
    shutdown();
    event->accept();
}

void frmQuorlaneTest::shutdown() {
    if (shutDown_)
        return;
    shutDown_ = true;
    closePending_ = false;
    Timer1->stop();
    help_->closeAll();
    files_->closeViewer();
    // What the unit sent before the close reaches the box and the log through the usual
    // receive handlers; only then are the links closed.
    MSComm1->deliverPending();
    Winsock1->deliverPending();
    MSComm1->setPortOpen(false);
    Winsock1->Close();
    log_->catchUp();
}

void frmQuorlaneTest::buildControls() {
    setWindowTitle(QString::fromLatin1(Caption));
    look::makeFixedWindow(this, 12252, 9732);
    look::fillWith(this, look::highlight());

    Frame1 = new QFrame(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(look::twips(120, 0, 11940, 9630));
    look::fillWith(Frame1, look::highlight());
    look::describe(Frame1, QString(), QStringLiteral("Frame1"));

    const QFont heading = look::font("Tahoma", 15.6);
    const QFont status = look::font("MS Sans Serif", 9.6, true);
    const QFont linkButton = look::font("Arial", 9.6, true);
    const QFont typed = look::font("Courier New", 9.6);
    const QFont fileButton = look::font("Arial", 14.4);
    const QFont command = look::defaultFont();
    using vocabulary::SerialButtons;
    // In the order they are made, which is the order they are drawn in (each over the
    // ones before it) until the stacking below.
    const Row rows[] = {
        // control, description, caption or text, font, left, top, width, height, tab index
        {&label1[5], "label1(5)", "TCP/IP", heading, 120, 345, 975, 375, 30, Yellow | FitsCaption},
        {&label1[6], "label1(6)", "TCP/IP", heading, 120, 375, 975, 375, 31, FitsCaption},
        {&btnConnect[0], "btnConnect(0)", "Connect TCP/IP", linkButton, 1140, 255, 1740, 555, 21},
        {&btnConnect[1], "btnConnect(1)", "Disconnect TCP/IP", linkButton, 2955, 255, 1770, 555,
         22},
        {&btnConnect[4], "btnConnect(4)", "Network TCP/IP Setup", linkButton, 4785, 255, 2070, 555,
         35},
        {&label1[7], "label1(7)", "RS232/485", heading, 6960, 345, 1485, 375, 33,
         Yellow | FitsCaption},
        {&label1[8], "label1(8)", "RS232/485", heading, 6960, 375, 1485, 375, 34, FitsCaption},
        {&cmboCOMMPort, "cmboCOMMPort", "Combo1", look::font("Arial", 18), 8520, 240, 1860, 525, 23,
         Plain, "Serial port"},
        {&btnConnect[2], "btnConnect(2)", "RS232/485 Setup", linkButton, 10485, 255, 1305, 555, 32},
        {&lblConnect[4], "lblConnect(4)", "Label5", status, 1932, 0, 5532, 372, 46,
         Yellow | Centred},
        {&lblConnect[5], "lblConnect(5)", "Label5", status, 1920, 24, 5532, 372, 47, Centred},
        // The strip with the three dots lies behind the octet boxes.
        {&Label4, "Label4", "       .      .      .", look::font("MS Sans Serif", 13.2, true), 1140,
         810, 2595, 390, 41},
        {&txtTcp1, "txtTcp1", "192", typed, 1185, 810, 585, 360, 37, Octet,
         "First octet of the unit's address"},
        {&txtTcp2, "txtTcp2", "0", typed, 1830, 810, 555, 360, 38, Octet,
         "Second octet of the unit's address"},
        {&txtTcp3, "txtTcp3", "0", typed, 2460, 810, 555, 360, 39, Octet,
         "Third octet of the unit's address"},
        {&txtTcp4, "txtTcp4", "0", typed, 3105, 810, 555, 360, 40, Octet,
         "Fourth octet of the unit's address"},
        {&btnConnect[3], "btnConnect(3)", "Change Remote Host TCP/IP", linkButton, 3765, 825, 3090,
         345, 36},
        {&lblConnect[2], "lblConnect(2)", "Label5", status, 7932, 720, 3132, 372, 44,
         Yellow | Centred},
        {&lblConnect[3], "lblConnect(3)", "Label5", status, 7920, 744, 3132, 372, 45, Centred},
        {&label1[3], "label1(3)", "Send", heading, 405, 1215, 705, 375, 17, Yellow | FitsCaption},
        {&label1[4], "label1(4)", "Send", heading, 405, 1245, 705, 375, 18, FitsCaption},
        {&txtRS232Send, "txtRS232Send", "", typed, 1140, 1185, 8625, 390, 24, Plain,
         "Serial send line"},
        {&txtSend, "txtSend", "", typed, 1140, 1185, 8625, 390, 1, Hidden, "TCP/IP send line"},
        // The receive box comes next in the tab order. It hands its focus to the view
        // inside it, and the box, the view and the view's parts each keep a place in the
        // tab chain, which setting the tab order does not move (it passes over a control
        // that takes no focus itself, and ties neither of its neighbours to it). So the box
        // is made here, right after the TCP/IP send line and before "Save To File", and its
        // places stay between the two.
        {&rtfReceive, "rtfReceive", "RichTextBox1", typed, 120, 2250, 11700, 7260, 2, Plain,
         "Receive box"},
        {&btnSave[0], "btnSave(0)", "Save To File", fileButton, 9885, 1185, 1905, 390, 19},
        {&btnSave[1], "btnSave(1)", "Open File", fileButton, 9885, 1620, 1905, 390, 20},
        {&btnTest[0], "btnTest(0)", SerialButtons[0], command, 930, 1665, 960, 315, 25, Hidden},
        {&btnTest[1], "btnTest(1)", SerialButtons[1], command, 1905, 1665, 960, 315, 26, Hidden},
        {&btnTest[2], "btnTest(2)", SerialButtons[2], command, 2880, 1665, 960, 315, 27, Hidden},
        {&btnTest[3], "btnTest(3)", SerialButtons[3], command, 930, 1980, 960, 315, 28, Hidden},
        {&btnTest[4], "btnTest(4)", SerialButtons[4], command, 1905, 1980, 960, 315, 29, Hidden},
        {&btnTest[5], "btnTest(5)", vocabulary::PollingSwitchCaption, command, 2880, 1990, 3120,
         315, 48},
        {&lblConnect[1], "lblConnect(1)", "Label5", status, 3012, 1656, 5532, 372, 43,
         Yellow | Centred},
        {&lblConnect[0], "lblConnect(0)", "Label5", status, 3000, 1680, 5532, 372, 42, Centred},
        {&label1[2], "label1(2)", "Receive", heading, 120, 1830, 1065, 375, 15,
         Yellow | FitsCaption},
        {&label1[1], "label1(1)", "Receive", heading, 120, 1860, 1065, 375, 16, FitsCaption},
    };

    struct Pending {
        int tabIndex;
        QWidget* widget;
    };
    std::vector<Pending> tabs;
    std::vector<QWidget*> yellow;
    for (const Row& row : rows) {
        QWidget* control =
            std::visit([&](auto member) { return make(*member, Frame1, row); }, row.control);
        look::describe(control, row.name ? QString::fromLatin1(row.name) : QString(),
                       QString::fromLatin1(row.description));
        if (row.style & Hidden)
            control->setVisible(false);
        if (row.style & Yellow)
            yellow.push_back(control);
        if (!qobject_cast<QLabel*>(control))
            tabs.push_back({row.tabIndex, control});
    }
    Label4->setBoxes({txtTcp1, txtTcp2, txtTcp3, txtTcp4});

    // The shadow copy of each caption pair is drawn under its yellow copy, and every
    // caption under the controls it overlaps.
    for (QWidget* label : yellow)
        label->raise();
    look::stackLabelsBeneath(Frame1);
    rtfReceive->raise(); // over the polling switch's lowest rows, as when it was made last

    std::stable_sort(tabs.begin(), tabs.end(),
                     [](const Pending& a, const Pending& b) { return a.tabIndex < b.tabIndex; });
    for (size_t i = 1; i < tabs.size(); ++i)
        QWidget::setTabOrder(tabs[i - 1].widget, tabs[i].widget);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);

    MSComm1 = new SerialControl(this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    MSComm1->setCommPort(SerialLink::StartupPort);

    Winsock1 = socket_.get();
    Winsock1->setObjectName(QStringLiteral("Winsock1"));

    ComDialog = std::make_unique<FileDialog>(parts_.fileDialog, this);
}

void frmQuorlaneTest::wireEvents() {
    connect(txtTcp1, &TextBox::Change, this, [this] { address_->txtTcp1_Change(); });
    connect(txtTcp2, &TextBox::Change, this, [this] { address_->txtTcp2_Change(); });
    connect(txtTcp3, &TextBox::Change, this, [this] { address_->txtTcp3_Change(); });
    connect(txtTcp4, &TextBox::Change, this, [this] { address_->txtTcp4_Change(); });
    for (std::int16_t i = 0; i < static_cast<std::int16_t>(btnConnect.size()); ++i)
        connect(btnConnect[i], &QPushButton::clicked, this, [this, i] { btnConnect_Click(i); });
    for (std::int16_t i = 0; i < static_cast<std::int16_t>(btnTest.size()); ++i)
        connect(btnTest[i], &QPushButton::clicked, this,
                [this, i] { commands_->btnTest_Click(i); });
    for (std::int16_t i = 0; i < static_cast<std::int16_t>(btnSave.size()); ++i)
        connect(btnSave[i], &QPushButton::clicked, this, [this, i] { files_->btnSave_Click(i); });
    txtSend->KeyPress = [this](std::int16_t& key) { tcp_->txtSend_KeyPress(key); };
    txtRS232Send->KeyPress = [this](std::int16_t& key) { serial_->txtRS232Send_KeyPress(key); };
    connect(Winsock1, &SocketControl::DataArrival, this,
            [this](std::int32_t bytesTotal) { tcp_->Winsock1_DataArrival(bytesTotal); });
    connect(cmboCOMMPort, &ComboList::Click, this, [this] { serial_->cmboCOMMPort_Click(); });
    connect(MSComm1, &SerialControl::OnComm, this, [this] { serial_->MSComm1_OnComm(); });
    connect(Timer1, &QTimer::timeout, this, [this] { commands_->Timer1_Timer(); });
}

void frmQuorlaneTest::Form_Load() {
    try {
        address_->takeDefault();
        logFilePath = QStringLiteral("C:\\ZEL.txt");
        appFolder = paths::programFolder();
        log_->startAfresh();
        serial_->startUp();
    } catch (const RuntimeError& e) {
        const QString caption = serial_->showError();
        // The window shows only the caption; why start-up failed goes to the standard
        // error stream, for whoever started the program from a terminal or reads its log.
        qWarning().noquote() << caption + QStringLiteral(" at start-up: ") + e.description() +
                                    QStringLiteral(" (the TCP/IP link is tried instead)");
        btnConnect_Click(0);
    }
}

void frmQuorlaneTest::btnConnect_Click(std::int16_t index) {
    tcp_->btnConnect_Click(index);
    help_->btnConnect_Click(index);
}

void frmQuorlaneTest::ErrorReport(const QString& number, const QString& description,
                                  const QString& source, const QString& window,
                                  const QString& procedure) {
    const QString crlf = QStringLiteral("\r\n");
    const QString text = QStringLiteral("Error Number: [") + number + QStringLiteral("] ") + crlf +
                         QStringLiteral("ErrorDescription: ") + description + crlf +
                         QStringLiteral("VB Source: ") + source + crlf +
                         QStringLiteral("App Source: ") + window + crlf +
                         QStringLiteral("Active Control: ") + procedure;
    // The one-second timer rests while a report is open, so reports cannot pile up;
    // missed ticks are not replayed.
    struct TimerRest {
        frmQuorlaneTest* w;
        explicit TimerRest(frmQuorlaneTest* window) : w(window) {
            if (w->reportsOpen_++ == 0)
                w->Timer1->stop();
        }
        ~TimerRest() {
            if (--w->reportsOpen_ == 0)
                w->Timer1->start();
        }
    } rest(this);
    parts_.messageBox->show(this, text);
}

void frmQuorlaneTest::Sleep(std::int16_t seconds) {
    const std::int64_t start = parts_.clock->nowSeconds();
    // A window that shuts down meanwhile waits no longer.
    while (!shutDown_ && parts_.clock->nowSeconds() - start < seconds) {
        // Let the window handle its events, waiting for them at most 20 ms before the
        // clock is read again, so that the wait costs next to no processor time.
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
}
