#pragma once

#include "server/BlockPool.h"
#include "server/ClientAddress.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <sys/uio.h>

struct MHD_Connection;
struct MHD_Daemon;
class WorkerPool;

// The HTTP engine under the routes: libmicrohttpd's event loop on a fixed set of threads, so a
// connection costs a little memory and no thread of its own. Routes keep httplib's request and
// response types, which are plain data here; only the client side of httplib still speaks HTTP.
//
// Handlers of requests without a body run on the engine's threads. A body is read by the engine
// and handed, piece by piece, to its route on a small pool of workers (which may block on the
// disk or the database); while a route is behind, or is finishing its answer, the connection is
// suspended and costs nothing. A body must keep arriving: at least a minimum rate over each
// window, and whole within a deadline (its route's, or one its announced length allows at that
// rate), else the connection is closed.
class HttpServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
    // A route of small bodies: its handler runs once the body is in (at most Limits::bufferedBodyBytes
    // of it; the reader fails past that), on a worker.
    using BodyHandler = std::function<void(const httplib::Request&, httplib::Response&, const httplib::ContentReader&)>;

    // A body taken piece by piece, in order, on a worker, while the engine reads the next pieces.
    class BodyReceiver {
    public:
        virtual ~BodyReceiver() = default;
        // False: the route wants no more of it; the rest is read and dropped (up to a limit).
        virtual bool receive(const char* data, size_t size) = 0;
        // Several pieces at once, in order, each starting on a page (see AlignedBlock) and all but
        // the last spanning whole pages: a route storing the body can write them with one call.
        // By default, one after the other.
        virtual bool receiveBlocks(std::span<const iovec> pieces)
        {
            for (const iovec& piece : pieces) {
                if (!receive(static_cast<const char*>(piece.iov_base), piece.iov_len))
                    return false;
            }
            return true;
        }
        // The body ended, whole or not (the client left, or the route stopped it): sets the answer.
        // Called once, on a worker.
        virtual void finish(bool whole, httplib::Response& response) = 0;
    };
    // Asked at the head of a request with a body, on the engine's thread, before any of the body is
    // read: a receiver to go on ("100 Continue"), or none with the refusal set in the response.
    using StreamHandler = std::function<std::unique_ptr<BodyReceiver>(const httplib::Request&, httplib::Response&)>;

    // Asked of every request for a small-body route before any of its body is read: 100 to go on,
    // else the status of the answer set in the response (the connection closes when a body follows).
    using EarlyAnswer = std::function<int(const httplib::Request&, httplib::Response&)>;
    // A finished request, with how long it took from its head to its answer.
    using Observer = std::function<void(const httplib::Request&, const httplib::Response&, std::chrono::milliseconds took)>;
    using StatusPage = std::function<void(const httplib::Request&, httplib::Response&)>;
    using Failure = std::function<void(const httplib::Request&, httplib::Response&, const std::string& what)>;
    using Note = std::function<void(const std::string&)>;
    // Fills the answer to a request refused for its form (a malformed head, an Expect it cannot meet).
    using Refusal = std::function<void(httplib::Response&, int status, const std::string& code, const std::string& message)>;

    struct Limits {
        std::chrono::seconds headDeadline{10}; // from connecting (or the previous answer) to a whole request head
        unsigned idleTimeoutSeconds = 30; // a started request whose client goes silent
        size_t maximumHeaders = 100;
        // The request line and headers. The engine refuses a head that does not fit its memory
        // (connectionMemoryBytes) itself, with its own page; below that, this limit answers first.
        size_t maximumHeadBytes = 32 * 1024;
        size_t maximumRanges = 16;
        // A connection costs a few KiB and no thread, so many slow clients can be held while
        // others are served; descriptors bound this (see the service's start).
        unsigned maximumConnections = 10000;
        unsigned maximumConnectionsPerAddress = 256; // so one address cannot take them all
        // Each connection's memory for its head, its reads and its answer's head. Zeroed between
        // requests, so it is kept small; bodies are queued in buffers of their own.
        size_t connectionMemoryBytes = 64 * 1024;
        unsigned engineThreads = 4;
        unsigned workerThreads = 16;
        size_t queuedBodyBytes = 1024 * 1024; // read ahead of a route that is storing a body
        size_t bufferedBodyBytes = 64 * 1024; // the most of a small-body route's body kept for it
        size_t ignoredBodyBytes = 64 * 1024; // read after an answer was given without the body
        std::uint64_t drainedBodyBytes = 64 * 1024 * 1024; // ...or all of it, when it announced at most this
        size_t bodyMinimumRate = 1024; // bytes a second, averaged over bodyWindow
        std::chrono::seconds bodyWindow{30};
        std::chrono::seconds shortBodyDeadline{5}; // for routes of small unauthenticated bodies
    };

    struct Tls {
        std::string certificatePem;
        std::string keyPem;
    };

    HttpServer(Limits limits, Note note);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Patterns are regular expressions over the path. Fixed paths are found by lookup, and
    // patterns of fixed text and groups like "([A-Za-z0-9]{8})" without running an expression
    // (one runs for the route that matched, to fill Request::matches).
    void Get(const std::string& pattern, Handler handler);
    // A route with a short body deadline takes small bodies anyone may send: whole within
    // Limits::shortBodyDeadline.
    enum class BodyDeadline { FromLength, Short };
    void Post(const std::string& pattern, BodyHandler handler, BodyDeadline deadline = BodyDeadline::FromLength);
    void Post(const std::string& pattern, StreamHandler handler);
    void Put(const std::string& pattern, BodyHandler handler);
    void Patch(const std::string& pattern, BodyHandler handler);
    void Delete(const std::string& pattern, BodyHandler handler);

    // Serves `size` bytes of an open file from `offset` (a range of the request, if any, within
    // that), handed to the engine as a descriptor so that it can send it with sendfile. The
    // response owns `fd`.
    static void setFileContent(httplib::Response& response, int fd, std::uint64_t size, const std::string& contentType);

    // Reads `length` bytes of a body from `offset` into `into` (its whole contents), on a worker;
    // throws when it cannot. For bytes kept elsewhere, such as in object storage.
    using PieceReader = std::function<void(std::uint64_t offset, size_t length, std::vector<char>& into)>;
    // Serves `size` bytes fetched piece by piece with `reader` (a range of the request, if any,
    // within that): the next piece is fetched while one is sent, at most two are held, and the
    // connection waits suspended, without a thread, while a piece is on its way. A reader that
    // fails cuts the answer short (the client sees fewer bytes than announced).
    static void setFetchedContent(httplib::Response& response, std::uint64_t size, const std::string& contentType, PieceReader reader);

    void setEarlyAnswer(EarlyAnswer answer) { m_earlyAnswer = std::move(answer); }
    // For answers with a status and no body (404 of no route, a refused range).
    void setStatusPage(StatusPage page) { m_statusPage = std::move(page); }
    void setFailure(Failure failure) { m_failure = std::move(failure); }
    void setRefusal(Refusal refusal) { m_refusal = std::move(refusal); }
    void setRequestFinished(Observer observer) { m_finished = std::move(observer); }
    // How the client's address (Request::remote_addr) is found behind proxies. Before start().
    void setClientAddress(ClientAddress clientAddress) { m_clientAddress = std::move(clientAddress); }

    // Takes a listening socket and serves it on internal threads until stop(). Throws
    // std::runtime_error when the engine cannot start (TLS material it refuses, no threads).
    void start(int listeningSocket, const Tls* tls);
    // Waits for the requests in progress. Idempotent.
    void stop();

