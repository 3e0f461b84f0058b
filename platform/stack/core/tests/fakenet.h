// Two SPX connections joined by a fake network on a fake clock: packets
// travel through an Impairment per direction and are delivered in time
// order; nothing sleeps, time jumps to the next event.
#ifndef IPXCORE_TESTS_FAKENET_H
#define IPXCORE_TESTS_FAKENET_H

#include "ipx.h"
#include "link.h"
#include "spx.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fakenet {

using namespace ipxcore;

constexpr uint64_t kStart = 1'000'000;

class Net {
public:
    Net();

    // Side 0 is the caller, side 1 the listener.
    IpxAddress addr[2];
    uint16_t id[2] = {0x1234, 0x5678};
    SpxConfig cfg[2];
    std::optional<SpxConnection> conn[2];
    bool auto_accept = true;
    bool cut[2] = {false, false};  // packets sent by side i vanish
    bool answer_stray = false;     // a side without connection answers an end of connection
    bool record = false;           // keep every packet sent in `sent`
    std::vector<std::vector<uint8_t>> sent[2];
    std::vector<std::string> trace;
    uint64_t now = kStart;
    uint64_t undecodable = 0;  // deliveries that failed to decode (corruption)

    void impair(int side, const ImpairmentConfig &c);
    void connect();
    // Hands a crafted packet to side `to` now, as if it had arrived.
    void inject(int to, const std::vector<uint8_t> &pkt);

    // Runs events until `done` holds (true) or `limit_ms` of fake time have
    // passed or nothing is left to happen (false). `app` runs before every
    // check, to move data in and out of the connections.
    bool run_until(const std::function<bool()> &done, uint64_t limit_ms,
                   const std::function<void()> &app = {});
    // Runs all events up to now + ms.
    void advance(uint64_t ms, const std::function<void()> &app = {});

    SpxConnection &c(int side) { return *conn[side]; }

private:
    struct InFlight {
        int to;
        std::vector<uint8_t> pkt;
    };
    std::unique_ptr<Impairment> imp_[2];
    std::multimap<std::pair<uint64_t, uint64_t>, InFlight> queue_;
    uint64_t order_ = 0;

    SpxConnection::Transmit tx_for(int side);
    void deliver(int to, const std::vector<uint8_t> &pkt);
    uint64_t next_event() const;
    void run_due();
};

// Builds an SPX packet from side `from` of `net` to the other side, with the
// given header fields, for hostile-input tests.
std::vector<uint8_t> craft(const Net &net, int from, const SpxHeader &h,
                           const std::vector<uint8_t> &data = {});

// Moves units through a connection: the sender queues each unit whole
// (end-of-unit on its last byte) as fast as the send buffer allows; the
// reader takes bytes with a rotating buffer size and rebuilds the units.
struct Pump {
    std::vector<std::vector<uint8_t>> units;  // to send
    size_t unit = 0, pos = 0;
    std::vector<std::vector<uint8_t>> got;    // received, complete units
    std::vector<uint8_t> partial;
    size_t read_caps_i = 0;
    bool reading = true;

    void fill(uint64_t seed, size_t total_bytes, size_t max_unit);
    bool all_sent() const { return unit == units.size(); }
    bool all_received() const { return got.size() == units.size() && partial.empty(); }
    void send_some(SpxConnection &c, uint64_t now);
    void read_some(SpxConnection &c, uint64_t now);
};

} // namespace fakenet

#endif
