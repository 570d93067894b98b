// Port number from a port dialog list line: prefix "COM", digits, then the "......" separator.
#include "serial/port_line.h"

#include <algorithm>
#include <charconv>

namespace zrq {
namespace {

constexpr std::size_t kLineCharsRead = 32;  // only the front of a line is looked at
constexpr std::size_t kPrefixLength = 3;    // "COM"

// A whole decimal integer with an optional sign and nothing around it; nothing on overflow of
// 32 bits, as the number would not fit the port field either.
std::optional<int> wholeInteger(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return std::nullopt;
    int value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

}  // namespace

std::optional<int> portFromListLine(std::string_view line) {
    std::string_view front = line.substr(0, kLineCharsRead);
    std::size_t point = front.find('.');
    if (point == std::string_view::npos || point <= kPrefixLength) return std::nullopt;
    std::optional<int> number = wholeInteger(front.substr(kPrefixLength, point - kPrefixLength));
    if (!number) return std::nullopt;
    return std::clamp(*number, kLowestDialogPort, kHighestDialogPort);
}

}  // namespace zrq
