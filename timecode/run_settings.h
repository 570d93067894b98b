// The running values at start: the settings file read into them, and the values every start
// forces whatever was stored. Shared by the desktop program and the service.
#pragma once

#include <string>

#include "base/message_boxes.h"
#include "serial/line_settings.h"
#include "store/clock_settings.h"
#include "store/config_file.h"
#include "timecode/status_state.h"

namespace zrq {

// Loads the settings file at `path` over `current` into the running values. False, after the
// warning box "File access error", when the file exists but cannot be opened: start-up ends
// there.
bool loadRunSettings(const std::string& path, const StoredSettings& current, MessageBoxes& boxes,
                     ClockSettings& settings, LineSettings& line);

// No correction on a jump, monitor and communication log off, jump log on, and the lamp red
// until the first good frame.
void forceRunValues(ClockSettings& settings, StatusState& status);

}  // namespace zrq
