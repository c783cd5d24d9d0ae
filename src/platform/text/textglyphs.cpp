#include "platform/text/textglyphs.h"

#include <QFontInfo>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QPainter>
#include <QPalette>
#include <QtMath>

#include <algorithm>

namespace {

QColor mix(const QColor& a, const QColor& b, float t) {
    return QColor::fromRgbF(a.redF() * t + b.redF() * (1 - t),
                            a.greenF() * t + b.greenF() * (1 - t),
                            a.blueF() * t + b.blueF() * (1 - t));
}

} // namespace

void TextGlyphs::setFont(const QFont& font) {
    font_ = font;
    const QFontMetricsF fm(font);
    qreal cell = fm.horizontalAdvance(QLatin1Char('0'));
    if (!QFontInfo(font).fixedPitch()) {
        // A proportional font still gets one cell per byte; make the cell wide enough for
        // the wide letters so that few glyphs need squeezing.
        cell = std::max(
            {cell, fm.horizontalAdvance(QLatin1Char('M')), fm.horizontalAdvance(QLatin1Char('W'))});
    }
    cellWidth_ = std::max(1, qRound(cell));
    lineHeight_ = std::max(1, qCeil(fm.lineSpacing()));
    ascent_ = qCeil(fm.ascent());
    valid_ = false;
}

void TextGlyphs::forgetPictures() {
    for (auto& set : pictures_) {
        for (QPixmap& pm : set)
            pm = QPixmap();
    }
}

void TextGlyphs::ensureKinds() {
    if (valid_)
        return;
    raw_ = QRawFont::fromFont(font_);
    forgetPictures();
    for (int b = 0; b < 256; ++b) {
        kind_[b] = Picture;
        if (isControl(static_cast<unsigned char>(b)))
            continue;
        if (b == 0x20 || b == 0xA0) {
            kind_[b] = Blank;
            continue;
        }
        const QChar ch(static_cast<char16_t>(b));
        if (!raw_.isValid() || !raw_.supportsCharacter(ch))
            continue;
        const QList<quint32> index = raw_.glyphIndexesForString(QString(ch));
        if (index.size() != 1 || index[0] == 0)
            continue;
        const QList<QPointF> advance = raw_.advancesForGlyphIndexes(index);
        const qreal width = advance.isEmpty() ? cellWidth_ : advance[0].x();
        if (width > cellWidth_ + 0.5)
            continue; // would spill into the next cell
        kind_[b] = Glyph;
        index_[b] = index[0];
        offset_[b] = std::max(0, qRound((cellWidth_ - width) / 2));
    }
    valid_ = true;
}

const QPixmap& TextGlyphs::picture(unsigned char byte, bool selected, const QPalette& pal,
                                   qreal dpr) {
    QPixmap& pm = pictures_[selected ? 1 : 0][byte];
    if (!pm.isNull() && pm.devicePixelRatio() == dpr)
        return pm;
    // The picture leaves the last pixel column of the cell empty, a gap between neighbours.
    const int w = cellWidth_;
    const int h = lineHeight_;
    pm = QPixmap(qCeil(w * dpr), qCeil(h * dpr));
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    const QColor fg = pal.color(selected ? QPalette::HighlightedText : QPalette::Text);
    const QColor bg = pal.color(selected ? QPalette::Highlight : QPalette::Base);
    const qreal inner = std::max(1, w - 1);
    if (isControl(byte)) {
        // A faint box holding the byte's code as two small hex digits, one above the other,
        // each as tall as half the row allows.
        p.fillRect(QRectF(0, 0, inner, h), mix(fg, bg, 0.12f));
        const qreal half = h / 2.0;
        QFont small = font_;
        small.setBold(false);
        int px = static_cast<int>(half) + 2;
        for (; px > 4; --px) {
            small.setPixelSize(px);
            const QFontMetricsF sfm(small);
            if (sfm.capHeight() <= half - 1 && sfm.horizontalAdvance(QLatin1Char('D')) <= inner)
                break;
        }
        small.setPixelSize(px);
        const QFontMetricsF sfm(small);
        p.setFont(small);
        p.setPen(mix(fg, bg, 0.75f));
        const char* digits = "0123456789ABCDEF";
        const QString hi = QString(QLatin1Char(digits[byte >> 4]));
        const QString lo = QString(QLatin1Char(digits[byte & 15]));
        p.drawText(QPointF((inner - sfm.horizontalAdvance(hi)) / 2, half - 0.5), hi);
        p.drawText(QPointF((inner - sfm.horizontalAdvance(lo)) / 2, h - 1.0), lo);
    } else {
        // A character the font cannot place in one cell, drawn by whatever font has it and
        // squeezed to the cell's width.
        const QString s(QChar(static_cast<char16_t>(byte)));
        const qreal advance = QFontMetricsF(font_).horizontalAdvance(s);
        p.setFont(font_);
        p.setPen(fg);
        p.setClipRect(QRectF(0, 0, inner, h));
        if (advance > inner) {
            p.scale(inner / advance, 1);
            p.drawText(QPointF(0, ascent_), s);
        } else {
            p.drawText(QPointF((inner - advance) / 2, ascent_), s);
        }
    }
    return pm;
}

void TextGlyphs::cells(QPainter& p, const QPalette& pal, qreal dpr, int x, int y,
                       QByteArrayView bytes, qsizetype selFrom, qsizetype selTo) {
    ensureKinds();
    for (qsizetype k = 0; k < bytes.size(); ++k, x += cellWidth_) {
        const auto b = static_cast<unsigned char>(bytes[k]);
        const Kind kind = kind_[b];
        if (kind == Blank)
            continue;
        const bool selected = k >= selFrom && k < selTo;
        if (kind == Glyph) {
            const int s = selected ? 1 : 0;
            indexes_[s].append(index_[b]);
            positions_[s].append(QPointF(x + offset_[b], y + ascent_));
        } else {
            p.drawPixmap(QPoint(x, y), picture(b, selected, pal, dpr));
        }
    }
}

void TextGlyphs::finish(QPainter& p, const QPalette& pal) {
    for (int s = 0; s < 2; ++s) {
        if (!indexes_[s].isEmpty()) {
            QGlyphRun run;
            run.setRawFont(raw_);
            run.setGlyphIndexes(indexes_[s]);
            run.setPositions(positions_[s]);
            p.setPen(pal.color(s ? QPalette::HighlightedText : QPalette::Text));
            p.drawGlyphRun(QPointF(0, 0), run);
        }
        indexes_[s].clear();
        positions_[s].clear();
    }
}
