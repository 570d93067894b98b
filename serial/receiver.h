// The receiver Tcomm: a thread that reads the serial port at most every 10 ms and hands every
// non-empty chunk to the received-data handler on the user-interface thread, waiting until it has
// run. While the line is silent it sleeps until bytes arrive or it is held, released or stopped.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <thread>

#include "base/local_clock.h"
#include "serial/ring_storage.h"
#include "serial/serial_library.h"

struct epoll_event;

namespace zrq {

// One chunk as the receiver hands it to the received-data handler; valid during the hand-off.
struct ReceivedChunk {
    std::span<const uint8_t> bytes;  // ChunkBuffer, ChunkLength bytes
    RingStorage& ring;               // the ring's storage, held by the receiver object
    // When bytes last arrived on the port before the read; empty when the port could not be
    // watched (a library without descriptors) or nothing new arrived since the previous read.
    std::optional<PreciseTime> arrival;
};

// Pausing and resuming reception around a switch of port, rate or format.
class ReceiverControl {
public:
    virtual ~ReceiverControl() = default;
    virtual void HoldReceiver() = 0;
    virtual void ReleaseReceiver() = 0;
};

class Tcomm final : public ReceiverControl {
public:
    // Runs the received-data handler for the chunk on the user-interface thread and returns when
    // it has finished (or when the call was discarded at shutdown). Must not allocate per call.
    using HandOff = std::function<void(const ReceivedChunk&)>;
    // Told, on the receiver thread, that the line of `port` hung up; called once per hang-up.
    // Reading then stops until the receiver is held (to close and reopen the port) and released.
    using LineLost = std::function<void(int port)>;

    // `clock` stamps arrivals on the receiver thread, so it must be safe to read from there.
    Tcomm(SerialLibrary& serial, LocalClock& clock, const std::atomic<int32_t>& port,
          HandOff handOff);
    ~Tcomm();  // requests termination and joins

    Tcomm(const Tcomm&) = delete;
    Tcomm& operator=(const Tcomm&) = delete;

    // Set before start().
    void setLineLostHandler(LineLost lineLost) { lineLost_ = std::move(lineLost); }

    // Starts the loop; asks for time-critical (real-time) priority and runs on quietly without it.
    void start();
    // Sets ReceiverStop and returns once the receiver is not inside sio_read; a receiver waiting in
    // a hand-off counts as held at once. Holds are not counted. Wakes a sleeping receiver.
    void HoldReceiver() override;
    // Clears ReceiverStop: one release ends any number of holds. Wakes a sleeping receiver.
    void ReleaseReceiver() override;
    // Sets ReceiverStop and asks the loop to end at once; does not wait.
    void requestTermination();
    // Waits for the loop to end. Call only when no hand-off can be left waiting for this thread.
    void join();

    bool receiverStop() const { return receiverStop_.load(); }
    bool running() const { return thread_.joinable(); }
    // True when the real-time priority was granted.
    bool timeCritical() const { return timeCritical_.load(); }
    // Times the receiver's waits have ended so far (timeouts, arrivals, requests): what the line's
    // silence costs.
    long wakeUps() const { return wakeUps_.load(); }

    // Written by the receiver before a hand-off, read by the handler while the receiver waits.
    std::array<uint8_t, kMaxChunk> ChunkBuffer{};
    int32_t ChunkLength = 0;
    // The ring's storage; its indices belong to the clock engine.
    RingStorage ring{};

private:
    enum class Woken { Due, Input, Request };
    void Execute();
    int readOnce();
    Woken wait(const std::chrono::steady_clock::time_point* until, bool endOnInput);
    Woken takeEvents(const epoll_event* events, int count);
    void noteArrivalsSinceTheWait();
    bool waitingForReopen() const;
    void lineHungUp();
    void watchPort(int descriptor);
    void signalRequest();

    SerialLibrary& serial_;
    LocalClock& clock_;
    const std::atomic<int32_t>& port_;
    HandOff handOff_;
    LineLost lineLost_;
    std::atomic<bool> receiverStop_{false};
    std::atomic<bool> terminationRequested_{false};
    std::atomic<bool> insideRead_{false};
    std::atomic<bool> timeCritical_{false};
    std::atomic<long> wakeUps_{0};
    std::atomic<long> holds_{0};  // holds so far: a hold is how a hung-up port gets reopened
    // The epoll set the receiver waits in, and the eventfd in it by which a hold, release or
    // stop wakes the receiver (written from the user-interface thread).
    int epoll_ = -1;
    int request_ = -1;
    // Receiver thread only: the port's descriptor in the set, the last arrival seen since the
    // previous read, and whether the port can be left until it signals input.
    int watched_ = -1;
    std::optional<PreciseTime> lastArrival_;
    bool portSignalsInput_ = false;
    // The holds count when the line hung up; reading waits for a later hold. Empty: not hung up.
    std::optional<long> hungUpAtHold_;
    long holdsAtRead_ = 0;
    std::thread thread_;
};

}  // namespace zrq
