// The receiver Tcomm: polls the port every 10 ms and hands each chunk to the user-interface thread.
#include "serial/receiver.h"

#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace zrq {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);
// Any real-time priority puts the receiver above every normal thread; a modest one leaves the
// kernel's own real-time threads alone.
constexpr int kRealTimePriority = 10;
constexpr int kHighestNiceness = -20;  // the lowest nice value: the most CPU time
constexpr int64_t kNsPerSecond = 1'000'000'000;

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

Tcomm::Tcomm(SerialLibrary& serial, LocalClock& clock, const std::atomic<int32_t>& port,
             HandOff handOff)
    : serial_(serial), clock_(clock), port_(port), handOff_(std::move(handOff)) {}

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
    epoll_ = epoll_create1(EPOLL_CLOEXEC);  // without it the wait is a plain sleep
    while (!terminationRequested_.load()) {
        waitWatchingPort();
        if (receiverStop_.load()) continue;
        // Announce the read before checking the flag once more: a holder that set the flag and
        // then saw no read announced is sure that no read starts after it returns. The port is
        // open or closed only while held, so its descriptor is sound in here.
        insideRead_.store(true);
        int count = 0;
        if (!receiverStop_.load()) {
            const int port = port_.load();
            watchPort(serial_.inputDescriptor(port));
            noteArrivalsSinceTheWait();
            count = serial_.sio_read(port, ChunkBuffer.data(), kMaxChunk);
        }
        insideRead_.store(false);
        insideRead_.notify_all();
        // Bytes read from a watched port with no wake-up seen came while the read ran (a line
        // that passes bytes on only when asked, as a pseudo-terminal under load does), or are
        // the rest of a read that filled the buffer: now is the best stamp known for them.
        if (count > 0 && watched_ >= 0 && !lastArrival_) lastArrival_ = clock_.nowPrecise();
        const std::optional<PreciseTime> arrival = lastArrival_;
        lastArrival_.reset();
        if (count < 1) continue;
        ChunkLength = std::min(count, kMaxChunk);
        try {
            if (handOff_) {
                handOff_(ReceivedChunk{
                    std::span<const uint8_t>(ChunkBuffer.data(), static_cast<size_t>(ChunkLength)),
                    ring, arrival});
            }
        } catch (...) {
            // A failing handler loses only its chunk; the receiver must stay usable for holds,
            // releases and later chunks, and an exception must not end the program from here.
        }
    }
    if (epoll_ >= 0) ::close(epoll_);
    epoll_ = watched_ = -1;
}

// The 10 ms wait between reads, spent in epoll on the port (edge-triggered: every arrival of
// bytes wakes it, even when unread bytes are waiting), so that the moment the bytes came is
// known to the microsecond instead of up to 10 ms later at the read. Each wake-up with input
// stamps the time; the read takes the last stamp. Without a descriptor it only sleeps.
void Tcomm::waitWatchingPort() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + kPollInterval;
    if (epoll_ < 0 || watched_ < 0) {
        std::this_thread::sleep_until(end);
        return;
    }
    epoll_event events[1];
    for (;;) {
        const int64_t leftNs = std::chrono::nanoseconds(end - Clock::now()).count();
        if (leftNs <= 0) return;
        const timespec timeout{static_cast<time_t>(leftNs / kNsPerSecond),
                               static_cast<long>(leftNs % kNsPerSecond)};
        const int ready = epoll_pwait2(epoll_, events, 1, &timeout, nullptr);
        if (ready > 0 && (events[0].events & EPOLLIN)) {
            lastArrival_ = clock_.nowPrecise();
        } else if (ready < 0 && errno != EINTR) {
            std::this_thread::sleep_until(end);
            return;
        }
    }
}

// Bytes that came after the wait ended and before the read would otherwise have no stamp.
void Tcomm::noteArrivalsSinceTheWait() {
    if (epoll_ < 0 || watched_ < 0) return;
    epoll_event events[1];
    const timespec now{0, 0};
    if (epoll_pwait2(epoll_, events, 1, &now, nullptr) > 0 && (events[0].events & EPOLLIN))
        lastArrival_ = clock_.nowPrecise();
}

// Keeps the port's current descriptor in the epoll set. Adding it on every pass costs one call
// and is what notices a port closed and reopened under the same number: a closed descriptor
// leaves the set by itself, so the add succeeds again; for one still there it fails with EEXIST.
void Tcomm::watchPort(int descriptor) {
    if (epoll_ < 0) return;
    if (watched_ >= 0 && watched_ != descriptor) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, watched_, nullptr);  // gone already when it was closed
        lastArrival_.reset();  // arrivals on the old port say nothing about the new one
    }
    watched_ = -1;
    if (descriptor < 0) return;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLET;
    event.data.fd = descriptor;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, descriptor, &event) == 0 || errno == EEXIST)
        watched_ = descriptor;
}

void Tcomm::HoldReceiver() {
    receiverStop_.store(true);
    // Only a read in progress is waited for; sio_read returns at once, so this is short.
    while (insideRead_.load()) insideRead_.wait(true);
}

void Tcomm::ReleaseReceiver() { receiverStop_.store(false); }

void Tcomm::requestTermination() {
    receiverStop_.store(true);
    terminationRequested_.store(true);
}

void Tcomm::join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace zrq
