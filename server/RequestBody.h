#pragma once

#include <httplib.h>

#include <cstdint>
#include <string>

// Request bodies, read through the route's content reader so that no route ever buffers more than
// it chose to. A request without Content-Length or chunked encoding has no body: it is never
// read (reading one would wait for the client to close).
namespace body {

enum class Framing { None, Length, Chunked, Invalid };

struct Shape {
    Framing framing = Framing::None;
    std::uint64_t length = 0; // for Framing::Length
};
Shape shapeOf(const httplib::Request& request);

enum class Read { Ok, TooLarge, Failed };
// The whole body into `into`, if it has at most `limit` bytes.
Read readAll(const httplib::Request& request, const httplib::ContentReader& reader, size_t limit, std::string& into);

} // namespace body
