#pragma once

#include <QIcon>
#include <QVariantMap>

class QPainter;
class QRect;
class QtAwesome;

// Draws one icon into a rectangle for a Qt icon mode and state. The painters
// are owned by the QtAwesome that hands them out and are called on the
// user-interface thread only, by the icon engines of the icons they paint.
class QtAwesomeIconPainter {
public:
    virtual ~QtAwesomeIconPainter() = default;
    virtual void paint(QtAwesome *awesome, QPainter *painter, const QRect &rect, QIcon::Mode mode,
                       QIcon::State state, const QVariantMap &options) = 0;
};
