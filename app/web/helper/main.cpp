// parcly-web-helper: shows one web page for the app and exits when the app is done with it, so the
// browser engine's memory and processes go with it. The app starts it with one end of a private
// socket as file descriptor 3 (see RemoteWebView).
#include "app/web/WebHelperChannel.h"
#include "app/web/helper/PageHost.h"
#include "platform/Log.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // The engine composites through contexts shared with one global context.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    WebHelperChannel channel(kWebHelperSocketDescriptor);
    if (!channel.isOpen()) {
        logLine(QStringLiteral("Web helper: no connection to the app on descriptor %1; exiting.").arg(kWebHelperSocketDescriptor));
        return 1;
    }
    // The app gone or done: nothing left to show.
    QObject::connect(&channel, &WebHelperChannel::disconnected, &application, &QCoreApplication::quit);
    PageHost host(&channel);
    return application.exec();
}
