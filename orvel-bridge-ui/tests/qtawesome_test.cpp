#include "iconimages.h"
#include "qtawesome.h"
#include "qtawesomechariconpainter.h"
#include "qtawesomeiconpaintericonengine.h"
#include "qtawesomenames.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <memory>

using iconimages::inspect;
using iconimages::render;

namespace {

class QtAwesomeTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(awesome.initFontAwesome()); }

    QtAwesome awesome;
};

} // namespace

TEST_F(QtAwesomeTest, NameTableHasEveryIconOfTheFontWithoutHyphens)
{
    EXPECT_EQ(QtAwesomeNames::count, 786u);
    EXPECT_EQ(awesome.namedCodePoints().size(), 786);
    const QRegularExpression identifier("^[a-z_][a-z0-9_]*$");
    for (auto it = awesome.namedCodePoints().constBegin(); it != awesome.namedCodePoints().constEnd(); ++it) {
        EXPECT_TRUE(identifier.match(it.key()).hasMatch()) << it.key().toStdString();
        EXPECT_GE(it.value(), 0xf000) << it.key().toStdString();
        EXPECT_LE(it.value(), 0xf2ff) << it.key().toStdString();
    }
    EXPECT_EQ(awesome.codePoint("fa_500px"), 0xf26e);
    EXPECT_FALSE(awesome.namedCodePoints().contains("500px"));
    EXPECT_EQ(awesome.codePoint("addressbook"), 0xf2b9);
    EXPECT_EQ(awesome.codePoint("no-such-icon"), 0);
}

TEST_F(QtAwesomeTest, IconsOfTheTrayHaveTheirCodePoints)
{
    const std::pair<const char *, int> expected[] = {
        {"stop", 0xf04d},   {"play", 0xf04b},   {"check", 0xf00c},       {"times", 0xf00d},
        {"print", 0xf02f},  {"globe", 0xf0ac},  {"search", 0xf002},      {"chainbroken", 0xf127},
        {"bars", 0xf0c9},   {"comment", 0xf075}, {"folderopen", 0xf07c}, {"question", 0xf128},
        {"exclamation", 0xf12a}, {"info", 0xf129},
    };
    for (const auto &[name, code] : expected)
        EXPECT_EQ(awesome.codePoint(name), code) << name;
}

TEST_F(QtAwesomeTest, AliasesOfTheStylesheetShareOneCodePoint)
{
    EXPECT_EQ(awesome.codePoint("remove"), 0xf00d);
    EXPECT_EQ(awesome.codePoint("close"), 0xf00d);
    EXPECT_EQ(awesome.codePoint("unlink"), 0xf127);
    EXPECT_EQ(awesome.codePoint("navicon"), 0xf0c9);
    EXPECT_EQ(awesome.codePoint("reorder"), 0xf0c9);
}

TEST_F(QtAwesomeTest, FontIsLoadedFromTheResourceAndHasTheGlyphs)
{
    EXPECT_FALSE(awesome.fontName().isEmpty());
    const QFontMetrics metrics(awesome.font(32));
    EXPECT_TRUE(metrics.inFontUcs4(0xf129));
    EXPECT_TRUE(metrics.inFontUcs4(0xf26e));

    // A second QtAwesome reuses the font already loaded.
    QtAwesome second;
    ASSERT_TRUE(second.initFontAwesome());
    EXPECT_EQ(second.fontName(), awesome.fontName());
}

TEST_F(QtAwesomeTest, DefaultOptions)
{
    EXPECT_EQ(awesome.defaultOption("color").value<QColor>(), QColor(50, 50, 50, 255));
    EXPECT_EQ(awesome.defaultOption("color-disabled").value<QColor>(), QColor(70, 70, 70, 60));
    EXPECT_EQ(awesome.defaultOption("color-active").value<QColor>(), QColor(10, 10, 10, 255));
    EXPECT_EQ(awesome.defaultOption("color-selected").value<QColor>(), QColor(10, 10, 10, 255));
    EXPECT_DOUBLE_EQ(awesome.defaultOption("scale-factor").toDouble(), 0.9);
    for (const char *text : {"text", "text-disabled", "text-active", "text-selected"}) {
        EXPECT_TRUE(awesome.defaultOptions().contains(text)) << text;
        EXPECT_TRUE(awesome.defaultOption(text).toString().isEmpty()) << text;
    }
}

