// Reading the process list and the kernel's synchronisation state, for the time-service watch.
#include "base/time_services.h"

#include <dirent.h>
#include <sys/timex.h>

#include <cctype>
#include <fstream>
#include <memory>

namespace zrq {
namespace {

bool isProcessDirectory(const char* name) {
    if (*name == '\0') return false;
    for (; *name; ++name) {
        if (!std::isdigit(static_cast<unsigned char>(*name))) return false;
    }
    return true;
}

}  // namespace

KernelSyncState readKernelSyncState() {
    struct timex reading {};
    reading.modes = 0;  // read only: with no mode bits the call changes nothing
    const int state = ::adjtimex(&reading);
    KernelSyncState result;
    if (state < 0) return result;
    result.readable = true;
    result.status = reading.status;
    result.synchronised = state != TIME_ERROR && (reading.status & STA_UNSYNC) == 0;
    return result;
}

SystemTimeServiceProbe::SystemTimeServiceProbe(std::string procRoot)
    : procRoot_(std::move(procRoot)) {}

std::vector<std::string> SystemTimeServiceProbe::processNames() {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir(procRoot_.c_str()), ::closedir);
    if (!proc) return names;
    while (const dirent* entry = ::readdir(proc.get())) {
        if (!isProcessDirectory(entry->d_name)) continue;
        // A process that ends meanwhile leaves no file: it is simply not counted.
        std::ifstream comm(procRoot_ + "/" + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name)) names.push_back(std::move(name));
    }
    return names;
}

bool SystemTimeServiceProbe::kernelSynchronised() { return readKernelSyncState().synchronised; }

}  // namespace zrq
