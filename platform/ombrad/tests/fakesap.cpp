#include "fakesap.h"

#include "rip_wire.h"

#include <algorithm>

namespace fakesap {

namespace {

uint64_t ms_of(Time t)
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(t - Time{}).count());
}

} // namespace

sap::Node Internet::node(int i)
{
    return {0x02, 0, 0, 0, static_cast<uint8_t>((i + 1) >> 8), static_cast<uint8_t>(i + 1)};
}

int Internet::add(const std::vector<uint32_t> &nets, bool router, Limits limits)
{
    Node n;
    int i = static_cast<int>(nodes_.size());
    n.engine = std::make_unique<Engine>(Local{nets.at(0), node(i)}, at(now), limits);
    n.nets = nets;
    for (uint32_t net : nets)
        n.up[net] = true;
    n.router = router;
    nodes_.push_back(std::move(n));
    due_.push_back(0);
    dues_.insert({0, i});
    refresh(i);
    return i;
}

int Internet::host(uint32_t net, Limits limits) { return add({net}, false, limits); }

int Internet::router(const std::vector<uint32_t> &nets, Limits limits)
{
    return add(nets, true, limits);
}

void Internet::link(int r, uint32_t net, bool up)
{
    nodes_.at(static_cast<size_t>(r)).up.at(net) = up;
}

void Internet::bind(int i, const std::string &name, uint16_t socket)
{
    Node &n = nodes_.at(static_cast<size_t>(i));
    sap::Request r;
    r.code = sap::kCodeBind;
    r.type = kTerminal;
    r.socket = socket;
    r.name = name;
    r.node = node(i);
    sap::Bytes b = sap::encode_request(r);
    std::vector<Send> out;
    n.engine->on_request(b.data(), b.size(), {n.nets[0], node(i), 0x1700}, at(now), out);
    flush(i, out);
}

void Internet::unbind(int i, const std::string &name)
{
    Node &n = nodes_.at(static_cast<size_t>(i));
    sap::Request r;
    r.code = sap::kCodeUnbind;
    r.type = kTerminal;
    r.name = name;
    sap::Bytes b = sap::encode_request(r);
    std::vector<Send> out;
    n.engine->on_request(b.data(), b.size(), {n.nets[0], node(i), 0x1700}, at(now), out);
    flush(i, out);
}

void Internet::flush(int i, std::vector<Send> &out)
{
    Node &from = nodes_[static_cast<size_t>(i)];
    for (const Send &s : out) {
        if (s.from_socket == sap::kRequestSocket)
            continue;  // replies to local requesters
        if (s.to.socket == kRipSocket) {
            if (!from.router)
                continue;  // a host's stack does not answer
            std::vector<ipxcore::RipEntry> routes;
            for (uint32_t net : from.nets)
                routes.push_back({net, static_cast<uint16_t>(from.up[net] ? 0 : 16), 1});
            for (sap::Bytes &b : ipxcore::encode_rip(ipxcore::kRipResponse, routes))
                flight_.emplace(std::make_pair(now, order_++),
                                InFlight{i, {from.nets[0], node(i), kRipSocket}, false, b});
            continue;
        }
        if (!from.up.count(s.to.net) || !from.up[s.to.net])
            continue;  // not on that network, or the link is down
        packets++;
        if (drop && drop(i, s.to.net, s.data))
            continue;
        for (size_t j = 0; j < nodes_.size(); j++) {
            Node &to = nodes_[j];
            if (static_cast<int>(j) == i || !to.up.count(s.to.net) || !to.up[s.to.net])
                continue;
            if (s.to.node != sap::kBroadcastNode && s.to.node != node(static_cast<int>(j)))
                continue;
            flight_.emplace(std::make_pair(now + delay_ms, order_++),
                            InFlight{static_cast<int>(j), {s.to.net, node(i), sap::kSapSocket},
                                     false, s.data});
        }
    }
    out.clear();
    if (from.engine->table().changes() != from.learned) {
        from.learned = from.engine->table().changes();
        last_change = now;
    }
    refresh(i);
}

void Internet::refresh(int i)
{
    const Engine &e = *nodes_[static_cast<size_t>(i)].engine;
    Time d = std::min(e.next_deadline(), e.next_route_ask());
    if (e.next_check())
        d = std::min(d, *e.next_check());
    uint64_t ms = ms_of(d);
    uint64_t &old = due_[static_cast<size_t>(i)];
    if (ms == old)
        return;
    dues_.erase({old, i});
    old = ms;
    dues_.insert({ms, i});
}

std::pair<uint64_t, int> Internet::earliest() const
{
    if (dues_.empty())
        return {UINT64_MAX, -1};
    return {std::max(dues_.begin()->first, now), dues_.begin()->second};
}

void Internet::step(int i)
{
    Engine &e = *nodes_[static_cast<size_t>(i)].engine;
    std::vector<Send> out;
    if (e.next_check() && ms_of(*e.next_check()) <= now) {
        std::vector<uint16_t> sockets = e.check_sockets();
        std::vector<SocketState> states(sockets.size(), SocketState{true, 0});
        e.on_check(sockets, states, at(now), out);
    }
    if (ms_of(e.next_route_ask()) <= now)
        e.ask_routes(at(now), out);
    if (ms_of(e.next_deadline()) <= now)
        e.on_timer(at(now), out);
    flush(i, out);
}

void Internet::run_until(uint64_t t)
{
    for (;;) {
        uint64_t next = flight_.empty() ? UINT64_MAX : flight_.begin()->first.first;
        int who = -1;
        auto [d, i] = earliest();
        if (d < next) {
            next = d;
            who = i;
        }
        if (next > t)
            break;
        now = std::max(now, next);
        if (who >= 0) {
            step(who);
            continue;
        }
        InFlight f = std::move(flight_.begin()->second);
        flight_.erase(flight_.begin());
        std::vector<Send> out;
        nodes_[static_cast<size_t>(f.to)].engine->on_sap(f.data.data(), f.data.size(), f.from,
                                                         at(now), out);
        flush(f.to, out);
    }
    now = std::max(now, t);
}

bool Internet::run_until(const std::function<bool()> &done, uint64_t limit_ms)
{
    const uint64_t limit = now + limit_ms;
    while (!done()) {
        uint64_t next = flight_.empty() ? UINT64_MAX : flight_.begin()->first.first;
        next = std::min(next, earliest().first);
        if (next > limit) {
            now = limit;
            return done();
        }
        run_until(std::max(next, now));
    }
    return true;
}

uint16_t Internet::hops(int i, const std::string &name) const
{
    const ServiceTable &t = nodes_.at(static_cast<size_t>(i)).engine->table();
    for (const sap::Entry &e : t.local())
        if (sap::same_name(e.name, name))
            return 0;
    for (const ServiceTable::Heard &h : t.learned())
        if (sap::same_name(h.entry.name, name))
            return h.entry.hops;
    return sap::kHopsDown;
}

std::vector<sap::Entry> Internet::listed(int i)
{
    Node &n = nodes_.at(static_cast<size_t>(i));
    sap::Bytes q = sap::encode_query(sap::kGeneralQuery, sap::kAllTypes);
    std::vector<Send> out;
    n.engine->on_sap(q.data(), q.size(), {n.nets[0], node(i), 0x4000}, at(now), out);
    std::vector<sap::Entry> all;
    for (const Send &s : out) {
        sap::Packet pk;
        std::string why;
        if (sap::decode_packet(s.data.data(), s.data.size(), pk, why))
            all.insert(all.end(), pk.entries.begin(), pk.entries.end());
    }
    return all;
}

} // namespace fakesap
