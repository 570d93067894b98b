// The clock engine's start-up, tick, hand-off, port retry, settings reload and shutdown.
#include "timecode/clock_core.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

#include "base/date_patterns.h"
#include "timecode/frame_search.h"

namespace zrq {
namespace {

constexpr int32_t kSilentSecondsAtStart = 50;  // red lamp until the first good frame
constexpr const char* kPortOpenFailed = "串口打开失败！原因是串口不存在或者串口已被其他程序占用！";
constexpr const char* kFileAccessError = "File access error";
constexpr int kPortRetrySeconds = 5;
constexpr const char* kLineLost = "连接中断，每 5 秒重试";
constexpr const char* kLineBack = "连接已恢复";
constexpr int kTimeServiceLookSeconds = 60;  // a look reads the whole process list

std::string portName(int port) { return "COM" + std::to_string(port); }

std::string pathIn(const std::string& workDir, const char* name) {
    if (workDir.empty() || workDir == ".") return name;
    return workDir.back() == '/' ? workDir + name : workDir + "/" + name;
}

// Due in a nanosecond: the shell's thread sees the timer readable at once.
void fireRetrySoon(int timer) {
    itimerspec soon{};
    soon.it_value.tv_nsec = 1;
    timerfd_settime(timer, 0, &soon, nullptr);
}

}  // namespace

ClockCore::ClockCore(const CoreContext& context, CoreObserver& observer)
    : ctx_(context),
      observer_(observer),
      configPath_(pathIn(ctx_.workDir, kConfigFileName)),
      serial_(ctx_.serial),
      log_(ctx_.clock, ctx_.boxes, ctx_.workDir, ctx_.journal),
      offsetRecord_(ctx_.boxes, ctx_.workDir, ctx_.journal),
      chronySamples_(ctx_.workDir),
      processor_(FrameProcessorContext{ctx_.clock, serial_, line_, settings_, status_, *this, log_,
                                       &offsetRecord_, &chronySamples_, &observer_}),
      tick_(ctx_.clock, serial_, line_, status_, *this),
      tickTimer_(ctx_.clock),
      gate_(ctx_.postHandOff, ctx_.runPostedCalls),
      tcomm_(serial_, ctx_.clock, line_.Port,
             [this](const ReceivedChunk& chunk) { gate_.handOff(chunk); }),
      ring_(tcomm_.ring, indices_),
      switcher_(SwitchContext{serial_, line_, ctx_.boxes, tcomm_, status_, settings_, ring_,
                              ctx_.marks ? *ctx_.marks : noMarks_, [this] { saveConfiguration(); },
                              [this](int port, int result) { sayOpenFailure(port, result); }}) {
    // LineSettings are zero until start-up sets them.
    line_.Port = 0;
    line_.BaudCode = 0;
    retryTimer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    tcomm_.setLineLostHandler([this](int port) { lineLostOnReceiver(port); });
}

ClockCore::~ClockCore() {
    gate_.close(tcomm_);
    if (retryTimer_ >= 0) ::close(retryTimer_);
}

// --- Start-up.

// Everything the tick reads is set before the first box of start-up can let it run.
bool ClockCore::start() {
    observer_.timeShown(formatBarTime(ctx_.clock.now()));
    tick_.reset();
    status_.SilentSeconds = kSilentSecondsAtStart;
    observer_.dateShown(formatDateWithWeekday(ctx_.clock.now()));
    status_.StatusMessage = noSignalMessage();
    if (!loadStoredSettings()) return false;
    forceRunValues();
    status_.CorrectNowRequested = false;
    line_.setFixedValues();
    observer_.startMarks();
    openPort();
    ring_.resetAtStartUp();
    tcomm_.ReleaseReceiver();
    tcomm_.start();
    startupCompleted_ = true;
    return true;
}

// The settings file over the defaults; false, after "File access error", when it exists but
// cannot be opened.
bool ClockCore::loadStoredSettings() {
    bool loaded = false;
    runGuarded(ctx_.boxes, [&] {
        const std::optional<LoadResult> file = readSettingsFile();
        if (!file) return;
        settings_ = file->settings.clock;
        line_.Port = file->settings.port;
        line_.BaudCode = file->settings.baudCode;
        loaded = true;
    });
    return loaded;
}

// Whatever was stored: no correction on a jump, monitor and communication log off, jump log on,
// and the lamp red until the first good frame.
void ClockCore::forceRunValues() {
    settings_.JumpNoCorrect = 1;
    status_.MonitorActive = false;
    status_.NoSignal = true;
    status_.JumpDetected = true;
    status_.JumpLogEnabled = true;
    status_.CommLogEnabled = false;
}

// PortSet follows even a failed open (it then fails with its own box), unless the port is to be
// retried: then the failure is said once and the port tried again every 5 s.
void ClockCore::openPort() {
    const int result = serial_.sio_open(line_.Port);
    if (!openSucceeded(result)) {
        ctx_.boxes.error(gbk(kPortOpenFailed));
        sayOpenFailure(line_.Port, result);
        status_.NoSignal = true;
        if (ctx_.retryClosedPort) return portFailed();
    }
    if (!switcher_.PortSet()) {
        serial_.sio_close(line_.Port);
        status_.NoSignal = true;
        if (ctx_.retryClosedPort) portFailed();
        return;
    }
    if (portOpen()) observer_.portOpened(line_.Port);
}

// Beside the box, whose text is fixed: the device and the system's reason.
void ClockCore::sayOpenFailure(int port, int result) {
    observer_.notice(serial_.openFailureText(port, result));
}

// The settings file over the running values; empty, after "File access error", when it exists
// but cannot be opened. The loading rules keep what is stored; what nobody can use is said.
std::optional<LoadResult> ClockCore::readSettingsFile() {
    LoadResult loaded = loadSettings(configPath_, storedSettings());
    if (loaded.outcome == LoadOutcome::CannotOpen) {
        ctx_.boxes.warning(gbk(kFileAccessError));
        return std::nullopt;
    }
    for (const std::string& line : unknownStoredValues(configPath_, loaded)) observer_.notice(line);
    return loaded;
}

void ClockCore::watchTimeServices() {
    if (!ctx_.timeServices || timeServiceWatch_) return;
    timeServiceWatch_.emplace(*ctx_.timeServices, ctx_.clock, log_,
                              static_cast<MonitorLines&>(*this), status_);
    runGuarded(ctx_.boxes, [this] { timeServiceWatch_->check(); });
}

// --- Closing.

void ClockCore::stop() {
    tcomm_.HoldReceiver();
    // From inside the handler (a box it opened is dispatching) the join is left to a later call,
    // at the latest the destructor's.
    gate_.close(tcomm_);
}

// --- The tick.

bool ClockCore::onTickReadable() { return tickTimer_.onReadable() && tick(); }

bool ClockCore::tick() {
    bool newSecond = false;
    runGuarded(ctx_.boxes, [&] { newSecond = tick_.onTimer(); });
    if (newSecond && timeServiceWatch_ && ++secondsToServiceLook_ >= kTimeServiceLookSeconds) {
        secondsToServiceLook_ = 0;
        runGuarded(ctx_.boxes, [this] { timeServiceWatch_->check(); });
    }
    return newSecond;
}

void ClockCore::setLamp(Lamp lamp) {
    if (lampKnown_ && lamp == lamp_) return;
    lamp_ = lamp;
    lampKnown_ = true;
    observer_.lampChanged(lamp);
}

// --- The receiver's hand-off.

// The receiver waits until this returns. Nothing is handled once the gate has closed.
void ClockCore::handleReceivedData(const ReceivedChunk& chunk) {
    gate_.deliver([&] {
        runGuarded(ctx_.boxes, [&] {
            processor_.takeArrivalStamp(chunk.arrival);
            handleReceivedChunk(ring_, chunk.bytes.data(), static_cast<int>(chunk.bytes.size()),
                                settings_.CodeFormat, processor_);
        });
        // The chunk may have set the clock, perhaps into another second: the tick looks at once
        // (one clock reading when nothing changed) and counts it as a new second if it is one.
        tickTimer_.rearmNow();
        ++chunksHandled_;
    });
}

// --- Settings.

void ClockCore::applySettings(const ClockSettings& dialogValues) {
    takeDialogValues(dialogValues);
    saveConfiguration();
}

void ClockCore::takeDialogValues(const ClockSettings& values) {
    settings_.CorrectionMode = values.CorrectionMode;
    settings_.CorrectionSecond = values.CorrectionSecond;
    settings_.CorrectionMinute = values.CorrectionMinute;
    settings_.DailyPointCount = values.DailyPointCount;
    settings_.DailyPoints = values.DailyPoints;
    settings_.JumpThresholdSec = values.JumpThresholdSec;
    settings_.FineTuneMs = values.FineTuneMs;
}

// The dialog's values first (the switches save the whole record), then the port, the format (with
// its rate and the ring reset) and a rate that still differs.
bool ClockCore::reloadSettingsFile() {
    bool applied = false;
    runGuarded(ctx_.boxes, [&] {
        const std::optional<LoadResult> loaded = readSettingsFile();
        if (!loaded) return;
        // An unknown value keeps the running one, so that it is never saved back either.
        const StoredSettings known = keepKnownValues(loaded->settings, storedSettings());
        takeDialogValues(known.clock);
        if (known.port != line_.Port) switchPort(known.port);
        const uint8_t format = known.clock.CodeFormat;
        if (format != settings_.CodeFormat) switchFormat(format);
        if (known.baudCode != line_.BaudCode) switchRate(known.baudCode);
        applied = true;
    });
    retryPortIfClosed();
    return applied;
}

void ClockCore::retryPortIfClosed() {
    if (ctx_.retryClosedPort && !portOpen()) {
        portFailureSaid_ = true;  // the switch said why
        armRetry(true);
    }
}

StoredSettings ClockCore::storedSettings() const {
    return StoredSettings{settings_, line_.Port.load(), line_.BaudCode};
}

void ClockCore::saveConfiguration() { savecfg(configPath_, storedSettings()); }

// --- The port's retry.

void ClockCore::portFailed() {
    portFailureSaid_ = true;
    armRetry(true);
}

// A loss told while the timer was set here is taken at once all the same: the receiver sets its
// flag before it fires the timer, and the flag is looked at after every setting.
void ClockCore::armRetry(bool on) {
    if (retryTimer_ < 0 || on == retryArmed_) return;
    itimerspec spec{};
    if (on) spec.it_value.tv_sec = spec.it_interval.tv_sec = kPortRetrySeconds;
    timerfd_settime(retryTimer_, 0, &spec, nullptr);
    retryArmed_ = on;
    if (!on && lostPort_.load() >= 0) fireRetrySoon(retryTimer_);
}

void ClockCore::onRetryReadable() {
    uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t got = ::read(retryTimer_, &expirations, sizeof expirations);
    if (lostPort_.load() >= 0) return takeLostLine();
    tryPortAgain();
}

// The receiver thread, once per hang-up: it must not block, so the shell's thread is woken
// through the retry timer (timerfd_settime may be called from any thread).
void ClockCore::lineLostOnReceiver(int port) {
    lostPort_.store(port);
    fireRetrySoon(retryTimer_);
}

// The lost port is closed (its exclusive hold released) and tried again every 5 s, quietly; a
// switch since the loss has replaced it already.
void ClockCore::takeLostLine() {
    const int port = lostPort_.exchange(-1);
    retryArmed_ = false;  // the receiver's firing replaced whatever was set
    if (port != line_.Port.load()) {
        if (ctx_.retryClosedPort && !portOpen()) armRetry(true);
        return;
    }
    tcomm_.HoldReceiver();
    serial_.sio_close(port);
    lineAway_ = true;
    portFailureSaid_ = true;  // no box while the line is away
    sayLineNotice(portName(port) + ": " + kLineLost);
    armRetry(true);
}

void ClockCore::sayLineNotice(const std::string& utf8) {
    observer_.notice(utf8);
    if (status_.MonitorActive) observer_.monitorLine(gbk(utf8));
}

void ClockCore::switchPort(int port) {
    switcher_.switchPort(port);
    lineReplacedBySwitch();
}

bool ClockCore::switchPortFromDialog(int port) {
    const bool done = switcher_.switchPortFromDialog(port);
    lineReplacedBySwitch();
    return done;
}

void ClockCore::switchRate(int baudCode) {
    switcher_.switchRate(baudCode);
    lineReplacedBySwitch();
}

// The switch closed the port and opened one as it does for a line that is there; a port it
// could not open is retried only where a port that fails to open is.
void ClockCore::lineReplacedBySwitch() {
    if (!lineAway_) return;
    lineAway_ = false;
    if (!ctx_.retryClosedPort || portOpen()) armRetry(false);
}

// The receiver is held around the open, as for a switch, and reads again once the port is up; a
// receiver that a failed switch left held stays so until then.
void ClockCore::tryPortAgain() {
    if (portOpen()) {
        armRetry(false);
        return;
    }
    const bool wasHeld = tcomm_.receiverStop();
    tcomm_.HoldReceiver();
    SilentBoxes quiet;  // a failure already said is not said again every 5 s
    MessageBoxes& boxes = portFailureSaid_ ? static_cast<MessageBoxes&>(quiet) : ctx_.boxes;
    const int result = serial_.sio_open(line_.Port);
    if (openSucceeded(result)) {
        if (PortSet(serial_, line_, boxes)) {
            if (std::exchange(lineAway_, false)) {
                sayLineNotice(portName(line_.Port) + ": " + kLineBack);
            } else {
                observer_.portOpened(line_.Port);
            }
            portFailureSaid_ = false;
            status_.NoSignal = true;
            tcomm_.ReleaseReceiver();
            armRetry(false);
            return;
        }
        serial_.sio_close(line_.Port);
    } else if (!portFailureSaid_) {
        ctx_.boxes.error(gbk(kPortOpenFailed));
        sayOpenFailure(line_.Port, result);
    }
    portFailureSaid_ = true;
    if (!wasHeld) tcomm_.ReleaseReceiver();
}

}  // namespace zrq
