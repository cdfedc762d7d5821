#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>

// A copy of the image with every opaque pixel painted in the colour, each pixel keeping its own
// alpha (source-atop). An invalid colour gives an untouched copy. The image passed in never changes.
QImage tintedWithColor(const QImage& image, const QColor& color);

// The same for every size an icon holds (1x and 2x).
QIcon tintedWithColor(const QIcon& icon, const QColor& color);
