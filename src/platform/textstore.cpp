#include "platform/textstore.h"

#include <algorithm>

QByteArray normaliseBreaks(QByteArrayView raw, bool& crCarry, bool* changed) {
    const qsizetype n = raw.size();
    if (n == 0) {
        if (changed)
            *changed = false;
        return {};
    }
    QByteArray out;
    out.reserve(n + n / 16 + 2);
    const char* d = raw.data();
    bool differs = false;
    bool endsInCr = false;
    qsizetype i = 0;
    if (crCarry && d[0] == '\n') {
        i = 1; // second half of a break that the previous piece already made
        differs = true;
    }
    while (i < n) {
        qsizetype j = i;
        while (j < n && d[j] != '\r' && d[j] != '\n')
            ++j;
        out.append(d + i, j - i);
        if (j == n)
            break;
        out.append("\r\n", 2);
        if (d[j] == '\r' && j + 1 < n && d[j + 1] == '\n') {
            i = j + 2;
        } else {
            differs = true; // a lone CR or LF became CR LF
            endsInCr = d[j] == '\r' && j + 1 == n;
            i = j + 1;
        }
    }
    crCarry = endsInCr;
    if (changed)
        *changed = differs;
    return out;
}

TextStore::TextStore() = default;

TextStore::~TextStore() {
    if (onDestroyed)
        onDestroyed();
}

QByteArray TextStore::tail(std::int64_t n) const {
    if (n >= length())
        return text_;
    if (n <= 0)
        return {};
    return text_.right(n);
}

QByteArray TextStore::mid(std::int64_t pos, std::int64_t len) const {
    pos = std::clamp<std::int64_t>(pos, 0, length());
    len = std::clamp<std::int64_t>(len, 0, length() - pos);
    return text_.mid(pos, len);
}

std::int64_t TextStore::lineLength(std::int64_t line) const {
    const std::int64_t start = lineStarts_[line];
    if (line + 1 < lineCount())
        return lineStarts_[line + 1] - 2 - start;
    return length() - start;
}

std::int64_t TextStore::lineOf(std::int64_t pos) const {
    if (pos <= 0)
        return 0;
    auto it = std::upper_bound(lineStarts_.begin(), lineStarts_.end(), pos);
    return static_cast<std::int64_t>(it - lineStarts_.begin()) - 1;
}

std::int64_t TextStore::snap(std::int64_t pos) const {
    pos = std::clamp<std::int64_t>(pos, 0, length());
    if (pos > 0 && pos < length() && text_.at(pos - 1) == '\r' && text_.at(pos) == '\n')
        --pos;
    return pos;
}

void TextStore::setText(QByteArrayView raw) {
    bool carry = false;
    QByteArray norm = normaliseBreaks(raw, carry);
    pendingCrEnd_ = -1;
    replaceRange(0, length(), norm);
    setSelectionInternal(0, 0);
}

std::int64_t TextStore::replaceSelection(QByteArrayView raw) {
    const std::int64_t pos = selStart_;
    bool carry = pendingCrEnd_ >= 0 && pendingCrEnd_ == pos;
    QByteArray norm = normaliseBreaks(raw, carry);
    const std::int64_t inserted = norm.size();
    replaceRange(pos, selLength_, norm);
    // Still waiting for the LF of a break when this piece ended in a lone CR, or when it
    // was empty and the previous one did.
    pendingCrEnd_ = carry ? pos + inserted : -1;
    setSelectionInternal(pos + inserted, pos + inserted);
    return inserted;
}

void TextStore::append(QByteArrayView raw, bool& crCarry) {
    QByteArray norm = normaliseBreaks(raw, crCarry);
    if (norm.isEmpty())
        return;
    const std::int64_t pos = length();
    const std::int64_t keepPending = pendingCrEnd_;
    const std::int64_t a = selStart_, c = caret_, l = selLength_;
    replaceRange(pos, 0, norm);
    pendingCrEnd_ = keepPending;
    // Caret and selection stay where they were.
    const std::int64_t anchor = (c == a) ? a + l : a;
    setSelectionInternal(anchor, c);
}

