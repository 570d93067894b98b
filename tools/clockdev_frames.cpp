// The simulated device's time code frames, built from a broken-down local time.
#include "tools/clockdev_frames.h"

#include <charconv>

namespace zrq::clockdev {
namespace {

constexpr uint8_t kSync = 0xAA;
constexpr uint8_t kStEndByte = 0x03;
constexpr int kAbsent = -1;

// Where each field sits in a format's frame; kAbsent when the format has no such field.
struct Layout {
    Format format;
    const char* name;
    int length;
    int century, year, month, day, weekday, hour, minute, second;
};

// TVZ_CODE: AA 00 yy mm dd wd hh nn ss, BCD.
// EB_CODE:  AA AA AA ss nn hh wd dd mm yy 00 00 00, plain byte values, least significant first.
// ST_CODE:  AA 00 00 cc yy mm dd wd hh nn ss 03, BCD with a four-digit year.
constexpr Layout kLayouts[] = {
    {Format::Tvz, "TVZ_CODE", 9, kAbsent, 2, 3, 4, 5, 6, 7, 8},
    {Format::Eb, "EB_CODE", 13, kAbsent, 9, 8, 7, 6, 5, 4, 3},
    {Format::St, "ST_CODE", 12, 3, 4, 5, 6, 7, 8, 9, 10},
};

const Layout& layoutOf(Format format) {
    for (const Layout& layout : kLayouts) {
        if (layout.format == format) return layout;
    }
    return kLayouts[0];
}

struct NamedField {
    const char* name;
    int Layout::*slot;
};

constexpr NamedField kNamedFields[] = {
    {"century", &Layout::century}, {"year", &Layout::year},       {"month", &Layout::month},
    {"day", &Layout::day},         {"weekday", &Layout::weekday}, {"hour", &Layout::hour},
    {"minute", &Layout::minute},   {"second", &Layout::second},
};

std::optional<int> parsePosition(std::string_view text, int length) {
    if (!text.empty() && text.front() == 'b') text.remove_prefix(1);
    int value = -1;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
    if (value < 0 || value >= length) return {};
    return value;
}

}  // namespace

std::optional<Format> parseFormat(std::string_view name) {
    for (const Layout& layout : kLayouts) {
        if (name == layout.name) return layout.format;
    }
    return {};
}

const char* formatName(Format format) { return layoutOf(format).name; }

int frameLength(Format format) { return layoutOf(format).length; }

std::optional<int> fieldIndex(Format format, std::string_view name) {
    const Layout& layout = layoutOf(format);
    for (const NamedField& field : kNamedFields) {
        if (name != field.name) continue;
        const int index = layout.*field.slot;
        if (index == kAbsent) return {};
        return index;
    }
    return parsePosition(name, layout.length);
}

Frame buildFrame(Format format, const std::tm& time, bool noDate) {
    const Layout& layout = layoutOf(format);
    Frame frame;
    frame.length = layout.length;
    auto& b = frame.bytes;
    const int year = time.tm_year + 1900;
    const bool bcd = format != Format::Eb;
    auto put = [&](int index, int value) {
        b[index] = bcd ? toBcd(value) : static_cast<uint8_t>(value);
    };
    b[0] = kSync;
    if (format == Format::Eb) b[1] = b[2] = kSync;
    if (format == Format::St) b[layout.length - 1] = kStEndByte;
    put(layout.hour, time.tm_hour);
    put(layout.minute, time.tm_min);
    put(layout.second, time.tm_sec);
    b[layout.weekday] = static_cast<uint8_t>(time.tm_wday);
    if (noDate) return frame;
    if (layout.century != kAbsent) put(layout.century, year / 100 % 100);
    put(layout.year, year % 100);
    put(layout.month, time.tm_mon + 1);
    put(layout.day, time.tm_mday);
    return frame;
}

}  // namespace zrq::clockdev
