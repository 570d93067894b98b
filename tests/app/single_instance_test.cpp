// The single-instance lock: one holder per lock file or name, the places tried in order, the
// message for a second copy, the lock freed when its holder goes, and the refusal of a working
// directory that other users can write to.
#include "app/single_instance.h"

#include <fcntl.h>
#include <grp.h>
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

// The service's face takes a lock of its own beside the clock keeper's in the runtime folder, and
// a second face of the same session is refused.
TEST(InstanceLock, TheFacesLockStandsBesideTheClockLock) {
    TempDir runtime;
    InstanceLock::Places face{"", runtime.path(), testLockName("face"), kFaceLockFileName};
    const InstanceLock keeper(InstanceLock::Places{"", runtime.path(), testLockName("keeper")});
    const InstanceLock first(face);
    EXPECT_EQ(keeper.outcome(), Outcome::Acquired);
    EXPECT_EQ(first.outcome(), Outcome::Acquired);
    EXPECT_EQ(first.place(), runtime / kFaceLockFileName);
    EXPECT_EQ(InstanceLock(face).outcome(), Outcome::AlreadyRunning);

    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    const InstanceLock::Places places = InstanceLock::facePlaces();
    if (saved) {
        ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    EXPECT_TRUE(places.systemFolder.empty());  // never the clock keepers' shared folder
    EXPECT_EQ(places.runtimeFolder, runtime.path());
    EXPECT_EQ(places.fileName, kFaceLockFileName);
    EXPECT_EQ(places.abstractName, kFaceLockName + std::to_string(::getuid()));
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
    // A link planted under the lock's name in the system folder is not followed, and no other
    // place stands in for it: the copy is refused, naming the file.
    std::filesystem::remove(system / kLockFileName);
    ASSERT_EQ(::symlink((runtime / "planted").c_str(), (system / kLockFileName).c_str()), 0);
    InstanceLock lock(InstanceLock::Places{system.path(), runtime.path(), name});
    EXPECT_EQ(lock.outcome(), Outcome::Refused);
    EXPECT_EQ(lock.place(), "");
    EXPECT_NE(lock.refusal().find(system / kLockFileName), std::string::npos) << lock.refusal();
    EXPECT_FALSE(std::filesystem::exists(runtime / "planted"));
}

// Ids of no account on the machine: permissions are checked by number alone.
constexpr gid_t kSharedGroup = 61'700;
constexpr uid_t kFirstUser = 61'701;   // the service's way: a primary group of its own
constexpr uid_t kSecondUser = 61'702;  // a desktop user in the group

// Runs `body` in a child as `uid` with primary group `gid` (same number as the user), the shared
// group besides, and umask 0027; returns the byte the body gives, or 'x' when the ids could not be
// taken. With `holder`, the child stays (holding whatever it took) until the test closes
// `*release`, and is left for the test to reap.
template <typename Body>
char runAs(uid_t uid, Body body, pid_t* holder = nullptr, int* release = nullptr) {
    int result[2], wait[2];
    if (::pipe(result) != 0 || ::pipe(wait) != 0) return 'x';
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(wait[1]);
        const gid_t groups[] = {kSharedGroup};
        char byte = 'x';
        if (::setgroups(1, groups) == 0 && ::setresgid(uid, uid, uid) == 0 &&
            ::setresuid(uid, uid, uid) == 0) {
            ::umask(027);
            byte = body();
        }
        (void)!::write(result[1], &byte, 1);
        char ignored;
        if (holder) (void)!::read(wait[0], &ignored, 1);  // until the test closes its end
        ::_exit(0);
    }
    ::close(wait[0]);
    ::close(result[1]);
    char byte = 'x';
    if (::read(result[0], &byte, 1) != 1) byte = 'x';
    ::close(result[0]);
    if (holder) {
        *holder = child;
        *release = wait[1];
    } else {
        ::close(wait[1]);
        ::waitpid(child, nullptr, 0);
    }
    return byte;
}

// The lock folder as the package makes it: root, the shared group, setgid and sticky.
class SharedLockFolder : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two other users";
        ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(folder.c_str(), 0), 0);
        ASSERT_EQ(::chown(folder.c_str(), 0, kSharedGroup), 0);
        ASSERT_EQ(::chmod(folder.c_str(), 03770), 0);
    }
    InstanceLock::Places places() const { return {folder, runtime.path(), testLockName("g")}; }

    TempDir dir;
    TempDir runtime;
    const std::string folder = dir / "run-zrq";
};

// The first member, as the service runs (primary group of its own, umask 0027), makes the lock
// file; a second member opens it, is told the program runs, cannot remove the file, and takes
// the lock once the first has ended.
TEST_F(SharedLockFolder, TwoMembersShareTheLockWhateverTheFirstOnesUmaskAndGroup) {
    const auto lockOutcome = [&] {
        // Kept until the child ends, so that a child told to stay holds the lock.
        const InstanceLock& lock = *new InstanceLock(places());
        RecordingMessageBoxes boxes;
        if (refuseSecondCopy(lock, boxes))
            return boxes.shown.size() == 1 && boxes.shown[0].text == "Horivo程序已经在运行！" ? 'r'
                                                                                              : '?';
        return lock.outcome() == Outcome::Acquired ? 'a' : 'f';
    };
    pid_t first = -1;
    int release = -1;
    ASSERT_EQ(runAs(kFirstUser, lockOutcome, &first, &release), 'a');
    struct stat st {};
    ASSERT_EQ(::stat((folder + "/" + kLockFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, kSharedGroup);

    EXPECT_EQ(runAs(kSecondUser, lockOutcome), 'r') << "the second copy is refused";
    EXPECT_EQ(
        runAs(kSecondUser,
              [&] { return ::unlink((folder + "/" + kLockFileName).c_str()) == 0 ? 'u' : 'k'; }),
        'k')
        << "the sticky folder keeps the file";
    ::close(release);
    ::waitpid(first, nullptr, 0);
    EXPECT_EQ(runAs(kSecondUser, lockOutcome), 'a');
}

// A lock file of another group in the folder: a clear refusal, and no private lock instead.
TEST_F(SharedLockFolder, ALockFileThatCannotBeOpenedRefusesWithoutFallingBack) {
    const std::string path = folder + "/" + kLockFileName;
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0640);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(::chown(path.c_str(), kFirstUser, kFirstUser), 0);
    ASSERT_EQ(::chmod(runtime.path().c_str(), 0777), 0);
    const char outcome = runAs(kSecondUser, [&] {
        InstanceLock lock(places());
        const std::string& text = lock.refusal();
        const bool named = text.find(path) != std::string::npos &&
                           text.find("Permission denied") != std::string::npos &&
                           text.find("group zrq") != std::string::npos;
        return lock.outcome() == Outcome::Refused && named ? 'R' : 'n';
    });
    EXPECT_EQ(outcome, 'R');
    EXPECT_FALSE(std::filesystem::exists(runtime / kLockFileName)) << "no private lock";
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
