// Which of the jump log's events reach the system journal: the changes of state, not every
// frame, so that a noisy line cannot flood it. A jump is journaled when it begins (its first
// entry) and when it ends (with the number of frames it lasted); refused corrections when they
// begin (the first refusal) and when a correction is made again (with how many were refused).
#pragma once

#include <cstdint>

#include "base/gbk_text.h"
#include "store/event_log.h"

namespace zrq {

class JournalChanges {
public:
    // The entries go to `log`'s journal; none when it has none.
    explicit JournalChanges(EventLog& log) : log_(log) {}

    // A jump-log entry of a frame whose time or date differs from the PC's; only the first one
    // of a jump goes on. The received-data handler gives it only while the jump log is on.
    void jumpEntry(const GbkText& text);
    // The end of a frame's comparison: `jumped` when its time or date differed.
    void frameCompared(bool jumped);
    // A refused correction; only the first of a run goes on, whether the jump log is on or not,
    // with the text `makeText` gives (called for that one only, so a refusal tried again at
    // every frame allocates nothing here).
    template <class MakeText>
    void setRefused(MakeText&& makeText) {
        if (refusals_++ == 0) log_.copyToJournal(makeText());
    }
    // A correction that was made: ends a run of refusals.
    void setMade();

private:
    EventLog& log_;
    uint32_t jumpFrames_ = 0;     // frames of the jump going on, 0 while none is
    bool jumpAnnounced_ = false;  // its beginning reached the journal
    uint32_t refusals_ = 0;       // refused corrections since the last one made
};

}  // namespace zrq
