// quorlane-picture: draws the pictures the program ships into a folder (normally
// src/shared/images):
//
//   image1.png                 the serial help window's picture: the main window's port
//                              list opened with "Com 5" highlighted, beside the serial
//                              heading and the set-up button; 294 x 276, 24-bit RGB,
//                              cut from the window pixel for pixel
//   network.png, serial.png,   the window icons of the two help windows and the log
//   viewer.png                 viewer; 32 x 32 in the 16 colours of the classic palette
//   quorlane-16.png ...        the program icon at 16, 32, 48 and 256 pixels, for
//   quorlane-256.png           packaging
//
// The picture is taken from the real main window. It is built in a scratch
// QUORLANE_HOME whose COM 5 is a pseudo-terminal this tool opens, with the socket kept
// off the network and message boxes written to standard error instead of shown, so the
// tool runs headless (QT_QPA_PLATFORM=offscreen, or under xvfb-run).
//
// Usage: quorlane-picture <output folder>

#include "app/mainwindow.h"
#include "help/helpwindows.h"
#include "platform/base/runtimeerror.h"
#include "platform/widgets/controls.h"
#include "shared/look.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

QTextStream& say() {
    static QTextStream stream(stderr);
    return stream;
}

// ---- the scratch world the main window is built in ----

// A throw-away QUORLANE_HOME whose dosdevices/com5 is the slave side of a
// pseudo-terminal held open here, so the start-up opens COM 5 and greets a line that
// nobody answers.
class ScratchWorld {
public:
    ScratchWorld() = default;
    ScratchWorld(const ScratchWorld&) = delete;
    ScratchWorld& operator=(const ScratchWorld&) = delete;
    ~ScratchWorld() {
        if (master_ >= 0)
            ::close(master_);
        if (slave_ >= 0)
            ::close(slave_);
    }

    bool prepare() {
        if (!home_.isValid()) {
            say() << "cannot create a scratch folder\n";
            return false;
        }
        char name[256] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            say() << "openpty failed\n";
            return false;
        }
        termios raw{};
        ::tcgetattr(slave_, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave_, TCSANOW, &raw);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        const QString dosdevices = home_.path() + QStringLiteral("/dosdevices");
        if (!QDir().mkpath(dosdevices) ||
            !QFile::link(QString::fromLocal8Bit(name), dosdevices + QStringLiteral("/com5"))) {
            say() << "cannot link COM 5 in " << home_.path() << "\n";
            return false;
        }
        qputenv("QUORLANE_HOME", QFile::encodeName(home_.path()));
        // Nothing this tool does may reach beyond this machine.
        qputenv("QUORLANE_LOOPBACK_ONLY", "1");
        return true;
    }

    // Reads away what the window sent to COM 5.
    void drain() const {
        char sink[256];
        while (master_ >= 0 && ::read(master_, sink, sizeof sink) > 0) {
        }
    }

private:
    QTemporaryDir home_{QDir::tempPath() + QStringLiteral("/quorlane-picture-XXXXXX")};
    int master_ = -1;
    int slave_ = -1;
};

// Message boxes would wait for an operator: their texts go to standard error.
class NotedMessageBox : public MessageBox {
public:
    void show(QWidget*, const QString& text) override {
        say() << "message: " << text << "\n";
        say().flush();
        ++count;
    }
    int count = 0;
};

// A socket control that never touches the network: every connect fails.
class OfflineSocket : public SocketControl {
public:
    State state() const override { return State::Closed; }
    void Connect() override {
        fail(err::WrongSocketState, QStringLiteral("the picture tool has no network"));
    }
    void SendData(const QString&) override {
        fail(err::WrongSocketState, QStringLiteral("the picture tool has no network"));
    }
    void GetData(QByteArray& data) override { data.clear(); }
    void Close() override {}
};

