// Reading, checking, describing and saving the settings from the command line.
#include "service/settings_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>

#include "base/message_boxes.h"
#include "base/working_directory.h"
#include "serial/serial_library.h"
#include "serial/terminal_devices.h"
#include "timecode/time_code_format.h"

namespace zrq {
namespace {

constexpr int kMinPort = 1;
constexpr int kMaxPort = 255;  // a stored port number is one byte
// The settings dialog's ranges.
constexpr int kMinThresholdSec = 2;
constexpr int kMaxThresholdSec = 59;
constexpr int kMaxFineMs = 999;

constexpr const char* kFormatNames[] = {"TVZ_CODE", "EB_CODE", "ST_CODE"};

// A whole number in [low, high] written in decimal digits only.
std::optional<int> number(std::string_view text, int low, int high) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || rest != end || text.front() == '-' || value < low ||
        value > high) {
        return std::nullopt;
    }
    return value;
}

// "A:B[:C]" split at colons into at most three fields; empty when a field is no number.
std::optional<std::vector<int>> clockFields(std::string_view text, const int* highs, size_t count) {
    std::vector<int> fields;
    size_t from = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t colon = text.find(':', from);
        const bool last = i + 1 == count;
        if (last != (colon == std::string_view::npos)) return std::nullopt;
        const std::string_view part =
            text.substr(from, last ? std::string_view::npos : colon - from);
        if (part.size() > 2) return std::nullopt;
        const auto value = number(part, 0, highs[i]);
        if (!value) return std::nullopt;
        fields.push_back(*value);
        from = colon + 1;
    }
    return fields;
}

std::string twoDigits(int value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%02d", value);
    return buffer;
}

std::optional<std::string> setSchedule(ClockSettings& s, std::string_view value) {
    static constexpr int kHms[] = {23, 59, 59};
    static constexpr int kMs[] = {59, 59};
    static constexpr int kS[] = {59};
    const std::string bad =
        "schedule: expected minute:SS, hour:MM:SS or daily:HH:MM:SS[,...], got " +
        std::string(value);
    if (value.starts_with("minute:")) {
        const auto f = clockFields(value.substr(7), kS, 1);
        if (!f) return bad;
        s.CorrectionMode = CorrectionMode::EveryMinute;
        s.CorrectionSecond = static_cast<uint8_t>((*f)[0]);
        return std::nullopt;
    }
    if (value.starts_with("hour:")) {
        const auto f = clockFields(value.substr(5), kMs, 2);
        if (!f) return bad;
        s.CorrectionMode = CorrectionMode::EveryHour;
        s.CorrectionMinute = static_cast<uint8_t>((*f)[0]);
        s.CorrectionSecond = static_cast<uint8_t>((*f)[1]);
        return std::nullopt;
    }
    if (!value.starts_with("daily:")) return bad;
    std::vector<DateTimeValue> points;
    std::string_view list = value.substr(6);
    while (!list.empty()) {
        const size_t comma = list.find(',');
        const std::string_view item = list.substr(0, comma);
        const auto f = clockFields(item, kHms, 3);
        if (!f) return bad;
        points.push_back(timeOfDayValue((*f)[0], (*f)[1], (*f)[2], 0));
        if (comma == std::string_view::npos) break;
        list = list.substr(comma + 1);
        if (list.empty()) return bad;  // a trailing comma
    }
    if (points.size() > static_cast<size_t>(kMaxDailyPoints)) {
        return "schedule: at most " + std::to_string(kMaxDailyPoints) + " daily points, got " +
               std::to_string(points.size());
    }
    s.CorrectionMode = CorrectionMode::DailyPoints;
    s.DailyPointCount = static_cast<uint8_t>(points.size());
    // The slots after the list are cleared; the 25th, which nothing uses, is carried as it was.
    for (int i = 0; i < kMaxDailyPoints; ++i) {
        s.DailyPoints[i] = i < static_cast<int>(points.size()) ? points[i] : 0.0;
    }
    return std::nullopt;
}

std::string scheduleWords(const ClockSettings& s) {
    switch (s.CorrectionMode) {
        case CorrectionMode::EveryMinute:
            return "every minute at second " + std::to_string(s.CorrectionSecond);
        case CorrectionMode::EveryHour:
            return "every hour at minute " + std::to_string(s.CorrectionMinute) + ", second " +
                   std::to_string(s.CorrectionSecond);
        case CorrectionMode::DailyPoints:
            return s.DailyPointCount == 0
                       ? "never (no daily points)"
                       : "daily, at " + std::to_string(s.DailyPointCount) + " time(s) of day";
    }
    return "no scheduled correction";
}

