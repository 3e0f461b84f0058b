// The clock seam and the links of the stack daemon.
#ifndef IPXSTACKD_LINKS_H
#define IPXSTACKD_LINKS_H

#include "../core/link.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

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

// A link carries whole IPX packets out of the stack and back in. send()
// only queues; poll() hands over the packets due by `now`. The UDP tunnel
// link plugs in here.
class Link {
public:
    virtual ~Link() = default;
    virtual void send(std::vector<uint8_t> pkt, uint64_t now) = 0;
    virtual void poll(uint64_t now, const std::function<void(std::vector<uint8_t>)> &deliver) = 0;
    virtual uint64_t next_deadline() const = 0;  // UINT64_MAX: nothing queued
    virtual std::string name() const = 0;
};

// The internal loopback link: what goes out comes back in, through the
// impairment when one is configured.
class LoopbackLink : public Link {
public:
    explicit LoopbackLink(const std::optional<ipxcore::ImpairmentConfig> &impair);
    void send(std::vector<uint8_t> pkt, uint64_t now) override;
    void poll(uint64_t now, const std::function<void(std::vector<uint8_t>)> &deliver) override;
    uint64_t next_deadline() const override;
    std::string name() const override { return "loopback"; }
    size_t queued() const { return queue_.size(); }

private:
    std::optional<ipxcore::Impairment> impair_;
    std::multimap<uint64_t, std::vector<uint8_t>> queue_;  // due time -> packet, FIFO per time
};

} // namespace ipxstackd

#endif
