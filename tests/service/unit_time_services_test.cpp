// Other time services as systemd reports their units, asked of a fake systemd on a private bus:
// which states count, how units map to the services the look names, and that a look after the
// first never waits for systemd.
#include "service/unit_time_services.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/private_bus.h"
#include "timecode/time_service_watch.h"

namespace zrq {
namespace {

using testing::PrivateBus;

// A process list and kernel state a test sets.
class FixedProcesses final : public TimeServiceProbe {
public:
    std::vector<std::string> processNames() override { return names; }
    bool kernelSynchronised() override { return synchronised; }
    std::vector<std::string> names;
    bool synchronised = false;
};

// systemd's Manager as far as the probe asks it: ListUnitsByNames, answered from a table of
// active states (a unit not in it is "inactive", as systemd says of a unit it does not know),
// on a connection and a thread of its own.
class FakeSystemd {
public:
    FakeSystemd() {
        if (sd_bus_open_system(&bus_) < 0 ||
            sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/systemd1",
                                     "org.freedesktop.systemd1.Manager", kVtable, this) < 0 ||
            sd_bus_request_name(bus_, "org.freedesktop.systemd1", 0) < 0) {
            ADD_FAILURE() << "the fake systemd cannot serve";
            return;
        }
        thread_ = std::thread([this] {
            while (!stop_) {
                if (sd_bus_process(bus_, nullptr) > 0) continue;
                sd_bus_wait(bus_, 20000);
            }
        });
    }
    ~FakeSystemd() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        sd_bus_flush_close_unref(bus_);
    }
    void setState(const std::string& unit, const std::string& state) {
        const std::lock_guard lock(mutex_);
        states_[unit] = state;
    }
    int questions() const { return questions_; }

private:
    static int listUnitsByNames(sd_bus_message* m, void* self, sd_bus_error*) {
        auto& fake = *static_cast<FakeSystemd*>(self);
        ++fake.questions_;
        char** names = nullptr;
        int r = sd_bus_message_read_strv(m, &names);
        if (r < 0) return r;
        sd_bus_message* reply = nullptr;
        r = sd_bus_message_new_method_return(m, &reply);
        if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(ssssssouso)");
        for (char** name = names; r >= 0 && *name; ++name) {
            std::string state = "inactive";
            {
                const std::lock_guard lock(fake.mutex_);
                if (const auto it = fake.states_.find(*name); it != fake.states_.end()) {
                    state = it->second;
                }
            }
            r = sd_bus_message_append(reply, "(ssssssouso)", *name, "", "loaded", state.c_str(),
                                      "running", "", "/org/freedesktop/systemd1/unit/x", 0u, "",
                                      "/");
        }
        if (r >= 0) r = sd_bus_message_close_container(reply);
        if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        for (char** name = names; *name; ++name) free(*name);
        free(names);
        return r < 0 ? r : 1;
    }
    static constexpr sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("ListUnitsByNames", "as", "a(ssssssouso)", listUnitsByNames,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };

    sd_bus* bus_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> questions_{0};
    std::mutex mutex_;
    std::map<std::string, std::string> states_;
};

const std::string kFakeSystemdPolicy = R"(<policy context="default">
    <allow own="org.freedesktop.systemd1"/>
    <allow send_destination="org.freedesktop.systemd1"/>
  </policy>)";

TEST(UnitTimeServices, KnownUnitsNameTheProcessTheLookKnows) {
    for (const std::string& unit : kTimeServiceUnits) {
        const auto process = processOfUnit(unit);
        ASSERT_TRUE(process) << unit;
        EXPECT_TRUE(timeServiceOfProcess(*process)) << unit;
    }
    EXPECT_EQ(processOfUnit("ntpsec.service"), "ntpd");
    EXPECT_EQ(processOfUnit("chronyd.service"), "chronyd");
    EXPECT_FALSE(processOfUnit("chrony"));
    EXPECT_FALSE(processOfUnit("cron.service"));
    for (const char* runs : {"active", "reloading", "activating"}) EXPECT_TRUE(unitStateRuns(runs));
    for (const char* stopped : {"inactive", "failed", "deactivating", "maintenance", ""}) {
        EXPECT_FALSE(unitStateRuns(stopped)) << stopped;
    }
}

class UnitTimeServicesOnABus : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PrivateBus::available()) GTEST_SKIP() << "dbus-daemon is not installed";
        bus_ = std::make_unique<PrivateBus>(kFakeSystemdPolicy);
        ASSERT_EQ(bus_->failure(), "");
        ASSERT_GE(sd_bus_open_system(&client_), 0);
    }
    void TearDown() override { sd_bus_flush_close_unref(client_); }

    // Handles what has come for the probe's connection, for up to `ms`.
    void serveClient(int ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            if (sd_bus_process(client_, nullptr) > 0) continue;
            sd_bus_wait(client_, 10000);
        }
    }

    std::unique_ptr<PrivateBus> bus_;
    sd_bus* client_ = nullptr;
    FixedProcesses processes_;
};

TEST_F(UnitTimeServicesOnABus, RunningUnitsAreFoundBesideTheProcessList) {
    FakeSystemd systemd;
    systemd.setState("chrony.service", "active");
    systemd.setState("ptp4l.service", "activating");
    systemd.setState("ntpsec.service", "failed");
    processes_.names = {"bash", "phc2sys"};
    // The service has its bus only after the probe is made.
    UnitTimeServiceProbe probe(processes_);
    probe.useBus(client_);
    // The first look waits for systemd's answer.
    EXPECT_EQ(
        findTimeServices(probe),
        (std::vector<TimeService>{TimeService::Chrony, TimeService::Ptp4l, TimeService::Phc2sys}));

    // Later looks take the answer to the question the look before asked.
    systemd.setState("chrony.service", "inactive");
    systemd.setState("systemd-timesyncd.service", "active");
    processes_.names.clear();
    EXPECT_EQ(findTimeServices(probe),
              (std::vector<TimeService>{TimeService::Chrony, TimeService::Ptp4l}));
    serveClient(200);
    EXPECT_EQ(findTimeServices(probe),
              (std::vector<TimeService>{TimeService::Timesyncd, TimeService::Ptp4l}));
    serveClient(200);
    EXPECT_EQ(systemd.questions(), 3);
}

TEST_F(UnitTimeServicesOnABus, WithoutSystemdTheProcessListAndKernelStillCount) {
    processes_.synchronised = true;
    UnitTimeServiceProbe probe(processes_, client_);
    EXPECT_EQ(findTimeServices(probe), std::vector<TimeService>{TimeService::Unnamed});
    processes_.names = {"ntpd"};
    EXPECT_EQ(findTimeServices(probe), std::vector<TimeService>{TimeService::Ntp});

    UnitTimeServiceProbe noBus(processes_);
    EXPECT_EQ(findTimeServices(noBus), std::vector<TimeService>{TimeService::Ntp});
}

}  // namespace
}  // namespace zrq
