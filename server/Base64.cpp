#include "server/Base64.h"

#include <array>
#include <cstdint>

namespace base64 {

namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encodeWith(std::string_view bytes, const char* alphabet, bool pad)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = (std::uint32_t(std::uint8_t(bytes[i])) << 16) |
                                (std::uint32_t(std::uint8_t(bytes[i + 1])) << 8) | std::uint8_t(bytes[i + 2]);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += alphabet[n & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t n = std::uint32_t(std::uint8_t(bytes[i])) << 16;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        if (pad)
            out += "==";
    } else if (rest == 2) {
        const std::uint32_t n = (std::uint32_t(std::uint8_t(bytes[i])) << 16) | (std::uint32_t(std::uint8_t(bytes[i + 1])) << 8);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        if (pad)
            out += '=';
    }
    return out;
}

std::optional<std::string> decodeWith(std::string_view text, const char* alphabet, bool padded)
{
    std::array<int, 256> value;
    value.fill(-1);
    for (int i = 0; i < 64; ++i)
        value[static_cast<unsigned char>(alphabet[i])] = i;

    if (padded) {
        // Padding completes the last quantum exactly.
        if (text.size() % 4 != 0)
            return std::nullopt;
        for (int i = 0; i < 2 && !text.empty() && text.back() == '='; ++i)
            text.remove_suffix(1);
    }
    if (text.size() % 4 == 1)
        return std::nullopt;

    std::string out;
    out.reserve(text.size() * 3 / 4);
    std::uint32_t accumulator = 0;
    int bits = 0;
    for (const char c : text) {
        const int v = value[static_cast<unsigned char>(c)];
        if (v < 0)
            return std::nullopt;
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((accumulator >> bits) & 0xFF);
        }
    }
    // Leftover bits must be zero, so each byte string has exactly one encoding.
    if (bits > 0 && (accumulator & ((1u << bits) - 1)) != 0)
        return std::nullopt;
    return out;
}

} // namespace

std::string encode(std::string_view bytes) { return encodeWith(bytes, kStandard, true); }
std::string encodeUrl(std::string_view bytes) { return encodeWith(bytes, kUrl, false); }
std::optional<std::string> decode(std::string_view text) { return decodeWith(text, kStandard, true); }
std::optional<std::string> decodeUrl(std::string_view text) { return decodeWith(text, kUrl, false); }

} // namespace base64
