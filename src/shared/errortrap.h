#pragma once

#include <QString>

#include <functional>

class RuntimeError;

// The common error trap of the main window's procedures. A trapped procedure runs its
// body through run(), naming itself and its own extra steps once. When the body throws
// a RuntimeError, the rest of the body is skipped, the error's number (as decimal
// text), description and source, the window's name and the procedure's name go to the
// error report, the extra steps run, and the procedure is left: nothing is resumed or
// retried and no error reaches the caller.
class ErrorTrap {
public:
    using Report =
        std::function<void(const QString& number, const QString& description, const QString& source,
                           const QString& window, const QString& procedure)>;

    ErrorTrap(QString windowName, Report report);

    // Returns true when the body ran to its end.
    bool run(const QString& procedure, const std::function<void()>& body,
             const std::function<void()>& extraSteps = {}) const;

    // For handlers that end silently on an error: true when the body ran to its end.
    static bool quietly(const std::function<void()>& body);

private:
    QString windowName_;
    Report report_;
};
