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
// Pixmaps are drawn for the device pixel ratio they are asked for: on a
// screen whose ratio is above 1 (with Qt::AA_UseHighDpiPixmaps, which the
// program sets) QIcon asks through Qt's scaled-pixmap request for the icon's
// size times the ratio in device pixels; the engine paints the glyph at that
// many pixels and marks the pixmap with the ratio, so it stays sharp.
// User-interface thread only, like every QIcon that paints.
class QtAwesomeIconPainterIconEngine : public QIconEngine {
public:
    QtAwesomeIconPainterIconEngine(QtAwesome *awesome, QtAwesomeIconPainter *painter, const QVariantMap &options);

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override;
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override;
    QIconEngine *clone() const override;
    // The icon painted at `deviceSize` pixels (Qt 5's scaled-pixmap request
    // gives the size in device pixels), marked with device pixel ratio
    // `scale`: for 16 × 16 on a screen of ratio 2, 32 × 32 pixels, ratio 2.
    QPixmap scaledPixmap(const QSize &deviceSize, QIcon::Mode mode, QIcon::State state, qreal scale);
    // Answers QIconEngine::ScaledPixmapHook with scaledPixmap().
    void virtual_hook(int id, void *data) override;

private:
    QPointer<QtAwesome> awesome_;
    QtAwesomeIconPainter *painter_;  // owned by awesome_
    QVariantMap options_;
};
