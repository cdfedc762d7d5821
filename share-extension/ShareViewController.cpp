#include "share-extension/ShareViewController.h"

#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "platform/Workspace.h"
#include "shared/Archiver.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMutex>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include <memory>

namespace {

// What a query may hold as it stands besides letters, digits and "-._~": every other character,
// "%" included, is escaped, so the escapes of a file URL are escaped once more.
const QByteArray kURLQueryAllowed = QByteArrayLiteral("!$&'()*+,;=:@/?");

Error copyError(int code, const QString& text)
{
    return Error{QString::fromLatin1(NSCocoaErrorDomain), code, text};
}

// Copies a folder's contents below `to`, which exists. Links inside are copied as links, so a
// link to a parent folder cannot make the copy endless.
bool copyFolderContents(const QString& from, const QString& to, QStringList& failures)
{
    const QDir source(from);
    const QFileInfoList entries = source.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        const QString target = to + QLatin1Char('/') + entry.fileName();
        bool copied = false;
        if (entry.isSymLink())
            copied = QFile::link(entry.symLinkTarget(), target);
        else if (entry.isDir())
            copied = QDir().mkdir(target) && copyFolderContents(entry.filePath(), target, failures);
        else
            copied = QFile::copy(entry.filePath(), target);
        if (!copied)
            failures.append(entry.filePath());
    }
    return failures.isEmpty();
}

// Copies a file, or a folder whole, to a destination that must not exist yet.
std::optional<Error> copyItem(const QString& from, const QString& to)
{
    const QFileInfo source(from);
    if (!source.exists())
        return copyError(NSFileReadNoSuchFileError, QStringLiteral("\"%1\" couldn't be copied because there is no such file.").arg(from));
    if (FileManager::itemExistsAtPath(to))
        return copyError(NSFileWriteFileExistsError,
                         QStringLiteral("\"%1\" couldn't be copied to \"%2\" because an item with the same name already exists.")
                             .arg(source.fileName(), QFileInfo(to).absolutePath()));
    if (source.isDir()) {
        const QString canonical = source.canonicalFilePath();
        if (to.startsWith(canonical + QLatin1Char('/')))
            return copyError(NSFileWriteUnknownError, QStringLiteral("\"%1\" couldn't be copied into itself.").arg(from));
        QStringList failures;
        if (!QDir().mkdir(to) || !copyFolderContents(from, to, failures))
            return copyError(NSFileWriteUnknownError, QStringLiteral("\"%1\" couldn't be copied whole; failed: %2").arg(from, failures.join(QStringLiteral(", "))));
        return std::nullopt;
    }
    if (!QFile::copy(from, to))
        return copyError(NSFileWriteUnknownError, QStringLiteral("\"%1\" couldn't be copied to \"%2\".").arg(from, to));
    return std::nullopt;
}

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
        logLine(QStringLiteral("Parcly Share: nothing was shared"));
        showProblem(QStringLiteral("Nothing was shared."));
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
            showProblem(QStringLiteral("What you shared is not a file, so Parcly Lite cannot upload it."));
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
        attachment.loadItemForTypeIdentifier(QString::fromLatin1(kUTTypeFileURL), [this, collection, expected](const QVariant& item, const std::optional<Error>& error) {
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
                showProblem(QStringLiteral("None of the shared items is a file, so there is nothing to upload."));
                return;
            }
            const QUrl archive = Archiver::zipFiles(paths);
            if (archive.isEmpty()) {
                showProblem(QStringLiteral("The shared items could not be put into one archive."));
                return;
            }
            shareFileURL(archive);
        });
    }
}

void ShareViewController::shareFileURL(const QUrl& url)
{
    startLoading();

    const QString directory = temporaryDirectory();
    if (directory.isEmpty()) {
        // Without the folder the copy would land wherever the program was started.
        showProblem(QStringLiteral("Parcly Share has no safe folder to hand the file over in."));
        return;
    }
    const QString source = url.toLocalFile();
    const QString destination = directory + FileManager::lastPathComponent(source);

    // The archive is already where it is handed off from.
    if (QFileInfo(source).absoluteFilePath() != QFileInfo(destination).absoluteFilePath()) {
        std::optional<Error> error = copyItem(source, destination);
        if (error && error->code == NSFileWriteFileExistsError) {
            // The same item shared again: the newer copy replaces the older one.
            logLine(QStringLiteral("Parcly Share: Copy File URL: %1").arg(describe(*error)));
            if (!FileManager::removeItemAtPath(destination))
                logLine(QStringLiteral("Parcly Share: could not remove the earlier copy at %1").arg(destination));
            error = copyItem(source, destination);
        }
        if (error)
            logLine(QStringLiteral("Parcly Share: Copy File URL: %1").arg(describe(*error)));
        if (!FileManager::itemExistsAtPath(destination)) {
            // Handing off a file that is not there would leave the user with nothing and no word.
            showProblem(QStringLiteral("\"%1\" could not be copied for Parcly Lite.").arg(FileManager::lastPathComponent(source)));
            return;
        }
    }

    const QString fileURL = QUrl::fromLocalFile(destination).toString(QUrl::FullyEncoded);
    const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(fileURL, kURLQueryAllowed));
    const QUrl handOff(QStringLiteral("parcly-lite://?handleURL=%1").arg(encoded), QUrl::StrictMode);
    // A request the user has already cancelled hands nothing off.
    if (m_extensionContext->hasEnded()) {
        logLine(QStringLiteral("Parcly Share: the request has ended; %1 is not handed off").arg(destination));
        return;
    }
    logLine(QStringLiteral("Open URL 2: %1").arg(handOff.toString(QUrl::FullyEncoded)));
    Workspace::sharedWorkspace().openURL(handOff);

    m_extensionContext->completeRequestReturningItems(m_extensionContext->inputItems());
}

void ShareViewController::send()
{
    m_extensionContext->completeRequestReturningItems({ExtensionItem()});
}

void ShareViewController::cancel()
{
    m_extensionContext->cancelRequestWithError(Error{QString::fromLatin1(NSCocoaErrorDomain), NSUserCancelledError, QString()});
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
