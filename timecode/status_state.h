// StatusState: the clock engine's runtime status, written by the handler, the tick and the
// engine's commands, all on the shell's thread, and read by the windows. Nothing of it is saved.
#pragma once

#include <cstdint>

#include "base/gbk_text.h"

namespace zrq {

struct StatusState {
    bool NoSignal = true;              // recomputed every new second from SilentSeconds
    bool JumpDetected = true;          // the latest frame's time or date differed (yellow lamp)
    bool MonitorActive = false;        // the monitor window is observing
    bool JumpLogEnabled = true;        // menu "跳动记录"
    bool CommLogEnabled = false;       // menu "通讯记录"
    bool CorrectNowRequested = false;  // menu "立即校正", cleared by a correction
    int32_t SilentSeconds = 50;        // new seconds since the last accepted frame
    GbkText StatusMessage;             // shown by a double-click on the bar
    // The latest clock set was refused (yellow lamp, SetRefusedMessage as StatusMessage) until a
    // later set succeeds: a clock that is never corrected must not look as if it worked.
    bool SetRefused = false;
    GbkText SetRefusedMessage;  // "校时失败！系统拒绝设置时间：" and the reason
};

}  // namespace zrq
