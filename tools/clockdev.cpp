// clockdev: a simulated clock device. Sends time code frames once a second on a pseudo-terminal
// or a serial port and reports, one line per event, what the program on the other end sends.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "tools/clockdev_frames.h"
#include "tools/clockdev_options.h"
#include "tools/clockdev_port.h"
#include "tools/clockdev_wire.h"

namespace zrq::clockdev {
namespace {

// While no program holds the pseudo-terminal, how often to look whether one has opened it.
constexpr int64_t kPeerCheckNs = 5 * kNsPerMs;
// Longest single wait, so that end conditions and clock-file changes are seen in time.
constexpr int64_t kMaxWaitNs = 250 * kNsPerMs;
// Noise goes halfway between two frames, so that it reaches the program as a chunk of its own.
constexpr int64_t kNoiseDelayNs = 500 * kNsPerMs;
// A clock step back by more than this restarts the schedule at the new time.
constexpr int64_t kBackStepNs = 2 * kNsPerSecond;
constexpr uint8_t kSync = 0xAA;

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int signal) { stopSignal = signal; }

int64_t floorDiv(int64_t value, int64_t divisor) {
    const int64_t quotient = value / divisor;
    return (value % divisor < 0) ? quotient - 1 : quotient;
}

// One output line, built in a fixed buffer and written whole.
class Line {
public:
    explicit Line(const char* event) { append("%s", event); }
    Line& time(const char* key, int64_t ns) {
        const int64_t ms = floorDiv(ns, kNsPerMs);
        const int64_t seconds = floorDiv(ms, 1000);
        append(" %s=%lld.%03d", key, static_cast<long long>(seconds),
               static_cast<int>(ms - seconds * 1000));
        return *this;
    }
    Line& field(const char* key, const char* value) {
        append(" %s=%s", key, value);
        return *this;
    }
    Line& number(const char* key, long long value) {
        append(" %s=%lld", key, value);
        return *this;
    }
    // Bytes come last on a line: the value holds spaces.
    Line& hex(const uint8_t* bytes, int count) {
        append(" bytes=");
        for (int i = 0; i < count; ++i) append(i ? " %02X" : "%02X", bytes[i]);
        return *this;
    }
    void print() {
        buffer_[length_] = '\n';
        std::fwrite(buffer_, 1, length_ + 1, stdout);
    }

private:
    __attribute__((format(printf, 2, 3))) void append(const char* format, ...) {
        va_list arguments;
        va_start(arguments, format);
        const size_t room = sizeof buffer_ - 1 - length_;  // one byte kept for the line end
        const int wanted = std::vsnprintf(buffer_ + length_, room + 1, format, arguments);
        va_end(arguments);
        if (wanted > 0) length_ += std::min(static_cast<size_t>(wanted), room);
    }
    char buffer_[16384];
    size_t length_ = 0;
};

// Local broken-down time of a device-clock second.
std::tm localTime(int64_t second) {
    const std::time_t t = static_cast<std::time_t>(second);
    std::tm broken{};
    localtime_r(&t, &broken);
    return broken;
}

// BCD byte as the program means it; `valid` is cleared for a nibble above 9.
int fromBcd(uint8_t byte, bool& valid) {
    if ((byte >> 4) > 9 || (byte & 0x0F) > 9) valid = false;
    return (byte >> 4) * 10 + (byte & 0x0F);
}

// The decoded content of a PC time frame AA AA 00 yy mm dd hh nn ss ms/100 ms%100 A3.
struct PcTime {
    int year, month, day, hour, minute, second, ms;
    bool valid;
};

PcTime decodePcTime(const uint8_t* b) {
    PcTime t{};
    t.valid = true;
    t.year = 2000 + fromBcd(b[3], t.valid);
    t.month = fromBcd(b[4], t.valid);
    t.day = fromBcd(b[5], t.valid);
    t.hour = fromBcd(b[6], t.valid);
    t.minute = fromBcd(b[7], t.valid);
    t.second = fromBcd(b[8], t.valid);
    if (b[9] > 9) t.valid = false;
    t.ms = b[9] * 100 + fromBcd(b[10], t.valid);
    t.valid = t.valid && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 &&
              t.hour <= 23 && t.minute <= 59 && t.second <= 59;
    return t;
}

// Milliseconds since 1970 of a valid PC time read as local time. In the hour that occurs twice
// when summer time ends, the pass nearer `nearMs` (the frame's arrival): mktime is asked for
// each pass, and a pass that does not read back as the same time is no pass at all.
int64_t localToUnixMs(const PcTime& t, int64_t nearMs) {
    int64_t best = 0;
    bool found = false;
    for (const int isDst : {-1, 0, 1}) {
        std::tm broken{};
        broken.tm_year = t.year - 1900;
        broken.tm_mon = t.month - 1;
        broken.tm_mday = t.day;
        broken.tm_hour = t.hour;
        broken.tm_min = t.minute;
        broken.tm_sec = t.second;
        broken.tm_isdst = isDst;
        const int64_t ms = static_cast<int64_t>(std::mktime(&broken)) * 1000 + t.ms;
        const bool same = broken.tm_mday == t.day && broken.tm_hour == t.hour &&
                          broken.tm_min == t.minute && broken.tm_sec == t.second;
        if (!found || (same && std::llabs(ms - nearMs) < std::llabs(best - nearMs))) {
            best = ms;  // the guess of -1 stands when no pass reads back (a skipped hour)
            found = true;
        }
    }
    return best;
}

// Random bytes for the gaps between frames: xorshift32, the same stream for the same seed.
class Noise {
public:
    explicit Noise(uint32_t seed) : state_(seed ? seed : 0x9E3779B9u) {}
    // Any byte but the sync byte, so noise never starts a frame of its own.
    uint8_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        const int value = static_cast<int>(state_ % 255);
        return static_cast<uint8_t>(value >= kSync ? value + 1 : value);
    }

private:
    uint32_t state_;
};

