// The receiver Tcomm: polls the port every 10 ms and hands each chunk to the user-interface thread.
#include "serial/receiver.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace zrq {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);
// Any real-time priority puts the receiver above every normal thread; a modest one leaves the
// kernel's own real-time threads alone.
constexpr int kRealTimePriority = 10;
constexpr int kHighestNiceness = -20;  // the lowest nice value: the most CPU time

// True when SCHED_FIFO was granted; otherwise tries the lowest nice value, then runs as it is.
bool raiseOwnPriority() {
    const int lowest = sched_get_priority_min(SCHED_FIFO);
    const int highest = sched_get_priority_max(SCHED_FIFO);
    sched_param param{};
    param.sched_priority = std::clamp(kRealTimePriority, lowest, highest);
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return true;
    // On Linux a thread id as the "process" of setpriority changes only this thread.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kHighestNiceness);
    return false;
}

}  // namespace

Tcomm::Tcomm(SerialLibrary& serial, const std::atomic<int32_t>& port, HandOff handOff)
    : serial_(serial), port_(port), handOff_(std::move(handOff)) {}

Tcomm::~Tcomm() {
    requestTermination();
    join();
}

void Tcomm::start() {
    if (thread_.joinable()) return;  // created once, never re-created
    thread_ = std::thread([this] {
        timeCritical_.store(raiseOwnPriority());
        Execute();
    });
}

void Tcomm::Execute() {
    while (!terminationRequested_.load()) {
        std::this_thread::sleep_for(kPollInterval);
        if (receiverStop_.load()) continue;
        // Announce the read before checking the flag once more: a holder that set the flag and
        // then saw no read announced is sure that no read starts after it returns.
        insideRead_.store(true);
        int count = 0;
        if (!receiverStop_.load())
            count = serial_.sio_read(port_.load(), ChunkBuffer.data(), kMaxChunk);
        insideRead_.store(false);
        insideRead_.notify_all();
        if (count < 1) continue;
        ChunkLength = std::min(count, kMaxChunk);
        try {
            if (handOff_) handOff_(*this);
        } catch (...) {
            // A failing handler loses only its chunk; the receiver must stay usable for holds,
            // releases and later chunks, and an exception must not end the program from here.
        }
    }
}

void Tcomm::HoldReceiver() {
    receiverStop_.store(true);
    // Only a read in progress is waited for; sio_read returns at once, so this is short.
    while (insideRead_.load()) insideRead_.wait(true);
}

void Tcomm::ReleaseReceiver() {
    receiverStop_.store(false);
}

void Tcomm::requestTermination() {
    receiverStop_.store(true);
    terminationRequested_.store(true);
}

void Tcomm::join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace zrq
