#include "server/Slots.h"

std::shared_ptr<void> Slots::take(const std::vector<std::pair<std::string, unsigned>>& keys)
{
    std::vector<std::string> taken;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [key, most] : keys) {
            const auto found = m_held.find(key);
            if (found != m_held.end() && found->second >= most)
                return {};
        }
        for (const auto& [key, most] : keys) {
            ++m_held[key];
            taken.push_back(key);
        }
    }
    // The handle owns nothing; its deleter gives the slots back.
    return std::shared_ptr<void>(static_cast<void*>(this), [this, taken = std::move(taken)](void*) { release(taken); });
}

unsigned Slots::held(const std::string& key) const
{
    std::lock_guard lock(m_mutex);
    const auto found = m_held.find(key);
    return found == m_held.end() ? 0 : found->second;
}

void Slots::release(const std::vector<std::string>& keys)
{
    std::lock_guard lock(m_mutex);
    for (const std::string& key : keys) {
        const auto found = m_held.find(key);
        if (found != m_held.end() && --found->second == 0)
            m_held.erase(found);
    }
}
