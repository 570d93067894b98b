// Samples for chronyd's SOCK reference clock: each valid frame's offset, sent as the datagram
// chronyd reads from the socket of a "refclock SOCK" line, through the working directory's entry
// "chrony.sock" (normally a link to that socket).
#pragma once

#include <sys/time.h>
#include <sys/un.h>

#include <cstdint>
#include <string>

#include "base/local_clock.h"

namespace zrq {

inline constexpr const char* kChronySocketName = "chrony.sock";
inline constexpr int kChronySampleMagic = 0x534f434b;  // "SOCK"

// The datagram as chronyd's SOCK driver reads it: native byte order and alignment, 40 bytes on
// a 64-bit machine.
struct ChronySockSample {
    timeval tv;     // system time of the measurement
    double offset;  // true time (the device's) minus system time at that moment, in seconds
    int pulse;      // 0: the sample carries the whole time, not a second's pulse alone
    int leap;       // 0: no leap second announced
    int _pad;
    int magic;  // kChronySampleMagic
};

class ChronySampleSender {
public:
    static constexpr int64_t kRetryUs = 5'000'000;  // after a refused send, the next try

    explicit ChronySampleSender(std::string directory = ".");
    ~ChronySampleSender();  // closes the socket
    ChronySampleSender(const ChronySampleSender&) = delete;
    ChronySampleSender& operator=(const ChronySampleSender&) = delete;

    // Sends one sample measured at `measured` (its system time), where the device's time was
    // `deviceMinusSystemUs` microseconds ahead of the system's. Never blocks, allocates or
    // shows anything. When the entry is missing or the send is refused (chronyd not running,
    // its queue full, no permission), it sends nothing more until 5 s of the measurements'
    // time have passed (chronyd may start later). True when the datagram went out.
    bool send(const PreciseTime& measured, int64_t deviceMinusSystemUs);

    static ChronySockSample sample(const PreciseTime& measured, int64_t deviceMinusSystemUs);

private:
    sockaddr_un address_{};
    bool addressFits_ = false;
    int socket_ = -1;
    bool resting_ = false;  // after a refusal, until kRetryUs past failedAtUs_
    int64_t failedAtUs_ = 0;
};

}  // namespace zrq
