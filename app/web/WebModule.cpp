#include "app/web/WebModule.h"

#include "platform/Bundle.h"

#include "app/web/WebView.h"
#include "app/web/WebViewFactory.h"
#include "platform/Log.h"

#include <QFileInfo>
#include <QPluginLoader>

namespace {

struct ModuleState {
    QString pluginPath;
    WebViewFactory* factory = nullptr;
};

ModuleState& state()
{
    static ModuleState s;
    return s;
}

QString defaultPluginPath()
{
    return Bundle::mainBundle().builtInPlugInsPath() + QStringLiteral("/libparcly-web.so");
}

WebViewFactory* loadFactory()
{
    ModuleState& s = state();
    if (s.factory)
        return s.factory;
    const QString path = WebModule::pluginPath();
    if (!QFileInfo::exists(path)) {
        logLine(QStringLiteral("Web module: %1 does not exist").arg(path));
        return nullptr;
    }
    // The loader stays alive and the library loaded until the process ends: views it made may
    // still exist anywhere in the app.
    auto* loader = new QPluginLoader(path);
    QObject* root = loader->instance();
    auto* factory = qobject_cast<WebViewFactory*>(root);
    if (!factory) {
        logLine(QStringLiteral("Web module: cannot load %1: %2")
                    .arg(path, root ? QStringLiteral("not a web-view module") : loader->errorString()));
        delete loader;
        return nullptr;
    }
    s.factory = factory;
    return factory;
}

} // namespace

WebView* WebModule::createWebView(QWidget* parent)
{
    WebViewFactory* factory = loadFactory();
    return factory ? factory->createWebView(parent) : nullptr;
}

bool WebModule::isLoaded()
{
    return state().factory != nullptr;
}

void WebModule::setPluginPath(const QString& path)
{
    state().pluginPath = path;
}

QString WebModule::pluginPath()
{
    const QString& path = state().pluginPath;
    return path.isEmpty() ? defaultPluginPath() : path;
}

// WebView's meta-object lives here, in the program, and the program exports it (see
// WebView.dynamic-list): the module's views then share the program's one copy, so signals and
// qobject_cast<WebView*> work across the boundary.
#include "moc_WebView.cpp"
