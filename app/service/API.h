#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <chrono>
#include <functional>

class User;

// The app's one client of the sharing service. It holds no state: every operation makes a fresh
// User from the defaults store and its own HTTP transfer, starts it and returns at once.
//
// Completions run exactly once, on the main thread, except the "User is not initialized" refusal
// (error 407), which runs on the calling thread before the operation returns. Upload progress runs
// on the transfer's worker thread. When the service says it no longer knows the user, the
// kUnknownUserAPIErrorNotification observers have run before the failure completion is called.
class API {
public:
    using Completion = std::function<void(bool success, const QVariant& result)>;
    using Progress = std::function<void(double fraction)>;
    // A completion that is also told why an operation failed: `reason` is the Error behind the
    // failure, its localizedDescription a sentence for people (what the log line says too); an
    // empty Error on success. For callers that show the reason (the command line), so that none
    // has to read it back out of the log.
    using ExplainedCompletion = std::function<void(bool success, const QVariant& result, const Error& reason)>;

    static API& instance();

    // How long the service may take. An account request (registration, the account queries)
    // fails when it has not ended within accountDeadline. An upload may rightly take hours, so it
    // fails only when it moves fewer than uploadMinimumBytesPerSecond for uploadSlowPeriod.
    struct Limits {
        std::chrono::milliseconds accountDeadline{60000};
        long uploadMinimumBytesPerSecond = 1024;
        std::chrono::seconds uploadSlowPeriod{60};
    };
    static Limits limits();
    // For tests, which cannot wait a minute for each case; applies to requests started after it.
    static void setLimits(const Limits& limits);

    // The service's API base URL immediately followed by `path`; nothing inserted or escaped.
    QString endpointForPath(const QString& path) const;
    // Posts kUnknownUserAPIErrorNotification when the header fields carry the unknown-user code.
    void handleErrorResponse(const QVariant& headerFields) const;

    // Registers the user's e-mail and password. Success: the "x-parcly-authorization" value as
    // received (null when absent). Failure: the Error, logged.
    void registerUser(const User& user, Completion complete) const;

    // Uploads a file on disk, streamed, as a drop. Success: the drop record (QVariantMap), whose
    // "shortlink" is an http or https URL; any other 2xx answer is a failure. Failure: the
    // response's header fields, null when no response arrived or the URL names no local file, or
    // the 407 Error; an ExplainedCompletion also gets the Error that says why.
    void shareFile(const QUrl& url, Progress progress, Completion complete) const;
    void shareFile(const QUrl& url, Progress progress, ExplainedCompletion complete) const;
    // The same, for a drop that expires `expiresIn` after the upload (zero: never) whatever the
    // stored choice (kDropExpiryKey) that the other uploads go with.
    void shareFile(const QUrl& url, std::chrono::seconds expiresIn, Progress progress, ExplainedCompletion complete) const;
    // Uploads bytes in memory as a drop named `name`. Results as for shareFile.
    void shareData(const QByteArray& data, const QString& name, Progress progress, Completion complete) const;
    void shareData(const QByteArray& data, const QString& name, Progress progress, ExplainedCompletion complete) const;

    // "name.extension", or with a timestamp "name on yyyy-MM-dd at HH:mm:ss.extension" in local time.
    // Safe to call from several threads.
    QString nameForDrop(const QString& name, const QString& extension, bool useCurrentTimestamp) const;
    // The MIME type for the URL's file-name extension.
    QString MIMETypeFromURL(const QUrl& url) const;

    // Success: the account's "activeDrops" (null when absent). Failure: the Error, logged; an
    // answer that is not a JSON object is one.
    void countDropsComplete(Completion complete) const;
    // Success: a fresh token without "Bearer " (null when absent). Failure: as for the count.
    void refreshAccountComplete(Completion complete) const;

    // Success: the account's newest drops, newest first, at most `limit` (1 to 100), as a
    // QList<DropRecord::Drop>; records that are no drop with a web link are left out. Failure: the
    // Error, logged, in the service's own words where it gave some.
    void listDrops(int limit, Completion complete) const;
    // Deletes one of the account's drops. Success: null. Failure: as for the list; an unknown code
    // and another account's drop both fail with status 404 ("No such drop").
    void deleteDrop(const QString& code, Completion complete) const;

    // The defaults key of how long after its upload a new drop is deleted, in seconds; absent or
    // 0: never. Every upload goes with it but for the one that names its own expiry.
    static inline const QString kDropExpiryKey = QStringLiteral("parcly-drop-expiry");
    static std::chrono::seconds storedDropExpiry();

    // The error for an operation that needs credentials when none are stored.
    static constexpr int kUserNotInitializedCode = 407;

private:
    API() = default;
};
