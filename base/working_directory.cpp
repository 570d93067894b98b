// The working-directory rule over stat(2), the account database and getcwd(3).
#include "base/working_directory.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "base/gbk_text.h"

namespace zrq {
namespace {

constexpr uid_t kRoot = 0;

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
    return onlyUserCanWrite(folder, user,
                            [user](gid_t group) { return isPrivateGroupOf(group, user); });
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
