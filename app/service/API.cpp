#include "app/service/API.h"

#include "app/service/DropRecord.h"
#include "app/service/HttpTransfer.h"
#include "app/service/ServiceConfiguration.h"
#include "app/service/User.h"
#include "platform/Defaults.h"
#include "platform/Error.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/MimeTypes.h"
#include "platform/NotificationCenter.h"
#include "platform/Screen.h"
#include "shared/SharedConstants.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <algorithm>
#include <charconv>
#include <mutex>

namespace {

const QString kAuthorizationHeader = QStringLiteral("x-parcly-authorization");
const QString kErrorCodeHeader = QStringLiteral("parcly-errorcode");
const QString kUnknownUserCode = QStringLiteral("Authentication.UnknownUser");
const QString kBearerPrefix = QStringLiteral("Bearer ");

std::mutex limitsMutex;
API::Limits currentLimits;

HttpRequest withAccountDeadline(HttpRequest request)
{
    request.deadline = API::limits().accountDeadline;
    return request;
}

Error userNotInitialized()
{
    return Error{QString::fromLatin1(kMainAppBundleID), API::kUserNotInitializedCode, QStringLiteral("User is not initialized")};
}

QByteArray basicAuthorization(const User& user)
{
    return "Basic " + (user.email() + QLatin1Char(':') + user.password()).toUtf8().toBase64();
}

// The text after the last dot of a file name; empty when it has none.
QString extensionOfName(const QString& fileName)
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : fileName.mid(dot + 1);
}

HttpRequest dropRequest(const QString& url, const QString& contentType, const QString& fileName, const User& user)
{
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers = {
        {"Content-Type", contentType.toUtf8()},
        {"x-parcly-filename", fileName.toUtf8().toBase64()},
        {"Authorization", basicAuthorization(user)},
    };
    const API::Limits limits = API::limits();
    request.minimumBytesPerSecond = limits.uploadMinimumBytesPerSecond;
    request.slowPeriod = limits.uploadSlowPeriod;
    return request;
}

// The upload path with the drop's expiry, when it has one.
QString withExpiry(const QString& path, std::chrono::seconds expiresIn)
{
    if (expiresIn.count() <= 0)
        return path;
    return path + (path.contains(QLatin1Char('?')) ? QLatin1Char('&') : QLatin1Char('?')) + QStringLiteral("expires_in=")
        + QString::number(expiresIn.count());
}

HttpRequest accountRequest(const QString& url, const User& user)
{
    HttpRequest request;
    request.url = url;
    request.headers = {
        {"Content-Type", "application/json"},
        {"Authorization", basicAuthorization(user)},
    };
    return withAccountDeadline(std::move(request));
}

} // namespace

API& API::instance()
{
    static API api;
    return api;
}

API::Limits API::limits()
{
    std::lock_guard lock(limitsMutex);
    return currentLimits;
}

void API::setLimits(const Limits& limits)
{
    std::lock_guard lock(limitsMutex);
    currentLimits = limits;
}

QString API::endpointForPath(const QString& path) const
{
    return ServiceConfiguration::apiBaseURL() + path;
}

void API::handleErrorResponse(const QVariant& headerFields) const
{
    if (headerFields.toMap().value(kErrorCodeHeader).toString() == kUnknownUserCode)
        NotificationCenter::defaultCenter().post(QString::fromLatin1(kUnknownUserAPIErrorNotification));
}

void API::registerUser(const User& user, Completion complete) const
{
    HttpRequest request;
    request.method = "POST";
    request.url = endpointForPath(QStringLiteral("/account"));
    request.headers = {{"Content-Type", "application/json"}};
    request.body = QJsonDocument(QJsonObject{{QStringLiteral("email"), user.email()}, {QStringLiteral("password"), user.password()}})
                       .toJson(QJsonDocument::Compact);

    HttpTransfer::start(withAccountDeadline(std::move(request)), {}, [complete = std::move(complete)](const HttpResult& result) {
        if (result.error) {
            logLine(QStringLiteral("Error: %1").arg(result.error->localizedDescription));
            complete(false, QVariant::fromValue(*result.error));
            return;
        }
        complete(true, result.headerField(kAuthorizationHeader));
    });
}

