#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

// A process of this user, and the bundle its program lies in.
struct RunningApplication {
    qint64 processIdentifier = 0;
    QString executablePath; // what /proc/<pid>/exe names
    QString bundlePath; // the ".app" folder around it, or empty
    QString bundleIdentifier; // that bundle's identifier, or empty
    // Whether it is that bundle's main executable (the Info.plist's CFBundleExecutable), not a
    // helper program lying beside it in Contents/MacOS.
    bool isMainExecutable = false;
    // The display it draws on, read from its environment as displayOfThisProcess() reads ours;
    // only looked up for processes in a bundle, empty when it has none or it cannot be read.
    QString display;
};

// The desktop's workspace: opening URLs, the running programs, starting a program.
class Workspace {
public:
    static Workspace& sharedWorkspace();

    // Opens the URL without waiting for the program that shows it. Web addresses go to the
    // programs in $BROWSER when it is set (colon-separated, "%s" replaced by the URL, else the URL
    // appended), as the user asked; other URLs, and web addresses without $BROWSER, to xdg-open.
    // "parcly-lite:" URLs go to the running tray app; with none running, to the scheme's registered
    // handler, and where none is registered (a build-tree run, a fresh home), to the tray app of
    // this program's own bundle; a tray app it starts gets the URL once it listens. Waits, bounded,
    // for the tray app's verdict on the URL. False, with one log line, when nothing could be
    // started, or when the tray app refused the URL or never answered; `refusal` then says why, in
    // a sentence for the user.
    bool openURL(const QUrl& url, QString* refusal = nullptr);

    // This user's processes, each mapped to the bundle its executable lies in.
    QList<RunningApplication> runningApplications() const;

    // The display this process draws on: $WAYLAND_DISPLAY, else $DISPLAY (empty without either).
    // One copy of an app runs per user and display.
    static QString displayOfThisProcess();

    // Starts the program detached, without waiting; false, with a log line, when it cannot start.
    bool launchApplication(const QString& executablePath, const QStringList& arguments = {});

private:
    Workspace() = default;
    bool openAppURL(const QUrl& url, QString* refusal);
};
