// The journal's state-change rule for jumps and refused corrections.
#include "timecode/journal_changes.h"

#include <string>

namespace zrq {
namespace {

GbkText withCount(const char* before, uint32_t count, const char* after) {
    GbkText text = gbk(before);
    text.appendAscii(std::to_string(count));
    return text += gbk(after);
}

}  // namespace

void JournalChanges::jumpEntry(const GbkText& text) {
    if (jumpAnnounced_) return;
    jumpAnnounced_ = true;
    log_.copyToJournal(text);
}

void JournalChanges::frameCompared(bool jumped) {
    if (jumped) {
        ++jumpFrames_;
        return;
    }
    if (jumpAnnounced_) log_.copyToJournal(withCount("跳动结束：持续 ", jumpFrames_, " 帧"));
    jumpAnnounced_ = false;
    jumpFrames_ = 0;
}

void JournalChanges::setMade() {
    if (refusals_ > 0) {
        log_.copyToJournal(withCount("校时恢复：此前连续 ", refusals_, " 次校时被拒绝"));
    }
    refusals_ = 0;
}

}  // namespace zrq