namespace {

// Answers an operation that needs credentials when none are stored: synchronously, nothing sent.
bool refuseWithoutCredentials(const User& user, const API::Completion& complete)
{
    if (!user.userISEmpty())
        return false;
    complete(false, QVariant::fromValue(userNotInitialized()));
    return true;
}

bool refuseWithoutCredentials(const User& user, const API::ExplainedCompletion& complete)
{
    if (!user.userISEmpty())
        return false;
    const Error refusal = userNotInitialized();
    complete(false, QVariant::fromValue(refusal), refusal);
    return true;
}

// The plain completion, for callers that only need the result.
API::ExplainedCompletion withoutReason(API::Completion complete)
{
    return [complete = std::move(complete)](bool success, const QVariant& result, const Error&) { complete(success, result); };
}

// Uploads fail with the response's header fields (or null), after the unknown-user signal; the
// reason goes beside them.
HttpTransfer::Finished finishUpload(const API& api, API::ExplainedCompletion complete)
{
    return [&api, complete = std::move(complete)](const HttpResult& result) {
        if (result.error) {
            // The user sees only the error icon; the log keeps the reason.
            logLine(QStringLiteral("Upload failed: %1").arg(result.error->localizedDescription));
            api.handleErrorResponse(result.headerFieldsOrNull());
            complete(false, result.headerFieldsOrNull(), *result.error);
            return;
        }
        // A 2xx that is no drop (an empty body, a captive portal's JSON, a link that is not a web
        // address) has created nothing the user could share.
        if (!DropRecord::isDrop(result.body)) {
            logLine(QStringLiteral("Upload failed: the service's answer (status %1) is not a drop with a web link").arg(result.status));
            complete(false, result.headerFieldsOrNull(),
                     Error{HttpErrorDomain::kResponse, result.status,
                           QStringLiteral("The service's answer (status %1) is not a drop with a web link").arg(result.status)});
            return;
        }
        complete(true, result.body, Error{});
    };
}

// Account queries fail with the logged Error, after the unknown-user signal.
HttpTransfer::Finished finishAccountQuery(const API& api, API::Completion complete,
                                          std::function<QVariant(const HttpResult&)> successResult)
{
    return [&api, complete = std::move(complete), successResult = std::move(successResult)](const HttpResult& result) {
        if (result.error) {
            logLine(QStringLiteral("Error: %1").arg(result.error->localizedDescription));
            api.handleErrorResponse(result.headerFieldsOrNull());
            complete(false, QVariant::fromValue(*result.error));
            return;
        }
        if (result.body.typeId() != QMetaType::QVariantMap) {
            const Error notAnAccount{HttpErrorDomain::kResponse, result.status,
                                     QStringLiteral("The service's answer (status %1) is not a JSON object").arg(result.status)};
            logLine(QStringLiteral("Error: %1").arg(notAnAccount.localizedDescription));
            complete(false, QVariant::fromValue(notAnAccount));
            return;
        }
        complete(true, successResult(result));
    };
}

// The drop routes' failures in the service's own words ("No such drop") where it sent some,
// after the unknown-user signal.
HttpTransfer::Finished finishDropQuery(const API& api, API::Completion complete, std::function<void(const HttpResult&)> succeeded)
{
    return [&api, complete = std::move(complete), succeeded = std::move(succeeded)](const HttpResult& result) {
        if (result.error) {
            Error error = *result.error;
            const QString message = result.body.toMap().value(QStringLiteral("message")).toString();
            if (error.domain == HttpErrorDomain::kStatus && !message.isEmpty())
                error.localizedDescription = message;
            logLine(QStringLiteral("Error: %1").arg(error.localizedDescription));
            api.handleErrorResponse(result.headerFieldsOrNull());
            complete(false, QVariant::fromValue(error));
            return;
        }
        succeeded(result);
    };
}

// A list answer's drops; records that are no drop with a web link are left out, logged.
void completeWithDrops(const HttpResult& result, const API::Completion& complete)
{
    const QVariant drops = result.body.toMap().value(QStringLiteral("drops"));
    if (drops.typeId() != QMetaType::QVariantList) {
        const Error notAList{HttpErrorDomain::kResponse, result.status,
                             QStringLiteral("The service's answer (status %1) is not a list of drops").arg(result.status)};
        logLine(QStringLiteral("Error: %1").arg(notAList.localizedDescription));
        complete(false, QVariant::fromValue(notAList));
        return;
    }
    QList<DropRecord::Drop> list;
    for (const QVariant& record : drops.toList()) {
        if (const auto drop = DropRecord::dropFromRecord(record.toMap()))
            list.append(*drop);
        else
            logLine(QStringLiteral("Leaving out a listed drop without a code or web link"));
    }
    complete(true, QVariant::fromValue(list));
}

} // namespace

void API::shareFile(const QUrl& url, Progress progress, Completion complete) const
{
    shareFile(url, std::move(progress), withoutReason(std::move(complete)));
}

void API::shareFile(const QUrl& url, Progress progress, ExplainedCompletion complete) const
{
    shareFile(url, storedDropExpiry(), std::move(progress), std::move(complete));
}

