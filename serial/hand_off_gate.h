// The gate between the receiver's blocking hand-offs and shutdown: a hand-off already posted to
// the user-interface thread is delivered or discarded before the receiver is joined, and no chunk
// is handled once the gate is closed.
#pragma once

#include <atomic>
#include <functional>

#include "serial/receiver.h"

namespace zrq {

class HandOffGate {
public:
    // Runs the posted call (`deliver`) for the chunk on the user-interface thread and returns
    // when it has run there, or when the toolkit discarded it. Must not allocate per call.
    using BlockingPost = std::function<void(const ReceivedChunk&)>;
    // Lets calls posted to the user-interface thread run for a short while; called there while
    // the gate waits for a hand-off in flight.
    using RunPostedCalls = std::function<void()>;

    HandOffGate(BlockingPost post, RunPostedCalls runPostedCalls);

    HandOffGate(const HandOffGate&) = delete;
    HandOffGate& operator=(const HandOffGate&) = delete;

    // Receiver thread: posts the hand-off of `chunk` and waits for it, unless the gate is closed.
    void handOff(const ReceivedChunk& chunk);

    // User-interface thread, inside the posted call: runs `handler` unless the gate is closed.
    template <typename Handler>
    void deliver(Handler&& handler) {
        if (closed_.load()) return;
        ++handlerDepth_;
        struct DepthGuard {
            int& depth;
            ~DepthGuard() { --depth; }
        } guard{handlerDepth_};
        handler();
    }

    // User-interface thread: closes the gate for good and ends `receiver` without ever leaving it
    // blocked in a hand-off. Returns false, without joining, when called from inside a delivered
    // handler (that handler's hand-off cannot end before this returns); call it again later, at
    // the latest before `receiver` is destroyed. Safe to call any number of times.
    bool close(Tcomm& receiver);

    bool closed() const { return closed_.load(); }
    // Receiver calls between the announcement of a hand-off and its return.
    int handOffsInFlight() const { return inFlight_.load(); }

private:
    BlockingPost post_;
    RunPostedCalls runPostedCalls_;
    std::atomic<bool> closed_{false};
    std::atomic<int> inFlight_{0};
    int handlerDepth_ = 0;  // delivered handlers on the user-interface thread's stack
};

}  // namespace zrq
