// Processing of accepted frames: frame dumps, comparison with the PC clock, jump detection,
// correction of the PC clock and the acknowledgement that tells the device a correction happened.
#include "timecode/frame_processor.h"
#include "base/time_units.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "base/date_patterns.h"
#include "base/local_instant.h"
#include "timecode/clock_refusal.h"

namespace zrq {
namespace {

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
// A received local time that the zone skips (the hour summer time begins with) names no instant.
constexpr const char* kNoSuchLocalTime = "no such local time";

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

// A refusal's reason for the logs, from UTF-8; the OS texts are ASCII, anything else is shown by
// the error number.
GbkText reasonText(const char* reason, int error) {
    try {
        return GbkText::fromUtf8(reason);
    } catch (const EncodingError&) {
        GbkText text;
        text.appendAscii("error ");
        appendNumber(text, static_cast<unsigned>(error));
        return text;
    }
}

// `record` with its date moved by `days`, the time of day as it was.
LocalTimeRecord withDateMoved(LocalTimeRecord record, int days) {
    LocalTimeRecord midday = record;
    midday.hour = 12;
    midday.minute = midday.second = midday.milliseconds = 0;
    const std::optional<int64_t> us = utcTimeToInstant(midday);
    if (!us) return record;
    const LocalTimeRecord moved = utcTimeOfInstant(*us + days * kUsPerDay);
    record.year = moved.year;
    record.month = moved.month;
    record.day = moved.day;
    record.dayOfWeek = moved.dayOfWeek;
    return record;
}

// The PC's date with the received date fields in place of it where the frame has them. A frame
// with no date at all takes the day that puts its time nearest the PC's: a PC a little ahead
// just after midnight keeps the frame's 23:59:59 on the day before, not a whole day on.
LocalTimeRecord withReceivedDate(LocalTimeRecord pc, const DecodedTimeCode& code) {
    if (code.year == 0 && code.month == 0 && code.day == 0) {
        if (!timeInRange(code)) return pc;
        const int ahead = secondsOfDay(code.hour, code.minute, code.second) -
                          secondsOfDay(pc.hour, pc.minute, pc.second);
        if (ahead > kSecondsPerDay / 2) return withDateMoved(pc, -1);
        if (ahead < -kSecondsPerDay / 2) return withDateMoved(pc, 1);
        return pc;
    }
    if (code.year != 0) pc.year = code.year;
    if (code.month != 0) pc.month = code.month;
    if (code.day != 0) pc.day = code.day;
    return pc;
}

// The received local date and time as a count of seconds, to see whether two frames name
// consecutive seconds; none for a time or date that names no moment.
std::optional<int64_t> secondsCount(const LocalTimeRecord& received, const DecodedTimeCode& code) {
    if (!timeInRange(code) || !isValidDate(received.year, received.month, received.day)) {
        return std::nullopt;
    }
    return daysFromCivil(received.year, received.month, received.day) * kSecondsPerDay +
           secondsOfDay(code.hour, code.minute, code.second);
}

// "+12.345678 s": a step in seconds to the microsecond.
void appendStep(GbkText& text, int64_t stepUs) {
    char buffer[48];
    const int64_t magnitude = stepUs < 0 ? -stepUs : stepUs;
    const int n = std::snprintf(buffer, sizeof buffer, "%c%lld.%06lld s", stepUs < 0 ? '-' : '+',
                                static_cast<long long>(magnitude / kUsPerSecond),
                                static_cast<long long>(magnitude % kUsPerSecond));
    text.appendAscii(std::string_view(buffer, n > 0 ? static_cast<size_t>(n) : 0));
}

void appendHms(GbkText& text, unsigned hour, unsigned minute, unsigned second) {
    char buffer[32];
    const int n = std::snprintf(buffer, sizeof buffer, "%02u:%02u:%02u", hour, minute, second);
    text.appendAscii(std::string_view(buffer, n > 0 ? static_cast<size_t>(n) : 0));
}

}  // namespace

FrameProcessor::FrameProcessor(const FrameProcessorContext& context)
    : ctx_(context), journal_(context.log) {
    texts();  // converted here, so that no frame pays for it
}

void FrameProcessor::beginChunk() {
    chunkArrival_ = arrivalStamp_ ? *arrivalStamp_ : ctx_.clock.nowPrecise();
    arrivalStamp_.reset();
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

// A damaged frame is shown as received and goes no further. Every other frame is compared; a
// correction due (scheduled, held from an earlier frame, or asked for) is made only from a fresh
// frame; a stale one holds it for the next fresh frame.
void FrameProcessor::processFrame(const DecodedTimeCode& code, uint16_t /*start*/) {
    if (ctx_.events) ctx_.events->frameAccepted(code);
    StatusState& status = ctx_.status;
    status.SilentSeconds = 0;
    if (code.damaged) {
        previousFrame_.reset();
        writeEventLine("[DAMAGED FRAME:] a BCD digit above 9; not compared, not used");
        return;
    }
    const bool momentMatch = isCorrectionMoment(code);
    const TimeVerdict time = compareTime(code);
    const LocalTimeRecord received = withReceivedDate(pcClockReading_, code);
    const DateVerdict date = compareDate(received);
    journal_.frameCompared(time == TimeVerdict::Jump || date != DateVerdict::Same);
    pcClockReading_ = received;
    const std::optional<int64_t> thisSecond = secondsCount(received, code);
    const bool agrees = thisSecond && previousFrame_ && *thisSecond == *previousFrame_ + 1;
    previousFrame_ = thisSecond;
    // A stale frame's offset from the read's stamp is off by the time it waited.
    if (!code.stale) sendChronySample(code);

    bool scheduledCorrection = momentMatch || correctionHeld_;
    if (ctx_.settings.JumpNoCorrect && (time == TimeVerdict::Jump || date != DateVerdict::Same)) {
        scheduledCorrection = false;
    }
    // A date this far off is no use to anyone: the pending request is dropped too.
    if (date == DateVerdict::Unusable) {
        scheduledCorrection = false;
        correctionHeld_ = false;
        status.CorrectNowRequested = false;
    }
    if (!scheduledCorrection && !status.CorrectNowRequested) {
        if (code.stale) writeStaleLine(code, false);
        return;
    }
    if (code.stale) {
        correctionHeld_ = scheduledCorrection;
        writeStaleLine(code, true);
        return;
    }
    // One attempt per correction due: made or refused, it is used up; a step that waits for a
    // confirming frame is not an attempt yet.
    if (correct(code, agrees) == Attempt::Waits) {
        correctionHeld_ = scheduledCorrection;
        return;
    }
    correctionHeld_ = false;
    status.CorrectNowRequested = false;
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
// compensated too. The target is an instant, to the microsecond: the received local time means
// the instant of the clock's zone nearest the PC's reading at arrival (the hour repeated when
// summer time ends has two). Every attempt, made or refused, goes into the offset record.
//
// A frame whose date names no day (30 February, a year beyond 9999) gives no time to set:
// nothing is set or sent, the attempt is recorded as refused and reception goes on.
// A year before 1601, which the clock's record cannot hold, a local time the zone skips (summer
// time beginning) and an instant the clock interface will not set (before 2020, from 2100 on) are
// sets refused: the same, but shown like any refused set. A step beyond the jump threshold waits
// (nothing recorded) until a frame follows the one before it by one second.
FrameProcessor::Attempt FrameProcessor::correct(const DecodedTimeCode& code, bool agrees) {
    // A frame that names no time of day (hour 25, second 60, bytes left in the ring by a format
    // switch) is no attempt: the correction waits for a frame that names one, unrecorded.
    if (!timeInRange(code)) return Attempt::Waits;
    const LocalTimeRecord received = receivedTime(code);

    const PreciseTime now = ctx_.clock.nowPrecise();
    char buffer[128];
    if (received.year < kFirstSettableYear) {
        reportRefusedSet(EINVAL);
        recordAttempt(
            {now.local, received, std::nullopt, 0, clockErrorText(EINVAL, buffer, sizeof buffer)});
        return Attempt::Refused;
    }
    if (received.year > kLastSettableYear ||
        !isValidDate(received.year, received.month, received.day)) {
        recordAttempt({now.local, received, std::nullopt, 0, "no such date"});
        return Attempt::Refused;
    }
    const std::optional<int64_t> receivedUs = receivedInstant(received);
    if (!receivedUs) {
        reportRefusal(kNoSuchLocalTime, 0, refusedSetMessage(kNoSuchLocalTime));
        recordAttempt({now.local, received, std::nullopt, 0, kNoSuchLocalTime});
        return Attempt::Refused;
    }

    const int64_t offsetUs = offsetAtArrivalUs(*receivedUs);
    // The received second plus FineTuneMs, plus the time really spent since arrival: the
    // chunk's earlier corrections moved the arrival too, so they are not counted as time spent.
    const int64_t elapsedUs = now.systemUs - arrivalInstant();
    const int64_t targetUs = *receivedUs + int64_t{ctx_.settings.FineTuneMs} * kUsPerMs + elapsedUs;
    if (!isSettableInstant(targetUs)) {  // no confirming frame could make it settable
        reportRefusedSet(ERANGE);
        recordAttempt(
            {now.local, received, offsetUs, 0, clockErrorText(ERANGE, buffer, sizeof buffer)});
        return Attempt::Refused;
    }
    // One damaged frame must never move the clock far: a step beyond the jump threshold needs
    // this frame to follow the one before it by one second.
    const int64_t stepUs = targetUs - now.systemUs;
    const int64_t thresholdUs = int64_t{ctx_.settings.JumpThresholdSec} * kUsPerSecond;
    if ((stepUs > thresholdUs || stepUs < -thresholdUs) && !agrees) {
        writeStepWaitsLine(stepUs);
        return Attempt::Waits;
    }
    // The set carries the reading the target was computed from: however late it is applied,
    // the time elapsed since is added, never a stale instant set.
    if (const int error = ctx_.clock.setInstant(targetUs, now); error != 0) {
        reportRefusedSet(error);
        recordAttempt(
            {now.local, received, offsetUs, 0, clockErrorText(error, buffer, sizeof buffer)});
        return Attempt::Refused;
    }
    // The clock moved by the step just made; the chunk's arrival moves with it.
    clockStepsUs_ += stepUs;
    pcClockReading_ = ctx_.clock.localTimeAt(targetUs);

    ctx_.serial.sio_write(ctx_.line.Port, kAcknowledgement, sizeof kAcknowledgement);
    writeAcknowledgementLine();
    ctx_.status.JumpDetected = false;
    ctx_.status.SetRefused = false;
    journal_.setMade();
    recordAttempt({now.local, received, offsetUs, stepUs, nullptr});
    return Attempt::Made;
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

// The PC clock's reading at the chunk's arrival, as an instant in the terms of the clock as this
// chunk's corrections left it.
int64_t FrameProcessor::arrivalInstant() const { return chunkArrival_.systemUs + clockStepsUs_; }

// The instant a received local time names, nearest the PC's reading at arrival; none when the
// zone skips that local time.
std::optional<int64_t> FrameProcessor::receivedInstant(const LocalTimeRecord& received) {
    return ctx_.clock.instantOf(received, arrivalInstant());
}

// PC time at the chunk's arrival minus (received instant + FineTuneMs), in microseconds: how far
// the PC was ahead (+) or behind (-), summer time or not.
int64_t FrameProcessor::offsetAtArrivalUs(int64_t receivedUs) const {
    return arrivalInstant() - receivedUs - int64_t{ctx_.settings.FineTuneMs} * kUsPerMs;
}

// chronyd takes the device's time as the true time: the sample says how far it is ahead of the
// system time at the chunk's arrival. Only a frame that names a settable moment gives one.
void FrameProcessor::sendChronySample(const DecodedTimeCode& code) {
    if (!ctx_.chrony || !timeInRange(code)) return;
    const LocalTimeRecord received = receivedTime(code);
    if (received.year < kFirstSettableYear || received.year > kLastSettableYear ||
        !isValidDate(received.year, received.month, received.day)) {
        return;
    }
    const std::optional<int64_t> receivedUs = receivedInstant(received);
    if (!receivedUs || !isSettableInstant(*receivedUs)) return;
    PreciseTime measured = chunkArrival_;
    measured.systemUs = arrivalInstant();
    ctx_.chrony->send(measured, -offsetAtArrivalUs(*receivedUs));
}

void FrameProcessor::recordAttempt(const CorrectionAttempt& attempt) {
    if (ctx_.events) ctx_.events->correctionAttempted(attempt);
    if (ctx_.offsets) ctx_.offsets->write(attempt);
}

// "hh:mm:ss<text>" on the monitor (when observing) and in the communication log (when on).
void FrameProcessor::writeEventLine(std::string_view text) {
    const StatusState& status = ctx_.status;
    if (!status.MonitorActive && !status.CommLogEnabled) return;
    GbkText line;
    line.appendAscii(formatHms(ctx_.clock.now())).appendAscii(text);
    writeEventLine(line);
}

void FrameProcessor::writeEventLine(const GbkText& line) {
    const StatusState& status = ctx_.status;
    if (status.MonitorActive) ctx_.monitor.appendLine(line);
    if (status.CommLogEnabled) ctx_.log.savelogline(kCommunicationLog, line);
}

// A step that waits for a frame to confirm the one it was computed from.
void FrameProcessor::writeStepWaitsLine(int64_t stepUs) {
    const StatusState& status = ctx_.status;
    if (!status.MonitorActive && !status.CommLogEnabled) return;
    GbkText line;
    line.appendAscii(formatHms(ctx_.clock.now())).appendAscii("[STEP WAITS:] ");
    appendStep(line, stepUs);
    line.appendAscii(" waits for the next frame to confirm this one");
    writeEventLine(line);
}

// What a stall did: a frame that waited in the line is compared but does not correct.
void FrameProcessor::writeStaleLine(const DecodedTimeCode& code, bool correctionWaits) {
    const StatusState& status = ctx_.status;
    if (!status.MonitorActive && !status.CommLogEnabled) return;
    GbkText line;
    line.appendAscii(formatHms(ctx_.clock.now())).appendAscii("[STALE FRAME:] ");
    appendHms(line, code.hour, code.minute, code.second);
    line.appendAscii(correctionWaits ? " waited in the line; the correction waits for a fresh frame"
                                     : " waited in the line; not used to correct");
    writeEventLine(line);
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
    char buffer[128];
    reportRefusal(clockErrorText(error, buffer, sizeof buffer), error, refusedSetMessage(error));
}

// `reason` is UTF-8 (`error` names it where it does not convert); `message` is the bar's text.
void FrameProcessor::reportRefusal(const char* reason, int error, GbkText message) {
    StatusState& status = ctx_.status;
    status.SetRefused = true;
    status.SetRefusedMessage = std::move(message);
    journal_.setRefused([reason, error] { return texts().setRefused + reasonText(reason, error); });
    if (!status.MonitorActive && !status.CommLogEnabled && !status.JumpLogEnabled) return;
    const GbkText reasonGbk = reasonText(reason, error);
    if (status.MonitorActive || status.CommLogEnabled) {
        GbkText line;
        line.appendAscii(formatHms(ctx_.clock.now())).appendAscii("[SETTIME FAILED:] ");
        line += reasonGbk;
        if (status.MonitorActive) ctx_.monitor.appendLine(line);
        if (status.CommLogEnabled) ctx_.log.savelogline(kCommunicationLog, line);
    }
    if (status.JumpLogEnabled) ctx_.log.savelogline(kJumpLog, texts().setRefused + reasonGbk);
}

}  // namespace zrq
