#include "server/ShortCode.h"

#include <openssl/rand.h>

#include <stdexcept>

namespace shortcode {

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

std::string generate()
{
    for (;;) {
        std::string code;
        while (code.size() < kLength) {
            unsigned char bytes[16];
            if (RAND_bytes(bytes, sizeof bytes) != 1)
                throw std::runtime_error("no random bytes for a short code");
            for (const unsigned char b : bytes) {
                // 248 = 4 * 62: rejecting the rest keeps every character equally likely.
                if (b < 248 && code.size() < kLength)
                    code += kAlphabet[b % kAlphabet.size()];
            }
        }
        if (isValid(code))
            return code;
    }
}

bool isValid(std::string_view code)
{
    if (code.size() != kLength)
        return false;
    bool hasDigit = false;
    for (const char c : code) {
        if (kAlphabet.find(c) == std::string_view::npos)
            return false;
        hasDigit = hasDigit || isDigit(c);
    }
    return hasDigit;
}

} // namespace shortcode
