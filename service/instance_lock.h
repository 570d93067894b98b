// The single-instance lock the desktop program takes too: the abstract Unix socket name "ZRQ",
// so that the service and the desktop program exclude each other. Freed with the process.
#pragma once

#include <string>

namespace zrq {

class InstanceLock {
public:
    enum class Outcome {
        Acquired,        // this copy holds the name
        AlreadyRunning,  // another process (the service or the desktop program) holds it
        Unavailable,     // no socket could be made; the copy runs without the lock
    };

    explicit InstanceLock(const std::string& name = "ZRQ");
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    Outcome outcome() const { return outcome_; }

private:
    int socket_ = -1;
    Outcome outcome_ = Outcome::Unavailable;
};

}  // namespace zrq
