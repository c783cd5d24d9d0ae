// The main window on a real X server (Xvfb): its client area, where the visible controls
// are, and a screenshot kept as a test artefact. And what a screen reader gets: the suite
// runs with a private accessibility (AT-SPI) bus, so Qt's AT-SPI bridge is active in
// this process (the receive box's change announcements are heard here) and in the real
// program started as a child, which is read and driven over the bus as a screen reader
// would, while a pseudo-terminal (COM 5) and a server on 127.0.0.1:23 play the unit.

#include "commands/commands.h"
#include "help/helpwindows.h"
#include "platform/text/textview.h"
#include "platform/widgets/controls.h"
#include "platform/widgets/richtextbox.h"
#include "shared/look.h"
#include "support/appharness.h"
#include "support/atspibus.h"
#include "support/testutil.h"

#include <QAccessible>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

#include <csignal>
#include <functional>
#include <sys/prctl.h>

namespace {

AtSpiBus* atspi = nullptr; // made in main(), before the application

QWidget* findByDescription(QWidget* root, const QString& description) {
    for (QWidget* w : root->findChildren<QWidget*>())
        if (w->accessibleDescription() == description)
            return w;
    return nullptr;
}

// The control's rectangle in the window's client coordinates.
QRect inWindow(QWidget* window, QWidget* control) {
    return QRect(control->mapTo(window, QPoint(0, 0)), control->size());
}

// What the accessibility update handler heard.
struct Said {
    QAccessible::Event type = QAccessible::InvalidEvent;
    QObject* object = nullptr;
    int position = -1; // of a change, or the caret
    QString inserted;
    QString removed;
    int selStart = -1;
    int selEnd = -1;
};

QList<Said> heard;

void listen(QAccessibleEvent* e) {
    Said s;
    s.type = e->type();
    s.object = e->object();
    if (e->type() == QAccessible::TextInserted) {
        const auto* t = static_cast<QAccessibleTextInsertEvent*>(e);
        s.position = t->changePosition();
        s.inserted = t->textInserted();
    } else if (e->type() == QAccessible::TextRemoved) {
        const auto* t = static_cast<QAccessibleTextRemoveEvent*>(e);
        s.position = t->changePosition();
        s.removed = t->textRemoved();
    } else if (e->type() == QAccessible::TextUpdated) {
        const auto* t = static_cast<QAccessibleTextUpdateEvent*>(e);
        s.position = t->changePosition();
        s.inserted = t->textInserted();
        s.removed = t->textRemoved();
    } else if (e->type() == QAccessible::TextCaretMoved) {
        s.position = static_cast<QAccessibleTextCursorEvent*>(e)->cursorPosition();
    } else if (e->type() == QAccessible::TextSelectionChanged) {
        const auto* t = static_cast<QAccessibleTextSelectionEvent*>(e);
        s.selStart = t->selectionStart();
        s.selEnd = t->selectionEnd();
    }
    heard << s;
}

QList<Said> heardAbout(QObject* object, QAccessible::Event type) {
    QList<Said> out;
    for (const Said& s : heard)
        if (s.object == object && s.type == type)
            out << s;
    return out;
}

// A client of the accessibility bus, as a screen reader is one.
class AtSpiReader : public QObject {
    Q_OBJECT
public:
    struct Node {
        QString service;
        QString path;
        bool isValid() const { return !path.isEmpty(); }
        bool operator==(const Node&) const = default;
    };
    // The roles (AT-SPI numbers) a screen reader takes for a window: alert, dialog, frame
    // and window.
    static bool isWindowRole(uint role) { return role == 2 || role == 16 || role == 23 || role == 69; }
    static constexpr uint kFrame = 23, kDialog = 16;
    static constexpr int kActive = 1, kShowing = 25;

    explicit AtSpiReader(const QString& address)
        : bus_(QDBusConnection::connectToBus(address, QStringLiteral("atspi-reader"))) {}
    ~AtSpiReader() override { QDBusConnection::disconnectFromBus(QStringLiteral("atspi-reader")); }
    bool isConnected() const { return bus_.isConnected(); }

