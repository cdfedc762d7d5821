#include "app/menubar/StatusItemController.h"

#include "app/menubar/DropTargetWindow.h"
#include "app/menubar/ImageTinting.h"
#include "app/menubar/ParclyStatusMenu.h"
#include "app/menubar/StatusItem.h"
#include "app/sources/PAExtensions.h"
#include "platform/gui/Pasteboard.h"
#include "platform/gui/PasteboardTypes.h"
#include "platform/gui/UserNotificationCenter.h"
#include "shared/Archiver.h"

#include <QApplication>
#include <QFileInfo>
#include <QPalette>

#include <algorithm>
#include <cmath>

StatusItemController::StatusItemController(ParclyStatusMenu& menu, QObject* parent, const QString& imagesPath)
    : QObject(parent)
    , m_menu(menu)
    , m_images(imagesPath)
    , m_statusItem(new StatusItem(this))
{
    showImage(kNormalImageName);
    m_statusItem->setMenu(&menu);
    menu.setStatusItem(m_statusItem);
    connect(&menu, &ParclyStatusMenu::uploadDidStart, this, &StatusItemController::uploadDidStart);
    connect(&menu, &ParclyStatusMenu::uploadDidReportProgress, this, &StatusItemController::uploadDidReportProgress);
    connect(&menu, &ParclyStatusMenu::uploadDidEnd, this, &StatusItemController::uploadDidEnd);
    connect(&menu, &ParclyStatusMenu::uploadWasRefused, this, [this] { setStatusItemState(StatusItemStateError); });

    DropTargetWindow* dropTarget = m_statusItem->button();
    connect(dropTarget, &DropTargetWindow::dragEntered, this, [this](const QMimeData* data) { draggingEntered(Pasteboard(data)); });
    connect(dropTarget, &DropTargetWindow::dragExited, this, &StatusItemController::draggingExited);
    connect(dropTarget, &DropTargetWindow::dropped, this, [this](const QMimeData* data) { performDragOperation(Pasteboard(data)); });
}

StatusItemController::~StatusItemController() = default;

void StatusItemController::setStatusItemProgress(double fraction)
{
    const QString name = imageNameForProgressValue(fraction);
    const QIcon image = imageForProgressValue(fraction);
    // A fraction outside the series keeps the image shown rather than blanking the icon.
    if (!image.isNull())
        m_statusItem->setImage(name, image);
}

QString StatusItemController::imageNameForProgressValue(double fraction)
{
    // Not a number, negative or beyond the last image: there is no image, and the number must not
    // reach the integer conversion, where it would be undefined.
    if (!(fraction >= 0.0 && fraction <= 1.0))
        return {};
    const int n = static_cast<int>(std::floor(fraction * 56.0) + 1.0);
    return QString::number(n);
}

QIcon StatusItemController::imageForProgressValue(double fraction) const
{
    const QString name = imageNameForProgressValue(fraction);
    return name.isEmpty() ? QIcon() : m_images.imageNamed(name);
}

void StatusItemController::uploadDidStart()
{
    ++m_uploadsInProgress;
    m_showsUploadError = false;
}

void StatusItemController::uploadDidReportProgress(double fraction)
{
    if (!m_showsUploadError)
        setStatusItemProgress(fraction);
}

void StatusItemController::uploadDidEnd(bool success)
{
    m_uploadsInProgress = std::max(0, m_uploadsInProgress - 1);
    if (!success)
        setStatusItemState(StatusItemStateError);
    else if (!m_showsUploadError)
        setStatusItemState(StatusItemStateNormal);
}

void StatusItemController::setStatusItemState(qint32 state)
{
    m_showsUploadError = state == StatusItemStateError;
    switch (state) {
    case StatusItemStateDragging: {
        // Tinted anew on each call, so a change of the desktop's colours shows at the next drag.
        const QIcon tinted = tintedWithColor(m_images.imageNamed(kErrorImageName), focusColor());
        m_statusItem->setImage(QStringLiteral("dragging"), tinted);
        break;
    }
    case StatusItemStateError:
        showImage(kErrorImageName);
        break;
    default:
        showImage(kNormalImageName);
        break;
    }
}

