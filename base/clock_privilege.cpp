// The privileged part and its channel: the fork, the descriptors and capabilities it keeps, its
// loop of range-checked, journaled sets, and the windowed side that sends it instants.
#include "base/clock_privilege.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/capabilities.h"
#include "base/local_clock.h"
#include "base/system_calls.h"

namespace zrq {
namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kNsPerUs = 1'000;
// Where the privileged part keeps its end of the channel; everything above it is closed.
constexpr int kChannelDescriptor = 3;
constexpr const char* kPartName = "zrq-clock";

// "2026-03-07 02:00:31.135000 UTC"; the seconds as a number when no calendar date fits.
std::string utcText(const timespec& t) {
    tm utc{};
    char text[64];
    if (gmtime_r(&t.tv_sec, &utc) == nullptr) {
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(t.tv_sec));
    } else {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06ld UTC",
                      utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                      utc.tm_sec, t.tv_nsec / kNsPerUs);
    }
    return text;
}

// "+1.134557 秒": target minus before, to the microsecond; "?" for a target so far off that the
// difference does not fit 64 bits.
std::string stepText(const timespec& before, const timespec& target) {
    int64_t seconds = 0;
    if (__builtin_sub_overflow(target.tv_sec, before.tv_sec, &seconds)) return "? 秒";
    int64_t us = (target.tv_nsec - before.tv_nsec) / kNsPerUs;
    if (seconds > 0 && us < 0) {
        seconds -= 1;
        us += 1'000'000;
    } else if (seconds < 0 && us > 0) {
        seconds += 1;
        us -= 1'000'000;
    }
    const bool negative = seconds < 0 || us < 0;
    char text[64];
    std::snprintf(text, sizeof text, "%c%lld.%06lld 秒", negative ? '-' : '+',
                  static_cast<long long>(negative ? -seconds : seconds),
                  static_cast<long long>(negative ? -us : us));
    return text;
}

int setFromRequest(const InstantRequest& request, RealtimeClock& clock, Journal& journal) {
    const timespec target{static_cast<time_t>(request.seconds), request.nanoseconds};
    if (request.nanoseconds < 0 || request.nanoseconds >= kNsPerSecond) {
        journal.writeUtf8(describeSet(clock.now(), {target.tv_sec, 0}, clock.now(), EINVAL));
        return EINVAL;
    }
    const timespec before = clock.now();
    const int error = isSettableRealtime(target) ? clock.set(target) : ERANGE;
    const timespec after = clock.now();
    journal.writeUtf8(describeSet(before, target, after, error));
    return error;
}

// The machine's clock, for the privileged part only.
class SystemRealtime final : public RealtimeClock {
public:
    timespec now() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return ts;
    }
    int set(const timespec& instant) override {
        return clock_settime(CLOCK_REALTIME, &instant) == 0 ? 0 : errno;
    }
};

// The part keeps the channel and the standard streams; a descriptor the program inherited or
// opened before the split (a terminal, a file, a socket) is closed.
void closeOtherDescriptors(int channel) {
    if (channel != kChannelDescriptor) {
        ::dup2(channel, kChannelDescriptor);
        ::close(channel);
    }
    if (::close_range(kChannelDescriptor + 1, ~0U, 0) == 0) return;
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (int fd = kChannelDescriptor + 1; fd < limit; ++fd) ::close(fd);
}

// The privileged part, from the fork to its end; never returns into the caller's code.
[[noreturn]] void runPrivilegedPart(int channel, pid_t parent) {
    // It ends with the other part: on the channel's end of file, or at once when that part dies.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(0);
    ::prctl(PR_SET_NAME, kPartName);
    // The terminal's signals reach the whole group; the other part decides when to end.
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGPIPE, SIG_IGN);
    closeOtherDescriptors(channel);
    if (keepOnlyCapability(kClockCapability) != 0) ::_exit(1);
    {
        SyslogJournal journal;
        SystemRealtime clock;
        serveClockSets(kChannelDescriptor, clock, journal);
    }
    ::_exit(0);  // no exit handlers or destructors of the other part's libraries
}

}  // namespace

bool isSettableRealtime(const timespec& instant) {
    return instant.tv_sec >= kFirstSettableSecond && instant.tv_sec < kEndOfSettableSeconds &&
           instant.tv_nsec >= 0 && instant.tv_nsec < kNsPerSecond;
}

std::string describeSet(const timespec& before, const timespec& target, const timespec& after,
                        int error) {
    if (error != 0) {
        return "系统时钟设置被拒绝：目标 " + utcText(target) + "，当前 " + utcText(before) +
               "，步长 " + stepText(before, target) + "，原因：" + describeClockError(error);
    }
    return "系统时钟已设置：设置前 " + utcText(before) + "，设置后 " + utcText(after) + "，步长 " +
           stepText(before, target);
}

void serveClockSets(int channel, RealtimeClock& clock, Journal& journal) {
    for (;;) {
        InstantRequest request;
        // MSG_TRUNC: the length of the whole message, so that a longer one is seen as such.
        const ssize_t got = ::recv(channel, &request, sizeof request, MSG_TRUNC);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;  // the other part has ended
        const int32_t answer = got == static_cast<ssize_t>(sizeof request)
                                   ? setFromRequest(request, clock, journal)
                                   : EINVAL;
        if (::send(channel, &answer, sizeof answer, MSG_NOSIGNAL) != sizeof answer) return;
    }
}

int JournaledSetter::setRealtime(const timespec& instant) {
    SystemRealtime clock;
    const InstantRequest request{instant.tv_sec, static_cast<int32_t>(instant.tv_nsec), 0};
    return setFromRequest(request, clock, journal_);
}

PrivilegedSetter::PrivilegedSetter(int channel) : channel_(channel) {}

PrivilegedSetter::~PrivilegedSetter() { ::close(channel_); }

int PrivilegedSetter::setRealtime(const timespec& instant) {
    const InstantRequest request{instant.tv_sec, static_cast<int32_t>(instant.tv_nsec), 0};
    const std::lock_guard<std::mutex> turn(turn_);
    if (::send(channel_, &request, sizeof request, MSG_NOSIGNAL) != sizeof request) {
        return errno == ECONNRESET ? EPIPE : errno;
    }
    int32_t answer = 0;
    ssize_t got;
    do {
        got = ::recv(channel_, &answer, sizeof answer, 0);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof answer)) return got < 0 ? errno : EPIPE;
    return answer;
}

PrivilegeSplit splitClockPrivilege() {
    PrivilegeSplit split;
    int ends[2];
    if (hasPermittedCapability(kClockCapability) &&
        ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0) {
        const pid_t parent = ::getpid();
        const pid_t part = ::fork();
        if (part == 0) {
            ::close(ends[0]);
            runPrivilegedPart(ends[1], parent);
        }
        ::close(ends[1]);
        if (part > 0) {
            split.setter = std::make_unique<PrivilegedSetter>(ends[0]);
        } else {
            ::close(ends[0]);  // no part: sets are refused, as without the right
        }
    }
    if (const int error = keepOnlyCapability(-1)) {
        split.error = "cannot give up its capabilities: " + errorText(error);
    }
    return split;
}

}  // namespace zrq
