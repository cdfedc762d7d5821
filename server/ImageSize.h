#pragma once

#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>

struct ImageSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// Pixel dimensions from the header of a PNG, GIF or JPEG file; nothing for other formats or
// damaged files. Reads only the header (JPEG: walks the segments up to the frame header).
std::optional<ImageSize> readImageSize(const std::filesystem::path& file);
// The same from a stream positioned at the file's first byte.
std::optional<ImageSize> readImageSize(std::istream& in);
