// The offset record: one line per correction attempt, made or refused, in the day's file
// "yymmddO.csv" of the working directory (UTF-8, comma-separated, LF line ends).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/journal.h"
#include "base/local_time.h"
#include "base/message_boxes.h"
#include "store/write_trouble.h"

namespace zrq {

inline constexpr const char* kOffsetRecordHeader = "time,received,offset_ms,step_ms,result\n";

// What one correction attempt found and did.
struct CorrectionAttempt {
    LocalTimeRecord time;      // local date and time of the attempt, with milliseconds
    LocalTimeRecord received;  // the frame's date and time (its milliseconds are not written)
    // PC time at the chunk's arrival minus (received time + FineTuneMs), both as instants, in
    // microseconds: how far the PC was ahead (+) or behind (-), summer time or not. Empty when
    // the frame names no real moment.
    std::optional<int64_t> offsetUs;
    // The instant set minus the instant it replaced, in microseconds: what the clock moved; 0
    // when refused.
    int64_t stepUs = 0;
    const char* refusal = nullptr;  // why no correction was made; null when it was made
};

class OffsetRecord {
public:
    // Files go into `directory` ("." = the working directory); write failures are said in
    // `journal` when one is given.
    OffsetRecord(MessageBoxes& boxes, std::string directory = ".", Journal* journal = nullptr);

    // Appends the attempt's line to the file of the attempt's date, with the header first when
    // the file is new. A file that cannot be opened shows the warning "File access error" and
    // drops the line; a failed write loses the line. Either is said in the journal with the file
    // and the reason, once per change of state. Allocates nothing while nothing changes; never
    // throws.
    void write(const CorrectionAttempt& attempt);

    // "yymmddO.csv" for a date.
    static std::string fileName(const LocalTimeRecord& date);

private:
    std::string directory_;
    WriteTrouble trouble_;
    std::string path_;  // rebuilt in place for each line, so that a line allocates nothing
};

}  // namespace zrq
