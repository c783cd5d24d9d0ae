#include "log/logfilesync.h"

#include "platform/base/runtimeerror.h"
#include "platform/files/files.h"
#include "platform/text/textstore.h"
#include "platform/widgets/richtextbox.h"

#include <algorithm>

void LogFileSync::load(const files::ResolvedPath& file) {
    if (!wholeFileOnly_ && !box_.isRich() && tryLoadDelta(file))
        return;
    const files::LedgerEntry before = files::observe(file);
    box_.LoadFile(file.path);
    recordLoad(file, before.stamp);
}

void LogFileSync::recordLoad(const files::ResolvedPath& file, const files::Stamp& before) {
    sync_ = Sync{};
    // What was read is what the ledger knows of the file only if nobody wrote it meanwhile:
    // then the box read all of the file as it was before.
    if (box_.isRich() || !before.exists)
        return;
    const std::int64_t bytes = before.size;
    // Putting the breaks in CR LF form only ever adds bytes.
    const bool fileIsText = box_.store().length() == bytes;
    // The text never ends in a lone CR; the file does when a break was rewritten and its
    // last byte is a CR.
    bool crCarry = false;
    if (!fileIsText && bytes > 0) {
        try {
            crCarry = files::readRange(file, bytes - 1, bytes) == "\r";
        } catch (const RuntimeError&) {
            return; // changed meanwhile: the next load reads it whole
        }
    }
    if (files::stamp(file) == before)
        recordSync(file, bytes, fileIsText, crCarry);
}

bool LogFileSync::tryLoadDelta(const files::ResolvedPath& file) {
    TextStore& store = box_.store();
    // A file whose first bytes could still grow into "{\rtf" is read whole (it is tiny).
    if (sync_.native != file.native || store.revision() != sync_.revision || !sync_.staysPlain)
        return false;
    const files::LedgerEntry entry = files::ledger(file);
    const files::Stamp now = files::stamp(file);
    if (entry.rewrites != sync_.rewrites || !now.exists || !(now == entry.stamp) ||
        now.size < sync_.fileSize)
        return false;
    QByteArray delta;
    try {
        delta = files::readRange(file, sync_.fileSize, now.size);
    } catch (const RuntimeError&) {
        return false; // changed while we looked: the whole load says what is there
    }
    if (!(files::stamp(file) == now))
        return false;
    bool carry = sync_.crCarry;
    bool changed = false;
    store.continueLoad(delta, carry, &changed);
    // The rewrite count is as checked above; the file's first bytes are as they were.
    sync_.fileSize = now.size;
    sync_.fileIsText = sync_.fileIsText && !changed;
    sync_.crCarry = carry;
    store.markUnchanged();
    sync_.revision = store.revision();
    ++shortcutLoads_;
    return true;
}

void LogFileSync::save(const files::ResolvedPath& file) {
    if (!wholeFileOnly_ && !box_.isRich() && trySaveDelta(file))
        return;
    sync_ = Sync{};
    box_.SaveFile(file.path, 1);
    // A plain box writes its text byte for byte.
    if (!box_.isRich())
        recordSync(file, box_.store().length(), true, false);
}

bool LogFileSync::trySaveDelta(const files::ResolvedPath& file) {
    TextStore& store = box_.store();
    if (sync_.native != file.native || !sync_.fileIsText || store.lowestChange() < sync_.fileSize ||
        store.length() < sync_.fileSize)
        return false;
    const files::LedgerEntry entry = files::ledger(file);
    if (entry.rewrites != sync_.rewrites)
        return false;
    // The file must still hold the text up to fileSize, as we left it.
    if (store.length() == sync_.fileSize) {
        const files::Stamp now = files::stamp(file);
        if (!now.exists || !(now == entry.stamp) || now.size != sync_.fileSize)
            return false;
    } else {
        // The text has only grown at its end. Opening the file compares it with the ledger
        // through the open file, which counts a rewrite when someone else changed it; then
        // nothing is appended and the whole save follows.
        files::TextFile f(file, files::TextFile::Mode::Append);
        if (files::ledger(file).rewrites != sync_.rewrites || f.opened().size != sync_.fileSize)
            return false;
        store.forEachPiece(sync_.fileSize, store.length() - sync_.fileSize,
                           [&](QByteArrayView piece) { f.write(piece); });
        f.close();
    }
    // Our own append does not count as a rewrite: the count stays as checked above.
    sync_.fileSize = store.length();
    store.markUnchanged();
    sync_.revision = store.revision();
    ++shortcutSaves_;
    return true;
}

void LogFileSync::recordSync(const files::ResolvedPath& file, std::int64_t fileSize,
                             bool fileIsText, bool crCarry) {
    TextStore& store = box_.store();
    sync_.native = file.native;
    sync_.rewrites = files::ledger(file).rewrites;
    sync_.fileSize = fileSize;
    sync_.fileIsText = fileIsText;
    sync_.crCarry = crCarry;
    // The text begins as the file does up to its first CR or LF, and "{\rtf" has
    // neither: the file can turn rich only while its first bytes (up to five) are the
    // start of "{\rtf".
    const QByteArrayView magic("{\\rtf");
    const qsizetype k = static_cast<qsizetype>(std::min<std::int64_t>(magic.size(), fileSize));
    sync_.staysPlain = store.mid(0, k) != magic.first(k);
    store.markUnchanged();
    sync_.revision = store.revision();
}
