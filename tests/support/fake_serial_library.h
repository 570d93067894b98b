// A serial library for tests: records every call in order, answers as configured per function and
// per port, plays queued input chunks and keeps the bytes written, like a port with a device on it.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "serial/serial_library.h"

namespace zrq {

enum class SerialCall {
    Open,
    Close,
    Flush,
    Ioctl,
    Flowctrl,
    Dtr,
    Rts,
    GetBaud,
    SetWriteTimeouts,
    Read,
    Write,
};
inline constexpr int kSerialCallKinds = static_cast<int>(SerialCall::Write) + 1;

inline const char* serialCallName(SerialCall call) {
    static constexpr const char* kNames[kSerialCallKinds] = {
        "sio_open",  "sio_close",    "sio_flush",
        "sio_ioctl", "sio_flowctrl", "sio_DTR",
        "sio_RTS",   "sio_getbaud",  "sio_SetWriteTimeouts",
        "sio_read",  "sio_write"};
    return kNames[static_cast<int>(call)];
}

// One call as the library saw it. Holds no heap memory, so recording a read allocates nothing.
struct SerialCallRecord {
    SerialCall call;
    int port;
    std::array<long, 2> args;  // the arguments after the port; for reads and writes the count
    int argCount;
    long result;  // what the call returned; 0 for the functions that return nothing

    // "sio_ioctl 1 10 3": the function, the port and the arguments after it, in decimal.
    std::string text() const {
        std::string out = serialCallName(call);
        out += ' ';
        out += std::to_string(port);
        for (int i = 0; i < argCount; ++i) {
            out += ' ';
            out += std::to_string(args[i]);
        }
        return out;
    }
};

class FakeSerialLibrary final : public SerialLibrary {
public:
    static constexpr int kPortCount = 256;                    // ports 0..255; others never open
    static constexpr size_t kCallCapacity = size_t{1} << 16;  // reads beyond it go unrecorded
    static constexpr int kNotOpen = 9;                        // EBADF: any call on a closed port
    static constexpr int kNoSuchPort = 2;                     // ENOENT: a port outside 0..255
    static constexpr int kPortBusy = 16;                      // EBUSY: opening a port already open
    static constexpr int kAcceptAll = INT_MAX;                // write result: every byte is taken

    FakeSerialLibrary() {
        calls_.reserve(kCallCapacity);
        defaults_.fill(0);
        defaults_[index(SerialCall::Write)] = kAcceptAll;
    }

    // --- Configuration. Results for Open, Ioctl, Flowctrl, Dtr, Rts are returned as given; for
    // Read the result is used when no chunk is queued (0 = nothing arrived); for Write it is the
    // number of bytes taken (negative: refused). Calls on a port that is not open always fail as
    // the real backend does, whatever is configured.

    void setResult(SerialCall call, int result) {
        std::lock_guard lock(mutex_);
        defaults_[index(call)] = result;
    }
    // For one port; wins over the result for every port.
    void setResult(SerialCall call, int port, int result) {
        std::lock_guard lock(mutex_);
        if (validPort(port)) ports_[port].results[index(call)] = result;
    }
    // Results for the next calls on this port, one per call, before the steady result applies
    // again (e.g. {2, 0}: the first open fails, the second opens).
    void queueResults(SerialCall call, int port, std::initializer_list<int> results) {
        std::lock_guard lock(mutex_);
        if (!validPort(port)) return;
        auto& queue = ports_[port].queued[index(call)];
        queue.values.insert(queue.values.end(), results.begin(), results.end());
    }
    // Makes sio_getbaud answer this rate instead of the one the last sio_ioctl set.
    void setBaud(int port, long bitsPerSecond) {
        std::lock_guard lock(mutex_);
        if (validPort(port)) ports_[port].baudOverride = bitsPerSecond;
    }
    // Bytes the device sends: each sio_read returns at most one chunk (split when it asks for
    // fewer bytes); chunks are never merged.
    void queueRead(int port, std::vector<uint8_t> bytes) {
        std::lock_guard lock(mutex_);
        if (validPort(port) && !bytes.empty()) ports_[port].input.push_back(std::move(bytes));
        changed();
    }
    // The line hangs up: once the queued input is read, every sio_read returns kReadHungUp until
    // the port is closed and opened again (queue Open results to keep the device away longer).
    void hangUp(int port) {
        std::lock_guard lock(mutex_);
        if (validPort(port)) ports_[port].hungUp = true;
        changed();
    }
    // Runs at the start of every sio_read, outside the lock (e.g. to block a reader inside the
    // call). Set it before a reader thread starts and leave it alone while one runs.
    void setReadHook(std::function<void(int port)> hook) { readHook_ = std::move(hook); }

    // --- Observation.

