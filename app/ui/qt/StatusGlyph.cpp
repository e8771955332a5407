#include "app/ui/qt/StatusGlyph.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cmath>

namespace torvane::StatusGlyph {

namespace {

struct Shapes {
    QPainterPath arrow;
    QRectF bar;
    double pen;
};

// Designed on a 32-unit grid. Coordinates are rounded to whole pixels, and to pixel centres when the
// stroke is an odd number of pixels wide, so that edges fall on the grid at every size.
Shapes shapes(int size) {
    const double s = size / 32.0;
    const double pen = std::max(1.0, std::round(2.0 * s));
    const double offset = std::fmod(pen, 2.0) == 1.0 ? 0.5 : 0.0;
    auto at = [&](double units) { return std::round(units * s) + offset; };
    Shapes out;
    out.pen = pen;
    out.arrow.moveTo(at(16), at(3));
    out.arrow.lineTo(at(29), at(16));
    out.arrow.lineTo(at(22), at(16));
    out.arrow.lineTo(at(22), at(22));
    out.arrow.lineTo(at(10), at(22));
    out.arrow.lineTo(at(10), at(16));
    out.arrow.lineTo(at(3), at(16));
    out.arrow.closeSubpath();
    out.bar = QRectF(QPointF(at(10), at(25)), QPointF(at(22), std::max(at(29), at(25) + pen)));
    return out;
}

} // namespace

QColor systemGreen() {
    return QColor(0x34, 0xC7, 0x59);
}

QImage render(bool active, int size, const QColor& ink, const QColor& halo) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const Shapes g = shapes(size);
    QPainterPath whole = g.arrow;
    whole.addRect(g.bar);

    if (active) {
        const QColor green = systemGreen();
        p.setPen(QPen(green.darker(140), 1.0, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        p.setBrush(green);
        p.drawPath(whole);
    } else {
        // A faint halo keeps the outline visible on panels of either brightness.
        QColor soft = halo;
        soft.setAlpha(110);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(soft, g.pen + 2.0, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        p.drawPath(whole);
        p.setPen(QPen(ink, g.pen, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        p.drawPath(whole);
    }
    return image;
}

QIcon icon(bool active, const QColor& ink, const QColor& halo) {
    QIcon result;
    for (int size : {16, 20, 22, 24, 32, 48, 64})
        result.addPixmap(QPixmap::fromImage(render(active, size, ink, halo)));
    return result;
}

} // namespace torvane::StatusGlyph
