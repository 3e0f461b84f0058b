// SAP engines joined over a scripted internetwork on a fake clock: each
// host or router runs an ombrad::Engine; each network is a broadcast medium.
// What an engine sends is carried with the network's delay to the engines
// on that network, as the stack would deliver it (the sender's network and
// node, socket 0x0452). A router's question to its stack about routes is
// answered with its links (hops 0, or 16 while a link is down); a host's
// stack does not route and does not answer. The stack's check of local
// sockets always finds them bound. Nothing sleeps: time jumps from event
// to event. The relay tests and the routing benchmark drive it.
#ifndef OMBRAD_TESTS_FAKESAP_H
#define OMBRAD_TESTS_FAKESAP_H

#include "engine.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace fakesap {

using namespace ombrad;

constexpr uint16_t kTerminal = 0x0247;

class Internet {
public:
    // A host on network `net`, and a router on `nets` (its home network
    // first); their numbers.
    int host(uint32_t net, Limits limits = {});
    int router(const std::vector<uint32_t> &nets, Limits limits = {});
    // Router `r`'s link on `net` goes down or up (its next answer says so).
    void link(int r, uint32_t net, bool up);

    // A service at engine `i`'s node (socket given), registered or
    // withdrawn there, now.
    void bind(int i, const std::string &name, uint16_t socket);
    void unbind(int i, const std::string &name);

    void run_until(uint64_t t_ms);
    void advance(uint64_t ms) { run_until(now + ms); }
    bool run_until(const std::function<bool()> &done, uint64_t limit_ms);

    Engine &engine(int i) { return *nodes_.at(static_cast<size_t>(i)).engine; }
    size_t size() const { return nodes_.size(); }
    // The hops at which engine `i` knows service `name` (16: not at all).
    uint16_t hops(int i, const std::string &name) const;
    // What a local tool on engine `i`'s host lists (a general query).
    std::vector<sap::Entry> listed(int i);

    // Drops a packet sent by engine `from` on network `net` when it
    // returns true.
    std::function<bool(int from, uint32_t net, const sap::Bytes &)> drop;

    uint64_t now = 0;      // ms since the start
    uint64_t delay_ms = 1;
    uint64_t packets = 0;  // SAP packets carried (one per network they were sent on)
    uint64_t last_change = 0;

    static sap::Node node(int i);
    static Time at(uint64_t ms) { return Time{} + std::chrono::milliseconds(ms); }

private:
    struct Node {
        std::unique_ptr<Engine> engine;
        std::vector<uint32_t> nets;
        std::map<uint32_t, bool> up;
        bool router = false;
        uint64_t learned = 0;  // the table's changes when last looked at
    };
    struct InFlight {
        int to;
        sap::Address from;
        bool requests;  // for the request socket
        sap::Bytes data;
    };
    int add(const std::vector<uint32_t> &nets, bool router, Limits limits);
    void flush(int i, std::vector<Send> &out);
    void step(int i);  // engine i's due work
    // Engine i's deadline as last seen: an engine's deadlines move only
    // when it is given something, so the earliest of them all is kept in
    // order rather than asked of every engine at every event.
    void refresh(int i);
    std::pair<uint64_t, int> earliest() const;

    std::vector<Node> nodes_;
    std::multimap<std::pair<uint64_t, uint64_t>, InFlight> flight_;
    std::vector<uint64_t> due_;               // per engine
    std::set<std::pair<uint64_t, int>> dues_;  // (deadline, engine)
    uint64_t order_ = 0;
};

} // namespace fakesap

#endif
