#pragma once

#include <QMetaType>
#include <QObject>

class QPainter;
class QRectF;
class QTimer;
class QWidget;

// A rotation for a spinning icon: passed as the "anim" option
// (QVariant::fromValue(QtAwesomeAnimation*)), it turns the painter around the
// icon's centre a little further at every paint and, once started, asks the
// widget to repaint every `interval` ms. The caller owns it (a QObject child of
// the widget is usual) and keeps it alive while icons that use it are shown.
// The widget must outlive it. User-interface thread only.
class QtAwesomeAnimation : public QObject {
    Q_OBJECT
public:
    QtAwesomeAnimation(QWidget *parentWidget, int interval = 10, double step = 0.01);

    // Starts the repaint timer on first use, then rotates `painter` about the
    // centre of `rect` by the current angle and advances the angle.
    void setup(QPainter &painter, const QRectF &rect);

private:
    QWidget *parentWidget_;
    QTimer *timer_ = nullptr;  // child of this object
    int interval_;
    double step_;
    double angle_ = 0.0;
};

Q_DECLARE_METATYPE(QtAwesomeAnimation *)
