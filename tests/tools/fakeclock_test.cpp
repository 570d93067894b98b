// The fake-clock preload library: reads and sets of CLOCK_REALTIME go to the offset file and
// never to the machine's clock. Every probe runs with the preload and without the right to set
// the clock (setpriv), and the probe itself refuses to call a setter otherwise.
#include <gtest/gtest.h>
#include <sys/timex.h>

#include <fstream>
#include <map>
#include <sstream>

#include "tests/tools/clockdev_process.h"

namespace zrq::testing {
namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kNsPerMs = 1'000'000;
// 2024-05-01 12:00:00 UTC.
constexpr int64_t kMayDay = 1714564800LL * kNsPerSecond;
constexpr int kRefusedStatus = 3;

const std::string kLibrary = std::string(ZRQ_BINARY_DIR) + "/libzrqfakeclock.so";
const std::string kProbe = std::string(ZRQ_BINARY_DIR) + "/tests/fakeclock_probe";

struct ProbeRun {
    int status = -1;
    std::vector<std::string> lines;
    // key=value fields of the first line that starts with `word`.
    std::map<std::string, std::string> fields(const std::string& word) const {
        std::map<std::string, std::string> result;
        for (const std::string& line : lines) {
            if (line.rfind(word + " ", 0) != 0) continue;
            std::istringstream tokens(line.substr(word.size()));
            for (std::string token; tokens >> token;) {
                const size_t equals = token.find('=');
                result[token.substr(0, equals)] = token.substr(equals + 1);
            }
            break;
        }
        return result;
    }
    int64_t number(const std::string& word, const std::string& key) const {
        const auto all = fields(word);
        const auto found = all.find(key);
        return found == all.end() ? INT64_MIN : std::stoll(found->second);
    }
};

enum class Privilege { Dropped, Kept };

// Runs the probe with `args`, optionally through setpriv dropping CAP_SYS_TIME, with `env`
// added to the environment; `input` is written to its standard input after `inputDelayMs`.
ProbeRun runProbe(const std::vector<std::string>& args, const std::vector<std::string>& env,
                  Privilege privilege = Privilege::Dropped, const std::string& input = "",
                  const std::function<void()>& beforeInput = {}) {
    std::vector<std::string> argv;
    if (privilege == Privilege::Dropped) {
        argv = {"/usr/bin/setpriv", "--inh-caps=-sys_time", "--bounding-set=-sys_time", "--"};
    }
    argv.push_back(kProbe);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (text.rfind("LD_PRELOAD=", 0) && text.rfind("ZRQ_FAKE_CLOCK", 0)) {
            envStrings.push_back(text);
        }
    }
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> argp;
    for (std::string& s : argv) argp.push_back(s.data());
    argp.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);

    int out[2];
    int in[2];
    ProbeRun run;
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(in[0]);
    if (spawned == 0) {
        std::string text;
        char buffer[1024];
        auto readLine = [&] {
            while (text.find('\n') == std::string::npos) {
                const ssize_t got = read(out[0], buffer, sizeof buffer);
                if (got <= 0) return;
                text.append(buffer, static_cast<size_t>(got));
            }
        };
        if (!input.empty()) {
            readLine();
            if (beforeInput) beforeInput();
            (void)!write(in[1], input.data(), input.size());
        }
        close(in[1]);
        for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<size_t>(got));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) run.lines.push_back(line);
    } else {
        close(in[1]);
    }
    close(out[0]);
    return run;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The real clock, checked against CLOCK_MONOTONIC: it must have run at its own pace.
class RealClockWatch {
public:
    RealClockWatch() : real_(realtimeNs()), mono_(monotonicMs()) {}
    int64_t driftMs() const {
        return std::llabs((realtimeNs() - real_) / kNsPerMs - (monotonicMs() - mono_));
    }

private:
    int64_t real_;
    int64_t mono_;
};

class FakeClock : public ::testing::Test {
protected:
    std::vector<std::string> env() const {
        return {"LD_PRELOAD=" + kLibrary, "ZRQ_FAKE_CLOCK_FILE=" + clockFile};
    }
    void TearDown() override { EXPECT_LT(watch.driftMs(), 200) << "the real clock moved"; }

    RealClockWatch watch;
    TempDir dir;
    std::string clockFile = dir.file("clock");
};

TEST_F(FakeClock, WithoutAFileEveryClockReadsTheRealTime) {
    const ProbeRun run = runProbe({"read"}, env());
    ASSERT_EQ(run.status, 0);
    const int64_t real = realtimeNs();
    for (const char* key : {"realtime", "timespec_get"}) {
        EXPECT_LT(std::llabs(run.number("read", key) - real), 1000 * kNsPerMs) << key;
    }
    EXPECT_LT(std::llabs(run.number("read", "time") - real / kNsPerSecond), 2);
}

