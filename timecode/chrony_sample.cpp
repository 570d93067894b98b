// The chrony sample: one non-blocking datagram per valid frame to chronyd's SOCK driver, with a
// pause of a few seconds after a refusal.
#include "timecode/chrony_sample.h"
#include "base/time_units.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace zrq {
namespace {

constexpr double kUsPerSecondExact = 1e6;  // dividing by it rounds once, multiplying by 1e-6 twice

}  // namespace

static_assert(sizeof(ChronySockSample) == 40, "chronyd reads exactly this layout");

ChronySampleSender::ChronySampleSender(std::string directory) {
    const std::string path = directory.empty() || directory == "."
                                 ? std::string(kChronySocketName)
                                 : directory + "/" + kChronySocketName;
    address_.sun_family = AF_UNIX;
    // A path too long for a socket address names no socket this program could reach.
    addressFits_ = path.size() < sizeof address_.sun_path;
    if (addressFits_) std::memcpy(address_.sun_path, path.c_str(), path.size() + 1);
}

ChronySampleSender::~ChronySampleSender() {
    if (socket_ >= 0) ::close(socket_);
}

ChronySockSample ChronySampleSender::sample(const PreciseTime& measured,
                                            int64_t deviceMinusSystemUs) {
    ChronySockSample s{};
    // Floor division, so that a time before 1970 still gets microseconds in 0..999999.
    int64_t seconds = measured.systemUs / kUsPerSecond;
    int64_t us = measured.systemUs % kUsPerSecond;
    if (us < 0) {
        us += kUsPerSecond;
        --seconds;
    }
    s.tv.tv_sec = static_cast<time_t>(seconds);
    s.tv.tv_usec = static_cast<suseconds_t>(us);
    s.offset = static_cast<double>(deviceMinusSystemUs) / kUsPerSecondExact;
    s.pulse = 0;
    s.leap = 0;
    s.magic = kChronySampleMagic;
    return s;
}

bool ChronySampleSender::send(const PreciseTime& measured, int64_t deviceMinusSystemUs) {
    if (!addressFits_) return false;
    // A clock stepped back also ends the pause, hence the distance either way.
    if (resting_ && std::llabs(measured.systemUs - failedAtUs_) < kRetryUs) return false;
    if (socket_ < 0) socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const ChronySockSample s = sample(measured, deviceMinusSystemUs);
    const bool sent = socket_ >= 0 && ::sendto(socket_, &s, sizeof s, MSG_DONTWAIT | MSG_NOSIGNAL,
                                               reinterpret_cast<const sockaddr*>(&address_),
                                               sizeof address_) == sizeof s;
    resting_ = !sent;
    if (!sent) failedAtUs_ = measured.systemUs;
    return sent;
}

}  // namespace zrq
