// The service's bus object on a private bus of the test's own, with zrqctl as its client: who
// may read and who may change (the package's policy and the service's own check), Set as a
// whole, observers that stop or leave the bus, and a client with no service to talk to.
#include "service/bus_manager.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "service/bus_names.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_manager_model.h"
#include "tests/support/private_bus.h"

namespace zrq {
namespace {

using testing::ChildProcess;
using testing::FakeManagerModel;
using testing::PrivateBus;
using testing::RunAs;

// The group zrq does not exist on a test machine: the group daemon plays it, and the user
// daemon (primary group daemon) is its member; nobody is in neither.
constexpr const char* kOperatorGroupName = "daemon";
constexpr gid_t kOperatorGid = 1;
const RunAs kMember{1, 1, {}};
const RunAs kOutsider{65534, 65534, {}};

const std::string kZrqctl = std::string(ZRQ_BINARY_DIR) + "/zrqctl";
// systemd's bus client, for what zrqctl does not do (introspection, taking a name).
constexpr const char* kBusctl = "/usr/bin/busctl";

// The package's policy file as it is, but for the group's name.
std::string shippedPolicyForTest() {
    std::string text =
        PrivateBus::policiesOf(PrivateBus::readFile(PrivateBus::shippedPolicyPath()));
    const std::string group = "group=\"zrq\"";
    const size_t at = text.find(group);
    if (at != std::string::npos) {
        text.replace(at, group.size(), std::string("group=\"") + kOperatorGroupName + "\"");
    }
    return text;
}

// A policy that lets everyone call everything: only the service's own check stands.
const std::string kOpenPolicy = R"(<policy context="default">
    <allow own="org.horivo.Zrq1"/>
    <allow send_destination="org.horivo.Zrq1"/>
  </policy>)";

class BusManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PrivateBus::available()) GTEST_SKIP() << "dbus-daemon is not installed";
        if (::geteuid() != 0) GTEST_SKIP() << "callers as other users need root";
        startBus(shippedPolicyForTest());
    }

    void startBus(const std::string& policies) {
        manager_.reset();
        bus_.reset();
        bus_ = std::make_unique<PrivateBus>(policies);
        ASSERT_EQ(bus_->failure(), "");
        manager_ = std::make_unique<BusManager>(model_, BusManager::Options{kOperatorGid});
        ASSERT_EQ(manager_->start(), std::nullopt);
    }

    // Serves the bus (and `client`, when given) until `until` holds; false after 10 s.
    template <class Until>
    bool serve(ChildProcess* child, Until until, sd_bus* client = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!until()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::vector<pollfd> waits;
            if (manager_) {
                waits.push_back(
                    {manager_->descriptor(), static_cast<short>(manager_->events()), 0});
            }
            if (client) {
                waits.push_back(
                    {sd_bus_get_fd(client), static_cast<short>(sd_bus_get_events(client)), 0});
            }
            if (child) {
                for (int fd : child->descriptors()) waits.push_back({fd, POLLIN, 0});
            }
            // A child's end shows on no descriptor of ours: look again at least every 20 ms.
            int timeout = manager_ ? manager_->timeoutMs() : -1;
            if (timeout < 0 || timeout > 20) timeout = 20;
            ::poll(waits.data(), waits.size(), timeout);
            if (manager_) manager_->process();
            if (client) {
                while (sd_bus_process(client, nullptr) > 0) {
                }
            }
            if (child) child->collect();
        }
        return true;
    }

    // Runs zrqctl with `args` as `as` to its end.
    std::unique_ptr<ChildProcess> zrqctl(const std::vector<std::string>& args,
                                         const std::optional<RunAs>& as = std::nullopt) {
        std::vector<std::string> argv{kZrqctl};
        argv.insert(argv.end(), args.begin(), args.end());
        auto child = std::make_unique<ChildProcess>(argv, as);
        EXPECT_TRUE(serve(child.get(), [&] { return child->done(); })) << "zrqctl hangs";
        return child;
    }

    FakeManagerModel model_;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<BusManager> manager_;
};

