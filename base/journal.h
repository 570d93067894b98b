// The system journal: copies of the events an administrator looks for (clock jumps, refused
// corrections, competing time services), shown by `journalctl -t zrq`.
#pragma once

#include <string_view>

#include "base/gbk_text.h"

namespace zrq {

class Journal {
public:
    virtual ~Journal() = default;
    // One entry in UTF-8, at warning priority: every event sent here is a fault or a risk.
    virtual void writeUtf8(std::string_view text) = 0;
    // A text as the daily logs hold it (GBK), converted to UTF-8.
    void write(const GbkText& text) { writeUtf8(text.toUtf8()); }
};

// syslog(3) with the ident "zrq". Opens the connection on construction, closes it on destruction;
// one instance per program (the syslog connection is process-wide).
class SyslogJournal final : public Journal {
public:
    SyslogJournal();
    ~SyslogJournal() override;
    SyslogJournal(const SyslogJournal&) = delete;
    SyslogJournal& operator=(const SyslogJournal&) = delete;

    void writeUtf8(std::string_view text) override;
};

}  // namespace zrq
