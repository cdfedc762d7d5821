// Clients that try to take the service down or confuse it: each is refused or cut off, and an
// ordinary client is still served.
#include "ServerHarness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <vector>

namespace {

std::string get(const std::string& path, const std::string& extraHeaders = {})
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}

bool servesHomePage(const RunningService& service)
{
    auto home = service.client().Get("/");
    return home && home->status == 200;
}

TEST(HostileClients, SlowHeadsNeitherStarveOthersNorStayPastTheirDeadline)
{
    RunningService service;
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 200; ++i) {
        slow.push_back(std::make_unique<RawConnection>(service.port()));
        ASSERT_TRUE(slow.back()->send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    }

    // With every slow connection open, another client is answered at once.
    RawConnection normal(service.port());
    ASSERT_TRUE(normal.send(get("/", "Connection: close\r\n")));
    const std::string answer = normal.receive("\r\n\r\n", std::chrono::seconds(1));
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;

    // A byte now and then does not buy more time: the head must be whole within 10 s.
    for (int round = 0; round < 3; ++round) {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        for (auto& connection : slow)
            connection->send("X-Slow: 1\r\n");
    }
    int closed = 0;
    for (auto& connection : slow)
        closed += connection->closedByPeer(std::chrono::seconds(3)) ? 1 : 0;
    EXPECT_EQ(closed, 200);
    EXPECT_TRUE(service.waitForLogLine("sent no whole request within 10 s"));
    EXPECT_TRUE(servesHomePage(service));
}

// This process's threads: the service's and the test's own.
int threadsOfThisProcess()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    }
    return -1;
}

