// The offset record: each correction attempt as one CSV line, appended to the day's file.
#include "timecode/offset_record.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string_view>

#include "store/daily_file.h"

namespace zrq {
namespace {

constexpr size_t kFileNameCapacity = 24;  // "yymmddO.csv", with room for out-of-range fields
// One line: two date-times of 23 bytes, two numbers, the result with a
// reason (cut to fit), commas and the line end.
constexpr size_t kLineCapacity = 320;
constexpr size_t kReasonCapacity = 160;
constexpr int64_t kUsPerTenthMs = 100;

size_t writeFileName(char* out, const LocalTimeRecord& date) {
    const int n =
        std::snprintf(out, kFileNameCapacity, "%02u%02u%02uO.csv", unsigned{date.year} % 100,
                      unsigned{date.month}, unsigned{date.day});
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// Appends formatted text to the line, never past its capacity.
class LineBuilder {
public:
    explicit LineBuilder(char* buffer) : buffer_(buffer) {}

    // printf-like, so that every pattern is checked against its arguments where it is written.
    __attribute__((format(printf, 2, 3))) void format(const char* pattern, ...) {
        if (used_ >= kLineCapacity) return;
        va_list args;
        va_start(args, pattern);
        const int n = std::vsnprintf(buffer_ + used_, kLineCapacity - used_, pattern, args);
        va_end(args);
        if (n > 0) used_ = std::min(kLineCapacity - 1, used_ + static_cast<size_t>(n));
    }
    // "yyyy-mm-dd hh:nn:ss.zzz"
    void dateTime(const LocalTimeRecord& t, unsigned milliseconds) {
        format("%04u-%02u-%02u %02u:%02u:%02u.%03u", unsigned{t.year}, unsigned{t.month},
               unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute}, unsigned{t.second},
               milliseconds);
    }
    // Milliseconds with one decimal, rounded half away from zero: -135.0, 0.4, 12.3.
    void tenthsOfMs(int64_t us) {
        const bool negative = us < 0;
        const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(us) : us;
        const uint64_t tenths = (magnitude + kUsPerTenthMs / 2) / kUsPerTenthMs;
        format("%s%" PRIu64 ".%" PRIu64, negative && tenths != 0 ? "-" : "", tenths / 10,
               tenths % 10);
    }
    size_t size() const { return used_; }

private:
    char* buffer_;
    size_t used_ = 0;
};

// The reason as one CSV field: commas, quotes and line breaks would split or break the line.
void copyReason(char* out, const char* reason) {
    size_t i = 0;
    for (; reason[i] != '\0' && i + 1 < kReasonCapacity; ++i) {
        const char c = reason[i];
        out[i] = (c == ',' || c == '"' || c == '\r' || c == '\n') ? ' ' : c;
    }
    out[i] = '\0';
}

}  // namespace

OffsetRecord::OffsetRecord(MessageBoxes& boxes, std::string directory, Journal* journal)
    : directory_(std::move(directory)), trouble_(boxes, journal) {
    path_.reserve(directory_.size() + 1 + kFileNameCapacity);
}

std::string OffsetRecord::fileName(const LocalTimeRecord& date) {
    char name[kFileNameCapacity];
    return std::string(name, writeFileName(name, date));
}

void OffsetRecord::write(const CorrectionAttempt& attempt) {
    char name[kFileNameCapacity];
    const size_t nameLength = writeFileName(name, attempt.time);
    path_.assign(directory_);
    if (!path_.empty()) path_ += '/';
    path_.append(name, nameLength);

    char buffer[kLineCapacity];
    LineBuilder line(buffer);
    line.dateTime(attempt.time, attempt.time.milliseconds);
    line.format(",");
    line.dateTime(attempt.received, 0);
    line.format(",");
    if (attempt.offsetUs) line.tenthsOfMs(*attempt.offsetUs);
    line.format(",");
    line.tenthsOfMs(attempt.refusal ? 0 : attempt.stepUs);
    if (attempt.refusal) {
        char reason[kReasonCapacity];
        copyReason(reason, attempt.refusal);
        line.format(",refused:%s\n", reason);
    } else {
        line.format(",ok\n");
    }
    // A failed write loses this line only; the handler that records must carry on.
    int error = 0;
    const Appended appended = appendToDailyFile(
        path_.c_str(), {std::string_view(buffer, line.size())}, kOffsetRecordHeader, &error);
    trouble_.note(path_, appended, error);
}

}  // namespace zrq
