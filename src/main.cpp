#include "form/look.h"
#include "app/mainwindow.h"
#include "platform/process.h"

#include <QApplication>

int main(int argc, char** argv) {
    prepareProcess();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorlane"));
    look::registerFontSubstitutes();
    frmQuorlaneTest window;
    window.show();
    return app.exec();
}
