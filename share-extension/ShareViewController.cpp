#include "share-extension/ShareViewController.h"

#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/Workspace.h"
#include "shared/Archiver.h"
#include "shared/HandOffFolder.h"
#include "shared/ShareableItem.h"
#include "shared/WorkFolder.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMutex>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// What a query value may hold as it stands besides letters, digits and "-._~": every other
// character is escaped: "%", so the escapes of a file URL are escaped once more, and "&", "=" and
// "+", which a receiver reads as the query's own separators.
const QByteArray kURLQueryAllowed = QByteArrayLiteral("!$'()*,;:@/?");

// Copies into a hand-off's fresh work folder. Links are copied as links, their targets as written,
// so a relative link stays relative and nothing outside the shared folder is ever read through
// one. Pipes, sockets and devices are never opened: reading one may never end. Stops between
// chunks once `cancelled` says so.
class Copier {
public:
    explicit Copier(std::function<bool()> cancelled)
        : m_cancelled(std::move(cancelled))
    {
    }

    bool cancelled() const { return m_stopped; }
    // What was left out, one sentence each.
    QStringList skipped() const { return m_skipped; }
    QStringList failures() const { return m_failures; }

    // A regular file (a link to one is followed: the user chose it) to `to`, which must not exist.
    bool copyFile(const QString& from, const QString& to)
    {
        const int in = ::open(QFile::encodeName(from).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (in < 0)
            return failed(from);
        const auto closeIn = qScopeGuard([in] { ::close(in); });
        struct stat info { };
        if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode))
            return failed(from);
        const int out
            = ::open(QFile::encodeName(to).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, (info.st_mode & 0777) | S_IRUSR | S_IWUSR);
        if (out < 0)
            return failed(from);
        const auto closeOut = qScopeGuard([out] { ::close(out); });
        std::vector<char> buffer(1 << 20);
        while (true) {
            if (stopNow())
                return false;
            const ssize_t got = ::read(in, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return failed(from);
            if (got == 0)
                return true;
            for (ssize_t written = 0; written < got;) {
                const ssize_t n = ::write(out, buffer.data() + written, got - written);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    return failed(from);
                written += n;
            }
        }
    }

    // A folder's contents below `to`, which exists.
    bool copyFolder(const QString& from, const QString& to)
    {
        const QStringList names = QDir(from).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QString& name : names) {
            if (stopNow())
                return false;
            const QString source = from + QLatin1Char('/') + name;
            const QString target = to + QLatin1Char('/') + name;
            const QByteArray native = QFile::encodeName(source);
            struct stat info { };
            if (::lstat(native.constData(), &info) != 0) {
                failed(source);
            } else if (S_ISLNK(info.st_mode)) {
                QByteArray linkTarget(PATH_MAX, '\0');
                const ssize_t length = ::readlink(native.constData(), linkTarget.data(), linkTarget.size());
                if (length <= 0
                    || ::symlink(QByteArray(linkTarget.constData(), length).constData(), QFile::encodeName(target).constData()) != 0)
                    failed(source);
            } else if (S_ISDIR(info.st_mode)) {
                if (::mkdir(QFile::encodeName(target).constData(), (info.st_mode & 0777) | S_IRWXU) != 0)
                    failed(source);
                else if (!copyFolder(source, target))
                    return false;
            } else if (S_ISREG(info.st_mode)) {
                copyFile(source, target);
                if (m_stopped)
                    return false;
            } else {
                const QString why = ShareableItem::refusal(source);
                m_skipped.append(why.isEmpty() ? source : why);
            }
        }
        return true;
    }

private:
    bool stopNow()
    {
        if (!m_stopped && m_cancelled())
            m_stopped = true;
        return m_stopped;
    }
    bool failed(const QString& path)
    {
        m_failures.append(QStringLiteral("%1 (%2)").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }

    std::function<bool()> m_cancelled;
    bool m_stopped = false;
    QStringList m_skipped;
    QStringList m_failures;
};

QString describe(const Error& error)
{
    return QStringLiteral("Error Domain=%1 Code=%2 \"%3\"").arg(error.domain).arg(error.code).arg(error.localizedDescription);
}

} // namespace

ShareViewController::ShareViewController(ExtensionContext* context, QWidget* parent)
    : QWidget(parent)
    , m_extensionContext(context)
{
    loadView();
}

