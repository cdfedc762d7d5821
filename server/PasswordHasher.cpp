#include "server/PasswordHasher.h"

#include "server/Base64.h"
#include "server/Text.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

namespace {

constexpr std::string_view kScheme = "pbkdf2-sha256";
constexpr size_t kSaltBytes = 16;
constexpr size_t kKeyBytes = 32;
// A stored count far above anything we write would make one login burn minutes of CPU.
constexpr unsigned kMaximumIterations = 50'000'000;

std::string derive(std::string_view password, std::string_view salt, unsigned iterations, size_t length)
{
    std::string key(length, '\0');
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), reinterpret_cast<const unsigned char*>(salt.data()),
                          static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(), static_cast<int>(length),
                          reinterpret_cast<unsigned char*>(key.data()))
        != 1)
        throw std::runtime_error("PBKDF2 failed");
    return key;
}

std::vector<std::string_view> split(std::string_view value, char separator)
{
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = value.find(separator, start);
        parts.push_back(value.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

} // namespace

PasswordHasher::PasswordHasher(unsigned iterations)
    : m_iterations(iterations < kMinimumIterations ? kMinimumIterations : iterations)
{
}

std::string PasswordHasher::hash(std::string_view password) const
{
    std::string salt(kSaltBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), static_cast<int>(salt.size())) != 1)
        throw std::runtime_error("no random bytes for a salt");
    const std::string key = derive(password, salt, m_iterations, kKeyBytes);
    return std::string(kScheme) + "$" + std::to_string(m_iterations) + "$" + base64::encode(salt) + "$" + base64::encode(key);
}

bool PasswordHasher::verify(std::string_view password, std::string_view stored) const
{
    const auto parts = split(stored, '$');
    if (parts.size() != 4 || parts[0] != kScheme)
        return false;
    const auto iterations = text::parseUnsigned(parts[1]);
    const auto salt = base64::decode(parts[2]);
    const auto expected = base64::decode(parts[3]);
    if (!iterations || *iterations < 1 || *iterations > kMaximumIterations || !salt || !expected || expected->empty()
        || expected->size() > 64)
        return false;
    const std::string key = derive(password, *salt, static_cast<unsigned>(*iterations), expected->size());
    return CRYPTO_memcmp(key.data(), expected->data(), key.size()) == 0;
}
