#pragma once

#include <QString>

#include <memory>
#include <optional>

class QWidget;

// What a file dialog asks the operator; the real one shows a dialog, tests script it.
class FileDialogBackend {
public:
    struct Request {
        QWidget* owner = nullptr;
        bool save = false;
        QString initDir;
        QString nameFilter; // in Qt's form, "*.txt (*.txt)"
        QString fileName;
    };
    virtual ~FileDialogBackend() = default;
    // The chosen file's full path, or nothing when the operator cancelled.
    virtual std::optional<QString> ask(const Request& request) = 0;
};

class QtFileDialogBackend : public FileDialogBackend {
public:
    std::optional<QString> ask(const Request& request) override;
};

// The common file dialog control: properties set before showing, FileName read after.
// Filter holds "description|pattern" pairs separated by '|'. After ShowSave or ShowOpen
// FileName holds the chosen path; on cancel it is left as it was, or, with CancelError
// set, DialogCancelled is thrown.
class FileDialog {
public:
    FileDialog(std::shared_ptr<FileDialogBackend> backend, QWidget* owner);

    bool CancelError = false;
    QString InitDir;
    QString Filter;
    QString FileName;

    void ShowSave() { show(true); }
    void ShowOpen() { show(false); }

    // "a|b|c|d" as Qt's ";;"-separated name filters "a (b);;c (d)".
    static QString qtNameFilter(const QString& filter);

private:
    void show(bool save);

    std::shared_ptr<FileDialogBackend> backend_;
    QWidget* owner_;
};
