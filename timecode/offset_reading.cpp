// Reading the offset record back: every line is checked field by field and either becomes an
// attempt or is counted as skipped; nothing in a file can stop the reading.
#include "timecode/offset_reading.h"
#include "base/time_units.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <ctime>

#include "base/date_time_value.h"
#include "timecode/offset_record.h"

namespace zrq {
namespace {

constexpr size_t kFieldCount = 5;  // time, received, offset_ms, step_ms, result
// Larger magnitudes (about 30 years) are no offset a clock could have had.
constexpr double kLargestMs = 1e12;

// Reads `count` decimal digits at `pos`; false when any is not a digit.
bool digits(std::string_view text, size_t pos, size_t count, unsigned* value) {
    if (pos + count > text.size()) return false;
    unsigned v = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + static_cast<unsigned>(text[i] - '0');
    }
    *value = v;
    return true;
}

bool isLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

bool isRealDate(unsigned year, unsigned month, unsigned day) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    const unsigned last = kDays[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
    return day <= last;
}

// "yyyy-mm-dd hh:nn:ss" with an optional ".zzz" (the writer always writes it; a hand-edited
// line may not).
bool parseDateTime(std::string_view text, LocalTimeRecord* out) {
    unsigned y, mo, d, h, mi, s, ms = 0;
    if (text.size() != 19 && text.size() != 23) return false;
    if (!digits(text, 0, 4, &y) || text[4] != '-' || !digits(text, 5, 2, &mo) || text[7] != '-' ||
        !digits(text, 8, 2, &d) || text[10] != ' ' || !digits(text, 11, 2, &h) || text[13] != ':' ||
        !digits(text, 14, 2, &mi) || text[16] != ':' || !digits(text, 17, 2, &s)) {
        return false;
    }
    if (text.size() == 23 && (text[19] != '.' || !digits(text, 20, 3, &ms))) return false;
    if (!isRealDate(y, mo, d) || h > 23 || mi > 59 || s > 59) return false;
    *out = LocalTimeRecord{.year = static_cast<uint16_t>(y),
                           .month = static_cast<uint16_t>(mo),
                           .day = static_cast<uint16_t>(d),
                           .hour = static_cast<uint16_t>(h),
                           .minute = static_cast<uint16_t>(mi),
                           .second = static_cast<uint16_t>(s),
                           .milliseconds = static_cast<uint16_t>(ms)};
    return true;
}

// A plain decimal number of milliseconds ("-114.8", "0", "12.30"); no "inf", "nan" or exponent.
bool parseMs(std::string_view text, double* value) {
    if (text.empty() || text.find_first_not_of("+-.0123456789") != std::string_view::npos) {
        return false;
    }
    if (text.front() == '+') text.remove_prefix(1);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size() && std::isfinite(*value) &&
           std::fabs(*value) <= kLargestMs;
}

// The local moment as milliseconds since 1970 UTC, through the local zone's rules; a wall time
// that a summer-time change skipped or repeated gets the zone's own reading of it.
int64_t instantOf(const LocalTimeRecord& t) {
    std::tm fields{};
    fields.tm_year = t.year - 1900;
    fields.tm_mon = t.month - 1;
    fields.tm_mday = t.day;
    fields.tm_hour = t.hour;
    fields.tm_min = t.minute;
    fields.tm_sec = t.second;
    fields.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&fields);
    return static_cast<int64_t>(seconds) * kMsPerSecond + t.milliseconds;
}

// Splits at the first four commas: the result field takes the rest.
size_t splitFields(std::string_view line, std::string_view* fields) {
    size_t count = 0;
    while (count + 1 < kFieldCount) {
        const size_t comma = line.find(',');
        if (comma == std::string_view::npos) break;
        fields[count++] = line.substr(0, comma);
        line.remove_prefix(comma + 1);
    }
    fields[count++] = line;
    return count;
}

std::optional<RecordedAttempt> parseLine(std::string_view line) {
    std::string_view fields[kFieldCount];
    if (splitFields(line, fields) != kFieldCount) return std::nullopt;
    RecordedAttempt attempt;
    // The received date and time is whatever the frame carried (day 0 for a frame that names
    // no real moment), and nothing here needs it.
    if (!parseDateTime(fields[0], &attempt.time)) return std::nullopt;
    if (!fields[2].empty()) {
        double offset = 0;
        if (!parseMs(fields[2], &offset)) return std::nullopt;
        attempt.offsetMs = offset;
    }
    if (!parseMs(fields[3], &attempt.stepMs)) return std::nullopt;
    const std::string_view result = fields[4];
    if (result == "ok") {
        attempt.made = true;
    } else if (!result.starts_with("refused:")) {
        return std::nullopt;
    }
    attempt.msOfDay = static_cast<int32_t>(msOfDay(attempt.time));
    attempt.instantMs = instantOf(attempt.time);
    return attempt;
}

}  // namespace

RecordedDay parseOffsetRecord(std::string_view text) {
    RecordedDay day;
    const std::string_view header(kOffsetRecordHeader,
                                  std::char_traits<char>::length(kOffsetRecordHeader) - 1);
    bool first = true;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // edited elsewhere
        const bool isHeader = first && line == header;
        first = false;
        if (line.empty() || isHeader) continue;
        if (auto attempt = parseLine(line)) {
            day.attempts.push_back(*attempt);
        } else {
            ++day.skippedLines;
        }
    }
    return day;
}

std::optional<RecordedDay> readOffsetRecord(const std::string& path) {
    // O_NONBLOCK: a pipe in the record's place must not hang the reader.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string text;
    char chunk[65536];
    bool readable = true;
    while (text.size() < kMaxRecordBytes) {
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, kMaxRecordBytes - text.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) readable = text.size() > 0 || errno == EAGAIN;  // EISDIR: not a record
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    char probe;
    const bool cutShort = text.size() >= kMaxRecordBytes && ::read(fd, &probe, 1) == 1;
    ::close(fd);
    if (!readable) return std::nullopt;
    RecordedDay day = parseOffsetRecord(text);
    day.cutShort = cutShort;
    return day;
}

std::vector<std::string> offsetRecordDays(const std::string& directory) {
    std::vector<std::string> days;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return days;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        LocalTimeRecord date;
        if (name.size() == 11 && name.substr(6) == "O.csv" &&
            parseRecordDay(name.substr(0, 6), &date)) {
            days.emplace_back(name.substr(0, 6));
        }
    }
    ::closedir(dir);
    std::sort(days.begin(), days.end());  // yymmdd sorts by date within a century
    return days;
}

std::string offsetRecordPath(const std::string& directory, const std::string& day) {
    std::string path = directory;
    if (!path.empty() && path.back() != '/') path += '/';
    return path + day + "O.csv";
}

std::string recordDayOf(const LocalTimeRecord& date) {
    std::string name = OffsetRecord::fileName(date);
    return name.substr(0, 6);
}

bool parseRecordDay(std::string_view day, LocalTimeRecord* date) {
    unsigned yy, mm, dd;
    if (day.size() != 6 || !digits(day, 0, 2, &yy) || !digits(day, 2, 2, &mm) ||
        !digits(day, 4, 2, &dd)) {
        return false;
    }
    // The program sets no date outside 2020..2099, so the century is always 20.
    if (!isRealDate(2000 + yy, mm, dd)) return false;
    *date = LocalTimeRecord{.year = static_cast<uint16_t>(2000 + yy),
                            .month = static_cast<uint16_t>(mm),
                            .day = static_cast<uint16_t>(dd)};
    return true;
}

}  // namespace zrq
