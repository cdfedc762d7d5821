#pragma once

#include <QString>

class QWidget;
class WebView;

// The web-view module: a plugin holding the browser engine, loaded the first time a web view is
// asked for and never before, so a tray app that shows no page never pays for the engine.
class WebModule {
public:
    // A new web view, or nullptr (and one log line why) when the module cannot be loaded.
    static WebView* createWebView(QWidget* parent);
    static bool isLoaded();

    // Where the module is looked for: by default the bundle's PlugIns folder beside the program's
    // own folder. Takes effect only before the module has been loaded.
    static void setPluginPath(const QString& path);
    static QString pluginPath();

    // Call before the QApplication is built to have the engine share its rendering contexts with
    // the app's windows from the start. It loads the OpenGL stack at launch (about 55 MiB of
    // resident memory), so the tray app does not call it: the module makes the shared context
    // itself when it first loads.
    static void prepareApplication();
};
