// The right to set the clock, kept in a small part of the program of its own: forked first
// thing in main, it holds CAP_SYS_TIME and nothing else, runs no toolkit code, and does one
// thing, set CLOCK_REALTIME to the instants the rest of the program sends it over a socket pair,
// range-checked, each set journaled. The rest of the program gives up every capability.
#pragma once

#include <time.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/journal.h"

namespace zrq {

// Sets CLOCK_REALTIME to an instant: 0, or the errno that refused it. The system clock backend
// sends its sets through one of these when it is given one.
class RealtimeSetter {
public:
    virtual ~RealtimeSetter() = default;
    virtual int setRealtime(const timespec& instant) = 0;
};

// One request on the channel, 16 bytes in host byte order (both ends are one program on one
// machine): the instant as seconds and nanoseconds since 1970-01-01 00:00 UTC. The answer is
// one int32_t, 0 or the errno.
struct InstantRequest {
    int64_t seconds = 0;
    int32_t nanoseconds = 0;
    int32_t reserved = 0;
};
static_assert(sizeof(InstantRequest) == 16);

// The instants the privileged part sets: from 2020-01-01 00:00 UTC to before 2100-01-01 00:00
// UTC, nanoseconds 0..999999999. No device this program reads names another time honestly.
inline constexpr int64_t kFirstSettableSecond = 1'577'836'800;   // 2020-01-01 00:00:00 UTC
inline constexpr int64_t kEndOfSettableSeconds = 4'102'444'800;  // 2100-01-01 00:00:00 UTC
bool isSettableRealtime(const timespec& instant);

// What the privileged part reads and sets: the real clock, or a test's.
class RealtimeClock {
public:
    virtual ~RealtimeClock() = default;
    virtual timespec now() = 0;
    virtual int set(const timespec& instant) = 0;  // 0 or errno
};

// The privileged part's work: answers each request on `channel` (a SOCK_SEQPACKET socket)
// until the other end closes it. An instant out of range is refused with ERANGE and a malformed
// request with EINVAL, without touching the clock. Every set, made or refused, is journaled
// with the time before and after it and the step.
void serveClockSets(int channel, RealtimeClock& clock, Journal& journal);

// The journal's entry for one set (UTF-8): the clock before and after, the step to the target,
// and the reason when it was refused.
std::string describeSet(const timespec& before, const timespec& target, const timespec& after,
                        int error);

// The other end of the channel: sends the instant and waits for the answer. A privileged part
// that has gone answers EPIPE. One set at a time; callers on several threads take turns.
class PrivilegedSetter final : public RealtimeSetter {
public:
    explicit PrivilegedSetter(int channel);  // takes the descriptor over
    ~PrivilegedSetter() override;
    PrivilegedSetter(const PrivilegedSetter&) = delete;
    PrivilegedSetter& operator=(const PrivilegedSetter&) = delete;

    int setRealtime(const timespec& instant) override;

private:
    std::mutex turn_;
    int channel_;
};

// Sets the clock in this process, range-checked and journaled like the privileged part's sets:
// for the service, which holds the right itself from its unit and runs no toolkit.
class JournaledSetter final : public RealtimeSetter {
public:
    explicit JournaledSetter(Journal& journal) : journal_(journal) {}
    int setRealtime(const timespec& instant) override;

private:
    Journal& journal_;
};

struct PrivilegeSplit {
    // The channel to the privileged part; null when none runs (the process could not set the
    // clock in the first place, or the part could not be started): sets then go to
    // clock_settime and are refused with the system's reason.
    std::unique_ptr<PrivilegedSetter> setter;
    // Why this process could not give up its capabilities; empty when it did. The program must
    // not go on otherwise.
    std::string error;
};

// Call first in main, while the process has one thread and has read nothing. When the process
// may set the clock, forks the privileged part (which never returns from here); then gives up
// every capability of this process and sets no_new_privs.
PrivilegeSplit splitClockPrivilege();

}  // namespace zrq
