#pragma once

#include "platform/Error.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <optional>

// The one representation the extension asks of what it is given: a file URL.
inline constexpr char kUTTypeFileURL[] = "public.file-url";

// The error domains and codes that the extension and its host speak.
inline constexpr char NSCocoaErrorDomain[] = "NSCocoaErrorDomain";
inline constexpr char NSItemProviderErrorDomain[] = "NSItemProviderErrorDomain";
inline constexpr int NSFileReadNoSuchFileError = 260;
inline constexpr int NSFileWriteUnknownError = 512;
inline constexpr int NSFileWriteFileExistsError = 516;
inline constexpr int NSUserCancelledError = 3072;
inline constexpr int NSItemProviderItemUnavailableError = -1000;

// One shared thing, as the program was given it: a local path or a "file:" URL (what a file
// manager passes), or anything else, which no file-URL load can deliver.
class ItemProvider {
public:
    using CompletionHandler = std::function<void(const QVariant& item, const std::optional<Error>& error)>;

    ItemProvider() = default;
    // A relative path is taken from the current directory, now.
    explicit ItemProvider(const QString& argument);

    bool hasItemConformingToTypeIdentifier(const QString& type) const;

    // Delivers the item for the type (a file URL, as a QUrl) to the completion, on a worker thread
    // and never before this returns. An item that is not an existing local file fails with an error.
    void loadItemForTypeIdentifier(const QString& type, CompletionHandler completion) const;

    // Blocks until every load started so far has completed (or for at most timeoutMs, when
    // given); the program waits before it ends. False when some were still running.
    static bool waitForPendingLoads(int timeoutMs = -1);

    QString argument() const { return m_argument; }
    friend bool operator==(const ItemProvider&, const ItemProvider&) = default;

private:
    QString m_argument;
    QString m_localPath; // empty when the argument names no local file
};

// One thing handed to the extension, with its attachments.
class ExtensionItem {
public:
    ExtensionItem() = default;
    explicit ExtensionItem(QList<ItemProvider> attachments)
        : m_attachments(std::move(attachments))
    {
    }
    QList<ItemProvider> attachments() const { return m_attachments; }
    friend bool operator==(const ExtensionItem&, const ExtensionItem&) = default;

private:
    QList<ItemProvider> m_attachments;
};

// The request the extension serves. It ends once, completed or cancelled, from any thread; the
// signals tell the sheet's owner, which lives on the main thread.
class ExtensionContext : public QObject {
    Q_OBJECT
public:
    explicit ExtensionContext(QList<ExtensionItem> inputItems, QObject* parent = nullptr);

    QList<ExtensionItem> inputItems() const { return m_inputItems; }

    // Ends the request successfully with the items to return. Ignored (and logged) once ended.
    void completeRequestReturningItems(const QList<ExtensionItem>& items);
    // Ends the request with the error. Ignored (and logged) once ended.
    void cancelRequestWithError(const Error& error);

    bool hasEnded() const;
    QList<ExtensionItem> returnedItems() const;
    std::optional<Error> cancellationError() const;

signals:
    void requestCompleted();
    void requestCancelled(const Error& error);

private:
    bool end(const QString& how);

    const QList<ExtensionItem> m_inputItems;
    mutable QMutex m_mutex;
    bool m_ended = false;
    QList<ExtensionItem> m_returnedItems;
    std::optional<Error> m_cancellationError;
};
