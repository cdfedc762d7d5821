#pragma once

#include "platform/NotificationCenter.h"

#include <QDateTime>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class MetadataQuery;

// Reports each screenshot the desktop's own tools save, once, while the user's
// "uploadAllScreenshots" setting is on. Only a screenshot made in the last 10 seconds counts,
// so switching the setting on never brings back old ones.
class ScreenshotDetector {
public:
    using Callback = std::function<void(const QUrl&)>;
    using Clock = std::function<QDateTime()>;

    ScreenshotDetector();
    ~ScreenshotDetector();
    ScreenshotDetector(const ScreenshotDetector&) = delete;
    ScreenshotDetector& operator=(const ScreenshotDetector&) = delete;

    // Starts the screenshot query; call once.
    void watch();
    // What the query's notifications run.
    void queryUpdated(const Notification& notification);

    void setScreenshotTaken(Callback callback) { m_screenshotTaken = std::move(callback); }

    std::shared_ptr<MetadataQuery> query() const;
    void setQuery(std::shared_ptr<MetadataQuery> query);
    QString lastShot() const;
    void setLastShot(const QString& name);

    // What "now" is when judging a screenshot fresh; the wall clock unless replaced.
    void setClock(Clock clock) { m_clock = std::move(clock); }

private:
    mutable std::mutex m_mutex; // guards m_query and m_lastShot, which other threads may read
    std::shared_ptr<MetadataQuery> m_query;
    QString m_lastShot;
    Callback m_screenshotTaken;
    Clock m_clock = [] { return QDateTime::currentDateTime(); };
    std::vector<std::unique_ptr<ScopedObserver>> m_observers;
};
