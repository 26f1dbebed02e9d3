#include "trayiconimages.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPixmap paint(int size, bool active, bool light)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);

    const QColor line = light ? QColor(235, 235, 235) : QColor(40, 40, 40);
    const QColor fill = light ? QColor(120, 120, 120) : QColor(200, 200, 200);
    QPen pen(line, 4.0);
    pen.setJoinStyle(Qt::RoundJoin);
    painter.setPen(pen);

    // The sheet going in, the body, the sheet coming out.
    painter.setBrush(Qt::white);
    painter.drawRect(QRectF(18, 4, 28, 18));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(4, 20, 56, 28), 6, 6);
    painter.setBrush(Qt::white);
    painter.drawRect(QRectF(16, 40, 32, 20));

    // The status lamp.
    painter.setPen(QPen(line, 3.0));
    painter.setBrush(TrayIconImages::lampColor(active));
    painter.drawEllipse(QPointF(50, 30), 6.5, 6.5);
    return pixmap;
}

} // namespace

QIcon TrayIconImages::make(bool active, bool light)
{
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(paint(size, active, light));
    return icon;
}

bool TrayIconImages::prefersLightIcons(const QPalette &palette)
{
    return palette.color(QPalette::Window).lightness() < 128;
}

QColor TrayIconImages::lampColor(bool active)
{
    return active ? QColor(0, 200, 60) : QColor(150, 150, 150);
}