    // The application object of the process `pid`, once it is on the bus.
    Node application(qint64 pid) const {
        const QStringList names = bus_.interface()->registeredServiceNames().value();
        for (const QString& name : names) {
            if (name.startsWith(u':') && bus_.interface()->servicePid(name).value() == pid)
                return {name, QStringLiteral("/org/a11y/atspi/accessible/root")};
        }
        return {};
    }

    // The first object under `root` whose description is `description`.
    Node find(const Node& root, const QString& description) const {
        if (property(root, "Description") == description)
            return root;
        for (const Node& child : children(root)) {
            const Node found = find(child, description);
            if (found.isValid())
                return found;
        }
        return {};
    }

    QString property(const Node& n, const char* name) const {
        return get(n, name).toString();
    }

    QString text(const Node& n) const {
        return call(n, "org.a11y.atspi.Text", "GetText", {0, -1}).arguments().value(0).toString();
    }

    // Runs the object's first action (a button's press) without waiting for it to end.
    bool press(const Node& n) const {
        return bus_.send(message(n, "org.a11y.atspi.Action", "DoAction", {0}));
    }

    uint role(const Node& n) const {
        return call(n, "org.a11y.atspi.Accessible", "GetRole", {}).arguments().value(0).toUInt();
    }
    bool hasState(const Node& n, int state) const {
        const QDBusMessage reply = call(n, "org.a11y.atspi.Accessible", "GetState", {});
        const auto words = qdbus_cast<QList<uint>>(reply.arguments().value(0));
        return state / 32 < words.size() && (words[state / 32] >> (state % 32)) & 1;
    }
    Node parent(const Node& n) const {
        const QVariant up = get(n, "Parent"); // nothing once the object is gone
        return up.canConvert<QDBusArgument>() ? reference(up.value<QDBusArgument>()) : Node{};
    }
    // The window `n` is in: its ancestor just below the application.
    Node windowOf(const Node& n) const {
        Node window = n;
        for (Node up = parent(n); up.isValid() && up.path != kRoot; up = parent(up))
            window = up;
        return window;
    }
    // How many objects with a window role there are from `n` down.
    int windowRolesIn(const Node& n) const {
        int count = isWindowRole(role(n));
        for (const Node& child : children(n))
            count += windowRolesIn(child);
        return count;
    }

    // Asks the registry for focus events (as a screen reader does); from then on every
    // object that gains the focus is appended to `focused`.
    bool listenForFocus() {
        const QString event = QStringLiteral("object:state-changed:focused");
        QDBusMessage m = QDBusMessage::createMethodCall(
            QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("/org/a11y/atspi/registry"),
            QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("RegisterEvent"));
        m.setArguments({event, QStringList()});
        return bus_.connect(QString(), QString(), QStringLiteral("org.a11y.atspi.Event.Object"),
                            QStringLiteral("StateChanged"), this,
                            SLOT(stateChanged(QDBusMessage))) &&
               bus_.call(m, QDBus::Block, 10000).type() == QDBusMessage::ReplyMessage;
    }
    QList<Node> focused;

private slots:
    void stateChanged(const QDBusMessage& m) {
        if (m.arguments().value(0).toString() == QLatin1String("focused") &&
            m.arguments().value(1).toInt() == 1)
            focused << Node{m.service(), m.path()};
    }

public:
    QList<Node> children(const Node& n) const {
        QList<Node> out;
        const QDBusMessage reply = call(n, "org.a11y.atspi.Accessible", "GetChildren", {});
        if (reply.arguments().isEmpty())
            return out;
        const QDBusArgument list = reply.arguments()[0].value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd())
            out << reference(list);
        list.endArray();
        return out;
    }
private:
    static constexpr QLatin1StringView kRoot{"/org/a11y/atspi/accessible/root"};

    static Node reference(const QDBusArgument& arg) {
        QString service;
        QDBusObjectPath path;
        arg.beginStructure();
        arg >> service >> path;
        arg.endStructure();
        return {service, path.path()};
    }
    QVariant get(const Node& n, const char* name) const {
        const QDBusMessage reply =
            call(n, "org.freedesktop.DBus.Properties", "Get",
                 {QStringLiteral("org.a11y.atspi.Accessible"), QString::fromLatin1(name)});
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }
    static QDBusMessage message(const Node& n, const char* interface, const char* method,
                                const QVariantList& args) {
        QDBusMessage m = QDBusMessage::createMethodCall(n.service, n.path, QLatin1String(interface),
                                                        QLatin1String(method));
        m.setArguments(args);
        return m;
    }
    QDBusMessage call(const Node& n, const char* interface, const char* method,
                      const QVariantList& args) const {
        return bus_.call(message(n, interface, method, args), QDBus::Block, 10000);
    }

