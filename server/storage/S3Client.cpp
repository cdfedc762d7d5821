#include "server/storage/S3Client.h"

#include "server/Text.h"
#include "server/storage/S3Xml.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t minimumPartSize = 5 * 1024 * 1024;
constexpr size_t readAheadLimit = 256 * 1024;
// An answer we keep in memory (an error, a listing page) is never this large; one that is
// would be something other than S3 talking.
constexpr size_t answerLimit = 16 * 1024 * 1024;

std::string sha256Hex(std::string_view bytes)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * sizeof digest);
    for (const unsigned char byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

// A key as a URL path: each segment percent-encoded as SigV4's canonical request wants, since
// libcurl signs the path as given.
std::string encodedKeyPath(std::string_view key)
{
    std::string path;
    size_t start = 0;
    while (true) {
        const size_t slash = key.find('/', start);
        path += text::percentEncodeComponent(key.substr(start, slash - start));
        if (slash == std::string_view::npos)
            return path;
        path += '/';
        start = slash + 1;
    }
}

std::string statusCode(long status)
{
    switch (status) {
    case 400:
        return "BadRequest";
    case 403:
        return "Forbidden";
    case 404:
        return "NotFound";
    case 416:
        return "InvalidRange";
    default:
        return "HTTP" + std::to_string(status);
    }
}

class HeaderList {
public:
    HeaderList() = default;
    ~HeaderList() { curl_slist_free_all(m_list); }
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;
    void add(const std::string& line)
    {
        curl_slist* grown = curl_slist_append(m_list, line.c_str());
        if (!grown)
            throw std::bad_alloc();
        m_list = grown;
    }
    curl_slist* get() const { return m_list; }

private:
    curl_slist* m_list = nullptr;
};

// Bytes received for an ObjectReader and not read yet. Past the limit the transfer pauses
// until they are read.
struct ReadAhead {
    std::string bytes;
    size_t start = 0; // bytes before this were read
    size_t limit = 0;
    bool paused = false;
    size_t waiting() const { return bytes.size() - start; }
};

// What one request sends and what comes back.
struct Exchange {
    CURL* handle = nullptr;
    std::string_view upload;
    size_t uploaded = 0;
    const S3Client::ByteSink* sink = nullptr;
    ReadAhead* readAhead = nullptr;
    bool expectPartial = false;

    bool statusSeen = false;
    bool deliverToSink = false;
    bool sinkStopped = false;
    bool rangeIgnored = false;
    bool answerTooLarge = false;
    std::string answer;
    std::string etag;
};

size_t receive(char* data, size_t, size_t size, void* context)
{
    auto& exchange = *static_cast<Exchange*>(context);
    if (!exchange.statusSeen) {
        exchange.statusSeen = true;
        long status = 0;
        curl_easy_getinfo(exchange.handle, CURLINFO_RESPONSE_CODE, &status);
        exchange.deliverToSink = (exchange.sink || exchange.readAhead) && status >= 200 && status < 300;
        if (exchange.deliverToSink && exchange.expectPartial && status != 206) {
            exchange.rangeIgnored = true;
            return 0;
        }
    }
    if (exchange.deliverToSink && exchange.readAhead) {
        ReadAhead& ahead = *exchange.readAhead;
        if (ahead.waiting() >= ahead.limit) {
            ahead.paused = true;
            return CURL_WRITEFUNC_PAUSE; // libcurl offers the same bytes again once resumed
        }
        if (ahead.start > ahead.limit) {
            ahead.bytes.erase(0, ahead.start);
            ahead.start = 0;
        }
        ahead.bytes.append(data, size);
        return size;
    }
    if (exchange.deliverToSink) {
        if (!(*exchange.sink)(std::string_view(data, size))) {
            exchange.sinkStopped = true;
            return 0;
        }
        return size;
    }
    if (exchange.answer.size() + size > answerLimit) {
        exchange.answerTooLarge = true;
        return 0;
    }
    exchange.answer.append(data, size);
    return size;
}

size_t receiveHeader(char* data, size_t, size_t size, void* context)
{
    auto& exchange = *static_cast<Exchange*>(context);
    const std::string_view line(data, size);
    if (line.starts_with("HTTP/"))
        exchange.etag.clear(); // a new answer (after a 100 Continue, say)
    else if (text::toLower(line.substr(0, 5)) == "etag:")
        exchange.etag = text::trim(line.substr(5, line.find_last_not_of("\r\n") - 4));
    return size;
}

size_t sendBody(char* buffer, size_t, size_t size, void* context)
{
    auto& exchange = *static_cast<Exchange*>(context);
    const size_t count = std::min(size, exchange.upload.size() - exchange.uploaded);
    std::memcpy(buffer, exchange.upload.data() + exchange.uploaded, count);
    exchange.uploaded += count;
    return count;
}

// libcurl rewinds when it must send the body again (a connection that closed under it).
int rewindBody(void* context, curl_off_t offset, int origin)
{
    auto& exchange = *static_cast<Exchange*>(context);
    if (origin != SEEK_SET || offset < 0 || static_cast<size_t>(offset) > exchange.upload.size())
        return CURL_SEEKFUNC_FAIL;
    exchange.uploaded = static_cast<size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

} // namespace

S3Error::S3Error(std::string request, long status, std::string code, const std::string& detail)
    : std::runtime_error("S3 " + request + " failed: " + (status ? std::to_string(status) + " " : std::string()) + code
                         + (detail.empty() ? std::string() : ": " + detail))
    , m_request(std::move(request))
    , m_status(status)
    , m_code(std::move(code))
{
}

struct S3Client::Request {
    std::string method{}; // GET, HEAD, PUT, POST or DELETE
    std::string key{}; // the full key; empty for a request about the bucket
    std::vector<std::pair<std::string, std::string>> query{};
    std::string_view body{};
    std::vector<std::string> headers{};
    const ByteSink* sink = nullptr;
    std::optional<ByteRange> range{};
    bool notFoundIsAnAnswer = false;
    std::string what{}; // how errors name it: "GET drops/abc"
};

struct S3Client::Response {
    long status = 0;
    std::string body;
    std::string etag;
    curl_off_t contentLength = -1;
    bool stopped = false;
};

S3Client::S3Client(S3Config config)
    : m_config(std::move(config))
{
    if (m_config.partSize < minimumPartSize)
        throw std::invalid_argument("S3 parts must be at least 5 MiB, not " + std::to_string(m_config.partSize) + " bytes");
}

S3Client::~S3Client() = default;

std::string S3Client::fullKey(const std::string& key) const
{
    return m_config.location.prefix.empty() ? key : m_config.location.prefix + "/" + key;
}

std::string S3Client::relativeKey(const std::string& key) const
{
    const std::string& prefix = m_config.location.prefix;
    if (prefix.empty())
        return key;
    return key.starts_with(prefix + "/") ? key.substr(prefix.size() + 1) : key;
}

std::string S3Client::url(const std::string& key, std::vector<std::pair<std::string, std::string>> query) const
{
    const S3Location& location = m_config.location;
    std::string url;
    if (location.pathStyle) {
        url = location.endpoint + "/" + location.bucket;
        if (!key.empty())
            url += "/" + encodedKeyPath(key);
    } else {
        const size_t hostStart = location.endpoint.find("://") + 3;
        url = location.endpoint.substr(0, hostStart) + location.bucket + "." + location.endpoint.substr(hostStart) + "/"
            + encodedKeyPath(key);
    }
    // SigV4 signs the query sorted, and libcurl signs it in the order written.
    std::sort(query.begin(), query.end());
    char separator = '?';
    for (const auto& [name, value] : query) {
        url += separator + text::percentEncodeComponent(name) + "=" + text::percentEncodeComponent(value);
        separator = '&';
    }
    return url;
}

// One request on one easy handle: what libcurl needs to outlive the transfer.
struct S3Client::Transfer {
    explicit Transfer(CURL* easy)
        : handle(easy)
    {
        exchange.handle = easy;
    }
    CURL* handle;
    Exchange exchange;
    HeaderList headers;
    char errorText[CURL_ERROR_SIZE] = {};
};

void S3Client::configure(Transfer& transfer, const Request& request) const
{
    CURL* handle = transfer.handle;
    Exchange& exchange = transfer.exchange;
    exchange.upload = request.body;
    exchange.sink = request.sink;
    exchange.expectPartial = request.range.has_value();

    HeaderList& headers = transfer.headers;
    headers.add("x-amz-content-sha256: " + (m_config.signPayloads ? sha256Hex(request.body) : std::string("UNSIGNED-PAYLOAD")));
    if (!m_config.credentials.sessionToken.empty())
        headers.add("x-amz-security-token: " + m_config.credentials.sessionToken);
    if (request.range)
        headers.add("Range: bytes=" + std::to_string(request.range->first) + "-" + std::to_string(request.range->last));
    // An empty "Expect:" to save the 100 Continue round trip would be signed as a header and then
    // not sent, so libcurl's own Expect stays.
    for (const std::string& header : request.headers)
        headers.add(header);

    // libcurl copies the strings it is given.
    const std::string address = url(request.key, request.query);
    const std::string signing = "aws:amz:" + m_config.location.region + ":s3";
    curl_easy_setopt(handle, CURLOPT_URL, address.c_str());
    curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L); // keys may hold "/./" and "//"
    curl_easy_setopt(handle, CURLOPT_AWS_SIGV4, signing.c_str());
    curl_easy_setopt(handle, CURLOPT_USERNAME, m_config.credentials.accessKeyId.c_str());
    curl_easy_setopt(handle, CURLOPT_PASSWORD, m_config.credentials.secretAccessKey.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, m_config.connectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, m_config.stallTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, transfer.errorText);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, receiveHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &exchange);
    if (request.method == "HEAD") {
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    } else if (request.method == "PUT") {
        curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(handle, CURLOPT_READFUNCTION, sendBody);
        curl_easy_setopt(handle, CURLOPT_READDATA, &exchange);
        curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, rewindBody);
        curl_easy_setopt(handle, CURLOPT_SEEKDATA, &exchange);
        curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    } else if (request.method == "POST") {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.data() ? request.body.data() : "");
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    } else if (request.method != "GET") {
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
}

