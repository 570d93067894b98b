// Tests of the hand-off gate with a real receiver thread: hand-offs are delivered while the gate is
// open, and closing it never leaves the receiver blocked in a hand-off nor handles a chunk later.
#include "serial/hand_off_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_library.h"

namespace zrq {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr auto kPatience = 5s;  // for things that must happen: generous on a busy machine

// The user-interface thread's queue of posted calls, as the toolkit keeps it: the poster waits
// until the test thread, standing in for the user-interface thread, has run or discarded its call.
class PostedCalls {
public:
    explicit PostedCalls(std::function<void()> call) : call_(std::move(call)) {}

    // Receiver thread.
    void post() {
        std::unique_lock lock(mutex_);
        const long ticket = ++posted_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return finished_ >= ticket; });
    }
    // Test thread: runs (or, when discarding, drops) every call posted so far.
    void runPending() {
        std::unique_lock lock(mutex_);
        while (finished_ < posted_) {
            lock.unlock();
            if (!discard) call_();
            lock.lock();
            ++finished_;
            changed_.notify_all();
        }
    }
    bool waitForPosted(long count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return posted_ >= count; });
    }
    long posted() {
        std::lock_guard lock(mutex_);
        return posted_;
    }

    bool discard = false;  // the toolkit drops calls to a receiver that is going away

private:
    std::function<void()> call_;
    std::mutex mutex_;
    std::condition_variable changed_;
    long posted_ = 0;
    long finished_ = 0;
};

class HandOffGateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(fake.sio_open(1), 0);
        receiver.start();
    }
    void TearDown() override { gate.close(receiver); }

    // Runs posted calls on this thread until `done` holds.
    bool runPostedUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            posted.runPending();
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    // What the posted call does on the user-interface thread.
    void postedCall() {
        gate.deliver([this] {
            handled.emplace_back(receiver.ChunkBuffer.begin(),
                                 receiver.ChunkBuffer.begin() + receiver.ChunkLength);
            if (closeFromHandler) closedFromHandler = gate.close(receiver);
        });
    }

    FakeSerialLibrary fake;
    std::atomic<int32_t> port{1};
    std::vector<Bytes> handled;  // test thread only
    bool closeFromHandler = false;
    bool closedFromHandler = true;
    PostedCalls posted{[this] { postedCall(); }};
    HandOffGate gate{[this](const ReceivedChunk&) { posted.post(); },
                     [this] { posted.runPending(); }};
    FakeClock clock;  // never read: the fake library offers no descriptor
    Tcomm receiver{fake, clock, port, [this](const ReceivedChunk& chunk) { gate.handOff(chunk); }};
};

TEST_F(HandOffGateTest, OpenGateDeliversEachChunkInOrderAndClosingJoins) {
    fake.queueRead(1, {0xAA, 0x00});
    fake.queueRead(1, {0x24});
    ASSERT_TRUE(runPostedUntil([&] { return handled.size() == 2; }));
    EXPECT_EQ(handled, (std::vector<Bytes>{{0xAA, 0x00}, {0x24}}));

    EXPECT_TRUE(gate.close(receiver));
    EXPECT_FALSE(receiver.running());
}

TEST_F(HandOffGateTest, ClosingWithAHandOffWaitingDeliversNothingAndJoins) {
    fake.queueRead(1, {0xAA, 0x00});
    ASSERT_TRUE(posted.waitForPosted(1));  // the receiver now waits for this thread

    EXPECT_TRUE(gate.close(receiver));  // would hang if it joined before the post was run
    EXPECT_FALSE(receiver.running());
    EXPECT_TRUE(handled.empty());
    EXPECT_EQ(gate.handOffsInFlight(), 0);

    // Nothing is read, posted or handled any more.
    const long reads = fake.readCount();
    fake.queueRead(1, {0x24});
    std::this_thread::sleep_for(50ms);
    posted.runPending();
    EXPECT_EQ(fake.readCount(), reads);
    EXPECT_EQ(posted.posted(), 1);
    EXPECT_TRUE(handled.empty());
}

TEST_F(HandOffGateTest, CallsTheToolkitDiscardedStillLetClosingJoin) {
    posted.discard = true;
    fake.queueRead(1, {0xAA});
    ASSERT_TRUE(posted.waitForPosted(1));
    EXPECT_TRUE(gate.close(receiver));
    EXPECT_TRUE(handled.empty());
}

TEST_F(HandOffGateTest, ClosingFromInsideTheHandlerLeavesTheJoinToALaterClose) {
    closeFromHandler = true;
    fake.queueRead(1, {0xAA});
    ASSERT_TRUE(runPostedUntil([&] { return handled.size() == 1; }));
    EXPECT_FALSE(closedFromHandler) << "joined a receiver that waits for the handler's return";
    EXPECT_TRUE(gate.closed());

    EXPECT_TRUE(gate.close(receiver));
    fake.queueRead(1, {0x24});
    std::this_thread::sleep_for(30ms);
    posted.runPending();
    EXPECT_EQ(handled.size(), size_t{1});
}

}  // namespace
}  // namespace zrq
