#pragma once

#include <QString>
#include <QUrl>

// Takes a screenshot of a region or a window by running the interactive capture tool, and
// hands back the image file, or an empty URL when the user cancelled or there is no tool.
// Both captures block the calling thread until the user has finished.
class ScreenGrabber {
public:
    ScreenGrabber() = delete;

    // The capture tool, if it is installed; otherwise empty.
    static QString captureToolPath();
    // A fresh "Screen Shot on <date> at <time>.png" path in the temporary directory.
    static QString captureTemporaryFilePath();
    static QUrl captureScreen();
    static QUrl captureWindow();

private:
    static QString captureToolLocation();
    static QUrl capture(const QStringList& options);
};
