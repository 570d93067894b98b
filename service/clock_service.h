// The service: the clock engine without windows, driven by a loop of its own over epoll (the
// tick's timer, the receiver's hand-off, the port's retry timer and the signals), its state told
// to systemd and the journal.
#pragma once

#include <atomic>
#include <optional>
#include <semaphore>
#include <string>

#include "base/journal.h"
#include "base/local_clock.h"
#include "base/time_services.h"
#include "service/bus_boxes.h"
#include "service/bus_manager.h"
#include "service/journal_boxes.h"
#include "service/manager_model.h"
#include "service/system_notify.h"
#include "service/unit_time_services.h"
#include "timecode/clock_core.h"

namespace zrq {

// What the service is given from outside.
struct ServiceContext {
    LocalClock& clock;  // the system clock: the service sets it itself
    SerialLibrary& serial;
    JournalBoxes& boxes;
    SystemNotify& notify;
    Journal* journal = nullptr;
    TimeServiceProbe* timeServices = nullptr;
    std::string workDir = ".";
    // The bus object on the system bus; without it the service runs as before.
    bool useBus = false;
    // The look for other time services that asks systemd over the bus object's connection once
    // it is up (the same object as timeServices); none when null.
    UnitTimeServiceProbe* busProbe = nullptr;
};

// Blocks the signals the loop reads (SIGTERM, SIGINT, SIGHUP, SIGUSR1) in the calling thread and
// every thread it starts later. Call first in main.
void blockServiceSignals();

class ClockService final : CoreObserver, ManagerModel {
public:
    explicit ClockService(const ServiceContext& context);
    ~ClockService() override;
    ClockService(const ClockService&) = delete;
    ClockService& operator=(const ClockService&) = delete;

    // The engine's start-up. False when the settings file exists but cannot be read: the service
    // then ends (status 1), having said so.
    bool start();
    // Runs until SIGTERM or SIGINT; returns the exit status (0).
    int run();

private:
    // The loop's events.
    void onTick();
    void onHandOffPosted();
    bool onSignals();  // false when the service is to end
    void reload();     // SIGHUP
    void shutDown();   // SIGTERM, SIGINT: as "关闭退出", and the port released

    // The receiver's hand-off, on the receiver thread: posts the chunk and waits.
    void postAndWait(const ReceivedChunk& chunk);
    void servePendingHandOff();

    // CoreObserver: the lamp, the frames and the attempts for the status line.
    void lampChanged(Lamp lamp) override;
    void frameAccepted(const DecodedTimeCode& code) override {
        lastFrame_ = code;
        propertiesDue_ = true;
    }
    void correctionAttempted(const CorrectionAttempt& attempt) override;
    void portOpened(int port) override;
    void notice(const std::string& utf8) override { ctx_.boxes.notice(utf8); }
    void monitorLine(const GbkText& line) override;

    // The bus object (clock_service_bus.cpp): started before the engine, watched by the loop.
    void startBus();
    void watchBus();
    void processBus();
    void publishProperties();
    void stopBus();
    static constexpr uint32_t kBusSource = 5;  // the bus's descriptor, to the loop's epoll

    // ManagerModel: what the bus object shows and the commands it passes on.
    Lamp lamp() const override { return lamp_.value_or(Lamp::Red); }
    std::string statusMessage() const override;
    StoredSettings settings() const override;
    bool jumpLog() const override { return core_.status().JumpLogEnabled; }
    bool commLog() const override { return core_.status().CommLogEnabled; }
    std::optional<DecodedTimeCode> lastFrame() const override { return lastFrame_; }
    std::optional<LastCorrection> lastCorrection() const override;
    void correctNow() override { core_.correctNow(); }
    std::optional<std::string> applySettings(const SettingsChange& change) override;
    void observe(bool on) override { core_.observe(on); }

    void publishStatus();
    std::string statusLine() const;

    ServiceContext ctx_;
    BusBoxes boxes_;  // the engine's boxes: the journal's, and the bus object's Box signals
    int handOffEvent_ = -1;
    ClockCore core_;

    int epoll_ = -1;
    int signals_ = -1;
    bool started_ = false;

    // The chunk in flight from the receiver thread, and the signal that it has been handled.
    std::atomic<const ReceivedChunk*> pending_{nullptr};
    std::binary_semaphore handled_{0};

    // For the status line.
    std::optional<Lamp> lamp_;
    bool statusDue_ = false;
    std::optional<DecodedTimeCode> lastFrame_;
    std::optional<CorrectionAttempt> lastAttempt_;
    std::string lastRefusal_;  // the last attempt's refusal, kept past the attempt

    // The bus object, while it is up; its descriptor's events as last given to epoll.
    std::optional<BusManager> bus_;
    bool busUp_ = false;
    uint32_t busEvents_ = 0;
    bool propertiesDue_ = false;
    GbkText shownStatusMessage_;  // the status message as the properties last showed it
};

}  // namespace zrq
