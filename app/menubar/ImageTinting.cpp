#include "app/menubar/ImageTinting.h"

#include <QPainter>

QImage tintedWithColor(const QImage& image, const QColor& color)
{
    QImage copy = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (!color.isValid() || copy.isNull())
        return copy;
    QPainter painter(&copy);
    painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
    painter.fillRect(QRect(QPoint(0, 0), copy.size()), color);
    painter.end();
    return copy;
}

QIcon tintedWithColor(const QIcon& icon, const QColor& color)
{
    // Both densities, whatever the screen's own, so the copy keeps the icon's 1x and 2x images.
    QIcon tinted;
    for (const QSize& size : icon.availableSizes()) {
        for (const qreal ratio : {1.0, 2.0}) {
            const QPixmap pixmap = icon.pixmap(size, ratio);
            QPixmap copy = QPixmap::fromImage(tintedWithColor(pixmap.toImage(), color));
            copy.setDevicePixelRatio(pixmap.devicePixelRatio());
            tinted.addPixmap(copy);
        }
    }
    return tinted;
}
