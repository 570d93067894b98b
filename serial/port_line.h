// Reading a port number back from a line of the port dialog's list ("COM12....../dev/ttyUSB3").
#pragma once

#include <optional>
#include <string_view>

namespace zrq {

inline constexpr int kLowestDialogPort = 1;
inline constexpr int kHighestDialogPort = 128;

// The number between the three-letter prefix and the first "." of the line's first 32 characters,
// clamped into 1..128; nothing when there is no such number. Characters are bytes: the port
// names in front are ASCII.
std::optional<int> portFromListLine(std::string_view line);

}  // namespace zrq
