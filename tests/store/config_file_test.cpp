// The configuration record byte for byte, the load's outcomes and the save that never leaves a
// short file.
#include "store/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "base/message_boxes.h"
#include "tests/support/file_helpers.h"
#include "tests/support/temp_dir.h"

namespace zrq {
namespace {

using namespace std::string_literals;
using testing::FileSizeLimit;
using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

std::string recordBytes(const ConfigRecord& r) { return std::string(r.begin(), r.end()); }

// The names in a folder: a save must leave no file of its own behind.
std::set<std::string> entriesOf(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

mode_t permissionsOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Settings with every field away from its default, 24 daily points and a used 25th slot.
StoredSettings fullSettings() {
    StoredSettings s;
    s.port = 7;
    s.baudCode = 12;
    s.clock.CorrectionMode = CorrectionMode::DailyPoints;
    s.clock.CorrectionSecond = 59;
    s.clock.CorrectionMinute = 45;
    s.clock.CodeFormat = 3;
    s.clock.FineTuneMs = 999;
    s.clock.DailyPointCount = 24;
    for (int i = 0; i < kMaxDailyPoints; ++i) s.clock.DailyPoints[i] = (i + 0.25) / 24.0;
    s.clock.DailyPoints[24] = 0.75;
    s.clock.JumpNoCorrect = 0;
    s.clock.JumpThresholdSec = 59;
    return s;
}

// Distinct start values, so that a load that wrongly takes something from the file shows.
StoredSettings startSettings() {
    StoredSettings s;
    s.port = 3;
    s.clock.CorrectionMode = CorrectionMode::EveryHour;
    s.clock.DailyPoints[0] = 0.5;
    return s;
}

class ConfigFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string conf = dir.file(kConfigFileName);
};

TEST_F(ConfigFileTest, DefaultsAreWrittenAsTheDocumentedBytes) {
    savecfg(conf, defaultSettings());
    std::string expected = "\x01\x0A\x01\x03\x1F\x00\x00\x00\x00\x00\x87\x00"s;
    expected += std::string(4 + 200, '\0') + "\x01\x01" + std::string(6, '\0');
    EXPECT_EQ(readBytes(conf), expected);
}

TEST_F(ConfigFileTest, EveryFieldSitsAtItsOffsetLittleEndian) {
    StoredSettings s = fullSettings();
    s.port = 0x1234;  // only the low byte is stored
    ConfigRecord r = encodeConfigRecord(s);
    EXPECT_EQ(recordBytes(r).substr(0, 16),
              "\x34\x0C\x03\x3B\x3B\x00\x2D\x00\x18\x00\xE7\x03\x00\x00\x00\x00"s);
    double slot25 = 0;
    std::memcpy(&slot25, r.data() + 208, 8);
    EXPECT_EQ(slot25, 0.75);
    EXPECT_EQ(recordBytes(r).substr(208, 16), "\0\0\0\0\0\0\xE8\x3F\x00\x03\0\0\0\0\0\0"s);
}

TEST_F(ConfigFileTest, DecodeTakesLowBytesAndIgnoresPadding) {
    ConfigRecord r = encodeConfigRecord(fullSettings());
    r[5] = r[7] = r[9] = 0x01;  // high bytes of the 16-bit second, minute and count
    for (int i : {12, 13, 14, 15, 218, 223}) r[i] = 0xEE;
    EXPECT_EQ(decodeConfigRecord(r).clock, fullSettings().clock);
}

TEST_F(ConfigFileTest, SavedSettingsComeBackExceptJumpNoCorrect) {
    savecfg(conf, fullSettings());
    LoadResult loaded = loadSettings(conf, startSettings());
    StoredSettings expected = fullSettings();
    expected.clock.JumpNoCorrect = 1;
    EXPECT_EQ(loaded.outcome, LoadOutcome::Loaded);
    EXPECT_EQ(loaded.settings.clock, expected.clock);
    EXPECT_EQ(loaded.settings.port, 7);
    EXPECT_EQ(loaded.settings.baudCode, 12);
}

TEST_F(ConfigFileTest, NoFileGivesDefaultsKeepsDailyPointsAndCreatesNothing) {
    LoadResult loaded = loadSettings(conf, startSettings());
    StoredSettings expected = defaultSettings();
    expected.clock.DailyPoints[0] = 0.5;
    EXPECT_EQ(loaded.outcome, LoadOutcome::NoFile);
    EXPECT_EQ(loaded.settings.clock, expected.clock);
    EXPECT_EQ(loaded.settings.port, 1);
    EXPECT_EQ(loaded.settings.baudCode, 10);
    EXPECT_FALSE(std::filesystem::exists(conf));
}

TEST_F(ConfigFileTest, ShortFileGivesNothingAndNoDefaults) {
    for (size_t size : {0, 1, 12, 216, 223}) {
        SCOPED_TRACE(size);
        writeBytes(conf, std::string(size, '\xFF'));
        LoadResult loaded = loadSettings(conf, startSettings());
        StoredSettings expected = startSettings();
        expected.clock.JumpNoCorrect = 1;
        EXPECT_EQ(loaded.outcome, LoadOutcome::TooShort);
        EXPECT_EQ(loaded.settings.clock, expected.clock);
        EXPECT_EQ(loaded.settings.port, 3);
        EXPECT_EQ(loaded.settings.baudCode, 0);
    }
}

TEST_F(ConfigFileTest, LongFileCountsFirstRecordAndNextSaveShortensIt) {
    writeBytes(conf, recordBytes(encodeConfigRecord(fullSettings())) + std::string(100, '\x09'));
    LoadResult loaded = loadSettings(conf, startSettings());
    EXPECT_EQ(loaded.outcome, LoadOutcome::Loaded);
    EXPECT_EQ(loaded.settings.clock.CodeFormat, 3);
    savecfg(conf, loaded.settings);
    EXPECT_EQ(std::filesystem::file_size(conf), 224u);
}

TEST_F(ConfigFileTest, OutOfRangeValuesLoadAsStoredButCountAndFineTuneAreHeld) {
    struct Case {
        uint8_t storedCount, loadedCount;
        uint16_t storedFineTune, loadedFineTune;
    };
    for (Case c : {Case{24, 24, 999, 999}, Case{25, 24, 1000, 999}, Case{30, 24, 5000, 999},
                   Case{255, 24, 65535, 999}, Case{0, 0, 0, 0}}) {
        SCOPED_TRACE(::testing::Message() << int{c.storedCount} << " " << c.storedFineTune);
        ConfigRecord r{};
        r[0] = 200;  // port
        r[2] = 7;    // mode
        r[3] = 0;    // threshold
        r[8] = c.storedCount;
        r[10] = static_cast<uint8_t>(c.storedFineTune), r[11] = c.storedFineTune >> 8;
        r[217] = 9;  // format
        writeBytes(conf, recordBytes(r));
        StoredSettings s = loadSettings(conf, {}).settings;
        EXPECT_EQ(s.port, 200);
        EXPECT_EQ(s.clock.CorrectionMode, CorrectionMode{7});
        EXPECT_EQ(s.clock.CodeFormat, 9);
        EXPECT_EQ(s.clock.FineTuneMs, c.loadedFineTune);
        EXPECT_EQ(s.clock.DailyPointCount, c.loadedCount);
    }
}

// A short file, and one bit flipped in each value the program must know: each is named with the
// file; a sound record names nothing. A reload keeps the previous value of each unknown one.
TEST_F(ConfigFileTest, UnknownValuesAndAShortFileAreNamedAndAReloadKeepsThePreviousOnes) {
    writeBytes(conf, std::string(100, '\0'));
    std::vector<std::string> found = unknownStoredValues(conf, loadSettings(conf, {}));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].rfind(conf + ": shorter than one record (224 bytes)", 0), 0u) << found[0];

