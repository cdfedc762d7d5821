#include "server/RequestBody.h"

#include "server/Text.h"

namespace body {

Shape shapeOf(const httplib::Request& request)
{
    if (request.has_header("Transfer-Encoding")) {
        // Only a plain "chunked" is decoded; anything else would be misread.
        if (request.get_header_value_count("Transfer-Encoding") == 1
            && text::toLower(text::trim(request.get_header_value("Transfer-Encoding"))) == "chunked")
            return {Framing::Chunked, 0};
        return {Framing::Invalid, 0};
    }
    if (!request.has_header("Content-Length"))
        return {Framing::None, 0};
    const auto length = request.get_header_value_count("Content-Length") == 1
        ? text::parseUnsigned(text::trim(request.get_header_value("Content-Length")))
        : std::nullopt;
    if (!length)
        return {Framing::Invalid, 0};
    return {Framing::Length, *length};
}

Read readAll(const httplib::Request& request, const httplib::ContentReader& reader, size_t limit, std::string& into)
{
    const Shape shape = shapeOf(request);
    if (shape.framing == Framing::None)
        return Read::Ok;
    if (shape.framing == Framing::Invalid)
        return Read::Failed;
    if (shape.framing == Framing::Length && shape.length > limit)
        return Read::TooLarge;
    bool tooLarge = false;
    const bool complete = reader([&](const char* data, size_t size) {
        if (into.size() + size > limit) {
            tooLarge = true;
            return false;
        }
        into.append(data, size);
        return true;
    });
    if (tooLarge)
        return Read::TooLarge;
    return complete ? Read::Ok : Read::Failed;
}

} // namespace body
