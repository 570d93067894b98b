// Reading the offset record back: the day's "yymmddO.csv" as a list of attempts, forgiving of
// hand-edited, truncated or foreign lines (each is skipped and counted, never fatal).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/local_time.h"

namespace zrq {

// One line of the record as read back.
struct RecordedAttempt {
    LocalTimeRecord time;   // the local date and time of the attempt, with milliseconds
    int64_t instantMs = 0;  // the same moment in milliseconds since 1970 UTC (the local zone)
    int32_t msOfDay = 0;    // milliseconds since the local midnight of `time` (its fields)
    std::optional<double> offsetMs;  // PC minus device, ms; + = the PC was ahead (fast)
    double stepMs = 0;               // how far the correction moved the clock, ms
    bool made = false;               // "ok"; false for "refused:..."
};

struct RecordedDay {
    std::vector<RecordedAttempt> attempts;  // in the order of the file
    int skippedLines = 0;                   // lines that are neither the header nor an attempt
    bool cutShort = false;                  // the file was larger than kMaxRecordBytes
};

// A day's record is about 70 bytes a line, at most one line a second: 6 MB. Anything beyond
// this is not a record the program wrote, and only its beginning is read.
inline constexpr size_t kMaxRecordBytes = size_t{64} << 20;

// Parses the text of a record: the header line (when present), then one attempt a line. Empty
// lines are ignored; a last line without its line end counts like any other.
RecordedDay parseOffsetRecord(std::string_view text);

// Reads and parses the file; nothing when it cannot be opened (missing, a folder, no access).
std::optional<RecordedDay> readOffsetRecord(const std::string& path);

// The days with a record in `directory`: the "yymmdd" part of every "yymmddO.csv", oldest first.
std::vector<std::string> offsetRecordDays(const std::string& directory);

// "yymmddO.csv" from "yymmdd"; the file a day's record lies in.
std::string offsetRecordPath(const std::string& directory, const std::string& day);

// "yymmdd" for a date; true when `day` is six digits naming a real date, with it in *date.
std::string recordDayOf(const LocalTimeRecord& date);
bool parseRecordDay(std::string_view day, LocalTimeRecord* date);

}  // namespace zrq
