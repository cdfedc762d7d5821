#include "server/storage/CurlHandlePool.h"

#include <new>

CurlHandlePool::Lease::Lease(CurlHandlePool& pool, CURL* handle)
    : m_pool(pool)
    , m_handle(handle)
{
}

CurlHandlePool::Lease::~Lease()
{
    m_pool.giveBack(m_handle);
}

CurlHandlePool::CurlHandlePool(size_t idleLimit)
    : m_idleLimit(idleLimit)
{
    // Thread-safe since libcurl 7.84, and counted, so every pool may call it.
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

CurlHandlePool::~CurlHandlePool()
{
    for (CURL* handle : m_idle)
        curl_easy_cleanup(handle);
    curl_global_cleanup();
}

CurlHandlePool::Lease CurlHandlePool::lease()
{
    CURL* handle = nullptr;
    {
        const std::lock_guard lock(m_mutex);
        if (!m_idle.empty()) {
            handle = m_idle.back();
            m_idle.pop_back();
        }
    }
    if (handle)
        curl_easy_reset(handle);
    else if (!(handle = curl_easy_init()))
        throw std::bad_alloc();
    return Lease(*this, handle);
}

void CurlHandlePool::giveBack(CURL* handle)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_idle.size() < m_idleLimit) {
            m_idle.push_back(handle);
            return;
        }
    }
    curl_easy_cleanup(handle);
}