    QDBusConnection bus_;
};

// The real program, started as a user starts it, with a pseudo-terminal playing the unit
// on COM 5 of a scratch home, and read over the accessibility bus by a reader that has
// asked for focus events before the program started.
struct RunningProgram {
    ScratchHome home;
    PtyPeer unit;
    QProcess process;
    AtSpiReader reader{atspi->address()};
    AtSpiReader::Node root; // its application object

    RunningProgram() {
        if (!home.isValid() || !unit.isValid() || !unit.linkAs(home, 5) || !reader.listenForFocus())
            return;
        process.setProcessEnvironment(home.programEnvironment(QStringLiteral("xcb")));
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        // Also while a modal box is open, where a request to close waits for the box.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.start(QStringLiteral(QUORLANE_BINARY_DIR "/quorlane"), QStringList());
    }
    ~RunningProgram() {
        process.terminate();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
    // Waits until the program is on the accessibility bus and its main window is active.
    bool onTheBus() {
        if (!process.waitForStarted(10000) || !reader.isConnected())
            return false;
        QDeadlineTimer deadline(20000);
        while (!(root = reader.application(process.processId())).isValid() && !deadline.hasExpired())
            QTest::qWait(50);
        const auto active = [&] {
            const QList<AtSpiReader::Node> windows = reader.children(root);
            return !windows.isEmpty() && reader.hasState(windows[0], AtSpiReader::kActive);
        };
        while (root.isValid() && !active() && !deadline.hasExpired())
            QTest::qWait(50);
        return root.isValid() && active();
    }
};

// Presses keys on the X server's keyboard, as the user does (xdotool key names).
bool typeKeys(const QStringList& keys) {
    return QProcess::execute(QStringLiteral("xdotool"), QStringList{QStringLiteral("key")} + keys) == 0;
}
bool typeText(const QString& text) {
    return QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("type"), text}) == 0;
}

} // namespace

class ScreenshotTest : public QObject {
    Q_OBJECT
private slots:
    void windowLooksAsDesigned();
    void captionsFitTheirControls();
    void receiveBoxAnnouncesChanges();
    void screenReaderReadsTheProgram();
    void screenReaderFindsEachWindow();
    void orcaSpeaksTheMainWindow();
};

void ScreenshotTest::windowLooksAsDesigned() {
    QVERIFY2(QGuiApplication::platformName() == QLatin1String("xcb"), "this suite runs under Xvfb");
    AppHarness app;
    auto& w = app.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::qWait(300);

    QCOMPARE(w.size(), QSize(817, 649));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    const Qt::WindowFlags flags = w.windowHandle()->flags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QCOMPARE(w.windowTitle(), QStringLiteral("Quorlane - 2018-08-20"));

    // Frame1 sits at 120, 0 twips; the controls below are at their twips rectangle
    // within it, divided by 15 and rounded.
    struct Expect {
        const char* description;
        int l, t, width, height;
    };
    const Expect expected[] = {
        {"btnConnect(0)", 1140, 255, 1740, 555}, {"btnConnect(1)", 2955, 255, 1770, 555},
        {"btnConnect(4)", 4785, 255, 2070, 555}, {"btnConnect(2)", 10485, 255, 1305, 555},
        {"btnConnect(3)", 3765, 825, 3090, 345}, {"cmboCOMMPort", 8520, 240, 1860, 525},
        {"txtTcp1", 1185, 810, 585, 360},        {"txtTcp4", 3105, 810, 555, 360},
        {"txtRS232Send", 1140, 1185, 8625, 390}, {"btnSave(0)", 9885, 1185, 1905, 390},
        {"btnSave(1)", 9885, 1620, 1905, 390},   {"btnTest(5)", 2880, 1990, 3120, 315},
        {"lblConnect(2)", 7932, 720, 3132, 372}, {"rtfReceive", 120, 2250, 11700, 7260},
    };
    for (const Expect& e : expected) {
        QWidget* control = findByDescription(&w, QString::fromLatin1(e.description));
        QVERIFY2(control, e.description);
        QVERIFY2(control->isVisible(), e.description);
        const QRect want = look::twips(120 + e.l, e.t, e.width, e.height);
        QCOMPARE(inWindow(&w, control), want);
    }
    // Hidden controls are there but not on screen.
    QVERIFY(!findByDescription(&w, QStringLiteral("txtSend"))->isVisible());
    for (int i = 0; i < 5; ++i)
        QVERIFY(!findByDescription(&w, QStringLiteral("btnTest(%1)").arg(i))->isVisible());

    const QImage shot = w.screen()->grabWindow(w.winId()).toImage();
    QCOMPARE(shot.size(), QSize(817, 649));
    QDir().mkpath(QStringLiteral(QUORLANE_ARTIFACTS));
    QVERIFY(shot.save(QStringLiteral(QUORLANE_ARTIFACTS "/main-window.png")));

    // The background between the controls is the highlight colour, and the yellow
    // copy of the "Receive" heading is drawn.
    QCOMPARE(shot.pixelColor(3, 640), look::highlight());
    const QRect heading = inWindow(&w, w.label1[2]);
    bool yellowSeen = false;
    for (int y = heading.top(); y <= heading.bottom() && !yellowSeen; ++y)
        for (int x = heading.left(); x <= heading.right() && !yellowSeen; ++x)
            yellowSeen = shot.pixelColor(x, y) == look::yellow();
    QVERIFY(yellowSeen);
}

