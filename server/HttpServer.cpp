#include "server/HttpServer.h"

#include "server/AlignedBlock.h"
#include "server/RequestBody.h"
#include "server/Text.h"
#include "server/WorkerPool.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <netinet/in.h>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr size_t kResponseBlock = 256 * 1024;
// A body is queued for its route in blocks: small ones until it proves large, so that a slow small
// body holds little. Then a quarter of the queue each: the route takes every whole block at once
// and stores them while the engine reads on into others.
constexpr size_t kFirstBlockBytes = 16 * 1024;
constexpr size_t kFirstBlocksBytes = 256 * 1024;
constexpr size_t kSpareSmallBlocks = 2;
constexpr size_t kBlockBytes = 256 * 1024;
// Idle large blocks kept for the next bodies, for all connections together.
constexpr size_t kKeptBlocks = 32;
// How much the engine grows a connection's read buffer by at a time.
constexpr size_t kMemoryIncrement = 8 * 1024;

// The status of the answer the engine gave by itself on this thread, as its log line says, until a
// request line is written for it.
thread_local unsigned t_engineAnswer = 0;

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

struct OpenFile {
    int fd = -1;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    explicit OpenFile(int descriptor)
        : fd(descriptor)
    {
    }
    ~OpenFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// A file's bytes as a content provider: the engine recognises it and takes the descriptor, and
// anything else can still read through it.
struct FileContent {
    std::shared_ptr<OpenFile> file;

    bool operator()(size_t offset, size_t length, httplib::DataSink& sink) const
    {
        std::vector<char> buffer(std::min<size_t>(length, kResponseBlock));
        const ssize_t n = ::pread(file->fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        return n > 0 && sink.write(buffer.data(), static_cast<size_t>(n));
    }
};

// Bytes fetched piece by piece from elsewhere, as a content provider: the engine recognises it and
// fetches ahead on its workers; anything else reads through it, a piece at a time.
struct FetchedContent {
    std::shared_ptr<HttpServer::PieceReader> reader;

    bool operator()(size_t offset, size_t length, httplib::DataSink& sink) const
    {
        std::vector<char> piece;
        (*reader)(offset, std::min<size_t>(length, kResponseBlock), piece);
        return !piece.empty() && sink.write(piece.data(), piece.size());
    }
};

// A route pattern that needs no regular expression to match: fixed text, groups of N letters and
// digits ("([A-Za-z0-9]{8})", as codes are), and ".*" at its end.
struct PlainPiece {
    enum class Kind { Text, Code, Rest } kind = Kind::Text;
    std::string text;
    size_t length = 0;
};

std::optional<std::vector<PlainPiece>> plainPattern(std::string_view pattern)
{
    static constexpr std::string_view kCode = "([A-Za-z0-9]{";
    static constexpr std::string_view kSpecial = "\\^$|?*+()[]{}";
    std::vector<PlainPiece> pieces;
    while (!pattern.empty()) {
        if (pattern.substr(0, kCode.size()) == kCode) {
            const size_t close = pattern.find("})", kCode.size());
            const auto length
                = close == std::string_view::npos ? std::nullopt : text::parseUnsigned(pattern.substr(kCode.size(), close - kCode.size()));
            if (!length || *length == 0)
                return std::nullopt;
            pieces.push_back({PlainPiece::Kind::Code, {}, static_cast<size_t>(*length)});
            pattern.remove_prefix(close + 2);
        } else if (pattern == ".*") {
            pieces.push_back({PlainPiece::Kind::Rest, {}, 0});
            pattern = {};
        } else if (kSpecial.find(pattern.front()) != std::string_view::npos || (pattern.front() == '.' && pattern.substr(1, 1) == "*")) {
            return std::nullopt;
        } else {
            // A lone "." is taken for itself: a route named "/appcast.xml" means that name.
            if (pieces.empty() || pieces.back().kind != PlainPiece::Kind::Text)
                pieces.push_back({});
            pieces.back().text += pattern.front();
            pattern.remove_prefix(1);
        }
    }
    return pieces;
}

bool matchesPlain(const std::vector<PlainPiece>& pieces, std::string_view path)
{
    for (const PlainPiece& piece : pieces) {
        switch (piece.kind) {
        case PlainPiece::Kind::Text:
            if (path.substr(0, piece.text.size()) != piece.text)
                return false;
            path.remove_prefix(piece.text.size());
            break;
        case PlainPiece::Kind::Code:
            if (path.size() < piece.length)
                return false;
            for (size_t i = 0; i < piece.length; ++i) {
                const char c = path[i];
                if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
                    return false;
            }
            path.remove_prefix(piece.length);
            break;
        case PlainPiece::Kind::Rest:
            return true;
        }
    }
    return path.empty();
}

// A small body kept whole for a handler that reads it at once.
class BufferedBody : public HttpServer::BodyReceiver {
public:
    BufferedBody(const httplib::Request& request, HttpServer::BodyHandler handler, size_t limit, size_t droppedLimit)
        : m_request(request)
        , m_handler(std::move(handler))
        , m_limit(limit)
        , m_droppedLimit(droppedLimit)
    {
    }

