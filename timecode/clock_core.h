// ClockCore: everything that keeps the clock for the whole run (settings, status, the ring, the
// receiver and its hand-off, frame processing, the per-second tick, the switches, the logs), with
// start-up and shutdown in their order. The bar and the service each hold one and adapt its events.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "base/journal.h"
#include "base/time_services.h"
#include "serial/hand_off_gate.h"
#include "serial/port_watch.h"
#include "store/config_file.h"
#include "timecode/frame_processor.h"
#include "timecode/port_switch.h"
#include "timecode/second_tick.h"
#include "timecode/tick_timer.h"
#include "timecode/time_service_watch.h"

namespace zrq {

// What the shell gives the engine.
struct CoreContext {
    LocalClock& clock;
    SerialLibrary& serial;
    MessageBoxes& boxes;
    // Holds "kelvosys.conf", the daily logs and the offset files; "." in the programs.
    std::string workDir = ".";
    // Receives copies of the jump log's entries and of refused corrections; none when null.
    Journal* journal = nullptr;
    // Where watchTimeServices() looks for other time services; no look at all when null.
    TimeServiceProbe* timeServices = nullptr;
    // How a receiver chunk reaches the shell's thread: a blocking post that ends by calling
    // handleReceivedData(chunk) there, and a short drain of posted calls for shutdown.
    HandOffGate::BlockingPost postHandOff;
    HandOffGate::RunPostedCalls runPostedCalls;
    // The menu's check marks that the switches set; none when null.
    SwitchMarks* marks = nullptr;
    // A port that failed to open is tried again every 5 s, its failure said once. A line that
    // hung up is tried again every 5 s in any case.
    bool retryClosedPort = false;
};

// The shell's side. Every call comes on the shell's thread; the defaults do nothing. The frames
// and correction attempts come through FrameEvents.
class CoreObserver : public FrameEvents {
public:
    virtual void timeShown(const std::string& /*ascii*/) {}  // "h:nn:ss"
    virtual void dateShown(const GbkText& /*text*/) {}       // "yyyy-mm-dd " + weekday
    virtual void lampChanged(Lamp /*lamp*/) {}               // the tick's lamp, on change
    virtual void monitorLine(const GbkText& /*line*/) {}     // for the monitor window
    // Start-up has loaded the settings: mark the menu from settings(), status() and line().
    virtual void startMarks() {}
    virtual void portOpened(int /*port*/) {}
    // For the journal and standard error, never a box (UTF-8): a line lost or back, why a port did
    // not open, what the settings file holds that the program does not know.
    virtual void notice(const std::string& /*utf8*/) {}
};

class ClockCore final : BarView, MonitorLines {
public:
    ClockCore(const CoreContext& context, CoreObserver& observer);
    ~ClockCore() override;
    ClockCore(const ClockCore&) = delete;
    ClockCore& operator=(const ClockCore&) = delete;

    // Start-up's steps apart from the windows, in their order, up to the running receiver. False
    // when the settings file exists but cannot be opened: start-up ends there, having said so.
    bool start();
    // The first look for other time services now, then once a minute of ticks; call once the
    // shell can take its monitor line.
    void watchTimeServices();
    // Closing: the receiver held and stopped for good without ever being left blocked in a
    // hand-off; no chunk is handled after this returns. Safe to call more than once.
    void stop();
    // The service's last step: gives the port's exclusive hold back at once.
    void closePort() { serial_.sio_close(line_.Port); }

    // The tick's timer: the shell watches the descriptor and calls onTickReadable when it is
    // readable. Without timer descriptors (tickTimerOk() false) the shell calls tick() itself.
    int tickDescriptor() const { return tickTimer_.descriptor(); }
    bool tickTimerOk() const { return tickTimer_.ok(); }
    // True when the tick showed a new second.
    bool onTickReadable();
    bool tick();
    // The port's retry timer (a timerfd, armed only while retrying or to take a lost line).
    int retryDescriptor() const { return retryTimer_; }
    void onRetryReadable();

