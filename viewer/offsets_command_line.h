// The command line of `zrq-offsets`: --help, --version and --summary are answered before the
// toolkit starts (no display needed); otherwise it names the folder whose records the window
// shows.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace zrq {

// The bar's data folder as its desktop entry uses it: $XDG_DATA_HOME/zrq when that is an
// absolute path, else ~/.local/share/zrq (the same rule as zrq-launch's).
std::string defaultRecordFolder();

// What the window needs of the arguments that remain after the toolkit took its own.
struct ViewerArguments {
    std::string folder;
};

// When the arguments ask for --help (-h), --version or --summary, or are not understood,
// prints the answer and returns the exit status: 0; 1 when the record does not exist or the
// answer could not be written; 2 for arguments not understood. Otherwise returns nothing.
// `today` gives the "yymmdd" of the current local date.
std::optional<int> answerOffsetsRequest(int argc, const char* const* argv, std::FILE* out,
                                        std::FILE* err, const std::function<std::string()>& today);

// The folder of the window: the one argument when given, else the default one; nothing (with a
// message on `err`) when there are more.
std::optional<ViewerArguments> viewerArguments(int argc, const char* const* argv, std::FILE* err);

}  // namespace zrq
