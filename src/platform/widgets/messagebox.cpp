#include "platform/widgets/messagebox.h"

#include <QMessageBox>

void ModalMessageBox::show(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quorlane"), text, QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
