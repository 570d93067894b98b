// The small wrappers around system calls that several parts of the program need: the text of an
// error number, and writing a whole buffer (or a list of pieces) through interruptions and
// partial writes.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <string>

namespace zrq {

// The system's text for an errno value ("No space left on device"), safe from any thread. May
// use `buffer` (of `size` bytes) or return a text of the C library's own; allocates nothing.
const char* errorText(int error, char* buffer, size_t size);
std::string errorText(int error);

// Writes every byte, retrying interrupted and partial writes. False, with errno set, when a write
// fails or writes nothing.
bool writeWhole(int fd, const void* data, size_t size);

// The same for pieces in order (writev): returns the number of bytes written, less than their sum
// when a write failed (errno then set). The pieces are used up as they are written.
size_t writeWholePieces(int fd, iovec* pieces, int count);

}  // namespace zrq
