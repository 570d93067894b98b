// The second copy's warning.
#include "app/single_instance.h"

namespace zrq {

bool refuseSecondCopy(const InstanceLock& lock, MessageBoxes& boxes) {
    if (lock.outcome() != InstanceLock::Outcome::AlreadyRunning) return false;
    boxes.plainWithCaption(gbk("警告"), gbk("Horivo程序已经在运行！"));
    return true;
}

}  // namespace zrq
