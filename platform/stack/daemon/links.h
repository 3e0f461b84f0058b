// The clock seam of the stack daemon. (Links are the core's ipxcore::Link.)
#ifndef IPXSTACKD_LINKS_H
#define IPXSTACKD_LINKS_H

#include <cstdint>

namespace ipxstackd {

// The one clock of the daemon, read once per loop iteration; tests replace it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint64_t now_ms() const = 0;
};

class MonotonicClock : public Clock {
public:
    uint64_t now_ms() const override;
};

} // namespace ipxstackd

#endif
