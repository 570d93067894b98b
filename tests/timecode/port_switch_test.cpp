// Tests of PortSet and the port, rate and format switches: call order, fallbacks, messages,
// check marks, the receiver's hold and release, and what gets saved.
#include "timecode/port_switch.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/recording_boxes.h"
#include "timecode/time_code_format.h"

namespace zrq {
namespace {

using Journal = std::vector<std::string>;

// A serial library that writes every call into the shared journal and keeps which ports are open.
class JournalSerial final : public SerialLibrary {
public:
    explicit JournalSerial(Journal& journal) : journal_(journal) {}

    std::set<int> existing{1, 2, 3, 4, 7};  // ports that open
    std::map<int, int> openFailuresLeft;    // port -> opens that fail before it opens
    std::set<int> open;
    int failIoctlForBaud = -1;  // sio_ioctl fails for this rate code
    int ioctlResult = 0, flowResult = 0, dtrResult = 0, rtsResult = 0;
    long baud = 4800;

    int sio_open(int port) override {
        log("open", port);
        if (!existing.count(port) || openFailuresLeft[port]-- > 0) return 0x102;
        open.insert(port);
        return 0;
    }
    void sio_close(int port) override {
        log("close", port);
        open.erase(port);
    }
    void sio_flush(int port, int func) override { log("flush", port, func); }
    int sio_ioctl(int port, int baudCode, int mode) override {
        log("ioctl", port, baudCode, mode);
        return baudCode == failIoctlForBaud ? -1 : ioctlResult;
    }
    int sio_flowctrl(int port, int mask) override {
        return log("flowctrl", port, mask), flowResult;
    }
    int sio_DTR(int port, int level) override { return log("DTR", port, level), dtrResult; }
    int sio_RTS(int port, int level) override { return log("RTS", port, level), rtsResult; }
    long sio_getbaud(int port) override { return log("getbaud", port), baud; }
    void sio_SetWriteTimeouts(int port, int ms) override { log("timeouts", port, ms); }
    int sio_read(int, uint8_t*, int) override { return 0; }
    int sio_write(int, const uint8_t*, int length) override { return length; }

private:
    void log(const char* name, int port, int a = -1, int b = -1) {
        std::string entry = std::string(name) + " " + std::to_string(port);
        if (a >= 0) entry += " " + std::to_string(a);
        if (b >= 0) entry += " " + std::to_string(b);
        journal_.push_back(entry);
    }
    Journal& journal_;
};

class JournalReceiver final : public ReceiverControl {
public:
    explicit JournalReceiver(Journal& journal) : journal_(journal) {}
    void HoldReceiver() override { journal_.push_back("hold"), held = true; }
    void ReleaseReceiver() override { journal_.push_back("release"), held = false; }
    bool held = false;

private:
    Journal& journal_;
};

// The menu's check marks as state, so tests can ask what is checked after a switch.
struct MenuMarks final : SwitchMarks {
    std::set<int> ports, bauds, formats;
    bool n21 = false;
    std::string n21Caption = ">>... ";

