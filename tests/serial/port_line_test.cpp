// Port numbers taken from port dialog list lines: where the number must stand, clamping, refusals.
#include "serial/port_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zrq {
namespace {

struct LineCase {
    const char* legend;
    std::string line;
    std::optional<int> port;
};

class PortFromListLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(PortFromListLine, ReadsTheNumberAfterThePrefix) {
    const LineCase& c = GetParam();
    EXPECT_EQ(portFromListLine(c.line), c.port) << c.legend << ": \"" << c.line << "\"";
}

const std::string k28Digits(28, '1');
const std::string k29Chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZ123";

INSTANTIATE_TEST_SUITE_P(
    Lines, PortFromListLine,
    ::testing::Values(
        LineCase{"one digit", "COM3....../dev/ttyS2", 3},
        LineCase{"two digits", "COM12....../dev/ttyUSB0", 12},
        LineCase{"device name does not matter", "COM12......COM99.x", 12},
        LineCase{"device with points", "COM12....../dev/ser.1.2", 12},
        LineCase{"other prefix of three letters", "XYZ7......dev", 7},
        LineCase{"highest port", "COM128......d", 128},
        LineCase{"above the range clamps", "COM200....../dev/rfcomm0", 128},
        LineCase{"zero clamps up", "COM0......dev", 1},
        LineCase{"negative clamps up", "COM-5......dev", 1},
        LineCase{"explicit plus", "COM+9......dev", 9},
        LineCase{"leading zeros", "COM007......dev", 7},
        LineCase{"name of three characters", "COM....../dev/ttyS0", std::nullopt},
        LineCase{"name of two characters", "CO....../dev/ttyS0", std::nullopt},
        LineCase{"point right after one letter", "C.", std::nullopt},
        LineCase{"no point at all", "COM5", std::nullopt}, LineCase{"empty line", "", std::nullopt},
        LineCase{"letters instead of digits", "COMA....../dev/ttyS0", std::nullopt},
        LineCase{"digits and letters", "COM1a......dev", std::nullopt},
        LineCase{"space inside", "COM 1......dev", std::nullopt},
        LineCase{"sign only", "COM-......dev", std::nullopt},
        LineCase{"two signs", "COM++1......dev", std::nullopt},
        LineCase{"name of 32 characters", "COM" + k29Chars + "......dev", std::nullopt},
        LineCase{"digits beyond the 32nd character", "COM" + k28Digits + "9......d", std::nullopt},
        LineCase{"point as 32nd character, number too long", "COM" + k28Digits + ".....d",
                 std::nullopt},
        LineCase{"point as 32nd character, short number", "COM" + std::string(26, '0') + "42.", 42},
        LineCase{"overflowing number", "COM99999999999......dev", std::nullopt}));

}  // namespace
}  // namespace zrq
