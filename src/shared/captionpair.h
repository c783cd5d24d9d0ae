#pragma once

#include <QLabel>
#include <QString>

// A status or heading caption drawn by two labels: a yellow copy and a default-colour
// copy slightly offset, which together read as one shadowed caption. Both always get
// the same text, the lower-indexed element first.
struct CaptionPair {
    QLabel* first = nullptr;
    QLabel* second = nullptr;

    void set(const QString& text) const {
        first->setText(text);
        second->setText(text);
    }
};
