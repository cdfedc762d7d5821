#include "platform/MetadataQuery.h"

#include "platform/Log.h"
#include "platform/NotificationCenter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// Why inotify and not QFileSystemWatcher: the watcher only says "this folder changed", so a
// screenshot still being written would have to be guessed complete from a size that stopped
// growing, which a slow writer defeats. inotify says when a writer closed the file
// (IN_CLOSE_WRITE) and when a finished file was moved in (IN_MOVED_TO, which is how most tools
// save: write a temporary file, then rename it), so a file is listed exactly once it is whole,
// and a rename shows up as the old name leaving and the new one arriving.

namespace {

const QString kScreenshotsSubfolder = QStringLiteral("Screenshots");

// Events on a file in a searched folder.
constexpr uint32_t kFileEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;
// Events that change which folders exist: a searched folder appearing, going away or moving.
constexpr uint32_t kFolderEvents = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF;

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QDateTime dateFromTimestamp(const struct statx_timestamp& stamp)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(stamp.tv_sec) * 1000 + stamp.tv_nsec / 1000000);
}

using FileId = std::pair<dev_t, ino_t>;

// What a listing needs to know of a file. `created` is the birth time where the file system
// records it, else the modification time; it is invalid when the path is not a regular file, is
// gone, or is still empty: some tools create the file, close it, and only then write the picture,
// and an empty file is never a finished screenshot.
struct FileState {
    QDateTime created;
    qint64 size = 0;
    qint64 modifiedMs = 0;
    FileId id;

    bool isValid() const { return created.isValid(); }
};

FileState stateOfRegularFile(const QString& path)
{
    struct statx info { };
    if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_SYMLINK_NOFOLLOW,
                STATX_TYPE | STATX_INO | STATX_SIZE | STATX_BTIME | STATX_MTIME, &info)
        != 0)
        return {};
    if (!S_ISREG(info.stx_mode) || info.stx_size == 0)
        return {};
    const QDateTime modified = dateFromTimestamp(info.stx_mtime);
    return {(info.stx_mask & STATX_BTIME) ? dateFromTimestamp(info.stx_btime) : modified,
            qint64(info.stx_size),
            modified.toMSecsSinceEpoch(),
            {makedev(info.stx_dev_major, info.stx_dev_minor), info.stx_ino}};
}

QDateTime creationDateOfRegularFile(const QString& path)
{
    return stateOfRegularFile(path).created;
}

// Which of these files some process (of those whose descriptors we may see: the user's own, as
// the screenshot tools are) holds open for writing. Reads /proc, so it is kept to the rare
// rescans that find a file written moments ago.
QSet<FileId> openForWriting(const QSet<FileId>& files)
{
    QSet<FileId> writing;
    QDir proc(QStringLiteral("/proc"));
    const QStringList processes = proc.entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
    for (const QString& pid : processes) {
        const QString fdFolder = QStringLiteral("/proc/%1/fd").arg(pid);
        const QStringList descriptors = QDir(fdFolder).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
        for (const QString& fd : descriptors) {
            struct stat info { };
            if (::stat(QFile::encodeName(fdFolder + QLatin1Char('/') + fd).constData(), &info) != 0 || !S_ISREG(info.st_mode))
                continue;
            const FileId id{info.st_dev, info.st_ino};
            if (!files.contains(id) || writing.contains(id))
                continue;
            QFile fdinfo(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid, fd));
            if (!fdinfo.open(QIODevice::ReadOnly))
                continue;
            for (const QByteArray& line : fdinfo.readAll().split('\n')) {
                if (!line.startsWith("flags:"))
                    continue;
                bool ok = false;
                const uint flags = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok && ((flags & O_ACCMODE) == O_WRONLY || (flags & O_ACCMODE) == O_RDWR))
                    writing.insert(id);
            }
        }
    }
    return writing;
}

QString nearestExistingFolder(QString path)
{
    while (!QFileInfo(path).isDir()) {
        const QString parent = QFileInfo(path).absolutePath();
        if (parent == path)
            return QString();
        path = parent;
    }
    return path;
}

bool itemIsOlder(const MetadataItem& a, const MetadataItem& b)
{
    if (a.creationDate() != b.creationDate())
        return a.creationDate() < b.creationDate();
    return a.path() < b.path();
}

} // namespace

