// `zrq --help` and `zrq --version`: answered before the toolkit starts, so they need no display
// and open no port, lock or file.
#pragma once

#include <cstdio>
#include <optional>

namespace zrq {

// When an argument is --help (or -h) or --version, prints the answer to `out` and returns the
// exit status: 0, or 1 when the text could not be written. Otherwise returns nothing and the
// program starts as usual; it ignores every other argument (its settings come from its working
// directory).
std::optional<int> answerInformationRequest(int argc, const char* const* argv, std::FILE* out);

}  // namespace zrq
