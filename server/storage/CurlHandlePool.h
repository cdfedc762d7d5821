#pragma once

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <vector>

// Easy handles kept between requests, each with its open connections, so that a small request
// costs no new connection. Any number of threads may lease handles at once.
class CurlHandlePool {
public:
    class Lease {
    public:
        Lease(CurlHandlePool& pool, CURL* handle);
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        CURL* get() const { return m_handle; }

    private:
        CurlHandlePool& m_pool;
        CURL* m_handle;
    };

    // Keeps at most `idleLimit` unused handles; more are closed when returned.
    explicit CurlHandlePool(size_t idleLimit = 16);
    ~CurlHandlePool();
    CurlHandlePool(const CurlHandlePool&) = delete;
    CurlHandlePool& operator=(const CurlHandlePool&) = delete;

    // A handle reset to its defaults (its connections kept). Throws std::bad_alloc when libcurl
    // cannot make one.
    Lease lease();

private:
    void giveBack(CURL* handle);

    const size_t m_idleLimit;
    std::mutex m_mutex;
    std::vector<CURL*> m_idle;
};
