#pragma once

#include <QString>

// The process's private temporary folder: ${TMPDIR:-/tmp}/parcly-<uid>/, created with mode 0700.
// Ends in "/". Returns an empty string (and logs why) when the folder cannot be made safe:
// when it is a symlink, is not a directory, or belongs to another user.
QString temporaryDirectory();
