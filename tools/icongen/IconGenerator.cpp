// Draws the tray icon images into a resources folder: "PAStatusItemIcon", "PAStatusItemIconError"
// and the upload progress series "1" to "57", each as NAME.png (22x22) and NAME@2x.png (44x44).
//
// The glyph is an upward arrow in a rounded square, drawn as light strokes with a dark edge so it
// reads on dark and light panels alike. The error image adds a red badge whose exclamation mark is
// cut out, so the mark survives when the drag state tints every opaque pixel with one colour.
// Progress draws the square's light stroke clockwise from the top, image n covering n/57 of it.
//
// With --app-icons it draws the application icon instead, the same glyph on a dark tile, into a
// hicolor theme tree: OUTPUT/hicolor/<n>x<n>/apps/parcly-lite.png for each size desktops look up.
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <QtMath>

#include <cmath>
#include <cstdio>

namespace {

constexpr int logicalSize = 22;
constexpr int progressImageCount = 57;

const QColor light(0xf4, 0xf4, 0xf4);
const QColor dark(0x1c, 0x1c, 0x1c);
const QColor badgeRed(0xd9, 0x3a, 0x30);
constexpr qreal coreWidth = 1.9;
constexpr qreal edgeWidth = coreWidth + 2 * 0.95;

// The rounded square, as one path that starts at the top centre and runs clockwise, so that a
// prefix of it is the progress sweep.
QPainterPath framePath()
{
    constexpr qreal left = 3.5, top = 3.5, right = 18.5, bottom = 18.5, radius = 4.5, d = 2 * radius;
    QPainterPath path;
    path.moveTo((left + right) / 2, top);
    path.lineTo(right - radius, top);
    path.arcTo(QRectF(right - d, top, d, d), 90, -90);
    path.lineTo(right, bottom - radius);
    path.arcTo(QRectF(right - d, bottom - d, d, d), 0, -90);
    path.lineTo(left + radius, bottom);
    path.arcTo(QRectF(left, bottom - d, d, d), 270, -90);
    path.lineTo(left, top + radius);
    path.arcTo(QRectF(left, top, d, d), 180, -90);
    path.closeSubpath();
    return path;
}

QPainterPath arrowPath()
{
    QPainterPath path;
    path.moveTo(11, 14.6);
    path.lineTo(11, 7.9);
    path.moveTo(7.9, 11);
    path.lineTo(11, 7.9);
    path.lineTo(14.1, 11);
    return path;
}

// The wedge from the centre that covers the first `fraction` of the frame's length, clockwise from
// the top. A larger fraction's wedge contains a smaller one's, so every image's bright pixels are at
// least as bright as in the image before: the series fills without flicker.
QPainterPath sweepWedge(const QPainterPath& frame, qreal fraction)
{
    const QPointF centre(logicalSize / 2.0, logicalSize / 2.0);
    const QPointF end = frame.pointAtPercent(frame.percentAtLength(frame.length() * fraction));
    qreal sweep = qRadiansToDegrees(std::atan2(end.y() - centre.y(), end.x() - centre.x())) + 90;
    if (sweep < 0)
        sweep += 360;
    constexpr qreal reach = logicalSize; // beyond the image's corners
    const auto onCircle = [&](qreal degrees) {
        const qreal radians = qDegreesToRadians(degrees - 90);
        return centre + QPointF(std::cos(radians), std::sin(radians)) * reach;
    };
    QPainterPath wedge(centre);
    for (qreal degrees = 0; degrees < sweep; degrees += 1)
        wedge.lineTo(onCircle(degrees));
    wedge.lineTo(onCircle(sweep));
    wedge.closeSubpath();
    return wedge;
}

QPen pen(const QColor& color, qreal width)
{
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

enum class Kind { Normal, Error, Progress, Application };

// `scale` is device pixels per unit of the 22-unit layout; application icons use fractional ones.
QImage draw(Kind kind, qreal scale, int progressImage = 0)
{
    const int side = qRound(logicalSize * scale);
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(scale, scale);

    // Every image is drawn the same way, the finished ones with the whole square bright, so the
    // last progress image and the normal icon look alike. The whole square keeps its dark edge
    // and a faint core, so the glyph stays whole while the bright stroke goes round.
    const QPainterPath frame = framePath();
    const QPainterPath arrow = arrowPath();
    // The application icon sits on any wallpaper or list, so the square is filled dark: the light
    // strokes then read everywhere, and it is the tray glyph the user already knows.
    if (kind == Kind::Application)
        painter.fillPath(frame, dark);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(pen(dark, edgeWidth));
    painter.drawPath(frame);
    painter.drawPath(arrow);
    QColor faint = light;
    faint.setAlphaF(0.28);
    painter.setPen(pen(faint, coreWidth));
    painter.drawPath(frame);
    if (kind == Kind::Progress && progressImage < progressImageCount) {
        // The bright square on a layer of its own, cut to the wedge with antialiased edges.
        QImage bright(image.size(), QImage::Format_ARGB32_Premultiplied);
        bright.fill(Qt::transparent);
        QPainter layer(&bright);
        layer.setRenderHint(QPainter::Antialiasing);
        layer.scale(scale, scale);
        layer.setPen(pen(light, coreWidth));
        layer.drawPath(frame);
        layer.end();
        QImage mask(image.size(), QImage::Format_ARGB32_Premultiplied);
        mask.fill(Qt::transparent);
        QPainter wedge(&mask);
        wedge.setRenderHint(QPainter::Antialiasing);
        wedge.scale(scale, scale);
        wedge.fillPath(sweepWedge(frame, qreal(progressImage) / progressImageCount), Qt::black);
        wedge.end();
        // Composition applies only where the source is drawn, so the mask is drawn whole.
        layer.begin(&bright);
        layer.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        layer.drawImage(0, 0, mask);
        layer.end();
        painter.save();
        painter.resetTransform();
        painter.drawImage(0, 0, bright);
        painter.restore();
    } else {
        painter.setPen(pen(light, coreWidth));
        painter.drawPath(frame);
    }
    painter.setPen(pen(light, coreWidth));
    painter.drawPath(arrow);

    if (kind == Kind::Error) {
        const QPointF centre(16.4, 16.4);
        // A clear gap around the badge keeps it apart from the square.
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::black);
        painter.drawEllipse(centre, 6.3, 6.3);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setBrush(dark);
        painter.drawEllipse(centre, 5.3, 5.3);
        painter.setBrush(badgeRed);
        painter.drawEllipse(centre, 4.4, 4.4);
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.setBrush(Qt::black);
        painter.drawRoundedRect(QRectF(centre.x() - 0.85, centre.y() - 3.1, 1.7, 3.7), 0.85, 0.85);
        painter.drawEllipse(QPointF(centre.x(), centre.y() + 2.1), 0.95, 0.95);
    }
    painter.end();
    return image;
}

bool save(const QDir& folder, const QString& name, Kind kind, int progressImage = 0)
{
    for (int scale : {1, 2}) {
        const QString file = folder.filePath(name + (scale == 2 ? QStringLiteral("@2x.png") : QStringLiteral(".png")));
        if (!draw(kind, scale, progressImage).save(file, "PNG")) {
            std::fprintf(stderr, "icongen: cannot write %s\n", qPrintable(file));
            return false;
        }
    }
    return true;
}

bool saveApplicationIcons(const QDir& themeRoot)
{
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder = themeRoot.filePath(QStringLiteral("hicolor/%1x%1/apps").arg(size));
        const QString file = folder + QStringLiteral("/parcly-lite.png");
        if (!QDir().mkpath(folder) || !draw(Kind::Application, qreal(size) / logicalSize).save(file, "PNG")) {
            std::fprintf(stderr, "icongen: cannot write %s\n", qPrintable(file));
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // Only shapes are drawn, no text: QImage and QPainter need no application object for that.
    const bool applicationIcons = argc == 3 && qstrcmp(argv[1], "--app-icons") == 0;
    if (argc != 2 && !applicationIcons) {
        std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n       %s --app-icons THEME-FOLDER\n", argv[0], argv[0]);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[argc - 1]));
    if (!QDir().mkpath(folder.path())) {
        std::fprintf(stderr, "icongen: cannot create %s\n", argv[argc - 1]);
        return 1;
    }
    if (applicationIcons)
        return saveApplicationIcons(folder) ? 0 : 1;
    bool ok = save(folder, QStringLiteral("PAStatusItemIcon"), Kind::Normal)
        && save(folder, QStringLiteral("PAStatusItemIconError"), Kind::Error);
    for (int n = 1; ok && n <= progressImageCount; ++n)
        ok = save(folder, QString::number(n), Kind::Progress, n);
    return ok ? 0 : 1;
}
