#pragma once

#include <QUrl>

// The desktop's workspace: opening a URL with the user's browser or the file's application.
class Workspace {
public:
    static Workspace& sharedWorkspace();

    // Opens the URL without waiting for the program that shows it. Web addresses go to the
    // programs in $BROWSER when it is set (colon-separated, "%s" replaced by the URL, else the URL
    // appended), as the user asked; otherwise, and for other URLs, to the desktop's handler, and
    // to a detached xdg-open where Qt offers no handler (e.g. the offscreen platform).
    // False, with one log line, when nothing could be started.
    bool openURL(const QUrl& url);

private:
    Workspace() = default;
};
