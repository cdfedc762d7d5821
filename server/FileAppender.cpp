#include "server/FileAppender.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

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

} // namespace

bool FileAppender::append(const char* data, size_t size)
{
    // Direct I/O takes whole pages from page-aligned memory, at a page-aligned offset of the file:
    // a piece that starts on a page goes straight after the buffer when the buffer holds whole pages.
    const bool straight = size >= kStraightWrite
        && (m_mode == Mode::Buffered || (AlignedBlock::isAligned(data) && m_buffer.size() % AlignedBlock::kAlignment == 0));
    if (straight) {
        if (!writeBuffer())
            return false;
        const size_t whole = m_mode == Mode::Buffered ? size : AlignedBlock::roundDown(size);
        if (!writeOut(data, whole))
            return false;
        data += whole;
        size -= whole;
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
    return true;
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
    if (!writeOut(m_buffer.data(), m_buffer.size()))
        return false;
    m_buffer.clear();
    return true;
}

bool FileAppender::writeOut(const char* data, size_t size)
{
    if (m_mode == Mode::Untried)
        m_mode = setDirect(m_fd, true) ? Mode::Direct : Mode::Buffered;
    if (m_mode == Mode::Direct
        && (!AlignedBlock::isAligned(data) || size % AlignedBlock::kAlignment != 0 || m_written % AlignedBlock::kAlignment != 0)
        && !stopDirect())
        return false;
    return writeAll(data, size);
}

bool FileAppender::writeAll(const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(m_fd, data, size, static_cast<off_t>(m_written));
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
        data += n;
        size -= static_cast<size_t>(n);
        m_written += static_cast<std::uint64_t>(n);
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