S3Client::Response S3Client::conclude(Transfer& transfer, const Request& request, CURLcode result)
{
    Exchange& exchange = transfer.exchange;
    Response response;
    curl_easy_getinfo(transfer.handle, CURLINFO_RESPONSE_CODE, &response.status);
    curl_easy_getinfo(transfer.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &response.contentLength);
    response.body = std::move(exchange.answer);
    response.etag = std::move(exchange.etag);
    if (exchange.sinkStopped) {
        response.stopped = true;
        return response;
    }
    if (exchange.rangeIgnored)
        throw S3Error(request.what, response.status, "RangeIgnored", "the whole object came back instead of the range");
    if (exchange.answerTooLarge)
        throw S3Error(request.what, response.status, "AnswerTooLarge", "the answer is larger than any S3 answer");
    if (result != CURLE_OK)
        throw S3Error(request.what, 0, curl_easy_strerror(result), transfer.errorText);
    if (response.status == 404 && request.notFoundIsAnAnswer)
        return response;
    if (response.status >= 300 || response.status < 200) {
        std::string code = s3xml::text(response.body, "Code");
        if (code.empty())
            code = statusCode(response.status);
        throw S3Error(request.what, response.status, code, s3xml::text(response.body, "Message"));
    }
    return response;
}

S3Client::Response S3Client::perform(const Request& request)
{
    const CurlHandlePool::Lease lease = m_handles.lease();
    Transfer transfer(lease.get());
    configure(transfer, request);
    return conclude(transfer, request, curl_easy_perform(lease.get()));
}

