#include "qtawesome.h"

#include "qtawesomechariconpainter.h"
#include "qtawesomeiconpaintericonengine.h"
#include "qtawesomenames.h"

#include <QColor>
#include <QDebug>
#include <QFile>
#include <QFontDatabase>

namespace {

// The application font id of the icon font, loaded once per process; -1 until
// then. Touched by initFontAwesome() on the user-interface thread only.
int fontAwesomeFontId = -1;

} // namespace

// The resource file of the icon font is compiled into this static library;
// its registration must be referenced from here so that the linker keeps it.
static void initFontResource()
{
    Q_INIT_RESOURCE(qtawesomefont);
}

QtAwesome::QtAwesome(QObject *parent)
    : QObject(parent), charIconPainter_(std::make_unique<QtAwesomeCharIconPainter>())
{
    setDefaultOption("color", QColor(50, 50, 50));
    setDefaultOption("color-disabled", QColor(70, 70, 70, 60));
    setDefaultOption("color-active", QColor(10, 10, 10));
    setDefaultOption("color-selected", QColor(10, 10, 10));
    setDefaultOption("scale-factor", 0.9);
    setDefaultOption("text", QString());
    setDefaultOption("text-disabled", QString());
    setDefaultOption("text-active", QString());
    setDefaultOption("text-selected", QString());
}

QtAwesome::~QtAwesome() = default;

bool QtAwesome::initFontAwesome()
{
    // The font stays loaded for the process; an application made after an
    // earlier one was destroyed has a new font database and loads it again.
    QStringList families;
    if (fontAwesomeFontId >= 0)
        families = QFontDatabase::applicationFontFamilies(fontAwesomeFontId);
    if (families.isEmpty()) {
        initFontResource();
        QFile file(":/fonts/fontawesome-4.7.0.ttf");
        if (!file.open(QIODevice::ReadOnly)) {
            qDebug() << "Font awesome font could not be loaded!";
            return false;
        }
        const QByteArray fontData = file.readAll();
        fontAwesomeFontId = QFontDatabase::addApplicationFontFromData(fontData);
        families = QFontDatabase::applicationFontFamilies(fontAwesomeFontId);
    }
    if (families.isEmpty()) {
        qDebug() << "Font awesome font is empty?!";
        fontAwesomeFontId = -1;  // try again next time
        return false;
    }
    fontName_ = families.first();

    namedCodePoints_.clear();
    namedCodePoints_.reserve(int(QtAwesomeNames::count));
    for (std::size_t i = 0; i < QtAwesomeNames::count; ++i)
        namedCodePoints_.insert(QString::fromLatin1(QtAwesomeNames::entries[i].name),
                                QtAwesomeNames::entries[i].codePoint);
    return true;
}

void QtAwesome::setDefaultOption(const QString &name, const QVariant &value)
{
    defaultOptions_.insert(name, value);
}

QVariant QtAwesome::defaultOption(const QString &name) const
{
    return defaultOptions_.value(name);
}

QIcon QtAwesome::icon(int character, const QVariantMap &options)
{
    QVariantMap merged = defaultOptions_;
    for (auto it = options.constBegin(); it != options.constEnd(); ++it)
        merged.insert(it.key(), it.value());
    merged.insert("char", character);
    return QIcon(new QtAwesomeIconPainterIconEngine(this, charIconPainter_.get(), merged));
}

QIcon QtAwesome::icon(const QString &name, const QVariantMap &options)
{
    const auto painter = painters_.find(name);
    if (painter != painters_.end())
        return icon(painter->second.get(), options);
    const auto code = namedCodePoints_.constFind(name);
    if (code == namedCodePoints_.constEnd())
        return QIcon();
    return icon(code.value(), options);
}

QIcon QtAwesome::icon(QtAwesomeIconPainter *painter, const QVariantMap &options)
{
    QVariantMap merged = defaultOptions_;
    for (auto it = options.constBegin(); it != options.constEnd(); ++it)
        merged.insert(it.key(), it.value());
    return QIcon(new QtAwesomeIconPainterIconEngine(this, painter, merged));
}

void QtAwesome::give(const QString &name, std::unique_ptr<QtAwesomeIconPainter> painter)
{
    painters_[name] = std::move(painter);
}

QFont QtAwesome::font(int size) const
{
    QFont font(fontName_);
    font.setPixelSize(size);
    return font;
}
