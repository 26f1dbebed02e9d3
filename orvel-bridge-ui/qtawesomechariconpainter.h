#pragma once

#include "qtawesomeiconpainter.h"

#include <QString>
#include <QVariant>

// Paints one character of the icon font: the "text" option or the icon's own
// character (option "char"), in the colour of the "color" option, at the
// rectangle's height times "scale-factor", centred. Options are looked up for
// the mode and state being painted (optionValueForModeAndState). An "anim"
// option holding a QtAwesomeAnimation* rotates the painter first.
// Owned by QtAwesome; user-interface thread only.
class QtAwesomeCharIconPainter : public QtAwesomeIconPainter {
public:
    void paint(QtAwesome *awesome, QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state,
               const QVariantMap &options) override;

    // The value of the option `key` (e.g. "color") for a mode and state: the
    // first of key + mode suffix + "-off", key + mode suffix, key + "-off"
    // that is present with a non-empty value, otherwise the plain key (which
    // may be absent: an invalid QVariant). The mode suffix is "-disabled",
    // "-active" or "-selected", none in the normal mode; the "-off" names are
    // tried only for the off state. Pure function of its arguments.
    static QVariant optionValueForModeAndState(const QString &key, QIcon::Mode mode, QIcon::State state,
                                               const QVariantMap &options);
};