    std::vector<SerialCallRecord> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // The calls as text in order; reads (one every 10 ms from a receiver) only when asked for.
    std::vector<std::string> callTexts(bool withReads = false) const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> texts;
        for (const auto& record : calls_)
            if (withReads || record.call != SerialCall::Read) texts.push_back(record.text());
        return texts;
    }
    void clearCalls() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    // sio_read calls on this port, or on all ports for -1 (counted even when not recorded).
    long readCount(int port = -1) const {
        std::lock_guard lock(mutex_);
        if (port == -1) return totalReads_;
        return validPort(port) ? ports_[port].reads : 0;
    }
    size_t pendingChunks(int port) const {
        std::lock_guard lock(mutex_);
        return validPort(port) ? ports_[port].input.size() - ports_[port].nextChunk : 0;
    }
    bool isOpen(int port) const {
        std::lock_guard lock(mutex_);
        return validPort(port) && ports_[port].open;
    }
    // Every byte that sio_write took on this port, in order.
    std::vector<uint8_t> written(int port) const {
        std::lock_guard lock(mutex_);
        std::vector<uint8_t> all;
        if (!validPort(port)) return all;
        for (const auto& write : ports_[port].writes)
            all.insert(all.end(), write.begin(), write.end());
        return all;
    }
    // The bytes taken by each sio_write on this port, one entry per call.
    std::vector<std::vector<uint8_t>> writes(int port) const {
        std::lock_guard lock(mutex_);
        return validPort(port) ? ports_[port].writes : std::vector<std::vector<uint8_t>>{};
    }
    void clearWrites(int port) {
        std::lock_guard lock(mutex_);
        if (validPort(port)) ports_[port].writes.clear();
    }
    // The line as the last accepted calls left it; -1 when never set.
    int writeTimeoutMs(int port) const { return portField(port, &PortState::writeTimeoutMs); }
    int baudCode(int port) const { return portField(port, &PortState::baudCode); }
    int lineMode(int port) const { return portField(port, &PortState::mode); }
    int flowMask(int port) const { return portField(port, &PortState::flowMask); }
    int dtrLevel(int port) const { return portField(port, &PortState::dtr); }
    int rtsLevel(int port) const { return portField(port, &PortState::rts); }

    // Waits until the condition holds, re-testing it after every library call; false on time-out.
    // The condition may use the observers above.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock lock(mutex_);
        for (;;) {
            const uint64_t seen = generation_;
            lock.unlock();
            if (condition()) return true;
            lock.lock();
            if (!cv_.wait_until(lock, deadline, [&] { return generation_ != seen; })) return false;
        }
    }
    bool waitForReads(long count, std::chrono::milliseconds timeout) {
        return waitUntil([&] { return readCount() >= count; }, timeout);
    }

    // --- The library.

    int sio_open(int port) override {
        std::lock_guard lock(mutex_);
        int result = kNoSuchPort;
        if (validPort(port)) {
            result = nextResult(SerialCall::Open, port);
            if (result == 0 && ports_[port].open) result = kPortBusy;
            if (result == 0) openPort(port);
        }
        record(SerialCall::Open, port, {}, 0, result);
        return result;
    }
    void sio_close(int port) override {
        std::lock_guard lock(mutex_);
        if (validPort(port)) ports_[port].open = false;
        record(SerialCall::Close, port, {}, 0, 0);
    }
    void sio_flush(int port, int func) override {
        std::lock_guard lock(mutex_);
        record(SerialCall::Flush, port, {func, 0}, 1, 0);
    }
    int sio_ioctl(int port, int baudCode, int mode) override {
        std::lock_guard lock(mutex_);
        const int result = configuredOnOpenPort(SerialCall::Ioctl, port);
        if (result == 0) {
            ports_[port].baudCode = baudCode;
            ports_[port].mode = mode;
        }
        record(SerialCall::Ioctl, port, {baudCode, mode}, 2, result);
        return result;
    }
    int sio_flowctrl(int port, int mask) override {
        std::lock_guard lock(mutex_);
        const int result = configuredOnOpenPort(SerialCall::Flowctrl, port);
        if (result == 0) ports_[port].flowMask = mask;
        record(SerialCall::Flowctrl, port, {mask, 0}, 1, result);
        return result;
    }
    int sio_DTR(int port, int level) override {
        std::lock_guard lock(mutex_);
        const int result = configuredOnOpenPort(SerialCall::Dtr, port);
        if (result == 0) ports_[port].dtr = level;
        record(SerialCall::Dtr, port, {level, 0}, 1, result);
        return result;
    }
    int sio_RTS(int port, int level) override {
        std::lock_guard lock(mutex_);
        const int result = configuredOnOpenPort(SerialCall::Rts, port);
        if (result == 0) ports_[port].rts = level;
        record(SerialCall::Rts, port, {level, 0}, 1, result);
        return result;
    }
    long sio_getbaud(int port) override {
        std::lock_guard lock(mutex_);
        long rate = 0;
        if (openPortNumber(port)) {
            const PortState& state = ports_[port];
            if (state.baudOverride) {
                rate = *state.baudOverride;
            } else if (state.baudCode >= 0 && state.baudCode < 20) {
                rate = kBaudRates[state.baudCode];
            }
        }
        record(SerialCall::GetBaud, port, {}, 0, rate);
        return rate;
    }
    void sio_SetWriteTimeouts(int port, int timeoutMs) override {
        std::lock_guard lock(mutex_);
        if (openPortNumber(port)) ports_[port].writeTimeoutMs = timeoutMs;
        record(SerialCall::SetWriteTimeouts, port, {timeoutMs, 0}, 1, 0);
    }
    int sio_read(int port, uint8_t* buffer, int length) override {
        if (readHook_) readHook_(port);
        std::lock_guard lock(mutex_);
        ++totalReads_;
        int result = -kNotOpen;
        if (openPortNumber(port)) {
            ++ports_[port].reads;
            result = takeInput(ports_[port], buffer, std::min(length, kMaxChunk));
            if (result == 0)
                result = ports_[port].hungUp ? kReadHungUp : nextResult(SerialCall::Read, port);
        }
        record(SerialCall::Read, port, {length, 0}, 1, result);
        return result;
    }
    int sio_write(int port, const uint8_t* bytes, int length) override {
        std::lock_guard lock(mutex_);
        int result = -kNotOpen;
        if (openPortNumber(port)) {
            result = nextResult(SerialCall::Write, port);
            if (result >= 0) {
                result = std::min(result, std::max(length, 0));
                ports_[port].writes.emplace_back(bytes, bytes + result);
            }
        }
        record(SerialCall::Write, port, {length, 0}, 1, result);
        return result;
    }

