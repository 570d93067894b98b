// zrqd's --set and --show: which values the settings take, what a rewrite stores, and that a bad
// value leaves the file as it was.
#include "service/settings_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace zrq {
namespace {

struct Accepted {
    const char* assignment;
    void (*check)(const StoredSettings&);
};

TEST(SetSettings, AcceptsEachKeyAtTheEdgesOfItsRange) {
    const Accepted cases[] = {
        {"port=1", [](const StoredSettings& s) { EXPECT_EQ(s.port, 1); }},
        {"port=255", [](const StoredSettings& s) { EXPECT_EQ(s.port, 255); }},
        {"baud=9600", [](const StoredSettings& s) { EXPECT_EQ(s.baudCode, 12); }},
        {"baud=4800", [](const StoredSettings& s) { EXPECT_EQ(s.baudCode, 10); }},
        {"format=ST_CODE",
         [](const StoredSettings& s) {
             EXPECT_EQ(s.clock.CodeFormat, 3);
             EXPECT_EQ(s.baudCode, 12);  // the rate the format uses
         }},
        {"format=TVZ_CODE", [](const StoredSettings& s) { EXPECT_EQ(s.baudCode, 10); }},
        {"threshold=2", [](const StoredSettings& s) { EXPECT_EQ(s.clock.JumpThresholdSec, 2); }},
        {"threshold=59", [](const StoredSettings& s) { EXPECT_EQ(s.clock.JumpThresholdSec, 59); }},
        {"fine=0", [](const StoredSettings& s) { EXPECT_EQ(s.clock.FineTuneMs, 0); }},
        {"fine=999", [](const StoredSettings& s) { EXPECT_EQ(s.clock.FineTuneMs, 999); }},
        {"schedule=minute:05",
         [](const StoredSettings& s) {
             EXPECT_EQ(s.clock.CorrectionMode, CorrectionMode::EveryMinute);
             EXPECT_EQ(s.clock.CorrectionSecond, 5);
         }},
        {"schedule=hour:59:0",
         [](const StoredSettings& s) {
             EXPECT_EQ(s.clock.CorrectionMode, CorrectionMode::EveryHour);
             EXPECT_EQ(s.clock.CorrectionMinute, 59);
             EXPECT_EQ(s.clock.CorrectionSecond, 0);
         }},
        {"schedule=daily:",
         [](const StoredSettings& s) {
             EXPECT_EQ(s.clock.CorrectionMode, CorrectionMode::DailyPoints);
             EXPECT_EQ(s.clock.DailyPointCount, 0);
             EXPECT_EQ(s.clock.DailyPoints[0], 0.0);
         }},
        {"schedule=daily:12:00:00,23:59:59",
         [](const StoredSettings& s) {
             EXPECT_EQ(s.clock.DailyPointCount, 2);
             EXPECT_EQ(s.clock.DailyPoints[0], 0.5);
             EXPECT_EQ(scheduleText(s.clock), "daily:12:00:00,23:59:59");
         }},
    };
    for (const Accepted& c : cases) {
        SCOPED_TRACE(c.assignment);
        StoredSettings settings = defaultSettings();
        settings.clock.DailyPoints[0] = 0.25;
        EXPECT_EQ(applySetting(settings, c.assignment), std::nullopt);
        c.check(settings);
    }
}

TEST(SetSettings, RefusesWhatTheSettingsDoNotTakeAndChangesNothing) {
    std::string points = "schedule=daily:";
    for (int i = 0; i < 25; ++i) points += (i ? ",01:00:" : "01:00:") + std::to_string(10 + i);
    const char* cases[] = {"port=0",
                           "port=256",
                           "port=-1",
                           "port=1x",
                           "port=",
                           "baud=19200",
                           "format=tvz_code",
                           "threshold=1",
                           "threshold=60",
                           "fine=1000",
                           "fine=-0",
                           "schedule=minute:60",
                           "schedule=minute:1:2",
                           "schedule=hour:60:00",
                           "schedule=hour:10",
                           "schedule=daily:24:00:00",
                           "schedule=daily:01:00:00,",
                           "schedule=daily:1:2",
                           "schedule=week:1",
                           "colour=red",
                           "port",
                           points.c_str()};
    const StoredSettings before = defaultSettings();
    for (const char* assignment : cases) {
        SCOPED_TRACE(assignment);
        StoredSettings settings = before;
        EXPECT_NE(applySetting(settings, assignment), std::nullopt);
        EXPECT_EQ(encodeConfigRecord(settings), encodeConfigRecord(before));
    }
}

TEST(SetSettings, TwentyFourDailyPointsAreTheMost) {
    std::string points = "schedule=daily:";
    for (int i = 0; i < 24; ++i) points += (i ? ",01:00:" : "01:00:") + std::to_string(10 + i);
    StoredSettings settings = defaultSettings();
    ASSERT_EQ(applySetting(settings, points), std::nullopt);
    EXPECT_EQ(settings.clock.DailyPointCount, 24);
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class SettingsFile : public ::testing::Test {
protected:
    testing::TempDir dir;
    std::string path = dir / "kelvosys.conf";
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ~SettingsFile() override {
        std::fclose(out);
        std::fclose(err);
    }
    static std::string text(std::FILE* f) {
        std::rewind(f);
        std::string s;
        for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
        return s;
    }
};

TEST_F(SettingsFile, SetWithoutAFileStartsFromTheDefaultsAndWritesOneRecord) {
    ASSERT_EQ(setSettings(path, {"fine=7"}, out, err), 0) << text(err);
    StoredSettings expected = defaultSettings();
    expected.clock.FineTuneMs = 7;
    expected.clock.JumpNoCorrect = 1;
    const ConfigRecord record = encodeConfigRecord(expected);
    EXPECT_EQ(contents(path), std::string(record.begin(), record.end()));
    EXPECT_NE(text(out).find("fine       7"), std::string::npos) << text(out);
}

TEST_F(SettingsFile, ABadValueAmongGoodOnesLeavesTheFileAsItWas) {
    ASSERT_EQ(setSettings(path, {"port=3", "format=EB_CODE"}, out, err), 0);
    const std::string before = contents(path);
    EXPECT_EQ(setSettings(path, {"port=4", "threshold=70"}, out, err), kSetUsageStatus);
    EXPECT_EQ(contents(path), before);
    EXPECT_NE(text(err).find("threshold: 70"), std::string::npos) << text(err);
    EXPECT_EQ(setSettings(path, {}, out, err), kSetUsageStatus);
    EXPECT_EQ(contents(path), before);
}

TEST_F(SettingsFile, AnExplicitRateWinsOverTheFormatsWhereverItStands) {
    ASSERT_EQ(setSettings(path, {"baud=4800", "format=EB_CODE"}, out, err), 0);
    const LoadResult loaded = loadSettings(path, {});
    EXPECT_EQ(loaded.settings.clock.CodeFormat, 2);
    EXPECT_EQ(loaded.settings.baudCode, 10);
}

TEST_F(SettingsFile, AFileThatCannotBeReadIsAFailureNotADefault) {
    std::filesystem::create_directory(path);  // root reads anything: a directory cannot be opened
    EXPECT_EQ(showSettings(path, out, err), 1);
    EXPECT_EQ(setSettings(path, {"fine=1"}, out, err), 1);
    EXPECT_NE(text(err).find("File access error"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

// A folder that others can write may hold a link one of them planted: neither command works
// there. A link to another user's file is never written through; one to the caller's is.
TEST_F(SettingsFile, TheFolderRuleAndLinksToOtherUsersFiles) {
    ASSERT_EQ(setSettings(path, {"fine=7"}, out, err), 0) << text(err);
    const std::string before = contents(path);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    EXPECT_EQ(showSettings(path, out, err), 1);
    EXPECT_EQ(setSettings(path, {"fine=8"}, out, err), 1);
    EXPECT_EQ(contents(path), before);
    EXPECT_NE(text(err).find("run zrqd --show and --set as the service's user"), std::string::npos)
        << text(err);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);

    std::filesystem::rename(path, dir / "own.conf");
    std::filesystem::create_symlink(dir / "own.conf", path);
    EXPECT_EQ(setSettings(path, {"fine=9"}, out, err), 0) << text(err);
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_EQ(loadSettings(dir / "own.conf", {}).settings.clock.FineTuneMs, 9);

    if (::getuid() != 0) GTEST_SKIP() << "another user's file needs root to make";
    const std::string theirs = dir / "theirs";
    std::ofstream(theirs) << "another user's file";
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    std::filesystem::remove(path);
    std::filesystem::create_symlink(theirs, path);
    EXPECT_EQ(setSettings(path, {"fine=10"}, out, err), 1);
    EXPECT_EQ(contents(theirs), "another user's file");
    EXPECT_NE(text(err).find("a link to a file of another user (uid 65534)"), std::string::npos)
        << text(err);
}

TEST_F(SettingsFile, ShowNamesEveryValueAsSetTakesIt) {
    std::FILE* ignored = std::tmpfile();
    ASSERT_EQ(setSettings(path, {"port=9", "schedule=hour:05:07", "threshold=4"}, ignored, err), 0);
    std::fclose(ignored);
    ASSERT_EQ(showSettings(path, out, err), 0);
    const std::string shown = text(out);
    for (const char* line : {"port       9  (COM9)", "baud       4800", "format     TVZ_CODE",
                             "schedule   hour:05:07  (every hour at minute 5, second 7)",
                             "threshold  4", "fine       135"}) {
        EXPECT_NE(shown.find(line), std::string::npos) << line << " in\n" << shown;
    }
}

TEST_F(SettingsFile, ShowSaysWhatTheFileHoldsThatIsUnknown) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fputs("short", file);
    std::fclose(file);
    ASSERT_EQ(showSettings(path, out, err), 0);
    EXPECT_NE(text(err).find("zrqd: " + path + ": shorter than one record"), std::string::npos)
        << text(err);
}

TEST(ShowSettings, ValuesOutsideTheirRangesAreShownAsStored) {
    StoredSettings s{};
    s.baudCode = 7;
    s.clock.CodeFormat = 9;
    s.clock.CorrectionMode = static_cast<CorrectionMode>(0);
    const std::string shown = describeSettings(s);
    EXPECT_NE(shown.find("code 7 (neither 4800 nor 9600)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("9 (no format)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("none (mode 0)"), std::string::npos) << shown;
}

}  // namespace
}  // namespace zrq
