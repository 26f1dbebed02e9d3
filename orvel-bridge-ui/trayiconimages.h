#pragma once

#include <QIcon>
#include <QPalette>

// The tray's four icon images, drawn at run time: a printer with a status
// lamp, green while the service is started and connected to the server
// ("active"), grey otherwise ("inactive"); the light pair has pale lines for
// dark panels, the dark pair dark lines for light panels.
// Stateless; user-interface thread only (QPixmap).
class TrayIconImages {
public:
    static QIcon make(bool active, bool light);
    // True when the panel colours of `palette` are dark, so light icons show.
    static bool prefersLightIcons(const QPalette &palette);
    // The lamp's colour, by state (tests look for it in the painted image).
    static QColor lampColor(bool active);
};
