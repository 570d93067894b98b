// The service's bus object: started before the engine, its connection watched by the loop, its
// properties read from the engine and the service's events, its commands passed to the engine.
#include <sys/epoll.h>

#include "service/bus_names.h"
#include "service/clock_service.h"

namespace zrq {

void ClockService::startBus() {
    bus_.emplace(static_cast<ManagerModel&>(*this),
                 BusManager::Options{.operatorGroup = groupNamed(bus::kOperatorGroup)});
    if (const std::optional<std::string> failure = bus_->start()) {
        ctx_.boxes.notice("not on the system bus (" + *failure + "); running without it");
        bus_.reset();
        return;
    }
    busUp_ = true;
    boxes_.useBus(&*bus_);
    if (ctx_.busProbe) ctx_.busProbe->useBus(bus_->connection());
    busEvents_ = bus_->events();
    epoll_event event{};
    event.events = busEvents_;
    event.data.u32 = kBusSource;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, bus_->descriptor(), &event);
}

// What the connection waits for changes with what it has to send: set before each wait.
void ClockService::watchBus() {
    if (!busUp_ || bus_->events() == busEvents_) return;
    busEvents_ = bus_->events();
    epoll_event event{};
    event.events = busEvents_;
    event.data.u32 = kBusSource;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, bus_->descriptor(), &event);
}

// After every wake: whatever the bus brought, then the properties the wake changed.
void ClockService::processBus() {
    if (!busUp_) return;
    if (!bus_->process()) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, bus_->descriptor(), nullptr);
        busUp_ = false;
        boxes_.useBus(nullptr);
        if (ctx_.busProbe) ctx_.busProbe->useBus(nullptr);
        ctx_.boxes.notice("the connection to the system bus was lost; running without it");
        return;
    }
    publishProperties();
}

void ClockService::stopBus() {
    if (ctx_.busProbe && busUp_) ctx_.busProbe->useBus(nullptr);
    boxes_.useBus(nullptr);
    busUp_ = false;
    bus_.reset();
}

void ClockService::publishProperties() {
    if (!busUp_) return;
    const GbkText& message = core_.status().StatusMessage;
    if (message != shownStatusMessage_) {
        shownStatusMessage_ = message;
        propertiesDue_ = true;
    }
    if (!propertiesDue_) return;
    propertiesDue_ = false;
    bus_->propertiesChanged();
}

void ClockService::monitorLine(const GbkText& line) {
    if (busUp_ && bus_->observers() > 0) bus_->monitorLine(line.toUtf8());
}

// --- ManagerModel.

std::string ClockService::statusMessage() const { return core_.status().StatusMessage.toUtf8(); }

StoredSettings ClockService::settings() const {
    return StoredSettings{core_.settings(), core_.line().Port.load(), core_.line().BaudCode};
}

std::optional<LastCorrection> ClockService::lastCorrection() const {
    if (!lastAttempt_) return std::nullopt;
    return LastCorrection{.time = lastAttempt_->time,
                          .offsetUs = lastAttempt_->offsetUs,
                          .stepUs = lastAttempt_->stepUs,
                          .refusal = lastRefusal_};
}

// As the menu and the settings dialog would, the port first: it is the switch most likely to
// fail (a port that cannot be opened leaves the old one in use, said in a box), and nothing
// after a failed switch is applied. An explicit rate follows the format's, so it wins.
std::optional<std::string> ClockService::applySettings(const SettingsChange& change) {
    const StoredSettings& wanted = change.settings;
    boxes_.collectFailures(true);
    runGuarded(boxes_, [&] {
        if (wanted.port != core_.line().Port) core_.switchPort(wanted.port);
        if (!boxes_.failures().empty()) return;
        if (wanted.clock.CodeFormat != core_.settings().CodeFormat) {
            core_.switchFormat(wanted.clock.CodeFormat);
            if (!boxes_.failures().empty()) return;
        }
        if (wanted.baudCode != core_.line().BaudCode) {
            core_.switchRate(wanted.baudCode);
            if (!boxes_.failures().empty()) return;
        }
        core_.applySettings(wanted.clock);
        if (change.jumpLog) core_.setJumpLog(*change.jumpLog);
        if (change.commLog) core_.setCommLog(*change.commLog);
    });
    core_.retryPortIfClosed();
    std::string failures = boxes_.failures();
    boxes_.collectFailures(false);
    statusDue_ = true;
    propertiesDue_ = true;
    publishStatus();
    if (failures.empty()) return std::nullopt;
    return failures;
}

}  // namespace zrq
