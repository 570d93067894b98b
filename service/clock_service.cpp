// The service's start-up, loop, signals, reload and shutdown.
#include "service/clock_service.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <thread>

#include "base/date_patterns.h"
#include "serial/port_set.h"
#include "service/settings_command.h"
#include "store/config_file.h"
#include "timecode/frame_search.h"
#include "timecode/run_settings.h"

namespace zrq {
namespace {

constexpr int32_t kSilentSecondsAtStart = 50;  // red lamp until the first good frame
constexpr const char* kPortOpenFailed = "串口打开失败！原因是串口不存在或者串口已被其他程序占用！";
constexpr const char* kFileAccessError = "File access error";
constexpr int kPortRetrySeconds = 5;
constexpr int kTimeServiceLookSeconds = 60;  // as the desktop program's once a minute
constexpr int kMaxEvents = 4;
constexpr double kUsPerMs = 1000.0;

// What the loop's epoll reports, by the descriptor's role.
enum Source : uint32_t { kTick = 1, kHandOff, kRetry, kSignals };

void watch(int epoll, int descriptor, Source source) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = source;
    epoll_ctl(epoll, EPOLL_CTL_ADD, descriptor, &event);
}

sigset_t serviceSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&set, signal);
    return set;
}

const char* lampWord(Lamp lamp) {
    switch (lamp) {
        case Lamp::Red:
            return "red";
        case Lamp::Yellow:
            return "yellow";
        case Lamp::Green:
            break;
    }
    return "green";
}

std::string portName(int port) { return "COM" + std::to_string(port); }

}  // namespace

