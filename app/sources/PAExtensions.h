#pragma once

#include "platform/gui/Pasteboard.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>

// Keys of the dictionary imageData returns.
extern const QString PAImageDataKey; // "PAImageDataKey": the image bytes
extern const QString PAImageNameKey; // "PAImageNameKey": the file name to upload them under

// Turning a dragged image (not a file) into one block of bytes and a name. Stateless; works on any
// pasteboard, the app calls it on a drag's.
namespace PAExtensions {

// The richest image the pasteboard carries, tried in the order GIF, JPEG, PNG, web archive, and
// last the TIFF form converted to PNG, with its name. Empty when there are no image bytes.
QVariantMap imageData(const Pasteboard& pasteboard);

QByteArray gifData(const Pasteboard& pasteboard);
QByteArray jpgData(const Pasteboard& pasteboard);
QByteArray pngData(const Pasteboard& pasteboard);

// The bytes and extension ("gif", "jpg" or "png") of the web archive's first GIF, JPEG or PNG
// subresource; empty when there is none.
QByteArray imageDataFromWebArchive(const Pasteboard& pasteboard);
QString extensionFromWebArchive(const Pasteboard& pasteboard);

// The "public.tiff" image converted to PNG. Logs "Image data unavailable in drag operation." and
// returns nothing when there is no such image.
QByteArray defaultData(const Pasteboard& pasteboard);

// The first URL whose last path component's extension starts with "png", "gif" or "jpg"
// (case-sensitive, query included: "cat.png?w=200" passes, "photo.jpeg" and "a.PNG" do not).
QString imageURL(const Pasteboard& pasteboard);

// The image URL's last path component cut at the first "?", when that keeps an extension;
// otherwise the drop name "Image upload on <date> at <time>.<extension>".
QString fileNameFromClipboardOrDefaultForExtension(const Pasteboard& pasteboard, const QString& extension);

} // namespace PAExtensions
