/* The fake clock's offset file: one line "<offset_ns>", the fake CLOCK_REALTIME minus the real
 * one in nanoseconds, so the fake clock runs at real speed. Shared by the preload library and
 * clockdev; C and C++. */
#ifndef ZRQ_TESTS_SUPPORT_FAKE_CLOCK_FILE_H
#define ZRQ_TESTS_SUPPORT_FAKE_CLOCK_FILE_H

#include <stddef.h>
#include <stdint.h>

/* Environment variable naming the offset file. */
#define ZRQ_FAKE_CLOCK_FILE_ENV "ZRQ_FAKE_CLOCK_FILE"

/* Longest accepted content: sign, 19 digits, line end, some slack. */
#define ZRQ_FAKE_CLOCK_FILE_MAX 64

/* Parses "<optional blanks><optional sign><digits><optional blanks and line end>". Returns 0 and
 * stores the offset, or -1 for anything else (empty, junk, overflow). Uses no locale. */
static inline int zrq_parse_offset_ns(const char* text, size_t length, int64_t* offset) {
    size_t i = 0;
    while (i < length && (text[i] == ' ' || text[i] == '\t')) ++i;
    int negative = 0;
    if (i < length && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    const uint64_t limit = negative ? (uint64_t)INT64_MAX + 1u : (uint64_t)INT64_MAX;
    uint64_t value = 0;
    size_t digits = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        const unsigned digit = (unsigned)(text[i] - '0');
        if (value > (limit - digit) / 10u) return -1;
        value = value * 10u + digit;
    }
    if (digits == 0) return -1;
    for (; i < length; ++i) {
        if (text[i] != ' ' && text[i] != '\t' && text[i] != '\n' && text[i] != '\r') return -1;
    }
    *offset = negative ? (int64_t)(0u - value) : (int64_t)value;
    return 0;
}

#endif
