// The privileged part and its channel: the fork, the descriptors and capabilities it keeps, its
// loop of range-checked, aged, rate-limited and journaled sets, and the windowed side that sends
// it targets, waits for the answers and reaps the part when it has gone.
#include "base/clock_privilege.h"
#include "base/time_units.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/capabilities.h"
#include "base/local_clock.h"
#include "base/system_calls.h"

namespace zrq {
namespace {

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

// The target plus the time elapsed since it was computed, or the reason it is not set.
int setFromRequest(const InstantRequest& request, RealtimeClock& clock, Journal& journal,
                   const SetLimits& limits) {
    const timespec target{static_cast<time_t>(request.seconds), request.nanoseconds};
    const int64_t ageNs = clock.monotonicNs() - request.computedAtNs;
    if (request.nanoseconds < 0 || request.nanoseconds >= kNsPerSecond || ageNs < 0) {
        journal.writeUtf8(describeSet(clock.now(), {target.tv_sec, 0}, clock.now(), EINVAL));
        return EINVAL;
    }
    if (ageNs > limits.maxAgeNs) {
        journal.writeUtf8(describeSet(clock.now(), target, clock.now(), ETIME));
        return ETIME;
    }
    timespec aged = target;
    aged.tv_nsec += static_cast<long>(ageNs % kNsPerSecond);
    aged.tv_sec += static_cast<time_t>(ageNs / kNsPerSecond + aged.tv_nsec / kNsPerSecond);
    aged.tv_nsec %= kNsPerSecond;
    const timespec before = clock.now();
    const int error = isSettableRealtime(aged) ? clock.set(aged) : ERANGE;
    const timespec after = clock.now();
    journal.writeUtf8(describeSet(before, aged, after, error));
    return error;
}

// At most `perSecond` messages in any second, refused ones included, so that a flood stays
// refused until it stops; a burst is journaled when it begins and, with its count, when it ends.
class RateLimit {
public:
    RateLimit(int perSecond, Journal& journal)
        : times_(static_cast<size_t>(perSecond > 0 ? perSecond : 0), kNever), journal_(journal) {}

    bool admit(int64_t nowNs) {
        if (times_.empty()) return true;
        const int64_t oldest = times_[next_];
        times_[next_] = nowNs;
        next_ = (next_ + 1) % times_.size();
        if (oldest != kNever && nowNs - oldest < kNsPerSecond) {
            if (refused_++ == 0) {
                journal_.writeUtf8("系统时钟设置请求过多（每秒最多 " +
                                   std::to_string(times_.size()) + " 次）：其后的请求被拒绝");
            }
            return false;
        }
        if (refused_ > 0) {
            journal_.writeUtf8("系统时钟设置请求恢复正常：此前 " + std::to_string(refused_) +
                               " 次请求被拒绝");
            refused_ = 0;
        }
        return true;
    }

private:
    static constexpr int64_t kNever = INT64_MIN;
    std::vector<int64_t> times_;
    size_t next_ = 0;
    uint64_t refused_ = 0;
    Journal& journal_;
};

// The machine's clock, for the privileged part only.
class SystemRealtime final : public RealtimeClock {
public:
    timespec now() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return ts;
    }
    int64_t monotonicNs() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return ts.tv_sec * kNsPerSecond + ts.tv_nsec;
    }
    int set(const timespec& instant) override {
        return clock_settime(CLOCK_REALTIME, &instant) == 0 ? 0 : errno;
    }
};

// Whether the other end has closed the channel: a read of 0 bytes is that, or an empty message.
bool peerHasClosed(int channel) {
    pollfd watch{channel, POLLIN | POLLRDHUP, 0};
    return ::poll(&watch, 1, 0) > 0 && (watch.revents & (POLLHUP | POLLRDHUP)) != 0;
}

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

void serveClockSets(int channel, RealtimeClock& clock, Journal& journal, const SetLimits& limits) {
    RateLimit rate(limits.maxPerSecond, journal);
    for (;;) {
        InstantRequest request;
        // MSG_TRUNC: the length of the whole message, so that a longer one is seen as such.
        const ssize_t got = ::recv(channel, &request, sizeof request, MSG_TRUNC);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || (got == 0 && peerHasClosed(channel))) return;  // the other part has ended
        const bool wellFormed = got == static_cast<ssize_t>(sizeof request);
        SetAnswer answer{wellFormed ? request.sequence : 0, EINVAL, 0};
        if (!rate.admit(clock.monotonicNs())) {
            answer.error = EBUSY;
        } else if (wellFormed) {
            answer.error = setFromRequest(request, clock, journal, limits);
        }
        if (::send(channel, &answer, sizeof answer, MSG_NOSIGNAL) != sizeof answer) return;
    }
}

int JournaledSetter::setRealtime(const timespec& target, int64_t computedAtMonotonicNs) {
    SystemRealtime clock;
    const InstantRequest request{0, target.tv_sec, static_cast<int32_t>(target.tv_nsec), 0,
                                 computedAtMonotonicNs};
    return setFromRequest(request, clock, journal_, SetLimits{});
}

PrivilegedSetter::PrivilegedSetter(int channel, pid_t part, Journal* journal,
                                   std::chrono::milliseconds answerTimeout)
    : channel_(channel), part_(part), journal_(journal), answerTimeout_(answerTimeout) {}

PrivilegedSetter::~PrivilegedSetter() { ::close(channel_); }

int PrivilegedSetter::setRealtime(const timespec& target, int64_t computedAtMonotonicNs) {
    const std::lock_guard<std::mutex> turn(turn_);
    if (ended_) return EPIPE;
    const InstantRequest request{++sequence_, target.tv_sec, static_cast<int32_t>(target.tv_nsec),
                                 0, computedAtMonotonicNs};
    if (::send(channel_, &request, sizeof request, MSG_NOSIGNAL) != sizeof request) {
        return errno == EPIPE || errno == ECONNRESET ? partHasEnded() : errno;
    }
    return awaitAnswer(request.sequence);
}

// The answer to request `sequence`; answers to earlier requests that came too late are dropped.
int PrivilegedSetter::awaitAnswer(uint64_t sequence) {
    const auto deadline = std::chrono::steady_clock::now() + answerTimeout_;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd watch{channel_, POLLIN, 0};
        const int ready = ::poll(&watch, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return ETIMEDOUT;  // the part will refuse this request as too late
        SetAnswer answer;
        const ssize_t got = ::recv(channel_, &answer, sizeof answer, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return partHasEnded();
        if (got == static_cast<ssize_t>(sizeof answer) && answer.sequence == sequence) {
            return answer.error;
        }
    }
}

// The part is gone: reaped, said once, and every set from now on refused.
int PrivilegedSetter::partHasEnded() {
    if (ended_) return EPIPE;
    ended_ = true;
    std::string how = "已结束";
    if (part_ > 0) {
        int status = 0;
        pid_t reaped;
        do {
            reaped = ::waitpid(part_, &status, 0);
        } while (reaped < 0 && errno == EINTR);
        if (reaped == part_ && WIFSIGNALED(status)) {
            how = "被信号 " + std::to_string(WTERMSIG(status)) + " 结束";
        } else if (reaped == part_ && WIFEXITED(status)) {
            how = "已退出，状态 " + std::to_string(WEXITSTATUS(status));
        }
    }
    if (journal_) {
        journal_->writeUtf8("设置时钟的特权进程" + how + "：此后不能再校正时钟，请重新启动程序");
    }
    return EPIPE;
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
            split.journal = std::make_unique<SyslogJournal>();
            split.setter = std::make_unique<PrivilegedSetter>(ends[0], part, split.journal.get());
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
