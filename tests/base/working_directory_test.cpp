// The working-directory rule: owner, world and group write bits, the user's own group, and the
// rule applied to real folders.
#include "base/working_directory.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>

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

// An access control list as the kernel keeps it in its extended attribute: version 2, then
// (tag, permissions, id) entries, little-endian.
struct AclEntry {
    uint16_t tag;
    uint16_t permissions;
    uint32_t id;
};
std::string aclBytes(std::initializer_list<AclEntry> entries, uint32_t version = 2) {
    std::string bytes;
    auto put = [&bytes](uint32_t value, int count) {
        for (int i = 0; i < count; ++i) bytes += static_cast<char>(value >> (8 * i) & 0xFF);
    };
    put(version, 4);
    for (const AclEntry& e : entries) {
        put(e.tag, 2);
        put(e.permissions, 2);
        put(e.id, 4);
    }
    return bytes;
}
constexpr uint16_t kUserObj = 0x01, kNamedUser = 0x02, kGroupObj = 0x04, kNamedGroup = 0x08,
                   kMask = 0x10, kOther = 0x20;
constexpr uint32_t kNoId = 0xFFFFFFFF;

TEST(WorkingDirectoryRule, AccessControlListsThatLetOthersWrite) {
    const struct {
        const char* legend;
        std::string acl;
        gid_t folderGroup;
        bool othersWrite;
    } cases[] = {
        {"the owner alone, as chmod 0755 keeps it",
         aclBytes({{kUserObj, 7, kNoId}, {kGroupObj, 5, kNoId}, {kOther, 5, kNoId}}), kSharedGroup,
         false},
        {"another user may write",
         aclBytes({{kUserObj, 7, kNoId},
                   {kNamedUser, 7, kOtherUser},
                   {kGroupObj, 5, kNoId},
                   {kMask, 7, kNoId},
                   {kOther, 5, kNoId}}),
         kOwnGroup, true},
        {"another user, write masked off",
         aclBytes({{kUserObj, 7, kNoId},
                   {kNamedUser, 7, kOtherUser},
                   {kGroupObj, 5, kNoId},
                   {kMask, 5, kNoId},
                   {kOther, 5, kNoId}}),
         kOwnGroup, false},
        {"another user, reading only",
         aclBytes({{kUserObj, 7, kNoId}, {kNamedUser, 5, kOtherUser}, {kMask, 7, kNoId}}),
         kOwnGroup, false},
        {"the user himself and root by name",
         aclBytes(
             {{kUserObj, 7, kNoId}, {kNamedUser, 7, kUser}, {kNamedUser, 7, 0}, {kMask, 7, kNoId}}),
         kOwnGroup, false},
        {"a shared group by name",
         aclBytes({{kUserObj, 7, kNoId}, {kNamedGroup, 3, kSharedGroup}, {kMask, 7, kNoId}}),
         kOwnGroup, true},
        {"the user's own group by name", aclBytes({{kNamedGroup, 7, kOwnGroup}}), kOwnGroup, false},
        {"the owning group writes and is shared", aclBytes({{kGroupObj, 7, kNoId}}), kSharedGroup,
         true},
        {"the owning group writes and is the user's own", aclBytes({{kGroupObj, 7, kNoId}}),
         kOwnGroup, false},
        {"others write, as a default list may say", aclBytes({{kOther, 2, kNoId}}), kOwnGroup,
         true},
        {"others write whatever the mask", aclBytes({{kMask, 0, kNoId}, {kOther, 7, kNoId}}),
         kOwnGroup, true},
        {"unknown version", aclBytes({{kUserObj, 7, kNoId}}, 3), kOwnGroup, true},
        {"cut short", aclBytes({{kUserObj, 7, kNoId}}).substr(0, 9), kOwnGroup, true},
        {"no header", std::string("\x02\x00", 2), kOwnGroup, true},
    };
    const PrivateGroupTest isPrivate = [](gid_t group) { return group == kOwnGroup; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(aclLetsOthersWrite(c.acl, kUser, c.folderGroup, isPrivate), c.othersWrite);
    }
}

// With the acl package's setfacl, on the real file system: a write entry for another user in
// the access list or in the default list makes the folder unsafe.
TEST(WorkingDirectoryRule, RealFoldersWithAccessControlLists) {
    if (std::system("command -v setfacl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no setfacl";
    for (const char* option : {"-m", "-d -m"}) {
        SCOPED_TRACE(option);
        testing::TempDir dir;
        const std::string grant =
            std::string("setfacl ") + option + " u:65534:rwx '" + dir.path() + "' 2>/dev/null";
        if (std::system(grant.c_str()) != 0) GTEST_SKIP() << "no ACLs on this file system";
        EXPECT_FALSE(isSafeWorkingDirectory(dir.path()));
        const std::string readOnly =
            std::string("setfacl ") + option + " u:65534:r-x '" + dir.path() + "'";
        ASSERT_EQ(std::system(readOnly.c_str()), 0);
        EXPECT_TRUE(isSafeWorkingDirectory(dir.path()));
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