TEST_F(BusManagerTest, AnyoneReadsTheStateThroughZrqctlStatusAndShow) {
    const auto status = zrqctl({"status"}, kOutsider);
    EXPECT_EQ(status->status(), 0) << status->err;
    EXPECT_EQ(status->out,
              "lamp             green\n"
              "status           接收正常\n"
              "port             COM3\n"
              "rate             4800 bit/s\n"
              "format           TVZ_CODE\n"
              "schedule         hour:00:30\n"
              "last frame       2026-12-09 10:11:12\n"
              "last correction  2026-12-09 10:00:30.012, offset +1.234 ms (PC minus device), "
              "set, step -1.234 ms\n");

    model_.correction->refusal = "Operation not permitted";
    model_.correction->offsetUs.reset();
    model_.frame.reset();
    model_.lampShown = Lamp::Yellow;
    const auto refused = zrqctl({"status"}, kOutsider);
    EXPECT_NE(refused->out.find("lamp             yellow\n"), std::string::npos);
    EXPECT_NE(refused->out.find("last frame       none yet\n"), std::string::npos);
    EXPECT_NE(refused->out.find("offset unknown, refused: Operation not permitted\n"),
              std::string::npos)
        << refused->out;

    const auto show = zrqctl({"show"}, kOutsider);
    EXPECT_EQ(show->status(), 0) << show->err;
    EXPECT_NE(show->out.find("port       3  (COM3)\n"), std::string::npos) << show->out;
    EXPECT_NE(show->out.find("schedule   hour:00:30  (every hour at minute 0, second 30)\n"),
              std::string::npos);
    EXPECT_NE(show->out.find("jumplog    off"), std::string::npos);
    EXPECT_NE(show->out.find("commlog    on"), std::string::npos);
}

TEST_F(BusManagerTest, ThePolicyRefusesTheMethodsToOthersButLetsThemIntrospect) {
    const auto correct = zrqctl({"correct-now"}, kOutsider);
    EXPECT_EQ(correct->status(), 4);
    // The bus daemon's refusal, before the service saw the call.
    EXPECT_NE(correct->err.find("Rejected send message"), std::string::npos) << correct->err;
    const auto set = zrqctl({"set", "format=EB_CODE"}, kOutsider);
    EXPECT_EQ(set->status(), 4);
    const auto monitor = zrqctl({"monitor"}, kOutsider);
    EXPECT_EQ(monitor->status(), 4);
    EXPECT_EQ(model_.correctNowCalls, 0);
    EXPECT_TRUE(model_.changes.empty());
    EXPECT_TRUE(model_.observeCalls.empty());

    if (::access(kBusctl, X_OK) != 0) GTEST_SKIP() << "busctl is not installed";
    auto introspect = std::make_unique<ChildProcess>(
        std::vector<std::string>{kBusctl, "--system", "introspect", bus::kServiceName,
                                 bus::kObjectPath, bus::kManagerInterface},
        kOutsider);
    ASSERT_TRUE(serve(introspect.get(), [&] { return introspect->done(); }));
    EXPECT_EQ(introspect->status(), 0) << introspect->err;
    EXPECT_NE(introspect->out.find(".CorrectNow"), std::string::npos);
    EXPECT_NE(introspect->out.find(".LastCorrection"), std::string::npos);
}