MetadataItem::MetadataItem(const QString& path, const QDateTime& creationDate)
    : m_path(path)
    , m_name(QFileInfo(path).fileName())
    , m_creationDate(creationDate)
{
}

QVariant MetadataItem::valueForAttribute(const QString& key) const
{
    if (key == QLatin1String(kMetadataItemFSCreationDateKey))
        return m_creationDate;
    if (key == QLatin1String(kMetadataItemFSNameKey))
        return m_name;
    if (key == QLatin1String(kMetadataItemPathKey))
        return m_path;
    return QVariant();
}

MetadataQuery::MetadataQuery(QObject* parent)
    : QObject(parent)
{
    m_settleTimer.setSingleShot(true);
    connect(&m_settleTimer, &QTimer::timeout, this, &MetadataQuery::checkUnsettled);
}

MetadataQuery::~MetadataQuery()
{
    stopQuery();
}

QStringList MetadataQuery::searchFolders()
{
    QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (pictures.isEmpty())
        pictures = QDir::homePath() + QStringLiteral("/Pictures");
    pictures = QDir::cleanPath(pictures);
    return {pictures, pictures + QLatin1Char('/') + kScreenshotsSubfolder};
}

bool MetadataQuery::isScreenshotName(const QString& name, bool inScreenshotsFolder)
{
    static const QString date = QStringLiteral(R"(\d{4}-\d{2}-\d{2})");
    static const QString time = QStringLiteral(R"(\d{2}-\d{2}-\d{2})");
    static const QRegularExpression known(QStringLiteral("^(?:")
                                              // GNOME Shell and gnome-screenshot: "Screenshot from 2026-12-07 14-02-11.png",
                                              // a second one in the same second "... 14-02-11-2.png" or "... 14-02-11 - 2.png".
                                              + QStringLiteral("Screenshot [Ff]rom ") + date + QLatin1Char(' ') + time
                                              + QStringLiteral(R"((?:-\d+| - \d+)?)")
                                              // GNOME's later wording: "Screenshot 2026-12-07 at 14-02-11.png".
                                              + QStringLiteral("|Screenshot ") + date + QStringLiteral(" at ") + time
                                              + QStringLiteral(R"((?:-\d+| - \d+)?)")
                                              // KDE Spectacle: "Screenshot_20261207_140211.png", then "..._140211-1.png".
                                              + QStringLiteral(R"(|Screenshot_\d{8}_\d{6}(?:-\d+)?)")
                                              // Xfce Screenshooter: "Screenshot_2026-12-07_14-02-11.png".
                                              + QStringLiteral("|Screenshot_") + date + QLatin1Char('_') + time
                                              + QStringLiteral(R"((?:-\d+)?)")
                                              // Flameshot: "2026-12-07_14-02.png" or with seconds, "_1" for a second one.
                                              + QStringLiteral("|") + date + QStringLiteral(R"(_\d{2}-\d{2}(?:-\d{2})?(?:_\d+)?)")
                                              + QStringLiteral(R"()\.png$)"),
                                          QRegularExpression::CaseInsensitiveOption);
    // GNOME translates "Screenshot from" into the desktop's language; in the folder it keeps for
    // screenshots alone, a PNG named with its date and time is enough.
    static const QRegularExpression stamped(QStringLiteral(R"(^.*\D)") + date + QStringLiteral("[ _]") + time
                                                + QStringLiteral(R"(.*\.png$)"),
                                            QRegularExpression::CaseInsensitiveOption);
    if (known.match(name).hasMatch())
        return true;
    return inScreenshotsFolder && stamped.match(name).hasMatch();
}

bool MetadataQuery::startQuery()
{
    if (m_predicate != QLatin1String(kScreenCapturePredicate)) {
        logLine(QStringLiteral("Metadata query: unsupported predicate \"%1\"; only \"%2\" is understood")
                    .arg(m_predicate, QLatin1String(kScreenCapturePredicate)));
        return false;
    }
    if (isStarted())
        return false;
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        logLine(QStringLiteral("Metadata query: cannot watch for screenshots: %1").arg(errnoText()));
        return false;
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &MetadataQuery::readEvents);
    m_folders = searchFolders();

    // Watch before listing, so nothing saved in between is missed. The events wait in the queue
    // until the first list is complete.
    armWatches();
    m_notifier->setEnabled(false);
    m_gathering = true;
    // Gathering reports from the event loop, as it would from a search service: whoever starts
    // the query finishes setting up (callbacks, settings) before the first notification.
    QMetaObject::invokeMethod(this, &MetadataQuery::gather, Qt::QueuedConnection);
    return true;
}