void blockServiceSignals() {
    const sigset_t set = serviceSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ClockService::ClockService(const ServiceContext& context)
    : ctx_(context),
      configPath_(ctx_.workDir == "." ? std::string(kConfigFileName)
                                      : ctx_.workDir + "/" + kConfigFileName),
      serial_(ctx_.serial),
      log_(ctx_.clock, ctx_.boxes, ctx_.workDir, ctx_.journal),
      offsetRecord_(ctx_.boxes, ctx_.workDir),
      chronySamples_(ctx_.workDir),
      processor_(FrameProcessorContext{ctx_.clock, serial_, line_, settings_, status_, monitor_,
                                       log_, &offsetRecord_, &chronySamples_}),
      tick_(ctx_.clock, serial_, line_, status_, *this),
      tickTimer_(ctx_.clock),
      gate_([this](const ReceivedChunk& chunk) { postAndWait(chunk); },
            [this] { servePendingHandOff(); }),
      tcomm_(serial_, ctx_.clock, line_.Port,
             [this](const ReceivedChunk& chunk) { gate_.handOff(chunk); }),
      ring_(tcomm_.ring, indices_),
      switcher_(SwitchContext{serial_, line_, ctx_.boxes, tcomm_, status_, settings_, ring_, marks_,
                              [this] { saveConfiguration(); }}) {
    line_.Port = 0;
    line_.BaudCode = 0;
    offsetRecord_.onAttempt = [this](const CorrectionAttempt& attempt) { noteAttempt(attempt); };
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    const sigset_t set = serviceSignals();
    signals_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    handOffEvent_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    retryTimer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    watch(epoll_, tickTimer_.descriptor(), kTick);
    watch(epoll_, handOffEvent_, kHandOff);
    watch(epoll_, retryTimer_, kRetry);
    watch(epoll_, signals_, kSignals);
}

ClockService::~ClockService() {
    gate_.close(tcomm_);
    for (int descriptor : {signals_, handOffEvent_, retryTimer_, epoll_}) {
        if (descriptor >= 0) ::close(descriptor);
    }
}

// --- Start-up: FormCreate's steps that concern more than the windows.

bool ClockService::start() {
    tick_.reset();
    status_.SilentSeconds = kSilentSecondsAtStart;
    status_.StatusMessage = noSignalMessage();
    bool loaded = false;
    runGuarded(ctx_.boxes, [&] { loaded = loadStoredSettings(); });
    if (!loaded) return false;
    forceRunValues();
    status_.CorrectNowRequested = false;
    line_.setFixedValues();
    openPort();
    ring_.resetAtStartUp();
    tcomm_.ReleaseReceiver();
    tcomm_.start();
    if (ctx_.timeServices) {
        timeServiceWatch_.emplace(*ctx_.timeServices, ctx_.clock, log_, monitor_, status_);
        runGuarded(ctx_.boxes, [this] { timeServiceWatch_->check(); });
    }
    tickTimer_
        .rearmNow();  // the first tick as soon as the loop runs, as the bar's first timer event
    started_ = true;
    ctx_.notify.ready(statusLine());
    return true;
}

bool ClockService::loadStoredSettings() {
    return loadRunSettings(configPath_, storedSettings(), ctx_.boxes, settings_, line_);
}

void ClockService::forceRunValues() { zrq::forceRunValues(settings_, status_); }

// As start-up opens the port, except that an open that failed is not followed by PortSet (which
// could only fail too): the failure is said once and the port is tried again every 5 s.
void ClockService::openPort() {
    if (!openSucceeded(serial_.sio_open(line_.Port))) {
        ctx_.boxes.error(gbk(kPortOpenFailed));
        status_.NoSignal = true;
        portFailureSaid_ = true;
        armRetry(true);
        return;
    }
    if (!PortSet(serial_, line_, ctx_.boxes)) {
        serial_.sio_close(line_.Port);
        status_.NoSignal = true;
        portFailureSaid_ = true;
        armRetry(true);
        return;
    }
    ctx_.boxes.notice(portName(line_.Port) + " 已打开");
}

// --- The loop.

int ClockService::run() {
    // As the bar's first timer event: the time frame of the second the service started in.
    runGuarded(ctx_.boxes, [this] { tick_.onTimer(); });
    epoll_event events[kMaxEvents];
    for (;;) {
        const int ready = epoll_wait(epoll_, events, kMaxEvents, -1);
        if (ready < 0 && errno != EINTR) break;
        for (int i = 0; i < ready; ++i) {
            switch (events[i].data.u32) {
                case kTick:
                    onTick();
                    break;
                case kHandOff:
                    onHandOffPosted();
                    break;
                case kRetry:
                    onRetryTimer();
                    break;
                case kSignals:
                    if (!onSignals()) {
                        shutDown();
                        return 0;
                    }
                    break;
                default:
                    break;
            }
        }
    }
    shutDown();
    return 0;
}

void ClockService::onTick() {
    if (!tickTimer_.onReadable()) return;
    runGuarded(ctx_.boxes, [this] { tick_.onTimer(); });
    ctx_.notify.watchdog();
    if (statusDue_) publishStatus();
    if (timeServiceWatch_ && ++ticksToServiceLook_ >= kTimeServiceLookSeconds) {
        ticksToServiceLook_ = 0;
        runGuarded(ctx_.boxes, [this] { timeServiceWatch_->check(); });
    }
}

void ClockService::onHandOffPosted() {
    servePendingHandOff();
    // A correction moved the clock: the next second starts somewhere else now.
    if (clockSet_) tickTimer_.rearmNow();
    clockSet_ = false;
    if (statusDue_) publishStatus();
}

void ClockService::onRetryTimer() {
    uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t got = ::read(retryTimer_, &expirations, sizeof expirations);
    tryPortAgain();
}

bool ClockService::onSignals() {
    signalfd_siginfo info{};
    bool keepRunning = true;
    while (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        switch (info.ssi_signo) {
            case SIGTERM:
            case SIGINT:
                keepRunning = false;
                break;
            case SIGHUP:
                if (keepRunning) reload();
                break;
            case SIGUSR1:
                status_.CorrectNowRequested = true;  // as "立即校正"
                break;
            default:
                break;
        }
    }
    return keepRunning;
}

// As "关闭退出": reception stopped for good (no chunk handled after this), then the port closed,
// which gives its exclusive hold back at once.
void ClockService::shutDown() {
    ctx_.notify.stopping();
    tcomm_.HoldReceiver();
    gate_.close(tcomm_);
    serial_.sio_close(line_.Port);
}

// --- SIGHUP: the settings file read again, each change applied as the menu or dialog that makes
// it would: the dialog's values first (the switches save the whole record), then the port, the
// format (with its rate and the ring reset) and a rate that still differs.
void ClockService::reload() {
    runGuarded(ctx_.boxes, [this] {
        const LoadResult loaded = loadSettings(configPath_, storedSettings());
        if (loaded.outcome == LoadOutcome::CannotOpen) {
            ctx_.boxes.warning(gbk(kFileAccessError));
            return;
        }
        const ClockSettings& file = loaded.settings.clock;
        settings_.CorrectionMode = file.CorrectionMode;
        settings_.CorrectionSecond = file.CorrectionSecond;
        settings_.CorrectionMinute = file.CorrectionMinute;
        settings_.DailyPointCount = file.DailyPointCount;
        settings_.DailyPoints = file.DailyPoints;
        settings_.JumpThresholdSec = file.JumpThresholdSec;
        settings_.FineTuneMs = file.FineTuneMs;
        if (loaded.settings.port != line_.Port) switcher_.com11Click(loaded.settings.port);
        if (file.CodeFormat != settings_.CodeFormat) switcher_.N31Click(file.CodeFormat);
        if (loaded.settings.baudCode != line_.BaudCode) {
            switcher_.N48001Click(loaded.settings.baudCode);
        }
        ctx_.boxes.notice(std::string(kConfigFileName) + " read again: " + portName(line_.Port) +
                          ", rate code " + std::to_string(line_.BaudCode) + ", format " +
                          std::to_string(settings_.CodeFormat));
    });
    if (!portOpen()) {
        portFailureSaid_ = true;  // the switch said why
        armRetry(true);
    }
    statusDue_ = true;
    publishStatus();
}

// --- The port's retry.

void ClockService::armRetry(bool on) {
    if (retryTimer_ < 0 || on == retryArmed_) return;
    itimerspec spec{};
    if (on) spec.it_value.tv_sec = spec.it_interval.tv_sec = kPortRetrySeconds;
    timerfd_settime(retryTimer_, 0, &spec, nullptr);
    retryArmed_ = on;
}

// The receiver is held around the open, as for a switch, and reads again once the port is up; a
// receiver that a failed switch left held stays so until then.
void ClockService::tryPortAgain() {
    if (portOpen()) {
        armRetry(false);
        return;
    }
    const bool wasHeld = tcomm_.receiverStop();
    tcomm_.HoldReceiver();
    SilentBoxes quiet;  // a failure already said is not said again every 5 s
    MessageBoxes& boxes = portFailureSaid_ ? static_cast<MessageBoxes&>(quiet) : ctx_.boxes;
    if (openSucceeded(serial_.sio_open(line_.Port))) {
        if (PortSet(serial_, line_, boxes)) {
            ctx_.boxes.notice(portName(line_.Port) + " 已打开");
            portFailureSaid_ = false;
            status_.NoSignal = true;
            tcomm_.ReleaseReceiver();
            armRetry(false);
            return;
        }
        serial_.sio_close(line_.Port);
    } else if (!portFailureSaid_) {
        ctx_.boxes.error(gbk(kPortOpenFailed));
    }
    portFailureSaid_ = true;
    if (!wasHeld) tcomm_.ReleaseReceiver();
}

// --- The receiver's hand-off: the chunk is posted to the loop through the eventfd, and the
// receiver waits until the loop has handled it (or the gate discarded it at shutdown).

void ClockService::postAndWait(const ReceivedChunk& chunk) {
    pending_.store(&chunk);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t put = ::write(handOffEvent_, &one, sizeof one);
    handled_.acquire();
}

// The loop's thread: runs (or, once the gate is closed, discards) the chunk in flight.
void ClockService::servePendingHandOff() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(handOffEvent_, &count, sizeof count);
    const ReceivedChunk* chunk = pending_.exchange(nullptr);
    if (!chunk) return;
    handleReceivedData(*chunk);
    handled_.release();
}

