// The service: the desktop program's start-up without windows, the same tick and received-data
// handler, and a loop of its own over epoll (the tick's timer, the receiver's hand-off, the
// port's retry timer and the signals).
#pragma once

#include <atomic>
#include <optional>
#include <semaphore>
#include <string>

#include "base/journal.h"
#include "base/local_clock.h"
#include "base/time_services.h"
#include "serial/hand_off_gate.h"
#include "serial/line_settings.h"
#include "serial/receiver.h"
#include "service/journal_boxes.h"
#include "service/port_watch.h"
#include "service/system_notify.h"
#include "store/clock_settings.h"
#include "store/config_file.h"
#include "store/event_log.h"
#include "timecode/chrony_sample.h"
#include "timecode/frame_processor.h"
#include "timecode/monitor_lines.h"
#include "timecode/offset_record.h"
#include "timecode/port_switch.h"
#include "timecode/receive_ring.h"
#include "timecode/second_tick.h"
#include "timecode/status_state.h"
#include "timecode/tick_timer.h"
#include "timecode/time_service_watch.h"

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
};

// The service has no monitor window: nothing observes, so no line is ever appended.
class NullMonitorLines final : public MonitorLines {
public:
    void appendLine(const GbkText&) override {}
};

// The service has no menu to mark.
class NoSwitchMarks final : public SwitchMarks {
public:
    void setPortItemChecked(int, bool) override {}
    void setN21Checked(bool) override {}
    void setN21Caption(const std::string&) override {}
    void setBaudItemChecked(int, bool) override {}
    void setFormatItemChecked(int, bool) override {}
};

// Blocks the signals the loop reads (SIGTERM, SIGINT, SIGHUP, SIGUSR1) in the calling thread and
// every thread it starts later. Call first in main.
void blockServiceSignals();

class ClockService final : BarView, FrameSink {
public:
    explicit ClockService(const ServiceContext& context);
    ~ClockService() override;
    ClockService(const ClockService&) = delete;
    ClockService& operator=(const ClockService&) = delete;

    // FormCreate without its windows. False when the settings file exists but cannot be read:
    // the service then ends (status 1), having said so.
    bool start();
    // Runs until SIGTERM or SIGINT; returns the exit status (0).
    int run();

private:
    // Start-up, in its order.
    bool loadStoredSettings();
    void forceRunValues();
    void openPort();

    // The loop's events.
    void onTick();
    void onHandOffPosted();
    void onRetryTimer();
    bool onSignals();  // false when the service is to end
    void reload();     // SIGHUP
    void shutDown();   // SIGTERM, SIGINT: as "关闭退出", and the port released

    // The receiver's hand-off, on the receiver thread: posts the chunk and waits.
    void postAndWait(const ReceivedChunk& chunk);
    void servePendingHandOff();
    void handleReceivedData(const ReceivedChunk& chunk);

    // The port retry while no port is open.
    bool portOpen() const { return serial_.isOpen(line_.Port); }
    void armRetry(bool on);
    void tryPortAgain();

    // BarView: nothing to show but the lamp, whose changes go to systemd.
    void setTimeText(const std::string&) override {}
    void setDateText(const GbkText&) override {}
    void setLamp(Lamp lamp) override;
    // FrameSink: the frame processor, with the last frame noted for the status line.
    void beginChunk() override { processor_.beginChunk(); }
    void frameDump(const RingStorage& ring, uint16_t start, int length) override {
        processor_.frameDump(ring, start, length);
    }
    void processFrame(const DecodedTimeCode& code, uint16_t start) override;

    void noteAttempt(const CorrectionAttempt& attempt);
    void publishStatus();
    std::string statusLine() const;
    StoredSettings storedSettings() const;
    void saveConfiguration();

    ServiceContext ctx_;
    std::string configPath_;
    PortWatch serial_;

    LineSettings line_;
    ClockSettings settings_;
    StatusState status_;
    RingIndices indices_;

    NullMonitorLines monitor_;
    EventLog log_;
    OffsetRecord offsetRecord_;
    ChronySampleSender chronySamples_;
    FrameProcessor processor_;
    SecondTick tick_;
    TickTimer tickTimer_;
    HandOffGate gate_;
    Tcomm tcomm_;
    ReceiveRing ring_;
    NoSwitchMarks marks_;
    PortSwitcher switcher_;
    std::optional<TimeServiceWatch> timeServiceWatch_;

    int epoll_ = -1;
    int signals_ = -1;
    int handOffEvent_ = -1;
    int retryTimer_ = -1;
    bool retryArmed_ = false;
    bool portFailureSaid_ = false;
    bool started_ = false;
    int ticksToServiceLook_ = 0;

    // The chunk in flight from the receiver thread, and the signal that it has been handled.
    std::atomic<const ReceivedChunk*> pending_{nullptr};
    std::binary_semaphore handled_{0};

    // For the status line.
    Lamp lamp_ = Lamp::Red;
    bool lampKnown_ = false;
    bool statusDue_ = false;
    bool clockSet_ = false;  // a correction in the chunk just handled: the tick's timer re-arms
    std::optional<DecodedTimeCode> lastFrame_;
    std::optional<CorrectionAttempt> lastAttempt_;
    std::string lastRefusal_;  // the last attempt's refusal, kept past the attempt
};

}  // namespace zrq
