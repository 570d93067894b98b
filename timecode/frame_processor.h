// What the received-data handler does with the frames it finds: the frame dump, the comparison
// with the PC clock, jump detection, the correction and the acknowledgement to the device.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/local_clock.h"
#include "base/local_time.h"
#include "serial/line_settings.h"
#include "serial/serial_library.h"
#include "store/clock_settings.h"
#include "store/event_log.h"
#include "timecode/chrony_sample.h"
#include "timecode/frame_sink.h"
#include "timecode/journal_changes.h"
#include "timecode/monitor_lines.h"
#include "timecode/offset_record.h"
#include "timecode/status_state.h"

namespace zrq {

// Who hears of the accepted frames and the correction attempts (made or refused); the defaults do
// nothing. Must not allocate per frame or attempt.
class FrameEvents {
public:
    virtual ~FrameEvents() = default;
    virtual void frameAccepted(const DecodedTimeCode& /*code*/) {}
    virtual void correctionAttempted(const CorrectionAttempt& /*attempt*/) {}
};

// Where the processing writes its lines and what it reads; all owned elsewhere (the clock engine).
struct FrameProcessorContext {
    LocalClock& clock;
    SerialLibrary& serial;
    const LineSettings& line;
    const ClockSettings& settings;
    StatusState& status;
    MonitorLines& monitor;
    EventLog& log;
    // The record of correction attempts and the samples for chronyd; none when null.
    OffsetRecord* offsets = nullptr;
    ChronySampleSender* chrony = nullptr;
    FrameEvents* events = nullptr;
};

class FrameProcessor final : public FrameSink {
public:
    explicit FrameProcessor(const FrameProcessorContext& context);

    // The receiver's stamp of when the next chunk's bytes arrived; without one (none given, or
    // empty) the chunk's first clock reading stands in, as late as the handler starts.
    void takeArrivalStamp(const std::optional<PreciseTime>& arrival) { arrivalStamp_ = arrival; }

    void beginChunk() override;
    void frameDump(const RingStorage& ring, uint16_t start, int length) override;
    void processFrame(const DecodedTimeCode& code, uint16_t start) override;

    // The chunk's clock reading, for tests. After a correction it is in the new clock's terms.
    const LocalTimeRecord& pcClockReading() const { return pcClockReading_; }

private:
    // What the time comparison found: within the threshold, or a jump.
    enum class TimeVerdict { Close, Jump };
    // What the date comparison found. An unusable date (month or day out of range) differs too.
    enum class DateVerdict { Same, Differs, Unusable };

    // What became of a correction due at a frame.
    enum class Attempt { Made, Refused, Waits };

    bool isCorrectionMoment(const DecodedTimeCode& code) const;
    TimeVerdict compareTime(const DecodedTimeCode& code);
    DateVerdict compareDate(const LocalTimeRecord& received);
    Attempt correct(const DecodedTimeCode& code, bool agrees);
    void writeAcknowledgementLine();
    void writeEventLine(std::string_view text);
    void writeEventLine(const GbkText& line);
    void writeStaleLine(const DecodedTimeCode& code, bool correctionWaits);
    void writeStepWaitsLine(int64_t stepUs);
    void reportRefusedSet(int error);
    void reportRefusal(const char* reason, int error, GbkText message);
    LocalTimeRecord receivedTime(const DecodedTimeCode& code) const;
    int64_t arrivalInstant() const;
    std::optional<int64_t> receivedInstant(const LocalTimeRecord& received);
    int64_t offsetAtArrivalUs(int64_t receivedUs) const;
    void sendChronySample(const DecodedTimeCode& code);
    void recordAttempt(const CorrectionAttempt& attempt);

    FrameProcessorContext ctx_;
    JournalChanges journal_;  // the jump log's changes of state for the system journal
    std::optional<PreciseTime> arrivalStamp_;
    PreciseTime chunkArrival_{};  // the same moment to the microsecond, for exact elapsed times
    int64_t clockStepsUs_ = 0;    // sum of the steps this chunk's corrections made, in us
    LocalTimeRecord pcClockReading_{};
    // The previous compared frame's second (days and seconds), to confirm a large step; none
    // after a damaged frame or one that named no moment.
    std::optional<int64_t> previousFrame_;
    // A scheduled correction that a stale or unconfirmed frame could not make: the next fresh
    // frame makes it.
    bool correctionHeld_ = false;
};

}  // namespace zrq
