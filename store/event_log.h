// The daily event logs: one plain-text file per day and kind, each entry appended on its own line.
#pragma once

#include <string>

#include "base/gbk_text.h"
#include "base/journal.h"
#include "base/local_clock.h"
#include "base/message_boxes.h"

namespace zrq {

inline constexpr int kJumpLog = 1;           // "YYMMDDS.txt"
inline constexpr int kCommunicationLog = 0;  // "YYMMDDC.txt"

class EventLog {
public:
    // Files go into `directory` ("." = the working directory). The events its callers choose are
    // copied to `journal` when one is given.
    EventLog(LocalClock& clock, MessageBoxes& boxes, std::string directory = ".",
             Journal* journal = nullptr);

    // Appends CR LF, " yyyy-mm-dd hh:nn:ss ------" and the text (GBK bytes as they are) to the
    // day's file of `kind` (nonzero = jump log). A file that cannot be opened shows the warning
    // "File access error" and drops the entry; a failure while writing loses the entry silently.
    // Never throws. The journal gets nothing from here: the callers decide what reaches it.
    void savelogline(int kind, const GbkText& text);

    // Sends an event to the journal (UTF-8), whatever becomes of the files; the conversion may
    // allocate, as only rare events go there.
    void copyToJournal(const GbkText& text);

    // The file name for a date: year modulo 100, month, day, then "S.txt" or "C.txt".
    static std::string fileName(int kind, const LocalTimeRecord& date);

private:
    LocalClock& clock_;
    MessageBoxes& boxes_;
    std::string directory_;
    Journal* journal_;  // may be null: no journal
    std::string path_;  // the current call's file path, reused so that a call allocates nothing
};

}  // namespace zrq
