// The simulated device's wire formats: the time code frames it sends, byte by byte.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string_view>

namespace zrq::clockdev {

enum class Format { Tvz, Eb, St };

constexpr int kMaxFrameLength = 13;

struct Frame {
    std::array<uint8_t, kMaxFrameLength> bytes{};
    int length = 0;
};

// A raw byte put over one position of every frame, after the frame was built.
struct FieldOverride {
    int index = 0;
    uint8_t value = 0;
};

std::optional<Format> parseFormat(std::string_view name);
const char* formatName(Format format);
int frameLength(Format format);

// Position of a field in a frame of `format`: a name (year, century, month, day, weekday, hour,
// minute, second) or a position ("5" or "b5"); nullopt when the format has no such field.
std::optional<int> fieldIndex(Format format, std::string_view name);

// Two decimal digits in one byte, tens in the high nibble: 42 -> 0x42.
constexpr uint8_t toBcd(int value) { return static_cast<uint8_t>((value / 10) * 16 + value % 10); }

// The frame naming the local date and time `time` (seconds resolution). With `noDate` the date
// bytes are zero, which the receiver takes as "no date". The bytes that carry no time (the
// weekday byte, spare bytes) hold the day of the week (0 = Sunday) and zeros.
Frame buildFrame(Format format, const std::tm& time, bool noDate);

}  // namespace zrq::clockdev
