// The working-directory rule: owner, world and group write bits, the user's own group, and the
// rule applied to real folders.
#include "base/working_directory.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "tests/support/temp_dir.h"

namespace zrq {
namespace {

constexpr uid_t kUser = 1000;
constexpr uid_t kOtherUser = 1001;
constexpr gid_t kOwnGroup = 1000;
constexpr gid_t kSharedGroup = 20;

struct Case {
    const char* legend;
    uid_t owner;
    gid_t group;
    mode_t mode;
    bool safe;
};

TEST(WorkingDirectoryRule, OwnerAndWriteBits) {
    const Case cases[] = {
        {"the user's, 0755", kUser, kSharedGroup, 0755, true},
        {"the user's, 0700", kUser, kSharedGroup, 0700, true},
        {"root's, 0755", 0, 0, 0755, true},
        {"another user's, 0755", kOtherUser, kSharedGroup, 0755, false},
        {"another user's, 0700", kOtherUser, kOwnGroup, 0700, false},
        {"world-writable", kUser, kOwnGroup, 0777, false},
        {"world-writable and sticky, as /tmp", 0, 0, 01777, false},
        {"world write bit alone", kUser, kOwnGroup, 0702, false},
        {"group-writable, the user's own group", kUser, kOwnGroup, 0775, true},
        {"group-writable, a shared group", kUser, kSharedGroup, 0775, false},
        {"root's, group-writable by a shared group", 0, kSharedGroup, 0770, false},
        {"group-readable only, a shared group", kUser, kSharedGroup, 0750, true},
    };
    const PrivateGroupTest isPrivate = [](gid_t group) { return group == kOwnGroup; };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        struct stat folder {};
        folder.st_uid = c.owner;
        folder.st_gid = c.group;
        folder.st_mode = S_IFDIR | c.mode;
        EXPECT_EQ(onlyUserCanWrite(folder, kUser, isPrivate), c.safe);
    }
}

TEST(WorkingDirectoryRule, APrivateGroupIsThePrimaryOneWithNoOtherMember) {
    // Debian's base accounts: root alone in group root; nogroup the primary group of nobody and
    // of other system accounts (sync, _apt).
    const passwd* nobody = ::getpwnam("nobody");
    const passwd* sync = ::getpwnam("sync");
    const group* root = ::getgrgid(0);
    if (!nobody || !sync || !root || root->gr_mem[0] || sync->pw_gid != nobody->pw_gid) {
        GTEST_SKIP() << "not Debian's base accounts";
    }
    const uid_t nobodyUid = nobody->pw_uid;
    const gid_t nogroup = nobody->pw_gid;
    EXPECT_TRUE(isPrivateGroupOf(0, 0));
    EXPECT_FALSE(isPrivateGroupOf(0, nobodyUid));        // not nobody's primary group
    EXPECT_FALSE(isPrivateGroupOf(nogroup, 0));          // not root's primary group
    EXPECT_FALSE(isPrivateGroupOf(nogroup, nobodyUid));  // sync's primary group as well
}

TEST(WorkingDirectoryRule, RealFolders) {
    testing::TempDir dir;
    EXPECT_TRUE(isSafeWorkingDirectory(dir.path()));  // mkdtemp: 0700, this user's
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    EXPECT_FALSE(isSafeWorkingDirectory(dir.path()));
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    EXPECT_TRUE(isSafeWorkingDirectory(dir.path()));
    if (::getuid() == 0) {
        ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0);  // nobody's now
        EXPECT_FALSE(isSafeWorkingDirectory(dir.path()));
    }
    EXPECT_FALSE(isSafeWorkingDirectory(dir / "missing"));
    EXPECT_FALSE(isSafeWorkingDirectory("/proc/self/status"));  // not a folder
}

}  // namespace
}  // namespace zrq
