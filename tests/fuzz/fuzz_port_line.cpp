// Fuzzes the port dialog's reading of a port number from a list line: any bytes give either no
// number or a port the dialog can switch to, decided by the line's first 32 bytes alone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "serial/port_line.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr std::size_t kCharsLookedAt = 32;
constexpr std::size_t kPrefixLength = 3;  // "COM"

using zrq::fuzz::check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::optional<int> port = zrq::portFromListLine(line);
    if (!port) return 0;

    check(*port >= zrq::kLowestDialogPort && *port <= zrq::kHighestDialogPort);
    // Whatever follows the 32nd byte cannot matter.
    const std::string_view front = line.substr(0, kCharsLookedAt);
    check(zrq::portFromListLine(front) == port);
    // A number needs a point behind at least one character after the three-letter prefix.
    const std::size_t point = front.find('.');
    check(point != std::string_view::npos && point > kPrefixLength);
    return 0;
}
