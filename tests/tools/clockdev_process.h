// Test helper: runs build/clockdev as a child process, reads its event lines and opens the
// pseudo-terminal it links, for tests that drive a serial line from the device's side.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace zrq::testing {

inline int64_t realtimeNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

inline int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

// Writes a fake clock offset file (fake minus real CLOCK_REALTIME, in ns) by rename, as the
// preload library does, so readers never see a half-written line.
inline void writeClockOffset(const std::string& path, int64_t offsetNs) {
    const std::string temp = path + ".new";
    FILE* file = std::fopen(temp.c_str(), "w");
    std::fprintf(file, "%lld\n", static_cast<long long>(offsetNs));
    std::fclose(file);
    std::rename(temp.c_str(), path.c_str());
}

// Offset that makes the fake clock read `unixNs` now.
inline int64_t offsetForNow(int64_t unixNs) { return unixNs - realtimeNs(); }

// The value of `key` in an event line: up to the next space, or for bytes= to the line's end.
inline std::string fieldOf(const std::string& line, const std::string& key) {
    const std::string marker = " " + key + "=";
    const size_t at = line.find(marker);
    if (at == std::string::npos) return {};
    const size_t from = at + marker.size();
    if (key == "bytes") return line.substr(from);
    return line.substr(from, line.find(' ', from) - from);
}

// Device clock time of an event line in milliseconds since 1970 (t=<s>.<ms>).
inline int64_t eventTimeMs(const std::string& line) {
    const std::string t = fieldOf(line, "t");
    const size_t dot = t.find('.');
    if (dot == std::string::npos) return 0;
    return std::stoll(t.substr(0, dot)) * 1000 + std::stoll(t.substr(dot + 1));
}

inline std::string hexText(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, i ? " %02X" : "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

// "AA 00 24" -> {0xAA, 0x00, 0x24}; spaces are optional.
inline std::vector<uint8_t> hexBytes(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

class ClockdevProcess {
public:
    static std::string binary() { return std::string(ZRQ_BINARY_DIR) + "/clockdev"; }

    // Starts clockdev with `args`; `environment` entries (NAME=value) are added to or replace
    // this process's environment. Waits for the ready line unless the start fails.
    explicit ClockdevProcess(const std::vector<std::string>& args,
                             const std::vector<std::string>& environment = {"TZ=UTC"}) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<std::string> argStrings{binary()};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<std::string> envStrings = mergedEnvironment(environment);
        std::vector<char*> argv = pointers(argStrings);
        std::vector<char*> envp = pointers(envStrings);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        out_ = out[0];
        if (pid_ > 0) readyLine_ = waitFor("ready", kStartTimeoutMs).value_or("");
    }

    ~ClockdevProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (waitExit(kStopTimeoutMs) == kStillRunning) {
                kill(pid_, SIGKILL);
                waitExit(kStopTimeoutMs);
            }
        }
        if (out_ >= 0) close(out_);
        for (int fd : slaves_) close(fd);
    }

    ClockdevProcess(const ClockdevProcess&) = delete;
    ClockdevProcess& operator=(const ClockdevProcess&) = delete;

    bool started() const { return !readyLine_.empty(); }
    const std::string& readyLine() const { return readyLine_; }
    pid_t pid() const { return pid_; }

    // The next event line, or nullopt after `timeoutMs` or at the end of the output.
    std::optional<std::string> nextLine(int timeoutMs) {
        const int64_t deadline = monotonicMs() + timeoutMs;
        for (;;) {
            const size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            const int64_t left = deadline - monotonicMs();
            pollfd ready{out_, POLLIN, 0};
            if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) return {};
            char buffer[4096];
            const ssize_t got = read(out_, buffer, sizeof buffer);
            if (got <= 0) return {};
            pending_.append(buffer, static_cast<size_t>(got));
        }
    }

    // The next line whose event word is `event`, passing over others.
    std::optional<std::string> waitFor(const std::string& event, int timeoutMs) {
        const int64_t deadline = monotonicMs() + timeoutMs;
        for (;;) {
            const int64_t left = deadline - monotonicMs();
            if (left <= 0) return {};
            auto line = nextLine(static_cast<int>(left));
            if (!line) return {};
            if (line->rfind(event + " ", 0) == 0) return line;
        }
    }

    // Opens the link (or any path to the slave) like a serial port: raw bytes, non-blocking.
    int openSlave(const std::string& path) {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) slaves_.push_back(fd);
        return fd;
    }
    void closeSlave(int fd) {
        std::erase(slaves_, fd);
        close(fd);
    }

    static constexpr int kStillRunning = -1000;
    // The exit status, -signal when killed, kStillRunning after the time-out.
    int waitExit(int timeoutMs) {
        const int64_t deadline = monotonicMs() + timeoutMs;
        for (;;) {
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            }
            if (monotonicMs() >= deadline) return kStillRunning;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    int terminate() {
        kill(pid_, SIGTERM);
        return waitExit(kStopTimeoutMs);
    }

private:
    static constexpr int kStartTimeoutMs = 5000;
    static constexpr int kStopTimeoutMs = 3000;

    static std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
        std::vector<std::string> merged;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('='));
            bool replaced = false;
            for (const std::string& e : extra) replaced |= e.substr(0, e.find('=')) == name;
            if (!replaced) merged.push_back(text);
        }
        merged.insert(merged.end(), extra.begin(), extra.end());
        return merged;
    }
    static std::vector<char*> pointers(std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (std::string& s : strings) result.push_back(s.data());
        result.push_back(nullptr);
        return result;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
    std::string readyLine_;
    std::vector<int> slaves_;
};

// Collects what arrives on `fd` for `ms` milliseconds (or until `wanted` bytes are in), keeping
// the read boundaries: one entry per read, with the time it returned.
struct Chunk {
    std::vector<uint8_t> bytes;
    int64_t atMs;  // CLOCK_MONOTONIC
};

inline std::vector<Chunk> readChunks(int fd, size_t wanted, int ms) {
    std::vector<Chunk> chunks;
    size_t total = 0;
    const int64_t deadline = monotonicMs() + ms;
    while (total < wanted) {
        const int64_t left = deadline - monotonicMs();
        pollfd ready{fd, POLLIN, 0};
        if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) break;
        uint8_t buffer[512];
        const ssize_t got = read(fd, buffer, std::min(sizeof buffer, wanted - total));
        if (got <= 0) break;
        chunks.push_back({std::vector<uint8_t>(buffer, buffer + got), monotonicMs()});
        total += static_cast<size_t>(got);
    }
    return chunks;
}

inline std::vector<uint8_t> readBytes(int fd, size_t wanted, int ms) {
    std::vector<uint8_t> bytes;
    for (const Chunk& chunk : readChunks(fd, wanted, ms)) {
        bytes.insert(bytes.end(), chunk.bytes.begin(), chunk.bytes.end());
    }
    return bytes;
}

}  // namespace zrq::testing
