// The settings record in "kelvosys.conf": its byte layout, the start-up load and the atomic save.
#include "store/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "base/message_boxes.h"
#include "base/system_calls.h"

namespace zrq {
namespace {

// Byte offsets of the record. All multi-byte fields are little-endian.
constexpr int kPortOffset = 0;             // u8, low byte of the 32-bit port number
constexpr int kBaudOffset = 1;             // u8, low byte of the 32-bit baud code
constexpr int kModeOffset = 2;             // u8
constexpr int kThresholdOffset = 3;        // u8, seconds
constexpr int kSecondOffset = 4;           // u16, only the low byte is read back
constexpr int kMinuteOffset = 6;           // u16, only the low byte is read back
constexpr int kPointCountOffset = 8;       // u16, only the low byte is read back
constexpr int kFineTuneOffset = 10;        // u16, milliseconds
constexpr int kDailyPointsOffset = 16;     // 25 IEEE-754 doubles; 12..15 are padding
constexpr int kJumpNoCorrectOffset = 216;  // u8
constexpr int kCodeFormatOffset = 217;     // u8; 218..223 are padding
constexpr int kDailyPointSize = 8;

// The values the program knows. The rate codes are those of the serial library's table.
constexpr int kFirstFormat = 1;  // TVZ_CODE
constexpr int kLastFormat = 3;   // ST_CODE
constexpr int kBaudCode4800 = 10;
constexpr int kBaudCode9600 = 12;
constexpr int kFirstPort = 1;  // COM1; a stored port is one byte, so 255 is the last

bool knownFormat(int format) { return format >= kFirstFormat && format <= kLastFormat; }
bool knownBaudCode(int code) { return code == kBaudCode4800 || code == kBaudCode9600; }
bool knownPort(int port) { return port >= kFirstPort && port <= UINT8_MAX; }

// The file a save writes first and then renames over the target: hidden, beside the target,
// named after it, with mkstemp's six unique characters at the end.
constexpr const char* kTempPrefix = ".";
constexpr const char* kTempSuffix = ".XXXXXX";
// Permission bits a save carries over from the file it replaces.
constexpr mode_t kPermissionBits = S_IRWXU | S_IRWXG | S_IRWXO;
// A new file gets what open(O_CREAT, 0666) would give it: these bits less the umask.
constexpr mode_t kNewFileBits = 0666;
// The umask when the process's status does not tell it.
constexpr mode_t kUsualUmask = 022;
// Links followed to find the file a save replaces; more is taken as a loop.
constexpr int kMaxLinkDepth = 8;

void putU16(ConfigRecord& r, int offset, uint16_t value) {
    r[offset] = static_cast<uint8_t>(value & 0xFF);
    r[offset + 1] = static_cast<uint8_t>(value >> 8);
}

uint16_t getU16(const ConfigRecord& r, int offset) {
    return static_cast<uint16_t>(r[offset] | (r[offset + 1] << 8));
}

void putDouble(ConfigRecord& r, int offset, double value) {
    auto bits = std::bit_cast<uint64_t>(value);
    for (int i = 0; i < kDailyPointSize; ++i) {
        r[offset + i] = static_cast<uint8_t>(bits >> (8 * i));
    }
}

double getDouble(const ConfigRecord& r, int offset) {
    uint64_t bits = 0;
    for (int i = 0; i < kDailyPointSize; ++i) {
        bits |= static_cast<uint64_t>(r[offset + i]) << (8 * i);
    }
    return std::bit_cast<double>(bits);
}

// The OS's own text for the failure ("No space left on device").
[[noreturn]] void throwFileError(int error) { throw FileError(errorText(error)); }

// Reads up to `size` bytes, retrying interrupted and partial reads; returns the count read
// (less than `size` only at end of file) or -1 with errno set.
ssize_t readFully(int fd, uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

std::string directoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A target that is a symbolic link is saved through the link (the link stays, even when its file
// does not exist yet), as a plain rewrite of the file would do.
std::string resolvedTarget(std::string path) {
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        char link[PATH_MAX];
        ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
        if (n <= 0) break;
        std::string next(link, static_cast<size_t>(n));
        path = next.front() == '/' ? next : directoryOf(path) + "/" + next;
    }
    return path;
}

// Makes the rename itself durable. Best effort: the new file is already in place when this runs,
// so a failure here must not report the save as failed.
void syncDirectory(const std::string& directory) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::string fileNameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The process's umask, read without changing it (umask(2) can only set it, which would race
// with other threads creating files).
mode_t currentUmask() {
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (!status) return kUsualUmask;
    unsigned mask = kUsualUmask;
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
    }
    std::fclose(status);
    return static_cast<mode_t>(mask);
}

// The permission bits the saved file must have: those of the file it replaces, or those of a
// newly created file when there is none yet.
mode_t permissionsFor(const std::string& target) {
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) return st.st_mode & kPermissionBits;
    return kNewFileBits & ~currentUmask() & kPermissionBits;
}

// A temporary file that only this save created: removed again unless it was renamed into place.
class TempFile {
public:
    // Creates a file of a name nobody else has in the target's folder; error() tells a failure.
    explicit TempFile(const std::string& target)
        : path_(directoryOf(target) + "/" + kTempPrefix + fileNameOf(target) + kTempSuffix) {
        // mkostemp creates the file anew (O_EXCL); O_NOFOLLOW says so once more for a link.
        fd_ = ::mkostemp(path_.data(), O_CLOEXEC | O_NOFOLLOW);
        if (fd_ < 0) error_ = errno;
        created_ = fd_ >= 0;
    }
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (created_ && !renamed_) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int error() const { return error_; }

