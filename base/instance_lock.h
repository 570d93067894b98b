// The single-instance lock: an exclusive flock on a file in a folder that only the program's
// users can reach, else a name in the abstract socket namespace. The kernel frees either with
// the process, so no stale lock survives a crash. The desktop program and the service share it.
#pragma once

#include <string>

namespace zrq {

inline constexpr const char* kSystemLockFolder = "/run/zrq";  // root, group zrq, 0770
inline constexpr const char* kLockFileName = "zrq.lock";
inline constexpr const char* kInstanceLockName = "ZRQ";  // the abstract name

class InstanceLock {
public:
    // Where the lock is looked for, in this order: the file in the first folder in which it can
    // be opened (an empty or relative folder is passed over), else the abstract name.
    struct Places {
        std::string systemFolder;   // the package's folder of the program's users
        std::string runtimeFolder;  // the user's own runtime folder
        std::string abstractName;
    };
    // /run/zrq, $XDG_RUNTIME_DIR, "ZRQ".
    static Places defaultPlaces();

    enum class Outcome {
        Acquired,        // this copy holds the lock
        AlreadyRunning,  // another process holds it
        Unavailable,     // no lock could be made; the copy runs without it
    };

    explicit InstanceLock(const Places& places = defaultPlaces());
    ~InstanceLock();  // gives the lock up

    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    Outcome outcome() const { return outcome_; }
    // The lock file's path, or "@" and the abstract name; empty when Unavailable.
    const std::string& place() const { return place_; }

private:
    bool tryFile(const std::string& folder);
    void tryAbstractName(const std::string& name);

    int descriptor_ = -1;
    Outcome outcome_ = Outcome::Unavailable;
    std::string place_;
};

}  // namespace zrq
