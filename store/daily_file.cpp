// The one way an entry is added to a day's file: open, append whole, or take it back, close.
#include "store/daily_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "base/system_calls.h"

namespace zrq {
namespace {

constexpr int kMaxPieces = 3;

iovec pieceOf(std::string_view text) { return {const_cast<char*>(text.data()), text.size()}; }

}  // namespace

Appended appendToDailyFile(const char* path, std::initializer_list<std::string_view> pieces,
                           std::string_view firstIfNew, int* error, uint64_t sizeLimit) {
    int ignored = 0;
    int& reason = error ? *error : ignored;
    reason = 0;
    if (pieces.size() > kMaxPieces) {  // never cut an entry short
        reason = EINVAL;
        return Appended::WriteFailed;
    }
    const int fd =
        ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0666);
    if (fd < 0) {
        reason = errno;
        return Appended::NotOpened;
    }

    struct stat before {};
    const bool sizeKnown = ::fstat(fd, &before) == 0;
    iovec entry[kMaxPieces + 1];
    int count = 0;
    size_t total = 0;
    if (!firstIfNew.empty() && sizeKnown && before.st_size == 0) {
        entry[count++] = pieceOf(firstIfNew);
        total += firstIfNew.size();
    }
    for (const std::string_view piece : pieces) {
        entry[count++] = pieceOf(piece);
        total += piece.size();
    }

    if (sizeKnown && uint64_t(before.st_size) + total > sizeLimit) {
        ::close(fd);
        return Appended::Full;
    }

    const size_t written = writeWholePieces(fd, entry, count);
    Appended outcome = Appended::Written;
    if (written < total) {
        reason = errno;
        outcome = Appended::WriteFailed;
        if (written > 0 && sizeKnown) {
            const int cut = ::ftruncate(fd, before.st_size);  // else the fragment stays
            static_cast<void>(cut);
        }
    }
    ::close(fd);
    return outcome;
}

}  // namespace zrq
