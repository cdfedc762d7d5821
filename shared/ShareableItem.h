#pragma once

#include <QString>
#include <QStringList>

// What can be shared as (part of) a drop: a regular file or a folder. A named pipe would block
// whoever opens it forever, a device such as /dev/zero never ends, and a socket cannot be read.
namespace ShareableItem {

// Why `path` cannot be shared, as a sentence for the user naming the item; empty when it is a
// regular file or a folder (links are followed: a link to a file shares the file).
QString refusal(const QString& path);

// What a walk through a folder found that cannot go into an archive of it. Paths are relative to
// the folder's parent and start with `name`, as the archive names its entries: "proj/sub/fifo".
struct Survey {
    // Files without read permission and folders without read and search permission, in the order
    // met; nothing below an unreadable folder is looked at.
    QStringList unreadable;
    // Named pipes, sockets and devices: left out.
    QStringList skipped;
};

// Walks the folder at `folder` (itself reached even through a link) under the name `name`, never
// following a link inside it: a link is an entry of its own, whatever it points to. Blocks for as
// long as the walk takes: call it off the GUI thread.
Survey survey(const QString& folder, const QString& name);

} // namespace ShareableItem
