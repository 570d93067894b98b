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

namespace zrq {

InstanceLock::Places InstanceLock::defaultPlaces() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return {kSystemLockFolder, runtime ? runtime : "", kInstanceLockName};
}

InstanceLock::InstanceLock(const Places& places) {
    for (const std::string* folder : {&places.systemFolder, &places.runtimeFolder}) {
        if (tryFile(*folder)) return;
    }
    tryAbstractName(places.abstractName);
}

InstanceLock::~InstanceLock() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

// True when this folder decides: the lock is taken here, or another process holds it.
bool InstanceLock::tryFile(const std::string& folder) {
    if (folder.empty() || folder.front() != '/') return false;
    const std::string path = folder + "/" + kLockFileName;
    // Read-only is enough for flock, so a file another member of the group made serves as well.
    // No link is followed, and a non-blocking open keeps a pipe in its place from hanging here.
    const int fd =
        ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        descriptor_ = fd;
        outcome_ = Outcome::Acquired;
        place_ = path;
        return true;
    }
    const int error = errno;
    ::close(fd);
    if (error != EWOULDBLOCK) return false;
    outcome_ = Outcome::AlreadyRunning;
    place_ = path;
    return true;
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