TEST_F(BusManagerTest, RootAndTheGroupMayChange) {
    const auto correct = zrqctl({"correct-now"});
    EXPECT_EQ(correct->status(), 0) << correct->err;
    EXPECT_EQ(model_.correctNowCalls, 1);

    const auto set = zrqctl({"set", "format=EB_CODE", "jumplog=on", "fine=250"}, kMember);
    EXPECT_EQ(set->status(), 0) << set->err;
    ASSERT_EQ(model_.changes.size(), 1u);
    const SettingsChange& change = model_.changes[0];
    EXPECT_EQ(change.settings.clock.CodeFormat, 2);
    EXPECT_EQ(change.settings.baudCode, 12);  // the rate the format brings
    EXPECT_EQ(change.settings.clock.FineTuneMs, 250);
    EXPECT_EQ(change.settings.port, 3);  // what was not named stays
    EXPECT_EQ(change.jumpLog, true);
    EXPECT_EQ(change.commLog, std::nullopt);
    // zrqctl shows the settings that now hold.
    EXPECT_NE(set->out.find("format     EB_CODE\n"), std::string::npos) << set->out;
    EXPECT_NE(set->out.find("jumplog    on"), std::string::npos);
}

// With a policy that lets everyone through, the service still refuses whoever is neither root
// nor in the group, and says why.
TEST_F(BusManagerTest, TheServiceChecksTheCallerItself) {
    startBus(kOpenPolicy);
    for (const char* command : {"correct-now", "monitor"}) {
        const auto refused = zrqctl({command}, kOutsider);
        EXPECT_EQ(refused->status(), 4) << command;
        EXPECT_NE(refused->err.find("only root and the members of the group zrq may change the "
                                    "service (caller uid 65534)"),
                  std::string::npos)
            << refused->err;
    }
    const auto set = zrqctl({"set", "port=7"}, kOutsider);
    EXPECT_EQ(set->status(), 4);
    EXPECT_EQ(model_.correctNowCalls, 0);
    EXPECT_TRUE(model_.changes.empty());
    EXPECT_TRUE(model_.observeCalls.empty());

    // The member's right comes from its group, not from the open policy: another group id
    // refuses it.
    EXPECT_EQ(zrqctl({"correct-now"}, kMember)->status(), 0);
    manager_ = std::make_unique<BusManager>(model_, BusManager::Options{kOperatorGid + 1});
    ASSERT_EQ(manager_->start(), std::nullopt);
    EXPECT_EQ(zrqctl({"correct-now"}, kMember)->status(), 4);
    EXPECT_EQ(model_.correctNowCalls, 1);
}

TEST_F(BusManagerTest, SetChangesNothingWhenAnyPairIsBad) {
    struct Bad {
        std::vector<std::string> args;
        const char* says;
    };
    const Bad cases[] = {
        {{"set", "port=4", "format=XX"}, "format: XX is no format"},
        {{"set", "jumplog=maybe", "port=4"}, "jumplog: maybe is neither on nor off"},
        {{"set", "speed=9600"},
         "unknown key speed (port, baud, format, schedule, threshold, "
         "fine, jumplog, commlog)"},
        {{"set", "schedule=daily:25:00:00"}, "schedule: expected"},
        {{"set", "port4"}, "expected KEY=VALUE"},
        {{"set"}, "set needs at least one KEY=VALUE"},
    };
    for (const Bad& bad : cases) {
        const auto run = zrqctl(bad.args);
        EXPECT_EQ(run->status(), 2) << bad.says;
        EXPECT_NE(run->err.find(bad.says), std::string::npos) << run->err;
    }
    EXPECT_TRUE(model_.changes.empty());

    // The engine's own refusal (a save that fails) reaches the caller too.
    model_.refuseApply = "kelvosys.conf: No space left on device";
    const auto failed = zrqctl({"set", "threshold=9"});
    EXPECT_EQ(failed->status(), 1);
    EXPECT_NE(failed->err.find("No space left on device; nothing was changed"), std::string::npos)
        << failed->err;
    EXPECT_EQ(model_.stored.clock.JumpThresholdSec, 5);
}

