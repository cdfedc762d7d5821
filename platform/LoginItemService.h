#pragma once

#include <QString>

// Registers a helper program of the main bundle as a login item of the user: the helper is the
// bundle in Contents/Library/LoginItems whose identifier is given, and its registration is an
// autostart entry named "<identifier>.desktop" that runs the helper's executable.
class LoginItemService {
public:
    // Enables or disables the helper with this bundle identifier. False, with a log line, when the
    // helper cannot be found (enabling) or the entry cannot be written or removed.
    static bool setEnabled(const QString& identifier, bool enabled);

    // Whether the helper with this identifier is registered: its entry is there and runs a program.
    static bool isEnabled(const QString& identifier);

    // The helper bundle's executable for this identifier inside the main bundle, or empty.
    static QString helperExecutablePath(const QString& identifier);
};
