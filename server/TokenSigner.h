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

    // A fresh random secret of kSecretBytes. Throws std::runtime_error without random bytes.
    static std::string randomSecret();
    // The secret a server kept in `file` before it moved into the database; nothing when there is
    // no such file. Throws std::runtime_error when it cannot be read or is too short.
    static std::optional<std::string> readSecretFile(const std::filesystem::path& file);

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
