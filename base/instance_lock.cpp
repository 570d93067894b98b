// The lock file's flock, or the bind of an abstract-namespace Unix socket (EADDRINUSE means
// another copy runs).
#include "base/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "base/system_calls.h"

namespace zrq {

InstanceLock::Places InstanceLock::defaultPlaces() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return {kSystemLockFolder, runtime ? runtime : "", kInstanceLockName};
}

InstanceLock::Places InstanceLock::facePlaces() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return {"", runtime ? runtime : "", kFaceLockName + std::to_string(::getuid()),
            kFaceLockFileName};
}

namespace {

constexpr mode_t kGroupLockMode = 0660;  // every member of the folder's group takes the lock

// Read-only is enough for flock, so a file another member of the group made serves as well.
// No link is followed, and a non-blocking open keeps a pipe in its place from hanging here.
constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// The existing lock file, else a new one. The new file's group comes from the setgid folder;
// its mode is set outright, so the umask of whoever made it does not matter. Returns the
// descriptor, or -1 with errno set.
int openOrCreate(const std::string& path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(path.c_str(), kOpenFlags);
        if (fd >= 0 || errno != ENOENT) return fd;
        const int made = ::open(path.c_str(), kOpenFlags | O_CREAT | O_EXCL, kGroupLockMode);
        if (made >= 0) {
            ::fchmod(made, kGroupLockMode);
            return made;
        }
        if (errno != EEXIST) return -1;  // else another copy made it just now: open that one
    }
    return -1;
}

std::string refusalText(const std::string& path, const std::string& reason) {
    return "the lock " + path + " cannot be taken (" + reason +
           "); every user of the program must be a member of the group zrq (sudo adduser USER "
           "zrq, then log in again), and its folder must be root:zrq mode 3770 with the lock "
           "file group zrq mode 0660, as the package's tmpfiles entry makes them";
}

}  // namespace

InstanceLock::InstanceLock(const Places& places) : fileName_(places.fileName) {
    if (trySystemFolder(places.systemFolder) || tryFile(places.runtimeFolder)) return;
    tryAbstractName(places.abstractName);
}

InstanceLock::~InstanceLock() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

// True when the system folder decides: it exists, so the lock is taken there, or another process
// holds it, or it is refused.
bool InstanceLock::trySystemFolder(const std::string& folder) {
    if (folder.empty() || folder.front() != '/') return false;
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 && errno == ENOENT) return false;
    const std::string path = folder + "/" + fileName_;
    const int fd = openOrCreate(path);
    if (fd < 0) {
        outcome_ = Outcome::Refused;
        refusal_ = refusalText(path, errorText(errno));
        return true;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        outcome_ = Outcome::Refused;
        refusal_ = refusalText(path, "not a regular file");
        return true;
    }
    takeOpened(fd, path);
    if (outcome_ == Outcome::Unavailable) {
        outcome_ = Outcome::Refused;
        refusal_ = refusalText(path, "flock failed");
    }
    return true;
}

// True when this folder decides: the lock is taken here, or another process holds it.
bool InstanceLock::tryFile(const std::string& folder) {
    if (folder.empty() || folder.front() != '/') return false;
    const std::string path = folder + "/" + fileName_;
    const int fd = ::open(path.c_str(), kOpenFlags | O_CREAT, 0644);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    takeOpened(fd, path);
    return outcome_ != Outcome::Unavailable;
}

// Takes the flock of an opened lock file; leaves the outcome Unavailable when flock itself fails.
void InstanceLock::takeOpened(int fd, const std::string& path) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        descriptor_ = fd;
        outcome_ = Outcome::Acquired;
        place_ = path;
        return;
    }
    const int error = errno;
    ::close(fd);
    if (error != EWOULDBLOCK) return;
    outcome_ = Outcome::AlreadyRunning;
    place_ = path;
}

void InstanceLock::tryAbstractName(const std::string& name) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A leading zero byte puts the name in the abstract namespace; it is not zero-terminated.
    const std::size_t length = std::min(name.size(), sizeof(address.sun_path) - 1);
    std::memcpy(address.sun_path + 1, name.data(), length);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);

    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0) {
        descriptor_ = fd;
        outcome_ = Outcome::Acquired;
        place_ = "@" + name;
        return;
    }
    if (errno == EADDRINUSE) {
        outcome_ = Outcome::AlreadyRunning;
        place_ = "@" + name;
    }
    ::close(fd);
}

}  // namespace zrq