    const ConfigRecord sound = encodeConfigRecord(defaultSettings());
    writeBytes(conf, recordBytes(sound));
    EXPECT_TRUE(unknownStoredValues(conf, loadSettings(conf, {})).empty());

    ConfigRecord flipped = sound;
    flipped[217] ^= 0x04;  // format 1 -> 5
    flipped[1] ^= 0x01;    // rate code 10 -> 11
    flipped[0] ^= 0x01;    // port 1 -> 0
    writeBytes(conf, recordBytes(flipped));
    const LoadResult loaded = loadSettings(conf, {});
    found = unknownStoredValues(conf, loaded);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_NE(found[0].find(": unknown format 5"), std::string::npos) << found[0];
    EXPECT_NE(found[1].find(": unknown rate code 11"), std::string::npos) << found[1];
    EXPECT_NE(found[2].find(": unknown port 0"), std::string::npos) << found[2];

    StoredSettings previous = fullSettings();
    const StoredSettings kept = keepKnownValues(loaded.settings, previous);
    EXPECT_EQ(kept.clock.CodeFormat, previous.clock.CodeFormat);
    EXPECT_EQ(kept.baudCode, previous.baudCode);
    EXPECT_EQ(kept.port, previous.port);
    EXPECT_EQ(kept.clock.FineTuneMs, loaded.settings.clock.FineTuneMs) << "known values are taken";
}

