#include "server/HttpServer.h"

#include "server/RequestBody.h"
#include "server/Text.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>

namespace {

constexpr size_t kResponseBlock = 256 * 1024;
constexpr size_t kSpareBodyPieces = 2;

// "bytes=a-b, c-, -n" into httplib's form: (-1, n) for a suffix, b = -1 for an open end.
// Anything malformed, or more ranges than `maximum`, and the header is ignored.
httplib::Ranges parseRanges(const std::string& header, size_t maximum)
{
    const std::string value = text::trim(header);
    if (value.rfind("bytes=", 0) != 0)
        return {};
    httplib::Ranges ranges;
    std::string_view rest = std::string_view(value).substr(6);
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string part = text::trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const size_t dash = part.find('-');
        if (dash == std::string::npos || ranges.size() == maximum)
            return {};
        // -1 stands for a side left out.
        const auto side = [](std::string_view digits) -> std::optional<ssize_t> {
            if (digits.empty())
                return ssize_t(-1);
            const auto value = text::parseUnsigned(digits);
            if (!value || *value >= static_cast<std::uint64_t>(std::numeric_limits<ssize_t>::max()))
                return std::nullopt;
            return static_cast<ssize_t>(*value);
        };
        const auto first = side(std::string_view(part).substr(0, dash));
        const auto last = side(std::string_view(part).substr(dash + 1));
        if (!first || !last || (*first < 0 && *last < 0) || (*first >= 0 && *last >= 0 && *last < *first))
            return {};
        ranges.emplace_back(*first, *last);
    }
    return ranges;
}

std::string addressOf(MHD_Connection* connection, int& port)
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char buffer[INET6_ADDRSTRLEN] = {};
    if (!info || !info->client_addr)
        return {};
    if (info->client_addr->sa_family == AF_INET) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(info->client_addr);
        ::inet_ntop(AF_INET, &address->sin_addr, buffer, sizeof buffer);
        port = ntohs(address->sin_port);
    } else if (info->client_addr->sa_family == AF_INET6) {
        const auto* address = reinterpret_cast<const sockaddr_in6*>(info->client_addr);
        ::inet_ntop(AF_INET6, &address->sin6_addr, buffer, sizeof buffer);
        port = ntohs(address->sin6_port);
    }
    return buffer;
}

// Serves a content provider's bytes [offset, offset + length) to the engine.
struct ProvidedBody {
    httplib::ContentProvider provider;
    size_t offset = 0;
    size_t length = 0;

    static ssize_t read(void* self, uint64_t position, char* buffer, size_t maximum)
    {
        auto& body = *static_cast<ProvidedBody*>(self);
        if (position >= body.length)
            return MHD_CONTENT_READER_END_OF_STREAM;
        const size_t wanted = std::min<uint64_t>(maximum, body.length - position);
        size_t written = 0;
        bool overrun = false;
        httplib::DataSink sink;
        sink.write = [&](const char* data, size_t size) {
            if (size > wanted - written) {
                overrun = true;
                return false;
            }
            std::memcpy(buffer + written, data, size);
            written += size;
            return true;
        };
        sink.is_writable = [] { return true; };
        sink.done = [] {};
        if (!body.provider(body.offset + position, wanted, sink) || overrun || written == 0)
            return MHD_CONTENT_READER_END_WITH_ERROR;
        return static_cast<ssize_t>(written);
    }
    static void release(void* self) { delete static_cast<ProvidedBody*>(self); }
};

} // namespace

// One request, from its head to the end of its answer.
struct HttpServer::Exchange {
    MHD_Connection* connection = nullptr;
    httplib::Request request;
    httplib::Response response;
    bool answered = false;
    bool deferred = false;
    bool readsBody = false;
    std::uint64_t ignored = 0;
    std::shared_ptr<void> hold; // from the early answer, released when the request is answered