TEST_F(BusManagerTest, ChangedPropertiesAreSentOnceEach) {
    sd_bus* client = nullptr;
    ASSERT_GE(sd_bus_open_system(&client), 0);
    std::vector<std::string> changed;
    const auto onChanged = [](sd_bus_message* m, void* into, sd_bus_error*) {
        const char* interface = nullptr;
        sd_bus_message_read(m, "s", &interface);
        sd_bus_message_enter_container(m, 'a', "{sv}");
        const char* name = nullptr;
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            sd_bus_message_read(m, "s", &name);
            static_cast<std::vector<std::string>*>(into)->push_back(name);
            sd_bus_message_skip(m, "v");
            sd_bus_message_exit_container(m);
        }
        return 0;
    };
    ASSERT_GE(sd_bus_match_signal(client, nullptr, nullptr, bus::kObjectPath,
                                  "org.freedesktop.DBus.Properties", "PropertiesChanged", onChanged,
                                  &changed),
              0);
    model_.lampShown = Lamp::Red;
    model_.stored.clock.CorrectionSecond = 45;
    manager_->propertiesChanged();
    manager_->propertiesChanged();  // nothing new: nothing sent
    model_.correction->stepUs = 7;
    manager_->propertiesChanged();
    // A last signal after them: the bus keeps one sender's order, so when it has come, so has
    // every PropertiesChanged sent.
    bool marked = false;
    ASSERT_GE(sd_bus_match_signal(
                  client, nullptr, nullptr, bus::kObjectPath, bus::kManagerInterface, "Box",
                  [](sd_bus_message*, void* flag, sd_bus_error*) {
                      *static_cast<bool*>(flag) = true;
                      return 0;
                  },
                  &marked),
              0);
    manager_->box(BusManager::BoxKind::Plain, "end");
    EXPECT_TRUE(serve(
        nullptr, [&] { return marked; }, client));
    EXPECT_EQ(changed, (std::vector<std::string>{"Lamp", "Schedule", "LastCorrection"}));
    sd_bus_flush_close_unref(client);
}

TEST_F(BusManagerTest, MonitorShowsLinesAndBoxesUntilCtrlCOrTheClientLeaves) {
    manager_->monitorLine("nobody observes: not sent");
    auto monitor =
        std::make_unique<ChildProcess>(std::vector<std::string>{kZrqctl, "monitor"}, kMember);
    ASSERT_TRUE(serve(monitor.get(), [&] { return model_.observing; }));
    EXPECT_EQ(manager_->observers(), 1u);
    manager_->monitorLine("2026-12-09 10:11:12 收到 55 AA");
    manager_->box(BusManager::BoxKind::Warning, "File access error");
    ASSERT_TRUE(serve(monitor.get(), [&] {
        return monitor->out.find("55 AA") != std::string::npos &&
               monitor->err.find("File access error") != std::string::npos;
    }));
    EXPECT_EQ(monitor->out, "2026-12-09 10:11:12 收到 55 AA\n");
    EXPECT_NE(monitor->err.find("(warning): File access error"), std::string::npos);
    monitor->signal(SIGINT);
    ASSERT_TRUE(serve(monitor.get(), [&] { return monitor->done() && !model_.observing; }));
    EXPECT_EQ(monitor->status(), 0);

    // Two observers; the one that leaves the bus without a word no longer counts.
    auto first =
        std::make_unique<ChildProcess>(std::vector<std::string>{kZrqctl, "monitor"}, std::nullopt);
    ASSERT_TRUE(serve(first.get(), [&] { return model_.observing; }));
    auto second =
        std::make_unique<ChildProcess>(std::vector<std::string>{kZrqctl, "monitor"}, kMember);
    ASSERT_TRUE(serve(second.get(), [&] { return manager_->observers() == 2; }));
    first->signal(SIGKILL);
    ASSERT_TRUE(serve(first.get(), [&] { return first->done() && manager_->observers() == 1; }));
    EXPECT_TRUE(model_.observing);  // the second still observes
    second->signal(SIGKILL);
    ASSERT_TRUE(serve(second.get(), [&] { return second->done() && !model_.observing; }));
    EXPECT_EQ(model_.observeCalls, (std::vector<bool>{true, false, true, false}));
}

