// Tests of the receiver Tcomm with the fake serial library: what gets handed off, holding,
// releasing, termination, and the port polled after a switch; and on a real pseudo-terminal,
// the arrival stamps.
#include "serial/receiver.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/epoll.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "serial/termios_serial.h"
#include "tests/serial/pty_fixture.h"
#include "tests/support/counting_new.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_library.h"

namespace zrq {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr auto kPatience = 5s;      // for things that must happen: generous on a busy machine
constexpr auto kQuietSpell = 80ms;  // for things that must not: several polling passes

// A gate a thread can be stopped at until the test opens it.
class Gate {
public:
    void close() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }
    void passThrough() {
        std::unique_lock lock(mutex_);
        ++waiting_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return open_; });
        --waiting_;
    }
    bool waitForSomeoneWaiting() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, kPatience, [&] { return waiting_ > 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = true;
    int waiting_ = 0;
};

class ReceiverTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(fake.sio_open(1), 0); }
    void TearDown() override {
        handlerGate.open();
        readGate.open();
    }

    void start() {
        receiver.start();
        ASSERT_TRUE(fake.waitForReads(1, kPatience)) << "the receiver never read";
    }

    // Chunks handed off so far.
    std::vector<Bytes> chunks() {
        std::lock_guard lock(chunksMutex);
        return handedOff;
    }
    bool waitForChunks(size_t count) {
        std::unique_lock lock(chunksMutex);
        return chunksChanged.wait_for(lock, kPatience, [&] { return handedOff.size() >= count; });
    }
    // Reads during a quiet spell; 0 when the receiver is held.
    long readsDuringQuietSpell() {
        const long before = fake.readCount();
        std::this_thread::sleep_for(kQuietSpell);
        return fake.readCount() - before;
    }

    void handOff(const ReceivedChunk& chunk) {
        {
            std::lock_guard lock(chunksMutex);
            handedOff.emplace_back(chunk.bytes.begin(), chunk.bytes.end());
            EXPECT_FALSE(chunk.arrival) << "the fake library offers nothing to watch";
            EXPECT_EQ(&chunk.ring, &receiver.ring);
        }
        chunksChanged.notify_all();
        readsWhenHandlerStarted = fake.readCount();
        handlerGate.passThrough();
        readsWhenHandlerEnded = fake.readCount();
        if (throwFromHandler) throw std::runtime_error("handler failed");
    }

    FakeSerialLibrary fake;
    std::atomic<int32_t> port{1};
    std::mutex chunksMutex;
    std::condition_variable chunksChanged;
    std::vector<Bytes> handedOff;
    Gate handlerGate;
    Gate readGate;
    std::atomic<long> readsWhenHandlerStarted{-1}, readsWhenHandlerEnded{-1};
    std::atomic<bool> throwFromHandler{false};
    FakeClock clock;  // never read: the fake library offers no descriptor
    Tcomm receiver{fake, clock, port, [this](const ReceivedChunk& chunk) { handOff(chunk); }};
};

TEST_F(ReceiverTest, ReadsOfNothingOrBelowZeroHandNothingOff) {
    fake.queueResults(SerialCall::Read, 1, {0, -1, -255, 0, -7});
    start();
    ASSERT_TRUE(fake.waitForReads(8, kPatience));
    EXPECT_TRUE(chunks().empty());
}

TEST_F(ReceiverTest, EachReadAsksFor255BytesOfTheCurrentPort) {
    start();
    ASSERT_TRUE(fake.waitForReads(3, kPatience));
    for (const SerialCallRecord& call : fake.calls()) {
        if (call.call != SerialCall::Read) continue;
        EXPECT_EQ(call.port, 1);
        EXPECT_EQ(call.args[0], kMaxChunk);
    }
}

TEST_F(ReceiverTest, A255ByteReadIsHandedOffAsOneChunk) {
    Bytes full(kMaxChunk);
    for (int i = 0; i < kMaxChunk; ++i) full[i] = uint8_t(254 - i);
    fake.queueRead(1, full);
    fake.queueRead(1, Bytes(300, 0x11));  // more than one read takes: 255, then 45
    fake.queueRead(1, {0xAA});
    start();
    ASSERT_TRUE(waitForChunks(4));
    const std::vector<Bytes> got = chunks();
    EXPECT_EQ(got[0], full);
    EXPECT_EQ(got[1], Bytes(kMaxChunk, 0x11));
    EXPECT_EQ(got[2], Bytes(45, 0x11));
    EXPECT_EQ(got[3], Bytes{0xAA});
}

