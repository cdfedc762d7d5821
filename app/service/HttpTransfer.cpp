#include "app/service/HttpTransfer.h"

#include "app/service/ServiceConfiguration.h"
#include "app/service/UploadProgress.h"
#include "platform/MainQueue.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Large reads keep a gigabyte upload at curl's own speed; this is libcurl's maximum.
constexpr long kUploadBufferSize = 2 * 1024 * 1024;
// Answers of the service are small JSON documents; anything bigger is not one of them.
constexpr qsizetype kMaxResponseBody = 16 * 1024 * 1024;
constexpr long kConnectTimeoutSeconds = 30;
// A transfer that moves no byte for this long has stalled; fail it rather than hang.
constexpr long kStallSeconds = 120;

void initializeCurlOnce()
{
    static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)code;
}

// Loopback is never reached through a proxy: a service on this machine is talked to directly, and
// the user's Basic credentials never go to whatever the environment names as proxy. Other hosts
// follow the environment as curl does; setting this list replaces curl's reading of no_proxy,
// so the environment's list is carried over.
QByteArray hostsWithoutProxy()
{
    QByteArray fromEnvironment = qgetenv("no_proxy");
    if (fromEnvironment.isEmpty())
        fromEnvironment = qgetenv("NO_PROXY");
    // curl reads "*" as "no proxy at all" only when it stands alone.
    if (fromEnvironment.trimmed() == "*")
        return "*";
    QByteArray hosts = "127.0.0.0/8,::1,localhost";
    if (!fromEnvironment.trimmed().isEmpty())
        hosts += ',' + fromEnvironment;
    return hosts;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

struct FileBody {
    int fd = -1;
    qint64 remaining = 0;
    int readError = 0;
    bool shrank = false;

    ~FileBody()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct Exchange {
    HttpResult result;
    QByteArray reason;
    QByteArray responseBody;
    bool bodyTooLarge = false;
    std::unique_ptr<UploadProgress> progress;
};

size_t readFileBody(char* buffer, size_t size, size_t count, void* userData)
{
    auto* body = static_cast<FileBody*>(userData);
    const size_t wanted = std::min<qint64>(qint64(size * count), body->remaining);
    if (wanted == 0)
        return 0;
    ssize_t got;
    do {
        got = ::read(body->fd, buffer, wanted);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        body->readError = errno;
        return CURL_READFUNC_ABORT;
    }
    if (got == 0) {
        // The file shrank while being sent: a short body would pass for a complete one.
        body->shrank = true;
        return CURL_READFUNC_ABORT;
    }
    body->remaining -= got;
    return size_t(got);
}

size_t collectHeader(char* buffer, size_t size, size_t count, void* userData)
{
    auto* exchange = static_cast<Exchange*>(userData);
    const size_t length = size * count;
    const QByteArray line = QByteArray(buffer, qsizetype(length)).trimmed();
    if (line.startsWith("HTTP/")) {
        // A new status line: an interim 100 Continue or a redirect is over, start afresh.
        const QList<QByteArray> parts = line.split(' ');
        exchange->result.status = parts.size() > 1 ? parts.at(1).toInt() : 0;
        exchange->reason = parts.size() > 2 ? line.mid(parts.at(0).size() + parts.at(1).size() + 2) : QByteArray();
        exchange->result.headerFields.clear();
        exchange->result.responded = false;
    } else if (line.isEmpty()) {
        if (exchange->result.status >= 200)
            exchange->result.responded = true;
    } else if (const qsizetype colon = line.indexOf(':'); colon > 0) {
        const QString name = QString::fromLatin1(line.left(colon).trimmed()).toLower();
        const QString value = QString::fromUtf8(line.mid(colon + 1).trimmed());
        QVariantMap& fields = exchange->result.headerFields;
        fields.insert(name, fields.contains(name) ? fields.value(name).toString() + QStringLiteral(", ") + value : value);
    }
    return length;
}

size_t collectBody(char* buffer, size_t size, size_t count, void* userData)
{
    auto* exchange = static_cast<Exchange*>(userData);
    const size_t length = size * count;
    if (exchange->responseBody.size() + qsizetype(length) > kMaxResponseBody) {
        exchange->bodyTooLarge = true;
        return 0;
    }
    exchange->responseBody.append(buffer, qsizetype(length));
    return length;
}

int reportProgress(void* userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
{
    auto* exchange = static_cast<Exchange*>(userData);
    if (exchange->progress)
        exchange->progress->bytesSent(qint64(uploaded));
    return 0;
}

Error makeError(const QString& domain, int code, const QString& description)
{
    return Error{domain, code, description};
}

// Decides success the way the service's contract does: a 2xx status with a JSON body (or none).
void judgeResponse(Exchange& exchange, bool expectsJson)
{
    HttpResult& result = exchange.result;
    if (result.status < 200 || result.status > 299) {
        const QString reason = QString::fromUtf8(exchange.reason);
        result.error = makeError(HttpErrorDomain::kStatus, result.status,
                                 QStringLiteral("The service answered with status %1%2")
                                     .arg(result.status)
                                     .arg(reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason)));
        return;
    }
    if (!expectsJson) {
        result.data = std::move(exchange.responseBody);
        return;
    }
    if (exchange.responseBody.trimmed().isEmpty())
        return;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(exchange.responseBody, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        result.error = makeError(HttpErrorDomain::kResponse, result.status,
                                 QStringLiteral("The service's answer (status %1) is not JSON: %2")
                                     .arg(result.status)
                                     .arg(parseError.errorString()));
        return;
    }
    result.body = document.toVariant();
}

} // namespace

HttpResult HttpTransfer::perform(const HttpRequest& request, const Progress& progress)
{
    Exchange exchange;
    HttpResult& result = exchange.result;

    if (const QString refusal = ServiceConfiguration::refusalReason(request.url); !refusal.isNull()) {
        result.error = makeError(HttpErrorDomain::kConfiguration, 0, refusal);
        return result;
    }

    FileBody file;
    qint64 bodySize = request.body.size();
    if (!request.bodyFile.isEmpty()) {
        file.fd = ::open(QFile::encodeName(request.bodyFile).constData(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        int problem = 0;
        if (file.fd < 0 || ::fstat(file.fd, &info) != 0)
            problem = errno;
        else if (!S_ISREG(info.st_mode))
            problem = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        if (problem != 0) {
            result.error = makeError(HttpErrorDomain::kFile, problem,
                                     QStringLiteral("Cannot read %1: %2").arg(request.bodyFile, errnoText(problem)));
            return result;
        }
        ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        bodySize = info.st_size;
        file.remaining = bodySize;
    }
    if (progress)
        exchange.progress = std::make_unique<UploadProgress>(bodySize, progress);

    initializeCurlOnce();
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    curl_slist* headerList = nullptr;
    for (const auto& [name, value] : request.headers)
        headerList = curl_slist_append(headerList, (name + ": " + value).constData());
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(headerList, &curl_slist_free_all);

    char errorBuffer[CURL_ERROR_SIZE] = {};
    const QByteArray url = request.url.toUtf8();
    const QByteArray noProxy = hostsWithoutProxy();
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.constData());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_NOPROXY, noProxy.constData());
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &exchange);
    if (request.method == "GET") {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        if (request.method != "POST")
            curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.constData());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(bodySize));
        if (file.fd >= 0) {
            curl_easy_setopt(handle, CURLOPT_READFUNCTION, readFileBody);
            curl_easy_setopt(handle, CURLOPT_READDATA, &file);
            curl_easy_setopt(handle, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
        } else {
            curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.constData());
        }
    }
    if (exchange.progress) {
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, reportProgress);
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &exchange);
    }

    const CURLcode code = curl_easy_perform(handle);
    curl_off_t uploaded = 0;
    curl_easy_getinfo(handle, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    result.bytesSent = qint64(uploaded);

    if (code != CURLE_OK) {
        QString detail = QString::fromUtf8(errorBuffer);
        if (file.readError)
            detail = QStringLiteral("cannot read %1: %2").arg(request.bodyFile, errnoText(file.readError));
        else if (file.shrank)
            detail = QStringLiteral("%1 became shorter while it was being sent").arg(request.bodyFile);
        else if (exchange.bodyTooLarge)
            detail = QStringLiteral("the answer is larger than %1 bytes").arg(kMaxResponseBody);
        if (detail.isEmpty())
            detail = QString::fromUtf8(curl_easy_strerror(code));
        result.error = makeError(HttpErrorDomain::kTransport, int(code),
                                 QStringLiteral("The request to %1 failed: %2").arg(request.url, detail));
        // Header fields that did arrive stay with the result: they may say why.
        return result;
    }
    if (exchange.progress)
        exchange.progress->finish(result.bytesSent);
    judgeResponse(exchange, request.expectsJson);
    return result;
}

void HttpTransfer::start(HttpRequest request, Progress progress, Finished finished)
{
    initializeCurlOnce();
    std::thread([request = std::move(request), progress = std::move(progress), finished = std::move(finished)]() {
        HttpResult result = perform(request, progress);
        dispatchToMainQueue([finished, result = std::move(result)]() { finished(result); });
    }).detach();
}