void ScreenshotTest::captionsFitTheirControls() {
    AppHarness app;
    auto& w = app.window();
    w.commands().Timer1_Timer(); // the status captions as the timer writes them
    w.btnConnect_Click(2);
    QWidget* serialHelp = w.helpWindows().serial();
    QVERIFY(serialHelp);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(QTest::qWaitForWindowExposed(serialHelp));

    // Every caption shows whole at the fonts the windows pick: a label's text on one line
    // within the label, a button's caption, wrapped at word boundaries where it must,
    // within the button.
    int wrapped = 0;
    for (QWidget* window : {static_cast<QWidget*>(&w), serialHelp}) {
        for (QLabel* label : window->findChildren<QLabel*>()) {
            if (label->text().isEmpty() || !label->isVisible())
                continue;
            const QSize needed = label->fontMetrics().size(Qt::TextSingleLine, label->text());
            const QSize room = label->contentsRect().size();
            QVERIFY2(needed.width() <= room.width() && needed.height() <= room.height(),
                     qPrintable(QStringLiteral("%1 \"%2\" needs %3x%4, has %5x%6")
                                    .arg(label->accessibleDescription(), label->text())
                                    .arg(needed.width())
                                    .arg(needed.height())
                                    .arg(room.width())
                                    .arg(room.height())));
        }
        for (auto* button : window->findChildren<CommandButton*>()) {
            if (!button->isVisible())
                continue;
            const QRect room = button->captionRect();
            const QRect needed = button->fontMetrics().boundingRect(
                room, CommandButton::CaptionFlags, button->text());
            QVERIFY2(room.contains(needed),
                     qPrintable(QStringLiteral("%1 \"%2\" needs %3x%4, has %5x%6")
                                    .arg(button->accessibleDescription(), button->text())
                                    .arg(needed.width())
                                    .arg(needed.height())
                                    .arg(room.width())
                                    .arg(room.height())));
            wrapped += needed.height() > button->fontMetrics().lineSpacing();
        }
    }
    // "RS232/485 Setup" reads as two lines on its narrow button, in both windows.
    QVERIFY(wrapped >= 2);
    QVERIFY(serialHelp->grab().save(QStringLiteral(QUORLANE_ARTIFACTS "/serial-setup.png")));
}

