// Boxes as lines on standard error and in the journal.
#include "service/journal_boxes.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdlib>
#include <string>

namespace zrq {

bool isJournalStream(int descriptor) {
    const char* named = std::getenv("JOURNAL_STREAM");
    if (!named) return false;
    uintmax_t device = 0;
    uintmax_t inode = 0;
    if (std::sscanf(named, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2) return false;
    struct stat info {};
    if (fstat(descriptor, &info) != 0) return false;
    return info.st_dev == device && info.st_ino == inode;
}

JournalBoxes::JournalBoxes(Journal* journal, std::FILE* err)
    : journal_(journal), err_(err), errIsJournal_(isJournalStream(fileno(err))) {}

void JournalBoxes::error(const GbkText& text) { say(Priority::Error, "错误", text.toUtf8()); }

void JournalBoxes::warning(const GbkText& text) {
    say(Priority::Warning, "Warning", text.toUtf8());
}

void JournalBoxes::plain(const GbkText& text) { say(Priority::Warning, "ZRQ", text.toUtf8()); }

void JournalBoxes::plainWithCaption(const GbkText& caption, const GbkText& text) {
    say(Priority::Warning, caption.toUtf8(), text.toUtf8());
}

void JournalBoxes::generalError(const std::string& text) { say(Priority::Error, "ZRQ", text); }

void JournalBoxes::notice(std::string_view utf8) { say(Priority::Notice, "", utf8); }

void JournalBoxes::fault(std::string_view utf8) { say(Priority::Error, "", utf8); }

// One line: "<caption>: <text>", or the text alone without a caption. The journal reads a
// leading "<n>" as the line's priority.
void JournalBoxes::say(Priority priority, std::string_view caption, std::string_view utf8) {
    std::string line(caption);
    if (!line.empty()) line += ": ";
    line += utf8;
    if (errIsJournal_) {
        std::fprintf(err_, "<%d>%s\n", static_cast<int>(priority), line.c_str());
    } else {
        std::fprintf(err_, "zrqd: %s\n", line.c_str());
    }
    std::fflush(err_);
    if (!errIsJournal_ && journal_) journal_->writeUtf8(line);
}

}  // namespace zrq
