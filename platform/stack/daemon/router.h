// Routing in the stack: the glue between the links and the routing core
// (ipxcore::RipCore). It feeds the core the links' states and the RIP
// packets that arrive on socket 0x0453, sends what the core says from that
// socket, forwards other hosts' packets between links, and keeps this
// host's packets for a far network while the core asks for a route.
//
// With links to other hosts the stack always runs RIP: it learns routes
// from what routers broadcast and asks when it needs one. It is a router
// (advertises its networks, answers requests, forwards packets) when it
// has two or more links and forwarding is not turned off.
#ifndef IPXSTACKD_ROUTER_H
#define IPXSTACKD_ROUTER_H

#include "../core/ipx.h"
#include "../core/link.h"
#include "../core/rip.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ipxstackd {

struct RouterConfig {
    bool forward = true;  // route between links (with two or more)
    ipxcore::RipTimers timers;
    uint64_t seed = 1;
};

// How many packets of this host wait for routes, per network and in all.
constexpr size_t kHeldPerNet = 32;
constexpr size_t kHeldTotal = 256;

struct RouterCounters {
    uint64_t rip_in = 0, rip_out = 0;  // RIP packets
    uint64_t rip_malformed = 0;        // not a whole, well-formed RIP packet
    uint64_t rip_foreign = 0;          // from another network than the link's, or a
                                       // response from a program of this host
    uint64_t forwarded = 0;
    uint64_t hop_limit = 0;            // dropped: the 16th router
    uint64_t no_route = 0;             // dropped: no route to forward by
    uint64_t not_forwarded = 0;        // broadcasts, and everything when not a router
    uint64_t held = 0;                 // this host's packets kept for a route
    uint64_t held_overflow = 0;        // given up: too many waiting
};

// "update=MS,expire=MS,garbage=MS,gap=MS,ask=MS,lookup=MS" (any of them):
// the routing timers, shorter for tests. False with a message when a value
// is not a number of 1 to 3600000 ms, or the garbage time is below the
// expiry time.
bool parse_rip_timers(const std::string &text, ipxcore::RipTimers &out, std::string &error);

class Router {
public:
    using Links = std::vector<std::unique_ptr<ipxcore::Link>>;
    using Log = std::function<void(const std::string &)>;
    // `links` is the stack's list: [0] is the internal loopback, the others
    // lead to other hosts (RIP numbers them by their place in it).
    Router(const RouterConfig &cfg, const Links &links, Log log);

    // The stack has links to other hosts: RIP runs.
    bool active() const { return links_.size() > 1; }
    // It routes between its links.
    bool forwarding() const { return cfg_.forward && links_.size() > 2; }

    // Once per round: links that came up or went down, the core's
    // deadlines, what it sends, the lookups that ended.
    void run(uint64_t now);
    // 0 when packets wait to be taken (take_released, take_failed).
    uint64_t next_deadline() const;

    // A packet for socket 0x0453 of this host, from `from` (the loopback:
    // a program of this host).
    void on_rip(const ipxcore::IpxView &v, ipxcore::Link &from, uint64_t now);

    // The route to `net` (not a network of our own links): its link and
    // the router there. False when none is known.
    bool lookup(uint32_t net, ipxcore::Link *&link, ipxcore::Node &next_hop) const;
    // Keeps a packet of this host for `net` (and asks for a route) when
    // RIP runs; false, the packet untouched, when it does not. When too
    // many wait, the oldest is given up.
    bool hold(std::vector<uint8_t> &pkt, uint32_t net, uint64_t now);
    // Packets whose route has been found, to be sent again, and packets
    // for which none was found in time.
    std::vector<std::vector<uint8_t>> take_released();
    std::vector<std::vector<uint8_t>> take_failed();

    // A packet from another host, arrived on `from`, for a network other
    // than that link's and not for this host: sent on with its hop count
    // raised, or dropped and counted. Never onto the loopback.
    void forward(std::vector<uint8_t> pkt, const ipxcore::IpxHeader &h, ipxcore::Link &from,
                 uint64_t now);

    // The routing lines of the status view.
    std::string status(uint64_t now) const;
    const RouterCounters &counters() const { return counters_; }
    const ipxcore::RipCore &core() const { return *core_; }

private:
    void sync_links(uint64_t now);
    void send_output(uint64_t now);
    void settle_lookups();
    size_t held_count() const { return held_total_; }
    ipxcore::Link *up_link(ipxcore::RipLink id) const;

    RouterConfig cfg_;
    const Links &links_;
    Log log_;
    std::unique_ptr<ipxcore::RipCore> core_;
    bool made_ = false;             // the core exists with the right role
    std::vector<int> state_;        // per link: -1 unknown, 0 down, 1 up
    uint32_t local_net_ = 0;        // the network a local requester asked from
    std::map<uint32_t, std::deque<std::vector<uint8_t>>> held_;
    size_t held_total_ = 0;
    std::vector<std::vector<uint8_t>> released_, failed_;
    RouterCounters counters_;
};

} // namespace ipxstackd

#endif
