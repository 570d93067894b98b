// The running values at start, from the settings file and the forced values.
#include "timecode/run_settings.h"

namespace zrq {

bool loadRunSettings(const std::string& path, const StoredSettings& current, MessageBoxes& boxes,
                     ClockSettings& settings, LineSettings& line) {
    const LoadResult loaded = loadSettings(path, current);
    if (loaded.outcome == LoadOutcome::CannotOpen) {
        boxes.warning(gbk("File access error"));
        return false;
    }
    settings = loaded.settings.clock;
    line.Port = loaded.settings.port;
    line.BaudCode = loaded.settings.baudCode;
    return true;
}

void forceRunValues(ClockSettings& settings, StatusState& status) {
    settings.JumpNoCorrect = 1;
    status.MonitorActive = false;
    status.NoSignal = true;
    status.JumpDetected = true;
    status.JumpLogEnabled = true;
    status.CommLogEnabled = false;
}

}  // namespace zrq