    // The body, copied piece by piece into a short queue for the route's thread, so that reading
    // the socket and storing what came overlap.
    std::thread worker;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::vector<char>> queue;
    std::vector<std::vector<char>> spare;
    size_t queuedBytes = 0;
    bool ended = false;
    bool aborted = false;
    bool readerStopped = false;
    bool handlerDone = false;

    ~Exchange() { abort(); }

    // The client is gone: the route's reader fails, and its handler finishes.
    void abort()
    {
        if (!worker.joinable())
            return;
        {
            std::lock_guard lock(mutex);
            aborted = true;
        }
        changed.notify_all();
        worker.join();
    }

    bool read(const httplib::ContentReceiver& receiver)
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return !queue.empty() || ended || aborted; });
            if (aborted)
                return false;
            if (queue.empty())
                return true;
            std::vector<char> piece = std::move(queue.front());
            queue.pop_front();
            queuedBytes -= piece.size();
            changed.notify_all();
            lock.unlock();
            const bool more = receiver(piece.data(), piece.size());
            lock.lock();
            // A couple of buffers are reused; more would keep a stalled upload's memory at its peak.
            if (spare.size() < kSpareBodyPieces)
                spare.push_back(std::move(piece));
            if (!more) {
                readerStopped = true;
                queue.clear();
                queuedBytes = 0;
                changed.notify_all();
                return false;
            }
        }
    }
};

struct HttpServer::Callbacks {
    static MHD_Result request(void* self, MHD_Connection* connection, const char* url, const char* method, const char* version,
                              const char* uploadData, size_t* uploadSize, void** context)
    {
        auto& server = *static_cast<HttpServer*>(self);
        if (!*context) {
            auto* exchange = new Exchange;
            *context = exchange;
            exchange->connection = connection;
            return server.begin(*exchange, connection, url, method, version) ? MHD_YES : MHD_NO;
        }
        auto& exchange = *static_cast<Exchange*>(*context);
        if (exchange.deferred && !exchange.answered && *uploadSize == 0)
            return server.answer(exchange) ? MHD_YES : MHD_NO;
        if (exchange.answered || exchange.deferred) {
            // Answered before its body: take a little of it so the client sees the answer, then close.
            server.countBody(exchange, *uploadSize);
            exchange.ignored += *uploadSize;
            *uploadSize = 0;
            return exchange.ignored <= server.m_limits.ignoredBodyBytes ? MHD_YES : MHD_NO;
        }
        if (*uploadSize > 0)
            return server.receive(exchange, uploadData, uploadSize) ? MHD_YES : MHD_NO;
        return server.finishBody(exchange) ? MHD_YES : MHD_NO;
    }

    static void completed(void* self, MHD_Connection* connection, void** context, MHD_RequestTerminationCode)
    {
        auto& server = *static_cast<HttpServer*>(self);
        auto* exchange = static_cast<Exchange*>(*context);
        *context = nullptr;
        bool cut = false;
        {
            std::lock_guard lock(server.m_connectionsMutex);
            const auto found = server.m_connections.find(connection);
            if (found != server.m_connections.end()) {
                cut = found->second.bodyCut;
                found->second.inBody = false;
                found->second.bodyCut = false;
            }
        }
        if (exchange && exchange->readsBody && !exchange->answered) {
            // Cut off mid-body (the client left, or sent more than a refusal lets through): what the
            // route made of it is logged, though it never reached the client.
            exchange->abort();
            exchange->answered = true;
            // A body cut for its pace has had its line.
            if (server.m_note && !cut)
                server.m_note("answer to " + text::printable(exchange->request.method) + " " + text::printable(exchange->request.path)
                              + " not sent: the connection closed mid-body");
        }
        if (exchange && exchange->answered && server.m_finished)
            server.m_finished(exchange->request, exchange->response);
        delete exchange;
        std::lock_guard lock(server.m_connectionsMutex);
        const auto found = server.m_connections.find(connection);
        if (found != server.m_connections.end()) {
            found->second.awaitingHead = true;
            found->second.served = true;
            found->second.since = std::chrono::steady_clock::now();
        }
    }

