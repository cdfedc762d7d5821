#pragma once

#include <QString>

#include <chrono>

// One private folder per archive or hand-off, made fresh inside a per-user folder, so that two
// operations never write, read or delete the same path even when their files share a name. The
// file inside keeps its real name: the drop is named after it.
namespace WorkFolder {

// Creates "<parent>work-XXXXXX" (mode 0700, mkdtemp) and returns it with a trailing "/". `parent`
// is a folder of ours ending in "/", such as temporaryDirectory(). Empty, logged, on failure.
QString create(const QString& parent);

// Removes the work folder that holds `path` directly (the file or folder made in it), with all it
// holds. Anything not directly inside a work folder of temporaryDirectory() or of the hand-off
// folder is left alone. False when nothing was removed.
bool removeContaining(const QString& path);

// Removes the work folders directly under `parent` last changed longer ago than `age`: what a
// crash left behind. Returns how many were removed.
int sweep(const QString& parent, std::chrono::seconds age);

} // namespace WorkFolder