void StatusItemController::showImage(const QString& name)
{
    m_statusItem->setImage(name, m_images.imageNamed(name));
}

QColor StatusItemController::focusColor() const
{
    return QApplication::palette().color(QPalette::Active, QPalette::Highlight);
}

QStringList StatusItemController::defaultDraggedTypes()
{
    return {
        NSStringPboardType,
        NSFilenamesPboardType,
        NSPostScriptPboardType,
        NSTIFFPboardType,
        NSRTFPboardType,
        NSTabularTextPboardType,
        NSFontPboardType,
        NSRulerPboardType,
        NSFileContentsPboardType,
        NSColorPboardType,
        NSRTFDPboardType,
        NSHTMLPboardType,
        NSURLPboardType,
        NSPDFPboardType,
        NSVCardPboardType,
        NSFilesPromisePboardType,
        NSInkTextPboardType,
        QStringLiteral("CorePasteboardFlavorType 0x6974756E"),
        QStringLiteral("public.tiff"),
    };
}

int StatusItemController::draggingEntered(const Pasteboard&)
{
    setStatusItemState(StatusItemStateDragging);
    return kDragOperationCopy;
}

void StatusItemController::draggingExited()
{
    setStatusItemState(StatusItemStateNormal);
}

bool StatusItemController::performDragOperation(const Pasteboard& pasteboard)
{
    const QStringList types = pasteboard.types();
    if (types.contains(NSFilenamesPboardType))
        performFileDragOperation(pasteboard);
    else if (types.contains(QStringLiteral("com.apple.pasteboard.promised-file-url")) && types.contains(NSRTFPboardType))
        performFilePromiseDragOperation(pasteboard);
    else if (types.contains(QStringLiteral("public.tiff")))
        performImageDragOperation(pasteboard);
    return true;
}

void StatusItemController::performImageDragOperation(const Pasteboard& pasteboard)
{
    const QVariantMap image = PAExtensions::imageData(pasteboard);
    if (image.isEmpty())
        return;
    m_menu.uploadFileData(image.value(PAImageDataKey).toByteArray(), image.value(PAImageNameKey).toString());
}

namespace {

// Pipes, sockets and devices inside a dropped folder are not in its drop: the user hears which.
void announceLeftOut(const QStringList& entries)
{
    QStringList quoted;
    for (const QString& entry : entries)
        quoted.append(QLatin1Char('"') + entry + QLatin1Char('"'));
    const QString sentence = entries.size() == 1
        ? QStringLiteral("%1 is not a file or folder, so it was left out.").arg(quoted.first())
        : QStringLiteral("%1 are not files or folders, so they were left out.").arg(quoted.join(QStringLiteral(", ")));
    UserNotificationCenter::defaultUserNotificationCenter().deliverNotification(
        {QStringLiteral("Left Out of the Drop"), sentence, QString()});
}

} // namespace

void StatusItemController::performFileDragOperation(const Pasteboard& pasteboard)
{
    const QStringList paths = pasteboard.propertyListForType(NSFilenamesPboardType).toStringList();
    if (paths.isEmpty())
        return;
    if (paths.size() == 1 && !QFileInfo(paths.first()).isDir()) {
        m_menu.uploadFile(QUrl::fromLocalFile(paths.first()));
        return;
    }
    // A folder or several items go up as one archive. Zipping takes as long as the folder is big;
    // the icon keeps drawing and taking drops meanwhile, and the upload starts once it is done.
    // The menu lives as long as the app; the controller may not, so the archive goes to the menu.
    Archiver::makeArchive(paths, [menu = &m_menu](const Archiver::Result& result) {
        if (!result.skipped.isEmpty())
            announceLeftOut(result.skipped);
        if (result.archive.isEmpty()) {
            menu->uploadDidFail(result.failure);
            return;
        }
        menu->uploadFile(result.archive);
    });
}

void StatusItemController::performFilePromiseDragOperation(const Pasteboard&)
{
    // Promised files (rich text with a promised file URL) are recognised, but there is no file to
    // read yet, so nothing is uploaded.
}
