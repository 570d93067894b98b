// The bar's status text after the system refused to set the clock: what went wrong and, for the
// common causes, what the user can do about it.
#pragma once

#include <string>

#include "base/gbk_text.h"

namespace zrq {

// "校时失败！系统拒绝设置时间：" followed by the reason for the error number (errno) that the
// clock's set returned: in Chinese for a missing right to set the clock and for an invalid time,
// otherwise the system's own text.
GbkText refusedSetMessage(int error);
// The same prefix followed by a reason of the program's own (UTF-8), e.g. "no such local time".
GbkText refusedSetMessage(const char* reason);
// The status text in the service's words (UTF-8): the advice for a missing right (setcap on the
// program, or root) helps no service, whose right comes from its unit or container.
std::string serviceStatusText(const GbkText& statusMessage);

}  // namespace zrq
