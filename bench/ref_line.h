// Helpers of the two reference programs: opening a terminal raw, the real-time clock in
// nanoseconds, option parsing and hex output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace zrq::bench {

constexpr int64_t kNsPerSecond = 1'000'000'000;

// CLOCK_REALTIME in nanoseconds since 1970. Reading only.
int64_t realtimeNs();

// Opens a terminal (a pseudo-terminal's slave, or a link to it) for reading and writing, raw,
// without becoming its controlling terminal; -1 with a message on standard error on failure.
int openRawTerminal(const std::string& path);

// Writes all bytes; false on failure (a pseudo-terminal takes a few bytes at once).
bool writeAll(int fd, const uint8_t* bytes, int length);

// " AA 00 24": bytes as upper-case hexadecimal pairs, each after a space.
void printHex(std::FILE* out, const uint8_t* bytes, int length);

// Parses "--name value" style options; returns false for anything it does not know.
struct RefOptions {
    std::string port;
    int seconds = 60;
    int frameLength = 9;  // TVZ_CODE unless told
    bool stEnd = false;   // ST_CODE frames end in 03
    bool ack = false;
};
bool parseRefOptions(int argc, char** argv, RefOptions& options, const char* usage);

}  // namespace zrq::bench
