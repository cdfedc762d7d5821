#include "server/FileAppender.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kBufferBytes = 256 * 1024;
// Pieces this large cost one write each anyway; copying them into the buffer first would not pay.
constexpr size_t kStraightWrite = 64 * 1024;
constexpr std::uint64_t kWriteBackWindow = 8 * 1024 * 1024;

bool setDirect(int fd, bool on)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

bool wholePages(const iovec& piece)
{
    return AlignedBlock::isAligned(piece.iov_base) && piece.iov_len % AlignedBlock::kAlignment == 0;
}

size_t bytesIn(std::span<const iovec> pieces)
{
    size_t bytes = 0;
    for (const iovec& piece : pieces)
        bytes += piece.iov_len;
    return bytes;
}

} // namespace

bool FileAppender::append(const char* data, size_t size)
{
    const iovec piece{const_cast<char*>(data), size};
    return append(std::span(&piece, 1));
}

bool FileAppender::append(std::span<const iovec> pieces)
{
    size_t straight = straightPieces(pieces);
    if (straight > 0 && bytesIn(pieces.first(straight)) < kStraightWrite)
        straight = 0;
    if (straight > 0) {
        if (!writeBuffer() || !writeOut(pieces.first(straight)))
            return false;
    }
    for (const iovec& piece : pieces.subspan(straight)) {
        auto data = static_cast<const char*>(piece.iov_base);
        size_t size = piece.iov_len;
        // Direct I/O takes whole pages: a piece that starts on one but ends within one goes straight
        // but for its last, partial page.
        if (size >= kStraightWrite && m_mode != Mode::Buffered && m_buffer.size() % AlignedBlock::kAlignment == 0
            && AlignedBlock::isAligned(data)) {
            const iovec whole{const_cast<char*>(data), AlignedBlock::roundDown(size)};
            if (!writeBuffer() || !writeOut(std::span(&whole, 1)))
                return false;
            data += whole.iov_len;
            size -= whole.iov_len;
        }
        while (size > 0) {
            if (m_buffer.capacity() == 0)
                m_buffer = AlignedBlock(kBufferBytes);
            const size_t taken = m_buffer.append(data, size);
            data += taken;
            size -= taken;
            if (m_buffer.full() && !writeBuffer())
                return false;
        }
    }
    return true;
}

size_t FileAppender::straightPieces(std::span<const iovec> pieces) const
{
    // Through the page cache anything goes; direct I/O takes whole pages from page-aligned memory
    // at a page-aligned offset of the file, so the buffer before them must hold whole pages too.
    if (m_mode == Mode::Buffered)
        return pieces.size();
    if (m_buffer.size() % AlignedBlock::kAlignment != 0)
        return 0;
    size_t count = 0;
    while (count < pieces.size() && wholePages(pieces[count]))
        ++count;
    return count;
}

bool FileAppender::finish()
{
    // The tail need not be whole pages: it is the page cache's, and the final sync writes it.
    if (m_mode == Mode::Direct && m_buffer.size() % AlignedBlock::kAlignment != 0 && !stopDirect())
        return false;
    return writeBuffer();
}

bool FileAppender::writeBuffer()
{
    if (m_buffer.empty())
        return true;
    const iovec piece{m_buffer.data(), m_buffer.size()};
    if (!writeOut(std::span(&piece, 1)))
        return false;
    m_buffer.clear();
    return true;
}

bool FileAppender::writeOut(std::span<const iovec> pieces)
{
    if (m_mode == Mode::Untried)
        m_mode = setDirect(m_fd, true) ? Mode::Direct : Mode::Buffered;
    if (m_mode == Mode::Direct && m_written % AlignedBlock::kAlignment != 0 && !stopDirect())
        return false;
    for (const iovec& piece : pieces) {
        if (m_mode == Mode::Direct && !wholePages(piece) && !stopDirect())
            return false;
    }
    return writeAll(pieces);
}

bool FileAppender::writeAll(std::span<const iovec> pieces)
{
    std::vector<iovec> left(pieces.begin(), pieces.end());
    size_t first = 0;
    while (first < left.size()) {
        const ssize_t n = ::pwritev(m_fd, left.data() + first, static_cast<int>(left.size() - first), static_cast<off_t>(m_written));
        if (n < 0 && errno == EINTR)
            continue;
        // The file system took the flag but not this write (alignment it wants larger than a page):
        // the page cache takes it, and the rest.
        if (n < 0 && errno == EINVAL && m_mode == Mode::Direct) {
            if (!stopDirect())
                return false;
            continue;
        }
        if (n < 0)
            return false;
        if (n == 0) {
            // Nothing taken and no error given: no room for it.
            errno = ENOSPC;
            return false;
        }
        m_written += static_cast<std::uint64_t>(n);
        for (size_t done = static_cast<size_t>(n); done > 0;) {
            iovec& piece = left[first];
            const size_t part = std::min(done, piece.iov_len);
            piece.iov_base = static_cast<char*>(piece.iov_base) + part;
            piece.iov_len -= part;
            done -= part;
            if (piece.iov_len == 0)
                ++first;
        }
        while (first < left.size() && left[first].iov_len == 0)
            ++first;
    }
    if (m_mode == Mode::Buffered)
        writeBack();
    return true;
}

bool FileAppender::stopDirect()
{
    m_mode = Mode::Buffered;
    m_writtenBack = m_written; // on the disk already
    return setDirect(m_fd, false);
}

// Hands what was written to the disk window by window while the upload goes on, and waits for
// the window before: dirty pages stay few and the final fsync has little left to do.
void FileAppender::writeBack()
{
    while (m_written - m_writtenBack >= kWriteBackWindow) {
        ::sync_file_range(m_fd, static_cast<off_t>(m_writtenBack), kWriteBackWindow, SYNC_FILE_RANGE_WRITE);
        if (m_writtenBack >= kWriteBackWindow)
            ::sync_file_range(m_fd, static_cast<off_t>(m_writtenBack - kWriteBackWindow), kWriteBackWindow,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        m_writtenBack += kWriteBackWindow;
    }
}
