#include "platform/files/files.h"

#include "platform/base/paths.h"
#include "platform/base/runtimeerror.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <cstring>

#include <QSaveFile>

#ifdef Q_OS_WIN
#include <QFile>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace files {
namespace {

const QString kSource = QStringLiteral("Quorlane");

QHash<QString, LedgerEntry>& ledgerTable() {
    static QHash<QString, LedgerEntry> table;
    return table;
}

// The name under which the ledger knows a file: its path with the links of its folder
// resolved, so that a folder reached by two names is one. It does not depend on the file
// itself, so a file keeps its name while it is removed and made again. (A link to a file
// is a name of its own: each file is written by one name, and a copy onto another name of
// the same file is found out by its inode.) Should a folder on the way be replaced later,
// the stamps (inode and device) still tell the files apart.
QString ledgerKey(const QString& native) {
    const QFileInfo info(native);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (folder.isEmpty())
        return QDir::cleanPath(info.absoluteFilePath());
    return QDir(folder).filePath(info.fileName());
}

#ifndef Q_OS_WIN
Stamp stampOf(const struct stat& st) {
    Stamp s;
    s.exists = true;
    s.size = st.st_size;
    s.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.ctimeNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    s.inode = st.st_ino;
    s.device = st.st_dev;
    return s;
}

// The stamp of an open file, through its descriptor: no walk along its path.
Stamp stampOfFd(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? stampOf(st) : Stamp{};
}
#endif

Stamp stampOf(const QString& native) {
#ifdef Q_OS_WIN
    Stamp s;
    const QFileInfo info(native);
    if (!info.exists())
        return s;
    s.exists = true;
    s.size = info.size();
    s.mtimeNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
    s.ctimeNs = info.metadataChangeTime().toMSecsSinceEpoch() * 1000000;
    return s;
#else
    struct stat st {};
    return ::stat(native.toLocal8Bit().constData(), &st) == 0 ? stampOf(st) : Stamp{};
#endif
}

#ifndef Q_OS_WIN
[[noreturn]] void throwErrno(int e, const QString& native, bool creating) {
    std::int32_t number = err::PathFileAccess;
    QString what = QStringLiteral("Path/File access error");
    switch (e) {
    case ENOENT:
        number = creating ? err::PathNotFound : err::FileNotFound;
        what = creating ? QStringLiteral("Path not found") : QStringLiteral("File not found");
        break;
    case ENOTDIR:
        number = err::PathNotFound;
        what = QStringLiteral("Path not found");
        break;
    case EACCES:
    case EPERM:
        number = err::PermissionDenied;
        what = QStringLiteral("Permission denied");
        break;
    case ENOSPC:
    case EFBIG:
#ifdef EDQUOT
    case EDQUOT:
#endif
        number = err::DiskFull;
        what = QStringLiteral("Disk full");
        break;
    case EIO:
        number = err::DeviceIo;
        what = QStringLiteral("Device I/O error");
        break;
    case ENAMETOOLONG:
        number = err::BadFileName;
        what = QStringLiteral("Bad file name or number");
        break;
    default:
        break;
    }
    throw RuntimeError(
        number,
        QStringLiteral("%1: %2 (%3)").arg(what, native, QString::fromLocal8Bit(strerror(e))),
        kSource);
}

void writeAllFd(int fd, const char* data, qsizetype size, const QString& native) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwErrno(errno, native, false);
        }
        data += n;
        size -= n;
    }
}
#endif

QString checkedNative(const QString& path) {
    if (path.isEmpty())
        throw RuntimeError(err::BadFileName, QStringLiteral("Bad file name or number: empty name"),
                           kSource);
    const QString native = paths::nativePath(path);
    if (native.isEmpty()) // a drive path, and no home for the drives
        throw RuntimeError(err::PathNotFound,
                           QStringLiteral("Path not found: no home folder for %1: %2")
                               .arg(path, paths::homeMissing()),
                           kSource);
    return native;
}

// Our own write to a file is about to happen, and the file is as `now` says: if someone
// else changed it since we last left it, nothing we knew about its content holds any more.
void beforeOurWrite(const QString& key, const Stamp& now) {
    auto& table = ledgerTable();
    auto it = table.find(key);
    if (it != table.end() && !(it->stamp == now))
        ++it->rewrites;
}