TEST_F(ReceiverTest, ALibraryReportingMoreThanTheBufferHandsOffNoMoreThanIt) {
    fake.queueResults(SerialCall::Read, 1, {kMaxChunk + 100});
    start();
    ASSERT_TRUE(waitForChunks(1));
    EXPECT_EQ(chunks()[0].size(), size_t(kMaxChunk));
}

TEST_F(ReceiverTest, HoldsAreNotCountedAndOneReleaseResumesPolling) {
    start();
    receiver.HoldReceiver();
    receiver.HoldReceiver();
    EXPECT_TRUE(receiver.receiverStop());
    EXPECT_EQ(readsDuringQuietSpell(), 0) << "no library call while held";
    receiver.ReleaseReceiver();
    EXPECT_FALSE(receiver.receiverStop());
    const long now = fake.readCount();
    EXPECT_TRUE(fake.waitForReads(now + 3, kPatience));
}

TEST_F(ReceiverTest, HoldWaitsForAReadInProgressAndNoReadFollows) {
    fake.setReadHook([this](int) { readGate.passThrough(); });
    readGate.close();
    receiver.start();
    ASSERT_TRUE(readGate.waitForSomeoneWaiting());
    auto hold = std::async(std::launch::async, [this] { receiver.HoldReceiver(); });
    EXPECT_EQ(hold.wait_for(kQuietSpell), std::future_status::timeout)
        << "returned while the receiver was inside sio_read";
    readGate.open();
    ASSERT_EQ(hold.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(readsDuringQuietSpell(), 0);
}

TEST_F(ReceiverTest, NoReadWhileTheHandlerRunsAndAWaitingHandOffCountsAsHeld) {
    handlerGate.close();
    fake.queueRead(1, {1, 2, 3});
    start();
    ASSERT_TRUE(handlerGate.waitForSomeoneWaiting());
    EXPECT_EQ(readsDuringQuietSpell(), 0);

    auto hold = std::async(std::launch::async, [this] { receiver.HoldReceiver(); });
    EXPECT_EQ(hold.wait_for(kPatience), std::future_status::ready)
        << "a hold must not wait for a pending hand-off";
    handlerGate.open();
    EXPECT_EQ(readsDuringQuietSpell(), 0) << "the hand-off returned into a held receiver";
    EXPECT_EQ(readsWhenHandlerEnded.load(), readsWhenHandlerStarted.load());

    receiver.ReleaseReceiver();
    EXPECT_TRUE(fake.waitForReads(fake.readCount() + 2, kPatience));
}

TEST_F(ReceiverTest, TerminationWhileHeldEndsWithinOnePassWithoutARead) {
    start();
    receiver.HoldReceiver();
    const long reads = fake.readCount();
    receiver.requestTermination();
    auto joined = std::async(std::launch::async, [this] { receiver.join(); });
    ASSERT_EQ(joined.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(fake.readCount(), reads);
}

TEST_F(ReceiverTest, TerminationWhilePollingMakesNoFurtherRead) {
    start();
    receiver.requestTermination();
    const long reads = fake.readCount();
    receiver.join();
    EXPECT_LE(fake.readCount(), reads + 1) << "at most the read already under way";
    EXPECT_TRUE(receiver.receiverStop());
}

TEST_F(ReceiverTest, WithNoPortOpenItKeepsPollingAndNeverHandsOff) {
    fake.queueRead(1, {0xAA, 0x00});
    fake.sio_close(1);
    start();
    ASSERT_TRUE(fake.waitForReads(5, kPatience));
    EXPECT_TRUE(chunks().empty());
    EXPECT_EQ(fake.pendingChunks(1), 1u);
}

TEST_F(ReceiverTest, AfterAPortSwitchTheNewPortIsPolled) {
    ASSERT_EQ(fake.sio_open(2), 0);
    fake.queueRead(1, {0x01});
    start();
    ASSERT_TRUE(waitForChunks(1));

    receiver.HoldReceiver();
    fake.sio_close(1);
    port.store(2);
    fake.queueRead(2, {0x02, 0x03});
    const long readsOfOldPort = fake.readCount(1);
    receiver.ReleaseReceiver();

    ASSERT_TRUE(waitForChunks(2));
    EXPECT_EQ(chunks()[1], (Bytes{0x02, 0x03}));
    ASSERT_TRUE(fake.waitForReads(fake.readCount() + 2, kPatience));
    EXPECT_EQ(fake.readCount(1), readsOfOldPort);
}

// The bytes before the hang-up are handed off; the loss is told once, then nothing is read and
// the receiver does not wake until a hold; a release alone does not resume a hung-up line. After
// the port is reopened under a hold it is read again, and a second hang-up is told again.
TEST_F(ReceiverTest, AHangUpIsToldOnceAndTheReceiverSleepsUntilTheReopening) {
    std::atomic<int> lost{0};
    std::atomic<int> lostPort{0};
    receiver.setLineLostHandler([&](int lostLine) {
        lostPort = lostLine;
        ++lost;
    });
    fake.queueRead(1, {0x01, 0x02});
    fake.hangUp(1);
    start();
    ASSERT_TRUE(waitForChunks(1));
    ASSERT_TRUE(fake.waitUntil([&] { return lost.load() == 1; }, kPatience));
    EXPECT_EQ(lostPort.load(), 1);
    const long wakeUps = receiver.wakeUps();
    EXPECT_EQ(readsDuringQuietSpell(), 0);
    EXPECT_EQ(receiver.wakeUps(), wakeUps) << "asleep, not polling";
    receiver.ReleaseReceiver();
    EXPECT_EQ(readsDuringQuietSpell(), 0);
    EXPECT_EQ(lost.load(), 1);

    receiver.HoldReceiver();
    fake.sio_close(1);
    ASSERT_EQ(fake.sio_open(1), 0);
    fake.queueRead(1, {0x03});
    receiver.ReleaseReceiver();
    ASSERT_TRUE(waitForChunks(2));
    EXPECT_EQ(chunks()[1], Bytes{0x03});
    fake.hangUp(1);
    ASSERT_TRUE(fake.waitUntil([&] { return lost.load() == 2; }, kPatience));
}

TEST_F(ReceiverTest, AFailingHandlerLosesOnlyItsChunk) {
    throwFromHandler = true;
    fake.queueRead(1, {0x10});
    start();
    ASSERT_TRUE(waitForChunks(1));
    throwFromHandler = false;
    fake.queueRead(1, {0x20});
    ASSERT_TRUE(waitForChunks(2));
    EXPECT_EQ(chunks()[1], Bytes{0x20});
    receiver.HoldReceiver();
    EXPECT_EQ(readsDuringQuietSpell(), 0);
}

TEST_F(ReceiverTest, ReadsComeAtLeastOnePollingIntervalApart) {
    std::vector<std::chrono::steady_clock::time_point> times;
    times.reserve(64);
    std::mutex timesMutex;
    const auto started = std::chrono::steady_clock::now();
    fake.setReadHook([&](int) {
        std::lock_guard lock(timesMutex);
        if (times.size() < times.capacity()) times.push_back(std::chrono::steady_clock::now());
    });
    start();
    ASSERT_TRUE(fake.waitForReads(5, kPatience));
    receiver.requestTermination();
    receiver.join();
    std::lock_guard lock(timesMutex);
    ASSERT_GE(times.size(), 5u);
    EXPECT_GE(times[0] - started, 10ms);
    for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 10ms);
}

TEST(ReceiverAllocations, NothingIsAllocatedPerPass) {
    FakeSerialLibrary fake;
    ASSERT_EQ(fake.sio_open(1), 0);
    std::atomic<int32_t> port{1};
    for (int i = 0; i < 10; ++i) fake.queueRead(1, Bytes(kMaxChunk, uint8_t(i)));
    fake.queueResults(SerialCall::Read, 1, {0, -1, 0, -1});
    // Counted on the receiver's thread only, from its first read on.
    testing::countedAllocations = 0;
    fake.setReadHook([](int) { testing::countThisThread = true; });
    std::atomic<int> handOffs{0};
    std::atomic<long> bytes{0};
    FakeClock clock;
    Tcomm receiver{fake, clock, port, [&](const ReceivedChunk& chunk) {
                       bytes += static_cast<long>(chunk.bytes.size());
                       ++handOffs;
                   }};
    receiver.start();
    ASSERT_TRUE(fake.waitForReads(20, kPatience));
    receiver.HoldReceiver();
    EXPECT_EQ(handOffs.load(), 10);
    EXPECT_EQ(bytes.load(), 10 * kMaxChunk);
    EXPECT_EQ(testing::countedAllocations.load(), 0);
}

// The termios backend with every read's moment noted (steady clock, receiver thread only).
class ReadTimingSerial final : public SerialLibrary {
public:
    explicit ReadTimingSerial(TermiosSerial& inner) : inner_(inner) {}
    int sio_open(int port) override { return inner_.sio_open(port); }
    void sio_close(int port) override { inner_.sio_close(port); }
    void sio_flush(int port, int func) override { inner_.sio_flush(port, func); }
    int sio_ioctl(int port, int baud, int mode) override {
        return inner_.sio_ioctl(port, baud, mode);
    }
    int sio_flowctrl(int port, int mask) override { return inner_.sio_flowctrl(port, mask); }
    int sio_DTR(int port, int level) override { return inner_.sio_DTR(port, level); }
    int sio_RTS(int port, int level) override { return inner_.sio_RTS(port, level); }
    long sio_getbaud(int port) override { return inner_.sio_getbaud(port); }
    void sio_SetWriteTimeouts(int port, int ms) override { inner_.sio_SetWriteTimeouts(port, ms); }
    int sio_write(int port, const uint8_t* b, int n) override {
        return inner_.sio_write(port, b, n);
    }
    int inputDescriptor(int port) override { return inner_.inputDescriptor(port); }
    bool offersInputDescriptors() const override { return inner_.offersInputDescriptors(); }
    int sio_read(int port, uint8_t* buffer, int length) override {
        const size_t read = reads_.load();
        if (read < kMaxReads) readTimes_[read] = std::chrono::steady_clock::now();
        reads_.store(read + 1);
        return inner_.sio_read(port, buffer, length);
    }
    long readCount() const { return static_cast<long>(reads_.load()); }
    // Call only once the receiver has ended.
    std::vector<std::chrono::steady_clock::time_point> readTimes() const {
        return {readTimes_.begin(), readTimes_.begin() + std::min(reads_.load(), kMaxReads)};
    }

private:
    static constexpr size_t kMaxReads = 1024;
    TermiosSerial& inner_;
    std::array<std::chrono::steady_clock::time_point, kMaxReads> readTimes_{};
    std::atomic<size_t> reads_{0};
};

// Notes each moment bytes reach a terminal, woken by epoll like the receiver, at real-time
// priority where granted.
class ArrivalWatcher {
public:
    ArrivalWatcher(int descriptor, LocalClock& clock) : clock_(clock) {
        seen_.reserve(256);
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLET;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, descriptor, &event);
        thread_ = std::thread([this] {
            sched_param param{};
            param.sched_priority = 10;
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
            epoll_event ready[1];
            while (!stop_.load()) {
                if (::epoll_wait(epoll_, ready, 1, 20) > 0 && seen_.size() < seen_.capacity())
                    seen_.push_back(clock_.nowPrecise());
            }
        });
    }
    ~ArrivalWatcher() { stop(); }
    // Ends the watch; the moments seen, in order.
    std::vector<PreciseTime> stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        if (epoll_ >= 0) ::close(epoll_);
        epoll_ = -1;
        return seen_;
    }