void S3Client::createBucket()
{
    try {
        perform({.method = "PUT", .what = "PUT bucket " + m_config.location.bucket});
    } catch (const S3Error& error) {
        if (error.code() != "BucketAlreadyOwnedByYou")
            throw;
    }
}

void S3Client::putObject(const std::string& key, std::string_view bytes, const std::string& contentType)
{
    perform({.method = "PUT",
             .key = fullKey(key),
             .body = bytes,
             .headers = {"Content-Type: " + (contentType.empty() ? std::string("application/octet-stream") : contentType)},
             .what = "PUT " + fullKey(key)});
}

std::unique_ptr<ObjectUpload> S3Client::beginUpload(const std::string& key, const std::string& contentType)
{
    return std::unique_ptr<ObjectUpload>(new ObjectUpload(*this, key, contentType));
}

std::optional<std::uint64_t> S3Client::objectSize(const std::string& key)
{
    const Response response = perform({.method = "HEAD", .key = fullKey(key), .notFoundIsAnAnswer = true, .what = "HEAD " + fullKey(key)});
    if (response.status == 404)
        return std::nullopt;
    if (response.contentLength < 0)
        throw S3Error("HEAD " + fullKey(key), response.status, "NoLength", "the answer has no Content-Length");
    return static_cast<std::uint64_t>(response.contentLength);
}

bool S3Client::readObject(const std::string& key, const ByteSink& sink, std::optional<ByteRange> range)
{
    std::string what = "GET " + fullKey(key);
    if (range)
        what += " (bytes " + std::to_string(range->first) + "-" + std::to_string(range->last) + ")";
    return !perform({.method = "GET", .key = fullKey(key), .sink = &sink, .range = range, .what = what}).stopped;
}

