#pragma once

#include <QByteArrayView>
#include <QFont>
#include <QList>
#include <QPixmap>
#include <QPointF>
#include <QRawFont>

#include <array>

class QPainter;
class QPalette;

// How each of the 256 byte values is drawn in a font, one cell per byte, and the cell's
// size: printable Latin-1 as the font's glyph placed in its cell; spaces as nothing;
// control bytes (0x00-0x1F, 0x7F, 0x80-0x9F) as a picture of their code in two small
// dimmed hex digits in a faint box; a character the font cannot fit in one cell as a
// picture of it squeezed into the cell. Pictures are made on first use and kept, one set
// for selected and one for unselected text.
//
// Drawing: cells() draws pictures at once and gathers the glyphs; finish() draws the
// gathered glyphs as two glyph runs (selected and unselected text), over everything else.
class TextGlyphs {
public:
    // Measures the cells of `font`: the advance of '0' (for a proportional font that of the
    // widest of '0', 'M' and 'W'), rounded to whole pixels, so that every cell starts on a
    // pixel, glyphs render crisp and pictures fit their cells exactly.
    void setFont(const QFont& font);
    int cellWidth() const { return cellWidth_; }
    int lineHeight() const { return lineHeight_; }
    int ascent() const { return ascent_; }
    // Forgets the pictures (the palette or style changed).
    void forgetPictures();

    // Draws `bytes` in consecutive cells from (x, y), the top left corner of the first; the
    // bytes from `selFrom` to before `selTo` (indexes into `bytes`) are selected.
    void cells(QPainter& p, const QPalette& pal, qreal dpr, int x, int y, QByteArrayView bytes,
               qsizetype selFrom, qsizetype selTo);
    void finish(QPainter& p, const QPalette& pal);

    // Bytes without a printable Latin-1 character: C0 controls, DEL and the C1 controls.
    static bool isControl(unsigned char b) {
        return b < 0x20 || b == 0x7F || (b >= 0x80 && b < 0xA0);
    }

private:
    enum Kind : unsigned char { Blank, Glyph, Picture };
    void ensureKinds();
    const QPixmap& picture(unsigned char byte, bool selected, const QPalette& pal, qreal dpr);

    QFont font_;
    int cellWidth_ = 8;
    int lineHeight_ = 16;
    int ascent_ = 12;
    bool valid_ = false;
    QRawFont raw_;
    std::array<Kind, 256> kind_{};
    std::array<quint32, 256> index_{};
    std::array<int, 256> offset_{};
    std::array<QPixmap, 256> pictures_[2]; // [selected][byte]
    QList<quint32> indexes_[2];            // gathered per paint, reused for their capacity
    QList<QPointF> positions_[2];
};