private:
    LocalClock& clock_;
    int epoll_ = -1;
    std::atomic<bool> stop_{false};
    std::vector<PreciseTime> seen_;
    std::thread thread_;
};

// The receiver on the termios backend, reading COM1: a pseudo-terminal, opened, every read timed.
class ReceiverOnAPseudoTerminal : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::symlink(pty.slaveName().c_str(), dir.file("COM1").c_str()), 0);
        ASSERT_EQ(termios.sio_open(1), 0);
    }

    testing::Pty pty;
    testing::TempDir dir;
    TermiosSerial termios{PortMapPlaces{dir.path()}};
    ReadTimingSerial serial{termios};
    SystemClock clock;  // read only
    std::atomic<int32_t> port{1};
};

// One byte is written at a chosen point of the receiver's 10 ms wait (measured from the end of
// the previous hand-off, where the wait begins), once for each whole millisecond of it. A watcher
// of its own, woken by the same arrival, notes when the byte reached the port. The stamp must lie
// between the clock reading just before the write and 1 ms after the later of the reading just
// after it and the watcher's note: a real-time thread wakes from epoll within tens of
// microseconds, while a stamp taken at the read, as before, would be up to 10 ms late (9.5 ms
// for the earliest writes here). The watcher's note covers a loaded machine, where the kernel
// may pass a pseudo-terminal's bytes on a few milliseconds after the write.
TEST_F(ReceiverOnAPseudoTerminal, StampsEachArrivalWithinAMillisecondAndReadsTenMsApart) {
    struct Arrival {
        std::optional<PreciseTime> stamp;
        size_t bytes;
    };
    std::mutex mutex;
    std::condition_variable handed;
    std::vector<Arrival> arrivals;
    arrivals.reserve(64);
    Tcomm receiver{serial, clock, port, [&](const ReceivedChunk& chunk) {
                       std::lock_guard lock(mutex);
                       arrivals.push_back({chunk.arrival, chunk.bytes.size()});
                       handed.notify_all();
                   }};
    receiver.start();
    ArrivalWatcher watcher(pty.slave(), clock);

    constexpr int kPoints = 10;
    PreciseTime before[kPoints], after[kPoints];
    pty.send({0x00});  // the first hand-off marks where a wait begins
    for (int i = 0; i <= kPoints; ++i) {
        {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(
                handed.wait_for(lock, kPatience, [&] { return arrivals.size() == size_t(i) + 1; }));
        }
        if (i == kPoints) break;
        std::this_thread::sleep_for(std::chrono::microseconds(500 + 1000 * i));
        before[i] = clock.nowPrecise();
        pty.send({uint8_t(i + 1)});
        after[i] = clock.nowPrecise();
    }
    receiver.requestTermination();
    receiver.join();
    const std::vector<PreciseTime> seen = watcher.stop();

    for (int i = 0; i < kPoints; ++i) {
        SCOPED_TRACE(::testing::Message() << "written " << 0.5 + i << " ms into the wait");
        const Arrival& arrival = arrivals[size_t(i) + 1];
        EXPECT_EQ(arrival.bytes, 1u);
        ASSERT_TRUE(arrival.stamp.has_value());
        PreciseTime reached = after[i];
        for (const PreciseTime& t : seen) {
            if (microsecondsBetween(before[i], t) >= 0) {
                if (microsecondsBetween(reached, t) > 0) reached = t;
                break;
            }
        }
        EXPECT_GE(microsecondsBetween(before[i], *arrival.stamp), 0);
        EXPECT_LE(microsecondsBetween(reached, *arrival.stamp), 1000);
        // The system time the stamp carries is the same moment.
        EXPECT_EQ(arrival.stamp->systemUs - after[i].systemUs,
                  microsecondsBetween(after[i], *arrival.stamp));
    }
    const auto reads = serial.readTimes();
    ASSERT_GE(reads.size(), size_t(kPoints));
    for (size_t i = 1; i < reads.size(); ++i) EXPECT_GE(reads[i] - reads[i - 1], 10ms);
}

