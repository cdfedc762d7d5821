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
#include <limits>
#include <linux/magic.h>
#include <memory>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <thread>
#include <unistd.h>

namespace {

// Large reads keep a gigabyte upload at curl's own speed; this is libcurl's maximum.
constexpr long kUploadBufferSize = 2 * 1024 * 1024;
// Answers of the service are small JSON documents; anything bigger is not one of them.
constexpr qsizetype kMaxResponseBody = 16 * 1024 * 1024;
constexpr long kConnectTimeoutSeconds = 30;

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

// File systems whose files state a size that has nothing to do with what a read gives: /proc
// states 0 for a status page full of text, /sys states 4096 for a word.
bool isPseudoFileSystem(int fd)
{
    struct statfs info { };
    if (::fstatfs(fd, &info) != 0)
        return false;
    switch (info.f_type) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

QString secondsText(std::chrono::milliseconds duration)
{
    const QString number = QString::number(double(duration.count()) / 1000.0);
    return number == QLatin1String("1") ? QStringLiteral("1 second") : number + QStringLiteral(" seconds");
}

struct FileBody {
    int fd = -1;
    // With a trusted length: the bytes still to send. Otherwise the file is read to its end.
    bool lengthKnown = true;
    qint64 remaining = 0;
    int readError = 0;
    bool shrank = false;
    bool grew = false;

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
    const auto readSome = [body](char* into, size_t wanted) {
        ssize_t got;
        do {
            got = ::read(body->fd, into, wanted);
        } while (got < 0 && errno == EINTR);
        if (got < 0)
            body->readError = errno;
        return got;
    };
    const size_t wanted = std::min<qint64>(qint64(size * count), body->remaining);
    if (wanted == 0)
        return 0;
    const ssize_t got = readSome(buffer, wanted);
    if (got < 0)
        return CURL_READFUNC_ABORT;
    if (!body->lengthKnown)
        return size_t(got); // 0 ends the chunked body
    if (got == 0) {
        // The file shrank while being sent: a short body would pass for a complete one.
        body->shrank = true;
        return CURL_READFUNC_ABORT;
    }
    body->remaining -= got;
    if (body->remaining == 0) {
        // Everything the stated length promised has been read; a file that goes on has grown,
        // and its drop would silently lack the rest.
        char probe;
        const ssize_t more = readSome(&probe, 1);
        if (more != 0) {
            body->grew = more > 0;
            return CURL_READFUNC_ABORT;
        }
    }
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
        // The service's own error object, for callers that tell its cases apart.
        if (expectsJson) {
            const QJsonDocument document = QJsonDocument::fromJson(exchange.responseBody);
            if (document.isObject())
                result.body = document.toVariant();
        }
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
        result.error = makeError(
            HttpErrorDomain::kResponse, result.status,
            QStringLiteral("The service's answer (status %1) is not JSON: %2").arg(result.status).arg(parseError.errorString()));
        return;
    }
    result.body = document.toVariant();
}

// Which of the request's limits ended it, in words; curl's own text says the same for all three.
QString timeoutDetail(CURL* handle, const HttpRequest& request, std::chrono::milliseconds elapsed)
{
    curl_off_t connectMicroseconds = 0;
    curl_easy_getinfo(handle, CURLINFO_CONNECT_TIME_T, &connectMicroseconds);
    // curl keeps its own clock and may give up a little before ours reads the limit. The stall
    // rule cannot end a transfer before its whole period has passed, so where both could have
    // ended it, the shorter one did.
    constexpr std::chrono::milliseconds slack(250);
    const bool deadlinePassed = request.deadline.count() > 0 && elapsed + slack >= request.deadline;
    const bool stallPossible = request.minimumBytesPerSecond > 0 && request.slowPeriod.count() > 0 && elapsed + slack >= request.slowPeriod;
    if (deadlinePassed && (!stallPossible || request.deadline <= request.slowPeriod))
        return QStringLiteral("the service did not answer within %1").arg(secondsText(request.deadline));
    if (connectMicroseconds == 0)
        return QStringLiteral("no connection could be made within %1").arg(secondsText(std::chrono::seconds(kConnectTimeoutSeconds)));
    return QStringLiteral("the transfer stalled, moving less than %1 bytes a second for %2")
        .arg(request.minimumBytesPerSecond)
        .arg(secondsText(request.slowPeriod));
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
        // Non-blocking: opening a named pipe would otherwise wait for a writer forever. Only a
        // regular file goes on, where the flag changes nothing.
        file.fd = ::open(QFile::encodeName(request.bodyFile).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat info { };
        int problem = 0;
        if (file.fd < 0 || ::fstat(file.fd, &info) != 0)
            problem = errno;
        else if (!S_ISREG(info.st_mode))
            problem = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        if (problem != 0) {
            const QString why = problem == EINVAL ? QStringLiteral("it is not a regular file") : errnoText(problem);
            result.error = makeError(HttpErrorDomain::kFile, problem, QStringLiteral("Cannot read %1: %2").arg(request.bodyFile, why));
            return result;
        }
        ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        file.lengthKnown = info.st_size > 0 && !isPseudoFileSystem(file.fd);
        bodySize = file.lengthKnown ? info.st_size : 0;
        file.remaining = file.lengthKnown ? bodySize : std::numeric_limits<qint64>::max();
    }
    if (progress)
        exchange.progress = std::make_unique<UploadProgress>(bodySize, progress);

    initializeCurlOnce();
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    curl_slist* headerList = nullptr;
    for (const auto& [name, value] : request.headers)
        headerList = curl_slist_append(headerList, (name + ": " + value).constData());
    // A file of untrustworthy length goes as read, in chunks, ended by the file's end.
    const bool chunked = file.fd >= 0 && !file.lengthKnown && request.method != "GET";
    if (chunked)
        headerList = curl_slist_append(headerList, "Transfer-Encoding: chunked");
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
    if (request.deadline.count() > 0)
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, long(request.deadline.count()));
    if (request.minimumBytesPerSecond > 0 && request.slowPeriod.count() > 0) {
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, request.minimumBytesPerSecond);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, long(request.slowPeriod.count()));
    }
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
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, chunked ? curl_off_t(-1) : curl_off_t(bodySize));
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

    const auto started = std::chrono::steady_clock::now();
    const CURLcode code = curl_easy_perform(handle);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    curl_off_t uploaded = 0;
    curl_easy_getinfo(handle, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    result.bytesSent = qint64(uploaded);

    if (code != CURLE_OK) {
        QString detail = QString::fromUtf8(errorBuffer);
        if (file.readError)
            detail = QStringLiteral("cannot read %1: %2").arg(request.bodyFile, errnoText(file.readError));
        else if (file.shrank)
            detail = QStringLiteral("%1 became shorter while it was being sent").arg(request.bodyFile);
        else if (file.grew)
            detail = QStringLiteral("%1 became longer while it was being sent").arg(request.bodyFile);
        else if (code == CURLE_OPERATION_TIMEDOUT)
            detail = timeoutDetail(handle, request, elapsed);
        else if (exchange.bodyTooLarge)
            detail = QStringLiteral("the answer is larger than %1 bytes").arg(kMaxResponseBody);
        if (detail.isEmpty())
            detail = QString::fromUtf8(curl_easy_strerror(code));
        result.error
            = makeError(HttpErrorDomain::kTransport, int(code), QStringLiteral("The request to %1 failed: %2").arg(request.url, detail));
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
