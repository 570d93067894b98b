// Asking systemd for the state of the known time services' units.
#include "service/unit_time_services.h"

#include <systemd/sd-bus.h>

#include <algorithm>

namespace zrq {
namespace {

constexpr const char* kSystemd = "org.freedesktop.systemd1";
constexpr const char* kSystemdPath = "/org/freedesktop/systemd1";
constexpr const char* kSystemdManager = "org.freedesktop.systemd1.Manager";
// The first look waits at most this long; systemd answers in about a millisecond.
constexpr uint64_t kFirstAnswerTimeoutUs = 500 * 1000;

struct KnownUnit {
    std::string_view unit;
    std::string_view process;  // as /proc/<pid>/comm gives it
};

// ntpsec and OpenNTPD name their daemon ntpd too; systemd-timesyncd is cut to 15 bytes.
constexpr KnownUnit kKnownUnits[] = {
    {"chrony.service", "chronyd"}, {"chronyd.service", "chronyd"},
    {"ntp.service", "ntpd"},       {"ntpsec.service", "ntpd"},
    {"openntpd.service", "ntpd"},  {"systemd-timesyncd.service", "systemd-timesyn"},
    {"ptp4l.service", "ptp4l"},    {"phc2sys.service", "phc2sys"},
};

}  // namespace

const std::vector<std::string> kTimeServiceUnits = [] {
    std::vector<std::string> units;
    for (const KnownUnit& known : kKnownUnits) units.emplace_back(known.unit);
    return units;
}();

std::optional<std::string_view> processOfUnit(std::string_view unit) {
    for (const KnownUnit& known : kKnownUnits) {
        if (known.unit == unit) return known.process;
    }
    return std::nullopt;
}

bool unitStateRuns(std::string_view activeState) {
    return activeState == "active" || activeState == "reloading" || activeState == "activating";
}

UnitTimeServiceProbe::UnitTimeServiceProbe(TimeServiceProbe& processes, sd_bus* bus)
    : processes_(processes) {
    useBus(bus);
}

void UnitTimeServiceProbe::useBus(sd_bus* bus) {
    pending_ = sd_bus_slot_unref(pending_);
    sd_bus_unref(bus_);
    bus_ = bus ? sd_bus_ref(bus) : nullptr;
    answered_ = false;
    unitProcesses_.clear();
}

UnitTimeServiceProbe::~UnitTimeServiceProbe() {
    sd_bus_slot_unref(pending_);
    sd_bus_unref(bus_);
}

std::vector<std::string> UnitTimeServiceProbe::processNames() {
    std::vector<std::string> names = processes_.processNames();
    if (bus_) {
        if (!answered_) {
            askAndWait();
        } else {
            askAsync();
        }
    }
    names.insert(names.end(), unitProcesses_.begin(), unitProcesses_.end());
    return names;
}

namespace {

// ListUnitsByNames: one question for all the units, and no error for a unit systemd does not
// know (it comes back "inactive"). Anyone may ask it.
int newQuestion(sd_bus* bus, sd_bus_message** question) {
    int r = sd_bus_message_new_method_call(bus, question, kSystemd, kSystemdPath, kSystemdManager,
                                           "ListUnitsByNames");
    if (r < 0) return r;
    r = sd_bus_message_open_container(*question, 'a', "s");
    for (size_t i = 0; r >= 0 && i < kTimeServiceUnits.size(); ++i) {
        r = sd_bus_message_append(*question, "s", kTimeServiceUnits[i].c_str());
    }
    if (r >= 0) r = sd_bus_message_close_container(*question);
    if (r < 0) *question = sd_bus_message_unref(*question);
    return r;
}

}  // namespace

void UnitTimeServiceProbe::askAsync() {
    if (pending_) return;  // the last question is still open
    sd_bus_message* question = nullptr;
    if (newQuestion(bus_, &question) < 0) return;
    sd_bus_call_async(bus_, &pending_, question, onAnswer, this, 0);
    sd_bus_message_unref(question);
}

void UnitTimeServiceProbe::askAndWait() {
    sd_bus_message* question = nullptr;
    sd_bus_message* reply = nullptr;
    if (newQuestion(bus_, &question) < 0) return;
    if (sd_bus_call(bus_, question, kFirstAnswerTimeoutUs, nullptr, &reply) >= 0) {
        takeAnswer(reply);
    }
    // Answered or not (no systemd on this bus), the next looks ask without waiting.
    answered_ = true;
    sd_bus_message_unref(reply);
    sd_bus_message_unref(question);
}

int UnitTimeServiceProbe::onAnswer(sd_bus_message* reply, void* self, sd_bus_error*) {
    auto& probe = *static_cast<UnitTimeServiceProbe*>(self);
    probe.pending_ = sd_bus_slot_unref(probe.pending_);
    // An error answer keeps the previous answer: a service does not vanish because systemd
    // was too busy to say.
    if (!sd_bus_message_is_method_error(reply, nullptr)) probe.takeAnswer(reply);
    return 0;
}

// The answer: an array of (name, description, load state, active state, sub state, followed
// unit, object path, job id, job type, job path).
bool UnitTimeServiceProbe::takeAnswer(sd_bus_message* reply) {
    std::vector<std::string> running;
    int r = sd_bus_message_enter_container(reply, 'a', "(ssssssouso)");
    const char* name = nullptr;
    const char* active = nullptr;
    while (r >= 0 &&
           (r = sd_bus_message_read(reply, "(ssssssouso)", &name, nullptr, nullptr, &active,
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) > 0) {
        const auto process = processOfUnit(name);
        if (process && unitStateRuns(active) &&
            std::find(running.begin(), running.end(), *process) == running.end()) {
            running.emplace_back(*process);
        }
    }
    if (r < 0 || sd_bus_message_exit_container(reply) < 0) return false;
    unitProcesses_ = std::move(running);
    return true;
}

}  // namespace zrq
