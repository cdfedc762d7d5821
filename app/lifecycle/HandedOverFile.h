#pragma once

#include <QString>
#include <QUrl>

// What a "parcly-lite:" URL may ask the app to upload. Any web page can open such a URL, so the
// app takes only what the share extension left in its own hand-off folder, never a file elsewhere
// (a key, a password store) that a page names.
namespace HandedOverFile {

// The resolved path of the regular file or folder that the file URL names inside the hand-off
// folder; an empty string, with `reason` set, for anything else: another scheme, a missing item,
// a path that leaves the folder through ".." or a symlink, a device or pipe.
QString acceptedPath(const QUrl& url, QString* reason);

} // namespace HandedOverFile
