#include "platform/gui/PasteboardTypes.h"

const QString NSStringPboardType = QStringLiteral("NSStringPboardType");
const QString NSFilenamesPboardType = QStringLiteral("NSFilenamesPboardType");
const QString NSURLPboardType = QStringLiteral("NSURLPboardType");
const QString NSTIFFPboardType = QStringLiteral("NSTIFFPboardType");
const QString NSRTFPboardType = QStringLiteral("NSRTFPboardType");
const QString NSHTMLPboardType = QStringLiteral("NSHTMLPboardType");
const QString NSPDFPboardType = QStringLiteral("NSPDFPboardType");
const QString NSPostScriptPboardType = QStringLiteral("NSPostScriptPboardType");
const QString NSTabularTextPboardType = QStringLiteral("NSTabularTextPboardType");
const QString NSFontPboardType = QStringLiteral("NSFontPboardType");
const QString NSRulerPboardType = QStringLiteral("NSRulerPboardType");
const QString NSFileContentsPboardType = QStringLiteral("NSFileContentsPboardType");
const QString NSColorPboardType = QStringLiteral("NSColorPboardType");
const QString NSRTFDPboardType = QStringLiteral("NSRTFDPboardType");
const QString NSVCardPboardType = QStringLiteral("NSVCardPboardType");
const QString NSFilesPromisePboardType = QStringLiteral("NSFilesPromisePboardType");
const QString NSInkTextPboardType = QStringLiteral("NSInkTextPboardType");

const QString PasteboardTypePNG = QStringLiteral("public.png");
const QString PasteboardTypeJPEG = QStringLiteral("public.jpeg");
const QString PasteboardTypeGIF = QStringLiteral("com.compuserve.gif");
const QString PasteboardTypeTIFF = QStringLiteral("public.tiff");
const QString PasteboardTypeWebArchive = QStringLiteral("Apple Web Archive pasteboard type");
const QString PasteboardTypePromisedFileURL = QStringLiteral("com.apple.pasteboard.promised-file-url");

const QString WebArchiveMimeType = QStringLiteral("application/x-parcly-webarchive");
