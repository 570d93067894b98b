// The privileged part's loop over a real socket pair, against a test clock: what it sets, what
// it refuses without touching the clock, what it journals, and how either end going away ends
// the other's work.
#include "base/clock_privilege.h"
#include "tests/support/recording_journal.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

namespace zrq {
namespace {

constexpr int64_t k2026March7 = 1'772'848'800;  // 2026-03-07 02:00:00 UTC

class TestRealtime final : public RealtimeClock {
public:
    timespec now() override { return current; }
    int set(const timespec& instant) override {
        sets.push_back(instant);
        if (refusal != 0) return refusal;
        current = instant;
        return 0;
    }
    timespec current{k2026March7, 500'000'000};
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

    TestRealtime clock;
    RecordingJournal journal;
    std::unique_ptr<PrivilegedSetter> setter;

private:
    int server_ = -1;
    std::thread part_;
};

TEST_F(Channel, SetsTheInstantAndJournalsBeforeAfterAndStep) {
    EXPECT_EQ(setter->setRealtime({k2026March7 + 1, 634'557'000}), 0);
    ASSERT_EQ(clock.sets.size(), 1u);
    EXPECT_EQ(clock.current.tv_sec, k2026March7 + 1);
    EXPECT_EQ(clock.current.tv_nsec, 634'557'000);
    ASSERT_EQ(journal.entries.size(), 1u);
    EXPECT_EQ(journal.entries[0],
              "系统时钟已设置：设置前 2026-03-07 02:00:00.500000 UTC，设置后 "
              "2026-03-07 02:00:01.634557 UTC，步长 +1.134557 秒");

    // Backwards, by less than a second.
    EXPECT_EQ(setter->setRealtime({k2026March7 + 1, 0}), 0);
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
        EXPECT_EQ(setter->setRealtime(c.instant), c.error);
    }
    EXPECT_TRUE(clock.sets.empty());
    ASSERT_EQ(journal.entries.size(), std::size(cases));
    EXPECT_EQ(journal.entries[0],
              "系统时钟设置被拒绝：目标 2165-01-01 00:00:00.000000 UTC，当前 "
              "2026-03-07 02:00:00.500000 UTC，步长 +4380818399.500000 秒，原因：time out of "
              "range");

    // The edges of the range are inside it.
    EXPECT_EQ(setter->setRealtime({kFirstSettableSecond, 0}), 0);
    EXPECT_EQ(setter->setRealtime({kEndOfSettableSeconds - 1, 999'999'999}), 0);
    EXPECT_EQ(clock.sets.size(), 2u);
}

TEST_F(Channel, AnswersTheSystemsRefusalAndJournalsIt) {
    clock.refusal = EPERM;
    EXPECT_EQ(setter->setRealtime({k2026March7 + 60, 0}), EPERM);
    EXPECT_EQ(clock.sets.size(), 1u);
    ASSERT_EQ(journal.entries.size(), 1u);
    EXPECT_NE(journal.entries[0].find("原因：Operation not permitted"), std::string::npos)
        << journal.entries[0];
}

TEST(ClockChannel, MalformedRequestsAreRefusedAndTheChannelStaysUsable) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    TestRealtime clock;
    RecordingJournal journal;
    std::thread part([&] { serveClockSets(ends[1], clock, journal); });

    const char shortRequest[8] = {};
    const char longRequest[24] = {};
    for (const auto& [data, size] : {std::pair{shortRequest, sizeof shortRequest},
                                     std::pair{longRequest, sizeof longRequest}}) {
        ASSERT_EQ(::send(ends[0], data, size, 0), static_cast<ssize_t>(size));
        int32_t answer = 0;
        ASSERT_EQ(::recv(ends[0], &answer, sizeof answer, 0), 4);
        EXPECT_EQ(answer, EINVAL);
    }
    EXPECT_TRUE(clock.sets.empty());
    {
        PrivilegedSetter setter(ends[0]);  // closes the program's end when done
        EXPECT_EQ(setter.setRealtime({k2026March7, 0}), 0);
    }
    part.join();
    ::close(ends[1]);
    EXPECT_EQ(clock.sets.size(), 1u);
}

TEST(ClockChannel, APrivilegedPartThatHasGoneRefusesWithoutASignal) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    ::close(ends[1]);
    PrivilegedSetter setter(ends[0]);
    EXPECT_EQ(setter.setRealtime({k2026March7, 0}), EPIPE);  // no SIGPIPE ends the test
}

}  // namespace
}  // namespace zrq
