// Tests of the receiver Tcomm with the fake serial library: what gets handed off, holding,
// releasing, termination, and the port polled after a switch.
#include "serial/receiver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "serial/fake_serial_library.h"
#include "tests/support/counting_new.h"

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

    void handOff(Tcomm& self) {
        {
            std::lock_guard lock(chunksMutex);
            handedOff.emplace_back(self.ChunkBuffer.begin(),
                                   self.ChunkBuffer.begin() + self.ChunkLength);
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
    Tcomm receiver{fake, port, [this](Tcomm& self) { handOff(self); }};
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
    Tcomm receiver{fake, port, [&](Tcomm& self) {
                       bytes += self.ChunkLength;
                       ++handOffs;
                   }};
    receiver.start();
    ASSERT_TRUE(fake.waitForReads(20, kPatience));
    receiver.HoldReceiver();
    EXPECT_EQ(handOffs.load(), 10);
    EXPECT_EQ(bytes.load(), 10 * kMaxChunk);
    EXPECT_EQ(testing::countedAllocations.load(), 0);
}

TEST(ReceiverWithoutThread, HoldReleaseAndStopChangeOnlyTheFlag) {
    FakeSerialLibrary fake;
    std::atomic<int32_t> port{1};
    Tcomm receiver{fake, port, [](Tcomm&) {}};
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
