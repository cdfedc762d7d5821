#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

struct TokenClaims {
    std::string subject; // the account's e-mail
    std::int64_t issuedAt = 0; // seconds since the epoch
    std::int64_t expiresAt = 0;
};

// JSON Web Tokens signed with HMAC-SHA256 under the server's own secret. Only HS256 is ever
// accepted, whatever a token's header claims.
class TokenSigner {
public:
    static constexpr std::chrono::seconds kDefaultLifetime = std::chrono::hours(24 * 30);
    static constexpr size_t kSecretBytes = 32;

    explicit TokenSigner(std::string secret, std::chrono::seconds lifetime = kDefaultLifetime);

    // Reads the secret from `file`, or makes a random one there (mode 0600) on first start.
    // Throws std::runtime_error when the file cannot be read or made, or is too short.
    static std::string loadOrCreateSecret(const std::filesystem::path& file);

    std::string issue(std::string_view subject, std::int64_t now) const;
    std::string issue(std::string_view subject) const;
    // The claims of a token this signer issued and that has not expired at `now`.
    std::optional<TokenClaims> verify(std::string_view token, std::int64_t now) const;
    std::optional<TokenClaims> verify(std::string_view token) const;

    static std::int64_t now();

private:
    std::string sign(std::string_view signingInput) const;

    std::string m_secret;
    std::chrono::seconds m_lifetime;
};