// Our write is done and left the file as `now` says.
void afterOurWrite(const QString& key, const Stamp& now, bool rewrite) {
    LedgerEntry& e = ledgerTable()[key];
    e.stamp = now;
    ++e.writes;
    if (rewrite)
        ++e.rewrites;
}

#ifndef Q_OS_WIN
int openFd(const QString& native, int flags) {
    int fd;
    do {
        fd = ::open(native.toLocal8Bit().constData(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}
#endif

} // namespace

ResolvedPath resolve(const QString& path) {
    ResolvedPath file{path, checkedNative(path), {}};
    file.key = ledgerKey(file.native);
    return file;
}

TextFile::TextFile(const QString& path, Mode mode) : TextFile(resolve(path), mode) {}

TextFile::TextFile(const ResolvedPath& file, Mode mode) : native_(file.native), key_(file.key) {
    // Until closed, the file is not as any earlier record says.
    if (mode == Mode::Output)
        ++ledgerTable()[key_].rewrites;
#ifdef Q_OS_WIN
    if (mode == Mode::Append) {
        opened_ = stampOf(native_);
        beforeOurWrite(key_, opened_);
    }
    auto* f = new QFile(native_);
    if (!f->open(mode == Mode::Output ? QIODevice::WriteOnly | QIODevice::Truncate
                                      : QIODevice::Append)) {
        const QString msg = f->errorString();
        delete f;
        throw RuntimeError(err::PathFileAccess,
                           QStringLiteral("Path/File access error: %1 (%2)").arg(native_, msg),
                           kSource);
    }
    fd_ = 0;
    handle_ = f;
#else
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (mode == Mode::Output ? O_TRUNC : O_APPEND);
    int fd = openFd(native_, flags);
    if (fd < 0 && errno == ENOENT) {
        // Drive C's root folder went since the name was resolved: resolving it again
        // makes the folder, as every use of a drive path does.
        paths::nativePath(file.path);
        fd = openFd(native_, flags);
    }
    if (fd < 0)
        throwErrno(errno, native_, true);
    fd_ = fd;
    // What is appended to is the file just opened: it is compared with the ledger through
    // the descriptor.
    if (mode == Mode::Append) {
        opened_ = stampOfFd(fd_);
        beforeOurWrite(key_, opened_);
    }
#endif
}

TextFile::~TextFile() {
    try {
        close();
    } catch (const RuntimeError&) {
        // A failure while unwinding from another error has nobody to report to.
    }
}

void TextFile::print(QByteArrayView text) {
    // One write, so that the line and its end reach the file together.
    QByteArray line;
    line.reserve(text.size() + 2);
    line.append(text).append("\r\n", 2);
    write(line);
}

void TextFile::write(QByteArrayView bytes) {
    if (fd_ < 0)
        throw RuntimeError(err::BadFileName, QStringLiteral("Bad file name or number: file closed"),
                           kSource);
    try {
#ifdef Q_OS_WIN
        auto* f = static_cast<QFile*>(handle_);
        if (f->write(bytes.data(), bytes.size()) != bytes.size())
            throw RuntimeError(
                err::DeviceIo,
                QStringLiteral("Device I/O error: %1 (%2)").arg(native_, f->errorString()),
                kSource);
#else
        writeAllFd(fd_, bytes.data(), bytes.size(), native_);
#endif
    } catch (const RuntimeError&) {
        failed_ = true;
        throw;
    }
}

void TextFile::close() {
    if (fd_ < 0)
        return;
#ifdef Q_OS_WIN
    auto* f = static_cast<QFile*>(handle_);
    f->close();
    delete f;
    handle_ = nullptr;
    fd_ = -1;
    const Stamp now = stampOf(native_);
#else
    const int fd = fd_;
    fd_ = -1;
    // The file as our writes left it, through the descriptor before it goes.
    const Stamp now = failed_ ? Stamp{} : stampOfFd(fd);
    if (::close(fd) != 0 && errno != EINTR) {
        failed_ = true;
        throwErrno(errno, native_, false);
    }
#endif
    if (!failed_)
        afterOurWrite(key_, now, false);
}

#ifndef Q_OS_WIN
namespace {

// Reads the file from `from` up to `to` (to its end when `to` is negative), handing it to
// `take` up to `piece` bytes at a time; `reserve` learns first how much to expect.
void readSpan(const QString& native, std::int64_t from, std::int64_t to, std::int64_t piece,
              const std::function<void(std::int64_t)>& reserve,
              const std::function<void(QByteArrayView)>& take) {
    const int fd = ::open(native.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throwErrno(errno, native, false);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        throwErrno(EISDIR, native, false);
    const std::int64_t expected = to >= 0 ? to - from : std::int64_t(st.st_size) - from;
    if (expected > 0 && reserve)
        reserve(expected);
    QByteArray buf(static_cast<qsizetype>(std::max<std::int64_t>(piece, 1)), Qt::Uninitialized);
    std::int64_t done = 0;
    for (;;) {
        const std::int64_t want =
            to >= 0 ? std::min<std::int64_t>(buf.size(), to - from - done) : buf.size();
        if (want <= 0)
            break;
        const ssize_t n =
            ::pread(fd, buf.data(), static_cast<size_t>(want), static_cast<off_t>(from + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwErrno(errno, native, false);
        }
        if (n == 0)
            break;
        done += n;
        take(QByteArrayView(buf.constData(), n));
    }
}

// The same into one array.
QByteArray readSpan(const QString& native, std::int64_t from, std::int64_t to) {
    QByteArray out;
    readSpan(
        native, from, to, 1 << 16, [&](std::int64_t n) { out.reserve(n); },
        [&](QByteArrayView piece) { out.append(piece); });
    return out;
}

} // namespace
#endif

void readPieces(const QString& path, std::int64_t piece,
                const std::function<void(QByteArrayView)>& take) {
    const QString native = checkedNative(path);
#ifdef Q_OS_WIN
    QFile f(native);
    if (!f.open(QIODevice::ReadOnly))
        throw RuntimeError(err::FileNotFound,
                           QStringLiteral("File not found: %1 (%2)").arg(native, f.errorString()),
                           kSource);
    for (QByteArray bytes = f.read(piece); !bytes.isEmpty(); bytes = f.read(piece))
        take(bytes);
#else
    readSpan(native, 0, -1, piece, {}, take);
#endif
}

QByteArray readRange(const ResolvedPath& file, std::int64_t from, std::int64_t to) {
    const QString& native = file.native;
    if (to <= from)
        return QByteArray();
#ifdef Q_OS_WIN
    QFile f(native);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(from))
        throw RuntimeError(err::FileNotFound,
                           QStringLiteral("File not found: %1 (%2)").arg(native, f.errorString()),
                           kSource);
    const QByteArray out = f.read(to - from);
#else
    const QByteArray out = readSpan(native, from, to);
#endif
    if (out.size() != to - from)
        throw RuntimeError(
            err::DeviceIo,
            QStringLiteral("Device I/O error: %1 is shorter than expected").arg(native), kSource);
    return out;
}

namespace {

QByteArray readAll(const QString& path) {
#ifdef Q_OS_WIN
    QByteArray out;
    readPieces(path, 1 << 16, [&](QByteArrayView piece) { out.append(piece); });
    return out;
#else
    return readSpan(checkedNative(path), 0, -1);
#endif
}

bool sameFile(const QString& a, const QString& b) {
    const Stamp sa = stamp(a), sb = stamp(b);
    if (sa.exists && sb.exists)
        return sa.inode == sb.inode && sa.device == sb.device && sa.inode != 0;
    return ledgerKey(paths::nativePath(a)) == ledgerKey(paths::nativePath(b));
}

[[noreturn]] void throwSaveFailed(const QString& native, const QSaveFile& out) {
    throw RuntimeError(
        err::PathFileAccess,
        QStringLiteral("Path/File access error: %1 (%2)").arg(native, out.errorString()), kSource);
}

} // namespace

#ifndef Q_OS_WIN
namespace {

// Throws, in the system's own words, when we may not write the file `native` (or, when
// it does not exist yet, create it in its folder).
void checkWritable(const QString& native) {
    if (::faccessat(AT_FDCWD, native.toLocal8Bit().constData(), W_OK, AT_EACCESS) == 0)
        return;
    if (errno != ENOENT)
        throwErrno(errno, native, false);
    const QString folder = QFileInfo(native).absolutePath();
    if (::faccessat(AT_FDCWD, folder.toLocal8Bit().constData(), W_OK | X_OK, AT_EACCESS) != 0)
        throwErrno(errno, native, true);
}

// Gives the new file open at `fd` the owner, group and permissions of the file `old` it
// is to replace; false when that cannot be done (someone else's file, and we are not
// root).
bool takeOver(int fd, const struct stat& old) {
    struct stat now {};
    if (::fstat(fd, &now) != 0)
        return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        ::fchown(fd, old.st_uid, old.st_gid) != 0)
        return false;
    // After the owner: a change of owner clears the set-user and set-group bits.
    return ::fchmod(fd, old.st_mode & 07777) == 0;
}

// Writes `content` as the file `native` through a temporary file beside it (beside the
// file a link points to: the link stays a link) that then takes its place, so that a
// failed save leaves an existing file as it was. Where the folder takes no new file but
// the file may be written, the file is written in place. `old` is the file being
// replaced, if any. False, with nothing changed, when the temporary file cannot be given
// the old file's owner.
bool saveReplacing(const QString& native, const QByteArray& content, const struct stat* old) {
    QSaveFile out(native);
    out.setDirectWriteFallback(true);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throwSaveFailed(native, out);
    const int fd = out.handle();
    struct stat opened {};
    const bool inPlace = old && ::fstat(fd, &opened) == 0 && opened.st_ino == old->st_ino &&
                         opened.st_dev == old->st_dev;
    if (old && !inPlace && !takeOver(fd, *old)) {
        out.cancelWriting();
        return false;
    }
    try {
        // Written through the descriptor, so that a failure carries the system's own
        // error (a full disk is "Disk full").
        writeAllFd(fd, content.constData(), content.size(), native);
        if (::fsync(fd) != 0 && errno != EINVAL)
            throwErrno(errno, native, false);
    } catch (const RuntimeError&) {
        // A temporary file is discarded; a file written in place is closed as it stands.
        if (inPlace)
            out.commit();
        else
            out.cancelWriting();
        throw;
    }
    beforeOurWrite(ledgerKey(native), stampOf(native));
    if (!out.commit())
        throwSaveFailed(native, out);
    return true;
}

} // namespace
#endif

void copyFile(const QString& from, const QString& to) {
    const QString src = checkedNative(from);
    const QString dst = checkedNative(to);
    if (sameFile(from, to)) {
        // The destination already is the file: nothing to copy, and writing it would
        // truncate the source.
        if (!stamp(from).exists)
            throw RuntimeError(err::FileNotFound, QStringLiteral("File not found: %1").arg(src),
                               kSource);
        return;
    }
    const QByteArray content = readAll(from);
#ifdef Q_OS_WIN
    QSaveFile out(dst);
    out.setDirectWriteFallback(true);
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size())
        throwSaveFailed(dst, out);
    beforeOurWrite(ledgerKey(dst), stampOf(dst));
    if (!out.commit())
        throwSaveFailed(dst, out);
#else
    if (QFileInfo(dst).isDir())
        throwErrno(EISDIR, dst, true);
    // A destination we may not write fails with the system's own message, which
    // QSaveFile does not give.
    checkWritable(dst);
    struct stat old {};
    const bool replacing = ::stat(dst.toLocal8Bit().constData(), &old) == 0;
    if (!saveReplacing(dst, content, replacing ? &old : nullptr)) {
        // Someone else's file that we may write: written in place, so that it stays
        // theirs.
        TextFile file(to, TextFile::Mode::Output);
        file.write(content);
        file.close();
        return;
    }
#endif
    afterOurWrite(ledgerKey(dst), stampOf(dst), true);
}

Stamp stamp(const QString& path) {
    return stampOf(paths::nativePath(path));
}

Stamp stamp(const ResolvedPath& file) {
    return stampOf(file.native);
}

LedgerEntry ledger(const ResolvedPath& file) {
    return ledgerTable().value(file.key);
}

LedgerEntry observe(const ResolvedPath& file) {
    LedgerEntry& e = ledgerTable()[file.key];
    const Stamp now = stampOf(file.native);
    if (!(now == e.stamp)) {
        ++e.rewrites;
        e.stamp = now;
    }
    return e;
}

} // namespace files
