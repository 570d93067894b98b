// The system journal through syslog(3): ident "zrq", facility user, warning priority.
#include <syslog.h>

#include "base/journal.h"

namespace zrq {

namespace {
// syslog keeps the pointer, so the ident must outlive the connection.
constexpr const char* kIdent = "zrq";
}  // namespace

SyslogJournal::SyslogJournal() { openlog(kIdent, LOG_PID, LOG_USER); }

SyslogJournal::~SyslogJournal() { closelog(); }

void SyslogJournal::writeUtf8(std::string_view text) {
    // A text is data, never a format; a zero byte in it ends the entry.
    syslog(LOG_WARNING, "%.*s", static_cast<int>(text.size()), text.data());
}

}  // namespace zrq
