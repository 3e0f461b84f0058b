// Routing cores joined over a scripted internetwork on a fake clock. Each
// router is a RipCore; each network a broadcast medium joining some of the
// routers' links. What a core sends is encoded, carried with the network's
// delay and decoded at the other end, so the wire format is in the loop.
// Nothing sleeps: time jumps from one event (a delivery, a core's deadline)
// to the next. The unit tests and the simulation benchmark both drive it.
#ifndef IPXCORE_TESTS_FAKERIP_H
#define IPXCORE_TESTS_FAKERIP_H

#include "rip.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace fakerip {

using namespace ipxcore;

constexpr uint64_t kStart = 1'000'000;

// One packet on a network.
struct Packet {
    uint64_t at = 0;     // sent
    int from = 0;        // router
    uint32_t net = 0;    // network it travels on
    Node dst{};          // broadcast or one router's node
    uint16_t op = 0;
    std::vector<RipEntry> entries;
};

class Internet {
public:
    explicit Internet(const RipConfig &cfg = {}) : cfg_(cfg) {}

    // A router with the default configuration, or `cfg`; its number.
    int add(std::optional<RipConfig> cfg = {});
    // Puts router `r` on network `net` with a link of its own (down until
    // start() or link()).
    void join(int r, uint32_t net, uint16_t ticks = 1);
    // Brings every link up, now.
    void start();
    // Router `r`'s link on `net` goes up or down, now.
    void link(int r, uint32_t net, bool up);

    // Runs every event up to `t` (absolute); now is `t` afterwards.
    void run_until(uint64_t t);
    void advance(uint64_t ms) { run_until(now + ms); }
    // Runs events until `done` holds (true) or `limit_ms` pass (false).
    bool run_until(const std::function<bool()> &done, uint64_t limit_ms);

    RipCore &core(int r) { return *routers_.at(static_cast<size_t>(r)).core; }
    size_t size() const { return routers_.size(); }
    static Node node(int r);
    // Router r's hops to `net`: 16 when it has no reachable route.
    uint16_t hops(int r, uint32_t net) const;
    // Router r's link number on network `net`.
    RipLink link_of(int r, uint32_t net) const { return routers_.at(static_cast<size_t>(r)).link_of.at(net); }

    uint64_t now = kStart;
    uint64_t delay_ms = 1;         // every network's delay
    bool record = false;           // keep every packet in `sent`
    std::vector<Packet> sent;
    uint64_t packets[3] = {};      // sent, by operation (1 request, 2 response)
    uint64_t entries_sent = 0;
    uint64_t last_change = 0;      // when a table last changed
    // Drops a packet in transit when it returns true.
    std::function<bool(const Packet &)> drop;

private:
    struct Router {
        std::unique_ptr<RipCore> core;
        std::map<uint32_t, RipLink> link_of;   // network -> link
        std::map<RipLink, uint32_t> net_of;
        std::map<RipLink, uint16_t> ticks;
        std::map<RipLink, bool> up;
        uint64_t changes = 0;
    };
    struct InFlight {
        int to = 0;
        RipLink link = 0;
        Node from{};
        uint16_t socket = 0;
        std::vector<uint8_t> body;
    };
    void collect(int r);
    void deliver(const InFlight &f);
    void note_changes(int r);

    RipConfig cfg_;
    std::vector<Router> routers_;
    std::map<uint32_t, std::vector<int>> members_;  // network -> routers on it
    std::multimap<std::pair<uint64_t, uint64_t>, InFlight> flight_;
    uint64_t order_ = 0;
};

} // namespace fakerip

#endif