class Simulator final : public WireListener {
public:
    Simulator(const Options& options, DevicePort& port, DeviceClock& clock)
        : options_(options), port_(port), clock_(clock), parser_(*this), noise_(options.seed) {}

    int run();
    void onWireEvent(const WireEvent& event) override;

private:
    int64_t dueNs(int64_t second) const {
        return second * kNsPerSecond + options_.delayMs * kNsPerMs;
    }
    int64_t firstSecondDueAfter(int64_t now) const {
        return floorDiv(now - options_.delayMs * kNsPerMs, kNsPerSecond) + 1;
    }
    const char* endReason(int64_t now) const;
    void scheduleFrames(int64_t now);
    void startFrame(int64_t second, int64_t now);
    void sendNextPiece(int64_t now);
    void sendNoise(int64_t now);
    void watchPeer(int64_t now);
    int64_t waitNs(int64_t now) const;
    void wait(int64_t now);
    void readInput(int64_t arrival);
    void onHangup(int64_t now);
    void printReady(int64_t now);

    const Options& options_;
    DevicePort& port_;
    DeviceClock& clock_;
    WireParser parser_;
    Noise noise_;
    bool peer_ = false;
    bool lineFailed_ = false;
    int64_t endMonotonicNs_ = 0;
    int64_t nextSecond_ = 0;
    int64_t framesSent_ = 0;
    // The frame being sent in pieces, if any.
    Frame frame_;
    std::tm frameTime_{};
    int piecesSent_ = 0;  // 0 = no frame in flight
    int64_t frameStartNs_ = 0;
    int64_t nextPieceNs_ = 0;
    int64_t noiseDueNs_ = -1;
    std::array<uint8_t, WireParser::kMaxFeed> readBuffer_{};
    std::array<uint8_t, 1000> noiseBuffer_{};
};

int Simulator::run() {
    const int64_t start = clock_.nowNs();
    endMonotonicNs_ = options_.durationMs ? monotonicNs() + *options_.durationMs * kNsPerMs : 0;
    nextSecond_ = firstSecondDueAfter(start);
    peer_ = port_.peerPresent();
    printReady(start);
    for (;;) {
        const int64_t now = clock_.nowNs();
        if (const char* reason = endReason(now)) {
            Line("end")
                .time("t", now)
                .field("reason", reason)
                .number("frames", framesSent_)
                .print();
            return lineFailed_ ? 1 : 0;
        }
        watchPeer(now);
        if (piecesSent_ && now >= nextPieceNs_) sendNextPiece(now);
        if (noiseDueNs_ >= 0 && now >= noiseDueNs_) sendNoise(now);
        scheduleFrames(now);
        parser_.flushStalled(now, false);
        wait(now);
    }
}

