#pragma once

#include <QString>

// The pasteboard type names the app reasons in. Pasteboard maps each one to the MIME types a Linux
// desktop uses for it; names without a Linux counterpart are never reported as present.
extern const QString NSStringPboardType;
extern const QString NSFilenamesPboardType;
extern const QString NSURLPboardType;
extern const QString NSTIFFPboardType;
extern const QString NSRTFPboardType;
extern const QString NSHTMLPboardType;
extern const QString NSPDFPboardType;
extern const QString NSPostScriptPboardType;
extern const QString NSTabularTextPboardType;
extern const QString NSFontPboardType;
extern const QString NSRulerPboardType;
extern const QString NSFileContentsPboardType;
extern const QString NSColorPboardType;
extern const QString NSRTFDPboardType;
extern const QString NSVCardPboardType;
extern const QString NSFilesPromisePboardType;
extern const QString NSInkTextPboardType;

// Type identifiers written as plain strings: "public.png", "public.jpeg", "com.compuserve.gif",
// "public.tiff", "Apple Web Archive pasteboard type", "com.apple.pasteboard.promised-file-url".
extern const QString PasteboardTypePNG;
extern const QString PasteboardTypeJPEG;
extern const QString PasteboardTypeGIF;
extern const QString PasteboardTypeTIFF;
extern const QString PasteboardTypeWebArchive;
extern const QString PasteboardTypePromisedFileURL;

// Linux has no web archives. A QMimeData carrying a QDataStream-serialised QVariantMap under this
// MIME type is read as one, so that code handling archives can be exercised.
extern const QString WebArchiveMimeType; // "application/x-parcly-webarchive"
