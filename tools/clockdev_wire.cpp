// Sorting of the program's bytes into PC time frames, acknowledgements and unknown bytes.
#include "tools/clockdev_wire.h"

#include <algorithm>
#include <cstring>

namespace zrq::clockdev {
namespace {

constexpr uint8_t kPcTimeHead[] = {0xAA, 0xAA, 0x00};
constexpr uint8_t kPcTimeEnd = 0xA3;
constexpr uint8_t kAck[] = {0x55, 0xAA};

}  // namespace

void WireParser::feed(const uint8_t* data, int length, int64_t arrivalNs) {
    length = std::min(length, kMaxFeed);
    std::memcpy(bytes_.data() + length_, data, static_cast<size_t>(length));
    std::fill_n(arrivalNs_.begin() + length_, length, arrivalNs);
    length_ += length;
    process(false);
}

void WireParser::flushStalled(int64_t nowNs, bool force) {
    if (length_ > 0 && (force || nowNs >= stallDeadlineNs())) process(true);
}

WireParser::Classified WireParser::classify(int position) const {
    const uint8_t* at = bytes_.data() + position;
    const int available = length_ - position;
    if (at[0] == kAck[0]) {
        if (available < kAckLength) return {Match::NeedMore, WireEventKind::Ack, 0};
        if (at[1] == kAck[1]) return {Match::Complete, WireEventKind::Ack, kAckLength};
        return {Match::None, WireEventKind::Unknown, 0};
    }
    const int head = std::min(available, static_cast<int>(sizeof kPcTimeHead));
    if (std::memcmp(at, kPcTimeHead, static_cast<size_t>(head)) != 0) {
        return {Match::None, WireEventKind::Unknown, 0};
    }
    if (available < kPcTimeFrameLength) return {Match::NeedMore, WireEventKind::PcTime, 0};
    if (at[kPcTimeFrameLength - 1] != kPcTimeEnd) return {Match::None, WireEventKind::Unknown, 0};
    return {Match::Complete, WireEventKind::PcTime, kPcTimeFrameLength};
}

// Walks the buffer once: complete events are reported, bytes that start nothing collect into an
// unknown run, and a possible start of an event that lacks bytes stays for the next feed (unless
// `force`, when nothing more is expected for it).
void WireParser::process(bool force) {
    int position = 0;
    int unknownFrom = 0;
    while (position < length_) {
        const Classified found = classify(position);
        if (found.match == Match::NeedMore && !force) break;
        if (found.match != Match::Complete) {
            ++position;
            continue;
        }
        reportUnknown(unknownFrom, position);
        listener_.onWireEvent(
            {found.kind, arrivalNs_[position], bytes_.data() + position, found.length});
        position += found.length;
        unknownFrom = position;
    }
    reportUnknown(unknownFrom, position);
    const int rest = length_ - position;
    std::memmove(bytes_.data(), bytes_.data() + position, static_cast<size_t>(rest));
    std::memmove(arrivalNs_.data(), arrivalNs_.data() + position, sizeof(int64_t) * rest);
    length_ = rest;
}

void WireParser::reportUnknown(int from, int to) {
    if (to <= from) return;
    listener_.onWireEvent(
        {WireEventKind::Unknown, arrivalNs_[from], bytes_.data() + from, to - from});
}

}  // namespace zrq::clockdev