void ShareViewController::loadView()
{
    setWindowTitle(QStringLiteral("Parcly Share"));
    setWindowFlag(Qt::Dialog);

    auto* spinner = new QProgressBar(this);
    spinner->setRange(0, 1); // still, and hidden, until started
    spinner->hide();
    spinner->setTextVisible(false);
    spinner->setMaximumHeight(8);
    setLoading(spinner);

    auto* text = new QLabel(QStringLiteral("Parcly Lite uploads what you share and copies its link."), this);
    text->setWordWrap(true);
    setConfirmationText(text);

    m_problem = new QLabel(this);
    m_problem->setWordWrap(true);
    m_problem->hide();

    auto* sendButton = new QPushButton(QStringLiteral("&Send"), this);
    auto* cancelButton = new QPushButton(QStringLiteral("&Cancel"), this);
    sendButton->setDefault(true);
    connect(sendButton, &QPushButton::clicked, this, &ShareViewController::send);
    connect(cancelButton, &QPushButton::clicked, this, &ShareViewController::cancel);
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, &ShareViewController::cancel);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancelButton);
    buttons->addWidget(sendButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(m_problem);
    layout->addWidget(spinner);
    layout->addLayout(buttons);
    setFixedWidth(420);
}

void ShareViewController::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_appeared)
        return;
    m_appeared = true;
    // From the event loop, once the sheet is really up.
    QTimer::singleShot(0, this, &ShareViewController::viewDidAppear);
}

void ShareViewController::closeEvent(QCloseEvent* event)
{
    // Closing the sheet from its title bar is a cancel.
    if (!m_extensionContext->hasEnded())
        cancel();
    QWidget::closeEvent(event);
}

void ShareViewController::viewDidAppear()
{
    const QList<ExtensionItem> items = m_extensionContext->inputItems();
    const QList<ItemProvider> attachments = items.isEmpty() ? QList<ItemProvider>() : items.first().attachments();
    if (attachments.isEmpty()) {
        fail(QStringLiteral("Nothing was shared."));
        return;
    }
    const QString fileURLType = QString::fromLatin1(kUTTypeFileURL);
    if (attachments.size() >= 2 && attachments.first().hasItemConformingToTypeIdentifier(fileURLType)) {
        startLoading();
        archivePathsAndUpload();
        return;
    }
    attachments.first().loadItemForTypeIdentifier(fileURLType, [this](const QVariant& item, const std::optional<Error>& error) {
        if (error) {
            logLine(QStringLiteral("Parcly Share: Load Item: %1").arg(describe(*error)));
            fail(QStringLiteral("What you shared is not a file, so Parcly Lite cannot upload it."));
            return;
        }
        shareFileURL(item.toUrl());
    });
}

void ShareViewController::archivePathsAndUpload()
{
    const QList<ExtensionItem> items = m_extensionContext->inputItems();
    if (items.isEmpty())
        return;
    const QList<ItemProvider> attachments = items.first().attachments();

    // Shared by the request's completions, which may run at once: the increment, the append and
    // the comparison happen under one lock, so exactly one completion, the last, sees the end.
    struct Collection {
        QMutex mutex;
        QStringList paths;
        qint32 counter = 0;
    };
    auto collection = std::make_shared<Collection>();
    const qint32 expected = qint32(attachments.size());

    for (const ItemProvider& attachment : attachments) {
        attachment.loadItemForTypeIdentifier(
            QString::fromLatin1(kUTTypeFileURL), [this, collection, expected](const QVariant& item, const std::optional<Error>& error) {
                if (error)
                    logLine(QStringLiteral("Parcly Share: Load Item: %1").arg(describe(*error)));
                QStringList paths;
                {
                    const QMutexLocker lock(&collection->mutex);
                    ++collection->counter;
                    if (!error)
                        collection->paths.append(item.toUrl().toLocalFile());
                    if (collection->counter != expected)
                        return;
                    paths = collection->paths;
                }
                // The archiver needs at least one path; an archive of nothing would hand off nothing.
                if (paths.isEmpty()) {
                    logLine(QStringLiteral("Parcly Share: none of the %1 shared items is a file").arg(expected));
                    fail(QStringLiteral("None of the shared items is a file, so there is nothing to upload."));
                    return;
                }
                // A pipe or a device among them is refused before zip could start reading it.
                for (const QString& path : std::as_const(paths)) {
                    const QString refusal = ShareableItem::refusal(path);
                    if (!refusal.isEmpty()) {
                        fail(refusal);
                        return;
                    }
                }
                if (m_extensionContext->hasEnded())
                    return;
                QString failure;
                const QUrl archive = Archiver::zipFiles(paths, &failure);
                if (archive.isEmpty()) {
                    fail(failure.isEmpty() ? QStringLiteral("The shared items could not be put into one archive.") : failure);
                    return;
                }
                // Made in the hand-off folder already: handed off where it is.
                handOff(archive.toLocalFile());
            });
    }
}

