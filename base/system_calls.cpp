// The error text and whole-write wrappers around system calls.
#include "base/system_calls.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zrq {

const char* errorText(int error, char* buffer, size_t size) {
    // GNU strerror_r returns the text, which may or may not be in the buffer.
    return ::strerror_r(error, buffer, size);
}

std::string errorText(int error) {
    char buffer[128];
    return errorText(error, buffer, sizeof buffer);
}

bool writeWhole(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;  // no progress and no reason given
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

size_t writeWholePieces(int fd, iovec* pieces, int count) {
    size_t written = 0;
    while (count > 0) {
        const ssize_t n = ::writev(fd, pieces, count);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;  // no progress and no reason given
        if (n <= 0) break;
        written += static_cast<size_t>(n);
        auto left = static_cast<size_t>(n);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return written;
}

}  // namespace zrq
