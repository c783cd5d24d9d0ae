#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdint>

class ErrorTrap;
class FileDialog;
class ReceiveLog;
class RichTextBox;

// The viewer window: shows one text file, read once when the window is created.
class frmOpenProgram : public QWidget {
    Q_OBJECT
public:
    frmOpenProgram();
    // Loads chosenFileName into the box; throws when the file cannot be read.
    void Form_Load();

    RichTextBox* rtfReceive = nullptr;
};

// The file buttons: "Save To File" copies the receive log to a file the operator names;
// "Open File" shows a file in the viewer window.
//
// A failure (the copy cannot be written, the file to view cannot be read) is shown in
// the error report under "btnSave_Click" and leaves the main window, both links and the
// log file as they were; a file that cannot be read opens no viewer. Saving the log onto
// itself leaves it as it is.
class FileButtons {
public:
    struct Parts {
        FileDialog& dialog;
        const QString& logFilePath;
        // Asked to bring the log file up to date before it is copied.
        ReceiveLog& log;
        const ErrorTrap& trap;
    };

    explicit FileButtons(Parts parts);
    ~FileButtons();
    FileButtons(const FileButtons&) = delete;
    FileButtons& operator=(const FileButtons&) = delete;

    void btnSave_Click(std::int16_t index);

    // Where "Save To File" puts the copy for the name the dialog returned.
    static QString saveDestination(const QString& chosen);

    frmOpenProgram* viewer() const { return viewer_; }
    // Closes the viewer if it is open, as its frame would (the program is ending).
    void closeViewer();

private:
    Parts p_;
    QPointer<frmOpenProgram> viewer_;
};