private:
    struct ResultQueue {
        std::vector<int> values;
        size_t next = 0;  // consumed by moving on, so taking one frees nothing
    };
    struct PortState {
        bool open = false;
        bool hungUp = false;
        std::array<std::optional<int>, kSerialCallKinds> results{};
        std::array<ResultQueue, kSerialCallKinds> queued{};
        std::optional<long> baudOverride;
        int baudCode = -1, mode = -1, flowMask = -1, dtr = -1, rts = -1, writeTimeoutMs = -1;
        std::vector<std::vector<uint8_t>> input;
        size_t nextChunk = 0;    // first chunk not completely read
        size_t chunkOffset = 0;  // bytes of that chunk already read
        long reads = 0;
        std::vector<std::vector<uint8_t>> writes;
    };

    static int index(SerialCall call) { return static_cast<int>(call); }
    static bool validPort(int port) { return port >= 0 && port < kPortCount; }
    bool openPortNumber(int port) const { return validPort(port) && ports_[port].open; }

    void openPort(int port) {
        PortState& state = ports_[port];
        state.open = true;
        state.hungUp = false;
        state.baudCode = state.mode = state.flowMask = state.dtr = state.rts = -1;
        state.writeTimeoutMs = -1;
    }

    int nextResult(SerialCall call, int port) {
        PortState& state = ports_[port];
        ResultQueue& queue = state.queued[index(call)];
        if (queue.next < queue.values.size()) return queue.values[queue.next++];
        return state.results[index(call)].value_or(defaults_[index(call)]);
    }
    int configuredOnOpenPort(SerialCall call, int port) {
        return openPortNumber(port) ? nextResult(call, port) : kNotOpen;
    }

    static int takeInput(PortState& state, uint8_t* buffer, int length) {
        if (state.nextChunk >= state.input.size() || length <= 0) return 0;
        const std::vector<uint8_t>& chunk = state.input[state.nextChunk];
        const size_t count = std::min(chunk.size() - state.chunkOffset, size_t(length));
        std::memcpy(buffer, chunk.data() + state.chunkOffset, count);
        state.chunkOffset += count;
        if (state.chunkOffset == chunk.size()) {
            ++state.nextChunk;
            state.chunkOffset = 0;
        }
        return static_cast<int>(count);
    }

    int portField(int port, int PortState::*field) const {
        std::lock_guard lock(mutex_);
        return validPort(port) ? ports_[port].*field : -1;
    }

    // Reads record only while the reserved log has room, so they never allocate.
    void record(SerialCall call, int port, std::array<long, 2> args, int argCount, long result) {
        if (call != SerialCall::Read || calls_.size() < calls_.capacity())
            calls_.push_back({call, port, args, argCount, result});
        changed();
    }
    void changed() {
        ++generation_;
        cv_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t generation_ = 0;
    std::vector<SerialCallRecord> calls_;
    std::array<int, kSerialCallKinds> defaults_{};
    std::array<PortState, kPortCount> ports_{};
    long totalReads_ = 0;
    std::function<void(int)> readHook_;
};

}  // namespace zrq
