// Capabilities through capget/capset (version 3: two 32-bit words per set) and prctl.
#include "base/capabilities.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace zrq {
namespace {

constexpr int kWordBits = 32;

struct CapabilitySets {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
};

bool readSets(CapabilitySets& sets) { return ::syscall(SYS_capget, &sets.header, sets.data) == 0; }

bool inSet(const CapabilitySets& sets, __u32 __user_cap_data_struct::*set, int capability) {
    const int word = capability / kWordBits;
    if (capability < 0 || word >= _LINUX_CAPABILITY_U32S_3) return false;
    return (sets.data[word].*set & (1u << (capability % kWordBits))) != 0;
}

// Drops every bounding-set entry but `keep`; only possible with CAP_SETPCAP in effect.
int dropBoundingSet(int keep) {
    for (int capability = 0;; ++capability) {
        const int held = ::prctl(PR_CAPBSET_READ, capability, 0, 0, 0);
        if (held < 0) return 0;  // past the kernel's last capability
        if (held == 0 || capability == keep) continue;
        if (::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) return errno;
    }
}

}  // namespace

bool hasPermittedCapability(int capability) {
    CapabilitySets sets;
    return readSets(sets) && inSet(sets, &__user_cap_data_struct::permitted, capability);
}

int keepOnlyCapability(int keep) {
    CapabilitySets sets;
    if (!readSets(sets)) return errno;
    if (inSet(sets, &__user_cap_data_struct::effective, CAP_SETPCAP)) {
        if (const int error = dropBoundingSet(keep)) return error;
    }
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
        return errno;  // EINVAL: a kernel without ambient capabilities has none to clear
    }
    const bool keeping = keep >= 0 && inSet(sets, &__user_cap_data_struct::permitted, keep);
    for (auto& word : sets.data) word = {};
    if (keeping) {
        const __u32 bit = 1u << (keep % kWordBits);
        sets.data[keep / kWordBits].permitted = bit;
        sets.data[keep / kWordBits].effective = bit;
    }
    if (::syscall(SYS_capset, &sets.header, sets.data) != 0) return errno;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
    return 0;
}

}  // namespace zrq
