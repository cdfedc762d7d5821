#include "server/storage/S3Xml.h"

#include <charconv>
#include <cstdio>
#include <ctime>

namespace s3xml {

namespace {

struct Found {
    std::string_view contents;
    size_t end = 0; // just past the element
};

std::optional<Found> find(std::string_view xml, std::string_view name, size_t from)
{
    while (true) {
        const size_t open = xml.find('<', from);
        if (open == std::string_view::npos)
            return std::nullopt;
        from = open + 1;
        if (xml.substr(open + 1, name.size()) != name)
            continue;
        const size_t afterName = open + 1 + name.size();
        if (afterName >= xml.size())
            return std::nullopt;
        const char next = xml[afterName];
        if (next != '>' && next != '/' && next != ' ' && next != '\t' && next != '\r' && next != '\n')
            continue; // <ContentsX> is not <Contents>
        const size_t tagEnd = xml.find('>', afterName);
        if (tagEnd == std::string_view::npos)
            return std::nullopt;
        if (xml[tagEnd - 1] == '/')
            return Found{std::string_view(), tagEnd + 1};
        const std::string closing = "</" + std::string(name) + ">";
        const size_t close = xml.find(closing, tagEnd + 1);
        if (close == std::string_view::npos)
            return std::nullopt;
        return Found{xml.substr(tagEnd + 1, close - tagEnd - 1), close + closing.size()};
    }
}

void appendCodePoint(std::string& out, unsigned long code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

} // namespace

std::vector<std::string_view> elements(std::string_view xml, std::string_view name)
{
    std::vector<std::string_view> found;
    size_t from = 0;
    while (auto element = find(xml, name, from)) {
        found.push_back(element->contents);
        from = element->end;
    }
    return found;
}

std::optional<std::string_view> element(std::string_view xml, std::string_view name)
{
    if (auto found = find(xml, name, 0))
        return found->contents;
    return std::nullopt;
}

std::string text(std::string_view xml, std::string_view name)
{
    const auto raw = element(xml, name);
    return raw ? unescape(*raw) : std::string();
}

std::string unescape(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        const size_t semicolon = raw[i] == '&' ? raw.find(';', i) : std::string_view::npos;
        if (semicolon == std::string_view::npos) {
            out += raw[i];
            continue;
        }
        const std::string_view entity = raw.substr(i + 1, semicolon - i - 1);
        if (entity == "amp")
            out += '&';
        else if (entity == "lt")
            out += '<';
        else if (entity == "gt")
            out += '>';
        else if (entity == "quot")
            out += '"';
        else if (entity == "apos")
            out += '\'';
        else if (entity.starts_with('#')) {
            const bool hex = entity.size() > 1 && (entity[1] == 'x' || entity[1] == 'X');
            const std::string_view digits = entity.substr(hex ? 2 : 1);
            unsigned long code = 0;
            const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
            if (error != std::errc() || end != digits.data() + digits.size() || digits.empty() || code > 0x10FFFF) {
                out += raw[i];
                continue;
            }
            appendCodePoint(out, code);
        } else {
            out += raw[i];
            continue;
        }
        i = semicolon;
    }
    return out;
}

std::string escape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::optional<std::int64_t> parseTimestamp(std::string_view iso8601)
{
    std::tm parts{};
    const std::string text(iso8601);
    char separator = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &parts.tm_year, &parts.tm_mon, &parts.tm_mday, &separator, &parts.tm_hour,
                    &parts.tm_min, &parts.tm_sec)
            != 7
        || (separator != 'T' && separator != ' '))
        return std::nullopt;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return static_cast<std::int64_t>(timegm(&parts));
}

} // namespace s3xml
