#include "qtawesomechariconpainter.h"

#include "qtawesome.h"
#include "qtawesomeanimation.h"

#include <QColor>
#include <QPainter>
#include <QStringList>

namespace {

// An option counts as set when it holds a value whose text is not empty (an
// empty "text" or "color-off" falls through to the next name).
bool hasValue(const QVariantMap &options, const QString &key)
{
    const auto it = options.constFind(key);
    if (it == options.constEnd() || !it.value().isValid())
        return false;
    if (it.value().canConvert<QString>())
        return !it.value().toString().isEmpty();
    return true;
}

} // namespace

QVariant QtAwesomeCharIconPainter::optionValueForModeAndState(const QString &key, QIcon::Mode mode,
                                                               QIcon::State state, const QVariantMap &options)
{
    QString modeSuffix;
    switch (mode) {
    case QIcon::Disabled:
        modeSuffix = "-disabled";
        break;
    case QIcon::Active:
        modeSuffix = "-active";
        break;
    case QIcon::Selected:
        modeSuffix = "-selected";
        break;
    case QIcon::Normal:
        break;
    }
    const QString stateSuffix = state == QIcon::Off ? QString("-off") : QString();

    QStringList keys;
    if (!modeSuffix.isEmpty() && !stateSuffix.isEmpty())
        keys << key + modeSuffix + stateSuffix;
    if (!modeSuffix.isEmpty())
        keys << key + modeSuffix;
    if (!stateSuffix.isEmpty())
        keys << key + stateSuffix;
    for (const QString &candidate : keys) {
        if (hasValue(options, candidate))
            return options.value(candidate);
    }
    return options.value(key);
}

void QtAwesomeCharIconPainter::paint(QtAwesome *awesome, QPainter *painter, const QRect &rect, QIcon::Mode mode,
                                     QIcon::State state, const QVariantMap &options)
{
    painter->save();

    const QVariant anim = options.value("anim");
    if (anim.canConvert<QtAwesomeAnimation *>()) {
        if (QtAwesomeAnimation *animation = anim.value<QtAwesomeAnimation *>())
            animation->setup(*painter, QRectF(rect));
    }

    QString text = optionValueForModeAndState("text", mode, state, options).toString();
    if (text.isEmpty())
        text = QString(QChar(options.value("char").toInt()));
    const QColor color = optionValueForModeAndState("color", mode, state, options).value<QColor>();
    const double scaleFactor = options.value("scale-factor").toDouble();
    const int drawSize = qRound(rect.height() * scaleFactor);

    painter->setPen(color);
    painter->setFont(awesome->font(drawSize));
    painter->drawText(rect, Qt::AlignCenter | Qt::AlignVCenter, text);
    painter->restore();
}
