#include "platform/widgets/windowaccessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QWidget>

namespace {

// Asked before Qt's own factory for each class of an object, most derived first; answers
// only for the two classes that Qt describes generically.
QAccessibleInterface* accessibleFor(const QString& className, QObject* object) {
    const bool frame = className == QLatin1String("QFrame");
    if (!frame && className != QLatin1String("QWidget"))
        return nullptr;
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget)
        return nullptr;
    if (!widget->isWindow())
        return frame ? new QAccessibleWidget(widget, QAccessible::Pane) : nullptr;
    switch (widget->windowType()) {
    case Qt::Window:
    case Qt::Tool:
        return new QAccessibleWidget(widget, QAccessible::Window);
    case Qt::Dialog:
    case Qt::Sheet:
        return new QAccessibleWidget(widget, QAccessible::Dialog);
    default: // pop-ups, tool tips, the splash screen: as Qt describes them
        return nullptr;
    }
}

} // namespace

namespace windowaccess {

void install() {
    // Qt's factory for its widgets is installed with the application; of two factories,
    // the one installed last is asked first.
    QAccessible::removeFactory(accessibleFor);
    QAccessible::installFactory(accessibleFor);
}

} // namespace windowaccess
