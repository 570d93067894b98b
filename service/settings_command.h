// `zrqd --show` and `zrqd --set KEY=VALUE...`: the settings of the working directory's
// kelvosys.conf in words, and checked changes to them, saved the way the program saves them.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/config_file.h"

namespace zrq {

inline constexpr int kSetUsageStatus = 2;  // a bad key or value: nothing was changed

// The schedule in the form --set takes: "minute:SS", "hour:MM:SS", "daily:HH:MM:SS,...";
// a mode outside 1..3 gives "none (mode N)".
std::string scheduleText(const ClockSettings& settings);

// "4800", "9600", or the code and why it is neither.
std::string baudText(int baudCode);
// "TVZ_CODE", "EB_CODE", "ST_CODE", or the number and that it names no format.
std::string formatText(int codeFormat);

// The settings as --show prints them: one "key  value  (words)" line each.
std::string describeSettings(const StoredSettings& settings);

// Applies one "key=value" to `settings`; the error's text when the key or value is not one the
// settings take (then `settings` is unchanged). `format` also sets the rate that format uses, as
// the format menu does, unless `keepBaud`.
std::optional<std::string> applySetting(StoredSettings& settings, std::string_view keyValue,
                                        bool keepBaud = false);

// Both refuse (status 1) a file in a folder that fails the working-directory rule for the user
// running them: another user's folder, or one that others can write.
// --show of the file `path`: 0, or 1 when the file exists but cannot be read.
int showSettings(const std::string& path, std::FILE* out, std::FILE* err);
// --set of `assignments` to the file `path`: all are checked before anything is written; 0, 2
// for a bad key or value (file unchanged), 1 when the file cannot be read or saved, or is a
// link to a file that belongs neither to the caller nor to the folder's owner.
int setSettings(const std::string& path, const std::vector<std::string>& assignments,
                std::FILE* out, std::FILE* err);

}  // namespace zrq