struct ObjectReader::State {
    State() = default;
    ~State()
    {
        if (multi && easy)
            curl_multi_remove_handle(multi, easy);
        if (easy)
            curl_easy_cleanup(easy);
        if (multi)
            curl_multi_cleanup(multi);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    S3Client::Request request;
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    std::unique_ptr<S3Client::Transfer> transfer; // released after the handles
    ReadAhead ahead;
    bool done = false;
    bool concluded = false;
    CURLcode result = CURLE_OK;
};

std::unique_ptr<ObjectReader> S3Client::openObject(const std::string& key, std::optional<ByteRange> range)
{
    auto state = std::make_unique<ObjectReader::State>();
    std::string what = "GET " + fullKey(key);
    if (range)
        what += " (bytes " + std::to_string(range->first) + "-" + std::to_string(range->last) + ")";
    state->request = {.method = "GET", .key = fullKey(key), .range = range, .what = what};
    state->easy = curl_easy_init();
    state->multi = curl_multi_init();
    if (!state->easy || !state->multi)
        throw std::bad_alloc();
    state->transfer = std::make_unique<Transfer>(state->easy);
    state->ahead.limit = readAheadLimit;
    state->transfer->exchange.readAhead = &state->ahead;
    configure(*state->transfer, state->request);
    curl_multi_add_handle(state->multi, state->easy);
    std::unique_ptr<ObjectReader> reader(new ObjectReader(std::move(state)));
    reader->pump(); // a refusal throws here, before the caller answers anyone
    return reader;
}

ObjectReader::ObjectReader(std::unique_ptr<State> state)
    : m_state(std::move(state))
{
}

ObjectReader::~ObjectReader() = default;

void ObjectReader::pump()
{
    State& state = *m_state;
    while (state.ahead.waiting() == 0 && !state.done) {
        if (state.ahead.paused) {
            state.ahead.paused = false;
            curl_easy_pause(state.easy, CURLPAUSE_CONT);
        }
        int running = 0;
        const CURLMcode code = curl_multi_perform(state.multi, &running);
        if (code != CURLM_OK)
            throw S3Error(state.request.what, 0, curl_multi_strerror(code), {});
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(state.multi, &left)) {
            if (message->msg == CURLMSG_DONE) {
                state.done = true;
                state.result = message->data.result;
            }
        }
        if (state.ahead.waiting() == 0 && !state.done && !state.ahead.paused)
            curl_multi_poll(state.multi, nullptr, 0, 1000, nullptr);
    }
    if (state.done && state.ahead.waiting() == 0 && !state.concluded) {
        state.concluded = true;
        S3Client::conclude(*state.transfer, state.request, state.result);
    }
}

size_t ObjectReader::read(char* buffer, size_t maximum)
{
    if (maximum == 0)
        return 0;
    pump();
    ReadAhead& ahead = m_state->ahead;
    const size_t count = std::min(maximum, ahead.waiting());
    std::memcpy(buffer, ahead.bytes.data() + ahead.start, count);
    ahead.start += count;
    m_position += count;
    return count;
}

void S3Client::deleteObject(const std::string& key)
{
    perform({.method = "DELETE", .key = fullKey(key), .what = "DELETE " + fullKey(key)});
}

S3Client::ObjectPage S3Client::listObjects(const std::string& keyPrefix, const std::optional<std::string>& after, int limit)
{
    std::vector<std::pair<std::string, std::string>> query{
        {"list-type", "2"}, {"prefix", fullKey(keyPrefix)}, {"max-keys", std::to_string(std::clamp(limit, 1, 1000))}};
    if (after)
        query.emplace_back("continuation-token", *after);
    const Response response = perform({.method = "GET", .query = std::move(query), .what = "GET list of " + fullKey(keyPrefix) + "*"});

    ObjectPage page;
    for (const std::string_view contents : s3xml::elements(response.body, "Contents")) {
        const std::string size = s3xml::text(contents, "Size");
        page.objects.push_back({relativeKey(s3xml::text(contents, "Key")), std::strtoull(size.c_str(), nullptr, 10),
                                s3xml::parseTimestamp(s3xml::text(contents, "LastModified")).value_or(0)});
    }
    if (s3xml::text(response.body, "IsTruncated") == "true") {
        const std::string token = s3xml::text(response.body, "NextContinuationToken");
        if (token.empty())
            throw S3Error("GET list of " + fullKey(keyPrefix) + "*", response.status, "NoContinuation",
                          "a truncated page without a next token");
        page.next = token;
    }
    return page;
}

