#include "help/helpwindows.h"

#include "platform/widgets/controls.h"
#include "platform/widgets/richtextbox.h"
#include "shared/errortrap.h"
#include "shared/globals.h"
#include "shared/look.h"

#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include <memory>

namespace {

void bringForward(QWidget* w) {
    w->show();
    w->raise();
    w->activateWindow();
}

} // namespace

frmNetWorkSetUp::frmNetWorkSetUp() {
    setObjectName(QStringLiteral("frmNetWorkSetUp"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QString::fromLatin1(Caption));
    setWindowIcon(QIcon(QStringLiteral(":/look/network.png")));
    look::makeSizableWindow(this, 10788, 7764);
    look::fillWith(this, look::darkTeal());
    RichTextBox1 = new RichTextBox(this);
    RichTextBox1->setObjectName(QStringLiteral("RichTextBox1"));
    RichTextBox1->setGeometry(look::twips(135, 75, 10545, 7575));
    RichTextBox1->setFont(look::font("MS Sans Serif", 8.5));
    RichTextBox1->setText(
        QStringLiteral("1. Right Click Network and Click on Open Network Connections"));
    look::describe(RichTextBox1, QStringLiteral("Network set-up help"),
                   QStringLiteral("RichTextBox1"));
}

void frmNetWorkSetUp::Form_Load() {
    RichTextBox1->LoadFile(appFolder + QStringLiteral("\\NetworkTCPSetup.rtf"));
}

frmRS232_485SetUp::frmRS232_485SetUp() {
    setObjectName(QStringLiteral("frmRS232_485SetUp"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QString::fromLatin1(Caption));
    setWindowIcon(QIcon(QStringLiteral(":/look/serial.png")));
    look::makeSizableWindow(this, 10788, 7764);
    look::fillWith(this, look::darkTeal());

    struct Caption {
        int index;
        const char* text;
        int l, t, w, h;
        double size;
        bool yellow;
    };
    const Caption captions[] = {
        {3, "For Quorlane_Test just click on the com # to connect ", 285, 0, 6615, 345, 14.4, true},
        {4, "For Quorlane_Test just click on the com # to connect ", 285, 30, 6615, 345, 14.4,
         false},
        {14, "RS232/485", 300, 570, 1485, 375, 15.6, true},
        {15, "RS232/485", 300, 600, 1485, 375, 15.6, false},
        {0, "For Hyper Terminal", 270, 4770, 2430, 345, 14.4, true},
        {1, "For Hyper Terminal", 270, 4800, 2430, 345, 14.4, false},
        {2, "Baud Rate:    19200", 570, 5115, 2520, 345, 14.4, true},
        {5, "Baud Rate:    19200", 570, 5145, 2520, 345, 14.4, false},
        {6, "Data bits:      8", 570, 5460, 1905, 345, 14.4, true},
        {7, "Data bits:      8", 570, 5490, 1905, 345, 14.4, false},
        {8, "Parity:          None", 570, 5805, 2355, 345, 14.4, true},
        {9, "Parity:          None", 570, 5835, 2355, 345, 14.4, false},
        {10, "Stop bits:      1", 570, 6150, 1890, 345, 14.4, true},
        {11, "Stop bits:      1", 570, 6180, 1890, 345, 14.4, false},
        {12, "Flow control: None", 570, 6495, 2370, 345, 14.4, true},
        {13, "Flow control: None", 570, 6525, 2370, 345, 14.4, false},
    };
    for (const Caption& c : captions) {
        QLabel* l = look::label(this, QString::fromLatin1(c.text), look::font("Tahoma", c.size),
                                c.yellow, Qt::AlignLeft | Qt::AlignTop);
        l->setGeometry(look::twips(c.l, c.t, c.w, c.h));
        l->adjustSize();
        look::describe(l, QStringLiteral("label1(%1)").arg(c.index));
        label1[c.index] = l;
    }
    // The heading's shadow copy stands on an opaque strip of the highlight colour.
    look::fillWith(label1[15], look::highlight());

    btnConnect2 = new CommandButton(QStringLiteral("RS232/485 Setup"), this);
    btnConnect2->setFont(look::font("Arial", 9.6, true));
    btnConnect2->setGeometry(look::twips(3810, 480, 1305, 555));
    btnConnect2->setAutoDefault(false);
    look::describe(btnConnect2, QStringLiteral("btnConnect(2)"));

    Image1 = new QLabel(this);
    Image1->setGeometry(look::twips(780, 372, 3528, 3312));
    Image1->setPixmap(QPixmap(QStringLiteral(":/look/image1.png")));
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // The picture is drawn at its natural size.
    if (!Image1->pixmap().isNull())
        Image1->resize(Image1->pixmap().size());
    look::describe(Image1,
                   QStringLiteral("The main window's serial port list, opened, with Com 5 chosen"),
                   QStringLiteral("Image1"));

    // Yellow copies on top of their shadows; the picture under the captions.
    Image1->lower();
    for (int yellow : {3, 14, 0, 2, 6, 8, 10, 12})
        label1[yellow]->raise();
    look::stackLabelsBeneath(this);
}

HelpWindows::HelpWindows(const ErrorTrap& trap) : trap_(trap) {}

HelpWindows::~HelpWindows() {
    delete network_.data();
    delete serial_.data();
}

void HelpWindows::closeAll() {
    if (network_)
        network_->close();
    if (serial_)
        serial_->close();
}

void HelpWindows::btnConnect_Click(std::int16_t index) {
    if (index == 2 || index == 4)
        trap_.run(QStringLiteral("btnConnect_Click"), [&] { show(index); });
}

void HelpWindows::show(std::int16_t index) {
    // A window the operator closed is hidden at once but deleted only when the event loop
    // gets to it; it counts as unloaded from the moment it was closed.
    if (serial_ && !serial_->isVisible())
        serial_ = nullptr;
    if (network_ && !network_->isVisible())
        network_ = nullptr;
    if (index == 2) {
        if (!serial_)
            serial_ = new frmRS232_485SetUp();
        bringForward(serial_);
    } else if (index == 4) {
        if (!network_) {
            auto window = std::make_unique<frmNetWorkSetUp>();
            window->Form_Load();
            network_ = window.release();
        }
        bringForward(network_);
    }
}
