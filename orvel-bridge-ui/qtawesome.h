#pragma once

#include "qtawesomeiconpainter.h"

#include <QFont>
#include <QHash>
#include <QIcon>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <map>
#include <memory>

// Paints the icons of the tray program from the Font Awesome 4.7 icon font,
// which is a resource of the program (":/fonts/fontawesome-4.7.0.ttf").
// initFontAwesome() loads the font (once per process) and the icon-name table;
// icon() then makes QIcons that draw one glyph at any size, with options
// ("color", "text", "scale-factor", each optionally with a mode and "-off"
// suffix) laid over the default options.
//
// Ownership: QtAwesome owns its character painter and every painter given to
// it with give(). The icons it makes refer to it and to those painters: they
// paint nothing once the QtAwesome is destroyed, so keep it alive as long as
// its icons are shown. Threading: user-interface thread only (fonts, pixmaps
// and icons are not thread-safe in Qt).
class QtAwesome : public QObject {
    Q_OBJECT
public:
    explicit QtAwesome(QObject *parent = nullptr);
    ~QtAwesome() override;

    QtAwesome(const QtAwesome &) = delete;
    QtAwesome &operator=(const QtAwesome &) = delete;

    // Loads the font into the application's font database (once per process;
    // later calls reuse it), takes its first family and fills the name
    // table. Returns false, after a debug message, when the resource cannot be
    // opened or the font has no family. Needs a QGuiApplication.
    bool initFontAwesome();

    // The icon-name table: name without hyphens -> code point.
    const QHash<QString, int> &namedCodePoints() const { return namedCodePoints_; }
    // The code point of an icon name, 0 when the name is unknown.
    int codePoint(const QString &name) const { return namedCodePoints_.value(name, 0); }

    void setDefaultOption(const QString &name, const QVariant &value);
    QVariant defaultOption(const QString &name) const;
    const QVariantMap &defaultOptions() const { return defaultOptions_; }

    // An icon that draws the code point `character`, with `options` over the
    // defaults.
    QIcon icon(int character, const QVariantMap &options = QVariantMap());
    // The same by name: a painter given under that name, else the name table.
    // An unknown name gives a null QIcon.
    QIcon icon(const QString &name, const QVariantMap &options = QVariantMap());
    // An icon drawn by any painter; the painter must outlive the icon.
    QIcon icon(QtAwesomeIconPainter *painter, const QVariantMap &options = QVariantMap());

    // Registers a painter under a name usable with icon(name); QtAwesome takes
    // ownership. A painter given before under the same name is destroyed, so
    // icons made from it must be gone by then.
    void give(const QString &name, std::unique_ptr<QtAwesomeIconPainter> painter);

    // The icon font at a pixel size.
    QFont font(int size) const;
    // The family of the loaded font, empty before initFontAwesome() succeeded.
    const QString &fontName() const { return fontName_; }

private:
    QString fontName_;
    QHash<QString, int> namedCodePoints_;
    std::unique_ptr<QtAwesomeIconPainter> charIconPainter_;
    std::map<QString, std::unique_ptr<QtAwesomeIconPainter>> painters_;
    QVariantMap defaultOptions_;
};
