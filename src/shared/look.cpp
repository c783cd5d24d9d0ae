#include "shared/look.h"

#include "platform/widgets/windowaccessible.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QWidget>

#include <cmath>

// The windows' icons and pictures are compiled into this library. A static library's
// resource object is linked only when something refers to it, so it is registered here,
// in a file every window links.
static int registerLookResources() {
    Q_INIT_RESOURCE(look);
    return 0;
}
[[maybe_unused]] static const int lookResourcesRegistered = registerLookResources();

namespace look {

int twips(int value) {
    return static_cast<int>(std::lround(value / 15.0));
}

QRect twips(int left, int top, int width, int height) {
    return QRect(twips(left), twips(top), twips(width), twips(height));
}

void registerFontSubstitutes() {
    static bool done = false;
    if (done)
        return;
    done = true;
    const QStringList sans = {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")};
    for (const char* family : {"Tahoma", "MS Sans Serif", "Arial"})
        QFont::insertSubstitutions(QString::fromLatin1(family), sans);
    QFont::insertSubstitutions(QStringLiteral("Courier New"), {QStringLiteral("Liberation Mono"),
                                                               QStringLiteral("DejaVu Sans Mono")});
}

QFont font(const char* family, double pointSize, bool bold) {
    registerFontSubstitutes();
    QFont f(QString::fromLatin1(family));
    f.setPointSizeF(pointSize);
    f.setBold(bold);
    if (QString::fromLatin1(family) == QLatin1String("Courier New"))
        f.setStyleHint(QFont::Monospace);
    return f;
}

QColor yellow() {
    return QColor(255, 255, 0);
}
QColor darkTeal() {
    return QColor(0, 64, 64);
}
QColor highlight() {
    return QApplication::palette().color(QPalette::Highlight);
}

void fillWith(QWidget* widget, const QColor& background) {
    QPalette p = widget->palette();
    p.setColor(QPalette::Window, background);
    widget->setPalette(p);
    widget->setAutoFillBackground(true);
}

void makeFixedWindow(QWidget* window, int clientWidthTwips, int clientHeightTwips) {
    windowaccess::install();
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    window->setFixedSize(twips(clientWidthTwips), twips(clientHeightTwips));
}

void makeSizableWindow(QWidget* window, int clientWidthTwips, int clientHeightTwips) {
    windowaccess::install();
    window->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    window->resize(twips(clientWidthTwips), twips(clientHeightTwips));
}

QFont defaultFont() {
    return font("MS Sans Serif", 8.25);
}

QLabel* label(QWidget* parent, const QString& caption, const QFont& font, bool yellow,
              Qt::Alignment alignment) {
    return label(new QLabel(parent), caption, font, yellow, alignment);
}

QLabel* label(QLabel* l, const QString& caption, const QFont& font, bool yellow,
              Qt::Alignment alignment) {
    l->setTextFormat(Qt::PlainText);
    l->setText(caption);
    l->setFont(font);
    l->setAlignment(alignment);
    l->setAutoFillBackground(false);
    if (yellow) {
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, look::yellow());
        l->setPalette(p);
    }
    return l;
}

void GapMarks::paintEvent(QPaintEvent* event) {
    if (boxes_.size() < 2) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(palette().color(foregroundRole()));
    const QFontMetrics metrics(font());
    const int baseline = contentsRect().top() + metrics.ascent(); // the caption's top line
    qsizetype gap = 0;
    for (const QChar c : text()) {
        if (c.isSpace())
            continue;
        if (gap + 1 >= boxes_.size())
            break;
        const int left = boxes_[gap]->geometry().right() + 1 - x();
        const int right = boxes_[gap + 1]->x() - x();
        ++gap;
        const QString mark(c);
        const QRect ink = metrics.tightBoundingRect(mark);
        painter.drawText((left + right - ink.width()) / 2 - ink.left(), baseline, mark);
    }
}

void stackLabelsBeneath(QWidget* container) {
    const QList<QWidget*> children = container->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* child : children) {
        if (!qobject_cast<QLabel*>(child))
            child->raise();
    }
}

void describe(QWidget* widget, const QString& name, const QString& description) {
    widget->setAccessibleName(name);
    widget->setAccessibleDescription(description);
}

void describe(QWidget* widget, const QString& description) {
    // No name of its own: the control's accessible object reports the caption it shows.
    describe(widget, QString(), description);
}

} // namespace look
