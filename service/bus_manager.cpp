// The bus object: properties read from the model, methods checked and passed on, signals sent.
#include "service/bus_manager.h"
#include "base/system_calls.h"
#include "base/time_units.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/epoll.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "serial/serial_library.h"
#include "service/bus_names.h"
#include "service/settings_command.h"

namespace zrq {
namespace {

// The rate in bit/s; 0 for a code that is neither of the two the device uses.
uint32_t baudRate(int baudCode) {
    if (baudCode == kBaudCode4800) return 4800;
    if (baudCode == kBaudCode9600) return 9600;
    return 0;
}

// "YYYY-MM-DD HH:MM:SS", or "HH:MM:SS" for a frame without a date; "" for none.
std::string frameText(const std::optional<DecodedTimeCode>& frame) {
    if (!frame) return "";
    char text[48];
    if (frame->year != 0 && frame->month != 0 && frame->day != 0) {
        std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", frame->year, frame->month,
                      frame->day, frame->hour, frame->minute, frame->second);
    } else {
        std::snprintf(text, sizeof text, "%02u:%02u:%02u", frame->hour, frame->minute,
                      frame->second);
    }
    return text;
}

// "YYYY-MM-DD HH:MM:SS.mmm".
std::string attemptTimeText(const LocalTimeRecord& t) {
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.milliseconds);
    return text;
}

// One text of the last correction, for finding a change.
std::string correctionKey(const std::optional<LastCorrection>& c) {
    if (!c) return "";
    return attemptTimeText(c->time) + '|' + (c->offsetUs ? std::to_string(*c->offsetUs) : "-") +
           '|' + std::to_string(c->stepUs) + '|' + c->refusal;
}

const char* boxKindName(BusManager::BoxKind kind) {
    switch (kind) {
        case BusManager::BoxKind::Error:
            return "error";
        case BusManager::BoxKind::Warning:
            return "warning";
        case BusManager::BoxKind::Plain:
            break;
    }
    return "plain";
}

std::optional<bool> onOff(std::string_view value) {
    if (value == "on") return true;
    if (value == "off") return false;
    return std::nullopt;
}

// Whether the user `uid` is a member of `group` in the user database (primary or listed).
bool userDatabaseMember(uid_t uid, gid_t group) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
        return false;
    }
    if (found->pw_gid == group) return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    while (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count) + 64);
        count = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<size_t>(count));
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

std::string errnoText(const char* what, int negativeErrno) {
    return std::string(what) + ": " + errorText(-negativeErrno);
}

// Property names, in the order the vtable lists them.
constexpr const char* kLamp = "Lamp";
constexpr const char* kStatusMessage = "StatusMessage";
constexpr const char* kPort = "Port";
constexpr const char* kBaudRate = "BaudRate";
constexpr const char* kFormat = "Format";
constexpr const char* kSchedule = "Schedule";
constexpr const char* kJumpThreshold = "JumpThreshold";
constexpr const char* kFineTuneMs = "FineTuneMs";
constexpr const char* kJumpLog = "JumpLog";
constexpr const char* kCommLog = "CommLog";
constexpr const char* kLastFrame = "LastFrame";
constexpr const char* kLastCorrection = "LastCorrection";

}  // namespace

