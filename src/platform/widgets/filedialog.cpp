#include "platform/widgets/filedialog.h"

#include "platform/base/runtimeerror.h"

#include <QFileDialog>
#include <QStringList>

std::optional<QString> QtFileDialogBackend::ask(const Request& r) {
    QString path = r.initDir;
    if (!r.fileName.isEmpty())
        path = r.initDir.isEmpty() ? r.fileName : r.initDir + QLatin1Char('/') + r.fileName;
    const QString chosen =
        r.save ? QFileDialog::getSaveFileName(r.owner, QString(), path, r.nameFilter)
               : QFileDialog::getOpenFileName(r.owner, QString(), path, r.nameFilter);
    if (chosen.isEmpty())
        return std::nullopt;
    return chosen;
}

FileDialog::FileDialog(std::shared_ptr<FileDialogBackend> backend, QWidget* owner)
    : backend_(std::move(backend)), owner_(owner) {}

QString FileDialog::qtNameFilter(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        out << QStringLiteral("%1 (%2)").arg(parts[i], parts[i + 1]);
    return out.join(QStringLiteral(";;"));
}

void FileDialog::show(bool save) {
    FileDialogBackend::Request r;
    r.owner = owner_;
    r.save = save;
    r.initDir = InitDir;
    r.nameFilter = qtNameFilter(Filter);
    r.fileName = FileName;
    const std::optional<QString> chosen = backend_->ask(r);
    if (!chosen) {
        if (CancelError)
            throw RuntimeError(err::DialogCancelled, QStringLiteral("Cancel was selected."),
                               QStringLiteral("ComDialog"));
        return;
    }
    FileName = *chosen;
}
