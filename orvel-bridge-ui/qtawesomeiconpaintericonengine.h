#pragma once

#include "qtawesomeiconpainter.h"

#include <QIconEngine>
#include <QPointer>
#include <QVariantMap>

class QtAwesome;

// The engine of every QIcon that QtAwesome makes: it keeps the painter and the
// options and paints on demand, at whatever size, mode and state Qt asks for.
// It does not own the painter or the QtAwesome; it watches the QtAwesome
// (which owns the painter) and paints nothing once that is gone, so an icon
// that outlives its QtAwesome is blank instead of dangling.
// User-interface thread only, like every QIcon that paints.
class QtAwesomeIconPainterIconEngine : public QIconEngine {
public:
    QtAwesomeIconPainterIconEngine(QtAwesome *awesome, QtAwesomeIconPainter *painter, const QVariantMap &options);

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override;
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override;
    QIconEngine *clone() const override;

private:
    QPointer<QtAwesome> awesome_;
    QtAwesomeIconPainter *painter_;  // owned by awesome_
    QVariantMap options_;
};
