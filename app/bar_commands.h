// What the bar's menu and dialogs act on: the bar's own clock engine when it runs on its own, or
// the clock service when the bar is the service's face. The widgets are the same in both.
#pragma once

#include "base/gbk_text.h"
#include "store/clock_settings.h"
#include "timecode/clock_core.h"

namespace zrq {

class BarCommands {
public:
    virtual ~BarCommands() = default;

    virtual void switchFormat(int format) = 0;  // 1..3
    virtual void switchPort(int port) = 0;
    // The port dialog's "使用": true when the dialog may close.
    virtual bool switchPortFromDialog(int port) = 0;
    virtual void switchRate(int baudCode) = 0;
    virtual void correctNow() = 0;
    // The settings dialog shows settings() at each opening and hands "应用" to applySettings.
    virtual const ClockSettings& settings() const = 0;
    virtual void applySettings(const ClockSettings& values) = 0;
    // Whether the monitor window observes.
    virtual void observe(bool on) = 0;
    virtual bool jumpLog() const = 0;
    virtual void setJumpLog(bool on) = 0;
    virtual bool commLog() const = 0;
    virtual void setCommLog(bool on) = 0;
    // What a double-click on the lamp shows.
    virtual GbkText statusMessage() const = 0;
};

// The standalone program's: straight through to its engine. The commands that save the settings
// throw (FileError); callers run them guarded.
class EngineCommands final : public BarCommands {
public:
    explicit EngineCommands(ClockCore& core) : core_(core) {}

    void switchFormat(int format) override { core_.switchFormat(format); }
    void switchPort(int port) override { core_.switchPort(port); }
    bool switchPortFromDialog(int port) override { return core_.switchPortFromDialog(port); }
    void switchRate(int baudCode) override { core_.switchRate(baudCode); }
    void correctNow() override { core_.correctNow(); }
    const ClockSettings& settings() const override { return core_.settings(); }
    void applySettings(const ClockSettings& values) override { core_.applySettings(values); }
    void observe(bool on) override { core_.observe(on); }
    bool jumpLog() const override { return core_.status().JumpLogEnabled; }
    void setJumpLog(bool on) override { core_.setJumpLog(on); }
    bool commLog() const override { return core_.status().CommLogEnabled; }
    void setCommLog(bool on) override { core_.setCommLog(on); }
    GbkText statusMessage() const override { return core_.status().StatusMessage; }

private:
    ClockCore& core_;
};

}  // namespace zrq
