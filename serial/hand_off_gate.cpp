// Delivering or discarding the receiver's hand-offs around shutdown, then joining the receiver.
#include "serial/hand_off_gate.h"

#include <chrono>
#include <thread>
#include <utility>

namespace zrq {
namespace {

// The pause between passes of posted calls while a hand-off is still on its way.
constexpr auto kDrainPause = std::chrono::milliseconds(1);

}  // namespace

HandOffGate::HandOffGate(BlockingPost post, RunPostedCalls runPostedCalls)
    : post_(std::move(post)), runPostedCalls_(std::move(runPostedCalls)) {}

// The count is raised before `closed_` is read, so that close, which sets `closed_` before it
// reads the count, either sees this call in flight and waits for it or is seen here and no call
// is posted.
void HandOffGate::handOff(const ReceivedChunk& chunk) {
    inFlight_.fetch_add(1);
    if (!closed_.load() && post_) post_(chunk);
    inFlight_.fetch_sub(1);
}

bool HandOffGate::close(Tcomm& receiver) {
    closed_.store(true);
    receiver.requestTermination();
    if (handlerDepth_ > 0) return false;
    // A hand-off posted before the gate closed waits for this thread: let it be delivered (the
    // handler then returns at once) or discarded before joining.
    while (inFlight_.load() > 0) {
        if (runPostedCalls_) runPostedCalls_();
        std::this_thread::sleep_for(kDrainPause);
    }
    receiver.join();
    return true;
}

}  // namespace zrq
