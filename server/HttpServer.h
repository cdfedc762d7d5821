#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

struct MHD_Connection;
struct MHD_Daemon;

// The HTTP engine under the routes: libmicrohttpd, one thread per connection, with large reads
// and a deadline for the request head. Routes keep httplib's request and response types, which
// are plain data here; only the client side of httplib still speaks HTTP.
//
// A route with a body reads it through a ContentReader on a thread of its own, fed piece by
// piece from the connection's thread, so a body is never buffered whole. A body must keep
// arriving: at least a minimum rate over each window, and whole within a deadline (its route's,
// or one its announced length allows at that rate), else the connection is closed.
class HttpServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
    using BodyHandler = std::function<void(const httplib::Request&, httplib::Response&, const httplib::ContentReader&)>;
    // Asked of every request for a body route before any of its body is read: 100 to go on, else
    // the status of the answer set in the response (the connection closes when a body follows).
    // What it puts in `hold` is kept until the request is answered (a slot it took, say).
    using EarlyAnswer = std::function<int(const httplib::Request&, httplib::Response&, std::shared_ptr<void>& hold)>;
    using Observer = std::function<void(const httplib::Request&, const httplib::Response&)>;
    using StatusPage = std::function<void(const httplib::Request&, httplib::Response&)>;
    using Failure = std::function<void(const httplib::Request&, httplib::Response&, const std::string& what)>;
    using Note = std::function<void(const std::string&)>;
    // Fills the answer to a request refused for its form (a malformed head, an Expect it cannot meet).
    using Refusal = std::function<void(httplib::Response&, int status, const std::string& code, const std::string& message)>;

    struct Limits {
        std::chrono::seconds headDeadline{10}; // from connecting (or the previous answer) to a whole request head
        unsigned idleTimeoutSeconds = 30; // a started request whose client goes silent
        size_t maximumHeaders = 100;
        size_t maximumHeadBytes = 64 * 1024;
        size_t maximumRanges = 16;
        unsigned maximumConnections = 2000;
        unsigned maximumConnectionsPerAddress = 256; // so one address cannot take them all
        size_t readBufferBytes = 512 * 1024;
        size_t queuedBodyBytes = 1024 * 1024; // read ahead of a route that is storing a body
        size_t ignoredBodyBytes = 64 * 1024; // read after an answer was given without the body
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

    void Get(const std::string& pattern, Handler handler);
    // A route with a short body deadline takes small bodies anyone may send: whole within
    // Limits::shortBodyDeadline.
    enum class BodyDeadline { FromLength, Short };
    void Post(const std::string& pattern, BodyHandler handler, BodyDeadline deadline = BodyDeadline::FromLength);
    void Put(const std::string& pattern, BodyHandler handler);
    void Patch(const std::string& pattern, BodyHandler handler);
    void Delete(const std::string& pattern, BodyHandler handler);

    void setRequestStarted(Observer observer) { m_started = std::move(observer); }
    void setEarlyAnswer(EarlyAnswer answer) { m_earlyAnswer = std::move(answer); }
    // For answers with a status and no body (404 of no route, a refused range).
    void setStatusPage(StatusPage page) { m_statusPage = std::move(page); }
    void setFailure(Failure failure) { m_failure = std::move(failure); }
    void setRefusal(Refusal refusal) { m_refusal = std::move(refusal); }
    void setRequestFinished(Observer observer) { m_finished = std::move(observer); }

    // Takes a listening socket and serves it on internal threads until stop(). Throws
    // std::runtime_error when the engine cannot start (TLS material it refuses, no threads).
    void start(int listeningSocket, const Tls* tls);
    // Waits for the requests in progress. Idempotent.
    void stop();

private:
    struct Route {
        std::string method;
        std::regex pattern;
        Handler handler;
        BodyHandler bodyHandler;
        BodyDeadline deadline = BodyDeadline::FromLength;
    };
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

    bool begin(Exchange& exchange, MHD_Connection* connection, const char* url, const char* method, const char* version);
    // Answers `status` and closes the connection: nothing after a head we refuse can be trusted
    // to be where the next request starts.
    bool refuse(Exchange& exchange, int status, const std::string& code, const std::string& message);
    void noteEngine(const std::string& line);
    bool receive(Exchange& exchange, const char* data, size_t* size);
    bool finishBody(Exchange& exchange);
    bool answer(Exchange& exchange);
    bool defer(Exchange& exchange);
    const Route* findRoute(httplib::Request& request) const;
    // False when the handler threw; the response is then the failure's.
    bool call(Exchange& exchange, const std::function<void()>& handler);
    void watchHeads();
    void watchBody(Connection& entry, std::chrono::steady_clock::time_point now);
    void startBody(Exchange& exchange, const Route* route);
    void countBody(Exchange& exchange, size_t bytes);
    void endBody(MHD_Connection* connection);

    Limits m_limits;
    Note m_note;
    std::vector<Route> m_routes;
    Observer m_started;
    EarlyAnswer m_earlyAnswer;
    StatusPage m_statusPage;
    Failure m_failure;
    Refusal m_refusal;
    Observer m_finished;

    MHD_Daemon* m_daemon = nullptr;
    std::string m_certificate;
    std::string m_key;

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
