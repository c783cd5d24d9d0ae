#pragma once

#include "platform/files/files.h"

#include <cstdint>

class RichTextBox;

// Keeps a file in step with a rich-text box at the cost of what is new: the receive log
// saves the box over its file after every serial event and reloads the box from the file
// after every TCP/IP chunk, and with logs of tens of megabytes neither may cost the size
// of the log.
//
// When the box was last saved to or loaded from the file, that file is as this program
// left it (files::ledger) and has only grown at its end since, and the box has only
// grown at its end since (or not changed at all, for a load), save() appends just the new
// text to the file and load() reads just the new bytes of the file (leaving the box
// exactly as a whole load would, see TextStore::continueLoad). Every other case takes the
// box's whole-file SaveFile or LoadFile, and so does a file whose first bytes could still
// grow into "{\rtf" (it would then load as rich text). The results are the same byte for
// byte; setWholeFileOnly(true) switches the shortcut off (for comparisons and
// benchmarks).
class LogFileSync {
public:
    explicit LogFileSync(RichTextBox& box) : box_(box) {}

    // The box's SaveFile(path, 1) and LoadFile(path), with their failures.
    void save(const files::ResolvedPath& file);
    void load(const files::ResolvedPath& file);

    void setWholeFileOnly(bool on) { wholeFileOnly_ = on; }
    // How many saves and loads took the shortcut (for tests and benchmarks).
    std::uint64_t shortcutSaves() const { return shortcutSaves_; }
    std::uint64_t shortcutLoads() const { return shortcutLoads_; }

private:
    // What the file holds of the box's text since the last save or load.
    struct Sync {
        QString native; // the file's native path ("" when none)
        std::uint64_t rewrites = 0;
        std::int64_t fileSize = 0; // bytes of the file that the text holds
        bool fileIsText = false;   // those bytes equal the text byte for byte
        bool crCarry = false;      // the file's bytes end in a lone CR
        bool staysPlain = false;   // no appending can make the file start with "{\rtf"
        std::uint64_t revision = 0;
    };
    bool tryLoadDelta(const files::ResolvedPath& file);
    bool trySaveDelta(const files::ResolvedPath& file);
    void recordLoad(const files::ResolvedPath& file, const files::Stamp& before);
    void recordSync(const files::ResolvedPath& file, std::int64_t fileSize, bool fileIsText,
                    bool crCarry);

    RichTextBox& box_;
    Sync sync_;
    bool wholeFileOnly_ = false;
    std::uint64_t shortcutSaves_ = 0;
    std::uint64_t shortcutLoads_ = 0;
};
