// The tray icon images the build draws into the bundle: complete, sized for both scales, readable
// on dark and light panels, and a progress series that fills up. The application icon: every size
// a desktop looks up, readable on any background.
#include <gtest/gtest.h>

#include <QColor>
#include <QDir>
#include <QImage>
#include <QPainter>

#include <cmath>

namespace {

const QDir resources(QStringLiteral(PARCLY_RESOURCES_DIR));

QStringList iconNames()
{
    QStringList names{QStringLiteral("PAStatusItemIcon"), QStringLiteral("PAStatusItemIconError")};
    for (int n = 1; n <= 57; ++n)
        names.append(QString::number(n));
    return names;
}

// In device pixels: Qt reads the @2x suffix as a device pixel ratio of 2, which would halve the
// image wherever it is painted.
QImage load(const QString& name, int scale)
{
    QImage image = QImage(resources.filePath(name + (scale == 2 ? QStringLiteral("@2x.png") : QStringLiteral(".png"))))
                       .convertToFormat(QImage::Format_ARGB32);
    image.setDevicePixelRatio(1);
    return image;
}

double luminance(QRgb pixel)
{
    return (0.2126 * qRed(pixel) + 0.7152 * qGreen(pixel) + 0.0722 * qBlue(pixel)) / 255.0;
}

// Pixels of the bright core of the strokes: mostly opaque and light.
int brightPixels(const QImage& image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            count += qAlpha(pixel) > 160 && luminance(pixel) > 0.6;
        }
    }
    return count;
}

// Share of the image's pixels that stand out from a background of the given colour.
double contrastingShare(const QImage& icon, const QColor& background)
{
    QImage composed(icon.size(), QImage::Format_ARGB32);
    composed.fill(background);
    QPainter(&composed).drawImage(0, 0, icon);
    const double backgroundLuminance = luminance(background.rgb());
    int count = 0;
    for (int y = 0; y < composed.height(); ++y) {
        for (int x = 0; x < composed.width(); ++x)
            count += std::abs(luminance(composed.pixel(x, y)) - backgroundLuminance) > 0.4;
    }
    return double(count) / (composed.width() * composed.height());
}

int differingPixels(const QImage& a, const QImage& b)
{
    int count = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x)
            count += a.pixel(x, y) != b.pixel(x, y);
    }
    return count;
}

TEST(IconSet, EveryImageExistsAtBothScalesAndItsSize)
{
    const QStringList names = iconNames();
    ASSERT_EQ(names.size(), 59);
    int files = 0;
    for (const QString& name : names) {
        for (int scale : {1, 2}) {
            SCOPED_TRACE(qPrintable(name + QStringLiteral(" x") + QString::number(scale)));
            const QImage image = load(name, scale);
            ASSERT_FALSE(image.isNull());
            EXPECT_EQ(image.size(), QSize(22 * scale, 22 * scale));
            EXPECT_TRUE(image.hasAlphaChannel());
            ++files;
        }
    }
    EXPECT_EQ(files, 118);
}

TEST(IconSet, NormalAndErrorIconsStandOutOnDarkAndLightPanels)
{
    for (int scale : {1, 2}) {
        const QImage normal = load(QStringLiteral("PAStatusItemIcon"), scale);
        const QImage error = load(QStringLiteral("PAStatusItemIconError"), scale);
        for (const QImage& icon : {normal, error}) {
            EXPECT_GT(contrastingShare(icon, Qt::black), 0.15);
            EXPECT_GT(contrastingShare(icon, Qt::white), 0.15);
        }
        // Clearly different from the normal icon, and tintable: the drag state recolours its
        // opaque pixels, so it needs plenty of them.
        EXPECT_GT(differingPixels(normal, error), normal.width() * normal.height() / 10);
        int opaque = 0;
        for (int y = 0; y < error.height(); ++y) {
            for (int x = 0; x < error.width(); ++x)
                opaque += qAlpha(error.pixel(x, y)) > 200;
        }
        EXPECT_GT(opaque, error.width() * error.height() / 4);
    }
}

TEST(IconSet, ProgressImagesFillUpFromNearlyEmptyToFull)
{
    for (int scale : {1, 2}) {
        SCOPED_TRACE(scale);
        const QImage first = load(QStringLiteral("1"), scale);
        const QImage last = load(QStringLiteral("57"), scale);
        EXPECT_GT(differingPixels(first, last), first.width() * first.height() / 10);

        int previous = 0;
        QList<int> fills;
        for (int n = 1; n <= 57; ++n) {
            const int fill = brightPixels(load(QString::number(n), scale));
            EXPECT_GE(fill, previous) << "image " << n << " is less full than image " << n - 1;
            previous = fill;
            fills.append(fill);
        }
        // Visible steps: the fill goes from a small part to all of it, half-way is in between.
        EXPECT_LT(fills.first() * 2, fills.last());
        EXPECT_GT(fills[28], fills.first());
        EXPECT_LT(fills[28], fills.last());
    }
}

TEST(IconSet, ApplicationIconAtEverySizeStandsOutOnDarkAndLightBackgrounds)
{
    const QDir theme(QStringLiteral(PARCLY_ICON_THEME_DIR));
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        SCOPED_TRACE(size);
        QImage icon
            = QImage(theme.filePath(QStringLiteral("hicolor/%1x%1/apps/parcly-lite.png").arg(size))).convertToFormat(QImage::Format_ARGB32);
        ASSERT_FALSE(icon.isNull());
        EXPECT_EQ(icon.size(), QSize(size, size));
        // A glyph on its own tile: the light arrow and frame on a dark face, so it shows on both.
        EXPECT_GT(contrastingShare(icon, Qt::black), 0.15);
        EXPECT_GT(contrastingShare(icon, Qt::white), 0.3);
        EXPECT_GT(brightPixels(icon), size * size / 20);
    }
}

} // namespace
