#pragma once

#include "server/AlignedBlock.h"

#include <cstddef>
#include <cstdint>
#include <span>

#include <sys/uio.h>

// Appends a stream of bytes to a file it does not own. Pieces that start on a page and span whole
// pages go straight to the disk with direct I/O: a large upload then costs no copy into the page
// cache and leaves none of it dirty. Small or misaligned pieces are gathered in a small aligned
// buffer first. Where the file system refuses direct I/O (tmpfs on older kernels, some network
// file systems), the bytes go through the page cache, handed to the disk window by window.
class FileAppender {
public:
    explicit FileAppender(int fd)
        : m_fd(fd)
    {
    }
    FileAppender(const FileAppender&) = delete;
    FileAppender& operator=(const FileAppender&) = delete;

    // False, with errno set, when the bytes could not be written (a full disk).
    bool append(const char* data, size_t size);
    // Consecutive pieces, written with one call where they can go straight to the disk.
    bool append(std::span<const iovec> pieces);
    // Writes what is still buffered: the file then holds every byte appended, not yet synced.
    bool finish();
    // Whether bytes are going to the disk without the page cache.
    bool direct() const { return m_mode == Mode::Direct; }

private:
    enum class Mode { Untried, Direct, Buffered };

    // How many of the leading pieces can go straight to the disk after the buffer.
    size_t straightPieces(std::span<const iovec> pieces) const;
    bool writeOut(std::span<const iovec> pieces);
    bool writeBuffer();
    bool writeAll(std::span<const iovec> pieces);
    // Direct I/O off for good: what follows may not fall on whole pages.
    bool stopDirect();
    void writeBack();

    int m_fd;
    Mode m_mode = Mode::Untried;
    AlignedBlock m_buffer; // allocated when first needed
    std::uint64_t m_written = 0;
    std::uint64_t m_writtenBack = 0; // handed to the disk so far, through the page cache
};