// Slow bodies from many addresses, each under the per-address cap, hold 2,000 connections open at
// once; they cost no thread each, and an ordinary client is still answered, pages and uploads.
TEST(HostileClients, TwoThousandSlowBodiesHoldNoThreadEachAndOthersAreServed)
{
    RunningService service([](ServerOptions& options) { options.shortBodyDeadlineSeconds = 120; });
    const Credentials user = registerAccount(service);
    const int before = threadsOfThisProcess();
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 2000; ++i) {
        slow.push_back(std::make_unique<RawConnection>(service.port(), "127.0.1." + std::to_string(1 + i / 100)));
        ASSERT_TRUE(slow.back()->send("POST /account HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                                      "Content-Length: 16384\r\n\r\n{\"email\":\""));
    }
    // Every one of them is being read (none was turned away at the door)...
    RawConnection last(service.port(), "127.0.1.99");
    ASSERT_TRUE(last.send(get("/", "Connection: close\r\n")));
    const std::string page = last.receive("\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u) << page;
    auto uploaded = upload(service, user, {"meanwhile"});
    ASSERT_TRUE(uploaded);
    EXPECT_EQ(uploaded->status, 201);
    // ...by the same threads as before they came.
    EXPECT_LE(threadsOfThisProcess(), before + 2) << "threads before: " << before;
    EXPECT_LT(threadsOfThisProcess(), 64);

    // They are still open, and end as any body does when it is finished.
    int answered = 0;
    int created = 0;
    for (size_t i = 0; i < slow.size(); i += 250) {
        ASSERT_TRUE(slow[i]->send("x@example.org\",\"password\":\"p\"}" + std::string(16384 - 40, ' ')));
        const std::string answer = slow[i]->receive("\r\n\r\n");
        answered += answer.rfind("HTTP/1.1 ", 0) == 0 ? 1 : 0;
        created += answer.rfind("HTTP/1.1 201", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(answered, 8);
    EXPECT_EQ(created, 1) << "one account for the address; the same e-mail again is refused";
}

TEST(HostileClients, RangesAreServedOnlyOnRawAndOnlyOneAtATime)
{
    RunningService service;
    const Credentials user = registerAccount(service);
    const std::string content(100'000, 'r');
    auto uploaded = upload(service, user, {content, "r.txt", "text/plain"});
    ASSERT_TRUE(uploaded);
    const std::string raw = "/" + jsonObject(uploaded->body).value("code").toString().toStdString() + "/raw";

    std::string manyStarts = "bytes=0-";
    for (int i = 0; i < 1800; ++i)
        manyStarts += ",0-";
    // A page ignores the header: one copy of the page, whatever was asked.
    auto page = service.client().Get("/", {{"Range", manyStarts}});
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_FALSE(page->has_header("Content-Range"));
    auto plainPage = service.client().Get("/");
    ASSERT_TRUE(plainPage);
    EXPECT_EQ(page->body.size(), plainPage->body.size());
    auto pageRange = service.client().Get("/", {{"Range", "bytes=0-9"}});
    ASSERT_TRUE(pageRange);
    EXPECT_EQ(pageRange->status, 200);

    // On /raw the many ranges are the whole file once; a single range is served as asked.
    auto amplified = service.client().Get(raw, {{"Range", manyStarts}});
    ASSERT_TRUE(amplified);
    EXPECT_EQ(amplified->status, 200);
    EXPECT_EQ(amplified->body.size(), content.size());
    auto one = service.client().Get(raw, {{"Range", "bytes=10-19"}});
    ASSERT_TRUE(one);
    EXPECT_EQ(one->status, 206);
    EXPECT_EQ(one->body, content.substr(10, 10));
}

TEST(HostileClients, HeaderFloodsAre431)
{
    RunningService service;
    std::string many;
    for (int i = 0; i < 150; ++i)
        many += "X-Flood-" + std::to_string(i) + ": v\r\n";
    RawConnection counted(service.port());
    ASSERT_TRUE(counted.send(get("/", many)));
    const std::string tooMany = counted.receive("\r\n\r\n");
    EXPECT_EQ(tooMany.rfind("HTTP/1.1 431", 0), 0u) << tooMany;

    // A head of a few MiB is cut off long before its end.
    std::string huge;
    for (int i = 0; i < 40'000; ++i)
        huge += "X-Flood-" + std::to_string(i) + ": " + std::string(60, 'v') + "\r\n";
    RawConnection sized(service.port());
    sized.send(get("/", huge));
    const std::string tooBig = sized.receive("\r\n\r\n");
    EXPECT_EQ(tooBig.rfind("HTTP/1.1 431", 0), 0u) << tooBig.substr(0, 200);

    EXPECT_TRUE(servesHomePage(service));
}

TEST(HostileClients, RefusedBodiesAreNotReadToTheirEnd)
{
    RunningService service;
    const std::string hugeUpload
        = "POST /files HTTP/1.1\r\nHost: 127.0.0.1\r\nx-parcly-filename: " + toBase64("big.bin") + "\r\nContent-Length: 6500000000\r\n\r\n";
    const std::string hugeElsewhere = "PUT /somewhere HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 6500000000\r\n\r\n";
    const std::string hugeForm = "POST /account HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded"
                                 "\r\nContent-Length: 6500000000\r\n\r\n";
    for (const auto& [head, status] : {std::pair{hugeUpload, "401"}, std::pair{hugeElsewhere, "404"}, std::pair{hugeForm, "415"}}) {
        RawConnection connection(service.port());
        ASSERT_TRUE(connection.send(head));
        // Refused from the head, so the client gets the answer, not only a closed connection.
        const std::string answer = connection.receive("\r\n\r\n");
        EXPECT_EQ(answer.rfind("HTTP/1.1 " + std::string(status), 0), 0u) << head << answer;
        // The service stops reading long before 64 MiB: sending fails once the buffers are full
        // and the connection is closed.
        const std::string chunk(1024 * 1024, 'x');
        bool refused = false;
        for (int i = 0; i < 64 && !refused; ++i)
            refused = !connection.send(chunk);
        EXPECT_TRUE(refused) << head;
        EXPECT_TRUE(service.waitForLogLine(" " + std::string(status) + " ")) << head;
    }
    EXPECT_TRUE(servesHomePage(service));
}

TEST(HostileClients, BothContentLengthAndChunkedAre400)
{
    RunningService service;
    const Credentials user = registerAccount(service);
    RawConnection connection(service.port());
    ASSERT_TRUE(connection.send("POST /files HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic "
                                + toBase64(user.email + ":" + user.password) + "\r\nx-parcly-filename: " + toBase64("s.bin")
                                + "\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\nGET / HTTP/1.1\r\n\r\n"));
    const std::string answer = connection.receive("\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0u) << answer;
    // Nothing after it is taken as a request of its own.
    EXPECT_TRUE(connection.closedByPeer(std::chrono::seconds(5)));
    EXPECT_TRUE(filesIn(service.dataDirectory() / "drops").empty());
}

// Heads a proxy might frame differently from us: each gets one JSON refusal, logged, and the
// connection closes, so nothing behind it is read as a request of its own.
TEST(HostileClients, AmbiguousHeadsGetOneRefusalAndTheConnectionCloses)
{
    RunningService service;
    const Credentials user = registerAccount(service);
    const std::string smuggled = "GET /smuggled-request HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string upload = "POST /files HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic "
        + toBase64(user.email + ":" + user.password) + "\r\nx-parcly-filename: " + toBase64("s.bin") + "\r\n";
    const struct {
        std::string request;
        std::string status;
    } cases[] = {
        {"POST /nowhere HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding : chunked\r\nContent-Length: 3\r\n\r\nabc", "400"},
        {"POST /account HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length : "
             + std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled,
         "400"},
        {upload + "Transfer-Encoding : chunked\r\n\r\n0\r\n\r\n", "400"},
        {upload + "Content-Length: 3\r\nContent-Length: 3\r\n\r\nabc" + smuggled, "400"},
        {"GET / HTTP/1.1\r\n\r\n", "400"},
        {upload + "Expect: 42-bogus\r\nContent-Length: 3\r\n\r\n", "417"},
        // 20 KiB of path and 20 KiB of header: the request line counts towards the 32 KiB head.
        {"GET /" + std::string(20 * 1024, 'u') + " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: " + std::string(20 * 1024, 'h') + "\r\n\r\n",
         "431"},
    };
    for (const auto& [request, status] : cases) {
        RawConnection connection(service.port());
        ASSERT_TRUE(connection.send(request));
        const std::string wire = connection.receive("\x01", std::chrono::seconds(5)); // everything until it closes
        EXPECT_EQ(wire.rfind("HTTP/1.1 " + status + " ", 0), 0u) << request.substr(0, 120) << "\n" << wire;
        const std::regex statusLine("HTTP/1\\.[01] [0-9]{3} ");
        EXPECT_EQ(std::distance(std::sregex_iterator(wire.begin(), wire.end(), statusLine), std::sregex_iterator()), 1)
            << "not one answer:\n"
            << wire;
        EXPECT_NE(wire.find("Content-Type: application/json"), std::string::npos) << wire;
        EXPECT_TRUE(connection.closedByPeer(std::chrono::seconds(2)));
        EXPECT_TRUE(service.waitForLogLine(" " + status + " ")) << request.substr(0, 120);
    }
    // What the engine refuses itself (a length it cannot parse, a head past its memory, a request
    // line longer than that) is answered with its status, closes, and has a request line in the
    // log. Its answers to a bad length repeat their head on the wire (this engine's version
    // writes it twice); the rest are answered once.
    const struct {
        std::string request;
        std::string status;
        std::string logged;
        bool once;
    } engineCases[] = {
        {"POST /account HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3, 3\r\n\r\nabc" + smuggled, "400", "- /account 400 ", false},
        {"POST /account?a=b HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: -1\r\n\r\nabc" + smuggled, "400", "- /account 400 ", false},
        {"POST /files HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 18446744073709551616\r\n\r\nabc", "413", "- /files 413 ", false},
        {get("/", "X-Long: " + std::string(200 * 1024, 'h') + "\r\n"), "431", "- / 431 ", true},
        {get("/" + std::string(200 * 1024, 'u')), "414", "- - 414 ", true},
    };
    for (const auto& [request, status, logged, once] : engineCases) {
        RawConnection connection(service.port());
        connection.send(request);
        const std::string wire = connection.receive("\x01", std::chrono::seconds(5));
        EXPECT_EQ(wire.rfind("HTTP/1.1 " + status + " ", 0), 0u) << request.substr(0, 120) << "\n" << wire.substr(0, 300);
        const std::regex statusLine("HTTP/1\\.[01] [0-9]{3} ");
        const auto answers = std::distance(std::sregex_iterator(wire.begin(), wire.end(), statusLine), std::sregex_iterator());
        if (once) {
            EXPECT_EQ(answers, 1) << "not one answer:\n" << wire;
        }
        EXPECT_EQ(wire.find("smuggled"), std::string::npos) << wire;
        EXPECT_TRUE(service.waitForLogLine("127.0.0.1 " + logged)) << request.substr(0, 120);
    }
    EXPECT_TRUE(service.waitForLogLine("http: answered 400 itself and closed the connection"));
    for (const std::string& line : service.logLines()) {
        EXPECT_EQ(line.find("smuggled"), std::string::npos) << line;
        EXPECT_EQ(line.find("<html>"), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_FALSE(line.empty());
    }
    EXPECT_TRUE(filesIn(service.dataDirectory() / "drops").empty());
    EXPECT_TRUE(servesHomePage(service));
}

TEST(Connections, OneKeptAliveConnectionCarriesUploadsAndPagesInTurn)
{
    RunningService service;
    const Credentials user = registerAccount(service);
    RawConnection connection(service.port());
    const std::string authorization = "Authorization: Basic " + toBase64(user.email + ":" + user.password) + "\r\n";
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(connection.send("POST /files HTTP/1.1\r\nHost: 127.0.0.1\r\n" + authorization
                                    + "x-parcly-filename: " + toBase64("k.txt") + "\r\nContent-Length: 5\r\n\r\nhello"));
        const std::string uploaded = connection.receive("}");
        EXPECT_EQ(uploaded.rfind("HTTP/1.1 201", 0), 0u) << uploaded;
        ASSERT_TRUE(connection.send(get("/users/me", authorization)));
        const std::string me = connection.receive("}");
        EXPECT_EQ(me.rfind("HTTP/1.1 200", 0), 0u) << me;
        EXPECT_NE(me.find("\"activeDrops\":" + std::to_string(i + 1)), std::string::npos) << me;
    }
}

} // namespace