    // Writes and syncs the record with the given permission bits, then closes the file; false
    // with error() set on failure.
    bool write(const ConfigRecord& record, mode_t permissions) {
        if (::fchmod(fd_, permissions) != 0 || !writeWhole(fd_, record.data(), record.size()) ||
            ::fsync(fd_) != 0) {
            error_ = errno;
        }
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && error_ == 0) error_ = errno;
        return error_ == 0;
    }

    // Puts the written file in the target's place in one step; false with error() set.
    bool renameOver(const std::string& target) {
        if (::rename(path_.c_str(), target.c_str()) != 0) {
            error_ = errno;
            return false;
        }
        renamed_ = true;
        return true;
    }

private:
    std::string path_;
    int fd_ = -1;
    int error_ = 0;
    bool created_ = false;
    bool renamed_ = false;
};

// Applies the values used when no file exists, leaving the daily points at their start values.
void applyDefaults(StoredSettings& s) {
    const StoredSettings d = defaultSettings();
    s.port = d.port;
    s.baudCode = d.baudCode;
    s.clock.CorrectionMode = d.clock.CorrectionMode;
    s.clock.CorrectionSecond = d.clock.CorrectionSecond;
    s.clock.CorrectionMinute = d.clock.CorrectionMinute;
    s.clock.FineTuneMs = d.clock.FineTuneMs;
    s.clock.JumpThresholdSec = d.clock.JumpThresholdSec;
    s.clock.CodeFormat = d.clock.CodeFormat;
}

// What the load finds at `path` before opening it.
enum class Presence { Absent, Present, Unreachable };

Presence presenceOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return Presence::Present;
    if (errno == ENOENT || errno == ENOTDIR) return Presence::Absent;
    return Presence::Unreachable;  // e.g. a link loop: it is there but cannot be reached
}