    bool receive(const char* data, size_t size) override
    {
        const size_t kept = std::min(size, m_limit + 1 - std::min(m_limit + 1, m_body.size()));
        m_body.append(data, kept);
        m_dropped += size - kept;
        return m_dropped <= m_droppedLimit;
    }

    void finish(bool whole, httplib::Response& response) override
    {
        // More than the limit fails the reader once the handler has seen past it.
        const bool complete = whole && m_body.size() <= m_limit;
        const httplib::ContentReader reader(
            [&](const httplib::ContentReceiver& receiver) {
                return (m_body.empty() || receiver(m_body.data(), m_body.size())) && complete;
            },
            [](const httplib::MultipartContentHeader&, const httplib::ContentReceiver&) { return false; });
        m_handler(m_request, response, reader);
    }

private:
    const httplib::Request& m_request;
    HttpServer::BodyHandler m_handler;
    size_t m_limit;
    size_t m_droppedLimit;
    std::string m_body;
    size_t m_dropped = 0;
};

// A request without a body whose handler may block (credentials to check against a password
// hash), run on a worker so that the engine's threads go on serving everyone else.
class HandlerOnWorker : public HttpServer::BodyReceiver {
public:
    explicit HandlerOnWorker(std::function<void(httplib::Response&)> handler)
        : m_handler(std::move(handler))
    {
    }
    bool receive(const char*, size_t) override { return false; }
    void finish(bool, httplib::Response& response) override { m_handler(response); }

private:
    std::function<void(httplib::Response&)> m_handler;
};

} // namespace

struct HttpServer::Route {
    std::string method;
    std::optional<std::vector<PlainPiece>> plain;
    bool fixed = false; // one piece of text: found by lookup
    bool hasGroups = false;
    std::regex expression;
    Handler handler;
    BodyHandler bodyHandler;
    StreamHandler streamHandler;
    BodyDeadline deadline = BodyDeadline::FromLength;
};

// One request, from its head to the end of its answer. The engine's thread holds it from the
// request line on; a worker holds it too while it feeds the body to its route.
struct HttpServer::Exchange {
    MHD_Connection* connection = nullptr;
    std::shared_ptr<Exchange> self; // the engine's hold, dropped when the engine is done with it
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
    std::string target; // as the request line has it, for a request the engine refused itself
    bool begun = false;
    httplib::Request request;
    httplib::Response response;
    bool answered = false;
    bool deferred = false;
    std::uint64_t ignored = 0;

    // The body on its way to the route's receiver: a short queue, so that reading the socket and
    // storing what came overlap. Guarded by `mutex` from here on.
    std::unique_ptr<BodyReceiver> receiver;
    std::mutex mutex;
    // Page-aligned, so that a route storing the body can write them to disk as they are.
    std::deque<AlignedBlock> queue;
    std::vector<AlignedBlock> spare; // small blocks, for the next ones
    size_t queuedBytes = 0; // in the queue, not yet taken by the route
    std::uint64_t received = 0;
    bool draining = false; // a worker has it, or will
    bool ended = false; // all of the body is queued
    bool gone = false; // the connection closed first
    bool stopped = false; // the receiver wants no more
    bool failed = false; // the receiver threw; the response is the failure's
    bool finished = false; // the route set its answer
    bool suspended = false;
};

// The answer of a FetchedContent on its way: pieces fetched on workers, ahead of the engine's
// reads, into a queue of at most two. The engine holds one reference, through the response; each
// fetch in flight holds another.
struct HttpServer::FetchedBody : std::enable_shared_from_this<FetchedBody> {
    static constexpr size_t kPiece = 1024 * 1024;
    static constexpr size_t kPiecesAhead = 2;

    FetchedBody(HttpServer& owner, MHD_Connection* on, std::shared_ptr<PieceReader> source, std::uint64_t start, std::uint64_t bytes)
        : server(owner)
        , connection(on)
        , reader(std::move(source))
        , offset(start)
        , length(bytes)
    {
    }

    HttpServer& server;
    MHD_Connection* const connection;
    const std::shared_ptr<PieceReader> reader;
    const std::uint64_t offset; // of the first byte served, in the whole body
    const std::uint64_t length;

