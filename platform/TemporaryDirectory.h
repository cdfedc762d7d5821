#pragma once

#include <QString>

// The process's private temporary folder: ${TMPDIR:-/tmp}/parcly-<uid>/, created with mode 0700
// (when that one is not ours, because another user made it first, privateCacheFolder("tmp"): every
// program of ours derives it the same way, so they agree on it), or a folder of that name inside
// it when the process has chosen one (the share extension keeps its hand-offs apart from the tray
// app's captures and archives). Ends in "/". Returns an empty
// string (and logs why) when a folder on the way cannot be made safe: when it is a symlink, is
// not a directory, or belongs to another user.
QString temporaryDirectory();

// Makes temporaryDirectory() the folder `name` inside the per-user one, for the rest of the
// process; an empty name returns to the per-user folder itself. `name` is one path component.
void setTemporaryDirectorySubfolder(const QString& name);

// The folder `name` inside the per-user temporary folder, made safe as above, whatever this
// process's own choice is. Ends in "/"; empty when it cannot be made safe.
QString temporaryDirectoryWithSubfolder(const QString& name);

// ${XDG_CACHE_HOME:-~/.cache}/parcly/<name>/, each of our folders on the way created 0700 and
// checked as above: a private place no other user can have made first. Ends in "/"; empty, logged,
// when it cannot be made safe.
QString privateCacheFolder(const QString& name);
