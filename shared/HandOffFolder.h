#pragma once

#include <QString>

// The share extension's own folder for what it hands to the tray app: ${TMPDIR:-/tmp}/parcly-<uid>/share/.
// The extension copies and zips into it; the app uploads a handed-over file only from inside it.
inline constexpr char kShareHandOffSubfolder[] = "share";

// The folder, created 0700 and checked to be ours; ends in "/". Empty when it cannot be made safe.
QString shareHandOffDirectory();