TEST_F(ConfigFileTest, ExistingFileThatCannotBeOpenedKeepsStartValues) {
    // Root opens any file whatever its mode, but never a directory for writing.
    ASSERT_EQ(::mkdir(conf.c_str(), 0755), 0);
    LoadResult loaded = loadSettings(conf, startSettings());
    EXPECT_EQ(loaded.outcome, LoadOutcome::CannotOpen);
    EXPECT_EQ(loaded.settings.clock, startSettings().clock);

    std::string pipe = dir.file("pipe.conf");  // must not block the start-up
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(loadSettings(pipe, {}).outcome, LoadOutcome::CannotOpen);

    std::string loop = dir.file("loop.conf");
    ASSERT_EQ(::symlink("loop.conf", loop.c_str()), 0);
    EXPECT_EQ(loadSettings(loop, {}).outcome, LoadOutcome::CannotOpen);
}

TEST_F(ConfigFileTest, ReadFailureAfterOpenThrowsTheOsText) {
    // Offset 0 of the process's own memory is unmapped: it opens as a regular file, reads fail.
    ASSERT_EQ(::symlink("/proc/self/mem", conf.c_str()), 0);
    try {
        loadSettings(conf, {});
        FAIL() << "no FileError";
    } catch (const FileError& e) {
        EXPECT_STREQ(e.what(), std::strerror(EIO));
    }
}

// Saves over a good file under a given obstacle; the old file must stay and no temp file remain.
class FailedSaveTest : public ConfigFileTest {
protected:
    void SetUp() override {
        savecfg(conf, defaultSettings());
        before = readBytes(conf);
    }
    void expectFailedSave(const std::string& path, int expectedError) {
        try {
            savecfg(path, fullSettings());
            FAIL() << "no FileError";
        } catch (const FileError& e) {
            EXPECT_STREQ(e.what(), std::strerror(expectedError));
        }
        EXPECT_EQ(readBytes(conf), before);
        EXPECT_EQ(entriesOf(dir.path()), std::set<std::string>{kConfigFileName});
    }
    std::string before;
};

TEST_F(FailedSaveTest, DirectoryPathThroughRegularFile) {
    expectFailedSave(conf + "/" + kConfigFileName, ENOTDIR);
}

TEST_F(FailedSaveTest, WriteCutShortLeavesNoTempFile) {
    FileSizeLimit limit(100);
    expectFailedSave(conf, EFBIG);
}

