// Test helpers for the file layer: whole-file reads and writes, and a temporary cap on file size
// that makes writes fail part-way.
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <fstream>
#include <iterator>
#include <string>

namespace zrq::testing {

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// While alive, no write may take a file beyond `bytes`: the write that crosses the limit is cut
// short and the next one fails with EFBIG (the signal that would kill the process is ignored).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved_;
        limited.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    sighandler_t previousHandler_ = SIG_DFL;
};

}  // namespace zrq::testing