    std::mutex mutex;
    std::deque<std::vector<char>> pieces;
    size_t taken = 0; // of the front piece, by the engine
    std::uint64_t asked = 0; // bytes asked of the reader so far
    bool fetching = false;
    bool failed = false;
    bool gone = false; // the engine is done with the answer
    bool suspended = false; // waiting for a piece

    // Under the lock.
    void fetchAhead()
    {
        if (fetching || failed || gone || asked >= length || pieces.size() >= kPiecesAhead)
            return;
        fetching = true;
        const std::uint64_t at = asked;
        const size_t size = static_cast<size_t>(std::min<std::uint64_t>(kPiece, length - asked));
        asked += size;
        server.m_workers->post([self = shared_from_this(), at, size] { self->fetch(at, size); });
    }

    void fetch(std::uint64_t at, size_t size)
    {
        std::vector<char> piece;
        std::string failure;
        try {
            (*reader)(offset + at, size, piece);
            if (piece.size() != size)
                failure = std::to_string(piece.size()) + " bytes instead of " + std::to_string(size);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        std::lock_guard lock(mutex);
        fetching = false;
        if (!failure.empty()) {
            failed = true;
            if (!gone)
                server.m_note("http: answer cut short at byte " + std::to_string(offset + at) + ": " + failure);
        } else {
            pieces.push_back(std::move(piece));
        }
        fetchAhead();
        if (suspended) {
            suspended = false;
            server.resumeAnswer(connection);
        }
    }

    static ssize_t read(void* self, uint64_t, char* buffer, size_t maximum)
    {
        FetchedBody& body = **static_cast<std::shared_ptr<FetchedBody>*>(self);
        std::lock_guard lock(body.mutex);
        if (!body.pieces.empty()) {
            std::vector<char>& front = body.pieces.front();
            const size_t size = std::min(maximum, front.size() - body.taken);
            std::memcpy(buffer, front.data() + body.taken, size);
            body.taken += size;
            if (body.taken == front.size()) {
                body.pieces.pop_front();
                body.taken = 0;
                body.fetchAhead();
            }
            return static_cast<ssize_t>(size);
        }
        if (body.failed || !body.fetching || !body.server.suspendAnswer(body.connection))
            return MHD_CONTENT_READER_END_WITH_ERROR;
        // Nothing to send until the piece on its way comes: its fetch resumes the connection.
        body.suspended = true;
        return 0;
    }

    static void release(void* self)
    {
        auto* hold = static_cast<std::shared_ptr<FetchedBody>*>(self);
        {
            std::lock_guard lock((*hold)->mutex);
            (*hold)->gone = true;
        }
        delete hold;
    }
};

struct HttpServer::Callbacks {
    static MHD_Result request(void* self, MHD_Connection* connection, const char* url, const char* method, const char* version,
                              const char* uploadData, size_t* uploadSize, void** context)
    {
        auto& server = *static_cast<HttpServer*>(self);
        auto* exchange = static_cast<Exchange*>(*context);
        if (!exchange) {
            exchange = static_cast<Exchange*>(uri(self, url, connection));
            *context = exchange;
        }
        if (!exchange->begun) {
            exchange->begun = true;
            exchange->connection = connection;
            return server.begin(*exchange, url, method, version) ? MHD_YES : MHD_NO;
        }
        if (exchange->deferred && !exchange->answered && *uploadSize == 0)
            return server.answer(*exchange) ? MHD_YES : MHD_NO;
        if (exchange->answered || exchange->deferred) {
            // Answered before its body: take a little of it so the client sees the answer, then close.
            server.countBody(*exchange, *uploadSize);
            exchange->ignored += *uploadSize;
            *uploadSize = 0;
            return exchange->ignored <= server.ignoredLimit(*exchange) ? MHD_YES : MHD_NO;
        }
        if (*uploadSize > 0)
            return server.receive(*exchange, uploadData, uploadSize) ? MHD_YES : MHD_NO;
        return server.bodyEnded(*exchange) ? MHD_YES : MHD_NO;
    }

