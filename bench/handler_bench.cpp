// Google Benchmarks of the work done on the user-interface thread: the received-data handler per
// chunk, the tick event with and without a new second, the PC time frame and one real clock
// reading. Every benchmark also reports the allocations counted in its timed loop.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>

#include "base/clock_privilege.h"
#include "base/journal.h"
#include "bench/allocation_counter.h"
#include "bench/bench_rig.h"
#include "tests/support/recording_boxes.h"
#include "timecode/time_code_format.h"

namespace zrq::bench {
namespace {

constexpr int kPlanBytes = 64 * 1024;  // one round of chunks; larger than the ring many times
constexpr int kNoisyGap = 20;          // random bytes after each frame in the noisy streams
constexpr int64_t kRecordsDropInterval = 4096;  // iterations between emptying the fakes' records
// The new-second benchmark restarts its day before the date changes, so it measures seconds
// within one day; the date label's own cost is in the allocation check.
constexpr int64_t kSecondsBeforeRestart = 80'000;

void reportAllocations(benchmark::State& state, int64_t allocations) {
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations));
}

// Per chunk: the handler over a stream played round and round, cut as the shape says.
void BM_Handler(benchmark::State& state) {
    const int format = static_cast<int>(state.range(0));
    const int noise = static_cast<int>(state.range(1));
    const auto shape = static_cast<ChunkShape>(state.range(2));
    const ChunkPlan plan = makeChunkPlan(format, noise, shape, kPlanBytes);
    const int64_t framesPerRound = acceptedFramesPerRound(format, plan);
    HandlerRig rig(format);

    size_t next = 0;
    int64_t bytes = 0;
    int64_t sinceDrop = 0;
    AllocationWindow window;
    for (auto _ : state) {
        const Chunk& c = plan.chunks[next];
        rig.handle(plan.data(c), c.length);
        bytes += c.length;
        if (++next == plan.chunks.size()) next = 0;
        if (++sinceDrop == kRecordsDropInterval) {
            state.PauseTiming();
            rig.dropRecords();
            state.ResumeTiming();
            sinceDrop = 0;
        }
    }
    reportAllocations(state, window.stop());
    state.SetBytesProcessed(bytes);
    // CPU seconds per byte; the console shows it with its unit (e.g. 12.3ns).
    state.counters["per_byte"] = benchmark::Counter(
        static_cast<double>(bytes), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["frames_per_chunk"] =
        static_cast<double>(framesPerRound) / static_cast<double>(plan.chunks.size());
}

void handlerArguments(benchmark::internal::Benchmark* b) {
    b->ArgNames({"format", "noise", "shape"});
    for (int format : {TVZ_CODE, EB_CODE, ST_CODE}) {
        for (int noise : {0, kNoisyGap}) {
            for (ChunkShape shape : {ChunkShape::Full, ChunkShape::OnePerFrame, ChunkShape::Pieces})
                b->Args({format, noise, static_cast<int>(shape)});
        }
    }
}
BENCHMARK(BM_Handler)->Apply(handlerArguments);

// A timer event that finds no new second, on a clock that costs nothing to read.
void BM_TickIdle(benchmark::State& state) {
    FixedClock clock(streamStart());
    FakeSerialLibrary serial;
    LineSettings line;
    line.Port = kBenchPort;
    StatusState status;
    CountingBar bar;
    SecondTick tick(clock, serial, line, status, bar);
    tick.reset();
    tick.onTimer();  // the start-up's first event shows the second; later ones find it shown

    AllocationWindow window;
    for (auto _ : state) tick.onTimer();
    reportAllocations(state, window.stop());
    state.counters["new_seconds"] = static_cast<double>(bar.timeTexts - 1);
}
BENCHMARK(BM_TickIdle);

// A timer event that finds a new second: time label, PC time frame written, lamp and message.
void BM_TickNewSecond(benchmark::State& state) {
    FakeClock fakeClock({2024, 5, 3, 1, 0, 0, 0, 7});
    UncountedClock clock(fakeClock);
    FakeSerialLibrary fakeSerial;
    UncountedSerial serial(fakeSerial);
    fakeSerial.sio_open(kBenchPort);
    LineSettings line;
    line.Port = kBenchPort;
    StatusState status;
    CountingBar bar;
    SecondTick tick(clock, serial, line, status, bar);
    tick.reset();
    tick.onTimer();

    int64_t seconds = 0;
    AllocationWindow window;
    for (auto _ : state) {
        fakeClock.advanceSeconds(1);
        tick.onTimer();
        if (++seconds == kSecondsBeforeRestart) {
            state.PauseTiming();
            UncountedScope scope;
            fakeClock.setNow({2024, 5, 3, 1, 0, 0, 0, 7});
            fakeSerial.clearWrites(kBenchPort);
            fakeSerial.clearCalls();
            seconds = 0;
            state.ResumeTiming();
        }
    }
    reportAllocations(state, window.stop());
    state.counters["date_texts"] = static_cast<double>(bar.dateTexts);
}
BENCHMARK(BM_TickNewSecond);

void BM_BuildPcTimeFrame(benchmark::State& state) {
    LocalTimeRecord time{2024, 5, 3, 1, 13, 7, 42, 0};
    AllocationWindow window;
    for (auto _ : state) {
        time.milliseconds = static_cast<uint16_t>((time.milliseconds + 37) % 1000);
        benchmark::DoNotOptimize(time);
        PcTimeFrame frame = buildPcTimeFrame(time, time);
        benchmark::DoNotOptimize(frame);
    }
    reportAllocations(state, window.stop());
}
BENCHMARK(BM_BuildPcTimeFrame);

// One reading of the machine's local clock (clock_gettime and localtime_r): what an idle tick
// costs on top of its own work. Reading only; nothing here sets a clock.
void BM_SystemClockNow(benchmark::State& state) {
    SystemClock clock;
    AllocationWindow window;
    for (auto _ : state) {
        LocalTimeRecord time = clock.now();
        benchmark::DoNotOptimize(time);
    }
    reportAllocations(state, window.stop());
}
BENCHMARK(BM_SystemClockNow);

// One precise reading (clock_gettime and localtime_r): what the receiver pays per arrival.
void BM_SystemClockNowPrecise(benchmark::State& state) {
    SystemClock clock;
    AllocationWindow window;
    for (auto _ : state) {
        PreciseTime time = clock.nowPrecise();
        benchmark::DoNotOptimize(time);
    }
    reportAllocations(state, window.stop());
}
BENCHMARK(BM_SystemClockNowPrecise);

// A folder under /tmp for the outputs, removed at the end.
class BenchFolder {
public:
    BenchFolder() {
        char pattern[] = "/tmp/zrq-bench-XXXXXX";
        path_ = ::mkdtemp(pattern) ? pattern : "/nonexistent";
    }
    ~BenchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// One line of the offset record: open the day's file, append, close (once per correction).
void BM_OffsetRecordLine(benchmark::State& state) {
    BenchFolder folder;
    RecordingMessageBoxes boxes;
    OffsetRecord record(boxes, folder.path());
    CorrectionAttempt attempt{streamStart(), streamStart(), -114'750, 115'000, nullptr};
    AllocationWindow window;
    for (auto _ : state) record.write(attempt);
    reportAllocations(state, window.stop());
}
BENCHMARK(BM_OffsetRecordLine);

// One sample to chronyd's socket (bound here and emptied outside the timing now and then).
void BM_ChronySample(benchmark::State& state) {
    BenchFolder folder;
    const int far = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = folder.path() + "/" + kChronySocketName;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::bind(far, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ChronySampleSender sender(folder.path());
    PreciseTime measured{streamStart(), 250, 1'714'564'800'000'250};
    int64_t sent = 0;
    AllocationWindow window;
    for (auto _ : state) {
        sent += sender.send(measured, -2'500'000) ? 1 : 0;
        state.PauseTiming();
        char datagram[64];
        while (::recv(far, datagram, sizeof datagram, 0) > 0) {
        }
        measured.systemUs += 1'000'000;  // a second a frame: a refusal pauses 5 frames only
        state.ResumeTiming();
    }
    reportAllocations(state, window.stop());
    state.counters["sent"] = static_cast<double>(sent);
    ::close(far);
}
BENCHMARK(BM_ChronySample);

// A clock that takes every set and reads one fixed time; a journal that counts.
class StillRealtime final : public RealtimeClock {
public:
    timespec now() override { return {1'772'848'800, 0}; }
    int64_t monotonicNs() override { return 1'000'000'000; }
    int set(const timespec&) override { return 0; }
};
class CountingJournal final : public Journal {
public:
    void writeUtf8(std::string_view) override { ++entries; }
    int64_t entries = 0;
};

// One set's round trip to the privileged part over its socket pair, the part on a thread of its
// own against a clock that takes every set: what the split adds to a correction's latency (the
// part's journal entry included, to a journal that only counts).
void BM_SetThroughPrivilegedPart(benchmark::State& state) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        state.SkipWithError("no socket pair");
        return;
    }
    StillRealtime clock;
    CountingJournal journal;
    // No rate limit: the round trip is what is measured.
    std::thread part(
        [&] { serveClockSets(ends[1], clock, journal, SetLimits{.maxPerSecond = 0}); });
    int64_t refused = 0;
    {
        PrivilegedSetter setter(ends[0]);
        for (auto _ : state) {
            refused += setter.setRealtime({1'772'848'801, 135'000'000}, 1'000'000'000) != 0;
        }
    }
    part.join();
    ::close(ends[1]);
    state.counters["refused"] = static_cast<double>(refused);
}
BENCHMARK(BM_SetThroughPrivilegedPart)->UseRealTime();

}  // namespace
}  // namespace zrq::bench

BENCHMARK_MAIN();