TEST_F(QtAwesomeTest, IconIsDrawnInTheGivenColourAndCentred)
{
    const QImage image = render(awesome.icon("info", {{"color", QColor(255, 0, 0)}}), 32);
    const auto drawn = inspect(image);
    ASSERT_GT(drawn.opaque, 20);
    EXPECT_TRUE(drawn.opaqueOneColor);
    EXPECT_EQ(drawn.opaqueColor, QColor(255, 0, 0));
    EXPECT_LT(drawn.painted, 32 * 32 / 2);  // a glyph, not a filled square
    // Centred: the box of the glyph has about as much room left as right.
    EXPECT_LE(std::abs(drawn.bounds.left() - (31 - drawn.bounds.right())), 2);
    EXPECT_LE(std::abs(drawn.bounds.top() - (31 - drawn.bounds.bottom())), 3);

    // The same icon by code point draws the same image; another icon does not.
    EXPECT_EQ(render(awesome.icon(0xf129, {{"color", QColor(255, 0, 0)}}), 32), image);
    EXPECT_NE(render(awesome.icon("exclamation", {{"color", QColor(255, 0, 0)}}), 32), image);
}

TEST_F(QtAwesomeTest, DefaultColoursByMode)
{
    const QIcon icon = awesome.icon("stop");
    const auto normal = inspect(render(icon, 32, QIcon::Normal));
    ASSERT_GT(normal.opaque, 0);
    EXPECT_TRUE(normal.opaqueOneColor);
    EXPECT_EQ(normal.opaqueColor, QColor(50, 50, 50));

    const auto active = inspect(render(icon, 32, QIcon::Active));
    EXPECT_EQ(active.opaqueColor, QColor(10, 10, 10));
    const auto selected = inspect(render(icon, 32, QIcon::Selected));
    EXPECT_EQ(selected.opaqueColor, QColor(10, 10, 10));

    // Disabled: grey at alpha 60, never opaque.
    const auto disabled = inspect(render(icon, 32, QIcon::Disabled));
    EXPECT_EQ(disabled.opaque, 0);
    EXPECT_NEAR(disabled.maxAlpha, 60, 1);
    EXPECT_NEAR(disabled.maxAlphaColor.red(), 70, 3);
    EXPECT_NEAR(disabled.maxAlphaColor.green(), 70, 3);
}

TEST_F(QtAwesomeTest, ScaleFactorSetsTheGlyphSize)
{
    const auto full = inspect(render(awesome.icon("stop", {{"scale-factor", 1.0}}), 40));
    const auto half = inspect(render(awesome.icon("stop", {{"scale-factor", 0.5}}), 40));
    ASSERT_GT(half.painted, 0);
    EXPECT_NEAR(double(half.bounds.height()) / full.bounds.height(), 0.5, 0.1);
    EXPECT_NEAR(double(half.bounds.width()) / full.bounds.width(), 0.5, 0.1);
}

TEST_F(QtAwesomeTest, TextOptionReplacesTheIconCharacter)
{
    const QString stopCharacter(QChar(0xf04d));
    EXPECT_EQ(render(awesome.icon("info", {{"text", stopCharacter}})), render(awesome.icon("stop")));
    // Only in the mode it names.
    EXPECT_EQ(render(awesome.icon("info", {{"text-active", stopCharacter}})), render(awesome.icon("info")));
    EXPECT_EQ(render(awesome.icon("info", {{"text-active", stopCharacter}}), 32, QIcon::Active),
              render(awesome.icon("stop"), 32, QIcon::Active));
}

TEST_F(QtAwesomeTest, UnknownNameGivesANullIcon)
{
    EXPECT_TRUE(awesome.icon("no-such-icon").isNull());
    EXPECT_FALSE(awesome.icon("info").isNull());
}

TEST_F(QtAwesomeTest, GivenPainterIsUsedByName)
{
    class FillPainter : public QtAwesomeIconPainter {
    public:
        void paint(QtAwesome *, QPainter *painter, const QRect &rect, QIcon::Mode, QIcon::State,
                   const QVariantMap &options) override
        {
            painter->fillRect(rect, options.value("color").value<QColor>());
        }
    };
    awesome.give("info", std::make_unique<FillPainter>());
    const auto drawn = inspect(render(awesome.icon("info", {{"color", QColor(0, 0, 255)}}), 16));
    EXPECT_EQ(drawn.opaque, 16 * 16);
    EXPECT_EQ(drawn.opaqueColor, QColor(0, 0, 255));
}

