#include "share-extension/ExtensionContext.h"

#include "platform/Log.h"

#include <QFileInfo>
#include <QThreadPool>
#include <QUrl>

namespace {

// Loads complete on threads of their own, several at a time, as the host delivers them. Never
// destroyed: the program waits for it (waitForPendingLoads) before it ends.
QThreadPool& loadPool()
{
    static QThreadPool* pool = [] {
        auto* made = new QThreadPool;
        made->setMaxThreadCount(qMax(8, QThread::idealThreadCount() * 2));
        return made;
    }();
    return *pool;
}

// The local path an argument names: a path as it stands, or a "file:" URL on this machine.
QString localPathOf(const QString& argument)
{
    if (argument.isEmpty())
        return QString();
    // A path as it stands, even one that reads like a URL ("notes:v2.txt").
    if (argument.startsWith(QLatin1Char('/')) || QFileInfo::exists(argument))
        return QFileInfo(argument).absoluteFilePath();
    // Tolerant: a URL typed by hand may hold a plain space.
    const QUrl url(argument, QUrl::TolerantMode);
    if (url.isValid() && url.scheme().size() > 1) {
        const bool thisMachine = url.host().isEmpty() || url.host() == QLatin1String("localhost");
        return url.isLocalFile() && thisMachine && !url.path().isEmpty() ? QFileInfo(url.toLocalFile()).absoluteFilePath() : QString();
    }
    return QFileInfo(argument).absoluteFilePath();
}

} // namespace

ItemProvider::ItemProvider(const QString& argument)
    : m_argument(argument)
    , m_localPath(localPathOf(argument))
{
}

bool ItemProvider::hasItemConformingToTypeIdentifier(const QString& type) const
{
    return type == QLatin1String(kUTTypeFileURL) && !m_localPath.isEmpty();
}

void ItemProvider::loadItemForTypeIdentifier(const QString& type, CompletionHandler completion) const
{
    QVariant item;
    std::optional<Error> error;
    if (!hasItemConformingToTypeIdentifier(type)) {
        error = Error{QString::fromLatin1(NSItemProviderErrorDomain), NSItemProviderItemUnavailableError,
                      QStringLiteral("Cannot load representation of type %1 for \"%2\"").arg(type, m_argument)};
    } else if (!QFileInfo::exists(m_localPath)) {
        error = Error{QString::fromLatin1(NSCocoaErrorDomain), NSFileReadNoSuchFileError,
                      QStringLiteral("The file \"%1\" couldn't be opened because there is no such file.").arg(m_localPath)};
    } else {
        item = QUrl::fromLocalFile(m_localPath);
    }
    loadPool().start([completion = std::move(completion), item, error] { completion(item, error); });
}

bool ItemProvider::waitForPendingLoads(int timeoutMs)
{
    return loadPool().waitForDone(timeoutMs);
}

ExtensionContext::ExtensionContext(QList<ExtensionItem> inputItems, QObject* parent)
    : QObject(parent)
    , m_inputItems(std::move(inputItems))
{
}

bool ExtensionContext::end(const QString& how)
{
    if (m_ended) {
        logLine(QStringLiteral("Parcly Share: the request has already ended; not %1").arg(how));
        return false;
    }
    m_ended = true;
    return true;
}

void ExtensionContext::completeRequestReturningItems(const QList<ExtensionItem>& items)
{
    {
        const QMutexLocker lock(&m_mutex);
        if (!end(QStringLiteral("completing it")))
            return;
        m_returnedItems = items;
    }
    emit requestCompleted();
}

void ExtensionContext::cancelRequestWithError(const Error& error)
{
    {
        const QMutexLocker lock(&m_mutex);
        if (!end(QStringLiteral("cancelling it")))
            return;
        m_cancellationError = error;
    }
    emit requestCancelled(error);
}

bool ExtensionContext::hasEnded() const
{
    const QMutexLocker lock(&m_mutex);
    return m_ended;
}

QList<ExtensionItem> ExtensionContext::returnedItems() const
{
    const QMutexLocker lock(&m_mutex);
    return m_returnedItems;
}

std::optional<Error> ExtensionContext::cancellationError() const
{
    const QMutexLocker lock(&m_mutex);
    return m_cancellationError;
}
