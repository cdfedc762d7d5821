#pragma once

#include <QString>
#include <QUrl>

// What a "parcly-lite:" URL may ask the app to upload. Any web page can open such a URL, so the
// app takes only what the share extension left in its own hand-off folder, never a file elsewhere
// (a key, a password store) that a page names.
namespace HandedOverFile {

// The file URL a hand-off URL carries in its "handleURL" value, decoded once. When the query
// starts with that key, the value runs to the end of the query: the share extension's query is
// that one piece, and older extensions left "&" and "=" of a file name unescaped in it. A value
// that is not a strict URL is read tolerantly (an older sender's file URL escaped only once). A
// null QUrl when there is no such value; an invalid one when it is no URL.
QUrl fileURL(const QUrl& handOffURL, bool* hasValue = nullptr);

// The resolved path of the regular file or folder that the file URL names inside the hand-off
// folder; an empty string, with `reason` set, for anything else: another scheme, a missing item,
// a path that leaves the folder through ".." or a symlink, a device or pipe.
QString acceptedPath(const QUrl& url, QString* reason);

// What tells one hand-off from another at the same path: the item's device, inode and change time.
// An older share extension put every copy straight into the hand-off folder under its own name, so
// one path can carry several hand-offs over a run. Empty when the item is gone.
QString identity(const QString& path);

} // namespace HandedOverFile
