// zrq-offsets' answers without a window: help, version and the day's summary as three lines.
#include "viewer/offsets_command_line.h"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "timecode/offset_reading.h"
#include "timecode/offset_statistics.h"

#ifndef ZRQ_VERSION
#define ZRQ_VERSION "0.0.0"
#endif

namespace zrq {
namespace {

constexpr const char* kHelp =
    "Usage: zrq-offsets [DIR]\n"
    "       zrq-offsets --summary [DIR] [YYMMDD]\n"
    "\n"
    "Shows the offset records (YYMMDDO.csv) that the clock bar zrq writes in its working\n"
    "directory: for the chosen day, how far the PC clock was off at each correction attempt,\n"
    "which attempts were refused, and how fast the PC clock runs on its own. The window follows\n"
    "today's record as it grows.\n"
    "\n"
    "DIR is the working directory; without it, the bar's data folder\n"
    "${XDG_DATA_HOME:-~/.local/share}/zrq, where zrq-launch runs it.\n"
    "\n"
    "  -h, --help     show this text and exit\n"
    "      --version  show the version and exit\n"
    "      --summary  print the day's figures (today's unless YYMMDD is given) as three lines\n"
    "                 and exit; status 1 when there is no record of that day\n";

constexpr const char* kVersion = "zrq-offsets " ZRQ_VERSION "\n";
constexpr const char* kUsage = "usage: zrq-offsets [--summary] [DIR] [YYMMDD]\n";

// Prints the text; false when it did not all reach the output (a closed pipe, a full disk).
bool print(const std::string& text, std::FILE* out) {
    return std::fputs(text.c_str(), out) >= 0 && std::fflush(out) == 0;
}

bool isRecordDay(const std::string& text) {
    LocalTimeRecord date;
    return parseRecordDay(text, &date);
}

int printSummary(const std::vector<std::string>& operands, std::FILE* out, std::FILE* err,
                 const std::function<std::string()>& today) {
    std::string folder = defaultRecordFolder();
    std::string day;
    if (operands.size() == 2) {
        folder = operands[0];
        day = operands[1];
    } else if (operands.size() == 1) {
        // One operand is the day when it reads as one: a folder named like a day is "./261207".
        (isRecordDay(operands[0]) ? day : folder) = operands[0];
    }
    if (day.empty()) day = today();
    if (!isRecordDay(day)) {
        std::fprintf(err, "zrq-offsets: %s is no day (YYMMDD)\n", day.c_str());
        return 2;
    }
    const std::string path = offsetRecordPath(folder, day);
    const std::optional<RecordedDay> record = readOffsetRecord(path);
    if (!record) {
        std::fprintf(err, "zrq-offsets: no offset record %s\n", path.c_str());
        return 1;
    }
    if (record->skippedLines > 0) {
        std::fprintf(err, "zrq-offsets: %d line(s) of %s could not be read and were skipped\n",
                     record->skippedLines, path.c_str());
    }
    return print(summaryText(offsetStatistics(record->attempts)), out) ? 0 : 1;
}

}  // namespace

std::string defaultRecordFolder() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/') return std::string(dataHome) + "/zrq";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/share/zrq";
}

std::optional<int> answerOffsetsRequest(int argc, const char* const* argv, std::FILE* out,
                                        std::FILE* err, const std::function<std::string()>& today) {
    bool summary = false;
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--help" || arg == "-h") return print(kHelp, out) ? 0 : 1;
        if (arg == "--version") return print(kVersion, out) ? 0 : 1;
        if (arg == "--summary") {
            summary = true;
        } else if (!arg.starts_with("-")) {
            operands.emplace_back(arg);
        }
    }
    if (!summary) return std::nullopt;  // the window's arguments, the toolkit's among them
    if (operands.size() > 2) {
        std::fputs(kUsage, err);
        return 2;
    }
    return printSummary(operands, out, err, today);
}

std::optional<ViewerArguments> viewerArguments(int argc, const char* const* argv, std::FILE* err) {
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') {
            std::fprintf(err, "zrq-offsets: unknown option %s\n%s", argv[i], kUsage);
            return std::nullopt;
        }
        operands.emplace_back(argv[i]);
    }
    if (operands.size() > 1) {
        std::fputs(kUsage, err);
        return std::nullopt;
    }
    return ViewerArguments{operands.empty() ? defaultRecordFolder() : operands[0]};
}

}  // namespace zrq
