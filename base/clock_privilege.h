// The right to set the clock, kept in a small part of the program of its own: forked first
// thing in main, it holds CAP_SYS_TIME and nothing else, runs no toolkit code, and does one
// thing, set CLOCK_REALTIME to the targets the rest of the program sends it over a socket pair,
// range-checked, rate-limited, each set journaled. A target travels with the monotonic time it
// was computed at and is set plus the time elapsed since, so a part that ran late never sets a
// stale instant. The rest of the program gives up every capability.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/journal.h"

namespace zrq {

// A set applied later than this after its target was computed is refused (ETIME): a correction
// that late is a stall, not a correction.
inline constexpr std::chrono::milliseconds kSetRequestMaxAge{500};
// How long the windowed part waits for the privileged part's answer (then ETIMEDOUT).
inline constexpr std::chrono::milliseconds kSetAnswerTimeout{2000};
// A clock keeper needs a set a second at most; more are refused (EBUSY), a burst journaled once.
inline constexpr int kMaxSetsPerSecond = 4;

// Sets CLOCK_REALTIME to a target computed at `computedAtMonotonicNs` (CLOCK_MONOTONIC), plus
// the time elapsed since: 0, or the errno that refused it. The system clock backend sends its
// sets through one of these when it is given one.
class RealtimeSetter {
public:
    virtual ~RealtimeSetter() = default;
    virtual int setRealtime(const timespec& target, int64_t computedAtMonotonicNs) = 0;
};

// One request on the channel, 32 bytes in host byte order (both ends are one program on one
// machine): a sequence number, the target as seconds and nanoseconds since 1970-01-01 00:00 UTC,
// and CLOCK_MONOTONIC in ns when the target was computed. The answer carries the sequence
// number back (0 for a message too malformed to have one) with 0 or the errno.
struct InstantRequest {
    uint64_t sequence = 0;
    int64_t seconds = 0;
    int32_t nanoseconds = 0;
    int32_t reserved = 0;
    int64_t computedAtNs = 0;
};
static_assert(sizeof(InstantRequest) == 32);

struct SetAnswer {
    uint64_t sequence = 0;
    int32_t error = 0;
    int32_t reserved = 0;
};
static_assert(sizeof(SetAnswer) == 16);

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
    virtual int64_t monotonicNs() = 0;             // CLOCK_MONOTONIC
    virtual int set(const timespec& instant) = 0;  // 0 or errno
};

// The limits the privileged part keeps; a benchmark may lift the rate.
struct SetLimits {
    int64_t maxAgeNs = std::chrono::nanoseconds(kSetRequestMaxAge).count();
    int maxPerSecond = kMaxSetsPerSecond;
};

// The privileged part's work: answers each message on `channel` (a SOCK_SEQPACKET socket)
// until the other end closes it. Without touching the clock it refuses: more messages than the
// rate allows (EBUSY; the burst journaled when it begins and when it ends), a malformed or empty
// message (EINVAL), a request computed more than the allowed age ago (ETIME), a target out of
// range (ERANGE). Every set, made or refused, is journaled with the time before and after it
// and the step.
void serveClockSets(int channel, RealtimeClock& clock, Journal& journal,
                    const SetLimits& limits = {});

// The journal's entry for one set (UTF-8): the clock before and after, the step to the target,
// and the reason when it was refused.
std::string describeSet(const timespec& before, const timespec& target, const timespec& after,
                        int error);

// The other end of the channel: sends the target and waits for the answer to that request,
// at most `answerTimeout` (then ETIMEDOUT; a late answer is told from the next request's by its
// sequence number and dropped). A part that has gone is reaped when it is `part` (waitpid) and
// said in `journal` (when given) once; that set and every later one is refused with EPIPE. One
// set at a time; callers on several threads take turns.
class PrivilegedSetter final : public RealtimeSetter {
public:
    // Takes the descriptor over.
    explicit PrivilegedSetter(int channel, pid_t part = -1, Journal* journal = nullptr,
                              std::chrono::milliseconds answerTimeout = kSetAnswerTimeout);
    ~PrivilegedSetter() override;
    PrivilegedSetter(const PrivilegedSetter&) = delete;
    PrivilegedSetter& operator=(const PrivilegedSetter&) = delete;

    int setRealtime(const timespec& target, int64_t computedAtMonotonicNs) override;

private:
    int awaitAnswer(uint64_t sequence);
    int partHasEnded();

    std::mutex turn_;
    int channel_;
    pid_t part_;
    Journal* journal_;
    std::chrono::milliseconds answerTimeout_;
    uint64_t sequence_ = 0;
    bool ended_ = false;
};

// Sets the clock in this process, range-checked, aged and journaled like the privileged part's
// sets: for the service, which holds the right itself from its unit and runs no toolkit.
class JournaledSetter final : public RealtimeSetter {
public:
    explicit JournaledSetter(Journal& journal) : journal_(journal) {}
    int setRealtime(const timespec& target, int64_t computedAtMonotonicNs) override;

private:
    Journal& journal_;
};

struct PrivilegeSplit {
    // Where the windowed side says that the privileged part has ended.
    std::unique_ptr<Journal> journal;
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
