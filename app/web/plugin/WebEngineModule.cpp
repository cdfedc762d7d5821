// The web-view module's entry point: the plugin object the app's WebModule loads.
#include "app/web/WebViewFactory.h"
#include "app/web/plugin/WebEngineWebView.h"

#include <QCoreApplication>
#include <QObject>
#include "platform/Log.h"

#include <QOpenGLContext>
#include <QQuickWindow>

// Exported by QtGui (the engine uses it the same way) but declared only in its private headers.
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);

namespace {

// The engine composites through contexts shared with one global context, which QGuiApplication
// makes only when Qt::AA_ShareOpenGLContexts was set before it. The app does not set it, since
// that loads the OpenGL stack at launch; the module makes the context now, before the engine's
// first view.
void ensureSharedGraphicsContext()
{
    QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGL);
    if (QOpenGLContext::globalShareContext())
        return;
    auto* context = new QOpenGLContext(QCoreApplication::instance());
    if (!context->create()) {
        logLine(QStringLiteral("Web module: no OpenGL context to share with the engine; pages may not show."));
        delete context;
        return;
    }
    qt_gl_set_global_share_context(context);
}

} // namespace

class WebEngineModule : public QObject, public WebViewFactory {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID WebViewFactory_iid)
    Q_INTERFACES(WebViewFactory)
public:
    WebEngineModule() { ensureSharedGraphicsContext(); }

    WebView* createWebView(QWidget* parent) override { return new WebEngineWebView(parent); }
};

#include "WebEngineModule.moc"
