#pragma once

#include <QString>

// Started at login: makes sure the tray app runs, then quits.
class LauncherAppDelegate {
public:
    // Starts the app from the bundle this launcher ships in unless it already runs (its main
    // executable, for this user, on this display); quits on every path.
    void applicationDidFinishLaunching();

    // The app bundle's path for a launcher bundle at Contents/Library/LoginItems/<launcher>.app:
    // four path components up; empty when there are not that many.
    static QString applicationBundlePath(const QString& launcherBundlePath);
};
