// The main window on a real X server (Xvfb): its client area, where the visible controls
// are, and a screenshot kept as a test artefact.

#include "form/look.h"
#include "help/helpwindows.h"
#include "platform/controls.h"
#include "support/appharness.h"

#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <QtTest>

namespace {

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

} // namespace

class ScreenshotTest : public QObject {
    Q_OBJECT
private slots:
    void windowLooksAsDesigned();
    void captionsFitTheirControls();
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
    w.Timer1_Timer(); // the status captions as the timer writes them
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

QTEST_MAIN(ScreenshotTest)
#include "tst_x11_screenshot.moc"
