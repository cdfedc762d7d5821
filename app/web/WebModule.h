#pragma once

#include <QString>

class QWidget;
class WebView;

// Where web views come from. The browser engine never runs in the app: each view's page lives in
// the web helper program from the bundle, started on demand and gone when the view's window
// closes, so a tray app that has shown a page does not keep the engine for the rest of the day.
class WebModule {
public:
    // A new web view, or nullptr (and one log line why) when there is no helper to run.
    static WebView* createWebView(QWidget* parent);

    // The helper program: by default parcly-web-helper in the bundle's Contents/MacOS.
    static void setHelperPath(const QString& path);
    static QString helperPath();
};