void MetadataQuery::gather()
{
    if (!isStarted())
        return;
    post(kMetadataQueryDidStartGatheringNotification);
    rescan();
    m_gathering = false;
    post(kMetadataQueryDidFinishGatheringNotification);
    if (m_notifier)
        m_notifier->setEnabled(true);
}

void MetadataQuery::stopQuery()
{
    if (!isStarted())
        return;
    m_notifier.reset();
    m_settleTimer.stop();
    m_unsettled.clear();
    m_gathering = false;
    m_watchedFolders.clear();
    ::close(m_fd);
    m_fd = -1;
}

QList<MetadataItem> MetadataQuery::results() const
{
    QList<MetadataItem> items = m_items.values();
    std::sort(items.begin(), items.end(), itemIsOlder);
    return items;
}

void MetadataQuery::armWatches()
{
    removeWatches();
    QHash<QString, uint32_t> masks;
    for (const QString& folder : std::as_const(m_folders)) {
        if (QFileInfo(folder).isDir())
            masks[folder] |= kFileEvents | kFolderEvents;
        else if (const QString ancestor = nearestExistingFolder(folder); !ancestor.isEmpty())
            masks[ancestor] |= kFolderEvents; // to notice the folder being made later
    }
    for (auto it = masks.begin(); it != masks.end(); ++it) {
        const int wd = ::inotify_add_watch(m_fd, QFile::encodeName(it.key()).constData(), it.value() | IN_ONLYDIR);
        if (wd < 0) {
            logLine(QStringLiteral("Metadata query: cannot watch %1: %2").arg(it.key(), errnoText()));
            continue;
        }
        m_watchedFolders.insert(wd, it.key());
    }
}

void MetadataQuery::removeWatches()
{
    // Forgotten first, so the IN_IGNORED each removal brings is not taken for a vanished folder.
    const QList<int> descriptors = m_watchedFolders.keys();
    m_watchedFolders.clear();
    for (int wd : descriptors)
        ::inotify_rm_watch(m_fd, wd);
}

bool MetadataQuery::isSearchFolder(const QString& folder) const
{
    return m_folders.contains(folder) && QFileInfo(folder).isDir();
}

bool MetadataQuery::rescan()
{
    QMap<QString, MetadataItem> found;
    QMap<QString, FileState> fresh;
    for (const QString& folder : std::as_const(m_folders)) {
        const bool screenshotsFolder = folder.endsWith(QLatin1Char('/') + kScreenshotsSubfolder);
        const QStringList names = QDir(folder).entryList({QStringLiteral("*.png"), QStringLiteral("*.PNG")}, QDir::Files | QDir::Hidden);
        for (const QString& name : names) {
            if (!isScreenshotName(name, screenshotsFolder))
                continue;
            const QString path = folder + QLatin1Char('/') + name;
            const FileState state = stateOfRegularFile(path);
            if (!state.isValid())
                continue;
            if (m_items.contains(path) || hasSettled(state.modifiedMs))
                found.insert(path, listedItem(path, state.created));
            else
                fresh.insert(path, state);
        }
    }
    // A file written moments ago, found by looking rather than by its writer closing it, may
    // still be being written: then it is listed once its writer closes it or its size settles.
    if (!fresh.isEmpty()) {
        QSet<FileId> ids;
        for (auto it = fresh.cbegin(); it != fresh.cend(); ++it)
            ids.insert(it->id);
        const QSet<FileId> writing = openForWriting(ids);
        for (auto it = fresh.cbegin(); it != fresh.cend(); ++it) {
            if (writing.contains(it->id))
                watchUntilSettled(it.key(), {it->size, it->modifiedMs});
            else
                found.insert(it.key(), listedItem(it.key(), it->created));
        }
    }
    for (auto it = m_unsettled.begin(); it != m_unsettled.end();) {
        if (found.contains(it.key()) || !QFileInfo::exists(it.key()))
            it = m_unsettled.erase(it);
        else
            ++it;
    }
    if (found == m_items)
        return false;
    m_items = found;
    return true;
}

