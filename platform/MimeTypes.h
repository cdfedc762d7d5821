#pragma once

#include <QString>

// The MIME type the desktop's type registry gives a file-name extension (without the dot);
// "application/octet-stream" when it knows none.
QString mimeTypeForExtension(const QString& extension);