    // The request line is in: the request starts here, whether the engine or a route answers it.
    static void* uri(void*, const char* uri, MHD_Connection* connection)
    {
        auto exchange = std::make_shared<Exchange>();
        exchange->self = exchange;
        exchange->connection = connection;
        exchange->target = uri ? uri : "";
        return exchange.get();
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
                found->second.paused = false;
                found->second.awaitingHead = true;
                found->second.served = true;
                found->second.since = std::chrono::steady_clock::now();
            }
        }
        if (!exchange)
            return;
        const std::shared_ptr<Exchange> hold = std::move(exchange->self);
        if (!exchange->begun) {
            server.engineAnswered(connection, exchange->target);
            return;
        }
        bool finishing = false;
        bool withReceiver = false;
        {
            std::lock_guard lock(exchange->mutex);
            withReceiver = exchange->receiver || exchange->finished;
        }
        if (withReceiver) {
            {
                std::lock_guard lock(exchange->mutex);
                exchange->gone = !exchange->answered;
                finishing = exchange->gone && !exchange->finished;
                if (finishing && !exchange->draining) {
                    exchange->draining = true;
                    server.m_workers->post([&server, hold] { server.drain(hold); });
                }
            }
            if (exchange->gone) {
                // Cut off mid-body (the client left, or sent more than a refusal lets through): what
                // the route makes of it is logged, though it never reaches the client. A body cut
                // for its pace has had its line.
                if (!cut)
                    server.m_note("answer to " + text::printable(exchange->request.method) + " " + text::printable(exchange->request.path)
                                  + " not sent: the connection closed mid-body");
                // The worker writes the request's line once the route has finished.
                if (finishing)
                    return;
            }
        }
        if (exchange->answered || exchange->gone)
            server.finished(*exchange);
    }

    static void connection(void* self, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode what)
    {
        auto& server = *static_cast<HttpServer*>(self);
        if (what == MHD_CONNECTION_NOTIFY_CLOSED) {
            // A head the engine refused before its request line was whole (a line too long) has no
            // request of its own; its line is written here.
            if (t_engineAnswer != 0)
                server.engineAnswered(connection, {});
            std::lock_guard lock(server.m_connectionsMutex);
            server.m_connections.erase(connection);
            return;
        }
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        Connection entry;
        entry.fd = info ? info->connect_fd : -1;
        entry.since = std::chrono::steady_clock::now();
        std::lock_guard lock(server.m_connectionsMutex);
        server.m_connections[connection] = entry;
    }

    static void log(void* self, const char* format, va_list arguments)
    {
        char buffer[512];
        std::vsnprintf(buffer, sizeof buffer, format, arguments);
        static_cast<HttpServer*>(self)->noteEngine(buffer);
    }
};

void HttpServer::engineAnswered(MHD_Connection* connection, const std::string& target)
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_HTTP_STATUS);
    unsigned status = info ? info->http_status : 0;
    // Without a request line the engine keeps no status; its log line, just before on this
    // thread, has it.
    if (target.empty())
        status = status != 0 ? status : t_engineAnswer;
    // No status: the client left mid-head.
    if (status == 0)
        return;
    t_engineAnswer = 0;
    Exchange exchange;
    exchange.request.remote_addr = addressOf(connection, exchange.request.remote_port);
    exchange.request.path = target.substr(0, target.find('?'));
    exchange.response.status = static_cast<int>(status);
    finished(exchange);
}