const char* Simulator::endReason(int64_t now) const {
    if (stopSignal) return "signal";
    if (lineFailed_) return "hangup";
    if (endMonotonicNs_ && monotonicNs() >= endMonotonicNs_) return "duration";
    const bool frameDue = !piecesSent_ && now >= dueNs(nextSecond_);
    if (options_.count && framesSent_ >= *options_.count && frameDue) return "count";
    return nullptr;
}

void Simulator::scheduleFrames(int64_t now) {
    if (options_.listenOnly || piecesSent_) return;
    if (dueNs(nextSecond_) - now > kBackStepNs) nextSecond_ = firstSecondDueAfter(now);
    if (now < dueNs(nextSecond_)) return;
    // The latest second whose moment has come; after a stall or a clock step forward the
    // seconds in between are skipped rather than sent late in a burst.
    const int64_t second = firstSecondDueAfter(now) - 1;
    nextSecond_ = second + 1;
    if (peer_) startFrame(second, now);
}

void Simulator::startFrame(int64_t second, int64_t now) {
    frameTime_ = localTime(second + options_.offsetSeconds);
    frame_ = buildFrame(options_.format, frameTime_, options_.noDate);
    for (const FieldOverride& field : options_.fields) frame_.bytes[field.index] = field.value;
    frameStartNs_ = now;
    nextPieceNs_ = now;
    piecesSent_ = 0;
    sendNextPiece(now);
}

void Simulator::sendNextPiece(int64_t now) {
    const int pieces = static_cast<int>(options_.splits.size()) + 1;
    const int from = piecesSent_ == 0 ? 0 : options_.splits[piecesSent_ - 1];
    const int to = piecesSent_ + 1 < pieces ? options_.splits[piecesSent_] : frame_.length;
    if (!port_.writeAll(frame_.bytes.data() + from, to - from)) {
        Line("unsent")
            .time("t", now)
            .field("reason", std::strerror(errno ? errno : EAGAIN))
            .hex(frame_.bytes.data(), frame_.length)
            .print();
        piecesSent_ = 0;
        return;
    }
    if (++piecesSent_ < pieces) {
        nextPieceNs_ = now + options_.splitGapMs * kNsPerMs;
        return;
    }
    piecesSent_ = 0;
    ++framesSent_;
    if (options_.noiseBytes > 0) noiseDueNs_ = frameStartNs_ + kNoiseDelayNs;
    if (options_.quiet) return;
    char date[16];
    char time[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &frameTime_);
    std::strftime(time, sizeof time, "%H:%M:%S", &frameTime_);
    Line("sent")
        .time("t", frameStartNs_)
        .field("fmt", formatName(options_.format))
        .field("date", date)
        .field("time", time)
        .number("pieces", pieces)
        .hex(frame_.bytes.data(), frame_.length)
        .print();
}

void Simulator::sendNoise(int64_t now) {
    noiseDueNs_ = -1;
    if (!peer_) return;
    for (int i = 0; i < options_.noiseBytes; ++i) noiseBuffer_[i] = noise_.next();
    if (port_.writeAll(noiseBuffer_.data(), options_.noiseBytes) && !options_.quiet) {
        Line("noise").time("t", now).hex(noiseBuffer_.data(), options_.noiseBytes).print();
    }
}

void Simulator::watchPeer(int64_t now) {
    if (peer_ || !port_.peerPresent()) return;
    peer_ = true;
    Line("open").time("t", now).print();
}

int64_t Simulator::waitNs(int64_t now) const {
    int64_t until = now + kMaxWaitNs;
    if (!options_.listenOnly && !piecesSent_) until = std::min(until, dueNs(nextSecond_));
    if (piecesSent_) until = std::min(until, nextPieceNs_);
    if (noiseDueNs_ >= 0) until = std::min(until, noiseDueNs_);
    if (parser_.stallDeadlineNs() >= 0) until = std::min(until, parser_.stallDeadlineNs());
    if (!peer_) until = std::min(until, now + kPeerCheckNs);
    if (endMonotonicNs_) until = std::min(until, now + (endMonotonicNs_ - monotonicNs()));
    return std::max<int64_t>(until - now, 0);
}

