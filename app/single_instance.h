// The single-instance lock: a name in the abstract Unix socket namespace that only one running
// copy can hold. The kernel frees it with the process, so no stale lock survives a crash.
#pragma once

#include <string>

#include "base/message_boxes.h"

namespace zrq {

inline constexpr const char* kInstanceLockName = "ZRQ";

class SingleInstanceLock {
public:
    enum class Outcome {
        Acquired,        // this copy holds the name
        AlreadyRunning,  // another process holds it
        Unavailable,     // no socket could be made; the copy runs without the lock
    };

    explicit SingleInstanceLock(const std::string& name = kInstanceLockName);
    ~SingleInstanceLock();  // gives the name up

    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    Outcome outcome() const { return outcome_; }

private:
    int socket_ = -1;
    Outcome outcome_ = Outcome::Unavailable;
};

// Shows "Horivo程序已经在运行！" (caption "警告") when another copy holds the lock; true then, and
// the caller ends without creating a window.
bool refuseSecondCopy(const SingleInstanceLock& lock, MessageBoxes& boxes);

}  // namespace zrq
