#pragma once

#include <string>
#include <string_view>

// How the service hands out a drop's bytes. Whatever a browser would render as a document of
// the service's own origin (HTML, SVG, XML, scripts) is only ever offered as a download.
namespace raw {

enum class MediaKind { Image, Audio, Video, Other };

// The upload's Content-Type if it is a well-formed media type (type/subtype with parameters,
// type and subtype lowercased), else "application/octet-stream".
std::string normalizeContentType(std::string_view headerValue);

// The type without parameters, lowercased: "text/plain; charset=utf-8" -> "text/plain".
std::string essence(std::string_view contentType);

MediaKind mediaKind(std::string_view contentType);

// Whether a drop may show in the browser (images, audio, video, plain text) rather than be
// downloaded. PDF is downloaded: it can carry scripts, and the sandbox that keeps them out of the
// service's origin breaks some browsers' built-in PDF viewers.
bool showsInline(std::string_view contentType, bool download);

} // namespace raw