    static void connection(void* self, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode what)
    {
        auto& server = *static_cast<HttpServer*>(self);
        std::lock_guard lock(server.m_connectionsMutex);
        if (what == MHD_CONNECTION_NOTIFY_CLOSED) {
            server.m_connections.erase(connection);
            return;
        }
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        Connection entry;
        entry.fd = info ? info->connect_fd : -1;
        entry.since = std::chrono::steady_clock::now();
        server.m_connections[connection] = entry;
    }

    static void log(void* self, const char* format, va_list arguments)
    {
        char buffer[512];
        std::vsnprintf(buffer, sizeof buffer, format, arguments);
        static_cast<HttpServer*>(self)->noteEngine(buffer);
    }
};

void HttpServer::noteEngine(const std::string& message)
{
    std::string line = message;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    line = text::trim(line);
    // A client hanging up mid-head (or cut off by the head deadline, which notes it) is no fault.
    if (line.empty() || line.find("closed when reading request") != std::string::npos)
        return;
    // The engine's own refusals (a head over its memory, a malformed length) quote their HTML
    // page; the status is what matters.
    static constexpr std::string_view kEngineAnswer = "Error processing request (HTTP response code is ";
    if (line.rfind(kEngineAnswer, 0) == 0)
        line = "answered " + line.substr(kEngineAnswer.size(), 3) + " itself and closed the connection";
    const bool acceptFailed = line.find("Error accepting connection") != std::string::npos;
    if (acceptFailed) {
        // Out of descriptors (or memory): the engine retries at once and would spin. This runs on
        // its listening thread, so pausing here is the back-off.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // The same line at most once a second, with how many it stands for: a client that connects
    // in a loop past a limit must not fill the disk with the log.
    unsigned repeated = 0;
    {
        std::lock_guard lock(m_engineLinesMutex);
        if (m_engineLines.size() > 64)
            m_engineLines.clear();
        auto& seen = m_engineLines[line];
        const auto now = std::chrono::steady_clock::now();
        if (seen.count > 0 && now - seen.noted < std::chrono::seconds(1)) {
            ++seen.count;
            return;
        }
        repeated = seen.count;
        seen.count = 1;
        seen.noted = now;
    }
    m_note("http: " + line + (repeated > 1 ? " (" + std::to_string(repeated) + " times since last noted)" : "")
           + (acceptFailed ? "; pausing accepts" : ""));
}

HttpServer::HttpServer(Limits limits, Note note)
    : m_limits(limits)
    , m_note(std::move(note))
{
}

HttpServer::~HttpServer()
{
    stop();
}

void HttpServer::Get(const std::string& pattern, Handler handler)
{
    m_routes.push_back({"GET", std::regex(pattern), std::move(handler), {}});
}

void HttpServer::Post(const std::string& pattern, BodyHandler handler, BodyDeadline deadline)
{
    m_routes.push_back({"POST", std::regex(pattern), {}, std::move(handler), deadline});
}

void HttpServer::Put(const std::string& pattern, BodyHandler handler)
{
    m_routes.push_back({"PUT", std::regex(pattern), {}, std::move(handler)});
}

void HttpServer::Patch(const std::string& pattern, BodyHandler handler)
{
    m_routes.push_back({"PATCH", std::regex(pattern), {}, std::move(handler)});
}

void HttpServer::Delete(const std::string& pattern, BodyHandler handler)
{
    m_routes.push_back({"DELETE", std::regex(pattern), {}, std::move(handler)});
}

void HttpServer::start(int listeningSocket, const Tls* tls)
{
    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ITC | MHD_USE_ERROR_LOG;
    if (tls) {
        flags |= MHD_USE_TLS;
        m_certificate = tls->certificatePem;
        m_key = tls->keyPem;
    }
    using Logger = void (*)(void*, const char*, va_list);
    const Logger logger = &Callbacks::log;
    // The pool holds the request head and the read buffer: a large pool means large reads.
    const size_t pool = m_limits.readBufferBytes + m_limits.maximumHeadBytes;
    m_daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &Callbacks::request, this, MHD_OPTION_EXTERNAL_LOGGER, logger, this, MHD_OPTION_LISTEN_SOCKET,
        listeningSocket, MHD_OPTION_CONNECTION_TIMEOUT, m_limits.idleTimeoutSeconds, MHD_OPTION_CONNECTION_LIMIT,
        m_limits.maximumConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, m_limits.maximumConnectionsPerAddress,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, pool, MHD_OPTION_CONNECTION_MEMORY_INCREMENT, size_t(64 * 1024), MHD_OPTION_NOTIFY_COMPLETED,
        &Callbacks::completed, this, MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::connection, this,
        tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, m_certificate.c_str(), MHD_OPTION_HTTPS_MEM_KEY, m_key.c_str(), MHD_OPTION_END);
    if (!m_daemon)
        throw std::runtime_error(tls ? "cannot start the HTTPS service (is the key the certificate's, both in PEM?)"
                                     : "cannot start the HTTP service");
    m_stopping = false;
    m_watchdog = std::thread([this] { watchHeads(); });
}