TEST(QtAwesomeLifetime, IconOutlivingItsPainterDrawsNothing)
{
    QIcon icon;
    {
        QtAwesome awesome;
        ASSERT_TRUE(awesome.initFontAwesome());
        icon = awesome.icon("info");
        ASSERT_GT(inspect(render(icon)).painted, 0);
    }
    EXPECT_EQ(inspect(render(icon)).painted, 0);
}

// The look-up order of an option for a mode and state.
TEST(QtAwesomeOptionLookup, ModeAndOffSuffixesInOrder)
{
    using P = QtAwesomeCharIconPainter;
    QVariantMap options{{"color", "plain"},
                        {"color-off", "off"},
                        {"color-disabled", "disabled"},
                        {"color-disabled-off", "disabled-off"}};
    EXPECT_EQ(P::optionValueForModeAndState("color", QIcon::Disabled, QIcon::Off, options).toString(), "disabled-off");
    // "-off" only for the off state.
    EXPECT_EQ(P::optionValueForModeAndState("color", QIcon::Disabled, QIcon::On, options).toString(), "disabled");
    EXPECT_EQ(P::optionValueForModeAndState("color", QIcon::Normal, QIcon::Off, options).toString(), "off");
    EXPECT_EQ(P::optionValueForModeAndState("color", QIcon::Normal, QIcon::On, options).toString(), "plain");
    // A mode without its own option falls back to "-off", then to the plain name.
    EXPECT_EQ(P::optionValueForModeAndState("color", QIcon::Active, QIcon::Off, options).toString(), "off");
    EXPECT_EQ(P::optionValueForModeAndState("color", QIcon::Selected, QIcon::On, options).toString(), "plain");

    options.remove("color-disabled-off");
    EXPECT_EQ(P::optionValueForModeAndState("color", QIcon::Disabled, QIcon::Off, options).toString(), "disabled");
    options.remove("color-disabled");
    EXPECT_EQ(P::optionValueForModeAndState("color", QIcon::Disabled, QIcon::Off, options).toString(), "off");
    options.remove("color-off");
    EXPECT_EQ(P::optionValueForModeAndState("color", QIcon::Disabled, QIcon::Off, options).toString(), "plain");
    options.remove("color");
    EXPECT_FALSE(P::optionValueForModeAndState("color", QIcon::Disabled, QIcon::Off, options).isValid());
}

TEST(QtAwesomeOptionLookup, EmptyValuesAreSkipped)
{
    using P = QtAwesomeCharIconPainter;
    const QVariantMap options{{"text", "plain"},
                              {"text-off", QString()},
                              {"text-selected-off", QString("")},
                              {"text-selected", QVariant()},
                              {"color", QColor(1, 2, 3)},
                              {"color-selected", QColor(4, 5, 6)}};
    EXPECT_EQ(P::optionValueForModeAndState("text", QIcon::Selected, QIcon::Off, options).toString(), "plain");
    EXPECT_EQ(P::optionValueForModeAndState("text", QIcon::Normal, QIcon::Off, options).toString(), "plain");
    // Colours count as set.
    EXPECT_EQ(P::optionValueForModeAndState("color", QIcon::Selected, QIcon::Off, options).value<QColor>(),
              QColor(4, 5, 6));
    // The plain name is returned even when empty.
    const QVariantMap emptyPlain{{"text", QString()}, {"text-off", QString()}};
    EXPECT_TRUE(P::optionValueForModeAndState("text", QIcon::Active, QIcon::Off, emptyPlain).toString().isEmpty());
}