// Opens an existing file for reading and writing, or -1 when that is impossible. Only a regular
// file counts: a pipe or device under the name would block or mislead the start-up.
int openForLoad(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

StoredSettings defaultSettings() {
    StoredSettings s;
    s.port = 1;
    s.baudCode = 10;  // 4800 bit/s
    s.clock.CorrectionMode = CorrectionMode::EveryMinute;
    s.clock.CorrectionSecond = 31;
    s.clock.CorrectionMinute = 0;
    s.clock.FineTuneMs = 135;
    s.clock.JumpThresholdSec = 3;
    s.clock.CodeFormat = 1;  // TVZ_CODE
    s.clock.JumpNoCorrect = 1;
    return s;
}

ConfigRecord encodeConfigRecord(const StoredSettings& s) {
    ConfigRecord r{};
    const ClockSettings& c = s.clock;
    r[kPortOffset] = static_cast<uint8_t>(s.port & 0xFF);
    r[kBaudOffset] = static_cast<uint8_t>(s.baudCode & 0xFF);
    r[kModeOffset] = static_cast<uint8_t>(c.CorrectionMode);
    r[kThresholdOffset] = c.JumpThresholdSec;
    putU16(r, kSecondOffset, c.CorrectionSecond);
    putU16(r, kMinuteOffset, c.CorrectionMinute);
    putU16(r, kPointCountOffset, c.DailyPointCount);
    putU16(r, kFineTuneOffset, c.FineTuneMs);
    for (int i = 0; i < kDailyPointSlots; ++i) {
        putDouble(r, kDailyPointsOffset + i * kDailyPointSize, c.DailyPoints[i]);
    }
    r[kJumpNoCorrectOffset] = c.JumpNoCorrect;
    r[kCodeFormatOffset] = c.CodeFormat;
    return r;
}

StoredSettings decodeConfigRecord(const ConfigRecord& r) {
    StoredSettings s;
    ClockSettings& c = s.clock;
    s.port = r[kPortOffset];
    s.baudCode = r[kBaudOffset];
    c.CorrectionMode = CorrectionMode{r[kModeOffset]};
    c.JumpThresholdSec = r[kThresholdOffset];
    c.CorrectionSecond = r[kSecondOffset];
    c.CorrectionMinute = r[kMinuteOffset];
    // The daily-point users index at most 24 slots; a larger stored count would run past them.
    c.DailyPointCount = r[kPointCountOffset];
    if (c.DailyPointCount > kMaxDailyPoints) c.DailyPointCount = kMaxDailyPoints;
    // A second or more would name a later second than the frame's.
    c.FineTuneMs = std::min<uint16_t>(getU16(r, kFineTuneOffset), kMaxFineTuneMs);
    for (int i = 0; i < kDailyPointSlots; ++i) {
        c.DailyPoints[i] = getDouble(r, kDailyPointsOffset + i * kDailyPointSize);
    }
    c.JumpNoCorrect = r[kJumpNoCorrectOffset];
    c.CodeFormat = r[kCodeFormatOffset];
    return s;
}

LoadResult loadSettings(const std::string& path, const StoredSettings& start) {
    LoadResult result{LoadOutcome::NoFile, start};
    switch (presenceOf(path)) {
        case Presence::Absent:
            applyDefaults(result.settings);
            result.settings.clock.JumpNoCorrect = 1;
            return result;
        case Presence::Unreachable:
            result.outcome = LoadOutcome::CannotOpen;
            return result;
        case Presence::Present:
            break;
    }

    int fd = openForLoad(path);
    if (fd < 0) {
        result.outcome = LoadOutcome::CannotOpen;
        return result;
    }
    ConfigRecord record{};
    ssize_t got = readFully(fd, record.data(), record.size());
    if (got < 0) {
        int error = errno;
        ::close(fd);
        throwFileError(error);
    }
    if (::close(fd) != 0) throwFileError(errno);

    if (got == kConfigRecordSize) {
        result.outcome = LoadOutcome::Loaded;
        result.settings = decodeConfigRecord(record);
    } else {
        result.outcome = LoadOutcome::TooShort;
    }
    // Jumps always block scheduled corrections at start, whatever was stored.
    result.settings.clock.JumpNoCorrect = 1;
    return result;
}

std::vector<std::string> unknownStoredValues(const std::string& path, const LoadResult& loaded) {
    std::vector<std::string> findings;
    if (loaded.outcome == LoadOutcome::TooShort) {
        findings.push_back(path + ": shorter than one record (" +
                           std::to_string(kConfigRecordSize) +
                           " bytes): nothing was read from it, every setting keeps the value it "
                           "had (at start: no port, no format)");
    }
    if (loaded.outcome != LoadOutcome::Loaded) return findings;
    const StoredSettings& s = loaded.settings;
    if (!knownFormat(s.clock.CodeFormat)) {
        findings.push_back(path + ": unknown format " + std::to_string(s.clock.CodeFormat) +
                           " (known: 1 TVZ_CODE, 2 EB_CODE, 3 ST_CODE): no frame is decoded");
    }
    if (!knownBaudCode(s.baudCode)) {
        findings.push_back(path + ": unknown rate code " + std::to_string(s.baudCode) +
                           " (known: 10 for 4800, 12 for 9600)");
    }
    if (!knownPort(s.port)) {
        findings.push_back(path + ": unknown port " + std::to_string(s.port) +
                           " (known: 1..255, COM1..COM255): no port is opened");
    }
    return findings;
}

StoredSettings keepKnownValues(const StoredSettings& loaded, const StoredSettings& previous) {
    StoredSettings kept = loaded;
    if (!knownFormat(kept.clock.CodeFormat)) kept.clock.CodeFormat = previous.clock.CodeFormat;
    if (!knownBaudCode(kept.baudCode)) kept.baudCode = previous.baudCode;
    if (!knownPort(kept.port)) kept.port = previous.port;
    return kept;
}

void savecfg(const std::string& path, const StoredSettings& s) {
    // Through a link, the link's file is replaced and the link stays.
    const std::string target = resolvedTarget(path);
    TempFile temp(target);
    if (temp.error() != 0 || !temp.write(encodeConfigRecord(s), permissionsFor(target)) ||
        !temp.renameOver(target)) {
        throwFileError(temp.error());
    }
    syncDirectory(directoryOf(target));
}

}  // namespace zrq
