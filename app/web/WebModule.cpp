#include "app/web/WebModule.h"

#include "app/web/RemoteWebView.h"
#include "platform/Bundle.h"
#include "platform/Log.h"

#include <QFileInfo>

namespace {

QString& configuredHelperPath()
{
    static QString path;
    return path;
}

} // namespace

WebView* WebModule::createWebView(QWidget* parent)
{
    const QString path = helperPath();
    const QFileInfo helper(path);
    if (!helper.isFile() || !helper.isExecutable()) {
        logLine(QStringLiteral("Web helper: %1 is not an executable program").arg(path));
        return nullptr;
    }
    return new RemoteWebView(path, parent);
}

void WebModule::setHelperPath(const QString& path)
{
    configuredHelperPath() = path;
}

QString WebModule::helperPath()
{
    const QString& path = configuredHelperPath();
    return path.isEmpty() ? Bundle::mainBundle().bundlePath() + QStringLiteral("/Contents/MacOS/parcly-web-helper") : path;
}
