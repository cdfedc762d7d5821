// Answers whose bytes are fetched from elsewhere piece by piece (object storage, for drops kept
// there), through the real engine on loopback: whole and in ranges, from a slow source, and cut
// short when the source fails.
#include "ServerHarness.h"

#include "server/HttpServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Byte i of the test body: a pattern that shows any piece out of place.
char patternByte(std::uint64_t i)
{
    return static_cast<char>((i * 7 + i / 4099) & 0xff);
}

std::string patternBytes(std::uint64_t from, std::uint64_t count)
{
    std::string bytes(count, '\0');
    for (std::uint64_t i = 0; i < count; ++i)
        bytes[i] = patternByte(from + i);
    return bytes;
}

class FetchingServer {
public:
    static constexpr std::uint64_t kSize = 5 * 1024 * 1024 + 12345;

    FetchingServer()
        : m_server(HttpServer::Limits{}, [this](const std::string& line) {
            std::lock_guard lock(m_mutex);
            m_notes.push_back(line);
        })
    {
        m_server.Get("/slow", [this](const httplib::Request&, httplib::Response& response) {
            HttpServer::setFetchedContent(response, kSize, "application/octet-stream",
                                          [this](std::uint64_t offset, size_t length, std::vector<char>& into) {
                                              // Slower than the engine sends, so the connection waits for pieces.
                                              std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                              ++m_fetches;
                                              const std::string bytes = patternBytes(offset, length);
                                              into.assign(bytes.begin(), bytes.end());
                                          });
        });
        m_server.Get("/failing", [](const httplib::Request&, httplib::Response& response) {
            HttpServer::setFetchedContent(response, kSize, "application/octet-stream",
                                          [](std::uint64_t offset, size_t length, std::vector<char>& into) {
                                              if (offset >= 2 * 1024 * 1024)
                                                  throw std::runtime_error("the bucket went away");
                                              const std::string bytes = patternBytes(offset, length);
                                              into.assign(bytes.begin(), bytes.end());
                                          });
        });
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd, 64);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_server.start(fd, nullptr);
    }
    ~FetchingServer() { stop(); }
    void stop() { m_server.stop(); }
    int port() const { return m_port; }

    httplib::Client client() const
    {
        httplib::Client client("127.0.0.1", m_port);
        client.set_read_timeout(std::chrono::seconds(20));
        return client;
    }
    int fetches() const { return m_fetches; }
    std::vector<std::string> notes()
    {
        std::lock_guard lock(m_mutex);
        return m_notes;
    }

private:
    HttpServer m_server;
    int m_port = 0;
    std::atomic<int> m_fetches = 0;
    std::mutex m_mutex;
    std::vector<std::string> m_notes;
};

TEST(FetchedContent, ServesWholeAndRangesFromASlowSourceAndCutsShortWhenItFails)
{
    FetchingServer server;
    // Several at once, so that connections waiting for their pieces do not hold up one another.
    std::vector<std::thread> clients;
    std::vector<std::string> bodies(4);
    for (size_t i = 0; i < bodies.size(); ++i) {
        clients.emplace_back([&, i] {
            const auto result = server.client().Get("/slow");
            if (result && result->status == 200)
                bodies[i] = result->body;
        });
    }
    for (std::thread& client : clients)
        client.join();
    for (const std::string& body : bodies) {
        ASSERT_EQ(body.size(), FetchingServer::kSize);
        EXPECT_TRUE(body == patternBytes(0, FetchingServer::kSize));
    }
    // A piece is fetched once: 6 pieces of at most 1 MiB per answer.
    EXPECT_EQ(server.fetches(), 4 * 6);

    const std::uint64_t from = 1024 * 1024 - 10;
    const auto range
        = server.client().Get("/slow", {{"Range", "bytes=" + std::to_string(from) + "-" + std::to_string(from + 2 * 1024 * 1024)}});
    ASSERT_TRUE(range);
    EXPECT_EQ(range->status, 206);
    EXPECT_EQ(range->get_header_value("Content-Range"),
              "bytes " + std::to_string(from) + "-" + std::to_string(from + 2 * 1024 * 1024) + "/" + std::to_string(FetchingServer::kSize));
    EXPECT_TRUE(range->body == patternBytes(from, 2 * 1024 * 1024 + 1));

    // The source fails after 2 MiB: the client gets fewer bytes than announced, never a whole-looking
    // answer, and the log says where and why.
    const auto failing = server.client().Get("/failing");
    EXPECT_TRUE(!failing || failing->body.size() < FetchingServer::kSize);
    bool noted = false;
    for (const std::string& note : server.notes())
        noted = noted || note.find("the bucket went away") != std::string::npos;
    EXPECT_TRUE(noted);

    // Still serving after all that.
    const auto again = server.client().Get("/slow", {{"Range", "bytes=0-99"}});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->body, patternBytes(0, 100));

    // A client that leaves mid-answer, and one still waiting for a piece when the server stops:
    // neither holds up the stop.
    RawConnection leaving(server.port());
    ASSERT_TRUE(leaving.send("GET /slow HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_FALSE(leaving.receive("\r\n\r\n").empty());
    leaving.close();
    RawConnection staying(server.port());
    ASSERT_TRUE(staying.send("GET /slow HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_FALSE(staying.receive("\r\n\r\n").empty());
    server.stop();
    EXPECT_TRUE(staying.closedByPeer(std::chrono::seconds(10)));
}

} // namespace
