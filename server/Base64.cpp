#include "server/Base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>

namespace base64 {

namespace {

// OpenSSL's block functions take int lengths; nothing we encode comes near that.
constexpr size_t kMaximumInput = INT_MAX / 4 * 3 - 3;

} // namespace

std::string encode(std::string_view bytes)
{
    if (bytes.size() > kMaximumInput)
        return {};
    std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(std::max(length, 0)));
    return out;
}

std::string encodeUrl(std::string_view bytes)
{
    std::string out = encode(bytes);
    out.erase(out.find_last_not_of('=') + 1);
    std::replace(out.begin(), out.end(), '+', '-');
    std::replace(out.begin(), out.end(), '/', '_');
    return out;
}

std::optional<std::string> decode(std::string_view text)
{
    if (text.size() % 4 != 0 || text.size() > kMaximumInput)
        return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()), reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    // OpenSSL counts the padding as decoded zero bytes.
    const int padding = text.empty() ? 0 : (text.back() == '=') + (text.size() > 1 && text[text.size() - 2] == '=');
    if (length < padding)
        return std::nullopt;
    out.resize(static_cast<size_t>(length - padding));
    // OpenSSL skips blanks and ignores stray bits; one encoding per byte string is wanted, so
    // only the canonical form of what was decoded is taken.
    if (encode(out) != text)
        return std::nullopt;
    return out;
}

std::optional<std::string> decodeUrl(std::string_view text)
{
    if (text.size() % 4 == 1 || text.find_first_of("+/=") != std::string_view::npos)
        return std::nullopt;
    std::string standard(text);
    std::replace(standard.begin(), standard.end(), '-', '+');
    std::replace(standard.begin(), standard.end(), '_', '/');
    standard.append((4 - standard.size() % 4) % 4, '=');
    return decode(standard);
}

} // namespace base64
