// The routing core: a distance-vector router for IPX networks (RIP), with
// no I/O and no clock of its own. The caller tells it about its links
// (on_link), hands it the RIP packets that arrive (on_response,
// on_request) and the time, and sends what take_output() returns; lookup()
// answers "which link and which router for this network". It keeps one
// absolute deadline per route and per link and does its work in on_timer()
// when next_deadline() has come, like SpxConnection.
//
// Rules:
//  - A route learned from a neighbour costs the neighbour's hops + 1 and
//    its ticks + the link's own ticks. Fewer ticks win, then fewer hops. A
//    route from the router we use is always taken, better or worse; another
//    router's replaces it when it is better, or as good while ours has not
//    been heard of for half the expiry time.
//  - Hops 16 is unreachable. A route not heard of for `expire_ms` (180 s)
//    becomes unreachable and is forgotten `garbage_ms` (240 s) after it was
//    last heard of; meanwhile it is advertised with hops 16, so that others
//    forget it too. So are the networks of a link that goes down, and every
//    route through it.
//  - A router broadcasts its table on every link every `update_ms` (60 s),
//    and the routes that changed at once, but never two such triggered
//    updates on a link within `gap_ms`, unless a route has become
//    unreachable: bad news goes at once. Split horizon: nothing is
//    advertised on the link it was learned by (nor a link's own network on
//    that link).
//  - A router that loses a route asks its links for it at once (a request
//    naming the network): a neighbour with another way answers, split
//    horizon keeping back routes through the asker, so the way round is
//    found without waiting for a periodic update.
//  - Requests for every network (FFFFFFFF) get the whole table, requests
//    for some networks the ones we reach; a program of this host hears
//    everything, the networks of our own links with hops 0. A core that is
//    not a router (config.router false: a host, or a stack that must not
//    forward) learns from what it hears and asks, but never advertises or
//    answers.
//  - A host that needs a route it does not have asks every link (want()),
//    again every `ask_ms`, and gives up after `lookup_ms`; take_resolved()
//    and take_failed() tell how each lookup ended.
#ifndef IPXSTACK_CORE_RIP_H
#define IPXSTACK_CORE_RIP_H

#include "link.h"
#include "rip_wire.h"

#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace ipxcore {

struct RipTimers {
    uint64_t update_ms = 60000;
    uint64_t expire_ms = 180000;
    uint64_t garbage_ms = 240000;
    uint64_t gap_ms = 1000;
    // The first periodic update on a link comes up to this much before a
    // whole period has passed (drawn from the seed), so that routers
    // started together do not broadcast together; then every period.
    uint64_t jitter_ms = 0;
    uint64_t ask_ms = 500;
    uint64_t lookup_ms = 2000;
};

struct RipConfig {
    RipTimers timers;
    bool router = true;
    bool split_horizon = true;
    size_t max_routes = 4096;
    uint64_t seed = 1;
};

// The caller's number for one of its links.
using RipLink = uint32_t;
// Where an answer to a program of this host goes.
constexpr RipLink kRipLocal = 0xFFFFFFFF;

// One RIP message to send: from socket 0x0453 on `link`, to `dst` (the
// broadcast node for everyone on the link) at `dst_socket`. The caller
// splits the entries into packets of 50.
struct RipSend {
    RipLink link = 0;
    Node dst{};
    uint16_t dst_socket = kSocketRip;
    uint16_t op = kRipResponse;
    std::vector<RipEntry> entries;
};

struct RipRoute {
    uint32_t net = 0;
    uint16_t hops = 0;
    uint16_t ticks = 0;
    RipLink link = 0;
    Node next_hop{};      // the router on `link`; none for a network of our own
    bool direct = false;  // the network of one of our links
    uint64_t heard = 0;   // last confirmed (a network of our own: its link came up)
    uint64_t deadline = UINT64_MAX;  // unreachable at, or forgotten at
    uint64_t seq = 0;     // number of its last change
    bool reachable() const { return hops < kRipUnreachable; }
};

