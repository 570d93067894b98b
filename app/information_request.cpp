// The answers to --help and --version, printed before any window, port or file is touched.
#include "app/information_request.h"

#include <cstring>

#ifndef ZRQ_VERSION
#define ZRQ_VERSION "0.0.0"
#endif

namespace zrq {
namespace {

constexpr const char* kHelp =
    "Usage: zrq [--help | --version]\n"
    "\n"
    "Keeps the PC clock right from a standard-time clock device on a serial port and shows the\n"
    "time on a small always-on-top bar; right-click the bar for its menu.\n"
    "\n"
    "The program keeps its settings (kelvosys.conf) and daily logs in its working directory;\n"
    "serial port n is the entry COMn there when present, otherwise a standard device (COM1 is\n"
    "/dev/ttyS0). From the desktop, start it with zrq-launch, which uses ~/.local/share/zrq.\n"
    "Setting the clock needs the capability cap_sys_time; the package gives it to the program\n"
    "and lets members of the group zrq run it; a small part of the program keeps it, the\n"
    "windowed part gives up every capability. Clock sets, jumps, refused corrections and\n"
    "competing time services go to the system journal (journalctl -t zrq). The working\n"
    "directory must be writable by its owner alone.\n"
    "\n"
    "  -h, --help     show this text and exit\n"
    "      --version  show the version and exit\n";

constexpr const char* kVersion = "zrq " ZRQ_VERSION "\n";

// Prints the text; false when it did not all reach the output (a closed pipe, a full disk).
bool print(const char* text, std::FILE* out) {
    return std::fputs(text, out) >= 0 && std::fflush(out) == 0;
}

}  // namespace

std::optional<int> answerInformationRequest(int argc, const char* const* argv, std::FILE* out) {
    for (int i = 1; i < argc; ++i) {
        const char* text = nullptr;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            text = kHelp;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            text = kVersion;
        }
        if (text != nullptr) return print(text, out) ? 0 : 1;
    }
    return std::nullopt;
}

}  // namespace zrq