// A failure the store reports goes to `err`; 1.
int fileFailure(std::FILE* err, const std::string& path, const std::string& what) {
    std::fprintf(err, "zrqd: %s: %s\n", path.c_str(), what.c_str());
    return 1;
}

// The folder that holds `path`.
std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The working-directory rule for the settings file's folder: a folder another user can write
// may hold a link he planted, and whoever runs --set (root, say) would write through it. Says
// so on `err`; false then.
bool folderIsSafe(const std::string& path, std::FILE* err) {
    const std::string folder = folderOf(path);
    if (isSafeWorkingDirectory(folder)) return true;
    std::fprintf(err,
                 "zrqd: %s: the folder belongs to another user or others can write to it; run "
                 "zrqd --show and --set as the service's user, who owns the folder\n",
                 folder == "." ? workingDirectoryPath().c_str() : folder.c_str());
    return false;
}

// A settings file that is a link is written at its target, as the program saves it, but only
// when the target is the caller's or the folder owner's: never another user's file.
bool linkTargetIsOurs(const std::string& path, std::FILE* err) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return true;
    struct stat target {};
    struct stat folder {};
    if (::stat(path.c_str(), &target) != 0) return true;  // a new file: the caller's
    if (::stat(folderOf(path).c_str(), &folder) != 0) return false;
    if (target.st_uid == ::getuid() || target.st_uid == folder.st_uid) return true;
    std::fprintf(err, "zrqd: %s: a link to a file of another user (uid %u); nothing was written\n",
                 path.c_str(), static_cast<unsigned>(target.st_uid));
    return false;
}

}  // namespace

std::string baudText(int code) {
    if (code == kBaudCode4800) return "4800";
    if (code == kBaudCode9600) return "9600";
    return "code " + std::to_string(code) + " (neither 4800 nor 9600)";
}

std::string formatText(int format) {
    if (format >= TVZ_CODE && format <= ST_CODE) return kFormatNames[format - 1];
    return std::to_string(format) + " (no format)";
}

std::string scheduleText(const ClockSettings& s) {
    switch (s.CorrectionMode) {
        case CorrectionMode::EveryMinute:
            return "minute:" + twoDigits(s.CorrectionSecond);
        case CorrectionMode::EveryHour:
            return "hour:" + twoDigits(s.CorrectionMinute) + ":" + twoDigits(s.CorrectionSecond);
        case CorrectionMode::DailyPoints: {
            std::string text = "daily:";
            const int count = std::min<int>(s.DailyPointCount, kMaxDailyPoints);
            for (int i = 0; i < count; ++i) {
                const TimeOfDay t = splitTimeOfDay(s.DailyPoints[i]);
                if (i > 0) text += ",";
                text += twoDigits(t.hour) + ":" + twoDigits(t.minute) + ":" + twoDigits(t.second);
            }
            return text;
        }
    }
    return "none (mode " + std::to_string(static_cast<int>(s.CorrectionMode)) + ")";
}

std::string describeSettings(const StoredSettings& s) {
    const ClockSettings& c = s.clock;
    std::string text;
    text += "port       " + std::to_string(s.port) + "  (COM" + std::to_string(s.port) + ")\n";
    text += "baud       " + baudText(s.baudCode) + "\n";
    text += "format     " + formatText(c.CodeFormat) + "\n";
    text += "schedule   " + scheduleText(c) + "  (" + scheduleWords(c) + ")\n";
    text += "threshold  " + std::to_string(c.JumpThresholdSec) +
            "  (a difference of more seconds is a jump)\n";
    text += "fine       " + std::to_string(c.FineTuneMs) +
            "  (milliseconds given to the time a correction sets)\n";
    return text;
}

