// Processing of accepted frames: frame dumps, comparison with the PC clock, jump detection,
// correction of the PC clock and the acknowledgement that tells the device a correction happened.
#include "timecode/frame_processor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/date_patterns.h"
#include "timecode/clock_refusal.h"

namespace zrq {
namespace {

constexpr int kSecondsPerHour = 3600;
constexpr int kSecondsPerMinute = 60;
constexpr double kUsPerDay = 86'400'000'000.0;
constexpr int64_t kUsPerMs = 1'000;
constexpr int kMaxHour = 23;
constexpr int kMaxMinute = 59;
constexpr int kMaxSecond = 59;
// Date-time values count days in four-digit years; an ST_CODE century byte with a nibble above 9
// decodes to a year of 10000 or more, which names no moment that could be set.
constexpr int kLastSettableYear = 9999;
// The clock's local time record starts at 1601; an ST_CODE century byte can name earlier years.
constexpr int kFirstSettableYear = 1601;
constexpr int kMaxDumpBytes = kRingSize;  // a dump never shows more than the ring holds
constexpr uint8_t kAcknowledgement[] = {0x55, 0xAA};

// The fixed texts of the lines written here, converted to GBK once.
struct Texts {
    GbkText frameOpen = gbk("【");
    GbkText frameClose = gbk("】 ");
    GbkText timeJump = gbk("跳动发生！接收时间信息是：");
    GbkText pcTime = gbk("  当前机器时间是：");
    GbkText dateJump = gbk("跳动发生！接收日期信息是：");
    GbkText pcDate = gbk("  当前机器日期是：");
    GbkText threshold = gbk("  跳动设置是：");
    GbkText seconds = gbk("秒");
    GbkText setRefused = gbk("校时失败！系统拒绝设置时间：");
};

const Texts& texts() {
    static const Texts instance;
    return instance;
}

// Whole milliseconds, the nearest (halves away from zero).
int64_t roundedMs(int64_t us) {
    return us >= 0 ? (us + kUsPerMs / 2) / kUsPerMs : -((-us + kUsPerMs / 2) / kUsPerMs);
}

bool timeInRange(const DecodedTimeCode& code) {
    return code.hour <= kMaxHour && code.minute <= kMaxMinute && code.second <= kMaxSecond;
}

int secondsOfDay(int hour, int minute, int second) {
    return hour * kSecondsPerHour + minute * kSecondsPerMinute + second;
}

// "a<sep>b<sep>c" with plain decimal numbers, no leading zeros.
void appendTriple(GbkText& text, unsigned a, unsigned b, unsigned c, char separator) {
    char buffer[32];
    const int n = std::snprintf(buffer, sizeof buffer, "%u%c%u%c%u", a, separator, b, separator, c);
    text.appendAscii(std::string_view(buffer, n > 0 ? static_cast<size_t>(n) : 0));
}

void appendNumber(GbkText& text, unsigned value) {
    char buffer[16];
    const int n = std::snprintf(buffer, sizeof buffer, "%u", value);
    text.appendAscii(std::string_view(buffer, n > 0 ? static_cast<size_t>(n) : 0));
}

void appendThreshold(GbkText& text, unsigned thresholdSec) {
    text += texts().threshold;
    appendNumber(text, thresholdSec);
    text += texts().seconds;
}

// " AA 00 24 ...": each byte as a space and two upper-case hexadecimal digits.
std::string hexText(const RingStorage& ring, uint16_t start, int length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(static_cast<size_t>(length) * 3);
    for (int i = 0; i < length; ++i) {
        const uint8_t byte = ring[(start + i) % kRingSize];
        hex += ' ';
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

// Text of a refused set for the logs; the OS texts are ASCII, anything else is shown by number.
GbkText clockErrorText(int error) {
    const std::string reason = describeClockError(error);
    try {
        return GbkText::fromUtf8(reason);
    } catch (const EncodingError&) {
        GbkText text;
        text.appendAscii("error ");
        appendNumber(text, static_cast<unsigned>(error));
        return text;
    }
}

// The PC's date with the received date fields in place of it where the frame has them.
LocalTimeRecord withReceivedDate(LocalTimeRecord pc, const DecodedTimeCode& code) {
    if (code.year != 0) pc.year = code.year;
    if (code.month != 0) pc.month = code.month;
    if (code.day != 0) pc.day = code.day;
    return pc;
}

}  // namespace

FrameProcessor::FrameProcessor(const FrameProcessorContext& context)
    : ctx_(context), journal_(context.log) {
    texts();  // converted here, so that no frame pays for it
}

void FrameProcessor::beginChunk() {
    chunkArrival_ = arrivalStamp_ ? *arrivalStamp_ : ctx_.clock.nowPrecise();
    arrivalStamp_.reset();
    chunkArrivalTime_ =
        toDateTimeValue(chunkArrival_.local) + chunkArrival_.microseconds / kUsPerDay;
    clockStepsUs_ = 0;
    pcClockReading_ = ctx_.clock.now();
}

void FrameProcessor::frameDump(const RingStorage& ring, uint16_t start, int length) {
    const StatusState& status = ctx_.status;
    if (!status.MonitorActive && !status.CommLogEnabled) return;
    const GbkText hex =
        GbkText::fromBytes(hexText(ring, start % kRingSize, std::clamp(length, 0, kMaxDumpBytes)));

    // Appended with either flag: with only the communication log on, the monitor's list still
    // collects the frame lines while it is not observing.
    GbkText line = texts().frameOpen;
    line.appendAscii(formatDateTime(ctx_.clock.now()));
    line += texts().frameClose;
    line += hex;
    ctx_.monitor.appendLine(line);

    if (status.CommLogEnabled) ctx_.log.savelogline(kCommunicationLog, hex);
}

void FrameProcessor::processFrame(const DecodedTimeCode& code, uint16_t /*start*/) {
    StatusState& status = ctx_.status;
    status.SilentSeconds = 0;
    const bool momentMatch = isCorrectionMoment(code);
    const TimeVerdict time = compareTime(code);
    const LocalTimeRecord received = withReceivedDate(pcClockReading_, code);
    const DateVerdict date = compareDate(received);
    journal_.frameCompared(time == TimeVerdict::Jump || date != DateVerdict::Same);
    pcClockReading_ = received;
    sendChronySample(code);  // before a correction of this frame moves the clock

    bool scheduledCorrection = momentMatch;
    if (ctx_.settings.JumpNoCorrect && (time == TimeVerdict::Jump || date != DateVerdict::Same)) {
        scheduledCorrection = false;
    }
    // A date this far off is no use to anyone: the pending request is dropped too.
    if (date == DateVerdict::Unusable) {
        scheduledCorrection = false;
        status.CorrectNowRequested = false;
    }
    if (scheduledCorrection || status.CorrectNowRequested) correct(code);
}

bool FrameProcessor::isCorrectionMoment(const DecodedTimeCode& code) const {
    const ClockSettings& s = ctx_.settings;
    switch (s.CorrectionMode) {
        case CorrectionMode::EveryMinute:
            return code.second == s.CorrectionSecond;
        case CorrectionMode::EveryHour:
            return code.second == s.CorrectionSecond && code.minute == s.CorrectionMinute;
        case CorrectionMode::DailyPoints: {
            const int count = std::min<int>(s.DailyPointCount, kDailyPointSlots);
            for (int i = 0; i < count; ++i) {
                const TimeOfDay point = splitTimeOfDay(s.DailyPoints[i]);  // ms are ignored
                if (point.hour == code.hour && point.minute == code.minute &&
                    point.second == code.second) {
                    return true;
                }
            }
            return false;
        }
        default:
            return false;
    }
}

// Time of day only, no wrap at midnight: 23:59:59 against 00:00:00 is a whole day less a second.
FrameProcessor::TimeVerdict FrameProcessor::compareTime(const DecodedTimeCode& code) {
    const LocalTimeRecord& pc = pcClockReading_;
    const int difference = std::abs(secondsOfDay(pc.hour, pc.minute, pc.second) -
                                    secondsOfDay(code.hour, code.minute, code.second));
    if (difference <= ctx_.settings.JumpThresholdSec) {
        ctx_.status.JumpDetected = false;
        return TimeVerdict::Close;
    }
    if (ctx_.status.JumpLogEnabled) {
        GbkText text = texts().timeJump;
        appendTriple(text, code.hour, code.minute, code.second, ':');
        text += texts().pcTime;
        appendTriple(text, pc.hour, pc.minute, pc.second, ':');
        appendThreshold(text, ctx_.settings.JumpThresholdSec);
        ctx_.log.savelogline(kJumpLog, text);
        journal_.jumpEntry(text);
    }
    ctx_.status.JumpDetected = true;
    return TimeVerdict::Jump;
}

// The received date (the PC's where the frame has none) against a fresh reading of the PC's date.
FrameProcessor::DateVerdict FrameProcessor::compareDate(const LocalTimeRecord& received) {
    const LocalTimeRecord today = ctx_.clock.now();
    if (received.year == today.year && received.month == today.month && received.day == today.day) {
        return DateVerdict::Same;
    }
    StatusState& status = ctx_.status;
    if (status.JumpLogEnabled) {
        GbkText text = texts().dateJump;
        appendTriple(text, received.year, received.month, received.day, '-');
        text += texts().pcDate;
        appendTriple(text, today.year, today.month, today.day, '-');
        appendThreshold(text, ctx_.settings.JumpThresholdSec);
        ctx_.log.savelogline(kJumpLog, text);
        journal_.jumpEntry(text);
    }
    status.JumpDetected = true;
    // The year is not tested.
    const bool unusable =
        received.month < 1 || received.month > 12 || received.day < 1 || received.day > 31;
    return unusable ? DateVerdict::Unusable : DateVerdict::Differs;
}

// Sets the clock to the received second plus FineTuneMs plus the time spent since the chunk
// arrived: the frame is taken to have arrived FineTuneMs after the start of the second it names.
// The chunk arrived when the receiver saw its bytes come, so the wait for the next read is
// compensated too. Every attempt, made or refused, goes into the offset record.
//
// A frame whose date passed the range tests but does not exist (30 February, 31 April, 29 February
// of a common year), or whose year lies beyond 9999 (where a date-time value ends), gives no time
// to set: nothing is set or sent, both flags stay as the comparisons left them (a pending request
// waits for a usable frame) and reception goes on. A year before 1601, which the clock's record
// cannot hold, is a set the clock refuses: the same, but recorded like any refused set.
void FrameProcessor::correct(const DecodedTimeCode& code) {
    const LocalTimeRecord received = receivedTime(code);
    if (!timeInRange(code)) {
        recordAttempt({ctx_.clock.now(), received, std::nullopt, 0, "time out of range"});
        return;
    }

    const PreciseTime now = ctx_.clock.nowPrecise();
    if (received.year < kFirstSettableYear) {
        reportRefusedSet(EINVAL);
        char buffer[128];
        recordAttempt(
            {now.local, received, std::nullopt, 0, strerror_r(EINVAL, buffer, sizeof buffer)});
        return;
    }

    const int64_t elapsedUs = microsecondsBetween(chunkArrival_, now) - clockStepsUs_;
    // FineTuneMs is added here, so that a stored value above 999 still carries.
    const auto timeToSet =
        addMilliseconds(received, ctx_.settings.FineTuneMs + roundedMs(elapsedUs));
    if (!timeToSet || timeToSet->year > kLastSettableYear) {
        recordAttempt({now.local, received, std::nullopt, 0, "no such date"});
        return;
    }
    const int64_t offsetUs = offsetAtArrivalUs(received);

    if (const int error = ctx_.clock.set(*timeToSet); error != 0) {
        reportRefusedSet(error);
        char buffer[128];
        recordAttempt({now.local, received, offsetUs, 0, strerror_r(error, buffer, sizeof buffer)});
        return;
    }
    // The clock moved by the step just made; the chunk's arrival moves with it, so that a later
    // frame of this chunk adds only the time really spent, not the step as well.
    const int64_t stepUs = microsecondsBetween(now, PreciseTime{*timeToSet});
    clockStepsUs_ += stepUs;
    chunkArrivalTime_ += stepUs / kUsPerDay;
    pcClockReading_ = *timeToSet;

    ctx_.serial.sio_write(ctx_.line.Port, kAcknowledgement, sizeof kAcknowledgement);
    writeAcknowledgementLine();
    ctx_.status.CorrectNowRequested = false;
    ctx_.status.JumpDetected = false;
    ctx_.status.SetRefused = false;
    journal_.setMade();
    recordAttempt({now.local, received, offsetUs, stepUs, nullptr});
}

// The date of PcClockReading (the frame's where it has one), the frame's time of day, 0 ms.
LocalTimeRecord FrameProcessor::receivedTime(const DecodedTimeCode& code) const {
    LocalTimeRecord received = pcClockReading_;
    received.hour = code.hour;
    received.minute = code.minute;
    received.second = code.second;
    received.milliseconds = 0;
    return received;
}

// PC time at the chunk's arrival minus (received time + FineTuneMs), in microseconds, with the
// arrival in the terms of the clock as this chunk's corrections left it. Both are local times of
// the same zone at the same moment, so their difference is the offset, summer time or not. The
// received time must be a valid date and time.
int64_t FrameProcessor::offsetAtArrivalUs(const LocalTimeRecord& received) const {
    return microsecondsBetween(PreciseTime{received}, chunkArrival_) + clockStepsUs_ -
           int64_t{ctx_.settings.FineTuneMs} * kUsPerMs;
}

// chronyd takes the device's time as the true time: the sample says how far it is ahead of the
// system time at the chunk's arrival. Only a frame that names a real moment gives one.
void FrameProcessor::sendChronySample(const DecodedTimeCode& code) {
    if (!ctx_.chrony || !timeInRange(code)) return;
    const LocalTimeRecord received = receivedTime(code);
    if (received.year < kFirstSettableYear || received.year > kLastSettableYear ||
        !isValidDate(received.year, received.month, received.day)) {
        return;
    }
    PreciseTime measured = chunkArrival_;
    measured.systemUs += clockStepsUs_;
    ctx_.chrony->send(measured, -offsetAtArrivalUs(received));
}

void FrameProcessor::recordAttempt(const CorrectionAttempt& attempt) {
    if (ctx_.offsets) ctx_.offsets->write(attempt);
}

void FrameProcessor::writeAcknowledgementLine() {
    const StatusState& status = ctx_.status;
    if (!status.MonitorActive && !status.CommLogEnabled) return;
    GbkText line;
    line.appendAscii(formatHms(ctx_.clock.now())).appendAscii("[SENDING:] 55 AA ");
    if (status.MonitorActive) ctx_.monitor.appendLine(line);
    if (status.CommLogEnabled) ctx_.log.savelogline(kCommunicationLog, line);
}

// The device must not be told of a correction that did not happen: no acknowledgement, the flags
// stay, and the refusal is put where the user looks for trouble, the bar's lamp included.
void FrameProcessor::reportRefusedSet(int error) {
    StatusState& status = ctx_.status;
    status.SetRefused = true;
    status.SetRefusedMessage = refusedSetMessage(error);
    journal_.setRefused([error] { return texts().setRefused + clockErrorText(error); });
    if (!status.MonitorActive && !status.CommLogEnabled && !status.JumpLogEnabled) return;
    const GbkText reason = clockErrorText(error);
    if (status.MonitorActive || status.CommLogEnabled) {
        GbkText line;
        line.appendAscii(formatHms(ctx_.clock.now())).appendAscii("[SETTIME FAILED:] ");
        line += reason;
        if (status.MonitorActive) ctx_.monitor.appendLine(line);
        if (status.CommLogEnabled) ctx_.log.savelogline(kCommunicationLog, line);
    }
    if (status.JumpLogEnabled) ctx_.log.savelogline(kJumpLog, texts().setRefused + reason);
}

}  // namespace zrq
