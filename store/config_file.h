// The configuration file "kelvosys.conf": one 224-byte little-endian record of the settings plus
// the port number and baud code.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "store/clock_settings.h"

namespace zrq {

inline constexpr const char* kConfigFileName = "kelvosys.conf";
constexpr int kConfigRecordSize = 224;
using ConfigRecord = std::array<uint8_t, kConfigRecordSize>;

// What is stored: the settings and the two line parameters that persist.
struct StoredSettings {
    ClockSettings clock;
    int32_t port = 0;      // 1 = COM1
    int32_t baudCode = 0;  // 10 = 4800, 12 = 9600
};

// The values used when no file exists.
StoredSettings defaultSettings();

ConfigRecord encodeConfigRecord(const StoredSettings& s);  // reserved bytes are zero
StoredSettings decodeConfigRecord(const ConfigRecord& r);  // values as stored (count clamped to 24)

enum class LoadOutcome {
    NoFile,      // defaults applied, nothing created
    Loaded,      // the first 224 bytes were read
    TooShort,    // under 224 bytes: nothing read, `start` kept
    CannotOpen,  // exists but cannot be opened for reading and writing: the caller warns and stops
};

struct LoadResult {
    LoadOutcome outcome;
    StoredSettings settings;  // JumpNoCorrect already forced to 1 (except after CannotOpen)
};

// Loads `path`, keeping `start` where the file gives nothing. A read or close failure after a
// successful open throws FileError.
LoadResult loadSettings(const std::string& path, const StoredSettings& start);

// What the loaded file holds that the program does not know, one UTF-8 line each naming `path`:
// a file shorter than one record, a format outside 1..3, a rate code other than 10 (4800) and
// 12 (9600), port 0. Empty when nothing is unknown, and when no file was read (no file, cannot
// open). Loading itself keeps the values as stored.
std::vector<std::string> unknownStoredValues(const std::string& path, const LoadResult& loaded);

// `loaded` with each unknown format, rate code and port replaced by the one in `previous`, for a
// reload that keeps what runs rather than take (and save back) what nobody can use.
StoredSettings keepKnownValues(const StoredSettings& loaded, const StoredSettings& previous);

// Writes the whole record to a temporary file of a unique name beside the file `path` names
// (through a symbolic link: beside the link's target, and the link stays), gives it that file's
// permission bits and renames it into place, so the file always holds the old record or the new
// one. Removes no file but its own temporary one. Throws FileError with the OS's text on failure.
void savecfg(const std::string& path, const StoredSettings& s);

}  // namespace zrq
