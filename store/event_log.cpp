// The daily jump and communication logs: each call opens the day's file, appends one entry, closes.
#include "store/event_log.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace zrq {
namespace {

constexpr const char* kFileAccessError = "File access error";
constexpr const char* kLineBreak = "\r\n";  // the logs are read on a platform that expects CR LF
constexpr size_t kLineBreakSize = 2;

// "YYMMDDS.txt" plus its terminator, with room to spare for out-of-range fields.
constexpr size_t kFileNameCapacity = 24;
// " yyyy-mm-dd hh:nn:ss ------" is 27 bytes; the spare room is for out-of-range fields.
constexpr size_t kHeaderCapacity = 48;

// Writes the day's file name into `out` (capacity kFileNameCapacity); returns its length.
size_t writeFileName(char* out, int kind, const LocalTimeRecord& date) {
    int n = std::snprintf(out, kFileNameCapacity, "%02u%02u%02u%c.txt", unsigned{date.year} % 100,
                          unsigned{date.month}, unsigned{date.day}, kind != 0 ? 'S' : 'C');
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// Writes the entry header into `out` (capacity kHeaderCapacity); returns its length.
size_t writeHeader(char* out, const LocalTimeRecord& t) {
    int n = std::snprintf(out, kHeaderCapacity, " %04u-%02u-%02u %02u:%02u:%02u ------",
                          unsigned{t.year}, unsigned{t.month}, unsigned{t.day}, unsigned{t.hour},
                          unsigned{t.minute}, unsigned{t.second});
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// Writes every byte of the pieces, retrying interrupted and partial writes. Returns the number of
// bytes written; less than the total means a write failed.
size_t writeAllPieces(int fd, iovec* pieces, int count) {
    size_t written = 0;
    while (count > 0) {
        ssize_t n = ::writev(fd, pieces, count);
        if (n < 0 && errno == EINTR) continue;
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

// Takes a partly written entry back off the end of the file, so a failed write leaves no torn
// line behind. Best effort: a file that cannot be cut keeps the fragment.
void removeTornEntry(int fd, size_t written) {
    off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (written == 0 || end < static_cast<off_t>(written)) return;
    int cut = ::ftruncate(fd, end - static_cast<off_t>(written));
    static_cast<void>(cut);
}

}  // namespace

EventLog::EventLog(LocalClock& clock, MessageBoxes& boxes, std::string directory, Journal* journal)
    : clock_(clock), boxes_(boxes), directory_(std::move(directory)), journal_(journal) {
    // The path is rebuilt in place on every call; reserving once keeps the calls allocation-free.
    path_.reserve(directory_.size() + 1 + kFileNameCapacity);
}

std::string EventLog::fileName(int kind, const LocalTimeRecord& date) {
    char name[kFileNameCapacity];
    return std::string(name, writeFileName(name, kind, date));
}

void EventLog::copyToJournal(const GbkText& text) {
    if (journal_ != nullptr) journal_->write(text);
}

void EventLog::savelogline(int kind, const GbkText& text) {
    char name[kFileNameCapacity];
    const size_t nameLength = writeFileName(name, kind, clock_.now());
    path_.assign(directory_);
    if (!path_.empty()) path_ += '/';
    path_.append(name, nameLength);

    // O_NONBLOCK: a pipe put in the file's place must not hang the received-data handler.
    // O_NOFOLLOW: a link under the day's name is someone else's; the entry is not written there.
    int fd = ::open(path_.c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0666);
    if (fd < 0) {
        boxes_.warning(GbkText::fromBytes(kFileAccessError));
        return;
    }

    char header[kHeaderCapacity];
    const size_t headerLength = writeHeader(header, clock_.now());
    iovec pieces[] = {
        {const_cast<char*>(kLineBreak), kLineBreakSize},
        {header, headerLength},
        {const_cast<char*>(text.bytes().data()), text.size()},
    };
    const size_t total = kLineBreakSize + headerLength + text.size();
    // A failure after the open loses this entry only: the handler that logs must carry on.
    const size_t written = writeAllPieces(fd, pieces, 3);
    if (written < total) removeTornEntry(fd, written);
    ::close(fd);
}

}  // namespace zrq
