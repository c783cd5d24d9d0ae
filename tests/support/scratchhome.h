#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

// A throw-away QUORLANE_HOME: a temporary folder that QUORLANE_HOME points at while the
// object lives (the previous value comes back on destruction), with helpers for the
// serial-port links in its dosdevices folder.
class ScratchHome {
public:
    ScratchHome();
    ~ScratchHome();
    ScratchHome(const ScratchHome&) = delete;
    ScratchHome& operator=(const ScratchHome&) = delete;

    bool isValid() const { return dir_.isValid(); }
    QString path() const { return dir_.path(); }
    // The dosdevices folder, created on first use.
    QString dosdevices() const;
    // dosdevices/comN, whether it exists or not.
    QString comPath(int n) const;

    // Makes dosdevices/comN a symbolic link to `target`, replacing what was there.
    bool linkCom(int n, const QString& target) const;
    // Makes dosdevices/comN a dangling link (to a path in the scratch folder that does
    // not exist). Returns that target path.
    QString linkMissing(int n) const;
    // Removes dosdevices/comN.
    bool unlinkCom(int n) const;

    // The environment to start the real program in: this home, sockets that refuse any
    // address outside 127.0.0.0/8, and the given window system platform.
    QProcessEnvironment programEnvironment(const QString& platform) const;

private:
    QTemporaryDir dir_;
    bool hadHome_ = false;
    QByteArray previousHome_;
};
