// parcly-share FILE...: the share extension that file managers offer. Its arguments (paths, or
// "file:" URLs as a file manager passes them) are the attachments of the one shared item. Exits
// 0 when the request completes (Parcly Lite has accepted the file, or Send was pressed while all
// was well) and 1 when it is cancelled or has failed: the sheet then says why until it is closed.
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "share-extension/ExtensionContext.h"
#include "share-extension/ShareViewController.h"
#include "shared/HandOffFolder.h"

#include <QApplication>
#include <QFile>

#include <cstdio>
#include <unistd.h>

namespace {
// A copy notices a cancel between chunks; zip, or a tray app that is starting, may take longer.
constexpr int kPendingLoadsWaitMs = 2000;
}

int main(int argc, char** argv)
{
    // Copies and archives go to the hand-off folder, the only place the tray app takes them from.
    setTemporaryDirectorySubfolder(QString::fromLatin1(kShareHandOffSubfolder));

    // Read before QApplication takes its own options out of argv: a file may be called "-style".
    QList<ItemProvider> attachments;
    for (int i = 1; i < argc; ++i)
        attachments.append(ItemProvider(QFile::decodeName(argv[i])));

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Parcly Share"));
    QApplication::setQuitOnLastWindowClosed(false);

    ExtensionContext context({ExtensionItem(attachments)});
    ShareViewController controller(&context);

    QObject::connect(&context, &ExtensionContext::requestCompleted, &app, [&] {
        controller.hide();
        QApplication::exit(0);
    });
    QObject::connect(&context, &ExtensionContext::requestCancelled, &app, [&](const Error& error) {
        logLine(QStringLiteral("Parcly Share: request cancelled: %1 %2").arg(error.domain).arg(error.code));
        controller.hide();
        QApplication::exit(1);
    });

    controller.show();
    const int status = QApplication::exec();
    // A load may still be running (the user cancelled during a zip or while the tray app starts);
    // it must not outlive the sheet, nor keep a cancelled program waiting.
    if (!ItemProvider::waitForPendingLoads(kPendingLoadsWaitMs)) {
        logLine(QStringLiteral("Parcly Share: leaving work still running behind"));
        std::fflush(stderr);
        ::_exit(status);
    }
    return status;
}
