#include "shared/errortrap.h"

#include "platform/base/runtimeerror.h"

ErrorTrap::ErrorTrap(QString windowName, Report report)
    : windowName_(std::move(windowName)), report_(std::move(report)) {}

bool ErrorTrap::run(const QString& procedure, const std::function<void()>& body,
                    const std::function<void()>& extraSteps) const {
    try {
        body();
        return true;
    } catch (const RuntimeError& e) {
        report_(QString::number(e.number()), e.description(), e.source(), windowName_, procedure);
        if (extraSteps)
            quietly(extraSteps);
        return false;
    }
}

bool ErrorTrap::quietly(const std::function<void()>& body) {
    try {
        body();
        return true;
    } catch (const RuntimeError&) {
        return false;
    }
}
