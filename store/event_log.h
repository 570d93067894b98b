// The daily event logs: one plain-text file per day and kind, each entry appended on its own line.
#pragma once

#include <cstdint>
#include <string>

#include "base/gbk_text.h"
#include "base/journal.h"
#include "base/local_clock.h"
#include "base/message_boxes.h"
#include "store/write_trouble.h"

namespace zrq {

inline constexpr int kJumpLog = 1;           // "YYMMDDS.txt"
inline constexpr int kCommunicationLog = 0;  // "YYMMDDC.txt"

// The most a day's log of one kind may hold. A day's communication log at a frame a second is
// 86,400 entries of at most 68 bytes (2 for the line break, 27 for the header, 39 for the
// longest frame in hex): about 5.9 MB. Four times that leaves room for a device that sends more
// than it should, while a line that floods the log cannot fill a disk.
inline constexpr uint64_t kMaxDailyLogBytes = 24 * 1024 * 1024;

class EventLog {
public:
    // Files go into `directory` ("." = the working directory). The events its callers choose are
    // copied to `journal` when one is given.
    EventLog(LocalClock& clock, MessageBoxes& boxes, std::string directory = ".",
             Journal* journal = nullptr);

    // Appends CR LF, " yyyy-mm-dd hh:nn:ss ------" and the text (GBK bytes as they are) to the
    // day's file of `kind` (nonzero = jump log). A file that cannot be opened shows the warning
    // "File access error" and drops the entry; a failure while writing loses the entry. Either is
    // said in the journal, with the file and the reason, once per change of state (WriteTrouble).
    // An entry that would take the day's file past kMaxDailyLogBytes is dropped; the first one
    // leaves a note in the file and the journal, and the count reaches the journal when the next
    // day's file begins. Never throws. The events themselves reach the journal only through
    // copyToJournal: the callers decide.
    void savelogline(int kind, const GbkText& text);

    // Sends an event to the journal (UTF-8), whatever becomes of the files; the conversion may
    // allocate, as only rare events go there.
    void copyToJournal(const GbkText& text);

    // The file name for a date: year modulo 100, month, day, then "S.txt" or "C.txt".
    static std::string fileName(int kind, const LocalTimeRecord& date);

private:
    // One kind's file state: its failures, and the day's file once it is full.
    struct KindState {
        WriteTrouble trouble;
        std::string fullPath;  // the full day's file; empty while none is full
        long dropped = 0;      // entries dropped since it became full
    };
    void dayLogFull(KindState& state);

    LocalClock& clock_;
    MessageBoxes& boxes_;
    std::string directory_;
    Journal* journal_;  // may be null: no journal
    std::string path_;  // the current call's file path, reused so that a call allocates nothing
    KindState communication_;
    KindState jumps_;
};

}  // namespace zrq
