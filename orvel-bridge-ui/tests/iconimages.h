#pragma once

// Helpers of the icon tests: render an icon into an image and read what was
// drawn.
#include <QColor>
#include <QIcon>
#include <QImage>
#include <QRect>

namespace iconimages {

inline QImage render(const QIcon &icon, int size = 32, QIcon::Mode mode = QIcon::Normal,
                     QIcon::State state = QIcon::Off)
{
    return icon.pixmap(QSize(size, size), mode, state).toImage().convertToFormat(QImage::Format_ARGB32);
}

// What an image holds: the number of pixels drawn at all, the number drawn
// fully opaque, the colours seen among the opaque ones and the highest alpha.
struct Drawn {
    int painted = 0;
    int opaque = 0;
    int maxAlpha = 0;
    QColor opaqueColor;           // the colour of the opaque pixels, when all have one
    bool opaqueOneColor = true;   // false when opaque pixels of two colours were seen
    QColor maxAlphaColor;         // the colour of a pixel with the highest alpha
    QRect bounds;                 // the box of the painted pixels
};

inline Drawn inspect(const QImage &image)
{
    Drawn drawn;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor color = image.pixelColor(x, y);
            if (color.alpha() == 0)
                continue;
            ++drawn.painted;
            drawn.bounds |= QRect(x, y, 1, 1);
            if (color.alpha() > drawn.maxAlpha) {
                drawn.maxAlpha = color.alpha();
                drawn.maxAlphaColor = color;
            }
            if (color.alpha() == 255) {
                if (drawn.opaque > 0 && color != drawn.opaqueColor)
                    drawn.opaqueOneColor = false;
                drawn.opaqueColor = color;
                ++drawn.opaque;
            }
        }
    }
    return drawn;
}

} // namespace iconimages