void TextStore::continueLoad(QByteArrayView raw, bool& crCarry, bool* changed) {
    const QByteArray norm = normaliseBreaks(raw, crCarry, changed);
    // setText forgets a lone CR that the last insertion left waiting; so must this, or an
    // LF received next at that place would be dropped here and kept after a whole load.
    pendingCrEnd_ = -1;
    replaceRange(length(), 0, norm);
    setSelectionInternal(0, 0);
}

void TextStore::remove(std::int64_t pos, std::int64_t len) {
    if (len <= 0)
        return; // an empty range removes nothing, not even a pair it points into
    pos = std::clamp<std::int64_t>(pos, 0, length());
    std::int64_t end = pos + std::min(len, length() - pos);
    if (end <= pos)
        return;
    pos = snap(pos);
    if (end > 0 && end < length() && text_.at(end - 1) == '\r' && text_.at(end) == '\n')
        ++end;
    if (end <= pos)
        return;
    const std::int64_t removed = end - pos;
    auto follow = [&](std::int64_t p) {
        if (p >= end)
            return p - removed;
        if (p > pos)
            return pos;
        return p;
    };
    const std::int64_t anchor = (caret_ == selStart_) ? selStart_ + selLength_ : selStart_;
    const std::int64_t newAnchor = follow(anchor), newCaret = follow(caret_);
    pendingCrEnd_ = -1;
    replaceRange(pos, removed, QByteArray());
    setSelectionInternal(newAnchor, newCaret);
}

void TextStore::replaceRange(std::int64_t pos, std::int64_t len, const QByteArray& ins) {
    if (len == 0 && ins.isEmpty())
        return;
    const std::int64_t delta = static_cast<std::int64_t>(ins.size()) - len;
    // Stored text never holds a lone CR or LF and no range splits a CR LF pair, so line
    // starts at or before pos stay, starts after the replaced range shift by delta, and
    // the inserted text brings its own.
    auto firstAfter = std::upper_bound(lineStarts_.begin(), lineStarts_.end(), pos);
    auto firstBeyond = std::upper_bound(firstAfter, lineStarts_.end(), pos + len);
    std::vector<std::int64_t> shifted;
    shifted.reserve(lineStarts_.end() - firstBeyond);
    for (auto it = firstBeyond; it != lineStarts_.end(); ++it)
        shifted.push_back(*it + delta);
    lineStarts_.erase(firstAfter, lineStarts_.end());
    const char* d = ins.constData();
    const qsizetype n = ins.size();
    for (qsizetype k = 0; k + 1 < n; ++k) {
        if (d[k] == '\r' && d[k + 1] == '\n')
            lineStarts_.push_back(pos + k + 2);
    }
    lineStarts_.insert(lineStarts_.end(), shifted.begin(), shifted.end());

    if (pos == length() && len == 0)
        text_.append(ins);
    else
        text_.replace(pos, len, ins);

    lowestChange_ = std::min(lowestChange_, pos);
    ++revision_;
    if (onTextChanged)
        onTextChanged(pos, len, ins.size());
}

void TextStore::setSelectionInternal(std::int64_t anchor, std::int64_t caret) {
    anchor = snap(anchor);
    caret = snap(caret);
    const std::int64_t start = std::min(anchor, caret);
    const std::int64_t len = std::max(anchor, caret) - start;
    const bool same = start == selStart_ && len == selLength_ && caret == caret_;
    selStart_ = start;
    selLength_ = len;
    caret_ = caret;
    if (!same && onSelectionChanged)
        onSelectionChanged();
}

void TextStore::setSelStart(std::int64_t pos) {
    pos = snap(pos);
    setSelectionInternal(pos, pos);
}

void TextStore::setSelLength(std::int64_t len) {
    len = std::clamp<std::int64_t>(len, 0, length() - selStart_);
    setSelectionInternal(selStart_, selStart_ + len);
}

void TextStore::select(std::int64_t anchor, std::int64_t caret) {
    setSelectionInternal(anchor, caret);
}

void TextStore::markUnchanged() {
    lowestChange_ = length();
}
