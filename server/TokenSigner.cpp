#include "server/TokenSigner.h"

#include "server/Base64.h"
#include "server/Json.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kHeader = R"({"alg":"HS256","typ":"JWT"})";
constexpr size_t kMaximumTokenLength = 4096;

std::runtime_error systemError(const std::string& what, const std::filesystem::path& file)
{
    return std::runtime_error(what + " " + file.string() + ": " + std::strerror(errno));
}

std::string readAll(int fd, const std::filesystem::path& file)
{
    std::string content;
    char buffer[256];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw systemError("cannot read", file);
        }
        if (n == 0)
            return content;
        content.append(buffer, static_cast<size_t>(n));
        if (content.size() > 4096)
            throw std::runtime_error("the secret file " + file.string() + " is unexpectedly large");
    }
}

} // namespace

TokenSigner::TokenSigner(std::string secret, std::chrono::seconds lifetime)
    : m_secret(std::move(secret))
    , m_lifetime(lifetime)
{
    if (m_secret.size() < kSecretBytes)
        throw std::invalid_argument("the token secret is too short");
}

std::string TokenSigner::randomSecret()
{
    std::string secret(kSecretBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(secret.data()), static_cast<int>(secret.size())) != 1)
        throw std::runtime_error("no random bytes for the token secret");
    return secret;
}

std::optional<std::string> TokenSigner::readSecretFile(const std::filesystem::path& file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT)
        return std::nullopt;
    if (fd < 0)
        throw systemError("cannot open", file);
    std::string secret;
    try {
        secret = readAll(fd, file);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    if (secret.size() < kSecretBytes)
        throw std::runtime_error("the secret file " + file.string() + " is shorter than " + std::to_string(kSecretBytes) + " bytes");
    return secret;
}

std::int64_t TokenSigner::now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string TokenSigner::sign(std::string_view signingInput) const
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), m_secret.data(), static_cast<int>(m_secret.size()), reinterpret_cast<const unsigned char*>(signingInput.data()),
              signingInput.size(), mac, &length))
        throw std::runtime_error("HMAC failed");
    return std::string(reinterpret_cast<const char*>(mac), length);
}

std::string TokenSigner::issue(std::string_view subject, std::int64_t now) const
{
    const std::string payload = json::write({{"sub", subject}, {"iat", now}, {"exp", now + static_cast<std::int64_t>(m_lifetime.count())}});
    const std::string signingInput = base64::encodeUrl(kHeader) + "." + base64::encodeUrl(payload);
    return signingInput + "." + base64::encodeUrl(sign(signingInput));
}

std::string TokenSigner::issue(std::string_view subject) const
{
    return issue(subject, now());
}

std::optional<TokenClaims> TokenSigner::verify(std::string_view token, std::int64_t now) const
{
    if (token.size() > kMaximumTokenLength)
        return std::nullopt;
    const size_t firstDot = token.find('.');
    const size_t lastDot = token.rfind('.');
    if (firstDot == std::string_view::npos || firstDot == lastDot)
        return std::nullopt;
    const std::string_view signingInput = token.substr(0, lastDot);
    const auto signature = base64::decodeUrl(token.substr(lastDot + 1));
    const std::string expected = sign(signingInput);
    if (!signature || signature->size() != expected.size() || CRYPTO_memcmp(signature->data(), expected.data(), expected.size()) != 0)
        return std::nullopt;

    // Signed by us; still check the header, so no token of another kind is ever taken for ours.
    const auto header = base64::decodeUrl(token.substr(0, firstDot));
    const auto payload = base64::decodeUrl(signingInput.substr(firstDot + 1));
    if (!header || !payload)
        return std::nullopt;
    const auto headerJson = json::parse(*header, 4);
    const auto payloadJson = json::parse(*payload, 4);
    if (!headerJson || !payloadJson)
        return std::nullopt;
    const std::string* algorithm = json::stringMember(*headerJson, "alg");
    if (!algorithm || *algorithm != "HS256")
        return std::nullopt;

    const std::string* subject = json::stringMember(*payloadJson, "sub");
    const auto time = [&](const char* name) -> std::optional<std::int64_t> {
        const auto found = payloadJson->find(name);
        if (found == payloadJson->end() || !found->is_number_integer()
            || (found->is_number_unsigned() && found->get<std::uint64_t>() > std::uint64_t(INT64_MAX)))
            return std::nullopt;
        return found->get<std::int64_t>();
    };
    const auto issuedAt = time("iat");
    const auto expiresAt = time("exp");
    if (!subject || !issuedAt || !expiresAt || *expiresAt <= now)
        return std::nullopt;
    return TokenClaims{*subject, *issuedAt, *expiresAt};
}

std::optional<TokenClaims> TokenSigner::verify(std::string_view token) const
{
    return verify(token, now());
}
