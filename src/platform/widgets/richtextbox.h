#pragma once

#include "platform/text/textstore.h"

#include <QString>
#include <QWidget>

#include <cstdint>

class QStackedLayout;
class QTextEdit;
class TextView;

// The rich-text box control.
//
// Text separates lines with CR LF in both directions; SelStart and SelLength count in
// Text's characters (a CR LF counts two) and clamp at the end; setting SelText replaces
// the selection at the caret. LoadFile reads rich text when the file starts with
// "{\rtf" and plain text otherwise; SaveFile(path, 1) writes Text byte for byte.
//
// Plain text lives in a TextStore shown by a TextView, which stays fast with logs of
// tens of megabytes. Rich text is shown formatted; its Text is the document's plain
// text, and the first change through SelText or Text turns the box back into plain text.
//
// Assistive technology: the box's accessible name and description go to whichever child
// shows the text and takes the focus (the view or the rich-text editor), which serves
// the text, caret and selection; the box itself carries neither (textviewaccessible.h).
class RichTextBox : public QWidget {
    Q_OBJECT
public:
    explicit RichTextBox(QWidget* parent = nullptr);
    ~RichTextBox() override;

    QString Text() const;
    void setText(const QString& text);
    std::int64_t SelStart() const;
    void setSelStart(std::int64_t pos);
    std::int64_t SelLength() const;
    void setSelLength(std::int64_t len);
    QString SelText() const;
    void setSelText(const QString& text);
    // Setting SelText to text given as bytes, one character per byte (Latin-1): received
    // text goes in as it came, without being widened to UTF-16 on the way.
    void setSelBytes(QByteArrayView bytes);

    // A load that fails leaves the box as it was.
    void LoadFile(const QString& path);
    // fileType 1 writes plain text, the only form the program saves.
    void SaveFile(const QString& path, int fileType);

    // Cheap reads that do not build the whole text.
    std::int64_t textLength() const;
    // The last n characters of Text, one byte per character.
    QByteArray tail(std::int64_t n) const;

    // Shows rich content given as rich text data (used for the creation content).
    void setRichText(QByteArrayView rtf);
    bool isRich() const;

    TextStore& store() { return store_; }
    TextView* view() const { return view_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void showPlain();
    void passOnDescription();
    void leaveRich();

    TextStore store_;
    TextView* view_ = nullptr;
    QTextEdit* rich_ = nullptr;
    QStackedLayout* stack_ = nullptr;
};
