// The daily jump and communication logs: each call opens the day's file, appends one entry, closes.
#include "store/event_log.h"

#include <cstdio>
#include <string_view>

#include "store/daily_file.h"

namespace zrq {
namespace {

constexpr std::string_view kDayLogFull =
    "[LOG FULL:] the day's log reached its size limit; the rest of the day's entries are dropped";
// The logs are read on a platform that expects CR LF.
constexpr std::string_view kLineBreak = "\r\n";

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

}  // namespace

EventLog::EventLog(LocalClock& clock, MessageBoxes& boxes, std::string directory, Journal* journal)
    : clock_(clock),
      boxes_(boxes),
      directory_(std::move(directory)),
      journal_(journal),
      communication_{WriteTrouble(boxes, journal), {}, 0},
      jumps_{WriteTrouble(boxes, journal), {}, 0} {
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

    KindState& state = kind != 0 ? jumps_ : communication_;
    if (!state.fullPath.empty() && state.fullPath != path_) {
        if (journal_ != nullptr) {
            journal_->writeUtf8(state.fullPath + ": " + std::to_string(state.dropped) +
                                " entries were dropped after the day's log was full");
        }
        state.fullPath.clear();
        state.dropped = 0;
    }
    if (!state.fullPath.empty()) {
        ++state.dropped;
        return;
    }

    char header[kHeaderCapacity];
    const size_t headerLength = writeHeader(header, clock_.now());
    // A failure after the open loses this entry only: the handler that logs must carry on.
    int error = 0;
    const Appended appended = appendToDailyFile(
        path_.c_str(), {kLineBreak, std::string_view(header, headerLength), text.bytes()}, {},
        &error, kMaxDailyLogBytes);
    state.trouble.note(path_, appended, error);
    if (appended == Appended::Full) dayLogFull(state);
}

// The note goes in past the limit (it is short, and written once a day), so that whoever reads
// the file learns why it ends.
void EventLog::dayLogFull(KindState& state) {
    state.fullPath = path_;
    state.dropped = 1;
    char header[kHeaderCapacity];
    const size_t headerLength = writeHeader(header, clock_.now());
    appendToDailyFile(path_.c_str(),
                      {kLineBreak, std::string_view(header, headerLength), kDayLogFull});
    if (journal_ != nullptr) {
        journal_->writeUtf8(path_ + " reached " + std::to_string(kMaxDailyLogBytes >> 20) +
                            " MB: the rest of the day's entries for it are dropped");
    }
}

}  // namespace zrq