TEST_F(FailedSaveTest, WriteCutShortThroughLinkKeepsLinkAndTarget) {
    const std::string link = dir.file("via.conf");
    ASSERT_EQ(::symlink(kConfigFileName, link.c_str()), 0);
    {
        FileSizeLimit limit(100);
        EXPECT_THROW(savecfg(link, fullSettings()), FileError);
    }
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readBytes(conf), before);
    EXPECT_EQ(entriesOf(dir.path()), (std::set<std::string>{kConfigFileName, "via.conf"}));
}

TEST_F(FailedSaveTest, TargetIsDirectory) {
    std::string target = dir.file("taken");
    ASSERT_TRUE(std::filesystem::create_directories(target + "/inside"));
    EXPECT_THROW(savecfg(target, fullSettings()), FileError);
    EXPECT_EQ(entriesOf(dir.path()), (std::set<std::string>{kConfigFileName, "taken"}));
    EXPECT_TRUE(std::filesystem::is_directory(target));
}

// The user's link to a file elsewhere: the save goes to the file, keeps the link and the file's
// permission bits, and leaves alone whatever else lies beside it.
TEST_F(ConfigFileTest, SaveThroughLinkReplacesItsTargetAndNothingElse) {
    struct Case {
        const char* name;
        const char* linkText;   // what kelvosys.conf points to
        const char* target;     // the file it reaches, in the test's folder
        const char* neighbour;  // a stranger's file named like a temporary file
    };
    const Case cases[] = {
        {"same folder", "real.conf", "real.conf", "real.conf.tmp"},
        {"other folder", "sub/real.conf", "sub/real.conf", "sub/.real.conf.tmp"},
        {"link to a link", "second", "real.conf", ".real.conf.XXXXXX"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir here;
        const std::string link = here.file(kConfigFileName);
        std::filesystem::create_directories(here.file("sub"));
        ASSERT_EQ(::symlink(c.linkText, link.c_str()), 0);
        ASSERT_EQ(::symlink("real.conf", here.file("second").c_str()), 0);
        const std::string target = here.file(c.target);
        writeBytes(target, recordBytes(encodeConfigRecord(defaultSettings())));
        ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
        writeBytes(here.file(c.neighbour), "stale");
        const auto before = entriesOf(here.path());
        const auto beforeSub = entriesOf(here.file("sub"));

        savecfg(link, fullSettings());
        EXPECT_TRUE(std::filesystem::is_symlink(link));
        EXPECT_EQ(readBytes(link), recordBytes(encodeConfigRecord(fullSettings())));
        EXPECT_EQ(permissionsOf(target), 0640u);
        EXPECT_EQ(readBytes(here.file(c.neighbour)), "stale");
        EXPECT_EQ(entriesOf(here.path()), before);
        EXPECT_EQ(entriesOf(here.file("sub")), beforeSub);
    }
}

TEST_F(ConfigFileTest, NewFileGetsTheUsualPermissions) {
    const mode_t saved = ::umask(027);
    savecfg(conf, defaultSettings());
    ::umask(saved);
    EXPECT_EQ(permissionsOf(conf), 0640u);
}

// A reader never sees an empty, short or mixed file while saves follow each other.
TEST_F(ConfigFileTest, ReadersSeeEitherTheOldOrTheNewRecord) {
    const std::string first = recordBytes(encodeConfigRecord(defaultSettings()));
    const std::string second = recordBytes(encodeConfigRecord(fullSettings()));
    savecfg(conf, defaultSettings());
    std::atomic<bool> saving{true};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (saving.load()) {
            const std::string seen = readBytes(conf);
            if (seen != first && seen != second) ++torn;
        }
    });
    constexpr int kSaves = 50;
    for (int i = 0; i < kSaves; ++i) savecfg(conf, i % 2 ? defaultSettings() : fullSettings());
    saving.store(false);
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace zrq
