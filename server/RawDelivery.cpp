#include "server/RawDelivery.h"

#include "server/Text.h"

namespace raw {

namespace {

constexpr std::string_view kFallback = "application/octet-stream";
constexpr size_t kMaximumLength = 255;

bool isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view value)
{
    if (value.empty())
        return false;
    for (const char c : value) {
        if (!isTokenChar(c))
            return false;
    }
    return true;
}

// Each parameter is name=token or name="quoted string" with printable ASCII inside.
bool validParameters(std::string_view parameters)
{
    while (!parameters.empty()) {
        if (parameters.front() != ';')
            return false;
        parameters.remove_prefix(1);
        while (!parameters.empty() && parameters.front() == ' ')
            parameters.remove_prefix(1);
        const size_t equals = parameters.find('=');
        if (equals == std::string_view::npos || !isToken(parameters.substr(0, equals)))
            return false;
        parameters.remove_prefix(equals + 1);
        if (!parameters.empty() && parameters.front() == '"') {
            size_t end = 1;
            while (end < parameters.size() && parameters[end] != '"') {
                const auto c = static_cast<unsigned char>(parameters[end]);
                if (c < 0x20 || c >= 0x7F || c == '\\')
                    return false;
                ++end;
            }
            if (end >= parameters.size())
                return false;
            parameters.remove_prefix(end + 1);
        } else {
            size_t end = 0;
            while (end < parameters.size() && isTokenChar(parameters[end]))
                ++end;
            if (end == 0)
                return false;
            parameters.remove_prefix(end);
        }
        while (!parameters.empty() && parameters.front() == ' ')
            parameters.remove_prefix(1);
    }
    return true;
}

bool startsWith(std::string_view value, std::string_view prefix)
{
    return value.substr(0, prefix.size()) == prefix;
}

bool contains(std::string_view value, std::string_view part)
{
    return value.find(part) != std::string_view::npos;
}

} // namespace

std::string normalizeContentType(std::string_view headerValue)
{
    const std::string value = text::trim(headerValue);
    if (value.empty() || value.size() > kMaximumLength)
        return std::string(kFallback);
    const size_t semicolon = value.find(';');
    const std::string mediaType = text::trim(std::string_view(value).substr(0, semicolon));
    const size_t slash = mediaType.find('/');
    if (slash == std::string::npos || !isToken(mediaType.substr(0, slash)) || !isToken(mediaType.substr(slash + 1)))
        return std::string(kFallback);
    std::string parameters;
    if (semicolon != std::string::npos) {
        parameters = value.substr(semicolon);
        if (!validParameters(parameters))
            return std::string(kFallback);
    }
    return text::toLower(mediaType) + parameters;
}

std::string essence(std::string_view contentType)
{
    return text::toLower(text::trim(contentType.substr(0, contentType.find(';'))));
}

MediaKind mediaKind(std::string_view contentType)
{
    const std::string type = essence(contentType);
    if (startsWith(type, "image/") && !contains(type, "svg") && !contains(type, "xml"))
        return MediaKind::Image;
    if (startsWith(type, "audio/"))
        return MediaKind::Audio;
    if (startsWith(type, "video/"))
        return MediaKind::Video;
    return MediaKind::Other;
}

bool showsInline(std::string_view contentType, bool download)
{
    const std::string type = essence(contentType);
    // An allow-list: a type we do not know is never shown inline.
    return !download && (mediaKind(type) != MediaKind::Other || type == "text/plain");
}

} // namespace raw