bool MetadataQuery::hasSettled(qint64 modifiedMs)
{
    return QDateTime::currentMSecsSinceEpoch() - modifiedMs >= kSettleMs;
}

void MetadataQuery::watchUntilSettled(const QString& path, const FileStamp& state)
{
    m_unsettled.insert(path, {state.size, state.modifiedMs});
    if (!m_settleTimer.isActive())
        m_settleTimer.start(kSettleMs);
}

void MetadataQuery::checkUnsettled()
{
    bool changed = false;
    for (auto it = m_unsettled.begin(); it != m_unsettled.end();) {
        const QString path = it.key();
        const FileState now = stateOfRegularFile(path);
        if (!now.isValid()) {
            it = m_unsettled.erase(it);
            continue;
        }
        if (now.size == it->size && now.modifiedMs == it->modifiedMs && hasSettled(now.modifiedMs)) {
            it = m_unsettled.erase(it);
            const MetadataItem item = listedItem(path, now.created);
            if (m_items.value(path) != item) {
                m_items.insert(path, item);
                changed = true;
            }
            continue;
        }
        *it = {now.size, now.modifiedMs};
        ++it;
    }
    if (!m_unsettled.isEmpty())
        m_settleTimer.start(kSettleMs);
    if (changed)
        post(kMetadataQueryDidUpdateNotification);
}

// An editor saving a listed screenshot replaces the file, which gives it a new birth time; it is
// still the screenshot the user took then, not a new one.
MetadataItem MetadataQuery::listedItem(const QString& path, const QDateTime& created) const
{
    const auto known = m_items.constFind(path);
    return MetadataItem(path, known != m_items.cend() ? std::min(known->creationDate(), created) : created);
}

bool MetadataQuery::refresh(const QString& folder, const QString& name)
{
    const QString path = folder + QLatin1Char('/') + name;
    if (!isScreenshotName(name, folder == m_folders.value(1)))
        return false;
    m_unsettled.remove(path);
    const QDateTime created = creationDateOfRegularFile(path);
    if (!created.isValid())
        return drop(path);
    const MetadataItem item = listedItem(path, created);
    if (m_items.value(path) == item)
        return false;
    m_items.insert(path, item);
    return true;
}

bool MetadataQuery::drop(const QString& path)
{
    m_unsettled.remove(path);
    return m_items.remove(path) > 0;
}

void MetadataQuery::readEvents()
{
    bool changed = false;
    bool foldersChanged = false;
    alignas(struct inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            break;
        for (const char* p = buffer; p < buffer + length;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(p);
            p += sizeof(struct inotify_event) + event->len;

            if (event->mask & IN_Q_OVERFLOW) {
                // Events were lost: only a fresh look at the folders can tell what changed.
                foldersChanged = true;
                continue;
            }
            const auto watched = m_watchedFolders.constFind(event->wd);
            if (watched == m_watchedFolders.cend())
                continue; // a watch we removed
            const QString folder = *watched;
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                foldersChanged = true;
                continue;
            }
            const QString name = event->len ? QFile::decodeName(event->name) : QString();
            if (event->mask & IN_ISDIR) {
                // A searched folder (or one on the way to it) came or went.
                const QString path = folder + QLatin1Char('/') + name;
                if (std::any_of(m_folders.cbegin(), m_folders.cend(), [&path](const QString& searched) {
                        return searched == path || searched.startsWith(path + QLatin1Char('/'));
                    }))
                    foldersChanged = true;
                continue;
            }
            if (name.isEmpty() || !isSearchFolder(folder))
                continue;
            if (event->mask & (IN_MOVED_FROM | IN_DELETE))
                changed |= drop(folder + QLatin1Char('/') + name);
            else if (event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO))
                changed |= refresh(folder, name);
        }
    }
    if (foldersChanged) {
        armWatches();
        changed |= rescan();
    }
    if (changed)
        post(kMetadataQueryDidUpdateNotification);
}

void MetadataQuery::post(const char* name)
{
    NotificationCenter::defaultCenter().post(QString::fromLatin1(name), QVariant::fromValue(this));
}
