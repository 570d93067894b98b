// The privileged part's loop over a real socket pair, against a test clock (never the machine's):
// what it sets and when, what it refuses without touching the clock, what it journals, how the
// program's end waits for answers, and how either end going away ends the other's work.
#include "base/clock_privilege.h"
#include "tests/support/recording_journal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace zrq {
namespace {

using namespace std::chrono_literals;

constexpr int64_t k2026March7 = 1'772'848'800;  // 2026-03-07 02:00:00 UTC
constexpr int64_t kNsPerMs = 1'000'000;

class TestRealtime final : public RealtimeClock {
public:
    timespec now() override { return current; }
    int64_t monotonicNs() override { return monotonic; }
    int set(const timespec& instant) override {
        sets.push_back(instant);
        if (refusal != 0) return refusal;
        current = instant;
        return 0;
    }
    timespec current{k2026March7, 500'000'000};
    std::atomic<int64_t> monotonic{1'000'000 * kNsPerMs};  // the test moves it
    int refusal = 0;
    std::vector<timespec> sets;
};

// The privileged part's loop on a thread, the program's end in `setter`.
class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        server_ = ends[1];
        setter = std::make_unique<PrivilegedSetter>(ends[0]);
        part_ = std::thread([this] { serveClockSets(server_, clock, journal); });
    }
    void TearDown() override {
        setter.reset();  // the part sees the end of file and returns
        part_.join();
        ::close(server_);
    }

    // A set computed just now, a third of a second after the one before (within the rate).
    int set(const timespec& target) {
        clock.monotonic += 300 * kNsPerMs;
        return setter->setRealtime(target, clock.monotonic);
    }

    TestRealtime clock;
    RecordingJournal journal;
    std::unique_ptr<PrivilegedSetter> setter;

private:
    int server_ = -1;
    std::thread part_;
};

TEST_F(Channel, SetsTheInstantAndJournalsBeforeAfterAndStep) {
    EXPECT_EQ(set({k2026March7 + 1, 634'557'000}), 0);
    ASSERT_EQ(clock.sets.size(), 1u);
    EXPECT_EQ(clock.current.tv_sec, k2026March7 + 1);
    EXPECT_EQ(clock.current.tv_nsec, 634'557'000);
    ASSERT_EQ(journal.entries.size(), 1u);
    EXPECT_EQ(journal.entries[0],
              "系统时钟已设置：设置前 2026-03-07 02:00:00.500000 UTC，设置后 "
              "2026-03-07 02:00:01.634557 UTC，步长 +1.134557 秒");

    // Backwards, by less than a second.
    EXPECT_EQ(set({k2026March7 + 1, 0}), 0);
    EXPECT_NE(journal.entries[1].find("步长 -0.634557 秒"), std::string::npos)
        << journal.entries[1];
}