// Sleeps until the next deadline or until bytes arrive; the stop signals are let through only
// here, so that a signal always interrupts the wait.
void Simulator::wait(int64_t now) {
    const int64_t ns = waitNs(now);
    const timespec timeout{static_cast<time_t>(ns / kNsPerSecond),
                           static_cast<long>(ns % kNsPerSecond)};
    sigset_t open;
    sigemptyset(&open);
    // A pseudo-terminal without peer reports a hang-up at once on every poll: leave it out.
    pollfd line{port_.fd(), POLLIN, 0};
    const int ready = ppoll(&line, peer_ ? 1 : 0, &timeout, &open);
    const int64_t arrival = clock_.nowNs();
    if (ready <= 0) return;
    if (line.revents & POLLIN) readInput(arrival);
    if (line.revents & (POLLHUP | POLLERR)) onHangup(arrival);
}

void Simulator::readInput(int64_t arrival) {
    for (;;) {
        const ssize_t got = read(port_.fd(), readBuffer_.data(), readBuffer_.size());
        if (got <= 0) return;
        parser_.feed(readBuffer_.data(), static_cast<int>(got), arrival);
    }
}

void Simulator::onHangup(int64_t now) {
    readInput(now);
    parser_.flushStalled(now, true);
    peer_ = false;
    piecesSent_ = 0;
    noiseDueNs_ = -1;
    Line("hangup").time("t", now).print();
    // A serial port that hangs up has gone (unplugged); a pseudo-terminal waits for a new peer.
    if (!port_.isPseudoTerminal()) lineFailed_ = true;
}

void Simulator::onWireEvent(const WireEvent& event) {
    if (event.kind == WireEventKind::Ack) {
        Line("ack").time("t", event.arrivalNs).hex(event.bytes, event.length).print();
        return;
    }
    if (event.kind == WireEventKind::Unknown) {
        Line("unknown").time("t", event.arrivalNs).hex(event.bytes, event.length).print();
        return;
    }
    const PcTime t = decodePcTime(event.bytes);
    char date[48];
    char time[48];
    char skew[24] = "none";
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", t.year, t.month, t.day);
    std::snprintf(time, sizeof time, "%02d:%02d:%02d.%03d", t.hour, t.minute, t.second, t.ms);
    if (t.valid) {
        const int64_t arrivalMs = floorDiv(event.arrivalNs, kNsPerMs);
        const int64_t skewMs = localToUnixMs(t, arrivalMs) - arrivalMs;
        std::snprintf(skew, sizeof skew, "%lld", static_cast<long long>(skewMs));
    }
    Line("pctime")
        .time("t", event.arrivalNs)
        .field("date", date)
        .field("time", time)
        .field("valid", t.valid ? "yes" : "no")
        .field("skew_ms", skew)
        .hex(event.bytes, event.length)
        .print();
}

void Simulator::printReady(int64_t now) {
    const std::string& link = port_.linkPath();
    Line("ready")
        .time("t", now)
        .field("port", port_.portPath().c_str())
        .field("link", link.empty() ? "-" : link.c_str())
        .field("fmt", formatName(options_.format))
        .number("baud", options_.baud)
        .print();
}

// The stop signals are blocked except inside the wait, where they end it.
void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
        sigaddset(&stops, signal);
    }
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool openPort(const Options& options, DevicePort& port) {
    std::string error;
    const bool opened = options.devicePath.empty()
                            ? port.openPseudoTerminal(options.linkPath, options.baud, error)
                            : port.openDevice(options.devicePath, options.baud, error);
    if (!opened) std::fprintf(stderr, "clockdev: %s\n", error.c_str());
    return opened;
}

}  // namespace
}  // namespace zrq::clockdev

int main(int argc, char** argv) {
    using namespace zrq::clockdev;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    std::string error;
    switch (parseOptions(argc, argv, options, error)) {
        case ParseOutcome::Help:
            std::fputs(helpText(), stdout);
            return 0;
        case ParseOutcome::Error:
            std::fprintf(stderr, "clockdev: %s (see clockdev --help)\n", error.c_str());
            return 2;
        case ParseOutcome::Run:
            break;
    }
    tzset();
    installSignalHandlers();
    DevicePort port;
    if (!openPort(options, port)) return 1;
    DeviceClock clock(options.clockFile);
    Simulator simulator(options, port, clock);
    return simulator.run();
}
