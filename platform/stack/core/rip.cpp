#include "rip.h"

#include <algorithm>

namespace ipxcore {

namespace {

// Fewer ticks first, then fewer hops.
bool better(uint16_t ticks, uint16_t hops, uint16_t than_ticks, uint16_t than_hops)
{
    return ticks < than_ticks || (ticks == than_ticks && hops < than_hops);
}

uint16_t add_ticks(uint16_t a, uint16_t b)
{
    uint32_t s = uint32_t(a) + b;
    return s > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(s);
}

} // namespace

RipCore::RipCore(const RipConfig &cfg) : cfg_(cfg), rng_(cfg.seed * 0x9E3779B97F4A7C15ull + 1)
{
    if (cfg_.timers.garbage_ms < cfg_.timers.expire_ms)
        cfg_.timers.garbage_ms = cfg_.timers.expire_ms;
    if (cfg_.timers.update_ms == 0)
        cfg_.timers.update_ms = 1;
    if (cfg_.timers.jitter_ms >= cfg_.timers.update_ms)
        cfg_.timers.jitter_ms = cfg_.timers.update_ms - 1;
}

void RipCore::set_deadline(RipRoute &r, uint64_t at)
{
    if (r.deadline != UINT64_MAX)
        timers_.erase({r.deadline, r.net});
    r.deadline = at;
    if (at != UINT64_MAX)
        timers_.insert({at, r.net});
}

void RipCore::changed(RipRoute &r, bool urgent)
{
    r.seq = ++seq_;
    if (!cfg_.router)
        return;
    for (auto &[id, ls] : links_)
        if (ls.up) {
            ls.trigger_pending = true;
            ls.urgent = ls.urgent || urgent;
        }
}

void RipCore::make_unreachable(RipRoute &r, uint64_t now)
{
    r.hops = kRipUnreachable;
    set_deadline(r, now + (cfg_.timers.garbage_ms - cfg_.timers.expire_ms));
    changed(r, true);
    if (cfg_.router)
        lost_.insert(r.net);
}

void RipCore::broadcast(RipLink link, uint16_t op, std::vector<RipEntry> entries)
{
    RipSend s;
    s.link = link;
    s.dst = kBroadcastNode;
    s.op = op;
    s.entries = std::move(entries);
    out_.push_back(std::move(s));
}

std::vector<RipEntry> RipCore::advert(RipLink link, uint64_t after_seq) const
{
    std::vector<RipEntry> out;
    for (const auto &[net, r] : routes_) {
        if (r.seq <= after_seq || (cfg_.split_horizon && r.link == link))
            continue;
        out.push_back({net, r.hops, r.ticks});
    }
    return out;
}

void RipCore::regular(RipLink link, LinkState &ls, uint64_t)
{
    std::vector<RipEntry> all = advert(link, 0);
    ls.sent_seq = seq_;
    if (!all.empty())
        broadcast(link, kRipResponse, std::move(all));
}

void RipCore::flush(uint64_t now)
{
    if (!cfg_.router)
        return;
    if (!lost_.empty()) {
        // Is there another way? Neighbours answer at once.
        std::vector<RipEntry> ask;
        for (uint32_t net : lost_)
            if (lookup(net) == nullptr)
                ask.push_back({net, 0xFFFF, 0xFFFF});
        lost_.clear();
        if (!ask.empty())
            for (const auto &[id, ls] : links_)
                if (ls.up)
                    broadcast(id, kRipRequest, ask);
    }
    for (auto &[id, ls] : links_) {
        if (!ls.up || !ls.trigger_pending || (now < ls.trigger_ok && !ls.urgent))
            continue;
        ls.trigger_pending = false;
        ls.urgent = false;
        std::vector<RipEntry> news = advert(id, ls.sent_seq);
        ls.sent_seq = seq_;
        if (news.empty())
            continue;
        broadcast(id, kRipResponse, std::move(news));
        ls.trigger_ok = now + cfg_.timers.gap_ms;
    }
}

void RipCore::on_link(RipLink link, bool up, uint32_t net, uint16_t ticks, uint64_t now)
{
    LinkState &ls = links_[link];
    if (ls.up && (!up || ls.net != net)) {
        // Down: its network, and every route through it, are unreachable.
        ls.up = false;
        ls.next_regular = UINT64_MAX;
        ls.trigger_pending = false;
        for (auto &[n, r] : routes_)
            if (r.link == link && r.reachable())
                make_unreachable(r, now);
    }
    if (up && !ls.up && routable_net(net)) {
        ls.up = true;
        ls.net = net;
        ls.ticks = ticks == 0 ? 1 : ticks;
        ls.trigger_ok = now;
        ls.trigger_pending = false;
        ls.urgent = false;
        ls.sent_seq = seq_;
        RipRoute &r = routes_[net];
        r.net = net;
        r.hops = 0;
        r.ticks = ls.ticks;
        r.link = link;
        r.next_hop = Node{};
        r.direct = true;
        r.heard = now;
        set_deadline(r, UINT64_MAX);
        changed(r);
        // Ask what is out there; a router tells the link all it knows.
        broadcast(link, kRipRequest, {{kRipAllNetworks, 0xFFFF, 0xFFFF}});
        if (cfg_.router) {
            regular(link, ls, now);
            uint64_t jitter = 0;
            if (cfg_.timers.jitter_ms > 0) {
                rng_ ^= rng_ << 13;
                rng_ ^= rng_ >> 7;
                rng_ ^= rng_ << 17;
                jitter = rng_ % (cfg_.timers.jitter_ms + 1);
            }
            ls.next_regular = now + cfg_.timers.update_ms - jitter;
        }
        check_resolved(net);
    }
    flush(now);
}

void RipCore::learn(RipLink link, const LinkState &ls, const Node &from, const RipEntry &e,
                    uint64_t now)
{
    const uint16_t hops = e.hops >= kRipUnreachable - 1 ? kRipUnreachable : e.hops + 1;
    const uint16_t ticks = add_ticks(e.ticks, ls.ticks);
    const uint64_t expire = cfg_.timers.expire_ms;
    auto it = routes_.find(e.net);
    if (it == routes_.end()) {
        if (hops >= kRipUnreachable)
            return;
        if (routes_.size() >= cfg_.max_routes) {
            counters_.full_entries++;
            return;
        }
        RipRoute &r = routes_[e.net];
        r.net = e.net;
        r.hops = hops;
        r.ticks = ticks;
        r.link = link;
        r.next_hop = from;
        r.heard = now;
        set_deadline(r, now + expire);
        changed(r);
        check_resolved(e.net);
        return;
    }
    RipRoute &r = it->second;
    if (r.direct && r.reachable()) {
        counters_.own_entries++;
        return;
    }
    if (!r.direct && r.link == link && r.next_hop == from) {
        // The router we use: its word goes, better or worse.
        if (hops >= kRipUnreachable) {
            if (r.reachable())
                make_unreachable(r, now);
            return;
        }
        bool differs = r.hops != hops || r.ticks != ticks;
        r.hops = hops;
        r.ticks = ticks;
        r.heard = now;
        set_deadline(r, now + expire);
        if (differs)
            changed(r);
        check_resolved(e.net);
        return;
    }
    if (hops >= kRipUnreachable)
        return;
    bool take = !r.reachable() || better(ticks, hops, r.ticks, r.hops) ||
                (!better(r.ticks, r.hops, ticks, hops) && now - r.heard >= expire / 2);
    if (!take)
        return;
    r.hops = hops;
    r.ticks = ticks;
    r.link = link;
    r.next_hop = from;
    r.direct = false;
    r.heard = now;
    set_deadline(r, now + expire);
    changed(r);
    check_resolved(e.net);
}

void RipCore::on_response(RipLink link, const Node &from, const std::vector<RipEntry> &entries,
                          uint64_t now)
{
    counters_.responses++;
    auto l = links_.find(link);
    if (l == links_.end() || !l->second.up) {
        counters_.not_up++;
        return;
    }
    for (const RipEntry &e : entries)
        if (routable_net(e.net) && e.hops <= kRipUnreachable)
            learn(link, l->second, from, e, now);
    flush(now);
}

void RipCore::on_request(RipLink link, const Node &from, uint16_t from_socket,
                         const std::vector<RipEntry> &entries, uint64_t now)
{
    counters_.requests++;
    if (!cfg_.router)
        return;
    const bool local = link == kRipLocal;
    if (!local) {
        auto l = links_.find(link);
        if (l == links_.end() || !l->second.up) {
            counters_.not_up++;
            return;
        }
    }
    std::vector<RipEntry> answer;
    if (entries.size() == 1 && entries[0].net == kRipAllNetworks) {
        if (local)
            for (const auto &[net, r] : routes_)
                answer.push_back({net, r.hops, r.ticks});
        else
            answer = advert(link, 0);
    } else {
        for (const RipEntry &e : entries) {
            auto it = routes_.find(e.net);
            if (it == routes_.end() || !it->second.reachable() ||
                (!local && cfg_.split_horizon && it->second.link == link))
                continue;
            answer.push_back({e.net, it->second.hops, it->second.ticks});
        }
    }
    flush(now);
    if (answer.empty())
        return;
    counters_.answers++;
    RipSend s;
    s.link = link;
    s.dst = from;
    s.dst_socket = from_socket;
    s.entries = std::move(answer);
    out_.push_back(std::move(s));
}

void RipCore::ask(uint32_t net)
{
    for (const auto &[id, ls] : links_)
        if (ls.up)
            broadcast(id, kRipRequest, {{net, 0xFFFF, 0xFFFF}});
}

void RipCore::want(uint32_t net, uint64_t now)
{
    if (lookup(net) != nullptr || lookups_.count(net) != 0 || !routable_net(net))
        return;
    counters_.lookups++;
    bool any = std::any_of(links_.begin(), links_.end(), [](const auto &l) { return l.second.up; });
    if (!any) {
        counters_.lookups_failed++;
        failed_.push_back(net);
        return;
    }
    lookups_[net] = {now + cfg_.timers.ask_ms, now + cfg_.timers.lookup_ms};
    ask(net);
}

void RipCore::check_resolved(uint32_t net)
{
    auto it = lookups_.find(net);
    if (it != lookups_.end() && lookup(net) != nullptr) {
        lookups_.erase(it);
        resolved_.push_back(net);
    }
}

const RipRoute *RipCore::lookup(uint32_t net) const
{
    auto it = routes_.find(net);
    return it != routes_.end() && it->second.reachable() ? &it->second : nullptr;
}

uint64_t RipCore::next_deadline() const
{
    uint64_t d = timers_.empty() ? UINT64_MAX : timers_.begin()->first;
    if (cfg_.router)
        for (const auto &[id, ls] : links_) {
            if (!ls.up)
                continue;
            d = std::min(d, ls.next_regular);
            if (ls.trigger_pending)
                d = std::min(d, ls.urgent ? 0 : ls.trigger_ok);
        }
    for (const auto &[net, l] : lookups_)
        d = std::min(d, std::min(l.next_ask, l.give_up));
    return d;
}

void RipCore::on_timer(uint64_t now)
{
    while (!timers_.empty() && timers_.begin()->first <= now) {
        uint32_t net = timers_.begin()->second;
        RipRoute &r = routes_.at(net);
        if (r.reachable()) {
            // Not heard of for the expiry time: unreachable, and said so.
            r.hops = kRipUnreachable;
            set_deadline(r, std::max(r.heard + cfg_.timers.garbage_ms, now));
            changed(r, true);
            if (cfg_.router)
                lost_.insert(net);
        } else {
            set_deadline(r, UINT64_MAX);
            routes_.erase(net);
        }
    }
    if (cfg_.router)
        for (auto &[id, ls] : links_) {
            if (!ls.up || now < ls.next_regular)
                continue;
            regular(id, ls, now);
            ls.next_regular += cfg_.timers.update_ms;
            // After a stall, start the rhythm afresh rather than catch up.
            if (ls.next_regular <= now)
                ls.next_regular = now + cfg_.timers.update_ms;
        }
    for (auto it = lookups_.begin(); it != lookups_.end();) {
        if (now >= it->second.give_up) {
            counters_.lookups_failed++;
            failed_.push_back(it->first);
            it = lookups_.erase(it);
            continue;
        }
        if (now >= it->second.next_ask) {
            ask(it->first);
            it->second.next_ask = now + cfg_.timers.ask_ms;
        }
        ++it;
    }
    flush(now);
}

std::vector<RipSend> RipCore::take_output()
{
    std::vector<RipSend> out;
    out.swap(out_);
    return out;
}

std::vector<uint32_t> RipCore::take_resolved()
{
    std::vector<uint32_t> out;
    out.swap(resolved_);
    return out;
}

std::vector<uint32_t> RipCore::take_failed()
{
    std::vector<uint32_t> out;
    out.swap(failed_);
    return out;
}

} // namespace ipxcore
