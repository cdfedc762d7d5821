#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <QVariantMap>

#include <memory>

class QSocketNotifier;

// Notification names; the notification's object is the query that posts it.
inline constexpr char kMetadataQueryDidStartGatheringNotification[] = "MetadataQueryDidStartGatheringNotification";
inline constexpr char kMetadataQueryDidUpdateNotification[] = "MetadataQueryDidUpdateNotification";
inline constexpr char kMetadataQueryDidFinishGatheringNotification[] = "MetadataQueryDidFinishGatheringNotification";

// Attributes of a result.
inline constexpr char kMetadataItemFSCreationDateKey[] = "kMDItemFSCreationDate"; // QDateTime
inline constexpr char kMetadataItemFSNameKey[] = "kMDItemFSName"; // QString
inline constexpr char kMetadataItemPathKey[] = "kMDItemPath"; // QString

// The one predicate the query understands: files the desktop's screenshot tools saved.
inline constexpr char kScreenCapturePredicate[] = "kMDItemIsScreenCapture = 1";

class MetadataItem {
public:
    MetadataItem() = default;
    MetadataItem(const QString& path, const QDateTime& creationDate);

    // An invalid QVariant for an attribute the item does not have.
    QVariant valueForAttribute(const QString& key) const;

    QString path() const { return m_path; }
    QString name() const { return m_name; }
    QDateTime creationDate() const { return m_creationDate; }

    bool operator==(const MetadataItem& other) const = default;

private:
    QString m_path;
    QString m_name;
    QDateTime m_creationDate;
};

// Finds the screenshots the desktop's tools save in the user's Pictures folder and its
// Screenshots subfolder, and keeps the list current while it runs. Notifications are posted on
// the default notification center, on the thread that started the query (which needs an
// event loop): did-start-gathering and did-finish-gathering around the first listing, then
// did-update after every change to the list.
class MetadataQuery : public QObject {
    Q_OBJECT
public:
    explicit MetadataQuery(QObject* parent = nullptr);
    ~MetadataQuery() override;

    void setPredicate(const QString& predicate) { m_predicate = predicate; }
    QString predicate() const { return m_predicate; }

    // False (with a log line) for a predicate other than kScreenCapturePredicate, when already
    // started, or when the folders cannot be watched. The first gathering runs from the event
    // loop, posting did-start-gathering and did-finish-gathering; changes then post did-update.
    bool startQuery();
    void stopQuery();
    bool isStarted() const { return m_notifier != nullptr; }
    // True from startQuery() until the first gathering has finished.
    bool isGathering() const { return m_gathering; }

    // Oldest first by creation time.
    QList<MetadataItem> results() const;
    qsizetype resultCount() const { return m_items.size(); }

    // The folders searched: the XDG Pictures folder and its Screenshots subfolder.
    static QStringList searchFolders();
    // Whether a file of this name, in this folder, is one a screenshot tool wrote.
    static bool isScreenshotName(const QString& name, bool inScreenshotsFolder);

    // How long a file found by a rescan must keep its size and modification time before it
    // counts as complete, when its writer has not closed it.
    static constexpr int kSettleMs = 1000;

private:
    void gather();
    void readEvents();
    void armWatches();
    void removeWatches();
    // Lists every folder again. True when the list changed.
    bool rescan();
    // Adds, refreshes or drops the entry for one file. True when the list changed.
    bool refresh(const QString& folder, const QString& name);
    MetadataItem listedItem(const QString& path, const QDateTime& created) const;
    bool drop(const QString& path);
    bool isSearchFolder(const QString& folder) const;
    void post(const char* name);

    // A file's size and modification time, to tell whether a writer is still at it.
    struct FileStamp {
        qint64 size = 0;
        qint64 modifiedMs = 0;
    };
    // Whether kSettleMs have passed since this modification time.
    static bool hasSettled(qint64 modifiedMs);
    void watchUntilSettled(const QString& path, const FileStamp& state);
    void checkUnsettled();

    QString m_predicate;
    int m_fd = -1;
    bool m_gathering = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QStringList m_folders;
    QHash<int, QString> m_watchedFolders; // watch descriptor -> folder
    QMap<QString, MetadataItem> m_items; // path -> item
    QHash<QString, FileStamp> m_unsettled; // found by a rescan, maybe still being written
    QTimer m_settleTimer;
};
