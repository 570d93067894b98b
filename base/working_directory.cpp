// The working-directory rule over stat(2), the account database and getcwd(3).
#include "base/working_directory.h"

#include <grp.h>
#include <pwd.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>

#include "base/gbk_text.h"

namespace zrq {
namespace {

constexpr uid_t kRoot = 0;

// The kernel's extended-attribute form of an access control list: a 4-byte version (2), then
// 8-byte entries of tag (2 bytes), permissions (2 bytes) and id (4 bytes), all little-endian.
constexpr uint32_t kAclVersion = 2;
constexpr size_t kAclHeaderBytes = 4;
constexpr size_t kAclEntryBytes = 8;
constexpr uint16_t kAclUserObj = 0x01;
constexpr uint16_t kAclUser = 0x02;
constexpr uint16_t kAclGroupObj = 0x04;
constexpr uint16_t kAclGroup = 0x08;
constexpr uint16_t kAclMask = 0x10;
constexpr uint16_t kAclOther = 0x20;
constexpr uint16_t kAclWrite = 0x02;
constexpr const char* kAccessAclName = "system.posix_acl_access";
constexpr const char* kDefaultAclName = "system.posix_acl_default";
constexpr size_t kLargestAcl = 64 * 1024;

uint32_t littleEndian(std::string_view bytes, size_t at, size_t count) {
    uint32_t value = 0;
    for (size_t i = count; i-- > 0;) {
        value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    }
    return value;
}

// The list named `name` of the folder at `path`: empty when it has none (or the file system
// keeps none); nullopt when it cannot be read.
std::optional<std::string> readAcl(const std::string& path, const char* name) {
    std::string value(kLargestAcl, '\0');
    const ssize_t size = ::getxattr(path.c_str(), name, value.data(), value.size());
    if (size < 0) {
        if (errno == ENODATA || errno == ENOTSUP) return std::string();
        return std::nullopt;
    }
    value.resize(static_cast<size_t>(size));
    return value;
}

// Whether another account than `user` has `group` as its primary group. Reads the whole account
// database, which is done once at start and only for a group-writable folder.
bool othersHavePrimaryGroup(gid_t group, uid_t user) {
    bool found = false;
    ::setpwent();
    while (const passwd* account = ::getpwent()) {
        if (account->pw_gid == group && account->pw_uid != user) {
            found = true;
            break;
        }
    }
    ::endpwent();
    return found;
}

}  // namespace

bool onlyUserCanWrite(const struct stat& folder, uid_t user, const PrivateGroupTest& isPrivate) {
    if (folder.st_uid != user && folder.st_uid != kRoot) return false;
    if (folder.st_mode & S_IWOTH) return false;
    return !(folder.st_mode & S_IWGRP) || isPrivate(folder.st_gid);
}

bool aclLetsOthersWrite(std::string_view xattr, uid_t user, gid_t folderGroup,
                        const PrivateGroupTest& isPrivate) {
    if (xattr.size() < kAclHeaderBytes || (xattr.size() - kAclHeaderBytes) % kAclEntryBytes != 0 ||
        littleEndian(xattr, 0, 4) != kAclVersion) {
        return true;
    }
    // The mask limits named users, named groups and the owning group; without one, nothing.
    uint16_t mask = 0xFFFF;
    for (size_t at = kAclHeaderBytes; at < xattr.size(); at += kAclEntryBytes) {
        if (littleEndian(xattr, at, 2) == kAclMask) mask = littleEndian(xattr, at + 2, 2);
    }
    for (size_t at = kAclHeaderBytes; at < xattr.size(); at += kAclEntryBytes) {
        const uint16_t tag = littleEndian(xattr, at, 2);
        const uint16_t permissions = littleEndian(xattr, at + 2, 2);
        const uint32_t id = littleEndian(xattr, at + 4, 4);
        if (tag == kAclUserObj || tag == kAclMask) continue;
        const bool writes = (permissions & (tag == kAclOther ? 0xFFFF : mask) & kAclWrite) != 0;
        if (!writes) continue;
        switch (tag) {
            case kAclUser:
                if (id != user && id != kRoot) return true;
                break;
            case kAclGroup:
                if (!isPrivate(id)) return true;
                break;
            case kAclGroupObj:
                if (!isPrivate(folderGroup)) return true;
                break;
            default:  // "other", or a tag this rule does not know
                return true;
        }
    }
    return false;
}

bool isPrivateGroupOf(gid_t group, uid_t user) {
    const passwd* account = ::getpwuid(user);
    if (account == nullptr || account->pw_gid != group) return false;
    const std::string name = account->pw_name;
    const struct group* entry = ::getgrgid(group);
    if (entry == nullptr) return false;
    for (char** member = entry->gr_mem; *member != nullptr; ++member) {
        if (name != *member) return false;
    }
    return !othersHavePrimaryGroup(group, user);
}

bool isSafeWorkingDirectory(const std::string& path) {
    struct stat folder {};
    if (::stat(path.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return false;
    const uid_t user = ::getuid();
    const PrivateGroupTest isPrivate = [user](gid_t group) {
        return isPrivateGroupOf(group, user);
    };
    if (!onlyUserCanWrite(folder, user, isPrivate)) return false;
    for (const char* name : {kAccessAclName, kDefaultAclName}) {
        const std::optional<std::string> acl = readAcl(path, name);
        if (!acl) return false;
        if (!acl->empty() && aclLetsOthersWrite(*acl, user, folder.st_gid, isPrivate)) return false;
    }
    return true;
}

std::string workingDirectoryPath() {
    char path[PATH_MAX];
    return ::getcwd(path, sizeof path) != nullptr ? std::string(path) : std::string(".");
}

bool refuseUnsafeWorkingDirectory(MessageBoxes& boxes, const std::string& workDir) {
    if (isSafeWorkingDirectory(workDir)) return false;
    const std::string path = workDir == "." ? workingDirectoryPath() : workDir;
    GbkText text = gbk("工作目录可被其他用户写入，程序不能安全使用：");
    try {
        text += GbkText::fromUtf8(path);
    } catch (const EncodingError&) {
        text.appendAscii("?");  // a name that is no UTF-8 (or has no GBK form) is not shown
    }
    boxes.error(text);
    return true;
}

}  // namespace zrq