void API::shareFile(const QUrl& url, std::chrono::seconds expiresIn, Progress progress, ExplainedCompletion complete) const
{
    const User user;
    if (refuseWithoutCredentials(user, complete))
        return;
    const QString filePath = url.isLocalFile() ? url.toLocalFile() : QString();
    if (filePath.isEmpty()) {
        // Nothing to send (an archive that was never made, a web address): fail as an unreadable
        // file would, through the completion, with no response.
        const Error notAFile{HttpErrorDomain::kFile, 0, QStringLiteral("\"%1\" is not a file").arg(url.toString())};
        logLine(QStringLiteral("Upload failed: %1").arg(notAFile.localizedDescription));
        dispatchToMainQueue([complete, notAFile] { complete(false, QVariant(), notAFile); });
        return;
    }
    QString path = QStringLiteral("/files");
    if (const double factor = Screen::backingScaleFactor(); factor > 1.0) {
        // As "%0.1f" formats it, 1.25 giving "1.2" (Qt's own formatting gives "1.3"), and with a
        // dot whatever the user's locale.
        char density[32];
        const auto written = std::to_chars(density, density + sizeof density, factor, std::chars_format::fixed, 1);
        path += QStringLiteral("?pixel_density=") + QLatin1String(density, written.ptr - density);
    }
    path = withExpiry(path, expiresIn);

    const QString fileName = QFileInfo(filePath).fileName();
    HttpRequest request = dropRequest(endpointForPath(path), MIMETypeFromURL(url), fileName, user);
    request.bodyFile = filePath;
    HttpTransfer::start(std::move(request), std::move(progress), finishUpload(*this, std::move(complete)));
}

void API::shareData(const QByteArray& data, const QString& name, Progress progress, Completion complete) const
{
    shareData(data, name, std::move(progress), withoutReason(std::move(complete)));
}

void API::shareData(const QByteArray& data, const QString& name, Progress progress, ExplainedCompletion complete) const
{
    const User user;
    if (refuseWithoutCredentials(user, complete))
        return;
    HttpRequest request = dropRequest(endpointForPath(withExpiry(QStringLiteral("/files"), storedDropExpiry())),
                                      mimeTypeForExtension(extensionOfName(name)), name, user);
    request.body = data;
    HttpTransfer::start(std::move(request), std::move(progress), finishUpload(*this, std::move(complete)));
}

QString API::nameForDrop(const QString& name, const QString& extension, bool useCurrentTimestamp) const
{
    if (!useCurrentTimestamp)
        return QStringLiteral("%1.%2").arg(name, extension);
    // Made once, thread-safely; formatting with a const QLocale is safe from any thread.
    static const QLocale locale = QLocale::system();
    const QDateTime now = QDateTime::currentDateTime();
    return QStringLiteral("%1 on %2 at %3.%4")
        .arg(name, locale.toString(now, QStringLiteral("yyyy-MM-dd")), locale.toString(now, QStringLiteral("HH:mm:ss")), extension);
}

QString API::MIMETypeFromURL(const QUrl& url) const
{
    return mimeTypeForExtension(extensionOfName(QFileInfo(url.path()).fileName()));
}

void API::countDropsComplete(Completion complete) const
{
    const User user;
    if (refuseWithoutCredentials(user, complete))
        return;
    HttpTransfer::start(accountRequest(endpointForPath(QStringLiteral("/users/me")), user), {},
                        finishAccountQuery(*this, std::move(complete), [](const HttpResult& result) {
                            return result.body.toMap().value(QStringLiteral("activeDrops"));
                        }));
}

void API::refreshAccountComplete(Completion complete) const
{
    const User user;
    if (refuseWithoutCredentials(user, complete))
        return;
    HttpTransfer::start(accountRequest(endpointForPath(QStringLiteral("/users/me")), user), {},
                        finishAccountQuery(*this, std::move(complete), [](const HttpResult& result) {
                            QVariant token = result.headerField(kAuthorizationHeader);
                            if (token.isValid())
                                token = token.toString().remove(kBearerPrefix);
                            return token;
                        }));
}

void API::listDrops(int limit, Completion complete) const
{
    const User user;
    if (refuseWithoutCredentials(user, complete))
        return;
    const QString url = endpointForPath(QStringLiteral("/drops?limit=%1").arg(limit));
    HttpTransfer::start(accountRequest(url, user), {},
                        finishDropQuery(*this, complete, [complete](const HttpResult& result) { completeWithDrops(result, complete); }));
}

void API::deleteDrop(const QString& code, Completion complete) const
{
    const User user;
    if (refuseWithoutCredentials(user, complete))
        return;
    HttpRequest request
        = accountRequest(endpointForPath(QStringLiteral("/drops/") + QString::fromLatin1(QUrl::toPercentEncoding(code))), user);
    request.method = "DELETE";
    HttpTransfer::start(std::move(request), {},
                        finishDropQuery(*this, complete, [complete](const HttpResult&) { complete(true, QVariant()); }));
}

std::chrono::seconds API::storedDropExpiry()
{
    const qint64 seconds = Defaults::standard().value(kDropExpiryKey).toLongLong();
    return std::chrono::seconds(std::max<qint64>(0, seconds));
}