    // The shell's thread, inside the posted hand-off; nothing is handled once stopped.
    void handleReceivedData(const ReceivedChunk& chunk);

    // Commands. Those that save the settings throw (FileError) when the save fails: call them
    // through runGuarded.
    void correctNow() { status_.CorrectNowRequested = true; }
    void switchFormat(int format) { switcher_.switchFormat(format); }
    // A switch replaces a lost line: the port it leaves open, or not, is handled as for a switch.
    void switchPort(int port);
    // The port dialog's "使用": true when the dialog may close.
    bool switchPortFromDialog(int port);
    void switchRate(int baudCode);
    // The settings dialog's "应用": the schedule, threshold and fine adjustment taken, then saved.
    void applySettings(const ClockSettings& dialogValues);
    void setJumpLog(bool on) { status_.JumpLogEnabled = on; }
    void setCommLog(bool on) { status_.CommLogEnabled = on; }
    void observe(bool on) { status_.MonitorActive = on; }
    // The settings file read again, each change applied as the dialog or menu that makes it
    // would. False when the file could not be read or a change failed (said in a box).
    bool reloadSettingsFile();
    // After switches made on a command: a port left closed is tried again (with retryClosedPort).
    void retryPortIfClosed();

    // Reading.
    const ClockSettings& settings() const { return settings_; }
    const LineSettings& line() const { return line_; }
    const StatusState& status() const { return status_; }
    bool portOpen() const { return serial_.isOpen(line_.Port); }
    // True from a hang-up of the line until it is open again or a switch replaced the port.
    bool lineAway() const { return lineAway_; }
    // For tests.
    const RingIndices& ringIndices() const { return indices_; }
    const Tcomm& receiver() const { return tcomm_; }
    bool startupCompleted() const { return startupCompleted_; }
    long chunksHandled() const { return chunksHandled_; }

private:
    // BarView and MonitorLines, passed on to the observer.
    void setTimeText(const std::string& ascii) override { observer_.timeShown(ascii); }
    void setDateText(const GbkText& text) override { observer_.dateShown(text); }
    void setLamp(Lamp lamp) override;
    void appendLine(const GbkText& line) override { observer_.monitorLine(line); }

    bool loadStoredSettings();
    void forceRunValues();
    void openPort();
    void sayOpenFailure(int port, int result);
    std::optional<LoadResult> readSettingsFile();
    void portFailed();
    void armRetry(bool on);
    void tryPortAgain();
    void lineLostOnReceiver(int port);
    void takeLostLine();
    void lineReplacedBySwitch();
    void sayLineNotice(const std::string& utf8);
    StoredSettings storedSettings() const;
    void takeDialogValues(const ClockSettings& values);
    void saveConfiguration();

    CoreContext ctx_;
    CoreObserver& observer_;
    std::string configPath_;
    PortWatch serial_;

    // All on the shell's thread except line_.Port, which the receiver reads.
    LineSettings line_;
    ClockSettings settings_;
    StatusState status_;
    RingIndices indices_;

    EventLog log_;
    OffsetRecord offsetRecord_;
    ChronySampleSender chronySamples_;
    FrameProcessor processor_;
    SecondTick tick_;
    TickTimer tickTimer_;
    HandOffGate gate_;  // before the receiver, whose hand-offs go through it
    Tcomm tcomm_;
    ReceiveRing ring_;  // storage in the receiver, indices in indices_
    SwitchMarks noMarks_;
    PortSwitcher switcher_;
    std::optional<TimeServiceWatch> timeServiceWatch_;
    int secondsToServiceLook_ = 0;

    int retryTimer_ = -1;
    bool retryArmed_ = false;
    bool portFailureSaid_ = false;
    // Set by the receiver thread when the line hangs up; the shell's thread takes it.
    std::atomic<int> lostPort_{-1};
    bool lineAway_ = false;

    bool startupCompleted_ = false;
    bool lampKnown_ = false;
    Lamp lamp_ = Lamp::Red;
    long chunksHandled_ = 0;
};

}  // namespace zrq
