// The receiver Tcomm: a thread that polls the serial port every 10 ms and hands every non-empty
// chunk to the received-data handler on the user-interface thread, waiting until it has run.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <thread>

#include "base/local_clock.h"
#include "serial/ring_storage.h"
#include "serial/serial_library.h"

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

    // `clock` stamps arrivals on the receiver thread, so it must be safe to read from there.
    Tcomm(SerialLibrary& serial, LocalClock& clock, const std::atomic<int32_t>& port,
          HandOff handOff);
    ~Tcomm();  // requests termination and joins

    Tcomm(const Tcomm&) = delete;
    Tcomm& operator=(const Tcomm&) = delete;

    // Starts the loop; asks for time-critical (real-time) priority and runs on quietly without it.
    void start();
    // Sets ReceiverStop and returns once the receiver is not inside sio_read; a receiver waiting in
    // a hand-off counts as held at once. Holds are not counted.
    void HoldReceiver() override;
    // Clears ReceiverStop: one release ends any number of holds.
    void ReleaseReceiver() override;
    // Sets ReceiverStop and asks the loop to end at its next pass; does not wait.
    void requestTermination();
    // Waits for the loop to end. Call only when no hand-off can be left waiting for this thread.
    void join();

    bool receiverStop() const { return receiverStop_.load(); }
    bool running() const { return thread_.joinable(); }
    // True when the real-time priority was granted.
    bool timeCritical() const { return timeCritical_.load(); }

    // Written by the receiver before a hand-off, read by the handler while the receiver waits.
    std::array<uint8_t, kMaxChunk> ChunkBuffer{};
    int32_t ChunkLength = 0;
    // The ring's storage; its indices belong to the main bar.
    RingStorage ring{};

private:
    void Execute();
    void waitWatchingPort();
    void noteArrivalsSinceTheWait();
    void watchPort(int descriptor);

    SerialLibrary& serial_;
    LocalClock& clock_;
    const std::atomic<int32_t>& port_;
    HandOff handOff_;
    std::atomic<bool> receiverStop_{false};
    std::atomic<bool> terminationRequested_{false};
    std::atomic<bool> insideRead_{false};
    std::atomic<bool> timeCritical_{false};
    // Receiver thread only: the epoll set that watches the port, the descriptor in it, and the
    // last arrival seen since the previous read.
    int epoll_ = -1;
    int watched_ = -1;
    std::optional<PreciseTime> lastArrival_;
    std::thread thread_;
};

}  // namespace zrq