// Waits, up to the patience, until `done` holds; false when it never did.
template <typename Condition>
bool eventually(Condition done) {
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// On a silent line the receiver sleeps: a spell that a polling receiver would spend in eight
// passes costs no read and at most one wake-up. A hold, a release and a stop each wake it at
// once: a sleeping receiver would otherwise never wake. The port closed while held, left closed,
// and reopened while held again, is slept on and then read anew.
TEST_F(ReceiverOnAPseudoTerminal, SleepsWhileSilentAndWakesAtOnceForHoldReleaseAndStop) {
    std::atomic<int> chunks{0};
    std::atomic<bool> stamped{true};
    Tcomm receiver{serial, clock, port, [&](const ReceivedChunk& chunk) {
                       if (!chunk.arrival) stamped = false;
                       ++chunks;
                   }};
    const auto quietSpell = [&](const char* what) {
        const long reads = serial.readCount(), wakeUps = receiver.wakeUps();
        std::this_thread::sleep_for(kQuietSpell);
        EXPECT_EQ(serial.readCount(), reads) << what;
        EXPECT_LE(receiver.wakeUps(), wakeUps + 1) << what;
    };

    receiver.start();
    ASSERT_TRUE(eventually([&] { return serial.readCount() >= 1; }));
    quietSpell("silent line");

    long wakeUps = receiver.wakeUps();
    receiver.HoldReceiver();
    EXPECT_TRUE(eventually([&] { return receiver.wakeUps() > wakeUps; })) << "hold";
    termios.sio_close(1);  // a switch whose reopening fails
    quietSpell("held");

    long reads = serial.readCount();
    receiver.ReleaseReceiver();
    EXPECT_TRUE(eventually([&] { return serial.readCount() > reads; })) << "release";
    quietSpell("no port open");

    receiver.HoldReceiver();
    ASSERT_EQ(termios.sio_open(1), 0);
    reads = serial.readCount();
    receiver.ReleaseReceiver();
    EXPECT_TRUE(eventually([&] { return serial.readCount() > reads; })) << "second release";
    pty.send({0xAA, 0x00, 0x24});
    EXPECT_TRUE(eventually([&] { return chunks.load() == 1; })) << "bytes on the reopened port";
    EXPECT_TRUE(stamped.load());
    reads = serial.readCount();  // one more read finds the line quiet, then it sleeps again
    EXPECT_TRUE(eventually([&] { return serial.readCount() > reads; }));
    quietSpell("silent again after a chunk");

    receiver.requestTermination();
    auto joined = std::async(std::launch::async, [&] { receiver.join(); });
    EXPECT_EQ(joined.wait_for(kPatience), std::future_status::ready) << "stop";
}

// The far end closes while the receiver sleeps on the line: the hang-up wakes it, is told once,
// and then costs no read and no wake-up.
TEST_F(ReceiverOnAPseudoTerminal, AClosedFarEndWakesTheReceiverOnceAndItSleepsAfter) {
    std::atomic<int> lost{0};
    Tcomm receiver{serial, clock, port, [](const ReceivedChunk&) {}};
    receiver.setLineLostHandler([&](int) { ++lost; });
    receiver.start();
    ASSERT_TRUE(eventually([&] { return serial.readCount() >= 1; }));
    std::this_thread::sleep_for(kQuietSpell);  // asleep on the silent line
    pty.closeMaster();
    ASSERT_TRUE(eventually([&] { return lost.load() == 1; }));
    const long reads = serial.readCount(), wakeUps = receiver.wakeUps();
    std::this_thread::sleep_for(4 * kQuietSpell);
    EXPECT_EQ(serial.readCount(), reads);
    EXPECT_EQ(receiver.wakeUps(), wakeUps);
    EXPECT_EQ(lost.load(), 1);
}

TEST(ReceiverWithoutThread, HoldReleaseAndStopChangeOnlyTheFlag) {
    FakeSerialLibrary fake;
    std::atomic<int32_t> port{1};
    FakeClock clock;
    Tcomm receiver{fake, clock, port, [](const ReceivedChunk&) {}};
    receiver.HoldReceiver();
    EXPECT_TRUE(receiver.receiverStop());
    receiver.ReleaseReceiver();
    EXPECT_FALSE(receiver.receiverStop());
    receiver.requestTermination();
    EXPECT_TRUE(receiver.receiverStop());
    EXPECT_FALSE(receiver.running());
    EXPECT_EQ(fake.readCount(), 0);
}

}  // namespace
}  // namespace zrq
