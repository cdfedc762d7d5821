#pragma once

#include <string>
#include <string_view>

// PBKDF2-HMAC-SHA256 with a random salt per password. A stored hash carries its own iteration
// count ("pbkdf2-sha256$<iterations>$<salt>$<key>", Base64), so raising the count later leaves
// existing accounts working.
class PasswordHasher {
public:
    static constexpr unsigned kDefaultIterations = 600000;
    static constexpr unsigned kMinimumIterations = 1000;

    explicit PasswordHasher(unsigned iterations = kDefaultIterations);

    unsigned iterations() const { return m_iterations; }
    std::string hash(std::string_view password) const;
    // False for a wrong password and for a stored value it cannot read. Constant time in the key.
    bool verify(std::string_view password, std::string_view stored) const;

private:
    unsigned m_iterations;
};
