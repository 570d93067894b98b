// What the received-data handler does with the frames it finds: the frame dump, the comparison
// with the PC clock, jump detection, the correction and the acknowledgement to the device.
#pragma once

#include <cstdint>

#include "base/date_time_value.h"
#include "base/local_clock.h"
#include "base/local_time.h"
#include "serial/line_settings.h"
#include "serial/serial_library.h"
#include "store/clock_settings.h"
#include "store/event_log.h"
#include "timecode/frame_sink.h"
#include "timecode/monitor_lines.h"
#include "timecode/status_state.h"

namespace zrq {

// Where the processing writes its lines and what it reads; all owned elsewhere (the main bar).
struct FrameProcessorContext {
    LocalClock& clock;
    SerialLibrary& serial;
    const LineSettings& line;
    const ClockSettings& settings;
    StatusState& status;
    MonitorLines& monitor;
    EventLog& log;
};

class FrameProcessor final : public FrameSink {
public:
    explicit FrameProcessor(const FrameProcessorContext& context);

    void beginChunk() override;
    void frameDump(const RingStorage& ring, uint16_t start, int length) override;
    void processFrame(const DecodedTimeCode& code, uint16_t start) override;

    // The chunk's readings, for tests.
    DateTimeValue chunkArrivalTime() const { return chunkArrivalTime_; }
    const LocalTimeRecord& pcClockReading() const { return pcClockReading_; }

private:
    FrameProcessorContext ctx_;
    DateTimeValue chunkArrivalTime_ = 0;
    LocalTimeRecord pcClockReading_{};
};

}  // namespace zrq
