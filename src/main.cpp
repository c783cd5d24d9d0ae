#include "app/mainwindow.h"
#include "platform/base/process.h"
#include "shared/look.h"

#include <QApplication>
#include <QSessionManager>

namespace {

// Closes the main window as its close button does. Looked up among the top-level
// windows, because a request can come in while the window is still being created (its
// start-up may wait for a TCP/IP connect, letting events run).
void closeMainWindow() {
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget* w : windows)
        if (auto* main = qobject_cast<frmQuorlaneTest*>(w))
            main->requestClose();
}

} // namespace

int main(int argc, char** argv) {
    prepareProcess();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorlane"));
    look::registerFontSubstitutes();

    // A kill, a closed terminal, Ctrl+C and the session's logout end the program the way
    // closing its window does: the links closed, the log complete, exit status 0.
    TerminationRequests requests([](int) { closeMainWindow(); });
    QObject::connect(
        &app, &QGuiApplication::commitDataRequest, &app,
        [](QSessionManager&) { closeMainWindow(); }, Qt::DirectConnection);

    frmQuorlaneTest window;
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &window, &frmQuorlaneTest::shutdown);
    if (window.isClosing()) { // asked to end while it was starting
        window.close();
        return 0;
    }
    window.show();
    return app.exec();
}
