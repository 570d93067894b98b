// How long `zrqctl status` takes against the service's bus object on a private bus, from the
// start of the program to its end (connect, GetAll, print), and what the bus object adds to the
// serving process's resident memory. Prints figures; asserts nothing.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "service/bus_manager.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_manager_model.h"
#include "tests/support/private_bus.h"

namespace {

using zrq::testing::ChildProcess;

// The process's resident memory now, in kB (VmRSS).
long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:")) return std::atol(line.c_str() + 6);
    }
    return -1;
}

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

// Runs `zrqctl command` once to its end while serving the bus; its time from start to end.
bool timeOneRun(zrq::BusManager& manager, const std::string& zrqctl, const char* command,
                std::vector<double>& ms) {
    const auto start = std::chrono::steady_clock::now();
    ChildProcess child({zrqctl, command}, std::nullopt);
    while (!child.done()) {
        std::vector<pollfd> waits{{manager.descriptor(), static_cast<short>(manager.events()), 0}};
        for (int fd : child.descriptors()) waits.push_back({fd, POLLIN, 0});
        ::poll(waits.data(), waits.size(), 1);
        manager.process();
        child.collect();
    }
    const auto end = std::chrono::steady_clock::now();
    if (child.status() != 0) {
        std::fprintf(stderr, "zrqctl_latency: zrqctl %s failed: %s", command, child.err.c_str());
        return false;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    const std::string zrqctl = std::string(ZRQ_BINARY_DIR) + "/zrqctl";
    if (!zrq::testing::PrivateBus::available() || ::access(zrqctl.c_str(), X_OK) != 0) {
        std::fputs("zrqctl_latency: needs dbus-daemon and build/zrqctl\n", stderr);
        return 77;
    }
    zrq::testing::PrivateBus bus("<include>" + zrq::testing::PrivateBus::shippedPolicyPath() +
                                 "</include>");
    if (!bus.failure().empty()) {
        std::fprintf(stderr, "zrqctl_latency: %s\n", bus.failure().c_str());
        return 1;
    }
    zrq::testing::FakeManagerModel model;
    const long before = residentKb();
    zrq::BusManager manager(model, zrq::BusManager::Options{std::nullopt});
    if (const auto failed = manager.start()) {
        std::fprintf(stderr, "zrqctl_latency: %s (run as root: the policy's owner)\n",
                     failed->c_str());
        return 1;
    }
    // The same program with no bus work (--version), for the share of starting a process.
    const auto timeRuns = [&](const char* command, std::vector<double>& ms) {
        for (int i = 0; i < runs; ++i) {
            if (!timeOneRun(manager, zrqctl, command, ms)) return false;
        }
        return true;
    };
    std::vector<double> status;
    std::vector<double> start;
    if (!timeRuns("status", status) || !timeRuns("--version", start)) return 1;
    const long after = residentKb();
    std::printf("zrqctl status, %d runs: median %.2f ms, p95 %.2f ms, max %.2f ms\n", runs,
                percentile(status, 0.5), percentile(status, 0.95), percentile(status, 1.0));
    std::printf("zrqctl --version (process start only): median %.2f ms, p95 %.2f ms\n",
                percentile(start, 0.5), percentile(start, 0.95));
    std::printf("bus object's share of the serving process's memory: %ld kB (VmRSS %ld -> %ld)\n",
                after - before, before, after);
    return 0;
}