TEST_F(FakeClock, SetMovesOnlyTheFakeClockAndEveryReaderFollows) {
    // Set to the nanosecond: a library that dropped the fraction would read before the target.
    const int64_t target = kMayDay + 987'654'321;
    const ProbeRun set = runProbe({"set", std::to_string(target)}, env());
    ASSERT_EQ(set.status, 0) << (set.lines.empty() ? "" : set.lines[0]);
    EXPECT_EQ(set.number("set", "rc"), 0);
    const int64_t realtime = set.number("read", "realtime");
    EXPECT_GE(realtime, target);
    EXPECT_LT(realtime - target, 500 * kNsPerMs);
    // The other readers of the wall clock agree with it.
    EXPECT_LT(std::llabs(set.number("read", "coarse") - realtime), 100 * kNsPerMs);
    EXPECT_LT(std::llabs(set.number("read", "tod_us") * 1000 - realtime), 100 * kNsPerMs);
    EXPECT_LT(std::llabs(set.number("read", "timespec_get") - realtime), 100 * kNsPerMs);
    EXPECT_EQ(set.number("read", "time"), realtime / kNsPerSecond);
    // The monotonic clock is the machine's.
    EXPECT_LT(std::llabs(set.number("read", "monotonic") / kNsPerMs - monotonicMs()), 1000);

    // The file holds fake minus real, so a later process reads the fake clock running on.
    const int64_t offset = std::stoll(readFile(clockFile));
    EXPECT_LT(std::llabs(offset - (target - realtimeNs())), 1000 * kNsPerMs);
    const int64_t setAtMs = monotonicMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const ProbeRun later = runProbe({"read"}, env());
    const int64_t elapsedMs = monotonicMs() - setAtMs;
    const int64_t laterMs = later.number("read", "realtime") / kNsPerMs;
    EXPECT_GE(laterMs, target / kNsPerMs + 300);
    EXPECT_LE(laterMs, target / kNsPerMs + elapsedMs + 500);
}

TEST_F(FakeClock, ARunningProcessSeesAnotherProcessChangeTheFile) {
    writeClockOffset(clockFile, offsetForNow(kMayDay));
    const ProbeRun run = runProbe({"watch"}, env(), Privilege::Dropped, "go\n", [&] {
        writeClockOffset(clockFile, offsetForNow(kMayDay + 86400 * kNsPerSecond));
        std::this_thread::sleep_for(std::chrono::milliseconds(250));  // past its re-check time
    });
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 2u);
    const int64_t before = ProbeRun{0, {run.lines[0]}}.number("read", "realtime");
    const int64_t after = ProbeRun{0, {run.lines[1]}}.number("read", "realtime");
    EXPECT_LT(std::llabs(before - kMayDay), 1000 * kNsPerMs);
    EXPECT_LT(std::llabs(after - (kMayDay + 86400 * kNsPerSecond)), 1000 * kNsPerMs);
}

TEST_F(FakeClock, SettimeofdaySetsTheFakeClockToo) {
    const ProbeRun run = runProbe({"settod", std::to_string(kMayDay / kNsPerSecond)}, env());
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.number("settod", "rc"), 0);
    EXPECT_LT(std::llabs(run.number("read", "realtime") - kMayDay), 500 * kNsPerMs);
}

TEST_F(FakeClock, RefusedSetsLeaveEverythingAsItWas) {
    struct Case {
        const char* legend;
        std::vector<std::string> args;
        std::vector<std::string> env;
        const char* word;
        int error;
    };
    const std::string preload = "LD_PRELOAD=" + kLibrary;
    const std::string file = "ZRQ_FAKE_CLOCK_FILE=" + clockFile;
    const Case cases[] = {
        {"no offset file named", {"set", std::to_string(kMayDay)}, {preload}, "set", EPERM},
        {"refusal asked for",
         {"set", std::to_string(kMayDay)},
         {preload, file, "ZRQ_FAKE_CLOCK_SETTIME_ERRNO=1"},
         "set",
         EPERM},
        {"monotonic clock", {"set-monotonic"}, {preload, file}, "set", EINVAL},
        {"nanoseconds out of range", {"set-bad-nsec"}, {preload, file}, "set", EINVAL},
        {"kernel adjustment", {"adjust"}, {preload, file}, "adjust", EPERM},
        {"refusal file present",
         {"set", std::to_string(kMayDay)},
         {preload, file, "ZRQ_FAKE_CLOCK_REFUSE_FILE=" + kLibrary},
         "set",
         EPERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        const ProbeRun run = runProbe(c.args, c.env);
        ASSERT_EQ(run.status, 0);
        EXPECT_EQ(run.number(c.word, "rc"), -1);
        EXPECT_EQ(run.number(c.word, "errno"), c.error);
        EXPECT_LT(std::llabs(run.number("read", "realtime") - realtimeNs()), 1000 * kNsPerMs);
        EXPECT_FALSE(std::filesystem::exists(clockFile));
    }
}

TEST_F(FakeClock, KernelStateReadsAsUnsynchronisedWhateverTheMachinesClockSays) {
    const ProbeRun run = runProbe({"kernel-state"}, env());
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.number("kernel-state", "state"), TIME_ERROR);
    EXPECT_EQ(run.number("kernel-state", "unsync"), 1);
}

TEST_F(FakeClock, ProbeRefusesToSetWithoutBothSafeguards) {
    // Each run lacks one safeguard; the probe must stop before calling any setter.
    const ProbeRun noPreload =
        runProbe({"set", std::to_string(kMayDay)}, {"ZRQ_FAKE_CLOCK_FILE=" + clockFile});
    EXPECT_EQ(noPreload.status, kRefusedStatus);
    const ProbeRun privileged = runProbe({"set", std::to_string(kMayDay)}, env(), Privilege::Kept);
    EXPECT_EQ(privileged.status, kRefusedStatus);
    EXPECT_FALSE(std::filesystem::exists(clockFile));
}

TEST_F(FakeClock, ClockdevSharesTheFileTheLibraryWrites) {
    ASSERT_EQ(runProbe({"set", std::to_string(kMayDay)}, env()).status, 0);
    ClockdevProcess device({"--link", dir.file("COM1"), "--clock-file", clockFile}, {"TZ=UTC"});
    ASSERT_TRUE(device.started());
    device.openSlave(dir.file("COM1"));
    const auto sent = device.waitFor("sent", 4000);
    ASSERT_TRUE(sent);
    EXPECT_EQ(fieldOf(*sent, "date"), "2024-05-01");
    EXPECT_EQ(fieldOf(*sent, "time").substr(0, 6), "12:00:");
}

}  // namespace
}  // namespace zrq::testing
