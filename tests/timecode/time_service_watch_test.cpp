// Other time services on the PC: which process names and kernel states count, the notice said
// once per run and per service, and the machine's own process list and kernel state (read only).
#include "timecode/time_service_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/message_boxes.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/recording_journal.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_records.h"

namespace zrq {
namespace {

using testing::at;
using testing::TempDir;

class FakeProbe final : public TimeServiceProbe {
public:
    std::vector<std::string> processNames() override { return names; }
    bool kernelSynchronised() override { return synchronised; }
    std::vector<std::string> names;
    bool synchronised = false;
};

class RecordingMonitor final : public MonitorLines {
public:
    void appendLine(const GbkText& line) override { lines.push_back(line.toUtf8()); }
    std::vector<std::string> lines;  // UTF-8
};

TEST(TimeServices, KnownProcessNamesAndTheKernelsWordAreFound) {
    using S = TimeService;
    const struct {
        std::vector<std::string> names;
        bool synchronised;
        std::vector<TimeService> expected;
    } table[] = {
        {{"bash", "systemd", "chrony", "ntpdate"}, false, {}},
        {{"bash"}, true, {S::Unnamed}},
        {{"chronyd"}, true, {S::Chrony}},  // the kernel's word adds nothing then
        {{"ptp4l", "systemd-timesyn", "phc2sys", "ntpd", "chronyd", "ntpd"},
         false,
         {S::Chrony, S::Ntp, S::Timesyncd, S::Ptp4l, S::Phc2sys}},
        {{"systemd-timesyncd", "Chronyd", "chronyd "}, false, {}},  // comm is exact, 15 bytes
    };
    for (const auto& row : table) {
        FakeProbe probe;
        probe.names = row.names;
        probe.synchronised = row.synchronised;
        EXPECT_EQ(findTimeServices(probe), row.expected) << ::testing::PrintToString(row.names);
    }
}

TEST(TimeServices, EachServiceIsReportedOncePerRunInTheJumpLogTheMonitorAndTheJournal) {
    TempDir dir;
    FakeClock clock(at(2024, 5, 1, 9, 5, 7));
    RecordingMessageBoxes boxes;
    RecordingJournal journal;
    EventLog log(clock, boxes, dir.path(), &journal);
    RecordingMonitor monitor;
    StatusState status;
    FakeProbe probe;
    TimeServiceWatch watch(probe, clock, log, monitor, status);

    watch.check();  // nothing running
    probe.names = {"chronyd"};
    watch.check();
    watch.check();
    probe.synchronised = true;
    probe.names = {"chronyd", "ntpd"};
    status.JumpLogEnabled = false;  // the monitor line still comes
    watch.check();
    probe.names = {};  // stopped; the kernel still says synchronised
    watch.check();

    const std::string chrony =
        "发现其他时间服务：chronyd。它与本程序同时调整系统时钟，两者会互相干扰，时钟因此漂移。"
        "请二选一：停止该服务（sudo systemctl disable --now chrony）；或者让 chrony 采用本设备"
        "的时间，并关闭本程序的定时校时（见帮助“其他时间服务”）。";
    EXPECT_EQ(timeServiceReport(TimeService::Chrony), chrony);
    ASSERT_EQ(monitor.lines.size(), 3u);
    EXPECT_EQ(monitor.lines[0], "09:05:07[TIME SERVICE:] " + chrony);
    EXPECT_NE(monitor.lines[1].find("发现其他时间服务：ntpd。"), std::string::npos);
    EXPECT_NE(monitor.lines[2].find("未知服务"), std::string::npos);
    // The journal hears every report, also those made while the jump log is off.
    ASSERT_EQ(journal.entries.size(), 3u);
    EXPECT_EQ(journal.entries[0], chrony);
    EXPECT_NE(journal.entries[2].find("未知服务"), std::string::npos);

    std::ifstream file(dir.file(EventLog::fileName(kJumpLog, clock.now())), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    EXPECT_EQ(GbkText::fromBytes(bytes).toUtf8(), "\r\n 2024-05-01 09:05:07 ------" + chrony);
}

TEST(TimeServices, TheMachinesProcessListAndKernelStateAreRead) {
    TempDir proc;
    for (const auto& [pid, comm] : {std::pair{"17", "chronyd"}, {"4242", "systemd-timesyn"}}) {
        std::filesystem::create_directories(proc / pid);
        std::ofstream(proc / (std::string(pid) + "/comm")) << comm << "\n";
    }
    std::filesystem::create_directories(proc / "self");  // not a process number
    std::filesystem::create_directories(proc / "99");    // ended while listed: no comm
    std::vector<std::string> names = SystemTimeServiceProbe(proc.path()).processNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"chronyd", "systemd-timesyn"}));

    std::ifstream self("/proc/self/comm");
    std::string ownName;
    std::getline(self, ownName);
    const std::vector<std::string> running = SystemTimeServiceProbe().processNames();
    EXPECT_NE(std::find(running.begin(), running.end(), ownName), running.end()) << ownName;

    // The real kernel, read twice: readable, and the reading changed nothing.
    const KernelSyncState first = readKernelSyncState();
    const KernelSyncState second = readKernelSyncState();
    EXPECT_TRUE(first.readable);
    EXPECT_EQ(first.status, second.status);
    EXPECT_EQ(first.synchronised, second.synchronised);
    EXPECT_EQ(SystemTimeServiceProbe().kernelSynchronised(), first.synchronised);
}

}  // namespace
}  // namespace zrq
