#include "server/database/SigningSecret.h"

#include "server/TokenSigner.h"

#include <stdexcept>

namespace database {

namespace {

std::string toHex(const std::string& bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const unsigned char byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xF];
    }
    return hex;
}

std::string fromHex(const std::string& hex)
{
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0)
            throw std::runtime_error("the stored signing key is damaged");
        bytes += static_cast<char>(high << 4 | low);
    }
    return bytes;
}

std::optional<std::string> storedSecret(Database& database)
{
    auto session = database.session();
    auto query = session.prepare("SELECT secret FROM signing_key WHERE id = 1");
    if (!query.step())
        return std::nullopt;
    return fromHex(query.text(0));
}

} // namespace

std::string loadOrCreateSigningSecret(Database& database, const std::optional<std::filesystem::path>& earlierFile)
{
    if (auto secret = storedSecret(database))
        return *secret;
    std::optional<std::string> secret;
    if (earlierFile)
        secret = TokenSigner::readSecretFile(*earlierFile);
    if (!secret)
        secret = TokenSigner::randomSecret();
    {
        // Of instances starting at once, the first to insert wins and the others read its secret.
        auto session = database.session();
        session.prepare("INSERT INTO signing_key (id, secret, created_at) VALUES (1, ?, ?) ON CONFLICT (id) DO NOTHING")
            .bind(1, toHex(*secret))
            .bind(2, TokenSigner::now())
            .step();
    }
    return storedSecret(database).value();
}

void replaceSigningSecret(Database& database)
{
    auto session = database.session();
    session
        .prepare("INSERT INTO signing_key (id, secret, created_at) VALUES (1, ?, ?) "
                 "ON CONFLICT (id) DO UPDATE SET secret = excluded.secret, created_at = excluded.created_at")
        .bind(1, toHex(TokenSigner::randomSecret()))
        .bind(2, TokenSigner::now())
        .step();
}

} // namespace database
