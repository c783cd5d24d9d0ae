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
#include <vector>

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
    using look::twips;
    setWindowTitle(QStringLiteral("Quorlane - 2018-08-20"));
    look::makeFixedWindow(this, 12252, 9732);
    look::fillWith(this, look::highlight());

    Frame1 = new QFrame(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twips(120, 0, 11940, 9630));
    look::fillWith(Frame1, look::highlight());
    look::describe(Frame1, QString(), QStringLiteral("Frame1"));

    struct Pending {
        int tabIndex;
        QWidget* widget;
    };
    std::vector<Pending> tabs;
    auto tab = [&](QWidget* w, int index) { tabs.push_back({index, w}); };

    auto heading = [&](int index, const char* caption, int l, int t, int w, int h, bool yellow) {
        QLabel* label =
            look::label(Frame1, QString::fromLatin1(caption), look::font("Tahoma", 15.6), yellow,
                        Qt::AlignLeft | Qt::AlignTop);
        label->setGeometry(twips(l, t, w, h));
        label->adjustSize(); // sizes itself to its caption
        look::describe(label, QStringLiteral("label1(%1)").arg(index));
        label1[index] = label;
    };
    auto status = [&](int index, int l, int t, int w, int h, bool yellow) {
        QLabel* label =
            look::label(Frame1, QStringLiteral("Label5"), look::font("MS Sans Serif", 9.6, true),
                        yellow, Qt::AlignHCenter | Qt::AlignTop);
        label->setGeometry(twips(l, t, w, h));
        look::describe(label, QStringLiteral("lblConnect(%1)").arg(index));
        lblConnect[index] = label;
    };
    auto button = [&](const QString& caption, const QFont& font, int l, int t, int w, int h,
                      int tabIndex, const QString& description) {
        auto* b = new CommandButton(caption, Frame1);
        b->setFont(font);
        b->setGeometry(twips(l, t, w, h));
        b->setAutoDefault(true); // Enter presses the focused button
        look::describe(b, description);
        tab(b, tabIndex);
        return b;
    };
    auto octetBox = [&](const char* text, int l, int t, int w, int h, int tabIndex, int n) {
        auto* box = new TextBox(Frame1);
        box->setFont(look::font("Courier New", 9.6));
        box->setGeometry(twips(l, t, w, h));
        box->setInputLimit(3);
        box->setText(QString::fromLatin1(text));
        static const char* const names[] = {"First", "Second", "Third", "Fourth"};
        look::describe(
            box, QStringLiteral("%1 octet of the unit's address").arg(QLatin1String(names[n - 1])),
            QStringLiteral("txtTcp%1").arg(n));
        tab(box, tabIndex);
        return box;
    };
    const QFont buttonFont = look::font("Arial", 9.6, true);

    heading(5, "TCP/IP", 120, 345, 975, 375, true);
    heading(6, "TCP/IP", 120, 375, 975, 375, false);
    btnConnect[0] = button(QStringLiteral("Connect TCP/IP"), buttonFont, 1140, 255, 1740, 555, 21,
                           QStringLiteral("btnConnect(0)"));
    btnConnect[1] = button(QStringLiteral("Disconnect TCP/IP"), buttonFont, 2955, 255, 1770, 555,
                           22, QStringLiteral("btnConnect(1)"));
    btnConnect[4] = button(QStringLiteral("Network TCP/IP Setup"), buttonFont, 4785, 255, 2070, 555,
                           35, QStringLiteral("btnConnect(4)"));
    heading(7, "RS232/485", 6960, 345, 1485, 375, true);
    heading(8, "RS232/485", 6960, 375, 1485, 375, false);

    cmboCOMMPort = new ComboList(Frame1);
    cmboCOMMPort->setFont(look::font("Arial", 18));
    cmboCOMMPort->setGeometry(twips(8520, 240, 1860, 525));
    cmboCOMMPort->setText(QStringLiteral("Combo1"));
    look::describe(cmboCOMMPort, QStringLiteral("Serial port"), QStringLiteral("cmboCOMMPort"));
    tab(cmboCOMMPort, 23);

    btnConnect[2] = button(QStringLiteral("RS232/485 Setup"), buttonFont, 10485, 255, 1305, 555, 32,
                           QStringLiteral("btnConnect(2)"));
    status(4, 1932, 0, 5532, 372, true);
    status(5, 1920, 24, 5532, 372, false);

    // The strip with the three dots lies behind the octet boxes.
    auto* dots = new look::GapMarks(Frame1);
    Label4 =
        look::label(dots, QStringLiteral("       .      .      ."),
                    look::font("MS Sans Serif", 13.2, true), false, Qt::AlignLeft | Qt::AlignTop);
    Label4->setGeometry(twips(1140, 810, 2595, 390));
    Label4->setAutoFillBackground(true);
    {
        QPalette p = Label4->palette();
        p.setColor(QPalette::Window, p.color(QPalette::Button));
        Label4->setPalette(p);
    }
    look::describe(Label4, QStringLiteral("Label4"));

    txtTcp1 = octetBox("192", 1185, 810, 585, 360, 37, 1);
    txtTcp2 = octetBox("0", 1830, 810, 555, 360, 38, 2);
    txtTcp3 = octetBox("0", 2460, 810, 555, 360, 39, 3);
    txtTcp4 = octetBox("0", 3105, 810, 555, 360, 40, 4);
    dots->setBoxes({txtTcp1, txtTcp2, txtTcp3, txtTcp4});

    btnConnect[3] = button(QStringLiteral("Change Remote Host TCP/IP"), buttonFont, 3765, 825, 3090,
                           345, 36, QStringLiteral("btnConnect(3)"));
    status(2, 7932, 720, 3132, 372, true);
    status(3, 7920, 744, 3132, 372, false);
    heading(3, "Send", 405, 1215, 705, 375, true);
    heading(4, "Send", 405, 1245, 705, 375, false);

    auto sendLine = [&](int tabIndex, const QString& name, const QString& description) {
        auto* box = new TextBox(Frame1);
        box->setFont(look::font("Courier New", 9.6));
        box->setGeometry(twips(1140, 1185, 8625, 390));
        look::describe(box, name, description);
        tab(box, tabIndex);
        return box;
    };
    txtRS232Send = sendLine(24, QStringLiteral("Serial send line"), QStringLiteral("txtRS232Send"));
    txtSend = sendLine(1, QStringLiteral("TCP/IP send line"), QStringLiteral("txtSend"));
    txtSend->setVisible(false);

    // The receive box comes next in the tab order. It hands its focus to the view inside
    // it, and the box, the view and the view's parts each keep a place in the tab chain,
    // which setting the tab order does not move (it passes over a control that takes no
    // focus itself, and ties neither of its neighbours to it). So the box is made here,
    // right after the TCP/IP send line and before "Save To File", and its places stay
    // between the two.
    rtfReceive = new RichTextBox(Frame1);
    rtfReceive->setObjectName(QStringLiteral("rtfReceive"));
    rtfReceive->setFont(look::font("Courier New", 9.6));
    rtfReceive->setGeometry(twips(120, 2250, 11700, 7260));
    look::describe(rtfReceive, QStringLiteral("Receive box"), QStringLiteral("rtfReceive"));
    rtfReceive->setText(QStringLiteral("RichTextBox1"));
    tab(rtfReceive, 2);

    const QFont fileFont = look::font("Arial", 14.4);
    btnSave[0] = button(QStringLiteral("Save To File"), fileFont, 9885, 1185, 1905, 390, 19,
                        QStringLiteral("btnSave(0)"));
    btnSave[1] = button(QStringLiteral("Open File"), fileFont, 9885, 1620, 1905, 390, 20,
                        QStringLiteral("btnSave(1)"));

    const int testGeometry[6][4] = {{930, 1665, 960, 315},  {1905, 1665, 960, 315},
                                    {2880, 1665, 960, 315}, {930, 1980, 960, 315},
                                    {1905, 1980, 960, 315}, {2880, 1990, 3120, 315}};
    for (int i = 0; i < 6; ++i) {
        const QString caption = i < vocabulary::PollingSwitch
                                    ? vocabulary::word(vocabulary::SerialButtons[i])
                                    : vocabulary::word(vocabulary::PollingSwitchCaption);
        btnTest[i] = button(caption, look::defaultFont(), testGeometry[i][0], testGeometry[i][1],
                            testGeometry[i][2], testGeometry[i][3], 25 + i + (i == 5 ? 18 : 0),
                            QStringLiteral("btnTest(%1)").arg(i));
        btnTest[i]->setVisible(i == vocabulary::PollingSwitch);
    }

    status(1, 3012, 1656, 5532, 372, true);
    status(0, 3000, 1680, 5532, 372, false);
    heading(2, "Receive", 120, 1830, 1065, 375, true);
    heading(1, "Receive", 120, 1860, 1065, 375, false);

    // The shadow copy of each caption pair is drawn under its yellow copy, and every
    // caption under the controls it overlaps.
    for (int yellow : {1, 2, 4})
        lblConnect[yellow]->raise();
    for (int yellow : {2, 3, 5, 7})
        label1[yellow]->raise();
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
