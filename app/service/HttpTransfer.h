#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>

// Where an Error of the HTTP layer comes from.
namespace HttpErrorDomain {
inline const QString kStatus = QStringLiteral("HTTPStatus"); // code: the HTTP status
inline const QString kResponse = QStringLiteral("HTTPResponse"); // code: the HTTP status of an unreadable body
inline const QString kTransport = QStringLiteral("HTTPTransport"); // code: the libcurl error
inline const QString kFile = QStringLiteral("HTTPBodyFile"); // code: errno
inline const QString kConfiguration = QStringLiteral("HTTPConfiguration");
} // namespace HttpErrorDomain

struct HttpRequest {
    QByteArray method = "GET";
    QString url;
    // Sent in this order.
    QList<std::pair<QByteArray, QByteArray>> headers;
    // The body, unless bodyFile names a file to stream from disk instead. A file goes with the
    // length it states, or chunked as read when its length cannot be trusted (it states none, or
    // lives on a pseudo file system such as /proc); one whose length changes while it is sent
    // fails rather than pass for complete.
    QByteArray body;
    QString bodyFile;
    // The whole exchange must end within this time; zero: no limit.
    std::chrono::milliseconds deadline{0};
    // The exchange has stalled, and fails, when it moves fewer bytes a second than this for
    // slowPeriod; zero: no limit.
    long minimumBytesPerSecond = 1;
    std::chrono::seconds slowPeriod{120};
    // False for answers that are not the service's JSON (the update feed): the body is kept as
    // it came, in HttpResult::data.
    bool expectsJson = true;
};

struct HttpResult {
    // Whether a final HTTP response (status line and header fields) arrived.
    bool responded = false;
    int status = 0;
    // Header field names are lower-case, as HTTP/2 sends them; repeated fields are joined by ", ".
    QVariantMap headerFields;
    // The parsed JSON body; a null QVariant for an empty body. After a status outside 200 to 299,
    // the service's error object ({"code", "message"}) when the body is one, else null.
    QVariant body;
    // The body as it came, when the request did not expect JSON.
    QByteArray data;
    // Set on any failure: transport, status outside 200 to 299, a body that is not JSON.
    std::optional<Error> error;
    // Bytes of the request body that went out.
    qint64 bytesSent = 0;

    // The header fields, or a null QVariant when no response arrived.
    QVariant headerFieldsOrNull() const { return responded ? QVariant(headerFields) : QVariant(); }
    // One header field, or a null QVariant when absent.
    QVariant headerField(const QString& lowerCaseName) const { return headerFields.value(lowerCaseName); }
};

// One exchange with the service. Each call gets its own libcurl handle on its own worker thread;
// nothing is shared between calls.
namespace HttpTransfer {

using Progress = std::function<void(double fraction)>;
using Finished = std::function<void(const HttpResult&)>;

// Starts the request and returns. `progress` (may be empty) runs on the worker thread for the
// request body; `finished` runs once, on the main thread.
void start(HttpRequest request, Progress progress, Finished finished);

// The exchange itself, synchronously on the calling thread.
HttpResult perform(const HttpRequest& request, const Progress& progress);

} // namespace HttpTransfer
