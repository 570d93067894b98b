// Helpers shared by the fuzz targets: a scratch directory for targets that need files, and the
// check that turns a broken expectation into a crash report.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace zrq::fuzz {

class ScratchDirectory {
public:
    ScratchDirectory() {
        const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/zrq-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Removes what the previous input left, so every input starts from an empty directory.
    void clear() const {
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            std::filesystem::remove_all(entry.path());
        }
    }

private:
    std::string path_;
};

// Ends the run with a crash report (and the input saved) when an expectation fails.
inline void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace zrq::fuzz
