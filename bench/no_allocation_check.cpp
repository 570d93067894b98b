// Shows by counting calls of operator new that the received-data handler (every format, with and
// without noise, whole and split frames, corrections included), the tick (idle and on a new
// second, woken by its timer) and the receiver's passes (polling, and sleeping on a silent
// pseudo-terminal) allocate nothing once warmed up. Exits 1 when any of them
// allocates; the date label's text, made once a day, is counted and reported but allowed.
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/allocation_counter.h"
#include "bench/bench_rig.h"
#include "serial/receiver.h"
#include "serial/termios_serial.h"
#include "tests/support/recording_boxes.h"
#include "timecode/tick_timer.h"
#include "timecode/time_code_format.h"

namespace zrq::bench {
namespace {

using namespace std::chrono_literals;

constexpr int kPlanBytes = 16 * 1024;
constexpr int kNoisyGap = 20;
constexpr int kCountedRounds = 3;
constexpr int kIdleTicks = 100'000;
constexpr int kWarmUpSeconds = 100;
constexpr int kCountedSeconds = 3'000;
constexpr int kFrameEverySeconds = 5;  // a good frame every 5 s keeps the lamp off red...
constexpr int kJumpToggleSeconds = 7;  // ...and the jump flag changes every 7 s: all three lamps
constexpr int kTimerWakeUps = 200;     // new seconds woken by the tick's timer
constexpr int kDaysCrossed = 5;
constexpr int kSecondsPerDay = 86'400;
constexpr auto kReceiverPatience = 10s;
constexpr int kEmptyPasses = 20;
constexpr auto kHeldSpell = 100ms;
constexpr int kPtyBytes = 60;      // bytes written to the pseudo-terminal, one at a time...
constexpr auto kPtyByteGap = 3ms;  // ...this far apart, so that they fall all over the waits

struct Outcome {
    std::string scenario;
    int64_t allocations;
    int64_t events;
    std::string detail;
    bool mustBeZero;
};

std::vector<Outcome> outcomes;

void record(Outcome outcome) { outcomes.push_back(std::move(outcome)); }

const char* formatName(int format) {
    return format == TVZ_CODE ? "TVZ_CODE" : format == EB_CODE ? "EB_CODE" : "ST_CODE";
}

// One round of the plan warms the handler up (first-use statics, the fakes' first records),
// then further rounds are counted. The corrections made show that the setting path ran too.
void checkHandler(int format, int noise, ChunkShape shape) {
    const ChunkPlan plan = makeChunkPlan(format, noise, shape, kPlanBytes);
    HandlerRig rig(format);
    for (const Chunk& c : plan.chunks) rig.handle(plan.data(c), c.length);
    rig.dropRecords();

    const size_t setsBefore = rig.fakeClock.sets().size();
    int64_t chunks = 0;
    AllocationWindow window;
    for (int round = 0; round < kCountedRounds; ++round) {
        for (const Chunk& c : plan.chunks) {
            rig.handle(plan.data(c), c.length);
            ++chunks;
        }
    }
    const int64_t allocations = window.stop();
    const size_t corrections = rig.fakeClock.sets().size() - setsBefore;
    char scenario[96];
    std::snprintf(scenario, sizeof scenario, "handler %s noise=%d %s", formatName(format), noise,
                  chunkShapeName(shape));
    record({scenario, allocations, chunks,
            "chunks; " + std::to_string(corrections) + " corrections, " +
                std::to_string(rig.monitor.lines) + " monitor lines",
            true});
    // A plan that never corrects would leave the clock-setting path unchecked. Full reads are
    // the exception: several frames in one read mean a stall, and only a frame that ends its
    // read may correct, which the correction second's frame seldom does there.
    if (corrections == 0 && shape != ChunkShape::Full)
        record({std::string(scenario) + ": no correction made", 1, 0, "", true});
}

// A folder of its own for the offset record, with chronyd's end of chrony.sock bound in it.
class OutputsFolder {
public:
    OutputsFolder() {
        char pattern[] = "/tmp/zrq-bench-outputs-XXXXXX";
        path_ = ::mkdtemp(pattern) ? pattern : "/nonexistent/zrq-bench-outputs";
        socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string socketPath = path_ + "/" + kChronySocketName;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~OutputsFolder() {
        ::close(socket_);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    // Takes the samples waiting, as chronyd would, so that the queue never fills; counts them.
    void drain() {
        char datagram[64];
        while (::recv(socket_, datagram, sizeof datagram, 0) > 0) ++samples_;
    }
    int64_t samples() const { return samples_; }

private:
    std::string path_;
    int socket_ = -1;
    int64_t samples_ = 0;
};

// The handler with the offset record and the chrony samples on: every frame sends a sample and
// every correction writes a line (in one chunk of a frame each, the way a device sends).
void checkRecordAndSample(int format) {
    OutputsFolder folder;
    RecordingMessageBoxes boxes;
    OffsetRecord offsets(boxes, folder.path());
    ChronySampleSender chrony(folder.path());
    const ChunkPlan plan = makeChunkPlan(format, 0, ChunkShape::OnePerFrame, kPlanBytes);
    HandlerRig rig(format, &offsets, &chrony);
    for (const Chunk& c : plan.chunks) {
        rig.handle(plan.data(c), c.length);
        folder.drain();
    }
    rig.dropRecords();

    const size_t setsBefore = rig.fakeClock.sets().size();
    const int64_t samplesBefore = folder.samples();
    AllocationWindow window;
    for (const Chunk& c : plan.chunks) {
        rig.handle(plan.data(c), c.length);
        folder.drain();
    }
    const int64_t allocations = window.stop();
    const size_t corrections = rig.fakeClock.sets().size() - setsBefore;
    const int64_t samples = folder.samples() - samplesBefore;
    char scenario[96];
    std::snprintf(scenario, sizeof scenario, "record and sample: handler %s", formatName(format));
    record({scenario, allocations, static_cast<int64_t>(plan.chunks.size()),
            "chunks; " + std::to_string(samples) + " samples sent, " + std::to_string(corrections) +
                " corrections recorded, " + std::to_string(boxes.shown.size()) + " boxes",
            true});
    if (corrections == 0 || samples == 0 || !boxes.shown.empty())
        record({std::string(scenario) + ": no line or no sample written", 1, 0, "", true});
}

void checkTickIdle() {
    FixedClock clock(streamStart());
    FakeSerialLibrary serial;
    LineSettings line;
    line.Port = kBenchPort;
    StatusState status;
    CountingBar bar;
    SecondTick tick(clock, serial, line, status, bar);
    tick.reset();
    tick.onTimer();
    AllocationWindow window;
    for (int i = 0; i < kIdleTicks; ++i) tick.onTimer();
    const int64_t allocations = window.stop();  // before the record's texts are made
    record({"tick, no new second", allocations, kIdleTicks, "timer events", true});
}

// The state a stretch of seconds goes through: good frames every few seconds and a jump flag
// that comes and goes, so that every lamp and message is shown.
void playSeconds(FakeClock& clock, SecondTick& tick, StatusState& status, int from, int count) {
    for (int s = from; s < from + count; ++s) {
        if (s % kFrameEverySeconds == 0) status.SilentSeconds = 0;
        status.JumpDetected = (s / kJumpToggleSeconds) % 2 == 1;
        clock.advanceSeconds(1);
        tick.onTimer();
    }
}

struct TickRig {
    FakeClock fakeClock{{2024, 5, 3, 1, 0, 0, 0, 250}};
    UncountedClock clock{fakeClock};
    FakeSerialLibrary fakeSerial;
    UncountedSerial serial{fakeSerial};
    LineSettings line;
    StatusState status;
    CountingBar bar;
    SecondTick tick{clock, serial, line, status, bar};

    TickRig() {
        line.Port = kBenchPort;
        fakeSerial.sio_open(kBenchPort);
        tick.reset();
        tick.onTimer();
    }
};

void checkTickNewSecond() {
    TickRig rig;
    playSeconds(rig.fakeClock, rig.tick, rig.status, 0, kWarmUpSeconds);
    const long framesBefore = static_cast<long>(rig.fakeSerial.writes(kBenchPort).size());
    AllocationWindow window;
    playSeconds(rig.fakeClock, rig.tick, rig.status, kWarmUpSeconds, kCountedSeconds);
    const int64_t allocations = window.stop();
    const long frames = static_cast<long>(rig.fakeSerial.writes(kBenchPort).size()) - framesBefore;
    record({"tick, new second within a day", allocations, kCountedSeconds,
            "new seconds; " + std::to_string(frames) + " PC time frames written", true});
}

// The tick as the bar and the service drive it: the timer's descriptor becomes readable, the
// handler takes the expiry and arms the next second from the clock's reading, the tick runs; and
// a re-arm at once after each, as after a chunk. The fake clock stands 1 ms before each second,
// so every wake-up comes 1 ms after it is armed.
void checkTickTimer() {
    TickRig rig;
    rig.fakeClock.setNow({2024, 5, 3, 1, 0, 0, 0, 999});
    TickTimer timer(rig.clock);
    const auto wakeAndTick = [&] {
        pollfd watched{timer.descriptor(), POLLIN, 0};
        if (::poll(&watched, 1, 2000) != 1 || !timer.onReadable()) return false;
        rig.tick.onTimer();
        return true;
    };
    wakeAndTick();  // due at once when made
    int64_t wakeUps = 0;
    AllocationWindow window;
    for (int i = 0; i < kTimerWakeUps; ++i) {
        rig.fakeClock.advanceSeconds(1);
        timer.rearmNow();
        wakeUps += wakeAndTick() ? 1 : 0;  // the re-arm: a new second at once
        wakeUps += wakeAndTick() ? 1 : 0;  // the next second's wake-up: same second, nothing
    }
    const int64_t allocations = window.stop();
    record({"tick woken by its timer", allocations, wakeUps,
            "wake-ups; " + std::to_string(rig.bar.timeTexts) + " new seconds shown", true});
    if (wakeUps != 2 * kTimerWakeUps || !timer.ok())
        record({"tick timer: wake-ups missing", 1, wakeUps, "", true});
}

// Seconds across several midnights: what the date label costs beyond the per-second work.
void checkTickDateChange() {
    TickRig rig;
    playSeconds(rig.fakeClock, rig.tick, rig.status, 0, kWarmUpSeconds);
    const long datesBefore = rig.bar.dateTexts;
    AllocationWindow window;
    playSeconds(rig.fakeClock, rig.tick, rig.status, kWarmUpSeconds, kDaysCrossed * kSecondsPerDay);
    const int64_t allocations = window.stop();
    record({"tick, date label text", allocations, rig.bar.dateTexts - datesBefore,
            "date changes (allowed: the label's text, once a day)", false});
}

// Keeps an allocation from being optimised away.
void* volatile allocationSink = nullptr;

void allocateOnce() {
    allocationSink = new char[64];
    delete[] static_cast<char*>(allocationSink);
}

struct ReceiverRun {
    int64_t allocations = 0;
    long reads = 0;
    int64_t handOffs = 0;
    int64_t bytes = 0;
    bool delivered = false;
};

// The receiver's passes with chunks, empty reads, a closed port and a hold. Only the receiver
// thread counts: the read hook, which runs on it, switches its counting on and off.
ReceiverRun runReceiverPasses(bool allocateInHandOff) {
    FakeSerialLibrary serial;
    std::atomic<int32_t> port{kBenchPort};
    serial.sio_open(kBenchPort);
    const std::vector<int> chunkSizes{1, 9, 12, 13, 255, 255, 100, 7, 255, 3};
    for (size_t i = 0; i < chunkSizes.size(); ++i)
        serial.queueRead(kBenchPort, std::vector<uint8_t>(chunkSizes[i], static_cast<uint8_t>(i)));

    static std::atomic<bool> counting{false};
    counting = true;
    serial.setReadHook([](int) { countAllocationsOnThisThread(counting.load()); });
    ReceiverRun run;
    std::atomic<int64_t> handOffs{0};
    std::atomic<int64_t> bytes{0};
    SystemClock clock;  // read only; the fake library offers no descriptor to stamp from
    Tcomm receiver(serial, clock, port, [&](const ReceivedChunk& chunk) {
        if (allocateInHandOff) allocateOnce();
        ++handOffs;
        bytes += static_cast<int64_t>(chunk.bytes.size());
    });

    const int64_t before = countedAllocations();
    receiver.start();
    run.delivered =
        serial.waitUntil([&] { return handOffs.load() == static_cast<int64_t>(chunkSizes.size()); },
                         kReceiverPatience);
    serial.waitForReads(serial.readCount() + kEmptyPasses, kReceiverPatience);
    serial.sio_close(kBenchPort);  // reads now fail: passes on a port that is not open
    serial.waitForReads(serial.readCount() + kEmptyPasses, kReceiverPatience);
    receiver.HoldReceiver();  // held passes make no library call
    std::this_thread::sleep_for(kHeldSpell);
    counting = false;
    receiver.ReleaseReceiver();
    serial.waitForReads(serial.readCount() + 2, kReceiverPatience);
    run.allocations = countedAllocations() - before;
    receiver.requestTermination();
    receiver.join();
    run.reads = serial.readCount();
    run.handOffs = handOffs.load();
    run.bytes = bytes.load();
    return run;
}

void checkReceiverPasses() {
    const ReceiverRun run = runReceiverPasses(false);
    record({"receiver passes", run.allocations, run.reads,
            "reads; " + std::to_string(run.handOffs) + " hand-offs of " +
                std::to_string(run.bytes) + " bytes",
            true});
    if (!run.delivered) record({"receiver passes: chunks not all handed off", 1, 0, "", true});

    // The same passes with a hand-off that allocates once per chunk must count exactly that:
    // proof that the count sees the receiver thread at all.
    const ReceiverRun control = runReceiverPasses(true);
    if (control.allocations != control.handOffs || control.handOffs == 0) {
        record({"counting on the receiver thread does not work", 1, control.allocations,
                std::to_string(control.handOffs) + " allocating hand-offs", true});
    }
}

// The receiver on a real pseudo-terminal, where each pass also watches the port with epoll and
// stamps the arrivals. Counting starts at the first hand-off, on the receiver's thread.
void checkReceiverOnAPseudoTerminal() {
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        record({"receiver on a pseudo-terminal: no pseudo-terminal", 1, 0, "", true});
        return;
    }
    termios raw{};
    ::tcgetattr(master, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(master, TCSANOW, &raw);
    OutputsFolder folder;  // for the COM1 link
    if (::symlink(name, (folder.path() + "/COM1").c_str()) != 0) {
        record({"receiver on a pseudo-terminal: no COM1 link to it", 1, 0, "", true});
    }
    TermiosSerial serial(PortMapPlaces{folder.path()});
    serial.sio_open(kBenchPort);
    SystemClock clock;
    std::atomic<int32_t> port{kBenchPort};
    static std::atomic<bool> counting{false};
    std::atomic<int64_t> handOffs{0}, stamped{0};
    Tcomm receiver(serial, clock, port, [&](const ReceivedChunk& chunk) {
        countAllocationsOnThisThread(counting.load());
        ++handOffs;
        if (chunk.arrival) ++stamped;
    });

    const uint8_t byte = 0x55;
    counting = true;
    receiver.start();
    const int64_t before = countedAllocations();
    for (int i = 0; i < kPtyBytes; ++i) {
        if (::write(master, &byte, 1) != 1) break;
        std::this_thread::sleep_for(kPtyByteGap);
    }
    std::this_thread::sleep_for(50ms);
    counting = false;
    if (::write(master, &byte, 1) == 1) std::this_thread::sleep_for(50ms);  // switches it off
    const int64_t allocations = countedAllocations() - before;
    receiver.requestTermination();
    receiver.join();
    serial.sio_close(kBenchPort);
    ::close(master);
    ::close(slave);
    record({"receiver passes on a pseudo-terminal", allocations, handOffs.load(),
            "hand-offs; " + std::to_string(stamped.load()) + " with an arrival stamp", true});
    if (stamped.load() == 0) record({"receiver on a pseudo-terminal: no stamp", 1, 0, "", true});
}

// Without the replaced operator new in effect every count above would be a meaningless zero.
bool counterWorks() {
    AllocationWindow window;
    allocateOnce();
    return window.stop() == 1;
}

}  // namespace
}  // namespace zrq::bench

int main() {
    using namespace zrq::bench;
    if (!counterWorks()) {
        std::printf("FAILED: the allocation counter counts nothing\n");
        return 1;
    }
    for (int format : {zrq::TVZ_CODE, zrq::EB_CODE, zrq::ST_CODE}) {
        for (int noise : {0, kNoisyGap}) {
            for (ChunkShape shape : {ChunkShape::Full, ChunkShape::OnePerFrame, ChunkShape::Pieces})
                checkHandler(format, noise, shape);
        }
    }
    checkTickIdle();
    checkTickNewSecond();
    checkTickDateChange();
    checkTickTimer();
    checkReceiverPasses();
    checkReceiverOnAPseudoTerminal();
    for (int format : {zrq::TVZ_CODE, zrq::EB_CODE, zrq::ST_CODE}) checkRecordAndSample(format);

    int failures = 0;
    std::printf("%11s %9s  %s\n", "allocations", "events", "scenario");
    for (const Outcome& o : outcomes) {
        const bool failed = o.mustBeZero && o.allocations != 0;
        failures += failed ? 1 : 0;
        std::printf("%11lld %9lld  %s (%s)%s\n", static_cast<long long>(o.allocations),
                    static_cast<long long>(o.events), o.scenario.c_str(), o.detail.c_str(),
                    failed ? "  <-- ALLOCATES" : "");
    }
    if (failures) {
        std::printf("FAILED: %d scenario(s) allocate\n", failures);
        return 1;
    }
    std::printf("no allocation in any checked pass\n");
    return 0;
}
