#include "server/ImageSize.h"

#include <array>
#include <cstring>
#include <fstream>

namespace {

std::uint32_t bigEndian16(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 8) | p[1];
}
std::uint32_t bigEndian32(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
std::uint32_t littleEndian16(const unsigned char* p)
{
    return (std::uint32_t(p[1]) << 8) | p[0];
}

std::optional<ImageSize> nonEmpty(std::uint32_t width, std::uint32_t height)
{
    if (width == 0 || height == 0)
        return std::nullopt;
    return ImageSize{width, height};
}

bool readExactly(std::istream& in, unsigned char* into, size_t size)
{
    in.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(size));
    return static_cast<size_t>(in.gcount()) == size;
}

std::optional<ImageSize> jpegSize(std::istream& in)
{
    // After SOI: segments of FF <marker> <length>, until a start-of-frame gives the size.
    in.seekg(2);
    for (int segments = 0; segments < 1000; ++segments) {
        unsigned char marker[2];
        if (!readExactly(in, marker, 2) || marker[0] != 0xFF)
            return std::nullopt;
        while (marker[1] == 0xFF) { // fill bytes
            if (!readExactly(in, marker + 1, 1))
                return std::nullopt;
        }
        const unsigned char type = marker[1];
        if (type == 0xD8 || type == 0x01 || (type >= 0xD0 && type <= 0xD7))
            continue; // markers without a length
        if (type == 0xD9 || type == 0xDA)
            return std::nullopt; // end of image, or scan data before any frame header
        unsigned char lengthBytes[2];
        if (!readExactly(in, lengthBytes, 2))
            return std::nullopt;
        const std::uint32_t length = bigEndian16(lengthBytes);
        if (length < 2)
            return std::nullopt;
        const bool startOfFrame = type >= 0xC0 && type <= 0xCF && type != 0xC4 && type != 0xC8 && type != 0xCC;
        if (startOfFrame) {
            unsigned char frame[5]; // precision, height, width
            if (length < 7 || !readExactly(in, frame, 5))
                return std::nullopt;
            return nonEmpty(bigEndian16(frame + 3), bigEndian16(frame + 1));
        }
        in.seekg(length - 2, std::ios::cur);
    }
    return std::nullopt;
}

} // namespace

std::optional<ImageSize> readImageSize(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return readImageSize(in);
}

std::optional<ImageSize> readImageSize(std::istream& in)
{
    std::array<unsigned char, 26> head{};
    in.read(reinterpret_cast<char*>(head.data()), head.size());
    const size_t got = static_cast<size_t>(in.gcount());
    in.clear();

    static constexpr unsigned char png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (got >= 24 && std::memcmp(head.data(), png, sizeof png) == 0 && std::memcmp(head.data() + 12, "IHDR", 4) == 0)
        return nonEmpty(bigEndian32(head.data() + 16), bigEndian32(head.data() + 20));
    if (got >= 10 && (std::memcmp(head.data(), "GIF87a", 6) == 0 || std::memcmp(head.data(), "GIF89a", 6) == 0))
        return nonEmpty(littleEndian16(head.data() + 6), littleEndian16(head.data() + 8));
    if (got >= 4 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF)
        return jpegSize(in);
    return std::nullopt;
}
