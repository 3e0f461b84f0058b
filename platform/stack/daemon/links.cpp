#include "links.h"

#include <ctime>

namespace ipxstackd {

uint64_t MonotonicClock::now_ms() const
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

} // namespace ipxstackd