void settle(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

QRect rectIn(const QWidget* widget, const QWidget* window) {
    return QRect(widget->mapTo(window, QPoint(0, 0)), widget->size());
}

// ---- Image1 ----

constexpr int PictureWidth = 294;
constexpr int PictureHeight = 276;

QImage portListPicture(frmQuorlaneTest& window, const ScratchWorld& world) {
    window.move(0, 0);
    window.show();
    settle(300);
    world.drain();

    ComboList* list = window.cmboCOMMPort;
    list->showPopup();
    QAbstractItemView* view = list->view();
    const QModelIndex five = view->model()->index(4, 0);
    view->setCurrentIndex(five);
    view->scrollTo(five);
    settle(300);

    QImage canvas = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QWidget* popup = view->window();
    QRect popupRect;
    if (popup != &window && popup->isVisible()) {
        popupRect = QRect(popup->mapToGlobal(QPoint(0, 0)) - window.mapToGlobal(QPoint(0, 0)),
                          popup->size());
        QPainter painter(&canvas);
        painter.drawPixmap(popupRect.topLeft(), popup->grab());
    } else {
        say() << "the port list did not open\n";
        return QImage();
    }
    list->hidePopup();

    // The serial help window carries its own copies of the serial heading and the set-up
    // button, at the same distance from each other as on the main window, and the
    // picture under them. The picture is the part of the main window that lines up under
    // those copies: it holds the heading (its left end lies under the help window's own
    // heading), the list with its popup and the button, pixel for pixel.
    frmRS232_485SetUp help;
    const QPoint shift = rectIn(window.label1[8], &window).topLeft() - help.label1[15]->pos();
    const QPoint buttonShift =
        rectIn(window.btnConnect[2], &window).topLeft() - help.btnConnect2->pos();
    if ((shift - buttonShift).manhattanLength() > 2) {
        say() << "the help window's heading and button do not line up with the main window's\n";
        return QImage();
    }
    const QRect region(help.Image1->pos() + shift, QSize(PictureWidth, PictureHeight));
    if (!canvas.rect().contains(region) || !region.intersects(popupRect)) {
        say() << "the picture's region misses the window or the list\n";
        return QImage();
    }
    return canvas.copy(region).convertToFormat(QImage::Format_RGB888);
}

// ---- icons in the 16 colours of the classic palette ----

namespace c16 {
const QColor Black(0, 0, 0), Maroon(128, 0, 0), Green(0, 128, 0), Olive(128, 128, 0),
    Navy(0, 0, 128), Purple(128, 0, 128), Teal(0, 128, 128), Silver(192, 192, 192),
    Gray(128, 128, 128), Red(255, 0, 0), Lime(0, 255, 0), Yellow(255, 255, 0), Blue(0, 0, 255),
    Fuchsia(255, 0, 255), Aqua(0, 255, 255), White(255, 255, 255);

QList<QRgb> table() {
    QList<QRgb> t;
    for (const QColor& c : {Black, Maroon, Green, Olive, Navy, Purple, Teal, Silver, Gray, Red,
                            Lime, Yellow, Blue, Fuchsia, Aqua, White})
        t << c.rgb();
    t << qRgba(0, 0, 0, 0); // transparent
    return t;
}
} // namespace c16

// A 32 x 32 canvas drawn without smoothing, so every pixel keeps one of the 16 colours.
class IconCanvas {
public:
    IconCanvas() : image_(32, 32, QImage::Format_ARGB32) {
        image_.fill(Qt::transparent);
        painter_.begin(&image_);
        painter_.setRenderHint(QPainter::Antialiasing, false);
    }
    QPainter& p() { return painter_; }
    void box(int x, int y, int w, int h, const QColor& fill) {
        painter_.fillRect(x, y, w, h, fill);
    }
    void frame(int x, int y, int w, int h, const QColor& line, const QColor& fill) {
        box(x, y, w, h, line);
        box(x + 1, y + 1, w - 2, h - 2, fill);
    }
    void line(int x1, int y1, int x2, int y2, const QColor& colour) {
        painter_.setPen(QPen(colour, 1));
        painter_.drawLine(x1, y1, x2, y2);
    }
    QImage finish() {
        painter_.end();
        return image_.convertToFormat(QImage::Format_Indexed8, c16::table(),
                                      Qt::ThresholdDither | Qt::AvoidDither);
    }

private:
    QImage image_;
    QPainter painter_;
};

// A small monitor at (x, y), 14 wide and 13 high with its stand.
void monitor(IconCanvas& c, int x, int y) {
    c.frame(x, y, 14, 10, c16::Black, c16::Silver);
    c.box(x + 2, y + 2, 10, 6, c16::Teal);
    c.box(x + 3, y + 3, 3, 1, c16::Aqua);
    c.box(x + 5, y + 10, 4, 1, c16::Gray);
    c.box(x + 3, y + 11, 8, 2, c16::Black);
    c.box(x + 4, y + 11, 6, 1, c16::Silver);
}

QImage networkIcon() {
    IconCanvas c;
    monitor(c, 1, 2);
    monitor(c, 17, 17);
    // The cable between the two, with the hub in the middle.
    c.line(8, 15, 8, 22, c16::Navy);
    c.line(8, 22, 16, 22, c16::Navy);
    c.line(15, 11, 15, 15, c16::Navy);
    c.line(15, 11, 23, 11, c16::Navy);
    c.line(23, 11, 23, 16, c16::Navy);
    c.frame(12, 14, 7, 5, c16::Black, c16::Yellow);
    c.box(14, 16, 1, 1, c16::Lime);
    c.box(16, 16, 1, 1, c16::Lime);
    return c.finish();
}

QImage serialIcon() {
    IconCanvas c;
    // A nine-pin D connector seen from the front: the shell narrows downwards.
    QPainterPath shell;
    shell.moveTo(3, 7);
    shell.lineTo(28, 7);
    shell.lineTo(25, 19);
    shell.lineTo(6, 19);
    shell.closeSubpath();
    c.p().setPen(QPen(c16::Black, 1));
    c.p().setBrush(c16::Silver);
    c.p().drawPath(shell);
    QPainterPath face;
    face.moveTo(6, 9);
    face.lineTo(25, 9);
    face.lineTo(23, 17);
    face.lineTo(8, 17);
    face.closeSubpath();
    c.p().setPen(QPen(c16::Gray, 1));
    c.p().setBrush(c16::Navy);
    c.p().drawPath(face);
    for (int i = 0; i < 5; ++i)
        c.box(7 + 4 * i, 11, 2, 2, c16::Yellow);
    for (int i = 0; i < 4; ++i)
        c.box(9 + 4 * i, 14, 2, 2, c16::Yellow);
    // The screws and the cable going down.
    c.box(1, 11, 2, 3, c16::Gray);
    c.box(29, 11, 2, 3, c16::Gray);
    c.frame(12, 19, 8, 4, c16::Black, c16::Gray);
    c.box(14, 23, 4, 8, c16::Black);
    c.box(15, 23, 2, 8, c16::Gray);
    return c.finish();
}

QImage viewerIcon() {
    IconCanvas c;
    // A page of text with its corner folded.
    c.box(5, 2, 18, 28, c16::Black);
    c.box(6, 3, 16, 26, c16::White);
    for (int i = 0; i < 6; ++i)
        c.box(6 + 16 - i - 1, 2 + i, i + 1 + 4, 1, Qt::transparent);
    c.box(21, 2, 1, 7, c16::Black);
    c.line(21, 2, 27, 8, c16::Black);
    c.box(21, 8, 6, 1, c16::Black);
    c.box(27, 8, 1, 22, c16::Black);
    c.box(22, 29, 5, 1, c16::Black);
    c.box(22, 9, 5, 20, c16::White);
    for (int i = 1; i < 6; ++i)
        c.box(22, 3 + i, i, 1, c16::Silver);
    for (int row = 0; row < 9; ++row) {
        const int width = (row % 3 == 2) ? 11 : 17;
        c.box(8, 11 + 2 * row, row < 2 ? width - 7 : width, 1, row < 2 ? c16::Navy : c16::Gray);
    }
    return c.finish();
}

// ---- the program icon ----

// A terminal screen in the program's dark teal with a yellow prompt and a green
// "link up" light. The small sizes are laid out on a 16-pixel grid without smoothing, so
// that their edges stay sharp; the large ones are drawn smooth on a 256-unit grid.
QImage programIcon(int size) {
    const QColor black(0, 0, 0), silver(192, 192, 192), teal(0, 64, 64), yellow(255, 255, 0),
        green(0, 255, 0);
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    if (size <= 32) {
        const int f = size / 16;
        auto box = [&](int x, int y, int w, int h, const QColor& colour) {
            p.fillRect(x * f, y * f, w * f, h * f, colour);
        };
        box(0, 1, 16, 14, black);
        box(1, 2, 14, 12, silver);
        box(2, 3, 12, 8, teal);
        // The prompt ">" and the cursor "_".
        box(3, 4, 2, 1, yellow);
        box(4, 5, 2, 1, yellow);
        box(5, 6, 2, 1, yellow);
        box(4, 7, 2, 1, yellow);
        box(3, 8, 2, 1, yellow);
        box(8, 9, 4, 1, yellow);
        box(12, 12, 1, 1, green);
        return image;
    }
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);
    p.setPen(Qt::NoPen);
    p.setBrush(black);
    p.drawRoundedRect(QRectF(8, 16, 240, 224), 28, 28);
    p.setBrush(silver);
    p.drawRoundedRect(QRectF(16, 24, 224, 208), 20, 20);
    p.setBrush(teal);
    p.drawRect(QRectF(32, 40, 192, 160));
    p.setPen(QPen(yellow, 24, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({QPointF(64, 80), QPointF(112, 120), QPointF(64, 160)}));
    p.drawLine(QPointF(132, 164), QPointF(188, 164));
    p.setPen(Qt::NoPen);
    p.setBrush(green);
    p.drawEllipse(QRectF(196, 208, 20, 16));
    return image;
}

bool save(const QImage& image, const QString& folder, const QString& name) {
    const QString path = folder + QLatin1Char('/') + name;
    if (image.isNull() || !image.save(path, "PNG")) {
        say() << "cannot write " << path << "\n";
        return false;
    }
    say() << "wrote " << path << " (" << image.width() << " x " << image.height() << ")\n";
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    ScratchWorld world;
    if (!world.prepare())
        return 1;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorlane"));
    look::registerFontSubstitutes();

    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        say() << "cannot create " << folder << "\n";
        return 1;
    }

    auto messages = std::make_shared<NotedMessageBox>();
    PlatformParts parts;
    parts.messageBox = messages;
    parts.makeSocket = [] { return std::make_unique<OfflineSocket>(); };
    frmQuorlaneTest window(std::move(parts));
    if (messages->count != 0 || window.cmboCOMMPort->currentText() != QLatin1String("Com 5")) {
        say() << "the main window did not start up as usual\n";
        return 1;
    }

    bool ok = save(portListPicture(window, world), folder, QStringLiteral("image1.png"));
    window.hide();
    ok = save(networkIcon(), folder, QStringLiteral("network.png")) && ok;
    ok = save(serialIcon(), folder, QStringLiteral("serial.png")) && ok;
    ok = save(viewerIcon(), folder, QStringLiteral("viewer.png")) && ok;
    for (int size : {16, 32, 48, 256})
        ok = save(programIcon(size), folder, QStringLiteral("quorlane-%1.png").arg(size)) && ok;
    return ok ? 0 : 1;
}
