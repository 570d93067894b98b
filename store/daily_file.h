// Appending one entry to a day's file, shared by the daily event logs and the offset record.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string_view>

namespace zrq {

enum class Appended {
    Written,      // the whole entry is in the file
    NotOpened,    // the file could not be opened or created; nothing was written
    WriteFailed,  // the open worked but a write did not; what it wrote was taken back off
    Full,         // the entry would take the file past its size limit; nothing was written
};

inline constexpr uint64_t kNoSizeLimit = std::numeric_limits<uint64_t>::max();

// Opens `path` for appending (created 0666, less the umask), writes the pieces in order and
// closes it again. `firstIfNew` goes first when the file was empty (a CSV header, say). Opened
// with O_NONBLOCK, so that a pipe put in the file's place cannot hang the caller, and
// O_NOFOLLOW: a link under the day's name is someone else's and is not written through. An
// entry that fails part-way is cut back off the file's end, so that no torn entry stays behind
// (best effort). At most three pieces (more write nothing: WriteFailed); allocates nothing.
// On NotOpened and WriteFailed, `error` (when given) receives the system's errno.
Appended appendToDailyFile(const char* path, std::initializer_list<std::string_view> pieces,
                           std::string_view firstIfNew = {}, int* error = nullptr,
                           uint64_t sizeLimit = kNoSizeLimit);

}  // namespace zrq
