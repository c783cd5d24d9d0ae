#pragma once

#include <QString>

class QWidget;

// A modal message box with an OK button only, no icon and the title "Quorlane". show()
// returns when the operator has closed it; events of the window go on being handled
// meanwhile. Tests replace it with one that records the texts.
class MessageBox {
public:
    virtual ~MessageBox() = default;
    virtual void show(QWidget* owner, const QString& text) = 0;
};

class ModalMessageBox : public MessageBox {
public:
    void show(QWidget* owner, const QString& text) override;
};
