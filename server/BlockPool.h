#pragma once

#include "server/AlignedBlock.h"

#include <mutex>
#include <vector>

// Blocks of one size kept for reuse from one body to the next. A block fresh from the system costs
// a page fault per page as it is first filled, which at disk speed is much of the engine's time; a
// kept one is warm. At most `kept` idle blocks are held, so a request holds no more than the blocks
// its body is in.
class BlockPool {
public:
    BlockPool(size_t blockBytes, size_t kept)
        : m_blockBytes(blockBytes)
        , m_kept(kept)
    {
    }
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    size_t blockBytes() const { return m_blockBytes; }

    // An empty block of blockBytes().
    AlignedBlock take()
    {
        {
            std::lock_guard lock(m_mutex);
            if (!m_idle.empty()) {
                AlignedBlock block = std::move(m_idle.back());
                m_idle.pop_back();
                block.clear();
                return block;
            }
        }
        return AlignedBlock(m_blockBytes);
    }

    // Kept when there is room for it, else freed.
    void give(AlignedBlock block)
    {
        if (block.capacity() != m_blockBytes)
            return;
        std::lock_guard lock(m_mutex);
        if (m_idle.size() < m_kept)
            m_idle.push_back(std::move(block));
    }

private:
    const size_t m_blockBytes;
    const size_t m_kept;
    std::mutex m_mutex;
    std::vector<AlignedBlock> m_idle;
};
