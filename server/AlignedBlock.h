#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

// Bytes in memory whose start and capacity are whole pages, so that a file opened for direct I/O
// can be written straight from them: a body's blocks go from the socket to the disk with one copy.
class AlignedBlock {
public:
    static constexpr size_t kAlignment = 4096;

    static constexpr size_t roundDown(size_t size) { return size / kAlignment * kAlignment; }
    static constexpr size_t roundUp(size_t size) { return roundDown(size + kAlignment - 1); }
    static bool isAligned(const void* address) { return reinterpret_cast<std::uintptr_t>(address) % kAlignment == 0; }

    AlignedBlock() = default;
    // `capacity` is rounded up to whole pages.
    explicit AlignedBlock(size_t capacity)
        : m_bytes(capacity > 0 ? static_cast<char*>(std::aligned_alloc(kAlignment, roundUp(capacity))) : nullptr)
        , m_capacity(roundUp(capacity))
    {
        if (capacity > 0 && !m_bytes)
            throw std::bad_alloc();
    }

    AlignedBlock(AlignedBlock&& other) noexcept
        : m_bytes(std::move(other.m_bytes))
        , m_capacity(std::exchange(other.m_capacity, 0))
        , m_size(std::exchange(other.m_size, 0))
    {
    }
    AlignedBlock& operator=(AlignedBlock&& other) noexcept
    {
        m_bytes = std::move(other.m_bytes);
        m_capacity = std::exchange(other.m_capacity, 0);
        m_size = std::exchange(other.m_size, 0);
        return *this;
    }

    char* data() { return m_bytes.get(); }
    const char* data() const { return m_bytes.get(); }
    size_t size() const { return m_size; }
    size_t capacity() const { return m_capacity; }
    bool empty() const { return m_size == 0; }
    bool full() const { return m_size == m_capacity; }

    // Copies what fits of `size` bytes; how many that was.
    size_t append(const char* bytes, size_t size)
    {
        const size_t taken = std::min(size, m_capacity - m_size);
        std::memcpy(m_bytes.get() + m_size, bytes, taken);
        m_size += taken;
        return taken;
    }
    void clear() { m_size = 0; }

private:
    struct Free {
        void operator()(char* bytes) const { std::free(bytes); }
    };
    std::unique_ptr<char, Free> m_bytes;
    size_t m_capacity = 0;
    size_t m_size = 0;
};