// The same order seen in the pixels of painted icons.
TEST_F(QtAwesomeTest, PaintedColourFollowsTheLookUpOrder)
{
    const QColor plain(200, 0, 0), off(0, 200, 0), disabled(0, 0, 200), disabledOff(200, 200, 0);
    auto colourOf = [&](const QVariantMap &options, QIcon::Mode mode, QIcon::State state) {
        const auto drawn = inspect(render(awesome.icon("stop", options), 32, mode, state));
        EXPECT_TRUE(drawn.opaqueOneColor);
        return drawn.opaqueColor;
    };
    QVariantMap options{{"color", plain},
                        {"color-off", off},
                        {"color-disabled", disabled},
                        {"color-disabled-off", disabledOff}};
    EXPECT_EQ(colourOf(options, QIcon::Disabled, QIcon::Off), disabledOff);
    EXPECT_EQ(colourOf(options, QIcon::Disabled, QIcon::On), disabled);
    EXPECT_EQ(colourOf(options, QIcon::Normal, QIcon::Off), off);
    EXPECT_EQ(colourOf(options, QIcon::Normal, QIcon::On), plain);

    options["color-disabled-off"] = QString();  // empty: skipped
    EXPECT_EQ(colourOf(options, QIcon::Disabled, QIcon::Off), disabled);
    options.remove("color-disabled");  // the default "color-disabled" is overridden by nothing now
    options.remove("color-off");
    options["color-disabled"] = QString();
    EXPECT_EQ(colourOf(options, QIcon::Disabled, QIcon::On), plain);

    // A colour set by the caller applies in the normal mode only; the active
    // mode keeps the default "color-active".
    const QVariantMap green{{"color", QColor(0, 225, 0)}};
    EXPECT_EQ(colourOf(green, QIcon::Normal, QIcon::Off), QColor(0, 225, 0));
    EXPECT_EQ(colourOf(green, QIcon::Active, QIcon::Off), QColor(10, 10, 10));
}

// HiDPI: asked (as QIcon asks on a screen of ratio 2) for a 16 × 16 icon,
// that is 32 × 32 device pixels at ratio 2, the engine draws 32 × 32 pixels
// marked with ratio 2, the same picture as a 32-pixel icon (not a 16-pixel
// one blown up).
TEST_F(QtAwesomeTest, ScaledPixmapHasRatioTimesThePixels)
{
    QtAwesomeCharIconPainter painter;
    QVariantMap options = awesome.defaultOptions();
    options.insert("char", awesome.codePoint("print"));
    QtAwesomeIconPainterIconEngine engine(&awesome, &painter, options);

    QIconEngine::ScaledPixmapArgument request;
    request.size = QSize(32, 32);
    request.mode = QIcon::Normal;
    request.state = QIcon::Off;
    request.scale = 2.0;
    engine.virtual_hook(QIconEngine::ScaledPixmapHook, &request);
    EXPECT_EQ(request.pixmap.size(), QSize(32, 32));
    EXPECT_DOUBLE_EQ(request.pixmap.devicePixelRatio(), 2.0);
    const QImage scaled = request.pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage sharp = engine.pixmap(QSize(32, 32), QIcon::Normal, QIcon::Off).toImage().convertToFormat(
        QImage::Format_ARGB32);
    EXPECT_EQ(scaled, sharp);
    EXPECT_GT(inspect(scaled).painted,
              inspect(engine.pixmap(QSize(16, 16), QIcon::Normal, QIcon::Off).toImage()).painted * 2);

    // A ratio of 1 (or none) is the plain pixmap.
    request.size = QSize(16, 16);
    request.scale = 1.0;
    engine.virtual_hook(QIconEngine::ScaledPixmapHook, &request);
    EXPECT_EQ(request.pixmap.size(), QSize(16, 16));
    EXPECT_DOUBLE_EQ(request.pixmap.devicePixelRatio(), 1.0);
}

// On a screen of ratio 2 (the test run with QT_SCALE_FACTOR=2), QIcon's own
// pixmap of an icon is drawn at twice the pixels with ratio 2.
TEST_F(QtAwesomeTest, IconsOnAScreenOfRatio2AreDrawnAtTwiceThePixels)
{
    if (qApp->devicePixelRatio() < 2.0)
        GTEST_SKIP() << "the screen's device pixel ratio is " << qApp->devicePixelRatio()
                     << " (the qtawesome_hidpi test runs this with QT_SCALE_FACTOR=2)";
    const QPixmap pixmap = awesome.icon("print").pixmap(QSize(16, 16));
    EXPECT_EQ(pixmap.size(), QSize(32, 32));
    EXPECT_DOUBLE_EQ(pixmap.devicePixelRatio(), 2.0);
    // Drawn at 32 pixels, not a 16-pixel glyph blown up: a blow-up repeats
    // every pixel in a 2 × 2 block; the glyph's edges show blocks that differ.
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    int mixedBlocks = 0;
    for (int y = 0; y < 32; y += 2) {
        for (int x = 0; x < 32; x += 2) {
            const QRgb corner = image.pixel(x, y);
            if (image.pixel(x + 1, y) != corner || image.pixel(x, y + 1) != corner || image.pixel(x + 1, y + 1) != corner)
                ++mixedBlocks;
        }
    }
    EXPECT_GT(mixedBlocks, 0);
}
