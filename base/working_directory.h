// The rule for the folder that holds the program's files: no other user may write to it, so no
// one can put a link or a file of his own under one of their names.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "base/message_boxes.h"

namespace zrq {

// Whether a group is the user's own: his primary group, with no other member.
using PrivateGroupTest = std::function<bool(gid_t group)>;

// The rule on a folder's status: it belongs to `user` or to root, has no world write bit, and
// a group write bit only when its group is the user's own (as OpenSSH on Debian allows for the
// files it checks).
bool onlyUserCanWrite(const struct stat& folder, uid_t user, const PrivateGroupTest& isPrivate);

// Whether a POSIX access control list in its extended-attribute form (a version word, then
// entries of tag, permissions and id, little-endian) lets another user or group write: a named
// user other than `user` and root, or a named group or the owning group `folderGroup` that is
// not the user's own, with write permission left by the list's mask; "other" with write. A list
// that cannot be read as one lets anyone write, as far as the rule knows.
bool aclLetsOthersWrite(std::string_view xattr, uid_t user, gid_t folderGroup,
                        const PrivateGroupTest& isPrivate);

// Whether `group` is `user`'s primary group and no other account is in it, by name in the group
// list or as its primary group.
bool isPrivateGroupOf(gid_t group, uid_t user);

// The rule for the folder at `path` and the user running the program, its access and default
// access control lists included (a default list is inherited by every file made in the folder).
// A folder that cannot be examined is not safe.
bool isSafeWorkingDirectory(const std::string& path = ".");

// The working directory's absolute path for messages; "." when it has none.
std::string workingDirectoryPath();

// Shows the error box "工作目录可被其他用户写入，程序不能安全使用：" and the folder's path when a
// user other than this one (or root) may write to `workDir`; true then, and the program ends with
// status 1 before it opens a port or a file.
bool refuseUnsafeWorkingDirectory(MessageBoxes& boxes, const std::string& workDir = ".");

}  // namespace zrq
