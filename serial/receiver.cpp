// The receiver Tcomm: reads the port at most every 10 ms, sleeps while it is silent, and hands each
// chunk to the user-interface thread.
#include "serial/receiver.h"
#include "base/time_units.h"

#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

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

Tcomm::Tcomm(SerialLibrary& serial, LocalClock& clock, const std::atomic<int32_t>& port,
             HandOff handOff)
    : serial_(serial), clock_(clock), port_(port), handOff_(std::move(handOff)) {
    // Made here, not on the thread: holds, releases and stops may come before it starts.
    request_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;  // level-triggered: stays readable until the receiver takes it
    event.data.fd = request_;
    if (request_ < 0 || epoll_ < 0 || epoll_ctl(epoll_, EPOLL_CTL_ADD, request_, &event) != 0) {
        // Without them the waits are plain 10 ms sleeps, as a polling receiver's.
        for (int* descriptor : {&epoll_, &request_}) {
            if (*descriptor >= 0) ::close(*descriptor);
            *descriptor = -1;
        }
    }
}

Tcomm::~Tcomm() {
    requestTermination();
    join();
    for (int descriptor : {epoll_, request_})
        if (descriptor >= 0) ::close(descriptor);
}

void Tcomm::start() {
    if (thread_.joinable()) return;  // created once, never re-created
    thread_ = std::thread([this] {
        timeCritical_.store(raiseOwnPriority());
        Execute();
    });
}

// Each pass: held, sleep until released; otherwise wait until 10 ms after the previous pass, then,
// when the last read found nothing and the port will signal input, sleep until bytes come; read;
// hand a chunk off. A hold, release or stop ends any wait at once and starts the pass over.
void Tcomm::Execute() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point readDue = Clock::now() + kPollInterval;  // the first read 10 ms in
    bool mayHaveMore = true;  // bytes may be waiting that no arrival has announced
    while (!terminationRequested_.load()) {
        if (receiverStop_.load()) {
            wait(nullptr, false);  // until a release or a stop
            mayHaveMore = true;    // the port may have been switched meanwhile
            continue;
        }
        if (waitingForReopen()) {
            wait(nullptr, false);  // until the port is held (closed, reopened) and released
            mayHaveMore = true;
            continue;
        }
        if (wait(&readDue, false) == Woken::Request) {
            mayHaveMore = true;
            continue;
        }
        if (!mayHaveMore && !lastArrival_ && portSignalsInput_ && epoll_ >= 0) {
            if (wait(nullptr, true) == Woken::Request) {
                mayHaveMore = true;
                continue;
            }
        }
        const int count = readOnce();
        if (count == kReadHungUp) {
            lineHungUp();
            continue;
        }
        // A read that filled the buffer left bytes behind that will announce nothing; and after
        // any bytes, one more read makes sure the line really went quiet before sleeping.
        mayHaveMore = count > 0;
        if (count > 0) {
            ChunkLength = std::min(count, kMaxChunk);
            try {
                if (handOff_) {
                    handOff_(
                        ReceivedChunk{std::span<const uint8_t>(ChunkBuffer.data(),
                                                               static_cast<size_t>(ChunkLength)),
                                      ring, std::exchange(lastArrival_, std::nullopt)});
                }
            } catch (...) {
                // A failing handler loses only its chunk; the receiver must stay usable for holds,
                // releases and later chunks, and an exception must not end the program from here.
            }
        }
        readDue = Clock::now() + kPollInterval;
    }
    watched_ = -1;
}

bool Tcomm::waitingForReopen() const { return hungUpAtHold_ && *hungUpAtHold_ == holds_.load(); }

// The port's descriptor leaves the watch set (a hung-up terminal would report itself for ever),
// and the loss is told once.
void Tcomm::lineHungUp() {
    hungUpAtHold_ = holdsAtRead_;  // a hold during the read has reopened or switched already
    watchPort(-1);
    if (!lineLost_) return;
    try {
        lineLost_(port_.load());
    } catch (...) {
        // Told or not, the receiver waits for the reopening; it must not end here.
    }
}

