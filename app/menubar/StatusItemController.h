#pragma once

#include <QIcon>
#include <QObject>
#include <QStringList>

#include "app/menubar/StatusItemImages.h"

class Pasteboard;
class ParclyStatusMenu;
class StatusItem;

enum StatusItemState : qint32 {
    StatusItemStateNormal = 0,
    StatusItemStateDragging = 1,
    StatusItemStateError = 2,
};

// Owns the app's status item: its images (normal, drag hover, progress, error), its menu, and what
// a drop on it does. The menu it is given is the one the item opens and the one every drop is
// uploaded through; the icon follows what the menu reports of its uploads.
class StatusItemController : public QObject {
    Q_OBJECT
public:
    // The tray images come from `imagesPath`, or from the bundle's resources when it is empty.
    explicit StatusItemController(ParclyStatusMenu& menu, QObject* parent = nullptr, const QString& imagesPath = {});
    ~StatusItemController() override;

    StatusItem* statusItem() const { return m_statusItem; }

    // Main thread only.
    void setStatusItemProgress(double fraction);
    void setStatusItemState(qint32 state);

    // What the uploads report, main thread only. Several may run at once: a failed one's error
    // image stays, whatever the others report, until a new upload starts or a drag enters.
    void uploadDidStart();
    void uploadDidReportProgress(double fraction);
    void uploadDidEnd(bool success);
    // Uploads started and not yet ended.
    int uploadsInProgress() const { return m_uploadsInProgress; }
    // The image for an upload's fraction done: "1" for nothing yet up to "57" for a finished
    // transfer. A null icon for a fraction that names no image (not a number, below 0, above 1).
    QIcon imageForProgressValue(double fraction) const;
    static QString imageNameForProgressValue(double fraction);

    static QStringList defaultDraggedTypes();

    // Drag destination: what the drop target's drags do, for the drag's pasteboard.
    int draggingEntered(const Pasteboard& pasteboard);
    void draggingExited();
    bool performDragOperation(const Pasteboard& pasteboard);

    void performImageDragOperation(const Pasteboard& pasteboard);
    void performFileDragOperation(const Pasteboard& pasteboard);
    void performFilePromiseDragOperation(const Pasteboard& pasteboard);

    static inline const QString kNormalImageName = QStringLiteral("PAStatusItemIcon");
    static inline const QString kErrorImageName = QStringLiteral("PAStatusItemIconError");
    static constexpr int kDragOperationCopy = 1;

private:
    void showImage(const QString& name);
    QColor focusColor() const;

    ParclyStatusMenu& m_menu;
    // Loaded as they are first asked for, from const members too.
    mutable StatusItemImages m_images;
    StatusItem* m_statusItem = nullptr;
    bool m_showsUploadError = false;
    int m_uploadsInProgress = 0;
};