void ScreenshotTest::receiveBoxAnnouncesChanges() {
    QVERIFY2(atspi->isValid(), qPrintable(atspi->error()));
    QTRY_VERIFY_WITH_TIMEOUT(QAccessible::isActive(), 20000);
    AppHarness app;
    auto& w = app.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    TextView* view = w.rtfReceive->view();
    TextStore& store = w.rtfReceive->store();
    QAccessible::installUpdateHandler(listen);
    const auto restore = qScopeGuard([] {
        QAccessible::installUpdateHandler(nullptr);
        heard.clear();
    });

    // Many pieces between two repaints make one insertion that carries them all.
    heard.clear();
    const std::int64_t start = store.length();
    QByteArray pieces;
    bool carry = false;
    for (int i = 0; i < 200; ++i) {
        const QByteArray piece = "piece " + QByteArray::number(i) + (i % 3 ? "\r" : "\n");
        store.append(piece, carry);
        pieces += piece;
    }
    QTRY_VERIFY(!heardAbout(view, QAccessible::TextInserted).isEmpty());
    QList<Said> said = heardAbout(view, QAccessible::TextInserted);
    QCOMPARE(said.size(), 1);
    QCOMPARE(said[0].position, start);
    QCOMPARE(said[0].inserted, asBoxText(pieces));

    // What the unit sends goes into the box through the receive handling (at the caret,
    // which then goes to the end), told in order and where it went.
    store.setSelStart(store.length());
    heard.clear();
    const std::int64_t before = store.length();
    QVERIFY(app.com5->write("the unit speaks\r\n"));
    QTRY_VERIFY(store.bytes().endsWith("the unit speaks\r\n"));
    const QString arrived = QString::fromLatin1(store.mid(before, store.length() - before));
    const auto told = [&] {
        QString out;
        for (const Said& s : heardAbout(view, QAccessible::TextInserted))
            out += s.position == before + out.size() ? s.inserted : QStringLiteral("<gap>");
        return out;
    };
    QTRY_COMPARE(told(), arrived);

    // Selection and caret.
    heard.clear();
    store.select(5, 9); // within "piece 0"
    QTRY_VERIFY(!heardAbout(view, QAccessible::TextSelectionChanged).isEmpty());
    QCOMPARE(heardAbout(view, QAccessible::TextSelectionChanged).last().selStart, 5);
    QCOMPARE(heardAbout(view, QAccessible::TextSelectionChanged).last().selEnd, 9);
    heard.clear();
    store.setSelStart(8);
    QTRY_VERIFY(!heardAbout(view, QAccessible::TextCaretMoved).isEmpty());
    QCOMPARE(heardAbout(view, QAccessible::TextCaretMoved).last().position, 8);

    // Replacing the whole text: no announcement carries more than 64 K characters.
    heard.clear();
    const qsizetype old = store.length();
    w.rtfReceive->setText(QString(300000, u'b'));
    QTRY_VERIFY(!heardAbout(view, QAccessible::TextUpdated).isEmpty());
    said = heardAbout(view, QAccessible::TextUpdated);
    QCOMPARE(said.size(), 1);
    QCOMPARE(said[0].position, 0);
    QCOMPARE(said[0].removed, QString(old, u' '));
    QCOMPARE(said[0].inserted, QString(65536, u'b'));
    heard.clear();
    w.rtfReceive->setText(QString());
    QTRY_VERIFY(!heardAbout(view, QAccessible::TextRemoved).isEmpty());
    QCOMPARE(heardAbout(view, QAccessible::TextRemoved).last().removed.size(), 65536);
}