// One sio_read of the current port, unless a hold came first. Returns the count read (below 1:
// nothing); the arrival stamp for the bytes is left in lastArrival_.
int Tcomm::readOnce() {
    // Announce the read before checking the flag once more: a holder that set the flag and then
    // saw no read announced is sure that no read starts after it returns. The port is open or
    // closed only while held, so its descriptor is sound in here.
    holdsAtRead_ = holds_.load();
    insideRead_.store(true);
    int count = 0;
    if (!receiverStop_.load()) {
        const int port = port_.load();
        const int descriptor = serial_.inputDescriptor(port);
        watchPort(descriptor);
        // A port without a descriptor stays silent until a switch opens it (and releases this
        // receiver), if the library says so; otherwise it has to be polled.
        portSignalsInput_ = descriptor < 0 ? serial_.offersInputDescriptors() : watched_ >= 0;
        noteArrivalsSinceTheWait();
        count = serial_.sio_read(port, ChunkBuffer.data(), kMaxChunk);
    }
    insideRead_.store(false);
    insideRead_.notify_all();
    // Bytes read from a watched port with no wake-up seen came while the read ran (a line that
    // passes bytes on only when asked, as a pseudo-terminal under load does), or are the rest of
    // a read that filled the buffer: now is the best stamp known for them.
    if (count > 0 && watched_ >= 0 && !lastArrival_) lastArrival_ = clock_.nowPrecise();
    if (count < 1) lastArrival_.reset();
    return count;
}

// Waits in epoll on the port (edge-triggered: every arrival of bytes wakes it, even when unread
// bytes are waiting) and on the request eventfd, until `until` (for ever when null), or until
// input when `endOnInput`, or until a request. Each wake-up with input stamps the time, so that
// the moment the bytes came is known to the microsecond; the read takes the last stamp. Without
// the epoll set it only sleeps, 10 ms at most.
Tcomm::Woken Tcomm::wait(const std::chrono::steady_clock::time_point* until, bool endOnInput) {
    using Clock = std::chrono::steady_clock;
    if (epoll_ < 0) {
        std::this_thread::sleep_until(until ? *until : Clock::now() + kPollInterval);
        ++wakeUps_;
        return Woken::Due;
    }
    epoll_event events[2];
    for (;;) {
        timespec timeout{};
        if (until) {
            const int64_t leftNs = std::chrono::nanoseconds(*until - Clock::now()).count();
            if (leftNs <= 0) return Woken::Due;
            timeout = {static_cast<time_t>(leftNs / kNsPerSecond),
                       static_cast<long>(leftNs % kNsPerSecond)};
        }
        const int ready = epoll_pwait2(epoll_, events, 2, until ? &timeout : nullptr, nullptr);
        ++wakeUps_;
        if (ready < 0 && errno != EINTR) {
            std::this_thread::sleep_until(until ? *until : Clock::now() + kPollInterval);
            return Woken::Due;
        }
        const Woken woken = takeEvents(events, std::max(ready, 0));
        if (woken == Woken::Request) return woken;
        if (woken == Woken::Input && endOnInput) return woken;
    }
}

// Stamps input and takes a request from what epoll reported.
Tcomm::Woken Tcomm::takeEvents(const epoll_event* events, int count) {
    Woken woken = Woken::Due;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.fd == request_) {
            uint64_t requests = 0;
            [[maybe_unused]] const ssize_t got = ::read(request_, &requests, sizeof requests);
            return Woken::Request;  // the flags are looked at anew; a stamp can wait for the next
        }
        // A hang-up may come without input; the read that follows finds out which.
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
            lastArrival_ = clock_.nowPrecise();
            woken = Woken::Input;
        }
    }
    return woken;
}

// Bytes that came after the wait ended and before the read would otherwise have no stamp. A
// request seen here stays in its eventfd for the next wait.
void Tcomm::noteArrivalsSinceTheWait() {
    if (epoll_ < 0 || watched_ < 0) return;
    epoll_event events[2];
    const timespec now{0, 0};
    const int ready = epoll_pwait2(epoll_, events, 2, &now, nullptr);
    for (int i = 0; i < ready; ++i)
        if (events[i].data.fd == watched_ && (events[i].events & EPOLLIN))
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

void Tcomm::signalRequest() {
    if (request_ < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t put = ::write(request_, &one, sizeof one);
}

void Tcomm::HoldReceiver() {
    ++holds_;
    receiverStop_.store(true);
    signalRequest();
    // Only a read in progress is waited for; sio_read returns at once, so this is short.
    while (insideRead_.load()) insideRead_.wait(true);
}

void Tcomm::ReleaseReceiver() {
    receiverStop_.store(false);
    signalRequest();
}

void Tcomm::requestTermination() {
    receiverStop_.store(true);
    terminationRequested_.store(true);
    signalRequest();
}

void Tcomm::join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace zrq