std::vector<S3Client::MultipartEntry> S3Client::listMultipartUploads(const std::string& keyPrefix)
{
    std::vector<MultipartEntry> uploads;
    std::string keyMarker;
    std::string uploadIdMarker;
    while (true) {
        std::vector<std::pair<std::string, std::string>> query{{"uploads", ""}, {"prefix", fullKey(keyPrefix)}};
        if (!keyMarker.empty()) {
            query.emplace_back("key-marker", keyMarker);
            query.emplace_back("upload-id-marker", uploadIdMarker);
        }
        const Response response
            = perform({.method = "GET", .query = std::move(query), .what = "GET multipart uploads under " + fullKey(keyPrefix)});
        for (const std::string_view upload : s3xml::elements(response.body, "Upload")) {
            uploads.push_back({relativeKey(s3xml::text(upload, "Key")), s3xml::text(upload, "UploadId"),
                               s3xml::parseTimestamp(s3xml::text(upload, "Initiated")).value_or(0)});
        }
        const std::string nextKey = s3xml::text(response.body, "NextKeyMarker");
        const std::string nextUploadId = s3xml::text(response.body, "NextUploadIdMarker");
        if (s3xml::text(response.body, "IsTruncated") != "true" || nextKey.empty()
            || (nextKey == keyMarker && nextUploadId == uploadIdMarker))
            return uploads;
        keyMarker = nextKey;
        uploadIdMarker = nextUploadId;
    }
}

void S3Client::abortMultipartUpload(const std::string& key, const std::string& uploadId)
{
    try {
        perform({.method = "DELETE", .key = fullKey(key), .query = {{"uploadId", uploadId}}, .what = "DELETE upload of " + fullKey(key)});
    } catch (const S3Error& error) {
        if (error.code() != "NoSuchUpload") // aborted already: what we wanted
            throw;
    }
}

size_t S3Client::abortUploadsBegunBefore(std::int64_t cutoff, const std::string& keyPrefix)
{
    size_t aborted = 0;
    for (const MultipartEntry& upload : listMultipartUploads(keyPrefix)) {
        if (upload.initiated < cutoff) {
            abortMultipartUpload(upload.key, upload.uploadId);
            ++aborted;
        }
    }
    return aborted;
}

std::string S3Client::createMultipartUpload(const std::string& key, const std::string& contentType)
{
    const std::string what = "POST new upload of " + fullKey(key);
    const Response response
        = perform({.method = "POST",
                   .key = fullKey(key),
                   .query = {{"uploads", ""}},
                   .headers = {"Content-Type: " + (contentType.empty() ? std::string("application/octet-stream") : contentType)},
                   .what = what});
    std::string uploadId = s3xml::text(response.body, "UploadId");
    if (uploadId.empty())
        throw S3Error(what, response.status, "NoUploadId", "the answer names no upload");
    return uploadId;
}

std::string S3Client::uploadPart(const std::string& key, const std::string& uploadId, int partNumber, std::string_view bytes)
{
    const std::string what = "PUT " + fullKey(key) + " part " + std::to_string(partNumber);
    const Response response = perform({.method = "PUT",
                                       .key = fullKey(key),
                                       .query = {{"partNumber", std::to_string(partNumber)}, {"uploadId", uploadId}},
                                       .body = bytes,
                                       .what = what});
    if (response.etag.empty())
        throw S3Error(what, response.status, "NoETag", "the answer has no ETag to complete the upload with");
    return response.etag;
}

void S3Client::completeMultipartUpload(const std::string& key, const std::string& uploadId, const std::vector<std::string>& partETags)
{
    std::string document = "<CompleteMultipartUpload>";
    for (size_t i = 0; i < partETags.size(); ++i)
        document += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" + s3xml::escape(partETags[i]) + "</ETag></Part>";
    document += "</CompleteMultipartUpload>";
    const std::string what = "POST completion of " + fullKey(key);
    const Response response = perform({.method = "POST",
                                       .key = fullKey(key),
                                       .query = {{"uploadId", uploadId}},
                                       .body = document,
                                       .headers = {"Content-Type: application/xml"},
                                       .what = what});
    // S3 answers 200 as soon as it starts combining the parts, and reports a failure in the body.
    if (s3xml::element(response.body, "Error"))
        throw S3Error(what, response.status, s3xml::text(response.body, "Code"), s3xml::text(response.body, "Message"));
}
