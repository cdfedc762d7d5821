#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Counts what is in progress per key (an account, an address) so that no key holds more than its
// share at once. A taken slot is given back when the last copy of its handle goes.
class Slots {
public:
    // Each key with the most it may hold at once. Empty when any of them is full, nothing taken.
    std::shared_ptr<void> take(const std::vector<std::pair<std::string, unsigned>>& keys);
    unsigned held(const std::string& key) const;

private:
    void release(const std::vector<std::string>& keys);

    mutable std::mutex m_mutex;
    std::unordered_map<std::string, unsigned> m_held; // only keys holding one or more
};
