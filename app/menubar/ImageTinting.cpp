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
    QIcon tinted;
    for (const QSize& size : icon.availableSizes()) {
        const QImage image = icon.pixmap(size).toImage();
        tinted.addPixmap(QPixmap::fromImage(tintedWithColor(image, color)));
    }
    return tinted;
}