TEST_F(BusManagerTest, WithoutTheServiceZrqctlSaysSo) {
    manager_.reset();
    const auto status = zrqctl({"status"});
    EXPECT_EQ(status->status(), 3);
    EXPECT_NE(status->err.find("the service zrqd is not running"), std::string::npos)
        << status->err;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + bus_->dir().file("none")).c_str(), 1);
    const auto noBus = std::make_unique<ChildProcess>(
        std::vector<std::string>{kZrqctl, "correct-now"}, std::nullopt);
    while (!noBus->done()) {
        ::usleep(10000);
        noBus->collect();
    }
    EXPECT_EQ(noBus->status(), 1);
    EXPECT_NE(noBus->err.find("cannot connect to the system bus"), std::string::npos);
}

// The package's policy file itself, unchanged: the bus daemon takes it, and with it root owns
// the name and an unprivileged caller reads but may not correct.
TEST(ShippedPolicy, TheBusDaemonTakesItAsItIs) {
    if (!PrivateBus::available()) GTEST_SKIP() << "dbus-daemon is not installed";
    if (::geteuid() != 0) GTEST_SKIP() << "the owner in the policy is root";
    PrivateBus bus("<include>" + PrivateBus::shippedPolicyPath() + "</include>");
    ASSERT_EQ(bus.failure(), "");
    FakeManagerModel model;
    BusManager manager(model, BusManager::Options{std::nullopt});
    ASSERT_EQ(manager.start(), std::nullopt);
    const auto call = [&](const char* command) {
        ChildProcess child({kZrqctl, command}, kOutsider);
        while (!child.done()) {
            pollfd wait{manager.descriptor(), static_cast<short>(manager.events()), 0};
            ::poll(&wait, 1, 20);
            manager.process();
            child.collect();
        }
        return child.status();
    };
    EXPECT_EQ(call("status"), 0);
    EXPECT_EQ(call("correct-now"), 4);
    EXPECT_EQ(model.correctNowCalls, 0);
}

TEST(ShippedPolicy, OthersCannotTakeTheName) {
    if (!PrivateBus::available()) GTEST_SKIP() << "dbus-daemon is not installed";
    if (::geteuid() != 0) GTEST_SKIP() << "needs another user";
    if (::access(kBusctl, X_OK) != 0) GTEST_SKIP() << "busctl is not installed";
    PrivateBus bus("<include>" + PrivateBus::shippedPolicyPath() + "</include>");
    ASSERT_EQ(bus.failure(), "");
    ChildProcess take({kBusctl, "--system", "call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus", "RequestName", "su", bus::kServiceName, "0"},
                      kOutsider);
    while (!take.done()) {
        ::usleep(10000);
        take.collect();
    }
    EXPECT_NE(take.status(), 0);
    EXPECT_NE(take.err.find("Access denied"), std::string::npos) << take.err;
}

TEST(CheckSettingsChange, AnExplicitRateWinsWhereverItStands) {
    SettingsChange change;
    change.settings.baudCode = 10;
    ASSERT_EQ(
        checkSettingsChange({{"baud", "4800"}, {"format", "ST_CODE"}, {"commlog", "off"}}, change),
        std::nullopt);
    EXPECT_EQ(change.settings.baudCode, 10);
    EXPECT_EQ(change.settings.clock.CodeFormat, 3);
    EXPECT_EQ(change.commLog, false);
    EXPECT_EQ(change.jumpLog, std::nullopt);

    const SettingsChange before = change;
    EXPECT_TRUE(checkSettingsChange({{"jumplog", "on"}, {"fine", "1000"}}, change));
    EXPECT_EQ(change.jumpLog, before.jumpLog);  // nothing of a refused call stays
}

}  // namespace
}  // namespace zrq