struct RipCounters {
    uint64_t responses = 0, requests = 0;   // taken in
    uint64_t answers = 0;                   // requests answered
    uint64_t own_entries = 0;     // entries for a network of one of our links: ignored
    uint64_t full_entries = 0;    // entries not learned: the table was full
    uint64_t not_up = 0;          // packets from a link that is down or unknown
    uint64_t lookups = 0, lookups_failed = 0;
};

class RipCore {
public:
    explicit RipCore(const RipConfig &cfg);

    // A link came up (its network, its ticks) or went down.
    void on_link(RipLink link, bool up, uint32_t net, uint16_t ticks, uint64_t now);
    // A response from the router at `from` on `link` (kRipLocal: never).
    void on_response(RipLink link, const Node &from, const std::vector<RipEntry> &entries,
                     uint64_t now);
    // A request from `from` (its socket `from_socket`) on `link`, or from a
    // program of this host (kRipLocal).
    void on_request(RipLink link, const Node &from, uint16_t from_socket,
                    const std::vector<RipEntry> &entries, uint64_t now);
    // This host needs a route to `net`: asks for it unless it is known or
    // already asked for.
    void want(uint32_t net, uint64_t now);

    std::vector<RipSend> take_output();
    std::vector<uint32_t> take_resolved();  // asked-for networks now reachable
    std::vector<uint32_t> take_failed();    // asked-for networks nobody offered in time

    // The route to `net` when it is reachable, else nullptr.
    const RipRoute *lookup(uint32_t net) const;
    // Every route, reachable or not, by network.
    const std::map<uint32_t, RipRoute> &routes() const { return routes_; }
    bool asking(uint32_t net) const { return lookups_.count(net) != 0; }

    uint64_t next_deadline() const;  // UINT64_MAX: nothing to do
    void on_timer(uint64_t now);

    const RipCounters &counters() const { return counters_; }
    // How many changes the table has seen (each route change counts one).
    uint64_t changes() const { return seq_; }
    const RipConfig &config() const { return cfg_; }

private:
    struct LinkState {
        bool up = false;
        uint32_t net = 0;
        uint16_t ticks = 1;
        uint64_t next_regular = UINT64_MAX;
        uint64_t trigger_ok = 0;       // no triggered update before this
        bool trigger_pending = false;
        bool urgent = false;           // a route became unreachable: no gap
        uint64_t sent_seq = 0;         // changes up to here have been sent
    };
    struct Lookup {
        uint64_t next_ask = 0;
        uint64_t give_up = 0;
    };

    void set_deadline(RipRoute &r, uint64_t at);
    void changed(RipRoute &r, bool urgent = false);
    void make_unreachable(RipRoute &r, uint64_t now);
    void learn(RipLink link, const LinkState &ls, const Node &from, const RipEntry &e,
               uint64_t now);
    // The entries a link hears: every route (or those changed since
    // `after_seq`), less what split horizon keeps back.
    std::vector<RipEntry> advert(RipLink link, uint64_t after_seq) const;
    void broadcast(RipLink link, uint16_t op, std::vector<RipEntry> entries);
    void regular(RipLink link, LinkState &ls, uint64_t now);
    void flush(uint64_t now);  // triggered updates that may go
    void ask(uint32_t net);
    void check_resolved(uint32_t net);

    RipConfig cfg_;
    std::map<RipLink, LinkState> links_;
    std::map<uint32_t, RipRoute> routes_;
    std::set<std::pair<uint64_t, uint32_t>> timers_;  // (deadline, net)
    std::map<uint32_t, Lookup> lookups_;
    std::set<uint32_t> lost_;  // routes lost since the last flush: asked for
    std::vector<RipSend> out_;
    std::vector<uint32_t> resolved_, failed_;
    RipCounters counters_;
    uint64_t seq_ = 0;
    uint64_t rng_;
};

} // namespace ipxcore

#endif
