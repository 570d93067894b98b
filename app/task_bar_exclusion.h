// Keeps the bar off the task bar and the pager: X11 window-manager hints set before first show.
#pragma once

class QWidget;

namespace zrq {

// Adds _NET_WM_STATE_SKIP_TASKBAR and _NET_WM_STATE_SKIP_PAGER to the window's state. Call before
// the window is first shown (a window manager reads the state when the window is mapped). Does
// nothing off X11; any failure is ignored.
void excludeFromTaskBar(QWidget& window);

}  // namespace zrq
