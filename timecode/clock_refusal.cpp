// The status text of a refused clock set.
#include "timecode/clock_refusal.h"

#include <cerrno>
#include <string>

#include "base/local_clock.h"

namespace zrq {
namespace {

constexpr const char* kPrefix = "校时失败！系统拒绝设置时间：";
// EPERM is what clock_settime gives a process without CAP_SYS_TIME.
constexpr const char* kNoRight =
    "本程序没有设置时钟的权限（CAP_SYS_TIME）。请用 sudo setcap cap_sys_time+ep 加程序文件路径"
    "授予此权限，或以 root 运行。";
constexpr const char* kServiceNoRight =
    "the unit or the container gives zrqd no CAP_SYS_TIME; frames are still received and fed to "
    "chrony";
constexpr const char* kInvalidTime = "时间无效，系统不接受。";

// The system's text is ASCII in most locales; one that does not convert is shown by number.
GbkText systemReason(int error) {
    try {
        return GbkText::fromUtf8(describeClockError(error));
    } catch (const EncodingError&) {
        GbkText number;
        number.appendAscii("error " + std::to_string(error));
        return number;
    }
}

}  // namespace

GbkText refusedSetMessage(int error) {
    GbkText message = gbk(kPrefix);
    if (error == EPERM || error == EACCES) return message += gbk(kNoRight);
    if (error == EINVAL) return message += gbk(kInvalidTime);
    return message += systemReason(error);
}

GbkText refusedSetMessage(const char* reason) {
    GbkText message = gbk(kPrefix);
    return message += gbk(reason);
}

std::string serviceStatusText(const GbkText& statusMessage) {
    if (statusMessage == refusedSetMessage(EPERM)) return kPrefix + std::string(kServiceNoRight);
    return statusMessage.toUtf8();
}

}  // namespace zrq
