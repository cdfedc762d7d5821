#include "platform/gui/OpenPanel.h"

#include <QFileDialog>
#include <QStandardPaths>

void OpenPanel::beginWithCompletionHandler(Handler handler)
{
    auto* dialog = new QFileDialog(nullptr, QStringLiteral("Share a File"), QStandardPaths::writableLocation(QStandardPaths::HomeLocation));
    dialog->setObjectName(QStringLiteral("ParclyOpenPanel"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Share"));
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, handler = std::move(handler)](int result) {
        if (!handler)
            return;
        if (result == QDialog::Accepted)
            handler(kOKResponse, dialog->selectedUrls());
        else
            handler(kCancelResponse, {});
    });
    dialog->open();
    dialog->raise();
    dialog->activateWindow();
}