void HttpServer::stop()
{
    {
        std::lock_guard lock(m_connectionsMutex);
        m_stopping = true;
    }
    m_watchWake.notify_all();
    if (m_watchdog.joinable())
        m_watchdog.join();
    if (m_daemon) {
        MHD_stop_daemon(m_daemon);
        m_daemon = nullptr;
    }
}

void HttpServer::watchHeads()
{
    std::unique_lock lock(m_connectionsMutex);
    while (!m_stopping) {
        m_watchWake.wait_for(lock, std::chrono::milliseconds(250));
        const auto now = std::chrono::steady_clock::now();
        size_t slow = 0;
        for (auto& [connection, entry] : m_connections) {
            if (entry.inBody && !entry.dropped && entry.fd >= 0)
                watchBody(entry, now);
            if (!entry.awaitingHead || entry.dropped || entry.fd < 0 || now - entry.since < m_limits.headDeadline)
                continue;
            // A kept-alive connection gone quiet simply ends; one that never got a request through is worth a line.
            if (!entry.served)
                ++slow;
            // The engine's thread sees the end of the stream and closes the connection itself.
            ::shutdown(entry.fd, SHUT_RDWR);
            entry.dropped = true;
        }
        if (slow > 0)
            m_note("closed " + std::to_string(slow) + " connection(s) that sent no whole request within "
                   + std::to_string(m_limits.headDeadline.count()) + " s");
    }
}

void HttpServer::watchBody(Connection& entry, std::chrono::steady_clock::time_point now)
{
    using std::chrono::duration_cast;
    using std::chrono::seconds;
    std::string why;
    if (now >= entry.bodyDeadline) {
        why = "not whole within " + std::to_string(duration_cast<seconds>(entry.bodyDeadline - entry.bodySince).count()) + " s";
    } else if (now - entry.windowSince >= m_limits.bodyWindow) {
        const std::uint64_t expected = m_limits.bodyMinimumRate * static_cast<std::uint64_t>(m_limits.bodyWindow.count());
        if (entry.windowBytes < expected)
            why = std::to_string(entry.windowBytes) + " bytes in the last " + std::to_string(m_limits.bodyWindow.count()) + " s, under "
                + std::to_string(m_limits.bodyMinimumRate) + " bytes/s";
        entry.windowSince = now;
        entry.windowBytes = 0;
    }
    if (why.empty())
        return;
    m_note("closed a slow body: " + entry.request + ", " + std::to_string(entry.bodyBytes) + " of "
           + (entry.announced ? std::to_string(entry.announced) : std::string("?")) + " bytes in "
           + std::to_string(duration_cast<seconds>(now - entry.bodySince).count()) + " s: " + why);
    // The engine's thread sees the end of the stream; the route's reader fails and its partial
    // work is dropped.
    ::shutdown(entry.fd, SHUT_RDWR);
    entry.dropped = true;
    entry.bodyCut = true;
}

