#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

// Reads the web archive a drag carries: a QVariantMap as QDataStream writes it. The bytes come
// from whichever program started the drag, so they are read by hand with limits rather than by
// QDataStream, which follows nesting as deep as the data says (a few thousand levels overflow the
// stack) and builds any registered type the data names. Understood: maps and hashes, lists,
// string lists, strings, byte arrays, URLs, booleans and numbers; anything else refuses the archive.
namespace WebArchive {

// Larger archives are refused before reading. An archive holds the dragged part of a page with
// its images, so this leaves room for large pictures.
inline constexpr qsizetype kMaxBytes = 64 * 1024 * 1024;
// The archive is a map of lists of maps; nothing real nests deeper than a few levels.
inline constexpr int kMaxDepth = 32;

// The archive's top-level map, or an invalid QVariant with the reason in `error`.
QVariant read(const QByteArray& bytes, QString* error = nullptr);

} // namespace WebArchive
