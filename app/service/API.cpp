#include "app/service/API.h"

#include "app/service/DropRecord.h"
#include "app/service/HttpTransfer.h"
#include "app/service/ServiceConfiguration.h"
#include "app/service/User.h"
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

} // namespace

void API::shareFile(const QUrl& url, Progress progress, Completion complete) const
{
    shareFile(url, std::move(progress), withoutReason(std::move(complete)));
}

void API::shareFile(const QUrl& url, Progress progress, ExplainedCompletion complete) const
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
    HttpRequest request = dropRequest(endpointForPath(QStringLiteral("/files")), mimeTypeForExtension(extensionOfName(name)), name, user);
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
