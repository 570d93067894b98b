// The service's loop, signals, reload, shutdown and status line.
#include "service/clock_service.h"
#include "base/time_units.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "base/date_patterns.h"
#include "service/settings_command.h"
#include "store/config_file.h"
#include "timecode/clock_refusal.h"

namespace zrq {
namespace {

constexpr int kMaxEvents = 4;

// What the loop's epoll reports, by the descriptor's role.
enum Source : uint32_t { kTick = 1, kHandOff, kRetry, kSignals };  // 5: ClockService::kBusSource

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

std::string portName(int port) { return "COM" + std::to_string(port); }

}  // namespace

void blockServiceSignals() {
    const sigset_t set = serviceSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ClockService::ClockService(const ServiceContext& context)
    : ctx_(context),
      boxes_(ctx_.boxes),
      handOffEvent_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      core_(CoreContext{.clock = ctx_.clock,
                        .serial = ctx_.serial,
                        .boxes = boxes_,
                        .workDir = ctx_.workDir,
                        .journal = ctx_.journal,
                        .timeServices = ctx_.timeServices,
                        .postHandOff = [this](const ReceivedChunk& chunk) { postAndWait(chunk); },
                        .runPostedCalls = [this] { servePendingHandOff(); },
                        .retryClosedPort = true},
            *this) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    const sigset_t set = serviceSignals();
    signals_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    watch(epoll_, core_.tickDescriptor(), kTick);
    watch(epoll_, handOffEvent_, kHandOff);
    watch(epoll_, core_.retryDescriptor(), kRetry);
    watch(epoll_, signals_, kSignals);
}

ClockService::~ClockService() {
    core_.stop();
    stopBus();
    for (int descriptor : {signals_, handOffEvent_, epoll_}) {
        if (descriptor >= 0) ::close(descriptor);
    }
}

bool ClockService::start() {
    if (ctx_.useBus) startBus();
    if (!core_.start()) return false;
    core_.watchTimeServices();
    started_ = true;
    ctx_.notify.ready(statusLine());
    return true;
}

// --- The loop.

int ClockService::run() {
    // As the bar's first timer event: the time frame of the second the service started in.
    core_.tick();
    epoll_event events[kMaxEvents];
    for (;;) {
        watchBus();
        const int ready = epoll_wait(epoll_, events, kMaxEvents, busUp_ ? bus_->timeoutMs() : -1);
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
                    core_.onRetryReadable();
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
        processBus();
    }
    shutDown();
    return 0;
}

void ClockService::onTick() {
    if (core_.onTickReadable()) ctx_.notify.watchdog();
    if (statusDue_) publishStatus();
}

void ClockService::onHandOffPosted() {
    servePendingHandOff();
    if (statusDue_) publishStatus();
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
                core_.correctNow();  // as "立即校正"
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
    core_.stop();
    core_.closePort();
}

// SIGHUP: the settings file read again, each change applied as the menu or dialog that makes it
// would.
void ClockService::reload() {
    if (core_.reloadSettingsFile()) {
        const LineSettings& line = core_.line();
        ctx_.boxes.notice(std::string(kConfigFileName) + " read again: " + portName(line.Port) +
                          ", " + baudText(line.BaudCode) + " bit/s, format " +
                          formatText(core_.settings().CodeFormat));
    }
    statusDue_ = true;
    propertiesDue_ = true;
    publishStatus();
}

// --- The receiver's hand-off: the chunk is posted to the loop through the eventfd, and the
// receiver waits until the loop has handled it (or the engine discarded it at shutdown).

void ClockService::postAndWait(const ReceivedChunk& chunk) {
    pending_.store(&chunk);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t put = ::write(handOffEvent_, &one, sizeof one);
    handled_.acquire();
}

// The loop's thread: runs (or, once the engine has stopped, discards) the chunk in flight.
void ClockService::servePendingHandOff() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(handOffEvent_, &count, sizeof count);
    const ReceivedChunk* chunk = pending_.exchange(nullptr);
    if (!chunk) return;
    core_.handleReceivedData(*chunk);
    handled_.release();
}

// --- What systemd shows.

void ClockService::lampChanged(Lamp lamp) {
    lamp_ = lamp;
    statusDue_ = true;
    propertiesDue_ = true;
}

void ClockService::correctionAttempted(const CorrectionAttempt& attempt) {
    lastAttempt_ = attempt;
    lastRefusal_ = attempt.refusal ? attempt.refusal : "";
    lastAttempt_->refusal = nullptr;  // the text lives in lastRefusal_
    statusDue_ = true;
    propertiesDue_ = true;
}

void ClockService::portOpened(int port) {
    ctx_.boxes.notice(portName(port) + " 已打开");
    propertiesDue_ = true;
}

void ClockService::publishStatus() {
    statusDue_ = false;
    if (started_) ctx_.notify.status(statusLine());
}

// "<lamp>: <message>; last frame hh:mm:ss; last correction hh:mm:ss offset +x.xxx ms".
std::string ClockService::statusLine() const {
    std::string line = lamp_ ? lampName(*lamp_) : "starting";
    line += ": ";
    line += serviceStatusText(core_.status().StatusMessage);
    line += "; " + portName(core_.line().Port) + (core_.portOpen() ? "" : " not open");
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

}  // namespace zrq
