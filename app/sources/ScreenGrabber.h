#pragma once

#include <QString>
#include <QUrl>

#include <functional>

// Takes a screenshot of a region or a window by running the interactive capture tool, and
// hands back the image file, or an empty URL when the user cancelled or there is no tool.
// The user takes as long as they like; nothing waits for them: the completion is called from the
// main thread's event loop once the tool has ended (at once when there is no tool to run).
class ScreenGrabber {
public:
    ScreenGrabber() = delete;

    // The capture tool, if it is installed; otherwise empty.
    static QString captureToolPath();
    // A fresh "Screen Shot on <date> at <time>.png" path in the temporary directory.
    static QString captureTemporaryFilePath();
    using Completion = std::function<void(const QUrl& capture)>;
    static void captureScreen(Completion complete);
    static void captureWindow(Completion complete);

private:
    static QString captureToolLocation();
    static void capture(const QStringList& options, Completion complete);
};
