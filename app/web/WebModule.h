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

};