void ScreenshotTest::screenReaderReadsTheProgram() {
    QVERIFY2(atspi->isValid(), qPrintable(atspi->error()));
    // The unit: a pseudo-terminal linked as COM 5 in a scratch home, and a server on port
    // 23 of 127.0.0.1, where the program connects when the unit names that address.
    QTcpServer tcpUnit;
    QVERIFY2(tcpUnit.listen(QHostAddress::LocalHost, 23), qPrintable(tcpUnit.errorString()));
    RunningProgram program;
    PtyPeer& unit = program.unit;
    AtSpiReader& reader = program.reader;

    // Serial traffic: the greeting, and the unit's answer with its address.
    QCOMPARE(unit.waitFor(5, 20000), QByteArray("rip\r\n"));
    QVERIFY(unit.write("IP: 127.0.0.1.\r\n"));
    QVERIFY(program.onTheBus());
    const AtSpiReader::Node root = program.root;
    AtSpiReader::Node box;
    QTRY_VERIFY_WITH_TIMEOUT((box = reader.find(root, QStringLiteral("rtfReceive"))).isValid(),
                             20000);
    QCOMPARE(reader.property(box, "Name"), QStringLiteral("Receive box"));
    QTRY_VERIFY_WITH_TIMEOUT(reader.text(box).contains(QStringLiteral("IP: 127.0.0.1.\r\n")),
                             20000);

    // Captions by their names: a heading, whose name is its caption, and the serial status
    // label.
    QCOMPARE(reader.property(reader.find(root, QStringLiteral("label1(7)")), "Name"),
             QStringLiteral("RS232/485"));
    QCOMPARE(reader.property(reader.find(root, QStringLiteral("lblConnect(2)")), "Name"),
             QStringLiteral("Connect to com 5"));

    // TCP/IP traffic: "Connect TCP/IP" pressed through its action connects to the address
    // the unit gave; what the unit sends there shows in the box.
    QVERIFY(reader.press(reader.find(root, QStringLiteral("btnConnect(0)"))));
    QTRY_VERIFY_WITH_TIMEOUT(tcpUnit.hasPendingConnections(), 20000);
    QTcpSocket* link = tcpUnit.nextPendingConnection();
    QByteArray greeting;
    QTRY_VERIFY_WITH_TIMEOUT((greeting += link->readAll()).contains("rip"), 20000);
    link->write("unit over tcp/ip");
    QTRY_VERIFY_WITH_TIMEOUT(reader.text(box).contains(QStringLiteral("unit over tcp/ip")), 20000);
    QVERIFY(reader.text(box).contains(QStringLiteral("IP: 127.0.0.1.\r\n")));
    // The timer's next tick announces the link in the TCP/IP status caption.
    const AtSpiReader::Node tcpStatus = reader.find(root, QStringLiteral("lblConnect(1)"));
    QTRY_COMPARE_WITH_TIMEOUT(reader.property(tcpStatus, "Name"),
                              QStringLiteral("Connect To TCP/IP: 127.0.0.1"), 20000);
}

void ScreenshotTest::screenReaderFindsEachWindow() {
    QVERIFY2(atspi->isValid(), qPrintable(atspi->error()));
    RunningProgram program;
    AtSpiReader& reader = program.reader;
    QVERIFY(program.onTheBus());
    const AtSpiReader::Node root = program.root;
    const QString viewed = program.home.path() + QStringLiteral("/viewed.txt");
    QVERIFY(QFile(viewed).open(QIODevice::WriteOnly));

    // Each window of the program as the user opens it: the window that is then active,
    // the control that then has the focus, and what opens it (a button of the main window
    // pressed through its action, then text and keys typed).
    struct Step {
        const char* window;
        uint role;
        const char* focused;
        const char* press;
        QString text;
        QStringList keys;
    };
    const Step steps[] = {
        {frmQuorlaneTest::Caption, AtSpiReader::kFrame, "Save To File", nullptr, {}, {"Tab"}},
        {frmRS232_485SetUp::Caption, AtSpiReader::kFrame, "RS232/485 Setup", "btnConnect(2)", {}, {}},
        {frmNetWorkSetUp::Caption, AtSpiReader::kFrame, "Network set-up help", "btnConnect(4)", {}, {}},
        {"Open", AtSpiReader::kDialog, "File name:", "btnSave(1)", {}, {}},
        {"Open...", AtSpiReader::kFrame, "Viewed file", nullptr, viewed, {"Return"}},
    };
    for (const Step& step : steps) {
        const QString window = QString::fromLatin1(step.window);
        if (step.press)
            QVERIFY(reader.press(reader.find(root, QString::fromLatin1(step.press))));
        if (!step.text.isEmpty())
            QVERIFY(typeText(step.text));
        if (!step.keys.isEmpty())
            QVERIFY(typeKeys(step.keys));
        // The focus moves to the control, in the window, which is active.
        AtSpiReader::Node focus, top;
        const auto arrived = [&] {
            if (reader.focused.isEmpty())
                return false;
            focus = reader.focused.last();
            top = reader.windowOf(focus);
            return reader.property(top, "Name") == window &&
                   reader.property(focus, "Name") == QString::fromLatin1(step.focused);
        };
        QTRY_VERIFY2_WITH_TIMEOUT(arrived(), step.window, 20000);
        QCOMPARE(reader.role(top), step.role);
        QVERIFY2(reader.hasState(top, AtSpiReader::kActive), step.window);
        QVERIFY2(reader.hasState(top, AtSpiReader::kShowing), step.window);
        // The window is the one object of its tree that a screen reader takes for a window.
        QCOMPARE(reader.windowRolesIn(top), 1);
    }
}

