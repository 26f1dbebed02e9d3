#include "qtawesomeanimation.h"

#include <QPainter>
#include <QRectF>
#include <QTimer>
#include <QWidget>

#include <cmath>

QtAwesomeAnimation::QtAwesomeAnimation(QWidget *parentWidget, int interval, double step)
    : parentWidget_(parentWidget), interval_(interval), step_(step)
{
}

void QtAwesomeAnimation::setup(QPainter &painter, const QRectF &rect)
{
    if (!timer_) {
        timer_ = new QTimer(this);
        connect(timer_, SIGNAL(timeout()), parentWidget_, SLOT(update()));
        timer_->start(interval_);
    } else {
        angle_ += step_ * 360.0;
        angle_ = std::fmod(angle_, 360.0);
    }

    const QPointF centre = rect.center();
    painter.translate(centre);
    painter.rotate(angle_);
    painter.translate(-centre);
}
