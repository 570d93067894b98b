// The service's message boxes: what the desktop program shows in a box goes, with the same text
// in UTF-8, to standard error and to the system journal.
#pragma once

#include <cstdio>
#include <string_view>

#include "base/journal.h"
#include "base/message_boxes.h"

namespace zrq {

class JournalBoxes final : public MessageBoxes {
public:
    // Under systemd, standard error is itself a journal stream (JOURNAL_STREAM names it): each
    // line then carries its priority and nothing is sent twice. Otherwise every line goes to
    // `err` and a copy to `journal` (when given).
    JournalBoxes(Journal* journal, std::FILE* err);

    void error(const GbkText& text) override;
    void warning(const GbkText& text) override;
    void plain(const GbkText& text) override;
    void plainWithCaption(const GbkText& caption, const GbkText& text) override;
    void generalError(const std::string& text) override;

    // The service's own notes (a port opened, the settings read again), at notice priority.
    void notice(std::string_view utf8);
    // The service's own words on a fault (the lock refused, a port's reason), at error priority.
    void fault(std::string_view utf8);

    bool errIsJournal() const { return errIsJournal_; }

private:
    enum class Priority { Error = 3, Warning = 4, Notice = 5 };
    void say(Priority priority, std::string_view caption, std::string_view utf8);

    Journal* journal_;
    std::FILE* err_;
    bool errIsJournal_ = false;
};

// True when the descriptor is the journal stream that JOURNAL_STREAM ("device:inode") names.
bool isJournalStream(int descriptor);

}  // namespace zrq
