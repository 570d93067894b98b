// A journal that keeps its entries instead of sending them, for tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/journal.h"

namespace zrq {

// Keeps the entries instead of sending them, for tests.
class RecordingJournal final : public Journal {
public:
    void writeUtf8(std::string_view text) override { entries.emplace_back(text); }
    std::vector<std::string> entries;  // UTF-8
};

}  // namespace zrq
