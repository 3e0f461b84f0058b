#include "fakerip.h"

#include <string>

namespace fakerip {

int Internet::add(std::optional<RipConfig> cfg)
{
    Router r;
    RipConfig c = cfg ? *cfg : cfg_;
    c.seed = cfg_.seed + routers_.size();
    r.core = std::make_unique<RipCore>(c);
    routers_.push_back(std::move(r));
    return static_cast<int>(routers_.size() - 1);
}

Node Internet::node(int r)
{
    return node_from_host(0x0A000000u + static_cast<uint32_t>(r) + 1);
}

void Internet::join(int r, uint32_t net, uint16_t ticks)
{
    Router &ro = routers_.at(static_cast<size_t>(r));
    RipLink l = static_cast<RipLink>(ro.link_of.size() + 1);
    ro.link_of[net] = l;
    ro.net_of[l] = net;
    ro.ticks[l] = ticks;
    ro.up[l] = false;
    members_[net].push_back(r);
}

void Internet::note_changes(int r)
{
    Router &ro = routers_[static_cast<size_t>(r)];
    if (ro.core->changes() != ro.changes) {
        ro.changes = ro.core->changes();
        last_change = now;
    }
}

void Internet::start()
{
    for (size_t i = 0; i < routers_.size(); i++) {
        Router &ro = routers_[i];
        for (auto &[l, net] : ro.net_of) {
            ro.up[l] = true;
            ro.core->on_link(l, true, net, ro.ticks[l], now);
        }
        collect(static_cast<int>(i));
    }
}

void Internet::link(int r, uint32_t net, bool up)
{
    Router &ro = routers_.at(static_cast<size_t>(r));
    RipLink l = ro.link_of.at(net);
    ro.up[l] = up;
    ro.core->on_link(l, up, net, ro.ticks[l], now);
    collect(r);
}

void Internet::collect(int r)
{
    Router &ro = routers_[static_cast<size_t>(r)];
    note_changes(r);
    for (RipSend &s : ro.core->take_output()) {
        auto n = ro.net_of.find(s.link);
        if (n == ro.net_of.end() || !ro.up[s.link])
            continue;  // a local answer, or a link that is down
        size_t first = 0;
        for (std::vector<uint8_t> &body : encode_rip(s.op, s.entries)) {
            Packet p;
            p.at = now;
            p.from = r;
            p.net = n->second;
            p.dst = s.dst;
            p.op = s.op;
            size_t count = (body.size() - 2) / kRipEntryLen;
            p.entries.assign(s.entries.begin() + static_cast<long>(first),
                             s.entries.begin() + static_cast<long>(first + count));
            first += count;
            packets[s.op == kRipRequest ? 1 : 2]++;
            entries_sent += p.entries.size();
            if (drop && drop(p))
                continue;
            for (int to : members_[p.net]) {
                if (to == r || (s.dst != kBroadcastNode && s.dst != node(to)))
                    continue;
                Router &dest = routers_[static_cast<size_t>(to)];
                InFlight f{to, dest.link_of.at(p.net), node(r), s.dst_socket, body};
                flight_.emplace(std::make_pair(now + delay_ms, order_++), std::move(f));
            }
            if (record)
                sent.push_back(std::move(p));
        }
    }
}

void Internet::deliver(const InFlight &f)
{
    Router &ro = routers_[static_cast<size_t>(f.to)];
    if (!ro.up[f.link])
        return;
    RipPacket pk;
    std::string why;
    if (!decode_rip(f.body.data(), f.body.size(), pk, why))
        return;
    if (pk.op == kRipResponse)
        ro.core->on_response(f.link, f.from, pk.entries, now);
    else
        ro.core->on_request(f.link, f.from, kSocketRip, pk.entries, now);
    collect(f.to);
}

void Internet::run_until(uint64_t t)
{
    for (;;) {
        uint64_t next = flight_.empty() ? UINT64_MAX : flight_.begin()->first.first;
        int who = -1;
        for (size_t i = 0; i < routers_.size(); i++) {
            uint64_t d = routers_[i].core->next_deadline();
            if (d < next) {
                next = d;
                who = static_cast<int>(i);
            }
        }
        if (next > t)
            break;
        now = std::max(now, next);
        if (who < 0) {
            InFlight f = std::move(flight_.begin()->second);
            flight_.erase(flight_.begin());
            deliver(f);
        } else {
            routers_[static_cast<size_t>(who)].core->on_timer(now);
            collect(who);
        }
    }
    now = std::max(now, t);
}

bool Internet::run_until(const std::function<bool()> &done, uint64_t limit_ms)
{
    const uint64_t limit = now + limit_ms;
    while (!done()) {
        uint64_t next = flight_.empty() ? UINT64_MAX : flight_.begin()->first.first;
        for (auto &ro : routers_)
            next = std::min(next, ro.core->next_deadline());
        if (next > limit) {
            now = limit;
            return done();
        }
        run_until(std::max(next, now));
    }
    return true;
}

uint16_t Internet::hops(int r, uint32_t net) const
{
    const RipRoute *route = routers_.at(static_cast<size_t>(r)).core->lookup(net);
    return route != nullptr ? route->hops : kRipUnreachable;
}

} // namespace fakerip
