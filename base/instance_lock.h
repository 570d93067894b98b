// The single-instance lock: an exclusive flock on a file in a folder that only the program's
// users can reach, else a name in the abstract socket namespace. The kernel frees either with
// the process, so no stale lock survives a crash. The desktop program and the service share it.
#pragma once

#include <string>

namespace zrq {

// Made at boot by the package: root, group zrq, mode 3770 (setgid: files made in it belong to
// the group; sticky: no member removes another's file), with the lock file root:zrq 0660.
inline constexpr const char* kSystemLockFolder = "/run/zrq";
inline constexpr const char* kLockFileName = "zrq.lock";
inline constexpr const char* kInstanceLockName = "ZRQ";  // the abstract name
// A bar that is the clock service's face keeps no clock: one face per user session.
inline constexpr const char* kFaceLockFileName = "zrq-face.lock";
inline constexpr const char* kFaceLockName = "ZRQ-face-";  // the abstract name, the user id added

class InstanceLock {
public:
    // Where the lock is looked for, in this order: the file in the system folder when that folder
    // exists (and nowhere else: a copy that cannot open it there is refused, since a private
    // lock would let a second clock keeper run), else the file in the runtime folder when it
    // can be opened, else the abstract name. An empty or relative folder is passed over.
    struct Places {
        std::string systemFolder;   // the package's folder of the program's users
        std::string runtimeFolder;  // the user's own runtime folder
        std::string abstractName;
        std::string fileName = kLockFileName;  // in either folder
    };
    // /run/zrq, $XDG_RUNTIME_DIR, "ZRQ".
    static Places defaultPlaces();
    // The face's: no system folder, $XDG_RUNTIME_DIR/zrq-face.lock, "ZRQ-face-" and the user id.
    static Places facePlaces();

    enum class Outcome {
        Acquired,        // this copy holds the lock
        AlreadyRunning,  // another process holds it
        Unavailable,     // no lock could be made; the copy runs without it
        Refused,         // the system folder exists but its lock cannot be opened: end, status 1
    };

    explicit InstanceLock(const Places& places = defaultPlaces());
    ~InstanceLock();  // gives the lock up

    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    Outcome outcome() const { return outcome_; }
    // The lock file's path, or "@" and the abstract name; empty when Unavailable.
    const std::string& place() const { return place_; }
    // When Refused: the path, the system's reason and what to do, in one UTF-8 line.
    const std::string& refusal() const { return refusal_; }

private:
    bool trySystemFolder(const std::string& folder);
    bool tryFile(const std::string& folder);
    void takeOpened(int fd, const std::string& path);
    void tryAbstractName(const std::string& name);

    std::string fileName_;
    int descriptor_ = -1;
    Outcome outcome_ = Outcome::Unavailable;
    std::string place_;
    std::string refusal_;
};

}  // namespace zrq
