#include "router.h"

#include <cstdio>
#include <sstream>

namespace ipxstackd {

using namespace ipxcore;

namespace {

std::string hex(uint64_t v, int width)
{
    char b[24];
    std::snprintf(b, sizeof b, "%0*llx", width, static_cast<unsigned long long>(v));
    return b;
}

std::string node_text(const Node &n)
{
    std::string s;
    for (uint8_t b : n)
        s += hex(b, 2);
    return s;
}

void put32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

} // namespace

bool parse_rip_timers(const std::string &text, RipTimers &out, std::string &error)
{
    RipTimers t = out;
    size_t pos = 0;
    for (;;) {
        size_t end = text.find(',', pos);
        std::string item = text.substr(pos, end == std::string::npos ? end : end - pos);
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq), val = eq == std::string::npos ? "" : item.substr(eq + 1);
        uint64_t v = 0;
        bool ok = !val.empty() && val.size() <= 7;
        for (char c : val)
            ok = ok && c >= '0' && c <= '9';
        if (ok)
            v = std::stoull(val);
        if (!ok || v == 0 || v > 3600000) {
            error = "bad value in \"" + item + "\" (1 to 3600000 ms)";
            return false;
        }
        if (key == "update") t.update_ms = v;
        else if (key == "expire") t.expire_ms = v;
        else if (key == "garbage") t.garbage_ms = v;
        else if (key == "gap") t.gap_ms = v;
        else if (key == "ask") t.ask_ms = v;
        else if (key == "lookup") t.lookup_ms = v;
        else {
            error = "unknown timer \"" + key + "\" (update, expire, garbage, gap, ask, lookup)";
            return false;
        }
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    if (t.garbage_ms < t.expire_ms) {
        error = "the garbage time is below the expiry time";
        return false;
    }
    out = t;
    return true;
}

Router::Router(const RouterConfig &cfg, const Links &links, Log log)
    : cfg_(cfg), links_(links), log_(std::move(log))
{
}

Link *Router::up_link(RipLink id) const
{
    if (id == 0 || id >= links_.size() || links_[id]->state() != LinkState::Up)
        return nullptr;
    return links_[id].get();
}

void Router::sync_links(uint64_t now)
{
    if (!made_) {
        // The links are all added before the loop starts; the role follows
        // from how many there are.
        RipConfig rc;
        rc.timers = cfg_.timers;
        rc.router = forwarding();
        rc.seed = cfg_.seed;
        core_ = std::make_unique<RipCore>(rc);
        made_ = true;
    }
    state_.resize(links_.size(), -1);
    for (size_t i = 1; i < links_.size(); i++) {
        const Link &l = *links_[i];
        int up = l.state() == LinkState::Up ? 1 : 0;
        if (up == state_[i])
            continue;
        if (state_[i] >= 0 || !up)
            log_("link " + l.describe() + " network " + hex(l.net(), 8) + (up ? " up" : " down"));
        state_[i] = up;
        core_->on_link(static_cast<RipLink>(i), up != 0, l.net(), l.ticks(), now);
    }
}

void Router::run(uint64_t now)
{
    if (!active())
        return;
    sync_links(now);
    if (core_->next_deadline() <= now)
        core_->on_timer(now);
    send_output(now);
}

uint64_t Router::next_deadline() const
{
    if (!active())
        return UINT64_MAX;
    if (!made_ || !released_.empty() || !failed_.empty())
        return 0;
    uint64_t d = core_->next_deadline();
    for (size_t i = 1; i < links_.size() && i < state_.size(); i++)
        if ((links_[i]->state() == LinkState::Up ? 1 : 0) != state_[i])
            return 0;
    return d;
}

// What the core says goes out from socket 0x0453: on a link, or round the
// loopback to the program of this host that asked.
void Router::send_output(uint64_t now)
{
    for (RipSend &s : core_->take_output()) {
        Link *out = s.link == kRipLocal ? links_[0].get() : up_link(s.link);
        if (out == nullptr)
            continue;
        IpxHeader h;
        h.type = kIpxTypeRip;
        if (s.link == kRipLocal) {
            const Link *home = nullptr;
            for (size_t i = 1; i < links_.size() && home == nullptr; i++)
                if (links_[i]->net() == local_net_)
                    home = links_[i].get();
            if (home == nullptr)
                continue;
            h.src = {local_net_, home->node(), kSocketRip};
            h.dst = {local_net_, s.dst, s.dst_socket};
        } else {
            h.src = {out->net(), out->node(), kSocketRip};
            h.dst = {out->net(), s.dst, s.dst_socket};
        }
        for (const std::vector<uint8_t> &body : encode_rip(s.op, s.entries)) {
            counters_.rip_out++;
            out->send(encode_ipx(h, body.data(), body.size(), false), s.dst, now);
        }
    }
    settle_lookups();
}

void Router::settle_lookups()
{
    for (uint32_t net : core_->take_resolved()) {
        auto it = held_.find(net);
        if (it == held_.end())
            continue;
        held_total_ -= it->second.size();
        for (auto &p : it->second)
            released_.push_back(std::move(p));
        held_.erase(it);
    }
    for (uint32_t net : core_->take_failed()) {
        auto it = held_.find(net);
        if (it == held_.end())
            continue;
        held_total_ -= it->second.size();
        for (auto &p : it->second)
            failed_.push_back(std::move(p));
        held_.erase(it);
    }
}

void Router::on_rip(const IpxView &v, Link &from, uint64_t now)
{
    if (!active())
        return;
    sync_links(now);
    counters_.rip_in++;
    RipPacket pk;
    std::string why;
    if (!decode_rip(v.data, v.data_len, pk, why)) {
        counters_.rip_malformed++;
        return;
    }
    const IpxAddress &src = v.header.src;
    if (&from == links_[0].get()) {
        // A program of this host: it may ask, never teach.
        if (pk.op != kRipRequest) {
            counters_.rip_foreign++;
            return;
        }
        local_net_ = src.net;
        core_->on_request(kRipLocal, src.node, src.socket, pk.entries, now);
    } else {
        RipLink id = 0;
        for (size_t i = 1; i < links_.size(); i++)
            if (links_[i].get() == &from)
                id = static_cast<RipLink>(i);
        // RIP speaks between neighbours: only from the link's own network.
        if (id == 0 || src.net != from.net()) {
            counters_.rip_foreign++;
            return;
        }
        if (pk.op == kRipResponse)
            core_->on_response(id, src.node, pk.entries, now);
        else
            core_->on_request(id, src.node, src.socket, pk.entries, now);
    }
    send_output(now);
}

bool Router::lookup(uint32_t net, Link *&link, Node &next_hop) const
{
    if (!made_)
        return false;
    const RipRoute *r = core_->lookup(net);
    if (r == nullptr || r->direct)
        return false;
    Link *l = up_link(r->link);
    if (l == nullptr)
        return false;
    link = l;
    next_hop = r->next_hop;
    return true;
}

bool Router::hold(std::vector<uint8_t> &pkt, uint32_t net, uint64_t now)
{
    if (!active() || !routable_net(net))
        return false;
    sync_links(now);
    counters_.held++;
    if (held_total_ >= kHeldTotal || held_[net].size() >= kHeldPerNet) {
        // Room for the newest: the oldest of its network (or of the
        // fullest) is given up.
        auto victim = held_.find(net);
        if (victim == held_.end() || victim->second.empty()) {
            victim = held_.begin();
            for (auto it = held_.begin(); it != held_.end(); ++it)
                if (it->second.size() > victim->second.size())
                    victim = it;
        }
        counters_.held_overflow++;
        failed_.push_back(std::move(victim->second.front()));
        victim->second.pop_front();
        held_total_--;
        if (victim->second.empty() && victim->first != net)
            held_.erase(victim);
    }
    held_[net].push_back(std::move(pkt));
    held_total_++;
    core_->want(net, now);
    send_output(now);
    return true;
}

std::vector<std::vector<uint8_t>> Router::take_released()
{
    std::vector<std::vector<uint8_t>> out;
    out.swap(released_);
    return out;
}

std::vector<std::vector<uint8_t>> Router::take_failed()
{
    std::vector<std::vector<uint8_t>> out;
    out.swap(failed_);
    return out;
}

void Router::forward(std::vector<uint8_t> pkt, const IpxHeader &h, Link &from, uint64_t now)
{
    if (!forwarding() || h.dst.is_broadcast_node() || !routable_net(h.dst.net)) {
        // Broadcasts stay on their network; a host forwards nothing.
        counters_.not_forwarded++;
        return;
    }
    if (pkt[4] + 1 >= kRipUnreachable) {
        counters_.hop_limit++;
        return;
    }
    sync_links(now);
    Link *out = nullptr;
    Node hop = h.dst.node;
    for (size_t i = 1; i < links_.size() && out == nullptr; i++)
        if (links_[i]->net() == h.dst.net && links_[i]->state() == LinkState::Up)
            out = links_[i].get();
    if (out == nullptr && !lookup(h.dst.net, out, hop)) {
        counters_.no_route++;
        return;
    }
    pkt[4] = static_cast<uint8_t>(pkt[4] + 1);
    bool fix_src = pkt[18] == 0 && pkt[19] == 0 && pkt[20] == 0 && pkt[21] == 0;
    if (fix_src)
        put32(&pkt[18], from.net());  // answers must find the way back
    if (fix_src && !(pkt[0] == 0xFF && pkt[1] == 0xFF)) {
        // The checksum covers the source network (not the hop count).
        pkt[0] = pkt[1] = 0;
        uint16_t sum = ipx_checksum(pkt.data(), pkt.size());
        pkt[0] = static_cast<uint8_t>(sum >> 8);
        pkt[1] = static_cast<uint8_t>(sum);
    }
    counters_.forwarded++;
    out->send(std::move(pkt), hop, now);
}

std::string Router::status(uint64_t now) const
{
    if (!active())
        return "";
    std::ostringstream o;
    const RouterCounters &c = counters_;
    o << "routing: " << (forwarding() ? "router" : cfg_.forward ? "host (one link)" : "host (forwarding off)")
      << "; rip in " << c.rip_in << " out " << c.rip_out << " malformed " << c.rip_malformed
      << " foreign " << c.rip_foreign;
    if (made_) {
        const RipCounters &r = core_->counters();
        o << " own-networks " << r.own_entries << " table-full " << r.full_entries;
        o << "; lookups " << r.lookups << " failed " << r.lookups_failed;
    }
    o << "; held " << c.held << " waiting " << held_total_ << " overflow " << c.held_overflow
      << "; forwarded " << c.forwarded << " dropped hop-limit " << c.hop_limit << " no-route "
      << c.no_route << " not-forwarded " << c.not_forwarded << "\n";
    if (!made_)
        return o.str();
    o << "routes: " << core_->routes().size() << "\n";
    o << "  network   hops ticks  next hop      age  link\n";
    for (const auto &[net, r] : core_->routes()) {
        char row[64];
        std::snprintf(row, sizeof row, "  %08x  %4u %5u  %-12s %5llus  ", net, r.hops, r.ticks,
                      r.direct ? "-" : node_text(r.next_hop).c_str(),
                      static_cast<unsigned long long>((now - r.heard) / 1000));
        o << row
          << (r.link < links_.size() ? links_[r.link]->describe() : std::string("?"))
          << (r.hops >= kRipUnreachable ? " (unreachable)" : "") << "\n";
    }
    return o.str();
}

} // namespace ipxstackd
