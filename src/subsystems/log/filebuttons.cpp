#include "log/filebuttons.h"

#include "log/receivelog.h"
#include "platform/files/files.h"
#include "platform/widgets/filedialog.h"
#include "platform/widgets/richtextbox.h"
#include "shared/errortrap.h"
#include "shared/globals.h"
#include "shared/look.h"

#include <memory>

frmOpenProgram::frmOpenProgram() {
    setObjectName(QStringLiteral("frmOpenProgram"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Open..."));
    setWindowIcon(QIcon(QStringLiteral(":/look/viewer.png")));
    look::makeFixedWindow(this, 10068, 8136);
    look::fillWith(this, look::highlight());
    rtfReceive = new RichTextBox(this);
    rtfReceive->setObjectName(QStringLiteral("rtfReceive"));
    rtfReceive->setFont(look::font("Courier New", 9.6));
    rtfReceive->setGeometry(look::twips(0, 30, 9990, 7980));
    look::describe(rtfReceive, QStringLiteral("Viewed file"), QStringLiteral("rtfReceive"));
}

void frmOpenProgram::Form_Load() {
    rtfReceive->LoadFile(chosenFileName);
}

FileButtons::FileButtons(Parts parts) : p_(std::move(parts)) {}

FileButtons::~FileButtons() {
    delete viewer_.data();
}

void FileButtons::closeViewer() {
    if (viewer_)
        viewer_->close();
}

QString FileButtons::saveDestination(const QString& chosen) {
    const qsizetype position = chosen.indexOf(QLatin1String(".txt"), 0, Qt::CaseInsensitive) + 1;
    return position <= 1 ? chosen + QStringLiteral(".txt") : chosen;
}

void FileButtons::btnSave_Click(std::int16_t index) {
    p_.trap.run(QStringLiteral("btnSave_Click"), [&] {
        FileDialog& dialog = p_.dialog;
        dialog.CancelError = false;
        chosenFileName = QString();
        dialog.InitDir = appFolder;
        dialog.Filter = QStringLiteral("*.txt|*.txt");
        dialog.FileName = QString();
        if (index == 0) {
            dialog.ShowSave();
            chosenFileName = dialog.FileName;
            if (chosenFileName.isEmpty())
                return;
            // A log that missed a write while the disk was full or the folder gone is
            // saved again first, so the copy holds everything received.
            p_.log.catchUp();
            files::copyFile(p_.logFilePath, saveDestination(chosenFileName));
        } else if (index == 1) {
            dialog.ShowOpen();
            chosenFileName = dialog.FileName;
            if (chosenFileName.isEmpty())
                return;
            if (!viewer_) {
                auto viewer = std::make_unique<frmOpenProgram>();
                viewer->Form_Load();
                viewer_ = viewer.release();
            }
            viewer_->show();
            viewer_->raise();
            viewer_->activateWindow();
        }
    });
}
