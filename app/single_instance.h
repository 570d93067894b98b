// The single-instance lock's box: a second copy is refused before it creates a window.
#pragma once

#include "base/instance_lock.h"
#include "base/message_boxes.h"

namespace zrq {

// Shows "Horivo程序已经在运行！" (caption "警告") when another copy holds the lock; true then, and
// the caller ends without creating a window.
bool refuseSecondCopy(const InstanceLock& lock, MessageBoxes& boxes);

}  // namespace zrq
