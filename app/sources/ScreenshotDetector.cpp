#include "app/sources/ScreenshotDetector.h"

#include "platform/DefaultsController.h"
#include "platform/MetadataQuery.h"

ScreenshotDetector::ScreenshotDetector() = default;

// The observers go first, so no notification reaches a half-destroyed detector.
ScreenshotDetector::~ScreenshotDetector()
{
    m_observers.clear();
}

void ScreenshotDetector::watch()
{
    auto query = std::make_shared<MetadataQuery>();
    setQuery(query);
    m_observers.clear();
    for (const char* name :
         {kMetadataQueryDidStartGatheringNotification, kMetadataQueryDidUpdateNotification, kMetadataQueryDidFinishGatheringNotification}) {
        m_observers.push_back(
            std::make_unique<ScopedObserver>(QString::fromLatin1(name), [this, raw = query.get()](const Notification& notification) {
                if (notification.object.value<MetadataQuery*>() == raw)
                    queryUpdated(notification);
            }));
    }
    query->setPredicate(QString::fromLatin1(kScreenCapturePredicate));
    query->startQuery();
}

void ScreenshotDetector::queryUpdated(const Notification&)
{
    if (!DefaultsController::sharedUserDefaultsController().valueForKeyPath(QStringLiteral("values.uploadAllScreenshots")).toBool())
        return;
    const std::shared_ptr<MetadataQuery> current = query();
    if (!current || current->resultCount() == 0)
        return;
    const MetadataItem item = current->results().last();

    const QDateTime creationDate = item.valueForAttribute(QString::fromLatin1(kMetadataItemFSCreationDateKey)).toDateTime();
    const QDateTime threshold = m_clock().addMSecs(-10000);
    if (!creationDate.isValid() || !(creationDate > threshold))
        return;

    const QString name = item.valueForAttribute(QString::fromLatin1(kMetadataItemFSNameKey)).toString();
    if (name == lastShot())
        return;
    const QString path = item.valueForAttribute(QString::fromLatin1(kMetadataItemPathKey)).toString();
    setLastShot(name);
    if (m_screenshotTaken)
        m_screenshotTaken(QUrl::fromLocalFile(path));
}

std::shared_ptr<MetadataQuery> ScreenshotDetector::query() const
{
    std::lock_guard lock(m_mutex);
    return m_query;
}

void ScreenshotDetector::setQuery(std::shared_ptr<MetadataQuery> query)
{
    std::lock_guard lock(m_mutex);
    m_query = std::move(query);
}

QString ScreenshotDetector::lastShot() const
{
    std::lock_guard lock(m_mutex);
    return m_lastShot;
}

void ScreenshotDetector::setLastShot(const QString& name)
{
    std::lock_guard lock(m_mutex);
    m_lastShot = name;
}