void HttpServer::startBody(Exchange& exchange, const Route* route)
{
    const body::Shape shape = body::shapeOf(exchange.request);
    const auto now = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration allowed = m_limits.shortBodyDeadline;
    // Bodies that are read to their end get the time their length needs at the minimum rate, and
    // a window more; bodies of unknown length only the rate.
    if (route && route->deadline == BodyDeadline::FromLength && !exchange.answered && !exchange.deferred) {
        if (shape.framing == body::Framing::Length && m_limits.bodyMinimumRate > 0)
            allowed = m_limits.bodyWindow + std::chrono::seconds(shape.length / m_limits.bodyMinimumRate);
        else
            allowed = std::chrono::hours(24 * 365);
    }
    std::lock_guard lock(m_connectionsMutex);
    const auto found = m_connections.find(exchange.connection);
    if (found == m_connections.end())
        return;
    Connection& entry = found->second;
    entry.inBody = true;
    entry.bodyCut = false;
    entry.request
        = text::printable(exchange.request.method) + " " + text::printable(exchange.request.path) + " from " + exchange.request.remote_addr;
    entry.bodySince = entry.windowSince = now;
    entry.bodyDeadline = now + allowed;
    entry.bodyBytes = entry.windowBytes = 0;
    entry.announced = shape.framing == body::Framing::Length ? shape.length : 0;
}

void HttpServer::countBody(Exchange& exchange, size_t bytes)
{
    std::lock_guard lock(m_connectionsMutex);
    const auto found = m_connections.find(exchange.connection);
    if (found == m_connections.end())
        return;
    found->second.bodyBytes += bytes;
    found->second.windowBytes += bytes;
}

void HttpServer::endBody(MHD_Connection* connection)
{
    std::lock_guard lock(m_connectionsMutex);
    const auto found = m_connections.find(connection);
    if (found != m_connections.end())
        found->second.inBody = false;
}