    static void mark(std::set<int>& items, int item, bool on) {
        on ? void(items.insert(item)) : void(items.erase(item));
    }
    void setPortItemChecked(int tag, bool on) override { mark(ports, tag, on); }
    void setOtherPortChecked(bool on) override { n21 = on; }
    void setOtherPortCaption(const std::string& ascii) override { n21Caption = ascii; }
    void setBaudItemChecked(int code, bool on) override { mark(bauds, code, on); }
    void setFormatItemChecked(int format, bool on) override { mark(formats, format, on); }
};

struct Saved {
    int port, baudCode, codeFormat;
    friend bool operator==(const Saved&, const Saved&) = default;
};

const std::string kPortA = "所改端口不能打开！系统采用原来端口！";
const std::string kBaudA = "端口不能打开！系统采用原来波特率！";
const std::string kB = "端口不能打开!";
const std::string kPortC = "端口无效或已经被占用！请重新设置。";
const std::string kBaudC = "端口设置无效或已经被占用！请重新设置。";
std::string plain(const std::string& text) { return "plain " + text; }
const Journal kPortSet1At4800 = {"ioctl 1 10 3", "flowctrl 1 0", "DTR 1 1",
                                 "RTS 1 1",      "getbaud 1",    "timeouts 1 10"};

Journal concat(std::initializer_list<Journal> parts) {
    Journal all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Running state after a start on COM1 at 4800 bit/s with TVZ_CODE; the lamp is green.
class PortSwitchTest : public testing::Test {
protected:
    void SetUp() override {
        line.Port = 1;
        line.BaudCode = kBaudCode4800;
        serial.open = {1};
        marks.ports = {1};
        marks.bauds = {kBaudCode4800};
        marks.formats = {TVZ_CODE};
        settings.CodeFormat = TVZ_CODE;
        status.NoSignal = false;
        ring = {17, 42};
        boxes.whileShown = [this](const RecordingMessageBoxes::Shown& box) {
            using Kind = RecordingMessageBoxes::Kind;
            const char* kind = box.kind == Kind::Error   ? "error "
                               : box.kind == Kind::Plain ? "plain "
                                                         : "general ";
            journal.push_back(kind + box.text);
        };
    }
    void savecfg() {
        journal.push_back("save");
        if (++saveCalls == failingSaveCall) throw FileError("disk full");
        saves.push_back({line.Port, line.BaudCode, settings.CodeFormat});
    }
    void expectHeldWithNothingOpenOrSaved() {
        EXPECT_TRUE(receiver.held);
        EXPECT_TRUE(serial.open.empty());
        EXPECT_TRUE(saves.empty());
        EXPECT_TRUE(status.NoSignal);
    }

    Journal journal;
    JournalSerial serial{journal};
    LineSettings line;
    RecordingMessageBoxes boxes;
    JournalReceiver receiver{journal};
    StatusState status;
    ClockSettings settings;
    RingStorage ringBytes{};
    RingIndices ring;
    ReceiveRing receiveRing{ringBytes, ring};
    MenuMarks marks;
    std::vector<Saved> saves;
    int saveCalls = 0;
    int failingSaveCall = 0;
    std::vector<int> unopenedPorts;  // told to the journal's reason line
    PortSwitcher switcher{SwitchContext{serial, line, boxes, receiver, status, settings,
                                        receiveRing, marks, [this] { savecfg(); },
                                        [this](int port, int) { unopenedPorts.push_back(port); }}};
};

TEST_F(PortSwitchTest, PortSetAppliesRateModeFlowDtrRtsThenWriteTimeout) {
    EXPECT_TRUE(switcher.PortSet());
    EXPECT_EQ(journal, kPortSet1At4800);
}

TEST_F(PortSwitchTest, PortSetStopsAtTheFirstFailingStepWithItsErrorBox) {
    struct Case {
        int JournalSerial::*result;
        std::string box;
        size_t callsMade;
    };
    const Case cases[] = {
        {&JournalSerial::ioctlResult, "error 通讯参数设置错误！", 1},
        {&JournalSerial::flowResult, "error 流控制设置失败！", 2},
        {&JournalSerial::dtrResult, "error DTR设置失败！", 3},
        {&JournalSerial::rtsResult, "error RTS设置失败！", 4},
    };
    for (const Case& c : cases) {
        journal.clear();
        serial.ioctlResult = serial.flowResult = serial.dtrResult = serial.rtsResult = 0;
        serial.*c.result = 1;
        EXPECT_FALSE(switcher.PortSet()) << c.box;
        Journal expected(kPortSet1At4800.begin(), kPortSet1At4800.begin() + c.callsMade);
        expected.push_back(c.box);
        EXPECT_EQ(journal, expected);
        EXPECT_EQ(boxes.shown.back().caption, "错误");
    }
}

TEST_F(PortSwitchTest, PortSetFlowMaskAndRtsFollowTheFlowSwitches) {
    line.Hw = true;
    line.Sw = true;
    line.Dtr = false;
    EXPECT_TRUE(switcher.PortSet());
    // Hardware flow owns RTS, so no sio_RTS call.
    EXPECT_EQ(journal,
              (Journal{"ioctl 1 10 3", "flowctrl 1 15", "DTR 1 0", "getbaud 1", "timeouts 1 10"}));
    journal.clear();
    line.Hw = false;
    line.Rts = false;
    EXPECT_TRUE(switcher.PortSet());
    EXPECT_EQ(journal[1], "flowctrl 1 12");
    EXPECT_EQ(journal[3], "RTS 1 0");
}

TEST(WriteTimeout, IsTenMsPerWholeMillisecondPerBitWithAFloorOfTen) {
    const std::pair<long, int> cases[] = {{0, 10},    {-300, 10}, {1, 10000},  {50, 200},
                                          {300, 30},  {999, 10},  {1000, 10},  {1001, 10},
                                          {4800, 10}, {9600, 10}, {921600, 10}};
    for (auto [rate, ms] : cases) EXPECT_EQ(writeTimeoutMs(rate), ms) << "rate " << rate;
}

TEST_F(PortSwitchTest, PortSetPassesTheTimeoutForTheRateReadBack) {
    serial.baud = 0;
    switcher.PortSet();
    EXPECT_EQ(journal.back(), "timeouts 1 10");
    serial.baud = 300;
    switcher.PortSet();
    EXPECT_EQ(journal.back(), "timeouts 1 30");
}

TEST_F(PortSwitchTest, SamePortIsClosedFlushedReopenedAndSaved) {
    switcher.switchPort(1);
    EXPECT_EQ(
        journal,
        concat({{"hold", "close 1", "flush 1 0", "open 1"}, kPortSet1At4800, {"release", "save"}}));
    EXPECT_EQ(marks.ports, std::set<int>{1});
    EXPECT_FALSE(marks.n21);
    EXPECT_TRUE(status.NoSignal);
    EXPECT_EQ(saves, (std::vector<Saved>{{1, kBaudCode4800, TVZ_CODE}}));
}

TEST_F(PortSwitchTest, MissingPortFallsBackToTheOldPortWithFixedLineValues) {
    line.Parity = 1;
    line.Sw = true;
    line.Dtr = false;
    switcher.switchPort(5);  // there is no COM5
    EXPECT_EQ(
        journal,
        concat({{"hold", "close 1", "flush 1 0", "open 5", plain(kPortA), "close 5", "open 1"},
                kPortSet1At4800,
                {"release", "save"}}));
    EXPECT_EQ(serial.open, std::set<int>{1});
    EXPECT_EQ(marks.ports, std::set<int>{1});
    EXPECT_EQ(saves, (std::vector<Saved>{{1, kBaudCode4800, TVZ_CODE}}));
}

TEST_F(PortSwitchTest, OldPortNotReopeningLeavesReceiverHeldUntilALaterSwitchSucceeds) {
    serial.openFailuresLeft[1] = 1;
    serial.existing.erase(3);
    switcher.switchPort(3);
    EXPECT_EQ(journal, (Journal{"hold", "close 1", "flush 1 0", "open 3", plain(kPortA), "close 3",
                                "open 1", plain(kB)}));
    expectHeldWithNothingOpenOrSaved();
    EXPECT_EQ(line.Port, 1);
    EXPECT_EQ(marks.ports, std::set<int>{1});
    EXPECT_EQ(unopenedPorts, (std::vector<int>{3, 1}));

    switcher.switchPort(2);
    EXPECT_EQ(unopenedPorts, (std::vector<int>{3, 1}));
    EXPECT_FALSE(receiver.held);
    EXPECT_EQ(serial.open, std::set<int>{2});
    EXPECT_EQ(marks.ports, std::set<int>{2});
    EXPECT_EQ(saves, (std::vector<Saved>{{2, kBaudCode4800, TVZ_CODE}}));
}

TEST_F(PortSwitchTest, PortSetFailureOnTheNewPortClosesItAndRestoresTheOldNumber) {
    serial.ioctlResult = 5;
    switcher.switchPort(2);
    EXPECT_EQ(journal, (Journal{"hold", "close 1", "flush 1 0", "open 2", "ioctl 2 10 3",
                                "error 通讯参数设置错误！", "close 2", plain(kPortC)}));
    expectHeldWithNothingOpenOrSaved();
    EXPECT_EQ(line.Port, 1);
    EXPECT_EQ(marks.ports, std::set<int>{1});
}

TEST_F(PortSwitchTest, RateSwitchAppliesTheNewCodeAndMovesTheBaudMark) {
    switcher.switchRate(kBaudCode9600);
    EXPECT_EQ(journal,
              (Journal{"hold", "close 1", "flush 1 0", "open 1", "ioctl 1 12 3", "flowctrl 1 0",
                       "DTR 1 1", "RTS 1 1", "getbaud 1", "timeouts 1 10", "release", "save"}));
    EXPECT_EQ(marks.bauds, std::set<int>{kBaudCode9600});
    EXPECT_EQ(marks.ports, std::set<int>{1});
    EXPECT_EQ(saves, (std::vector<Saved>{{1, kBaudCode9600, TVZ_CODE}}));
}

TEST_F(PortSwitchTest, RateSwitchPortSetFailureKeepsTheNewCodeForTheNextSwitch) {
    serial.failIoctlForBaud = kBaudCode9600;
    switcher.switchRate(kBaudCode9600);
    EXPECT_EQ(journal, (Journal{"hold", "close 1", "flush 1 0", "open 1", "ioctl 1 12 3",
                                "error 通讯参数设置错误！", "close 1", plain(kBaudC)}));
    expectHeldWithNothingOpenOrSaved();
    EXPECT_EQ(line.BaudCode, kBaudCode9600);
    EXPECT_EQ(marks.bauds, std::set<int>{kBaudCode4800});

    serial.failIoctlForBaud = -1;
    journal.clear();
    switcher.switchPort(2);
    EXPECT_EQ(journal[4], "ioctl 2 12 3");
    EXPECT_EQ(saves, (std::vector<Saved>{{2, kBaudCode9600, TVZ_CODE}}));
}

TEST_F(PortSwitchTest, RateSwitchThatCannotOpenFallsBackToTheOldRate) {
    serial.openFailuresLeft[1] = 1;
    switcher.switchRate(kBaudCode9600);
    EXPECT_EQ(
        journal,
        concat({{"hold", "close 1", "flush 1 0", "open 1", plain(kBaudA), "close 1", "open 1"},
                kPortSet1At4800,
                {"release", "save"}}));
    EXPECT_EQ(marks.bauds, std::set<int>{kBaudCode4800});
    EXPECT_EQ(saves, (std::vector<Saved>{{1, kBaudCode4800, TVZ_CODE}}));
}

TEST_F(PortSwitchTest, DialogFallbackSetsRate9600WhileTheMenuFallbackKeepsTheRate) {
    serial.existing.erase(9);
    EXPECT_TRUE(switcher.switchPortFromDialog(9));  // the fallback completes, so the dialog closes
    EXPECT_EQ(journal[6], "open 1");
    EXPECT_EQ(journal[7], "ioctl 1 12 3");
    EXPECT_EQ(marks.ports, std::set<int>{1});
    EXPECT_EQ(marks.bauds, std::set<int>{kBaudCode9600});
    EXPECT_EQ(saves.back(), (Saved{1, kBaudCode9600, TVZ_CODE}));

    line.BaudCode = kBaudCode4800;
    serial.existing.erase(4);
    journal.clear();
    switcher.switchPort(4);
    EXPECT_EQ(journal[7], "ioctl 1 10 3");
    EXPECT_EQ(saves.back(), (Saved{1, kBaudCode4800, TVZ_CODE}));
}

TEST_F(PortSwitchTest, DialogPortAbove4NamesItOnN21AndMenuPortsClearIt) {
    EXPECT_TRUE(switcher.switchPortFromDialog(7));
    EXPECT_TRUE(marks.ports.empty());
    EXPECT_TRUE(marks.n21);
    EXPECT_EQ(marks.n21Caption, ">>com7");
    EXPECT_EQ(saves.back().port, 7);

    switcher.switchPort(1);
    EXPECT_EQ(marks.ports, std::set<int>{1});
    EXPECT_FALSE(marks.n21);
    EXPECT_EQ(marks.n21Caption, ">>com7");

    EXPECT_TRUE(switcher.switchPortFromDialog(3));
    EXPECT_EQ(marks.ports, std::set<int>{3});
    EXPECT_FALSE(marks.n21);
    EXPECT_EQ(marks.n21Caption, ">>com7");
}

TEST_F(PortSwitchTest, MenuFallbackToAPortAbove4LeavesN21AsStartUpMarkedIt) {
    line.Port = 7;
    serial.open = {7};
    marks.ports.clear();
    marks.n21 = true;
    marks.n21Caption = ">>COM7";
    serial.existing.erase(2);
    switcher.switchPort(2);
    EXPECT_EQ(line.Port, 7);
    EXPECT_TRUE(marks.ports.empty());
    EXPECT_TRUE(marks.n21);
    EXPECT_EQ(marks.n21Caption, ">>COM7");
    EXPECT_EQ(saves.back().port, 7);
}

TEST_F(PortSwitchTest, DialogStaysOpenWhenTheSwitchFails) {
    serial.dtrResult = 1;
    EXPECT_FALSE(switcher.switchPortFromDialog(7));
    EXPECT_EQ(boxes.texts(), (std::vector<std::string>{"DTR设置失败！", kPortC}));
    EXPECT_EQ(line.Port, 1);
    expectHeldWithNothingOpenOrSaved();
}

TEST_F(PortSwitchTest, FailingSaveInAPortSwitchReachesTheCallerAfterTheRelease) {
    failingSaveCall = 1;
    bool closeDialog = false;
    runGuarded(boxes, [&] { closeDialog = switcher.switchPortFromDialog(2); });
    EXPECT_FALSE(closeDialog);
    EXPECT_FALSE(receiver.held);
    EXPECT_EQ(marks.ports, std::set<int>{2});
    EXPECT_EQ(boxes.shown.back().kind, RecordingMessageBoxes::Kind::GeneralError);
    EXPECT_EQ(boxes.shown.back().text, "disk full");
}

TEST_F(PortSwitchTest, FormatSwitchPicksTheRateResetsTheRingAndSavesTwice) {
    struct Case {
        int format;
        int baudCode;
    };
    for (Case c : {Case{EB_CODE, kBaudCode9600}, Case{ST_CODE, kBaudCode9600},
                   Case{TVZ_CODE, kBaudCode4800}}) {
        journal.clear();
        saves.clear();
        ring = {17, 42};
        switcher.switchFormat(c.format);
        const std::string ioctl = "ioctl 1 " + std::to_string(c.baudCode) + " 3";
        EXPECT_EQ(journal, (Journal{"hold", "hold", "close 1", "flush 1 0", "open 1", ioctl,
                                    "flowctrl 1 0", "DTR 1 1", "RTS 1 1", "getbaud 1",
                                    "timeouts 1 10", "release", "save", "save", "release"}));
        EXPECT_EQ(marks.formats, std::set<int>{c.format});
        EXPECT_EQ(marks.bauds, std::set<int>{c.baudCode});
        EXPECT_EQ(ring.WriteIndex, 1);
        EXPECT_EQ(ring.ReadIndex, 1);
        EXPECT_EQ(saves.back(), (Saved{1, c.baudCode, c.format}));
    }
}

TEST_F(PortSwitchTest, FormatSwitchReleasesEvenWhenItsRateSwitchEndsEarly) {
    serial.openFailuresLeft[1] = 2;
    switcher.switchFormat(EB_CODE);
    EXPECT_EQ(journal, (Journal{"hold", "hold", "close 1", "flush 1 0", "open 1", plain(kBaudA),
                                "close 1", "open 1", plain(kB), "save", "release"}));
    EXPECT_FALSE(receiver.held);
    EXPECT_EQ(ring.WriteIndex, 1);
    EXPECT_EQ(ring.ReadIndex, 1);
    EXPECT_EQ(saves, (std::vector<Saved>{{1, kBaudCode4800, EB_CODE}}));
}

TEST_F(PortSwitchTest, FormatSwitchWithAFailingSaveStillResetsAndReleasesThenReports) {
    for (int failing : {1, 2}) {  // the rate switch's save, then the format switch's own
        journal.clear();
        saveCalls = 0;
        failingSaveCall = failing;
        ring = {17, 42};
        boxes.shown.clear();
        runGuarded(boxes, [&] { switcher.switchFormat(ST_CODE); });
        // The rate switch releases before its save; the format switch releases after its own.
        const Journal expectedTail =
            failing == 1 ? Journal{"release", "save", "release", "general disk full"}
                         : Journal{"release", "save", "save", "release", "general disk full"};
        EXPECT_EQ(Journal(journal.end() - expectedTail.size(), journal.end()), expectedTail);
        EXPECT_FALSE(receiver.held);
        EXPECT_EQ(ring.WriteIndex, 1);
        EXPECT_EQ(ring.ReadIndex, 1);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].kind, RecordingMessageBoxes::Kind::GeneralError);
        EXPECT_EQ(boxes.shown[0].text, "disk full");
    }
    EXPECT_THROW(
        {
            saveCalls = 0;
            failingSaveCall = 2;
            switcher.switchFormat(TVZ_CODE);
        },
        FileError);
}

}  // namespace
}  // namespace zrq