void HttpServer::finished(Exchange& exchange)
{
    if (m_finished)
        m_finished(exchange.request, exchange.response,
                   std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - exchange.since));
}

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
    // page; the status is what matters, and the request's line says it.
    static constexpr std::string_view kEngineAnswer = "Error processing request (HTTP response code is ";
    if (line.rfind(kEngineAnswer, 0) == 0) {
        const auto status = text::parseUnsigned(std::string_view(line).substr(kEngineAnswer.size(), 3));
        t_engineAnswer = status ? static_cast<unsigned>(*status) : 0;
        line = "answered " + line.substr(kEngineAnswer.size(), 3) + " itself and closed the connection";
    }
    const bool acceptFailed = line.find("Error accepting connection") != std::string::npos;
    if (acceptFailed) {
        // Out of descriptors (or memory): the engine retries at once and would spin. This runs on
        // the thread that accepts, so pausing here is the back-off.
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
    , m_blocks(kBlockBytes, kKeptBlocks)
{
}

HttpServer::~HttpServer()
{
    stop();
}

void HttpServer::add(const std::string& method, const std::string& pattern, Route route)
{
    route.method = method;
    route.plain = plainPattern(pattern);
    route.fixed = route.plain && route.plain->size() == 1 && route.plain->front().kind == PlainPiece::Kind::Text;
    route.hasGroups = pattern.find('(') != std::string::npos;
    route.expression = std::regex(pattern);
    if (route.fixed)
        m_fixedRoutes.emplace(method + " " + route.plain->front().text, m_routes.size());
    m_routes.push_back(std::make_unique<Route>(std::move(route)));
}

void HttpServer::Get(const std::string& pattern, Handler handler)
{
    Route route;
    route.handler = std::move(handler);
    add("GET", pattern, std::move(route));
}

void HttpServer::Post(const std::string& pattern, BodyHandler handler, BodyDeadline deadline)
{
    Route route;
    route.bodyHandler = std::move(handler);
    route.deadline = deadline;
    add("POST", pattern, std::move(route));
}

void HttpServer::Post(const std::string& pattern, StreamHandler handler)
{
    Route route;
    route.streamHandler = std::move(handler);
    add("POST", pattern, std::move(route));
}

void HttpServer::Put(const std::string& pattern, BodyHandler handler)
{
    Route route;
    route.bodyHandler = std::move(handler);
    add("PUT", pattern, std::move(route));
}

void HttpServer::Patch(const std::string& pattern, BodyHandler handler)
{
    Route route;
    route.bodyHandler = std::move(handler);
    add("PATCH", pattern, std::move(route));
}

void HttpServer::Delete(const std::string& pattern, BodyHandler handler)
{
    Route route;
    route.bodyHandler = std::move(handler);
    add("DELETE", pattern, std::move(route));
}

void HttpServer::setFetchedContent(httplib::Response& response, std::uint64_t size, const std::string& contentType, PieceReader reader)
{
    response.set_content_provider(static_cast<size_t>(size), contentType, FetchedContent{std::make_shared<PieceReader>(std::move(reader))});
}

void HttpServer::setFileContent(httplib::Response& response, int fd, std::uint64_t size, const std::string& contentType)
{
    response.set_content_provider(static_cast<size_t>(size), contentType, FileContent{std::make_shared<OpenFile>(fd)});
}

void HttpServer::start(int listeningSocket, const Tls* tls)
{
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (tls) {
        flags |= MHD_USE_TLS;
        m_certificate = tls->certificatePem;
        m_key = tls->keyPem;
    }
    using Logger = void (*)(void*, const char*, va_list);
    const Logger logger = &Callbacks::log;
    using UriLogger = void* (*)(void*, const char*, MHD_Connection*);
    const UriLogger uriLogger = &Callbacks::uri;
    m_workers = std::make_unique<WorkerPool>(m_limits.workerThreads);
    {
        std::lock_guard lock(m_suspendMutex);
        m_closing = false;
    }
    m_daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &Callbacks::request, this, MHD_OPTION_EXTERNAL_LOGGER, logger, this, MHD_OPTION_LISTEN_SOCKET,
        listeningSocket, MHD_OPTION_THREAD_POOL_SIZE, m_limits.engineThreads, MHD_OPTION_CONNECTION_TIMEOUT, m_limits.idleTimeoutSeconds,
        MHD_OPTION_CONNECTION_LIMIT, m_limits.maximumConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, m_limits.maximumConnectionsPerAddress,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, m_limits.connectionMemoryBytes, MHD_OPTION_CONNECTION_MEMORY_INCREMENT, kMemoryIncrement,
        MHD_OPTION_URI_LOG_CALLBACK, uriLogger, this, MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::completed, this,
        MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::connection, this, tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, m_certificate.c_str(),
        MHD_OPTION_HTTPS_MEM_KEY, m_key.c_str(), MHD_OPTION_END);
    if (!m_daemon) {
        m_workers.reset();
        throw std::runtime_error(tls ? "cannot start the HTTPS service (is the key the certificate's, both in PEM?)"
                                     : "cannot start the HTTP service");
    }
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
        const int listening = MHD_quiesce_daemon(m_daemon);
        {
            // Every connection ends; none may stay suspended when the engine stops, so the routes
            // still storing or answering a body finish first.
            std::unique_lock lock(m_suspendMutex);
            m_closing = true;
            {
                std::lock_guard connections(m_connectionsMutex);
                for (auto& [connection, entry] : m_connections) {
                    if (entry.fd >= 0)
                        ::shutdown(entry.fd, SHUT_RDWR);
                }
            }
            m_resumed.wait(lock, [this] { return m_suspended == 0; });
        }
        MHD_stop_daemon(m_daemon);
        m_daemon = nullptr;
        if (listening >= 0)
            ::close(listening);
    }
    if (m_workers)
        m_workers->stop();
}

