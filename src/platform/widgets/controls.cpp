#include "platform/widgets/controls.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QValidator>
#include <QWheelEvent>

#include <limits>

// Accepts an edit when it stays within the limit or makes the text shorter, so that a
// longer text the program wrote can still be shortened by the operator.
class LimitValidator : public QValidator {
public:
    LimitValidator(const TextBox* box, int limit, QObject* parent)
        : QValidator(parent), box_(box), limit_(limit) {}
    State validate(QString& input, int&) const override {
        if (box_->writing_ || input.size() <= limit_ || input.size() < box_->before_.size())
            return Acceptable;
        return Invalid;
    }

private:
    const TextBox* box_;
    int limit_;
};

TextBox::TextBox(QWidget* parent) : QLineEdit(parent) {
    setMaxLength(std::numeric_limits<int>::max());
    connect(this, &QLineEdit::textChanged, this, [this](const QString& text) {
        before_ = text;
        emit Change();
    });
}

void TextBox::setText(const QString& text) {
    if (text == this->text())
        return;
    const bool outer = !writing_;
    writing_ = true;
    QLineEdit::setText(text);
    if (outer)
        writing_ = false;
}

void TextBox::setInputLimit(int characters) {
    limit_ = characters;
    setValidator(characters > 0 ? new LimitValidator(this, characters, this) : nullptr);
}

void TextBox::keyPressEvent(QKeyEvent* event) {
    if (KeyPress) {
        std::int16_t code = 0;
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
            code = 13;
        else if (!event->text().isEmpty())
            code = static_cast<std::int16_t>(event->text().at(0).unicode());
        if (code != 0) {
            KeyPress(code);
            if (code == 0) {
                event->accept();
                return;
            }
        }
    }
    QLineEdit::keyPressEvent(event);
}

ComboList::ComboList(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // Leaving the edit field (Tab, a click elsewhere) would look its text up in the list
    // and pick the entry it names, reopening a port nobody picked.
    disconnect(lineEdit(), &QLineEdit::editingFinished, this, nullptr);
    connect(this, &QComboBox::activated, this, [this] { emit Click(); });
}

int ComboList::shownIndex() const {
    const int shown = findText(currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    return shown >= 0 ? shown : currentIndex();
}

void ComboList::pickFromShown(int step) {
    const int to = shownIndex() + step;
    if (to < 0 || to >= count())
        return;
    setCurrentIndex(to);
    emit activated(to);
}

void ComboList::showPopup() {
    QComboBox::showPopup();
    const int shown = shownIndex();
    if (shown >= 0)
        view()->setCurrentIndex(model()->index(shown, modelColumn(), rootModelIndex()));
}

void ComboList::keyPressEvent(QKeyEvent* event) {
    // Enter in the edit field would look the text up in the list and pick the entry it
    // names; here it leaves the text as typed. (With the list open, its own view takes
    // the keys, so Enter there still picks.)
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    // Up and Down with no modifier (Alt+Down opens the list, Ctrl passes them to the
    // field's completion), and Page Up and Page Down, move one entry.
    const bool plain = !(event->modifiers() & (Qt::AltModifier | Qt::ControlModifier));
    const int key = event->key();
    if (plain && (key == Qt::Key_Up || key == Qt::Key_PageUp || key == Qt::Key_Down ||
                  key == Qt::Key_PageDown)) {
        event->accept();
        pickFromShown(key == Qt::Key_Up || key == Qt::Key_PageUp ? -1 : 1);
        return;
    }
    QComboBox::keyPressEvent(event);
}

void ComboList::wheelEvent(QWheelEvent* event) {
    QStyleOptionComboBox option;
    initStyleOption(&option);
    if (!style()->styleHint(QStyle::SH_ComboBox_AllowWheelScrolling, &option, this) ||
        view()->isVisible()) {
        QComboBox::wheelEvent(event);
        return;
    }
    event->accept();
    if (const int delta = event->angleDelta().y(); delta != 0)
        pickFromShown(delta > 0 ? -1 : 1);
}

void ComboList::AddItem(const QString& item) {
    const int index = currentIndex();
    const QString text = currentText();
    addItem(item);
    if (currentIndex() != index)
        setCurrentIndex(index);
    if (currentText() != text)
        setEditText(text);
}

void ComboList::setListIndex(std::int16_t index) {
    setCurrentIndex(index);
}

void ComboList::setText(const QString& text) {
    setEditText(text);
}

CommandButton::CommandButton(const QString& caption, QWidget* parent)
    : QPushButton(caption, parent) {}

QRect CommandButton::captionRect() const {
    QStyleOptionButton option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
}

void CommandButton::paintEvent(QPaintEvent*) {
    // The style draws the button without its caption; the caption follows, wrapped.
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    QRect area = captionRect();
    if (isDown() || isChecked()) {
        area.translate(style()->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &option, this),
                       style()->pixelMetric(QStyle::PM_ButtonShiftVertical, &option, this));
    }
    painter.drawItemText(area, CaptionFlags, palette(), isEnabled(), text(), QPalette::ButtonText);
}
