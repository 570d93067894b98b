// Sorting the bytes the program sends to the device into PC time frames, acknowledgements and
// bytes that fit neither, however the reads split them.
#pragma once

#include <array>
#include <cstdint>

namespace zrq::clockdev {

constexpr int kPcTimeFrameLength = 12;  // AA AA 00 yy mm dd hh nn ss ms/100 ms%100 A3
constexpr int kAckLength = 2;           // 55 AA

enum class WireEventKind { PcTime, Ack, Unknown };

struct WireEvent {
    WireEventKind kind;
    int64_t arrivalNs;  // device clock when the event's first byte arrived
    const uint8_t* bytes;
    int length;
};

class WireListener {
public:
    virtual ~WireListener() = default;
    virtual void onWireEvent(const WireEvent& event) = 0;
};

class WireParser {
public:
    static constexpr int kMaxFeed = 4096;
    // A started frame that stays incomplete this long is given up: its bytes are reported unknown.
    static constexpr int64_t kStallNs = 200'000'000;

    explicit WireParser(WireListener& listener) : listener_(listener) {}

    // Takes up to kMaxFeed bytes that arrived at `arrivalNs` and reports every event they
    // complete. Unknown bytes of one feed are reported together, as one event.
    void feed(const uint8_t* data, int length, int64_t arrivalNs);
    // Reports a started frame as unknown once it has waited kStallNs (or at once with `force`,
    // when the peer has gone).
    void flushStalled(int64_t nowNs, bool force);
    // Device clock when flushStalled will next have work, or -1 when nothing is waiting.
    int64_t stallDeadlineNs() const { return length_ ? arrivalNs_[0] + kStallNs : -1; }

private:
    enum class Match { Complete, NeedMore, None };
    struct Classified {
        Match match;
        WireEventKind kind;
        int length;
    };
    Classified classify(int position) const;
    void process(bool force);
    void reportUnknown(int from, int to);

    static constexpr int kCapacity = kMaxFeed + kPcTimeFrameLength;

    WireListener& listener_;
    std::array<uint8_t, kCapacity> bytes_{};
    std::array<int64_t, kCapacity> arrivalNs_{};
    int length_ = 0;
};

}  // namespace zrq::clockdev