TEST_F(Channel, RefusesInstantsOutOfRangeWithoutTouchingTheClock) {
    struct Case {
        const char* legend;
        timespec instant;
        int error;
    };
    const Case cases[] = {
        {"2165, a year byte FF", {6'153'667'200, 0}, ERANGE},
        {"last instant of 2019", {kFirstSettableSecond - 1, 999'999'999}, ERANGE},
        {"2100-01-01 00:00:00", {kEndOfSettableSeconds, 0}, ERANGE},
        {"before 1970", {-86'400, 0}, ERANGE},
        {"nanoseconds of a whole second", {k2026March7, 1'000'000'000}, EINVAL},
        {"negative nanoseconds", {k2026March7, -1}, EINVAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(set(c.instant), c.error);
    }
    EXPECT_TRUE(clock.sets.empty());
    ASSERT_EQ(journal.entries.size(), std::size(cases));
    EXPECT_EQ(journal.entries[0],
              "系统时钟设置被拒绝：目标 2165-01-01 00:00:00.000000 UTC，当前 "
              "2026-03-07 02:00:00.500000 UTC，步长 +4380818399.500000 秒，原因：time out of "
              "range");

    // The edges of the range are inside it.
    EXPECT_EQ(set({kFirstSettableSecond, 0}), 0);
    EXPECT_EQ(set({kEndOfSettableSeconds - 1, 999'999'999}), 0);
    EXPECT_EQ(clock.sets.size(), 2u);
}

TEST_F(Channel, AnswersTheSystemsRefusalAndJournalsIt) {
    clock.refusal = EPERM;
    EXPECT_EQ(set({k2026March7 + 60, 0}), EPERM);
    EXPECT_EQ(clock.sets.size(), 1u);
    ASSERT_EQ(journal.entries.size(), 1u);
    EXPECT_NE(journal.entries[0].find("原因：Operation not permitted"), std::string::npos)
        << journal.entries[0];
}

// A part that runs late sets the target plus the time since it was computed; later than the
// bound, it refuses rather than set a stale time. A time computed in the future is malformed.
TEST_F(Channel, ALateRequestIsSetAsAStepOrRefused) {
    const int64_t now = clock.monotonic;
    EXPECT_EQ(setter->setRealtime({k2026March7 + 1, 900'000'000}, now - 300 * kNsPerMs), 0);
    ASSERT_EQ(clock.sets.size(), 1u);
    EXPECT_EQ(clock.sets[0].tv_sec, k2026March7 + 2);
    EXPECT_EQ(clock.sets[0].tv_nsec, 200'000'000);

    clock.monotonic += 1000 * kNsPerMs;
    const int64_t late = clock.monotonic - 501 * kNsPerMs;
    EXPECT_EQ(setter->setRealtime({k2026March7 + 5, 0}, late), ETIME);
    clock.monotonic += 1000 * kNsPerMs;
    EXPECT_EQ(setter->setRealtime({k2026March7 + 5, 0}, clock.monotonic + kNsPerMs), EINVAL);
    EXPECT_EQ(clock.sets.size(), 1u);
    ASSERT_EQ(journal.entries.size(), 3u);
    EXPECT_NE(
        journal.entries[1].find("原因：set too late: more than 500 ms after its time was computed"),
        std::string::npos)
        << journal.entries[1];
}

// A flood is refused without touching the clock and journaled twice: when it begins and, with
// its count, when requests come slowly again.
TEST_F(Channel, MoreThanFourSetsASecondAreRefusedAndTheBurstJournaledOnce) {
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(setter->setRealtime({k2026March7 + i, 0}, clock.monotonic), i < 4 ? 0 : EBUSY)
            << i;
    }
    EXPECT_EQ(clock.sets.size(), 4u);
    ASSERT_EQ(journal.entries.size(), 5u);
    EXPECT_EQ(journal.entries[4], "系统时钟设置请求过多（每秒最多 4 次）：其后的请求被拒绝");

    clock.monotonic += 1000 * kNsPerMs;
    EXPECT_EQ(setter->setRealtime({k2026March7 + 20, 0}, clock.monotonic), 0);
    ASSERT_EQ(journal.entries.size(), 7u);
    EXPECT_EQ(journal.entries[5], "系统时钟设置请求恢复正常：此前 6 次请求被拒绝");
    EXPECT_EQ(clock.sets.size(), 5u);
}

// Malformed messages, the empty one included, are refused with EINVAL and sequence 0; the part
// goes on serving.
TEST(ClockChannel, MalformedRequestsAreRefusedAndTheChannelStaysUsable) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    TestRealtime clock;
    RecordingJournal journal;
    std::thread part(
        [&] { serveClockSets(ends[1], clock, journal, SetLimits{.maxPerSecond = 0}); });

    const char shortRequest[8] = {};
    const char longRequest[48] = {};
    const char empty[1] = {};
    for (const auto& [data, size] :
         {std::pair{shortRequest, sizeof shortRequest}, std::pair{longRequest, sizeof longRequest},
          std::pair{empty, size_t{0}}}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(::send(ends[0], data, size, 0), static_cast<ssize_t>(size));
        SetAnswer answer;
        ASSERT_EQ(::recv(ends[0], &answer, sizeof answer, 0), 16);
        EXPECT_EQ(answer.error, EINVAL);
        EXPECT_EQ(answer.sequence, 0u);
    }
    EXPECT_TRUE(clock.sets.empty());
    {
        PrivilegedSetter setter(ends[0]);  // closes the program's end when done
        EXPECT_EQ(setter.setRealtime({k2026March7, 0}, clock.monotonic), 0);
    }
    part.join();
    ::close(ends[1]);
    EXPECT_EQ(clock.sets.size(), 1u);
}

// No answer in time is a refusal; the answer that comes later is not taken for the next one's.
TEST(ClockChannel, AnAnswerTooLateIsATimeOutAndNeverTheNextAnswer) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    PrivilegedSetter setter(ends[0], -1, nullptr, 50ms);
    EXPECT_EQ(setter.setRealtime({k2026March7, 0}, 1), ETIMEDOUT);

    InstantRequest first;
    ASSERT_EQ(::recv(ends[1], &first, sizeof first, 0), static_cast<ssize_t>(sizeof first));
    const SetAnswer late{first.sequence, 0, 0};
    const SetAnswer refusal{first.sequence + 1, EPERM, 0};
    ASSERT_EQ(::send(ends[1], &late, sizeof late, 0), 16);
    ASSERT_EQ(::send(ends[1], &refusal, sizeof refusal, 0), 16);
    EXPECT_EQ(setter.setRealtime({k2026March7, 0}, 2), EPERM);
    ::close(ends[1]);
}

TEST(ClockChannel, APrivilegedPartThatHasGoneRefusesWithoutASignal) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    ::close(ends[1]);
    PrivilegedSetter setter(ends[0]);
    EXPECT_EQ(setter.setRealtime({k2026March7, 0}, 1), EPIPE);  // no SIGPIPE ends the test
}

// A part that is killed is reaped and said once; every later set is refused with EPIPE.
TEST(ClockChannel, AKilledPartIsReapedAndSaidOnce) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    const pid_t part = ::fork();
    ASSERT_GE(part, 0);
    if (part == 0) {
        ::close(ends[0]);
        TestRealtime clock;
        RecordingJournal journal;
        serveClockSets(ends[1], clock, journal);
        ::_exit(0);
    }
    ::close(ends[1]);
    RecordingJournal journal;
    PrivilegedSetter setter(ends[0], part, &journal);
    EXPECT_EQ(setter.setRealtime({k2026March7, 0}, 0), ETIME);  // a live part answers

    ASSERT_EQ(::kill(part, SIGKILL), 0);
    EXPECT_EQ(setter.setRealtime({k2026March7, 0}, 0), EPIPE);
    EXPECT_EQ(setter.setRealtime({k2026March7, 0}, 0), EPIPE);
    EXPECT_EQ(journal.entries,
              (std::vector<std::string>{
                  "设置时钟的特权进程被信号 9 结束：此后不能再校正时钟，请重新启动程序"}));
    int status = 0;
    EXPECT_EQ(::waitpid(part, &status, WNOHANG), -1);  // already reaped
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace zrq
