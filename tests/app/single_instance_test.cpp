// The single-instance lock: one holder per name, the message for a second copy, and the name
// freed when its holder goes.
#include "app/single_instance.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace zrq {
namespace {

using Outcome = SingleInstanceLock::Outcome;

// A name of this test run's own, so that a program running on the machine is not disturbed.
std::string testLockName(const char* suffix) {
    return std::string("ZRQ-test-") + std::to_string(::getpid()) + "-" + suffix;
}

TEST(SingleInstanceLock, SecondHolderOfTheSameNameIsRefusedUntilTheFirstGoes) {
    const std::string name = testLockName("same");
    auto first = std::make_unique<SingleInstanceLock>(name);
    EXPECT_EQ(first->outcome(), Outcome::Acquired);
    {
        SingleInstanceLock second(name);
        EXPECT_EQ(second.outcome(), Outcome::AlreadyRunning);
    }
    first.reset();
    SingleInstanceLock third(name);
    EXPECT_EQ(third.outcome(), Outcome::Acquired);
}

TEST(SingleInstanceLock, OtherNamesDoNotCollide) {
    SingleInstanceLock a(testLockName("a"));
    SingleInstanceLock b(testLockName("b"));
    EXPECT_EQ(a.outcome(), Outcome::Acquired);
    EXPECT_EQ(b.outcome(), Outcome::Acquired);
}

TEST(SingleInstanceLock, AnotherProcessSeesTheNameTakenAndItIsFreedWhenTheHolderEnds) {
    const std::string name = testLockName("process");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        SingleInstanceLock lock(name);
        const char byte = lock.outcome() == Outcome::Acquired ? 'y' : 'n';
        (void)!::write(ready[1], &byte, 1);
        ::pause();  // holds the name until killed; the kernel frees it then
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'y');
    {
        SingleInstanceLock second(name);
        EXPECT_EQ(second.outcome(), Outcome::AlreadyRunning);
    }
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    SingleInstanceLock afterCrash(name);
    EXPECT_EQ(afterCrash.outcome(), Outcome::Acquired);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(RefuseSecondCopy, ShowsTheWarningOnlyWhenAnotherCopyRuns) {
    const std::string name = testLockName("refuse");
    SingleInstanceLock first(name);
    RecordingMessageBoxes boxes;
    EXPECT_FALSE(refuseSecondCopy(first, boxes));
    EXPECT_TRUE(boxes.shown.empty());

    SingleInstanceLock second(name);
    EXPECT_TRUE(refuseSecondCopy(second, boxes));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].kind, RecordingMessageBoxes::Kind::Plain);
    EXPECT_EQ(boxes.shown[0].caption, "警告");
    EXPECT_EQ(boxes.shown[0].text, "Horivo程序已经在运行！");
}

}  // namespace
}  // namespace zrq