void ShareViewController::shareFileURL(const QUrl& url)
{
    startLoading();
    if (m_extensionContext->hasEnded())
        return;
    const QString source = url.toLocalFile();
    const QString name = FileManager::lastPathComponent(source);
    // At once: opening a pipe would wait for a writer, and a device such as /dev/zero never ends.
    const QString refusal = ShareableItem::refusal(source);
    if (!refusal.isEmpty()) {
        fail(refusal);
        return;
    }
    // Each hand-off in a fresh folder of its own, under the item's real name: two items of one
    // name, shared at once, never meet.
    const QString folder = WorkFolder::create(shareHandOffDirectory());
    if (folder.isEmpty()) {
        // Without the folder the copy would land wherever the program was started.
        fail(QStringLiteral("Parcly Share has no safe folder to hand the file over in."));
        return;
    }
    const QString destination = folder + name;
    Copier copier([this] { return m_extensionContext->hasEnded(); });
    bool copied = false;
    if (QFileInfo(source).isDir()) {
        const QString canonical = QFileInfo(source).canonicalFilePath();
        if (QFileInfo(folder).canonicalFilePath().startsWith(canonical + QLatin1Char('/'))) {
            WorkFolder::removeContaining(destination);
            fail(QStringLiteral("\"%1\" holds Parcly Share's own folder, so it cannot be copied into it.").arg(name));
            return;
        }
        copied = ::mkdir(QFile::encodeName(destination).constData(), 0700) == 0 && copier.copyFolder(source, destination);
    } else {
        copied = copier.copyFile(source, destination);
    }
    if (copier.cancelled()) {
        logLine(QStringLiteral("Parcly Share: the request has ended; stopped copying %1").arg(source));
        WorkFolder::removeContaining(destination);
        return;
    }
    for (const QString& skipped : copier.skipped())
        logLine(QStringLiteral("Parcly Share: left out: %1").arg(skipped));
    if (!copied || !copier.failures().isEmpty()) {
        // Handing off part of it would leave the user with less than they shared and no word.
        logLine(QStringLiteral("Parcly Share: Copy File URL: could not copy %1").arg(copier.failures().join(QStringLiteral(", "))));
        WorkFolder::removeContaining(destination);
        fail(QStringLiteral("\"%1\" could not be copied for Parcly Lite.").arg(name));
        return;
    }
    handOff(destination);
}

void ShareViewController::handOff(const QString& path)
{
    const QString fileURL = QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
    const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(fileURL, kURLQueryAllowed));
    const QUrl url(QStringLiteral("parcly-lite://?handleURL=%1").arg(encoded), QUrl::StrictMode);
    // A request the user has already cancelled hands nothing off.
    if (m_extensionContext->hasEnded()) {
        logLine(QStringLiteral("Parcly Share: the request has ended; %1 is not handed off").arg(path));
        WorkFolder::removeContaining(path);
        return;
    }
    logLine(QStringLiteral("Open URL 2: %1").arg(url.toString(QUrl::FullyEncoded)));
    QString refusal;
    if (!Workspace::sharedWorkspace().openURL(url, &refusal)) {
        // Not taken: nobody will upload it, and no link should be able to later.
        WorkFolder::removeContaining(path);
        fail(QStringLiteral("\"%1\" was not handed to Parcly Lite. %2").arg(FileManager::lastPathComponent(path), refusal));
        return;
    }
    m_extensionContext->completeRequestReturningItems(m_extensionContext->inputItems());
}

void ShareViewController::send()
{
    // Send cannot make a failed request a success: the host hears why it failed.
    if (!failureText().isEmpty()) {
        endWithFailure();
        return;
    }
    m_extensionContext->completeRequestReturningItems({ExtensionItem()});
}

void ShareViewController::endWithFailure()
{
    if (!m_extensionContext->hasEnded())
        m_extensionContext->cancelRequestWithError(Error{QString::fromLatin1(NSCocoaErrorDomain), NSFileWriteUnknownError, failureText()});
}

void ShareViewController::cancel()
{
    m_extensionContext->cancelRequestWithError(Error{QString::fromLatin1(NSCocoaErrorDomain), NSUserCancelledError, QString()});
}

QString ShareViewController::failureText() const
{
    const QMutexLocker lock(&m_failureMutex);
    return m_failure;
}

void ShareViewController::fail(const QString& text)
{
    logLine(QStringLiteral("Parcly Share: %1").arg(text));
    {
        const QMutexLocker lock(&m_failureMutex);
        m_failure = text;
    }
    showProblem(text);
    // Long enough to read; a program started from a script or a file manager then ends by itself.
    QMetaObject::invokeMethod(this, [this] { QTimer::singleShot(kFailureShownMs, this, &ShareViewController::endWithFailure); });
}

QString ShareViewController::problemText() const
{
    return m_problem->isHidden() ? QString() : m_problem->text();
}

void ShareViewController::startLoading()
{
    QMetaObject::invokeMethod(this, [this] {
        if (m_loading) {
            m_loading->setRange(0, 0);
            m_loading->show();
        }
    });
}

void ShareViewController::showProblem(const QString& text)
{
    QMetaObject::invokeMethod(this, [this, text] {
        if (m_loading) {
            m_loading->setRange(0, 1);
            m_loading->hide();
        }
        m_problem->setText(text);
        m_problem->show();
        // The sheet grows to the message's wrapped height.
        adjustSize();
    });
}
