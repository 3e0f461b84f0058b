// RIP, stateful: one input is a series of RIP packets to one routing core
// (a router or a host, on three links), from neighbours or from a program
// of this host, links going down and up, lookups, and the passing of time.
// Packets are raw bytes through the decoder, or entries chosen from a small
// set of networks (our own among them) so that routes meet again.
//
// Checked: what decodes encodes back to the same bytes, and a refusal says
// why; every message the core sends is for a link that is up (or for the
// program that asked), encodes into packets that decode, and names only
// routable networks with at most 16 hops; a host sends only requests; split
// horizon (a response on a link names no reachable route learned on it);
// a reachable route goes through a link that is up, and a network of our
// own links is never learned from a neighbour; the table keeps its limit;
// a lookup ends once, resolved or failed; after on_timer nothing is due
// at once.
#include "fuzzinput.h"
#include "rip.h"

#include <algorithm>
#include <set>

using namespace ipxcore;

namespace {

constexpr int kLinks = 3;
constexpr uint32_t kOwn[kLinks] = {0x101, 0x102, 0x103};
constexpr size_t kMaxRoutes = 24;

uint32_t pick_net(fuzz::Input &in)
{
    uint8_t i = in.u8();
    if (i < 200)
        return 0x100 + i % 32;  // our own networks among them
    if (i < 230)
        return in.u32();
    static const uint32_t odd[] = {0, 0xFFFFFFFE, kRipAllNetworks};
    return odd[i % 3];
}

Node pick_node(fuzz::Input &in)
{
    uint8_t i = in.u8() % 4;
    if (i == 3)
        return kBroadcastNode;
    return Node{0, 0, 10, 0, 0, static_cast<uint8_t>(0x20 + i)};
}

std::vector<RipEntry> pick_entries(fuzz::Input &in)
{
    std::vector<RipEntry> e(in.range(0, 60));
    for (RipEntry &x : e) {
        x.net = pick_net(in);
        uint8_t h = in.u8();
        x.hops = h < 240 ? h % 18 : 0xFFFF;
        x.ticks = in.u8() < 200 ? in.range(0, 40) : in.u16();
    }
    return e;
}

struct Run {
    RipCore core;
    bool router;
    bool up[kLinks] = {};
    std::set<uint32_t> asked;  // lookups not yet ended
    uint64_t now = 1000;

    Run(const RipConfig &cfg) : core(cfg), router(cfg.router) {}

    bool own(uint32_t net) const
    {
        for (uint32_t n : kOwn)
            if (n == net)
                return true;
        return false;
    }

    void check_output()
    {
        for (const RipSend &s : core.take_output()) {
            if (s.link != kRipLocal) {
                FUZZ_CHECK(s.link < kLinks && up[s.link]);
                FUZZ_CHECK(router || s.op == kRipRequest);
            }
            FUZZ_CHECK(s.op == kRipRequest || s.op == kRipResponse);
            for (const RipEntry &e : s.entries) {
                FUZZ_CHECK(routable_net(e.net) || (s.op == kRipRequest && e.net == kRipAllNetworks));
                if (s.op == kRipResponse) {
                    FUZZ_CHECK(e.hops <= kRipUnreachable);
                    // Split horizon.
                    auto r = core.routes().find(e.net);
                    if (s.link != kRipLocal && e.hops < kRipUnreachable && r != core.routes().end() &&
                        r->second.reachable() && !r->second.direct)
                        FUZZ_CHECK(r->second.link != s.link);
                }
            }
            for (const auto &b : encode_rip(s.op, s.entries)) {
                RipPacket pk;
                std::string why;
                FUZZ_CHECK(decode_rip(b.data(), b.size(), pk, why));
                FUZZ_CHECK(pk.op == s.op);
            }
        }
        // Each lookup ends once: resolved or failed.
        for (uint32_t net : core.take_resolved())
            FUZZ_CHECK(asked.erase(net) == 1);
        for (uint32_t net : core.take_failed())
            FUZZ_CHECK(asked.erase(net) == 1);
        for (uint32_t net : asked)
            FUZZ_CHECK(core.asking(net));
    }