bool HttpServer::begin(Exchange& exchange, MHD_Connection* connection, const char* url, const char* method, const char* version)
{
    {
        std::lock_guard lock(m_connectionsMutex);
        const auto found = m_connections.find(connection);
        if (found != m_connections.end())
            found->second.awaitingHead = false;
    }
    httplib::Request& request = exchange.request;
    request.method = method;
    request.path = url;
    request.target = url;
    request.version = version ? version : "HTTP/1.1";
    request.remote_addr = addressOf(connection, request.remote_port);

    struct HeadSize {
        httplib::Request* request;
        size_t count = 0;
        size_t bytes = 0;
        bool badName = false;
    } head{&request};
    // The request line counts towards the head.
    head.bytes = request.method.size() + std::strlen(url) + request.version.size() + 4;
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) {
            auto& size = *static_cast<HeadSize*>(cls);
            ++size.count;
            size.bytes += std::strlen(key) + (value ? std::strlen(value) : 0) + 4;
            // "Name : value" keeps its blank in the name here; a proxy may read it as the header.
            size.badName = size.badName || !text::isToken(key);
            size.request->headers.emplace(key, value ? value : "");
            return MHD_YES;
        },
        &head);
    MHD_get_connection_values(
        connection, MHD_GET_ARGUMENT_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) {
            static_cast<httplib::Request*>(cls)->params.emplace(key, value ? value : "");
            return MHD_YES;
        },
        &request);
    if (m_started)
        m_started(request, exchange.response);

    if (head.count > m_limits.maximumHeaders || head.bytes > m_limits.maximumHeadBytes)
        return refuse(exchange, 431, "Request.HeadTooLarge", "The request head is too large");
    // Anything two readers of the head could frame differently is how requests are smuggled past
    // a proxy: both framings at once, a header name with a blank before its colon, two lengths.
    // The engine's own strict mode would refuse a missing Host too, but writes its refusal twice.
    if (head.badName)
        return refuse(exchange, 400, "Request.Malformed", "A header name is malformed");
    if (request.has_header("Transfer-Encoding") && request.has_header("Content-Length"))
        return refuse(exchange, 400, "Request.Malformed", "Content-Length and Transfer-Encoding cannot both be sent");
    if (request.get_header_value_count("Content-Length") > 1)
        return refuse(exchange, 400, "Request.Malformed", "Content-Length is sent more than once");
    if (request.version == "HTTP/1.1" && request.get_header_value_count("Host") != 1)
        return refuse(exchange, 400, "Request.Malformed", "HTTP/1.1 requests need one Host header");
    if (request.has_header("Expect") && text::toLower(text::trim(request.get_header_value("Expect"))) != "100-continue")
        return refuse(exchange, 417, "Request.ExpectationFailed", "Only \"Expect: 100-continue\" is understood");
    if (request.has_header("Range"))
        request.ranges = parseRanges(request.get_header_value("Range"), m_limits.maximumRanges);

    const Route* route = findRoute(request);
    if (!route) {
        exchange.response.status = 404;
        if (body::shapeOf(request).framing == body::Framing::None)
            return defer(exchange);
        const bool answered = answer(exchange);
        startBody(exchange, nullptr);
        return answered;
    }
    const bool bodyless = body::shapeOf(request).framing == body::Framing::None;
    if (route->bodyHandler && m_earlyAnswer) {
        int status = 100;
        if (!call(exchange, [&] { status = m_earlyAnswer(request, exchange.response, exchange.hold); }))
            status = exchange.response.status;
        if (status != 100) {
            exchange.response.status = status;
            if (bodyless)
                return defer(exchange);
            startBody(exchange, nullptr);
            // The client may be sending the body still; the connection cannot be reused.
            exchange.response.set_header("Connection", "close");
            return answer(exchange);
        }
    }
    if (route->handler || bodyless) {
        call(exchange, [&] {
            if (route->handler)
                route->handler(request, exchange.response);
            else
                route->bodyHandler(request, exchange.response, httplib::ContentReader([](auto) { return true; }, {}));
        });
        return bodyless ? defer(exchange) : answer(exchange);
    }

    exchange.readsBody = true;
    startBody(exchange, route);
    exchange.worker = std::thread([this, &exchange, route] {
        const httplib::ContentReader reader([&exchange](httplib::ContentReceiver receiver) { return exchange.read(receiver); },
                                            [](httplib::MultipartContentHeader, httplib::ContentReceiver) { return false; });
        call(exchange, [&] { route->bodyHandler(exchange.request, exchange.response, reader); });
        std::lock_guard lock(exchange.mutex);
        exchange.handlerDone = true;
        exchange.changed.notify_all();
    });
    return true;
}

bool HttpServer::refuse(Exchange& exchange, int status, const std::string& code, const std::string& message)
{
    exchange.response.status = status;
    if (m_refusal)
        m_refusal(exchange.response, status, code, message);
    exchange.response.set_header("Connection", "close");
    return answer(exchange);
}

// An answer queued at the head would make the engine close the connection, as it cannot know
// that no body follows; queued at the engine's next call, the connection stays open.
bool HttpServer::defer(Exchange& exchange)
{
    exchange.deferred = true;
    return true;
}

bool HttpServer::receive(Exchange& exchange, const char* data, size_t* size)
{
    countBody(exchange, *size);
    std::unique_lock lock(exchange.mutex);
    exchange.changed.wait(
        lock, [&] { return exchange.queuedBytes < m_limits.queuedBodyBytes || exchange.handlerDone || exchange.readerStopped; });
    if (!exchange.handlerDone && !exchange.readerStopped) {
        std::vector<char> piece;
        if (!exchange.spare.empty()) {
            piece = std::move(exchange.spare.back());
            exchange.spare.pop_back();
        }
        piece.assign(data, data + *size);
        exchange.queuedBytes += piece.size();
        exchange.queue.push_back(std::move(piece));
        exchange.changed.notify_all();
        *size = 0;
        return true;
    }
    // The route has what it wanted: the rest is read and dropped, up to a limit.
    exchange.ignored += *size;
    *size = 0;
    return exchange.ignored <= m_limits.ignoredBodyBytes;
}