void HttpServer::watchHeads()
{
    std::unique_lock lock(m_connectionsMutex);
    while (!m_stopping) {
        m_watchWake.wait_for(lock, std::chrono::milliseconds(250));
        const auto now = std::chrono::steady_clock::now();
        size_t slow = 0;
        for (auto& [connection, entry] : m_connections) {
            if (entry.inBody && !entry.dropped && !entry.paused && entry.fd >= 0)
                watchBody(entry, now);
            if (!entry.awaitingHead || entry.dropped || entry.fd < 0 || now - entry.since < m_limits.headDeadline)
                continue;
            // A kept-alive connection gone quiet simply ends; one that never got a request through is worth a line.
            if (!entry.served)
                ++slow;
            // The engine sees the end of the stream and closes the connection itself.
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
    // The engine sees the end of the stream; the route is told the body ended short and its
    // partial work is dropped.
    ::shutdown(entry.fd, SHUT_RDWR);
    entry.dropped = true;
    entry.bodyCut = true;
}

void HttpServer::startBody(Exchange& exchange, const Route* route, bool toItsEnd)
{
    const body::Shape shape = body::shapeOf(exchange.request);
    const auto now = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration allowed = m_limits.shortBodyDeadline;
    // Bodies that are read to their end get the time their length needs at the minimum rate, and
    // a window more; bodies of unknown length only the rate.
    if ((route && route->deadline == BodyDeadline::FromLength && !exchange.answered && !exchange.deferred) || toItsEnd) {
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
    entry.paused = false;
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

void HttpServer::setPaused(MHD_Connection* connection, bool paused)
{
    std::lock_guard lock(m_connectionsMutex);
    const auto found = m_connections.find(connection);
    if (found == m_connections.end())
        return;
    found->second.paused = paused;
    if (!paused) {
        // The window starts again from when the client could send.
        found->second.windowSince = std::chrono::steady_clock::now();
        found->second.windowBytes = 0;
    }
}

void HttpServer::endBody(MHD_Connection* connection)
{
    std::lock_guard lock(m_connectionsMutex);
    const auto found = m_connections.find(connection);
    if (found != m_connections.end())
        found->second.inBody = false;
}

bool HttpServer::suspend(Exchange& exchange)
{
    std::lock_guard lock(m_suspendMutex);
    if (m_closing)
        return false;
    exchange.suspended = true;
    ++m_suspended;
    MHD_suspend_connection(exchange.connection);
    return true;
}

void HttpServer::resume(Exchange& exchange)
{
    // Decided under the exchange's lock: it was suspended, and is no more.
    MHD_resume_connection(exchange.connection);
    std::lock_guard lock(m_suspendMutex);
    --m_suspended;
    m_resumed.notify_all();
}

bool HttpServer::suspendAnswer(MHD_Connection* connection)
{
    std::lock_guard lock(m_suspendMutex);
    if (m_closing)
        return false;
    ++m_suspended;
    MHD_suspend_connection(connection);
    return true;
}

void HttpServer::resumeAnswer(MHD_Connection* connection)
{
    MHD_resume_connection(connection);
    std::lock_guard lock(m_suspendMutex);
    --m_suspended;
    m_resumed.notify_all();
}

bool HttpServer::begin(Exchange& exchange, const char* url, const char* method, const char* version)
{
    MHD_Connection* connection = exchange.connection;
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

    if (head.count > m_limits.maximumHeaders || head.bytes > m_limits.maximumHeadBytes)
        return refuse(exchange, 431, "Request.HeadTooLarge", "The request head is too large");
    request.remote_addr = m_clientAddress.of(request, request.remote_addr);
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
    const bool bodyless = body::shapeOf(request).framing == body::Framing::None;
    // Refused from its head: the client may be sending the body still, so the connection closes.
    const auto refuseBody = [&] {
        if (exchange.response.status == -1)
            exchange.response.status = 500;
        return bodyless ? defer(exchange) : answerBeforeBody(exchange);
    };
    if (!route) {
        exchange.response.status = 404;
        return refuseBody();
    }
    if (route->streamHandler) {
        std::unique_ptr<BodyReceiver> receiver;
        if (!call(exchange, [&] { receiver = route->streamHandler(request, exchange.response); }) || !receiver)
            return refuseBody();
        return beginBody(exchange, *route, std::move(receiver));
    }
    if (route->bodyHandler && !bodyless) {
        if (m_earlyAnswer) {
            int status = 100;
            if (!call(exchange, [&] { status = m_earlyAnswer(request, exchange.response); }))
                status = exchange.response.status;
            if (status != 100) {
                exchange.response.status = status;
                return refuseBody();
            }
        }
        return beginBody(
            exchange, *route,
            std::make_unique<BufferedBody>(request, route->bodyHandler, m_limits.bufferedBodyBytes, m_limits.ignoredBodyBytes));
    }
    const auto handle = [route, &request](httplib::Response& response) {
        if (route->handler)
            route->handler(request, response);
        else
            route->bodyHandler(request, response, httplib::ContentReader([](auto) { return true; }, {}));
    };
    if (bodyless && request.has_header("Authorization"))
        return beginBody(exchange, *route, std::make_unique<HandlerOnWorker>(handle));
    call(exchange, [&] { handle(exchange.response); });
    return bodyless ? defer(exchange) : answer(exchange);
}

bool HttpServer::answerBeforeBody(Exchange& exchange)
{
    exchange.response.set_header("Connection", "close");
    const body::Shape shape = body::shapeOf(exchange.request);
    const bool waits = text::toLower(text::trim(exchange.request.get_header_value("Expect"))) == "100-continue";
    if (!waits && shape.framing == body::Framing::Length && shape.length <= m_limits.drainedBodyBytes) {
        // The body is on its way: answered once it is read, as closing on unread bytes would reset
        // the connection, and the client's system would drop the answer with it.
        startBody(exchange, nullptr, true);
        return defer(exchange);
    }
    startBody(exchange, nullptr);
    return answer(exchange);
}

std::uint64_t HttpServer::ignoredLimit(const Exchange& exchange) const
{
    // Closing with the client's bytes unread resets the connection, and the client's system then
    // drops the answer it has not read yet: a body of moderate announced length is read to its
    // end (within its deadline), so the client, still sending, sees the answer.
    const body::Shape shape = body::shapeOf(exchange.request);
    if (shape.framing == body::Framing::Length && shape.length <= m_limits.drainedBodyBytes)
        return shape.length;
    return m_limits.ignoredBodyBytes;
}

bool HttpServer::beginBody(Exchange& exchange, const Route& route, std::unique_ptr<BodyReceiver> receiver)
{
    exchange.receiver = std::move(receiver);
    if (body::shapeOf(exchange.request).framing != body::Framing::None)
        startBody(exchange, &route);
    // The engine goes on with "100 Continue" if the client asked for it, then the body.
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
    if (exchange.stopped) {
        // The route has what it wanted: the rest is read and dropped, up to a limit.
        exchange.ignored += *size;
        *size = 0;
        return exchange.ignored <= ignoredLimit(exchange);
    }
    // Pieces are gathered into blocks, and a worker is woken for whole blocks only: a large body
    // costs a wake-up per block, not per read, and a trickle costs none until it ends.
    const bool large = exchange.received >= kFirstBlocksBytes;
    exchange.received += *size;
    size_t taken = 0;
    while (taken < *size) {
        if (exchange.queue.empty() || exchange.queue.back().full())
            exchange.queue.push_back(large ? m_blocks.take() : smallBlock(exchange));
        taken += exchange.queue.back().append(data + taken, *size - taken);
    }
    exchange.queuedBytes += *size;
    *size = 0;
    if (!exchange.draining && exchange.queue.front().full()) {
        exchange.draining = true;
        m_workers->post([this, hold = exchange.self] { drain(hold); });
    }
    if (exchange.queuedBytes < m_limits.queuedBodyBytes)
        return true;
    // The route is behind: the engine reads no more of this connection until it has caught up.
    if (!suspend(exchange))
        return false;
    setPaused(exchange.connection, true);
    return true;
}

// The engine's last call for the body, and again once the route has set its answer.
bool HttpServer::bodyEnded(Exchange& exchange)
{
    std::unique_lock lock(exchange.mutex);
    if (exchange.finished) {
        lock.unlock();
        exchange.receiver.reset();
        return answer(exchange);
    }
    if (!exchange.ended) {
        exchange.ended = true;
        endBody(exchange.connection);
        if (!exchange.draining) {
            exchange.draining = true;
            m_workers->post([this, hold = exchange.self] { drain(hold); });
        }
    }
    // Suspended until the route has set its answer (a stored upload is answered once durable).
    return suspend(exchange);
}

AlignedBlock HttpServer::smallBlock(Exchange& exchange)
{
    if (exchange.spare.empty())
        return AlignedBlock(kFirstBlockBytes);
    AlignedBlock block = std::move(exchange.spare.back());
    exchange.spare.pop_back();
    block.clear();
    return block;
}

void HttpServer::drain(const std::shared_ptr<Exchange>& owned)
{
    Exchange& exchange = *owned;
    std::unique_lock lock(exchange.mutex);
    std::vector<AlignedBlock> run;
    std::vector<iovec> pieces;
    for (;;) {
        // Every whole block queued, and the last one too once the body has ended: the route may
        // store them with one write. The block the engine is filling stays with it.
        while (!exchange.queue.empty() && (exchange.queue.front().full() || exchange.ended || exchange.gone)) {
            exchange.queuedBytes -= exchange.queue.front().size();
            run.push_back(std::move(exchange.queue.front()));
            exchange.queue.pop_front();
        }
        if (!run.empty()) {
            // Out of the queue from here: the engine reads on into other blocks while the route
            // stores these.
            if (exchange.suspended && !exchange.ended && exchange.queuedBytes < m_limits.queuedBodyBytes / 2) {
                exchange.suspended = false;
                setPaused(exchange.connection, false);
                resume(exchange);
            }
            const bool skip = exchange.stopped || exchange.gone;
            lock.unlock();
            bool more = false;
            bool threw = false;
            if (!skip) {
                pieces.clear();
                for (AlignedBlock& block : run)
                    pieces.push_back({block.data(), block.size()});
                threw = !call(exchange, [&] { more = exchange.receiver->receiveBlocks(pieces); });
            }
            for (AlignedBlock& block : run) {
                if (block.capacity() == m_blocks.blockBytes())
                    m_blocks.give(std::move(block));
            }
            lock.lock();
            for (AlignedBlock& block : run) {
                if (block.capacity() == kFirstBlockBytes && exchange.spare.size() < kSpareSmallBlocks)
                    exchange.spare.push_back(std::move(block));
            }
            run.clear();
            if (!skip && !more) {
                exchange.stopped = true;
                exchange.failed = exchange.failed || threw;
                exchange.queue.clear();
                exchange.queuedBytes = 0;
            }
            continue;
        }
        if ((exchange.ended || exchange.gone) && !exchange.finished) {
            const bool whole = exchange.ended && !exchange.gone;
            const bool failed = exchange.failed;
            lock.unlock();
            if (!failed)
                call(exchange, [&] { exchange.receiver->finish(whole, exchange.response); });
            lock.lock();
            exchange.finished = true;
            if (exchange.gone) {
                exchange.draining = false;
                lock.unlock();
                exchange.receiver.reset();
                finished(exchange);
                return;
            }
            if (exchange.suspended) {
                exchange.suspended = false;
                resume(exchange);
            }
        }
        exchange.draining = false;
        return;
    }
}

const HttpServer::Route* HttpServer::findRoute(httplib::Request& request) const
{
    const std::string method = request.method == "HEAD" ? "GET" : request.method;
    size_t best = m_routes.size();
    const auto fixed = m_fixedRoutes.find(method + " " + request.path);
    if (fixed != m_fixedRoutes.end())
        best = fixed->second;
    // A pattern added before the fixed path that matches it too comes first.
    for (size_t i = 0; i < best; ++i) {
        const Route& route = *m_routes[i];
        if (route.fixed || route.method != method)
            continue;
        if (route.plain ? matchesPlain(*route.plain, request.path) : std::regex_match(request.path, route.expression)) {
            best = i;
            break;
        }
    }
    if (best == m_routes.size())
        return nullptr;
    const Route& route = *m_routes[best];
    if (route.hasGroups)
        std::regex_match(request.path, request.matches, route.expression);
    return &route;
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
        size_t offset = 0;
        size_t length = response.content_length_;
        // Ranges were made to fit the file by the route that offers them; one is served, never several.
        const auto& ranges = exchange.request.ranges;
        if (response.status == 200 && ranges.size() == 1 && ranges[0].first >= 0 && ranges[0].second >= ranges[0].first
            && static_cast<size_t>(ranges[0].second) < response.content_length_) {
            offset = static_cast<size_t>(ranges[0].first);
            length = static_cast<size_t>(ranges[0].second - ranges[0].first + 1);
            response.status = 206;
            response.set_header("Content-Range",
                                "bytes " + std::to_string(ranges[0].first) + "-" + std::to_string(ranges[0].second) + "/"
                                    + std::to_string(response.content_length_));
        }
        response.set_header("Accept-Ranges", "bytes");
        auto* file = response.content_provider_.target<FileContent>();
        auto* fetched = response.content_provider_.target<FetchedContent>();
        if (fetched) {
            auto body = std::make_shared<FetchedBody>(*this, exchange.connection, fetched->reader, offset, length);
            {
                std::lock_guard lock(body->mutex);
                body->fetchAhead();
            }
            auto* hold = new std::shared_ptr<FetchedBody>(body);
            reply = MHD_create_response_from_callback(length, kResponseBlock, &FetchedBody::read, hold, &FetchedBody::release);
            if (!reply)
                FetchedBody::release(hold);
        } else if (file && file->file->fd >= 0) {
            // The engine owns the descriptor from here, and may send it with sendfile.
            const int fd = std::exchange(file->file->fd, -1);
            reply = MHD_create_response_from_fd_at_offset64(length, fd, offset);
            if (!reply)
                ::close(fd);
        } else {
            auto* body = new ProvidedBody{response.content_provider_, offset, length};
            reply = MHD_create_response_from_callback(length, kResponseBlock, &ProvidedBody::read, body, &ProvidedBody::release);
        }
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
    const bool queued = MHD_queue_response(exchange.connection, static_cast<unsigned>(response.status), reply) == MHD_YES;
    MHD_destroy_response(reply);
    if (!queued)
        m_note("http: cannot answer " + text::printable(exchange.request.method) + " " + text::printable(exchange.request.path));
    return queued;
}