    void check_table()
    {
        for (const auto &[net, r] : core.routes()) {
            FUZZ_CHECK(r.net == net && routable_net(net));
            FUZZ_CHECK(r.hops <= kRipUnreachable);
            if (r.direct) {
                FUZZ_CHECK(r.link < kLinks && kOwn[r.link] == net);
            } else if (r.reachable()) {
                // Our own network only by another way while its link is down.
                for (int l = 0; l < kLinks; l++)
                    FUZZ_CHECK(kOwn[l] != net || !up[l]);
            }
            if (r.reachable())
                FUZZ_CHECK(r.link < kLinks && up[r.link]);
        }
        FUZZ_CHECK(core.routes().size() <= kMaxRoutes + kLinks);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);

    // Any input: the decoder alone.
    {
        RipPacket pk;
        std::string why;
        if (decode_rip(data, size, pk, why)) {
            auto again = encode_rip(pk.op, pk.entries);
            FUZZ_CHECK(again.size() == 1);
            FUZZ_CHECK(again[0] == std::vector<uint8_t>(data, data + size));
        } else {
            FUZZ_CHECK(!why.empty());
        }
    }

    RipConfig cfg;
    uint8_t setup = in.u8();
    cfg.router = (setup & 1) != 0;
    cfg.split_horizon = true;
    cfg.max_routes = kMaxRoutes;
    cfg.timers.jitter_ms = (setup & 2) ? 5000 : 0;
    cfg.seed = setup;
    Run run(cfg);
    for (int l = 0; l < kLinks; l++)
        if (in.flag() || l == 0) {
            run.core.on_link(static_cast<RipLink>(l), true, kOwn[l], static_cast<uint16_t>(in.range(1, 5)),
                             run.now);
            run.up[l] = true;
        }
    run.check_output();

    for (int step = 0; step < 400 && !in.empty(); step++) {
        uint8_t what = in.u8() % 7;
        RipLink link = static_cast<RipLink>(in.u8() % kLinks);
        switch (what) {
        case 0: {  // a packet as it arrives, through the decoder
            std::vector<uint8_t> raw = in.chunk();
            RipPacket pk;
            std::string why;
            if (!decode_rip(raw.data(), raw.size(), pk, why))
                break;
            Node from = pick_node(in);
            if (pk.op == kRipResponse) {
                run.core.on_response(link, from, pk.entries, run.now);
            } else {
                uint16_t socket = in.u16();
                run.core.on_request(link, from, socket, pk.entries, run.now);
            }
            break;
        }
        case 1:  // a response from a neighbour, entries chosen
        case 2: {
            std::vector<RipEntry> e = pick_entries(in);
            std::vector<RipEntry> ok;
            for (const RipEntry &x : e)
                if (routable_net(x.net) && x.hops <= kRipUnreachable)
                    ok.push_back(x);  // what the decoder lets through
            run.core.on_response(link, pick_node(in), ok, run.now);
            break;
        }
        case 3: {  // a request, from a neighbour or a program of this host
            std::vector<RipEntry> e;
            if (in.flag())
                e.push_back({kRipAllNetworks, 0xFFFF, 0xFFFF});
            else
                for (const RipEntry &x : pick_entries(in))
                    if (routable_net(x.net))
                        e.push_back(x);
            bool local = in.flag();
            Node from = pick_node(in);
            uint16_t socket = in.u16();
            run.core.on_request(local ? kRipLocal : link, from, socket, e, run.now);
            break;
        }
        case 4: {  // a link goes down, or up
            bool up = !run.up[link];
            run.core.on_link(link, up, kOwn[link], static_cast<uint16_t>(in.range(1, 5)), run.now);
            run.up[link] = up;
            break;
        }
        case 5: {  // this host needs a route
            uint32_t net = pick_net(in);
            bool known = run.core.lookup(net) != nullptr || run.core.asking(net);
            run.core.want(net, run.now);
            if (!known && routable_net(net))
                run.asked.insert(net);  // asked, or failed at once without a link
            break;
        }
        case 6: {  // time passes
            uint32_t ms = in.u8() < 128 ? in.range(0, 3000) : in.range(0, 300000);
            uint64_t until = run.now + ms;
            for (int i = 0; i < 10000; i++) {
                uint64_t d = run.core.next_deadline();
                if (d > until)
                    break;
                run.now = std::max(run.now, d);
                run.core.on_timer(run.now);
                FUZZ_CHECK(run.core.next_deadline() > run.now);
                run.check_output();
            }
            run.now = until;
            run.core.on_timer(run.now);
            break;
        }
        }
        run.check_output();
        run.check_table();
    }
    return 0;
}
