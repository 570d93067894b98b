// The process's own capabilities, read and given up through the raw system calls (capget,
// capset, prctl), so that no library is needed for the few operations the program makes.
#pragma once

namespace zrq {

// Linux's number of the right to set the system clock (CAP_SYS_TIME).
inline constexpr int kClockCapability = 25;

// Whether the capability is in the process's permitted set.
bool hasPermittedCapability(int capability);

// Gives up every capability but `keep` (-1: every one): the other entries of the bounding set
// when the process may change it (it needs CAP_SETPCAP for that, which a program given only
// cap_sys_time does not hold), the ambient set, the inheritable set, and the permitted and
// effective sets but for `keep`. Then sets no_new_privs, so that no program it might run gains
// anything back. Returns 0, or the errno of the step that failed.
int keepOnlyCapability(int keep);

}  // namespace zrq