void ClockService::handleReceivedData(const ReceivedChunk& chunk) {
    gate_.deliver([&] {
        runGuarded(ctx_.boxes, [&] {
            processor_.takeArrivalStamp(chunk.arrival);
            handleReceivedChunk(ring_, chunk.bytes.data(), static_cast<int>(chunk.bytes.size()),
                                settings_.CodeFormat, *this);
        });
    });
}

void ClockService::processFrame(const DecodedTimeCode& code, uint16_t start) {
    processor_.processFrame(code, start);
    lastFrame_ = code;
}

// --- What systemd shows.

void ClockService::setLamp(Lamp lamp) {
    if (lampKnown_ && lamp == lamp_) return;
    lamp_ = lamp;
    lampKnown_ = true;
    statusDue_ = true;
}

void ClockService::noteAttempt(const CorrectionAttempt& attempt) {
    lastAttempt_ = attempt;
    lastRefusal_ = attempt.refusal ? attempt.refusal : "";
    lastAttempt_->refusal = nullptr;  // the text lives in lastRefusal_
    if (!attempt.refusal) clockSet_ = true;
    statusDue_ = true;
}

void ClockService::publishStatus() {
    statusDue_ = false;
    if (started_) ctx_.notify.status(statusLine());
}

// "<lamp>: <message>; last frame hh:mm:ss; last correction hh:mm:ss offset +x.xxx ms".
std::string ClockService::statusLine() const {
    std::string line = lampKnown_ ? lampWord(lamp_) : "starting";
    line += ": ";
    line += status_.StatusMessage.toUtf8();
    line += "; " + portName(line_.Port) + (portOpen() ? "" : " not open");
    if (lastFrame_) {
        char text[64];
        std::snprintf(text, sizeof text, "; last frame %02u:%02u:%02u", lastFrame_->hour,
                      lastFrame_->minute, lastFrame_->second);
        line += text;
    }
    if (lastAttempt_) {
        line += "; last correction " + formatHms(lastAttempt_->time);
        if (lastAttempt_->offsetUs) {
            char text[64];
            std::snprintf(text, sizeof text, " offset %+.3f ms",
                          static_cast<double>(*lastAttempt_->offsetUs) / kUsPerMs);
            line += text;
        }
        line += lastRefusal_.empty() ? ", set" : ", refused: " + lastRefusal_;
    }
    return line;
}

StoredSettings ClockService::storedSettings() const {
    return StoredSettings{settings_, line_.Port.load(), line_.BaudCode};
}

void ClockService::saveConfiguration() { savecfg(configPath_, storedSettings()); }

}  // namespace zrq
