// The single-instance lock: one holder per lock file or name, the places tried in order, the
// message for a second copy, the lock freed when its holder goes, and the refusal of a working
// directory that other users can write to.
#include "app/single_instance.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "app/startup.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/temp_dir.h"

namespace zrq {
namespace {

using Outcome = InstanceLock::Outcome;
using testing::TempDir;

// A name of this test run's own, so that a program running on the machine is not disturbed.
std::string testLockName(const char* suffix) {
    return std::string("ZRQ-test-") + std::to_string(::getpid()) + "-" + suffix;
}

// The two kinds of lock: a file in a folder, and the abstract name when no folder serves.
struct LockKind {
    const char* legend;
    bool inFolder;
};
constexpr LockKind kKinds[] = {{"lock file", true}, {"abstract name", false}};

InstanceLock::Places placesFor(const LockKind& kind, const TempDir& dir, const char* suffix) {
    return {kind.inFolder ? dir.path() : "", "", testLockName(suffix)};
}

// Binds an abstract name as another program (another user's, say) would.
int bindAbstractName(const std::string& name) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), size), 0);
    return fd;
}

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstGoes) {
    for (const LockKind& kind : kKinds) {
        SCOPED_TRACE(kind.legend);
        TempDir dir;
        const InstanceLock::Places places = placesFor(kind, dir, "same");
        auto first = std::make_unique<InstanceLock>(places);
        EXPECT_EQ(first->outcome(), Outcome::Acquired);
        {
            InstanceLock second(places);
            EXPECT_EQ(second.outcome(), Outcome::AlreadyRunning);
            EXPECT_EQ(second.place(), first->place());
        }
        first.reset();
        InstanceLock third(places);
        EXPECT_EQ(third.outcome(), Outcome::Acquired);
    }
}

TEST(InstanceLock, OtherNamesDoNotCollide) {
    InstanceLock a(InstanceLock::Places{"", "", testLockName("a")});
    InstanceLock b(InstanceLock::Places{"", "", testLockName("b")});
    EXPECT_EQ(a.outcome(), Outcome::Acquired);
    EXPECT_EQ(b.outcome(), Outcome::Acquired);
}

TEST(InstanceLock, AnotherProcessSeesTheLockTakenAndItIsFreedWhenTheHolderEnds) {
    for (const LockKind& kind : kKinds) {
        SCOPED_TRACE(kind.legend);
        TempDir dir;
        const InstanceLock::Places places = placesFor(kind, dir, "process");
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t holder = ::fork();
        ASSERT_GE(holder, 0);
        if (holder == 0) {
            InstanceLock lock(places);
            const char byte = lock.outcome() == Outcome::Acquired ? 'y' : 'n';
            (void)!::write(ready[1], &byte, 1);
            ::pause();  // holds the lock until killed; the kernel frees it then
            ::_exit(0);
        }
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        EXPECT_EQ(byte, 'y');
        {
            InstanceLock second(places);
            EXPECT_EQ(second.outcome(), Outcome::AlreadyRunning);
        }
        ::kill(holder, SIGKILL);
        ::waitpid(holder, nullptr, 0);
        InstanceLock afterCrash(places);
        EXPECT_EQ(afterCrash.outcome(), Outcome::Acquired);
        ::close(ready[0]);
        ::close(ready[1]);
    }
}

TEST(InstanceLock, ThePlacesAreTriedInOrder) {
    TempDir system;
    TempDir runtime;
    const std::string name = testLockName("order");
    const std::string missing = system / "missing";
    {
        InstanceLock lock(InstanceLock::Places{system.path(), runtime.path(), name});
        EXPECT_EQ(lock.place(), system / kLockFileName);
    }
    {
        InstanceLock lock(InstanceLock::Places{missing, runtime.path(), name});
        EXPECT_EQ(lock.place(), runtime / kLockFileName);
    }
    {
        InstanceLock lock(InstanceLock::Places{missing, "relative/folder", name});
        EXPECT_EQ(lock.place(), "@" + name);
        EXPECT_EQ(lock.outcome(), Outcome::Acquired);
    }
    // A link planted under the lock's name is not followed: the next place serves, and the
    // link's target is not created.
    std::filesystem::remove(system / kLockFileName);
    ASSERT_EQ(::symlink((runtime / "planted").c_str(), (system / kLockFileName).c_str()), 0);
    InstanceLock lock(InstanceLock::Places{system.path(), "", name});
    EXPECT_EQ(lock.place(), "@" + name);
    EXPECT_FALSE(std::filesystem::exists(runtime / "planted"));
}

TEST(InstanceLock, AnotherProgramHoldingTheAbstractNameDoesNotStopALockFile) {
    TempDir dir;
    const std::string name = testLockName("squatted");
    const int squatter = bindAbstractName(name);
    const InstanceLock::Places places{dir.path(), "", name};
    InstanceLock first(places);
    EXPECT_EQ(first.outcome(), Outcome::Acquired);
    InstanceLock second(places);
    EXPECT_EQ(second.outcome(), Outcome::AlreadyRunning);
    ::close(squatter);
}

TEST(RefuseSecondCopy, ShowsTheWarningOnlyWhenAnotherCopyRuns) {
    const InstanceLock::Places places{"", "", testLockName("refuse")};
    InstanceLock first(places);
    RecordingMessageBoxes boxes;
    EXPECT_FALSE(refuseSecondCopy(first, boxes));
    EXPECT_TRUE(boxes.shown.empty());

    InstanceLock second(places);
    EXPECT_TRUE(refuseSecondCopy(second, boxes));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].kind, RecordingMessageBoxes::Kind::Plain);
    EXPECT_EQ(boxes.shown[0].caption, "警告");
    EXPECT_EQ(boxes.shown[0].text, "Horivo程序已经在运行！");
}

TEST(RefuseUnsafeWorkingDirectory, ShowsTheErrorWithThePathOnlyForAFolderOthersCanWrite) {
    TempDir dir;
    RecordingMessageBoxes boxes;
    EXPECT_FALSE(refuseUnsafeWorkingDirectory(boxes, dir.path()));
    EXPECT_TRUE(boxes.shown.empty());

    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    EXPECT_TRUE(refuseUnsafeWorkingDirectory(boxes, dir.path()));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].kind, RecordingMessageBoxes::Kind::Error);
    EXPECT_EQ(boxes.shown[0].caption, "错误");
    EXPECT_EQ(boxes.shown[0].text, "工作目录可被其他用户写入，程序不能安全使用：" + dir.path());
}

}  // namespace
}  // namespace zrq