private:
    struct Route;
    struct Exchange;
    struct Connection {
        int fd = -1;
        std::chrono::steady_clock::time_point since;
        bool awaitingHead = true;
        bool served = false;
        bool dropped = false;
        // A body being read: how much came in the current window, and when it must be whole.
        bool inBody = false;
        bool bodyCut = false;
        bool paused = false; // suspended while its route catches up: its pace is ours, not the client's
        std::string request; // "METHOD path from address", for the line when it is cut
        std::chrono::steady_clock::time_point bodySince;
        std::chrono::steady_clock::time_point windowSince;
        std::chrono::steady_clock::time_point bodyDeadline;
        std::uint64_t bodyBytes = 0;
        std::uint64_t windowBytes = 0;
        std::uint64_t announced = 0; // 0: not announced
    };

    struct Callbacks; // the engine's C callbacks
    friend struct Callbacks;
    struct FetchedBody;
    friend struct FetchedBody;

    void add(const std::string& method, const std::string& pattern, Route route);
    bool begin(Exchange& exchange, const char* url, const char* method, const char* version);
    // Answers a request refused from its head whose body may be on its way.
    bool answerBeforeBody(Exchange& exchange);
    std::uint64_t ignoredLimit(const Exchange& exchange) const;
    bool beginBody(Exchange& exchange, const Route& route, std::unique_ptr<BodyReceiver> receiver);
    // Answers `status` and closes the connection: nothing after a head we refuse can be trusted
    // to be where the next request starts.
    bool refuse(Exchange& exchange, int status, const std::string& code, const std::string& message);
    void noteEngine(const std::string& line);
    bool receive(Exchange& exchange, const char* data, size_t* size);
    bool bodyEnded(Exchange& exchange);
    void drain(const std::shared_ptr<Exchange>& exchange);
    AlignedBlock smallBlock(Exchange& exchange);
    bool answer(Exchange& exchange);
    bool defer(Exchange& exchange);
    const Route* findRoute(httplib::Request& request) const;
    // False when the handler threw; the response is then the failure's.
    bool call(Exchange& exchange, const std::function<void()>& handler);
    void finished(Exchange& exchange);
    void watchHeads();
    void watchBody(Connection& entry, std::chrono::steady_clock::time_point now);
    // The body's pace is watched from here; `toItsEnd`: a refused body read to its end anyway.
    void startBody(Exchange& exchange, const Route* route, bool toItsEnd = false);
    void countBody(Exchange& exchange, size_t bytes);
    void setPaused(MHD_Connection* connection, bool paused);
    // Under the exchange's lock. False when the server is stopping: the connection then closes.
    bool suspend(Exchange& exchange);
    void resume(Exchange& exchange);
    // For an answer whose next bytes are still on their way. False when the server is stopping.
    bool suspendAnswer(MHD_Connection* connection);
    void resumeAnswer(MHD_Connection* connection);
    // Writes the request line of an answer the engine gave by itself.
    void engineAnswered(MHD_Connection* connection, const std::string& target);
    void endBody(MHD_Connection* connection);

    Limits m_limits;
    ClientAddress m_clientAddress{std::vector<std::string>()};
    Note m_note;
    std::vector<std::unique_ptr<Route>> m_routes; // in the order added: the first that matches wins
    std::unordered_map<std::string, size_t> m_fixedRoutes; // "METHOD path" -> index in m_routes
    EarlyAnswer m_earlyAnswer;
    StatusPage m_statusPage;
    Failure m_failure;
    Refusal m_refusal;
    Observer m_finished;

    MHD_Daemon* m_daemon = nullptr;
    std::string m_certificate;
    std::string m_key;
    std::unique_ptr<WorkerPool> m_workers;
    BlockPool m_blocks;
    std::mutex m_suspendMutex;
    std::condition_variable m_resumed;
    unsigned m_suspended = 0;
    bool m_closing = false;

    std::mutex m_connectionsMutex;
    std::condition_variable m_watchWake;
    std::map<MHD_Connection*, Connection> m_connections;
    bool m_stopping = false;
    std::thread m_watchdog;

    struct EngineLine {
        std::chrono::steady_clock::time_point noted;
        unsigned count = 0; // since noted, that one included
    };
    std::mutex m_engineLinesMutex;
    std::map<std::string, EngineLine> m_engineLines;
};