bool HttpServer::finishBody(Exchange& exchange)
{
    endBody(exchange.connection);
    {
        std::unique_lock lock(exchange.mutex);
        exchange.ended = true;
        exchange.changed.notify_all();
        exchange.changed.wait(lock, [&] { return exchange.handlerDone; });
    }
    exchange.worker.join();
    return answer(exchange);
}

const HttpServer::Route* HttpServer::findRoute(httplib::Request& request) const
{
    const std::string method = request.method == "HEAD" ? "GET" : request.method;
    for (const Route& route : m_routes) {
        if (route.method == method && std::regex_match(request.path, request.matches, route.pattern))
            return &route;
    }
    return nullptr;
}

bool HttpServer::call(Exchange& exchange, const std::function<void()>& handler)
{
    try {
        handler();
        return true;
    } catch (const std::exception& error) {
        exchange.response = httplib::Response();
        if (m_failure)
            m_failure(exchange.request, exchange.response, error.what());
    } catch (...) {
        exchange.response = httplib::Response();
        if (m_failure)
            m_failure(exchange.request, exchange.response, "unknown error");
    }
    if (exchange.response.status == -1)
        exchange.response.status = 500;
    return false;
}

bool HttpServer::answer(Exchange& exchange)
{
    httplib::Response& response = exchange.response;
    exchange.answered = true;
    if (response.status == -1)
        response.status = 200;
    if (response.status >= 400 && response.body.empty() && !response.content_provider_ && m_statusPage)
        m_statusPage(exchange.request, response);

    MHD_Response* reply = nullptr;
    if (response.content_provider_) {
        auto* body = new ProvidedBody{response.content_provider_, 0, response.content_length_};
        // Ranges were made to fit the file by the route that offers them; one is served, never several.
        const auto& ranges = exchange.request.ranges;
        if (response.status == 200 && ranges.size() == 1 && ranges[0].first >= 0 && ranges[0].second >= ranges[0].first
            && static_cast<size_t>(ranges[0].second) < response.content_length_) {
            body->offset = static_cast<size_t>(ranges[0].first);
            body->length = static_cast<size_t>(ranges[0].second - ranges[0].first + 1);
            response.status = 206;
            response.set_header("Content-Range",
                                "bytes " + std::to_string(ranges[0].first) + "-" + std::to_string(ranges[0].second) + "/"
                                    + std::to_string(response.content_length_));
        }
        response.set_header("Accept-Ranges", "bytes");
        reply = MHD_create_response_from_callback(body->length, kResponseBlock, &ProvidedBody::read, body, &ProvidedBody::release);
    } else {
        reply = MHD_create_response_from_buffer(response.body.size(), response.body.data(), MHD_RESPMEM_MUST_COPY);
    }
    if (!reply)
        return false;
    for (const auto& [name, value] : response.headers) {
        // The engine frames the answer itself.
        if (text::toLower(name) == "content-length")
            continue;
        MHD_add_response_header(reply, name.c_str(), value.c_str());
    }
    // A client with its answer may start the next request at once, before this connection's
    // completion is noticed: what the request held (an upload's slot) is free from here.
    exchange.hold.reset();
    const bool queued = MHD_queue_response(exchange.connection, static_cast<unsigned>(response.status), reply) == MHD_YES;
    MHD_destroy_response(reply);
    if (!queued)
        m_note("http: cannot answer " + text::printable(exchange.request.method) + " " + text::printable(exchange.request.path));
    return queued;
}
