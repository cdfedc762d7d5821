#pragma once

#include <QImage>
#include <QString>

// The capture's destination. Files appear whole or not at all: they are written beside the
// destination under a temporary name and renamed into place, so a watcher never reads half a PNG.
namespace CaptureFile {

// Why a file cannot be written at `path` (its folder is missing or not writable), or empty.
QString problemWriting(const QString& path);

bool writePng(const QImage& image, const QString& path, QString* error);

// Moves the file at `source` to `path` (a copy then a removal across file systems).
bool moveInto(const QString& source, const QString& path, QString* error);

} // namespace CaptureFile
