// The monitor window's line list as the received-data handler sees it: append at the end.
#pragma once

#include "base/gbk_text.h"

namespace zrq {

class MonitorLines {
public:
    virtual ~MonitorLines() = default;
    virtual void appendLine(const GbkText& line) = 0;
};

}  // namespace zrq