void ScreenshotTest::orcaSpeaksTheMainWindow() {
    QVERIFY2(atspi->isValid(), qPrintable(atspi->error()));
    const QString orcaPath = QStandardPaths::findExecutable(QStringLiteral("orca"));
    QVERIFY2(!orcaPath.isEmpty(), "the screen reader Orca is not installed (apt-get install orca)");

    // Orca with settings, data and cache of its own, writing its debug log, which shows
    // what it speaks, to a pseudo-terminal (where it writes line by line) read as it comes.
    QTemporaryDir orcaHome;
    PtyPeer log;
    QVERIFY(orcaHome.isValid() && log.isValid());
    QByteArray said;
    QFile kept(QStringLiteral(QUORLANE_ARTIFACTS "/orca-debug.log")); // for a look afterwards
    QVERIFY(kept.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QSocketNotifier logged(log.masterFd(), QSocketNotifier::Read);
    connect(&logged, &QSocketNotifier::activated, this, [&] {
        const QByteArray more = log.readAvailable();
        said += more;
        kept.write(more);
    });
    const auto spoke = [&](const QString& utterance) {
        return said.contains("SPEECH OUTPUT: '" + utterance.toUtf8());
    };
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* dir : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        env.insert(QLatin1String(dir), orcaHome.path() + u'/' + QLatin1String(dir));
    env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("memory"));
    QProcess orca;
    orca.setProcessEnvironment(env);
    orca.setProcessChannelMode(QProcess::MergedChannels);
    orca.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    orca.start(orcaPath, {QStringLiteral("--debug-file"), log.slavePath(), QStringLiteral("--user-prefs"),
                          orcaHome.path() + QStringLiteral("/prefs")});
    const auto stop = qScopeGuard([&] {
        orca.terminate();
        if (!orca.waitForFinished(10000))
            orca.kill();
    });
    QTRY_VERIFY2_WITH_TIMEOUT(said.contains("ORCA: Starting registry") ||
                                  orca.state() == QProcess::NotRunning,
                              "Orca did not start", 30000);
    QVERIFY2(orca.state() == QProcess::Running, orca.readAll().constData());

    RunningProgram program;
    QVERIFY(program.onTheBus());
    const QString title = QString::fromLatin1(frmQuorlaneTest::Caption);
    QTRY_VERIFY_WITH_TIMEOUT(spoke(title + QStringLiteral(" frame.")), 20000);

    // Tab moves through the main window; each control is announced by the caption it
    // shows or its accessible name, and its kind. From the box the focus starts in round
    // to it again.
    const char* const tabOrder[][2] = {
        {"Save To File", "push button"},
        {"Open File", "push button"},
        {"Connect TCP/IP", "push button"},
        {"Disconnect TCP/IP", "push button"},
        {"Com 5", "editable combo box"},
        {"Serial send line", "text"},
        {"RS232/485 Setup", "push button"},
        {"Network TCP/IP Setup", "push button"},
        {"Change Remote Host TCP/IP", "push button"},
        {"First octet of the unit's address", "text"},
        {"Second octet of the unit's address", "text"},
        {"Third octet of the unit's address", "text"},
        {"Fourth octet of the unit's address", "text"},
        {"Turn On Read rdp From TCP/IP", "push button"},
        {"Receive box", "text"},
    };
    for (const auto& [name, role] : tabOrder) {
        said.clear();
        QVERIFY(typeKeys({QStringLiteral("Tab")}));
        const QString announced = QStringLiteral("%1 %2.").arg(QString::fromUtf8(name), QLatin1String(role));
        QTRY_VERIFY2_WITH_TIMEOUT(spoke(announced), qPrintable(announced), 20000);
    }
    // What the unit sends while the receive box has the focus is read out as it arrives.
    QVERIFY(program.unit.write("hello from the unit\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(spoke(QStringLiteral("hello from the unit")), 20000);
}

int main(int argc, char** argv) {
    // Before the application: its AT-SPI bridge looks for the bus when it starts.
    AtSpiBus bus;
    atspi = &bus;
    bus.startWindowManager();
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    ScreenshotTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_x11_screenshot.moc"
