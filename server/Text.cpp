#include "server/Text.h"

#include <cctype>
#include <ctime>

#include <algorithm>

#include <array>
#include <charconv>
#include <cstdio>

namespace text {

bool isValidUtf8(std::string_view bytes)
{
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        std::uint32_t codePoint = 0;
        if ((c & 0xE0) == 0xC0) {
            length = 2;
            codePoint = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            codePoint = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            codePoint = c & 0x07;
        } else {
            return false;
        }
        if (i + length > n)
            return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr std::array<std::uint32_t, 5> minimum{0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < minimum[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

std::string toLower(std::string_view value)
{
    std::string lower(value);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

std::string trim(std::string_view value)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!value.empty() && blank(value.front()))
        value.remove_prefix(1);
    while (!value.empty() && blank(value.back()))
        value.remove_suffix(1);
    return std::string(value);
}

bool isToken(std::string_view value)
{
    static constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
    return !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || kSymbols.find(c) != std::string_view::npos;
    });
}

namespace {

// U+202A to U+202E (embeddings, overrides), U+2066 to U+2069 (isolates) and the marks U+200E,
// U+200F and U+061C, in UTF-8: they can show "photo\u202Egnp.exe" as "photoexe.png". Answers the
// length of the one at the start of `bytes`, or 0.
size_t directionControlLength(std::string_view bytes)
{
    if (bytes.size() >= 2 && bytes[0] == '\xD8' && bytes[1] == '\x9C')
        return 2;
    if (bytes.size() < 3 || bytes[0] != '\xE2')
        return 0;
    const auto second = static_cast<unsigned char>(bytes[1]);
    const auto third = static_cast<unsigned char>(bytes[2]);
    const bool control = (second == 0x80 && ((third >= 0xAA && third <= 0xAE) || third == 0x8E || third == 0x8F))
        || (second == 0x81 && third >= 0xA6 && third <= 0xA9);
    return control ? 3 : 0;
}

} // namespace

std::string htmlEscape(std::string_view value)
{
    std::string escaped;
    escaped.reserve(value.size() + value.size() / 8);
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#39;";
            break;
        case '\t':
        case '\n':
        case '\r':
            escaped += c;
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                escaped += "\xEF\xBF\xBD";
            } else if (const size_t length = directionControlLength(value.substr(i))) {
                escaped += "\xEF\xBF\xBD";
                i += length - 1;
            } else {
                escaped += c;
            }
        }
    }
    return escaped;
}

namespace {

bool isAttrChar(unsigned char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '!':
    case '#':
    case '$':
    case '&':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
        return true;
    default:
        return false;
    }
}

// RFC 3986 unreserved: safe anywhere in a URL, a query value included.
bool isUnreserved(unsigned char c)
{
    return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~';
}

std::string percentEncodeExcept(std::string_view value, bool (*kept)(unsigned char))
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(value.size() * 3);
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (kept(c)) {
            encoded += ch;
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 0x0F];
        }
    }
    return encoded;
}

} // namespace

std::string percentEncodeAttribute(std::string_view value)
{
    return percentEncodeExcept(value, isAttrChar);
}

std::string percentEncodeComponent(std::string_view value)
{
    return percentEncodeExcept(value, isUnreserved);
}

bool hasDirectionControl(std::string_view value)
{
    for (size_t i = 0; i < value.size(); ++i) {
        if (directionControlLength(value.substr(i)))
            return true;
    }
    return false;
}

std::string withoutDirectionControls(std::string_view value)
{
    std::string clean;
    clean.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (const size_t length = directionControlLength(value.substr(i))) {
            clean += "\xEF\xBF\xBD";
            i += length - 1;
        } else {
            clean += value[i];
        }
    }
    return clean;
}

std::string contentDisposition(bool inlineDisplay, std::string_view shownName)
{
    const std::string fileName = withoutDirectionControls(shownName);
    // Old clients read only the quoted name: printable ASCII, no quotes, backslashes or slashes.
    std::string fallback;
    for (const char ch : fileName) {
        const auto c = static_cast<unsigned char>(ch);
        fallback += (c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '/' && c != '%') ? ch : '_';
    }
    if (fallback.empty())
        fallback = "download";
    std::string header = inlineDisplay ? "inline" : "attachment";
    header += "; filename=\"" + fallback + "\"";
    if (!fileName.empty())
        header += "; filename*=UTF-8''" + percentEncodeAttribute(fileName);
    return header;
}

std::string printable(std::string_view value)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(value.size());
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x21 && c < 0x7F && c != '\\') {
            out += ch;
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

std::string humanSize(std::uint64_t bytes)
{
    if (bytes == 1)
        return "1 byte";
    if (bytes < 1000)
        return std::to_string(bytes) + " bytes";
    static constexpr const char* units[] = {"KB", "MB", "GB", "TB", "PB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    value /= 1000.0;
    while (value >= 999.95 && unit + 1 < std::size(units)) {
        value /= 1000.0;
        ++unit;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, value < 10 ? "%.1f %s" : "%.0f %s", value, units[unit]);
    // snprintf follows LC_NUMERIC; the server never sets a locale, but a host process may have.
    for (char& c : buffer) {
        if (c == ',')
            c = '.';
    }
    return buffer;
}

std::optional<std::uint64_t> parseUnsigned(std::string_view digits)
{
    if (digits.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

std::string isoTime(std::int64_t seconds)
{
    const auto time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

} // namespace text
