#pragma once

#include "platform/files.h"
#include "platform/textstore.h"

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
//
// Keeping a file in step. When the box was last saved to or loaded from a file, that
// file is as this program left it (files::asWeLeftIt) and has only grown at its end
// since, and the box has only grown at its end since (or not changed at all, for a
// load), SaveFile appends just the new text to the file and LoadFile reads just the new
// bytes of the file (leaving the box exactly as a whole load would, see
// TextStore::continueLoad). Every other case takes the whole-file operation, and so does
// a file whose first bytes could still grow into "{\rtf" (it would then load as rich
// text). The results are the same byte for byte; setWholeFileOnly(true) switches the
// shortcut off (for comparisons and benchmarks).
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

    void setWholeFileOnly(bool on) { wholeFileOnly_ = on; }
    bool wholeFileOnly() const { return wholeFileOnly_; }
    // How many saves and loads took the shortcut (for tests and benchmarks).
    std::uint64_t shortcutSaves() const { return shortcutSaves_; }
    std::uint64_t shortcutLoads() const { return shortcutLoads_; }

    TextStore& store() { return store_; }
    TextView* view() const { return view_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    struct Sync {
        QString native; // canonical native path ("" when none)
        std::uint64_t rewrites = 0;
        std::int64_t fileSize = 0; // bytes of the file that the text holds
        bool fileIsText = false;   // those bytes equal the text byte for byte
        bool crCarry = false;      // the file's bytes end in a lone CR
        bool staysPlain = false;   // no appending can make the file start with "{\rtf"
        std::uint64_t revision = 0;
    };
    void showPlain();
    void passOnDescription();
    void leaveRich();
    void loadPlain(const QString& native, const QByteArray& bytes);
    bool tryLoadDelta(const QString& native);
    bool trySaveDelta(const QString& native);
    QString shortcutName(const QString& path);
    void recordSync(const QString& native, std::int64_t fileSize, bool fileIsText, bool crCarry);

    TextStore store_;
    TextView* view_ = nullptr;
    QTextEdit* rich_ = nullptr;
    QStackedLayout* stack_ = nullptr;
    Sync sync_;
    struct {
        QString path;
        QByteArray env;
        QString native;
    } nameCache_;
    bool wholeFileOnly_ = false;
    std::uint64_t shortcutSaves_ = 0;
    std::uint64_t shortcutLoads_ = 0;
};
