#pragma once

#include <QString>
#include <QUrl>

#include <functional>

// Takes a screenshot of a region or a window by running the interactive capture tool, and
// hands back the image file; or, when it failed, a sentence for the user saying why; or
// neither when the user cancelled (or a capture was already running).
// The user takes as long as they like; nothing waits for them: the completion is called from the
// main thread's event loop once the tool has ended (at once when there is no tool to run).
class ScreenGrabber {
public:
    ScreenGrabber() = delete;

    // The capture tool's exit statuses.
    enum ToolStatus { ToolWrote = 0, ToolCancelled = 1, ToolFailed = 2 };

    // The capture tool, if it is installed; otherwise empty.
    static QString captureToolPath();
    // A fresh "Screen Shot on <date> at <time>.png" path in the temporary directory.
    static QString captureTemporaryFilePath();
    // Whether "capture a window" means the user clicks a window: true where the tool shows its
    // own overlay (X11). Where a Wayland display is named the tool goes through the desktop's
    // screenshot portal, whose own dialog offers the screen, a window or an area.
    static bool picksWindowsItself();
    // Whether a capture is under way (the tool has not ended yet).
    static bool isCapturing();

    // capture: the written image, or empty. failure: why it failed, or empty (a cancel is not
    // a failure).
    using Completion = std::function<void(const QUrl& capture, const QString& failure)>;
    static void captureScreen(Completion complete);
    static void captureWindow(Completion complete);

private:
    static QString captureToolLocation();
    static void capture(const QStringList& options, Completion complete);
};
