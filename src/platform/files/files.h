#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <functional>

// Files, as the program uses them: a text file is opened for output or for append,
// written and closed within one handler. Text is handed over as bytes, one byte per
// character (Latin-1, latin1.h). Paths are the program's own names and go through
// paths::nativePath.
//
// Every failure is thrown as a RuntimeError with the operating system's own message and
// the source "Quorlane".
namespace files {

// A file the program uses again and again (the receive log), its name resolved once:
// the program's own name, where the file lies on this machine, and the name the ledger
// knows it by. Resolving a drive path makes drive C's root folder when it is missing;
// a TextFile opened on the file makes it again should it have been removed since.
struct ResolvedPath {
    QString path;
    QString native;
    QString key;
};
// Throws as the operations below do when `path` names no place (an empty name, or a
// drive path and no home for the drives).
ResolvedPath resolve(const QString& path);

// What identifies a file's content without reading it: its size, modification and
// change times to the nanosecond, inode and device. A file that does not exist has an
// invalid stamp.
struct Stamp {
    bool exists = false;
    std::int64_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    std::uint64_t inode = 0;
    std::uint64_t device = 0;
    bool operator==(const Stamp&) const = default;
};

// A text file open for output (created or truncated) or for append (created when
// missing), closed by close() or by the destructor. print() writes a print line: the
// text (one byte per character) followed by CR LF.
class TextFile {
public:
    enum class Mode { Output, Append };
    TextFile(const QString& path, Mode mode);
    TextFile(const ResolvedPath& file, Mode mode);
    ~TextFile();
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    void print(QByteArrayView text);
    void write(QByteArrayView bytes);
    void close();

    // Opened for append: the file as it was then, its stamp taken through the
    // open file. The ledger has then counted a rewrite if the file was not as this
    // program last left it. Opened for output: an invalid stamp.
    const Stamp& opened() const { return opened_; }

private:
    QString native_;
    QString key_;
    Stamp opened_;
    int fd_ = -1;
    bool failed_ = false;
#ifdef Q_OS_WIN
    void* handle_ = nullptr;
#endif
};

// Reads a file from its start to its end, handing it to `take` a piece (of up to `piece`
// bytes) at a time, so that a big file is never held whole.
void readPieces(const QString& path, std::int64_t piece,
                const std::function<void(QByteArrayView)>& take);
// Bytes [from, to) of a file; throws when the file is shorter than `to`.
QByteArray readRange(const ResolvedPath& file, std::int64_t from, std::int64_t to);
// Replaces the content of `to` with a copy of `from`. When `to` already is `from` (the
// same file by another name, or the same name) there is nothing to copy and the file is
// left as it is. A `to` we may not write fails with the system's message ("Permission
// denied") and stays as it was. The copy is written to a temporary file beside `to` that
// then takes its place, so a failed copy leaves an existing `to` as it was; an existing
// `to` keeps its permissions, owner and group, and a link keeps pointing to its file,
// which gets the copy. Where the folder takes no new file, or the new file could not be
// given the old one's owner, `to` itself is written.
void copyFile(const QString& from, const QString& to);

Stamp stamp(const QString& path);
Stamp stamp(const ResolvedPath& file);

// The ledger of the files this program itself writes: after each of our writes it keeps
// the file's stamp and counts, per file, the writes that replaced its content (output,
// whole saves, copies onto it). A later reader can then tell that a file is exactly as
// we left it and has only grown at the end since a given moment, and read or write just
// the difference.
struct LedgerEntry {
    Stamp stamp;                // as we left the file
    std::uint64_t rewrites = 0; // writes that replaced the whole content
    std::uint64_t writes = 0;   // all writes
};
// The entry for a file; a default entry when we never wrote it.
LedgerEntry ledger(const ResolvedPath& file);
// Brings the ledger up to date with the file as it is now, before a reader relies on
// it: a file changed by someone else since we last saw it counts as rewritten.
LedgerEntry observe(const ResolvedPath& file);

} // namespace files
