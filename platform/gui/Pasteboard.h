#pragma once

#include "platform/gui/PasteboardTypes.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

class QMimeData;
class QObject;

// A pasteboard over QMimeData: the desktop clipboard (generalPasteboard) or the data of one drag.
// Readers speak the system's type names; see PasteboardTypes.h for how they map to MIME types.
//
// What it derives from what a Linux program offers:
// - text/uri-list with file: URLs gives NSFilenamesPboardType; every URL of the list, and of
//   text/x-moz-url (UTF-16 "url\ntitle" lines), gives NSURLPboardType. The src of each <img> in
//   text/html follows them, so a dragged browser image is named after the image, even when the
//   drag carries a link's address or no URL list at all.
// - image/png, image/jpeg and image/gif are "public.png", "public.jpeg" and "com.compuserve.gif";
//   any image Qt can decode (also when sent as application/octet-stream) is "public.tiff" and
//   NSTIFFPboardType too, and reading those yields TIFF bytes.
class Pasteboard {
public:
    // The desktop clipboard (QClipboard). Needs the QGuiApplication.
    static Pasteboard& generalPasteboard();
    // A read-only pasteboard over a drag's data; `data` is not owned and must outlive it.
    explicit Pasteboard(const QMimeData* data);

    Pasteboard(const Pasteboard&) = delete;
    Pasteboard& operator=(const Pasteboard&) = delete;

    // The type names present, richest first.
    QStringList types() const;
    // The raw bytes for a type; empty when absent.
    QByteArray dataForType(const QString& type) const;
    // NSFilenamesPboardType: QStringList of local paths. NSURLPboardType: QStringList of URL
    // strings. "Apple Web Archive pasteboard type": QVariantMap. Invalid when absent.
    QVariant propertyListForType(const QString& type) const;
    // The text for a type: NSStringPboardType is the plain text, NSURLPboardType the first URL,
    // NSFilenamesPboardType the first path, other types their bytes read as UTF-8. Null when absent.
    QString stringForType(const QString& type) const;

    // Empties the pasteboard and announces the types about to be written. Returns the new change
    // count. Only the general pasteboard can be written; a drag's pasteboard returns -1.
    int declareTypes(const QStringList& types, QObject* owner);
    // Writes a string for NSStringPboardType (text/plain, UTF-8), NSURLPboardType (text/uri-list and
    // text/x-moz-url) or NSHTMLPboardType/NSRTFPboardType (their MIME types). False when the
    // pasteboard is read-only or the type has no Linux form.
    bool setStringForType(const QString& string, const QString& type);

private:
    Pasteboard() = default;
    const QMimeData* mimeData() const;

    bool m_general = false;
    const QMimeData* m_data = nullptr;
    QStringList m_declaredTypes;
    int m_changeCount = 0;
};
