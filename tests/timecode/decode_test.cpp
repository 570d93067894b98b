// Decoding of accepted frames of the three formats, at the start of the ring and across its wrap.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "timecode/frame_search.h"

namespace zrq {

void PrintTo(const DecodedTimeCode& c, std::ostream* os) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u%s%s", c.year, c.month, c.day,
                  c.hour, c.minute, c.second, c.damaged ? " damaged" : "", c.stale ? " stale" : "");
    *os << text;
}

namespace {

struct DecodeCase {
    const char* legend;
    int format;
    std::vector<uint8_t> frame;
    DecodedTimeCode expected;  // hour, minute, second, year, month, day, damaged
};

// Ring positions to place each frame at: the start, the middle, and so that bytes 3..12 of the
// frame wrap from 999 to 0.
constexpr uint16_t kStarts[] = {0, 500, 997, 999};

DecodedTimeCode decodeAt(const DecodeCase& c, uint16_t start) {
    RingStorage ring{};
    ring.fill(0xEE);  // bytes outside the frame must not leak into the result
    for (size_t k = 0; k < c.frame.size(); ++k) {
        ring[(start + k) % kRingSize] = c.frame[k];
    }
    return decodeFrame(c.format, ring, start);
}

void expectDecodes(const std::vector<DecodeCase>& cases) {
    for (const DecodeCase& c : cases) {
        for (uint16_t start : kStarts) {
            SCOPED_TRACE(testing::Message() << c.legend << " at ring position " << start);
            EXPECT_EQ(decodeAt(c, start), c.expected);
        }
    }
}

TEST(DecodeTvz, DateAndTimeInBcdWithTheUnusedByteIgnored) {
    expectDecodes({
        {"typical frame",
         TVZ_CODE,
         {0xAA, 0x00, 0x24, 0x05, 0x01, 0x00, 0x12, 0x00, 0x31},
         {12, 0, 31, 2024, 5, 1}},
        {"unused byte FF",
         TVZ_CODE,
         {0xAA, 0x00, 0x24, 0x05, 0x01, 0xFF, 0x12, 0x00, 0x31},
         {12, 0, 31, 2024, 5, 1}},
        {"unused byte AA",
         TVZ_CODE,
         {0xAA, 0x00, 0x24, 0x05, 0x01, 0xAA, 0x12, 0x00, 0x31},
         {12, 0, 31, 2024, 5, 1}},
        {"last moment of a century",
         TVZ_CODE,
         {0xAA, 0x00, 0x99, 0x12, 0x31, 0x00, 0x23, 0x59, 0x59},
         {23, 59, 59, 2099, 12, 31}},
    });
}

TEST(DecodeTvz, ZeroDateBytesAreAbsentFieldsEachOnTheirOwn) {
    expectDecodes({
        {"whole date absent",
         TVZ_CODE,
         {0xAA, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x00, 0x31},
         {12, 0, 31, 0, 0, 0}},
        {"year absent",
         TVZ_CODE,
         {0xAA, 0x00, 0x00, 0x05, 0x01, 0x00, 0x12, 0x00, 0x31},
         {12, 0, 31, 0, 5, 1}},
        {"month absent",
         TVZ_CODE,
         {0xAA, 0x00, 0x24, 0x00, 0x01, 0x00, 0x12, 0x00, 0x31},
         {12, 0, 31, 2024, 0, 1}},
        {"day absent",
         TVZ_CODE,
         {0xAA, 0x00, 0x24, 0x05, 0x00, 0x00, 0x12, 0x00, 0x31},
         {12, 0, 31, 2024, 5, 0}},
        {"year 01 is 2001",
         TVZ_CODE,
         {0xAA, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00},
         {0, 0, 0, 2001, 1, 1}},
    });
}

// A digit above 9 in any BCD field marks the frame damaged; the values are still given as read.
// Digits 0..9 out of a field's range (hour 25) are no damage: the comparison deals with them.
TEST(DecodeTvz, NibblesAboveNineMarkTheFrameDamaged) {
    expectDecodes({
        {"hour 25 is sound BCD",
         TVZ_CODE,
         {0xAA, 0x00, 0x24, 0x05, 0x01, 0x00, 0x25, 0x00, 0x31},
         {25, 0, 31, 2024, 5, 1, false}},
        {"minute 0A is 10",
         TVZ_CODE,
         {0xAA, 0x00, 0x24, 0x05, 0x01, 0x00, 0x12, 0x0A, 0x31},
         {12, 10, 31, 2024, 5, 1, true}},
        {"second 1A is 20",
         TVZ_CODE,
         {0xAA, 0x00, 0x24, 0x05, 0x01, 0x00, 0x12, 0x00, 0x1A},
         {12, 0, 20, 2024, 5, 1, true}},
        {"year A0",
         TVZ_CODE,
         {0xAA, 0x00, 0xA0, 0x05, 0x01, 0x00, 0x12, 0x00, 0x31},
         {12, 0, 31, 2100, 5, 1, true}},
        {"day 3F",
         TVZ_CODE,
         {0xAA, 0x00, 0x24, 0x05, 0x3F, 0x00, 0x12, 0x00, 0x31},
         {12, 0, 31, 2024, 5, 45, true}},
        {"1F is 25, AA is 110, FF is 165",
         TVZ_CODE,
         {0xAA, 0x00, 0xA0, 0x1F, 0xAA, 0x00, 0xFF, 0x1F, 0xAA},
         {165, 25, 110, 2100, 25, 110, true}},
    });
}

TEST(DecodeEb, PlainByteValuesTimeBeforeDate) {
    expectDecodes({
        {"typical frame",
         EB_CODE,
         {0xAA, 0xAA, 0xAA, 0x1F, 0x00, 0x0C, 0x00, 0x01, 0x05, 0x18, 0x00, 0x00, 0x00},
         {12, 0, 31, 2024, 5, 1}},
        {"unused bytes set",
         EB_CODE,
         {0xAA, 0xAA, 0xAA, 0x1F, 0x00, 0x0C, 0x77, 0x01, 0x05, 0x18, 0xAA, 0xAA, 0x03},
         {12, 0, 31, 2024, 5, 1}},
        {"values that look like BCD are binary",
         EB_CODE,
         {0xAA, 0xAA, 0xAA, 0x59, 0x23, 0x12, 0x00, 0x31, 0x12, 0x99, 0x00, 0x00, 0x00},
         {18, 35, 89, 2153, 18, 49}},
        {"year byte 255",
         EB_CODE,
         {0xAA, 0xAA, 0xAA, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0xFF, 0x00, 0x00, 0x00},
         {0, 0, 0, 2255, 1, 1}},
    });
}

TEST(DecodeEb, ZeroDateBytesAreAbsentFields) {
    expectDecodes({
        {"whole date absent",
         EB_CODE,
         {0xAA, 0xAA, 0xAA, 0x1F, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         {12, 0, 31, 0, 0, 0}},
        {"only the year absent",
         EB_CODE,
         {0xAA, 0xAA, 0xAA, 0x1F, 0x00, 0x0C, 0x00, 0x01, 0x05, 0x00, 0x00, 0x00, 0x00},
         {12, 0, 31, 0, 5, 1}},
    });
}

TEST(DecodeSt, FourDigitYearInBcd) {
    expectDecodes({
        {"typical frame",
         ST_CODE,
         {0xAA, 0x00, 0x00, 0x20, 0x24, 0x05, 0x01, 0x00, 0x12, 0x00, 0x31, 0x03},
         {12, 0, 31, 2024, 5, 1}},
        {"unused bytes set",
         ST_CODE,
         {0xAA, 0x41, 0x42, 0x20, 0x24, 0x05, 0x01, 0x33, 0x12, 0x00, 0x31, 0x03},
         {12, 0, 31, 2024, 5, 1}},
        {"year 2000 is expressible",
         ST_CODE,
         {0xAA, 0x00, 0x00, 0x20, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x03},
         {0, 0, 0, 2000, 1, 1}},
        {"previous century",
         ST_CODE,
         {0xAA, 0x00, 0x00, 0x19, 0x99, 0x12, 0x31, 0x00, 0x23, 0x59, 0x59, 0x03},
         {23, 59, 59, 1999, 12, 31}},
        {"nibbles above nine",
         ST_CODE,
         {0xAA, 0x00, 0x00, 0x2A, 0x1F, 0x0A, 0xAA, 0x00, 0x25, 0x0A, 0xFF, 0x03},
         {25, 10, 165, 3025, 10, 110, true}},
        {"only the second damaged",
         ST_CODE,
         {0xAA, 0x00, 0x00, 0x20, 0x24, 0x05, 0x01, 0x00, 0x12, 0x00, 0x3B, 0x03},
         {12, 0, 41, 2024, 5, 1, true}},
        {"unused bytes above nine are no damage",
         ST_CODE,
         {0xAA, 0xFF, 0xAB, 0x20, 0x24, 0x05, 0x01, 0xCD, 0x12, 0x00, 0x31, 0x03},
         {12, 0, 31, 2024, 5, 1, false}},
    });
}

TEST(DecodeSt, ZeroCenturyMakesTheYearAbsentWhateverFollows) {
    expectDecodes({
        {"century 00, year 24",
         ST_CODE,
         {0xAA, 0x00, 0x00, 0x00, 0x24, 0x05, 0x01, 0x00, 0x12, 0x00, 0x31, 0x03},
         {12, 0, 31, 0, 5, 1}},
        {"century 00, year byte damaged",
         ST_CODE,
         {0xAA, 0x00, 0x00, 0x00, 0xE4, 0x05, 0x01, 0x00, 0x12, 0x00, 0x31, 0x03},
         {12, 0, 31, 0, 5, 1, true}},
        {"month and day absent",
         ST_CODE,
         {0xAA, 0x00, 0x00, 0x20, 0x24, 0x00, 0x00, 0x00, 0x12, 0x00, 0x31, 0x03},
         {12, 0, 31, 2024, 0, 0}},
    });
}

TEST(DecodeUnknownFormat, YieldsAnEmptyCode) {
    RingStorage ring{};
    ring.fill(0x12);
    for (int format : {0, 4, 255, -1}) {
        EXPECT_EQ(decodeFrame(format, ring, 0), DecodedTimeCode{}) << "format " << format;
    }
}

TEST(DecodeStartPosition, OutOfRangeStartIsTakenModuloTheRingSize) {
    RingStorage ring{};
    const uint8_t frame[] = {0xAA, 0x00, 0x24, 0x05, 0x01, 0x00, 0x12, 0x00, 0x31};
    for (size_t k = 0; k < sizeof frame; ++k) {
        ring[5 + k] = frame[k];
    }
    const DecodedTimeCode expected{12, 0, 31, 2024, 5, 1};
    EXPECT_EQ(decodeFrame(TVZ_CODE, ring, 1005), expected);
}

}  // namespace
}  // namespace zrq
