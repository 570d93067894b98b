// What the service's bus object shows and steers: the service implements this over its clock
// engine, the bus object only reads it, checks callers and commands, and passes them on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/local_time.h"
#include "store/config_file.h"
#include "timecode/second_tick.h"
#include "timecode/time_code_format.h"

namespace zrq {

// The last correction attempt, made or refused.
struct LastCorrection {
    LocalTimeRecord time;             // local date and time of the attempt, with milliseconds
    std::optional<int64_t> offsetUs;  // PC minus device, microseconds; empty: no real moment
    int64_t stepUs = 0;               // what the clock moved, microseconds; 0 when refused
    std::string refusal;              // why nothing was set (UTF-8); empty when it was made
};

// A change the bus object has checked as a whole; every field is the value after the change.
struct SettingsChange {
    StoredSettings settings;      // port, rate code and correction settings, as savecfg writes
    std::optional<bool> jumpLog;  // the menu's log switches (not saved); empty: left as they are
    std::optional<bool> commLog;
};

class ManagerModel {
public:
    virtual ~ManagerModel() = default;

    // What the properties show; called on the service's thread whenever a client reads.
    virtual Lamp lamp() const = 0;
    virtual std::string statusMessage() const = 0;  // UTF-8
    virtual StoredSettings settings() const = 0;    // the settings in force
    virtual bool jumpLog() const = 0;
    virtual bool commLog() const = 0;
    virtual std::optional<DecodedTimeCode> lastFrame() const = 0;
    virtual std::optional<LastCorrection> lastCorrection() const = 0;

    // Commands from callers the bus object has let through.
    // As "立即校正": a correction at the next frame.
    virtual void correctNow() = 0;
    // Applies the change as the menu and the settings dialog would (the port, rate and format
    // switches with their hold and release, then the correction settings, saved with savecfg),
    // all or nothing: on failure nothing is left changed and the reason (UTF-8) is returned.
    virtual std::optional<std::string> applySettings(const SettingsChange& change) = 0;
    // On while at least one client observes: the monitor lines are then made and handed to
    // BusManager::monitorLine.
    virtual void observe(bool on) = 0;
};

}  // namespace zrq
