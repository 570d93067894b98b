// A ManagerModel with values a test sets and commands it records, served by the bus object in
// place of the service's engine.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "service/manager_model.h"
#include "store/config_file.h"

namespace zrq::testing {

class FakeManagerModel final : public ManagerModel {
public:
    FakeManagerModel() {
        stored.port = 3;
        stored.baudCode = 10;         // 4800
        stored.clock.CodeFormat = 1;  // TVZ_CODE
        stored.clock.CorrectionMode = CorrectionMode::EveryHour;
        stored.clock.CorrectionMinute = 0;
        stored.clock.CorrectionSecond = 30;
        stored.clock.JumpThresholdSec = 5;
        stored.clock.FineTuneMs = 12;
    }

    Lamp lamp() const override { return lampShown; }
    std::string statusMessage() const override { return status; }
    StoredSettings settings() const override { return stored; }
    bool jumpLog() const override { return jumpLogOn; }
    bool commLog() const override { return commLogOn; }
    std::optional<DecodedTimeCode> lastFrame() const override { return frame; }
    std::optional<LastCorrection> lastCorrection() const override { return correction; }

    void correctNow() override { ++correctNowCalls; }
    std::optional<std::string> applySettings(const SettingsChange& change) override {
        changes.push_back(change);
        if (refuseApply) return refuseApply;
        stored = change.settings;
        if (change.jumpLog) jumpLogOn = *change.jumpLog;
        if (change.commLog) commLogOn = *change.commLog;
        return std::nullopt;
    }
    void observe(bool on) override {
        observing = on;
        observeCalls.push_back(on);
    }

    Lamp lampShown = Lamp::Green;
    std::string status = "接收正常";
    StoredSettings stored;
    bool jumpLogOn = false;
    bool commLogOn = true;
    std::optional<DecodedTimeCode> frame = DecodedTimeCode{10, 11, 12, 2026, 12, 9};
    std::optional<LastCorrection> correction =
        LastCorrection{{2026, 12, 3, 9, 10, 0, 30, 12}, 1234, -1234, ""};

    int correctNowCalls = 0;
    std::vector<SettingsChange> changes;
    std::optional<std::string> refuseApply;  // what applySettings answers instead of applying
    bool observing = false;
    std::vector<bool> observeCalls;
};

}  // namespace zrq::testing
