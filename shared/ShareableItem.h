#pragma once

#include <QString>

// What can be shared as (part of) a drop: a regular file or a folder. A named pipe would block
// whoever opens it forever, a device such as /dev/zero never ends, and a socket cannot be read.
namespace ShareableItem {

// Why `path` cannot be shared, as a sentence for the user naming the item; empty when it is a
// regular file or a folder (links are followed: a link to a file shares the file).
QString refusal(const QString& path);

} // namespace ShareableItem