std::optional<gid_t> groupNamed(const char* name) {
    long size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    group entry{};
    group* found = nullptr;
    while (::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (!found) return std::nullopt;
    return found->gr_gid;
}

std::optional<std::string> checkSettingsChange(
    const std::vector<std::pair<std::string, std::string>>& pairs, SettingsChange& change) {
    SettingsChange checked = change;
    const bool baudGiven = std::any_of(pairs.begin(), pairs.end(),
                                       [](const auto& pair) { return pair.first == "baud"; });
    for (const auto& [key, value] : pairs) {
        if (key == bus::kJumpLogKey || key == bus::kCommLogKey) {
            const auto on = onOff(value);
            if (!on) return key + ": " + value + " is neither on nor off";
            (key == bus::kJumpLogKey ? checked.jumpLog : checked.commLog) = *on;
            continue;
        }
        if (auto error = applySetting(checked.settings, key + "=" + value, baudGiven)) {
            if (error->starts_with("unknown key")) {
                return "unknown key " + key +
                       " (port, baud, format, schedule, threshold, fine, jumplog, commlog)";
            }
            return error;
        }
    }
    change = checked;
    return std::nullopt;
}

// --- Serving.

BusManager::BusManager(ManagerModel& model, Options options) : model_(model), options_(options) {}

BusManager::~BusManager() { stop(); }

void BusManager::stop() {
    observers_ = sd_bus_track_unref(observers_);
    object_ = sd_bus_slot_unref(object_);
    if (bus_) bus_ = sd_bus_flush_close_unref(bus_);
}

std::optional<std::string> BusManager::start() {
    static const sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("CorrectNow", "", "", onCorrectNow, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_NAMES("Set", "a{ss}", SD_BUS_PARAM(settings), "", "", onSet,
                                 SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Observe", "", "", onObserve, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("StopObserving", "", "", onStopObserving, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_SIGNAL_WITH_NAMES("MonitorLine", "s", SD_BUS_PARAM(line), 0),
        SD_BUS_SIGNAL_WITH_NAMES("Box", "ss", SD_BUS_PARAM(kind) SD_BUS_PARAM(text), 0),
        SD_BUS_PROPERTY(kLamp, "s", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY(kStatusMessage, "s", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY(kPort, "i", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY(kBaudRate, "u", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY(kFormat, "s", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY(kSchedule, "s", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY(kJumpThreshold, "u", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY(kFineTuneMs, "u", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY(kJumpLog, "b", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY(kCommLog, "b", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY(kLastFrame, "s", getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY(kLastCorrection, "(sbxxs)", getProperty, 0,
                        SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_VTABLE_END,
    };
    if (bus_) return "already on the bus";
    int r = sd_bus_open_system_with_description(&bus_, "zrqd");
    if (r < 0) {
        bus_ = nullptr;
        return errnoText("cannot connect to the system bus", r);
    }
    std::optional<std::string> failure;
    if ((r = sd_bus_add_object_vtable(bus_, &object_, bus::kObjectPath, bus::kManagerInterface,
                                      kVtable, this)) < 0) {
        failure = errnoText("cannot serve the object", r);
    } else if ((r = sd_bus_request_name(bus_, bus::kServiceName, 0)) < 0) {
        failure = errnoText((std::string("cannot own the name ") + bus::kServiceName).c_str(), r);
    } else if ((r = sd_bus_track_new(bus_, &observers_, onObserversGone, this)) < 0) {
        // Made once the connection is up: a tracker made before breaks the connection's start.
        failure = errnoText("cannot track observers", r);
    }
    if (failure) {
        stop();
        return failure;
    }
    sent_ = snapshot();
    return std::nullopt;
}

int BusManager::descriptor() const { return bus_ ? sd_bus_get_fd(bus_) : -1; }

uint32_t BusManager::events() const {
    const int events = bus_ ? sd_bus_get_events(bus_) : 0;
    // sd-bus gives poll's bits; epoll's have the same values.
    return (events & POLLIN ? EPOLLIN : 0u) | (events & POLLOUT ? EPOLLOUT : 0u);
}

int BusManager::timeoutMs() const {
    uint64_t until = 0;
    if (!bus_ || sd_bus_get_timeout(bus_, &until) < 0 || until == UINT64_MAX) return -1;
    if (until == 0) return 0;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    if (until <= nowUs) return 0;
    // Rounded up, so that the wait does not end just before the deadline.
    return static_cast<int>(
        std::min<uint64_t>((until - nowUs + kUsPerMs - 1) / kUsPerMs, INT32_MAX));
}

bool BusManager::process() {
    if (!bus_) return false;
    for (;;) {
        const int r = sd_bus_process(bus_, nullptr);
        if (r < 0) {
            // Every observer is gone with the connection.
            stop();
            if (observing_) {
                observing_ = false;
                model_.observe(false);
            }
            return false;
        }
        if (r == 0) return true;
    }
}

// --- Properties.

BusManager::Snapshot BusManager::snapshot() const {
    const StoredSettings settings = model_.settings();
    Snapshot s;
    s.lamp = lampName(model_.lamp());
    s.statusMessage = model_.statusMessage();
    s.port = settings.port;
    s.baudRate = baudRate(settings.baudCode);
    s.format = formatText(settings.clock.CodeFormat);
    s.schedule = scheduleText(settings.clock);
    s.jumpThreshold = settings.clock.JumpThresholdSec;
    s.fineTuneMs = settings.clock.FineTuneMs;
    s.jumpLog = model_.jumpLog();
    s.commLog = model_.commLog();
    s.lastFrame = frameText(model_.lastFrame());
    s.lastCorrection = correctionKey(model_.lastCorrection());
    return s;
}

int BusManager::getProperty(sd_bus*, const char*, const char*, const char* property,
                            sd_bus_message* reply, void* self, sd_bus_error*) {
    return static_cast<BusManager*>(self)->appendProperty(property, reply);
}

int BusManager::appendProperty(std::string_view property, sd_bus_message* reply) const {
    if (property == kLastCorrection) {
        const std::optional<LastCorrection> c = model_.lastCorrection();
        if (!c) return sd_bus_message_append(reply, "(sbxxs)", "", 0, int64_t{0}, int64_t{0}, "");
        const std::string time = attemptTimeText(c->time);
        const char* result = c->refusal.empty() ? "set" : c->refusal.c_str();
        return sd_bus_message_append(reply, "(sbxxs)", time.c_str(), c->offsetUs.has_value(),
                                     c->offsetUs.value_or(0), c->stepUs, result);
    }
    const Snapshot s = snapshot();
    if (property == kLamp) return sd_bus_message_append(reply, "s", s.lamp.c_str());
    if (property == kStatusMessage) {
        return sd_bus_message_append(reply, "s", s.statusMessage.c_str());
    }
    if (property == kPort) return sd_bus_message_append(reply, "i", s.port);
    if (property == kBaudRate) return sd_bus_message_append(reply, "u", s.baudRate);
    if (property == kFormat) return sd_bus_message_append(reply, "s", s.format.c_str());
    if (property == kSchedule) return sd_bus_message_append(reply, "s", s.schedule.c_str());
    if (property == kJumpThreshold) return sd_bus_message_append(reply, "u", s.jumpThreshold);
    if (property == kFineTuneMs) return sd_bus_message_append(reply, "u", s.fineTuneMs);
    if (property == kJumpLog) return sd_bus_message_append(reply, "b", s.jumpLog);
    if (property == kCommLog) return sd_bus_message_append(reply, "b", s.commLog);
    if (property == kLastFrame) return sd_bus_message_append(reply, "s", s.lastFrame.c_str());
    return -ENOENT;
}

void BusManager::propertiesChanged() {
    if (!bus_) return;
    const Snapshot now = snapshot();
    std::vector<const char*> changed;
    const auto note = [&changed](bool differs, const char* name) {
        if (differs) changed.push_back(name);
    };
    note(now.lamp != sent_.lamp, kLamp);
    note(now.statusMessage != sent_.statusMessage, kStatusMessage);
    note(now.port != sent_.port, kPort);
    note(now.baudRate != sent_.baudRate, kBaudRate);
    note(now.format != sent_.format, kFormat);
    note(now.schedule != sent_.schedule, kSchedule);
    note(now.jumpThreshold != sent_.jumpThreshold, kJumpThreshold);
    note(now.fineTuneMs != sent_.fineTuneMs, kFineTuneMs);
    note(now.jumpLog != sent_.jumpLog, kJumpLog);
    note(now.commLog != sent_.commLog, kCommLog);
    note(now.lastFrame != sent_.lastFrame, kLastFrame);
    note(now.lastCorrection != sent_.lastCorrection, kLastCorrection);
    sent_ = now;
    if (changed.empty()) return;
    changed.push_back(nullptr);
    sd_bus_emit_properties_changed_strv(bus_, bus::kObjectPath, bus::kManagerInterface,
                                        const_cast<char**>(changed.data()));
}

// --- Signals.

void BusManager::monitorLine(std::string_view utf8) {
    if (!bus_ || observers() == 0) return;
    const std::string line(utf8);
    sd_bus_emit_signal(bus_, bus::kObjectPath, bus::kManagerInterface, "MonitorLine", "s",
                       line.c_str());
}

void BusManager::box(BoxKind kind, std::string_view utf8) {
    if (!bus_) return;
    const std::string text(utf8);
    sd_bus_emit_signal(bus_, bus::kObjectPath, bus::kManagerInterface, "Box", "ss",
                       boxKindName(kind), text.c_str());
}

unsigned BusManager::observers() const { return observers_ ? sd_bus_track_count(observers_) : 0; }

// --- Methods.

// The bus daemon's policy lets only root and the operator group call the methods; the check is
// made here again, so that a looser policy on some machine does not open the clock to everyone.
// The caller's groups come from the bus when it tells them; otherwise from the user database,
// as the bus daemon's own policy does (reading /proc would be racy, and the unit hides it).
bool BusManager::callerMayChange(sd_bus_message* m, sd_bus_error* error) const {
    sd_bus_creds* creds = nullptr;
    const uint64_t mask = SD_BUS_CREDS_EUID | SD_BUS_CREDS_UID | SD_BUS_CREDS_EGID |
                          SD_BUS_CREDS_GID | SD_BUS_CREDS_SUPPLEMENTARY_GIDS;
    if (sd_bus_query_sender_creds(m, mask, &creds) < 0) {
        sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "the caller's identity is unknown");
        return false;
    }
    uid_t uid = 0;
    bool known = sd_bus_creds_get_euid(creds, &uid) >= 0 || sd_bus_creds_get_uid(creds, &uid) >= 0;
    bool allowed = known && uid == 0;
    if (known && !allowed && options_.operatorGroup) {
        const gid_t wanted = *options_.operatorGroup;
        gid_t gid = 0;
        const gid_t* groups = nullptr;
        const int count = sd_bus_creds_get_supplementary_gids(creds, &groups);
        const bool groupsKnown = count >= 0;
        for (int i = 0; i < count; ++i) allowed = allowed || groups[i] == wanted;
        if (sd_bus_creds_get_egid(creds, &gid) >= 0 || sd_bus_creds_get_gid(creds, &gid) >= 0) {
            allowed = allowed || gid == wanted;
        }
        if (!groupsKnown) allowed = allowed || userDatabaseMember(uid, wanted);
    }
    sd_bus_creds_unref(creds);
    if (allowed) return true;
    const std::string text = std::string("only root and the members of the group ") +
                             bus::kOperatorGroup + " may change the service" +
                             (known ? " (caller uid " + std::to_string(uid) + ")" : "");
    sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, text.c_str());
    return false;
}

int BusManager::onCorrectNow(sd_bus_message* m, void* self, sd_bus_error* error) {
    auto& manager = *static_cast<BusManager*>(self);
    if (!manager.callerMayChange(m, error)) return -EACCES;
    manager.model_.correctNow();
    return sd_bus_reply_method_return(m, "");
}

int BusManager::onSet(sd_bus_message* m, void* self, sd_bus_error* error) {
    auto& manager = *static_cast<BusManager*>(self);
    if (!manager.callerMayChange(m, error)) return -EACCES;
    std::vector<std::pair<std::string, std::string>> pairs;
    int r = sd_bus_message_enter_container(m, 'a', "{ss}");
    if (r < 0) return r;
    const char* key = nullptr;
    const char* value = nullptr;
    while ((r = sd_bus_message_read(m, "{ss}", &key, &value)) > 0) pairs.emplace_back(key, value);
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
    if (pairs.empty()) {
        sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "no setting given; nothing was changed");
        return -EINVAL;
    }
    SettingsChange change{manager.model_.settings(), std::nullopt, std::nullopt};
    if (const auto refused = checkSettingsChange(pairs, change)) {
        const std::string text = *refused + "; nothing was changed";
        sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, text.c_str());
        return -EINVAL;
    }
    if (const auto failed = manager.model_.applySettings(change)) {
        const std::string text = *failed + "; nothing was changed";
        sd_bus_error_set(error, SD_BUS_ERROR_FAILED, text.c_str());
        return -EIO;
    }
    manager.propertiesChanged();
    return sd_bus_reply_method_return(m, "");
}

int BusManager::onObserve(sd_bus_message* m, void* self, sd_bus_error* error) {
    auto& manager = *static_cast<BusManager*>(self);
    if (!manager.callerMayChange(m, error)) return -EACCES;
    // The tracker watches the caller's name: when it leaves the bus, it stops observing.
    const int r = sd_bus_track_add_sender(manager.observers_, m);
    if (r < 0) return r;
    if (!manager.observing_) {
        manager.observing_ = true;
        manager.model_.observe(true);
    }
    return sd_bus_reply_method_return(m, "");
}

int BusManager::onStopObserving(sd_bus_message* m, void* self, sd_bus_error* error) {
    auto& manager = *static_cast<BusManager*>(self);
    if (!manager.callerMayChange(m, error)) return -EACCES;
    sd_bus_track_remove_sender(manager.observers_, m);
    return sd_bus_reply_method_return(m, "");
}

// Called once the last observer has stopped or left the bus. The answer 1 says it has been
// dealt with; 0 would have it called again at every pass while the set stays empty.
int BusManager::onObserversGone(sd_bus_track*, void* self) {
    auto& manager = *static_cast<BusManager*>(self);
    if (manager.observing_ && manager.observers() == 0) {
        manager.observing_ = false;
        manager.model_.observe(false);
    }
    return 1;
}

}  // namespace zrq
