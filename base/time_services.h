// What this machine shows of other programs that discipline its clock: the names of running
// processes and the kernel's synchronisation state. Only reads; nothing here changes the clock.
#pragma once

#include <string>
#include <vector>

namespace zrq {

// The sources a look for other time services reads; tests put fakes in their place.
class TimeServiceProbe {
public:
    virtual ~TimeServiceProbe() = default;
    // The name of every running process, as the kernel keeps it (at most 15 bytes).
    virtual std::vector<std::string> processNames() = 0;
    // Whether the kernel reports its clock as synchronised, i.e. some time service says it
    // disciplines it. False when the state cannot be read.
    virtual bool kernelSynchronised() = 0;
};

// The machine's own: /proc/<pid>/comm and the kernel's adjustment interface, read with no mode
// bits set (a pure read that needs no privilege).
class SystemTimeServiceProbe final : public TimeServiceProbe {
public:
    explicit SystemTimeServiceProbe(std::string procRoot = "/proc");
    std::vector<std::string> processNames() override;
    bool kernelSynchronised() override;

private:
    std::string procRoot_;
};

// The kernel clock's synchronisation state, read and never changed.
struct KernelSyncState {
    bool readable = false;
    bool synchronised = false;  // STA_UNSYNC clear and the state is not TIME_ERROR
    int status = 0;             // the STA_* bits
};
KernelSyncState readKernelSyncState();

}  // namespace zrq