std::optional<std::string> applySetting(StoredSettings& settings, std::string_view keyValue,
                                        bool keepBaud) {
    const size_t equals = keyValue.find('=');
    if (equals == std::string_view::npos) {
        return "expected KEY=VALUE, got " + std::string(keyValue);
    }
    const std::string_view key = keyValue.substr(0, equals);
    const std::string_view value = keyValue.substr(equals + 1);
    StoredSettings changed = settings;
    const std::string given = std::string(key) + ": " + std::string(value);
    if (key == "port") {
        const auto port = number(value, kMinPort, kMaxPort);
        if (!port) return given + " is no port number 1..255";
        changed.port = *port;
    } else if (key == "baud") {
        if (value == "4800") {
            changed.baudCode = kBaudCode4800;
        } else if (value == "9600") {
            changed.baudCode = kBaudCode9600;
        } else {
            return given + " is no rate (4800 or 9600)";
        }
    } else if (key == "format") {
        int format = 0;
        for (int i = 0; i < 3; ++i) {
            if (value == kFormatNames[i]) format = i + 1;
        }
        if (format == 0) return given + " is no format (TVZ_CODE, EB_CODE or ST_CODE)";
        changed.clock.CodeFormat = static_cast<uint8_t>(format);
        if (!keepBaud) changed.baudCode = format == TVZ_CODE ? kBaudCode4800 : kBaudCode9600;
    } else if (key == "schedule") {
        if (auto error = setSchedule(changed.clock, value)) return error;
    } else if (key == "threshold") {
        const auto seconds = number(value, kMinThresholdSec, kMaxThresholdSec);
        if (!seconds) return given + " is no threshold (2..59 seconds)";
        changed.clock.JumpThresholdSec = static_cast<uint8_t>(*seconds);
    } else if (key == "fine") {
        const auto ms = number(value, 0, kMaxFineMs);
        if (!ms) return given + " is no fine adjustment (0..999 ms)";
        changed.clock.FineTuneMs = static_cast<uint16_t>(*ms);
    } else {
        return "unknown key " + std::string(key) +
               " (port, baud, format, schedule, threshold, fine)";
    }
    settings = changed;
    return std::nullopt;
}

int showSettings(const std::string& path, std::FILE* out, std::FILE* err) {
    if (!folderIsSafe(path, err)) return 1;
    try {
        const LoadResult loaded = loadSettings(path, StoredSettings{});
        switch (loaded.outcome) {
            case LoadOutcome::CannotOpen:
                return fileFailure(err, path, "File access error");
            case LoadOutcome::NoFile:
                std::fprintf(out, "%s: no such file; the defaults:\n", path.c_str());
                break;
            case LoadOutcome::TooShort:
                std::fprintf(out, "%s: shorter than one record; every value is 0:\n", path.c_str());
                break;
            case LoadOutcome::Loaded:
                std::fprintf(out, "%s:\n", path.c_str());
                break;
        }
        std::fputs(describeSettings(loaded.settings).c_str(), out);
        if (const auto latency = adapterLatencyTimerMs(loaded.settings.port))
            std::fprintf(out, "latency    %d ms  (the USB serial adapter's latency timer)\n",
                         *latency);
        for (const std::string& finding : unknownStoredValues(path, loaded))
            std::fprintf(err, "zrqd: %s\n", finding.c_str());
    } catch (const FileError& e) {
        return fileFailure(err, path, e.what());
    }
    return std::fflush(out) == 0 ? 0 : 1;
}

int setSettings(const std::string& path, const std::vector<std::string>& assignments,
                std::FILE* out, std::FILE* err) {
    if (assignments.empty()) {
        std::fputs("zrqd: --set needs at least one KEY=VALUE\n", err);
        return kSetUsageStatus;
    }
    if (!folderIsSafe(path, err)) return 1;
    // An explicit rate wins over the one a format brings, wherever it stands.
    bool baudGiven = false;
    for (const std::string& a : assignments) baudGiven = baudGiven || a.starts_with("baud=");
    try {
        const LoadResult loaded = loadSettings(path, StoredSettings{});
        if (loaded.outcome == LoadOutcome::CannotOpen) {
            return fileFailure(err, path, "File access error");
        }
        StoredSettings settings = loaded.settings;
        for (const std::string& assignment : assignments) {
            if (const auto error = applySetting(settings, assignment, baudGiven)) {
                std::fprintf(err, "zrqd: %s; nothing was changed\n", error->c_str());
                return kSetUsageStatus;
            }
        }
        if (!linkTargetIsOurs(path, err)) return 1;
        savecfg(path, settings);
        std::fputs(describeSettings(settings).c_str(), out);
    } catch (const FileError& e) {
        return fileFailure(err, path, e.what());
    }
    return std::fflush(out) == 0 ? 0 : 1;
}

}  // namespace zrq
