#include "qtawesomeiconpaintericonengine.h"

#include "qtawesome.h"

#include <QPainter>
#include <QPixmap>

QtAwesomeIconPainterIconEngine::QtAwesomeIconPainterIconEngine(QtAwesome *awesome, QtAwesomeIconPainter *painter,
                                                               const QVariantMap &options)
    : awesome_(awesome), painter_(painter), options_(options)
{
}

void QtAwesomeIconPainterIconEngine::paint(QPainter *painter, const QRect &rect, QIcon::Mode mode,
                                           QIcon::State state)
{
    if (awesome_ && painter_)
        painter_->paint(awesome_.data(), painter, rect, mode, state, options_);
}

QPixmap QtAwesomeIconPainterIconEngine::pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state)
{
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
    }
    return pixmap;
}

QPixmap QtAwesomeIconPainterIconEngine::scaledPixmap(const QSize &deviceSize, QIcon::Mode mode, QIcon::State state,
                                                     qreal scale)
{
    QPixmap pixmap = this->pixmap(deviceSize, mode, state);
    pixmap.setDevicePixelRatio(scale > 0 ? scale : 1.0);
    return pixmap;
}

void QtAwesomeIconPainterIconEngine::virtual_hook(int id, void *data)
{
    if (id == QIconEngine::ScaledPixmapHook) {
        auto *request = static_cast<QIconEngine::ScaledPixmapArgument *>(data);
        request->pixmap = scaledPixmap(request->size, request->mode, request->state, request->scale);
        return;
    }
    QIconEngine::virtual_hook(id, data);
}

QIconEngine *QtAwesomeIconPainterIconEngine::clone() const
{
    return new QtAwesomeIconPainterIconEngine(awesome_.data(), painter_, options_);
}
