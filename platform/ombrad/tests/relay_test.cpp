// Services across routers: one router's engine, packet by packet (what
// each link hears, split horizon, withdrawals, queries, links that go
// away, a stack that stops routing), then engines joined in scripted
// internetworks (fakesap): a chain to the 15-hop limit, and a ring whose
// count to infinity ends at 16.
#include "engine.h"
#include "fakesap.h"
#include "rip_wire.h"

#include <gtest/gtest.h>

#include <iostream>

using namespace ombrad;
using namespace std::chrono_literals;

namespace {

const sap::Node kMe{0, 0, 10, 0, 0, 1};
const Local kRouter{0xA, kMe};
const sap::Address kOnA{0xA, {0, 0, 10, 0, 0, 2}, sap::kSapSocket};  // a neighbour on A
const sap::Address kOnB{0xB, {0, 0, 10, 0, 0, 3}, sap::kSapSocket};  // one on B
const Time t0{};

struct Heard {
    uint32_t net;  // the link it was sent on
    std::vector<sap::Entry> entries;
};

class RouterEngine : public ::testing::Test {
protected:
    Engine engine{kRouter, t0};
    std::vector<Send> out;

    // The stack answers with routes (network, hops).
    void routes(const std::vector<std::pair<uint32_t, uint16_t>> &nets, Time at = t0)
    {
        std::vector<ipxcore::RipEntry> e;
        for (auto [n, h] : nets)
            e.push_back({n, h, 1});
        sap::Bytes b = ipxcore::encode_rip(ipxcore::kRipResponse, e)[0];
        engine.on_sap(b.data(), b.size(), {0xA, kMe, kRipSocket}, at, out);
    }
    void response(const std::vector<sap::Entry> &e, const sap::Address &from, Time at = t0)
    {
        sap::Bytes b = sap::encode_responses(sap::kGeneralResponse, e)[0];
        engine.on_sap(b.data(), b.size(), from, at, out);
    }
    // The broadcasts in `out`, by link; emptied.
    std::vector<Heard> take()
    {
        std::vector<Heard> h;
        for (const Send &s : out) {
            if (s.to.node != sap::kBroadcastNode)
                continue;
            EXPECT_EQ(s.to.socket, sap::kSapSocket);
            sap::Packet pk;
            std::string why;
            EXPECT_TRUE(sap::decode_packet(s.data.data(), s.data.size(), pk, why)) << why;
            h.push_back({s.to.net, pk.entries});
        }
        out.clear();
        return h;
    }
    static sap::Entry svc(const std::string &name, uint32_t net, uint16_t hops, uint8_t node = 9)
    {
        return {0x247, name, {net, {0, 0, 10, 0, 0, node}, 0x8063}, hops};
    }
    static sap::Entry hops(sap::Entry e, uint16_t h)
    {
        e.hops = h;
        return e;
    }
};

TEST_F(RouterEngine, AsksItsStackAndRelaysBetweenItsLinks)
{
    // The question: a RIP request for every network to our own socket 0x0453.
    engine.ask_routes(t0, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to, (sap::Address{0xA, kMe, kRipSocket}));
    EXPECT_EQ(out[0].packet_type, kRipPacketType);
    EXPECT_EQ(out[0].data, ipxcore::encode_rip(ipxcore::kRipRequest, {{0xFFFFFFFF, 0xFFFF, 0xFFFF}})[0]);
    out.clear();
    EXPECT_FALSE(engine.relaying());
    routes({{0xA, 0}, {0xB, 0}, {0xC, 2}});
    EXPECT_TRUE(engine.relaying());
    EXPECT_EQ(engine.links(), (std::set<uint32_t>{0xA, 0xB}));
    take();

    // Our own service: 0 hops on its network, 1 beyond us.
    sap::Request r;
    r.code = sap::kCodeBind;
    r.type = 0x247;
    r.socket = 0x8063;
    r.name = "HOME";
    r.node = kMe;
    sap::Bytes req = sap::encode_request(r);
    engine.on_request(req.data(), req.size(), {0xA, kMe, 0x1700}, t0, out);
    sap::Entry home{0x247, "HOME", {0xA, kMe, 0x8063}, 0};
    auto told = take();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].net, 0xAu);
    EXPECT_EQ(told[0].entries, std::vector<sap::Entry>{home});
    EXPECT_EQ(told[1].net, 0xBu);
    EXPECT_EQ(told[1].entries, std::vector<sap::Entry>{hops(home, 1)});

    // Learned on one link, told at once on the other, one hop further.
    sap::Entry fs_a = svc("FS_A", 0xA, 0, 2), fs_c = svc("FS_C", 0xC, 1, 3);
    response({fs_a}, kOnA);
    response({fs_c}, kOnB);
    response({svc("FAR", 0x77, 0)}, {0x77, {0, 0, 10, 0, 0, 7}, sap::kSapSocket});  // no neighbour
    told = take();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].net, 0xBu);
    EXPECT_EQ(told[0].entries, std::vector<sap::Entry>{hops(fs_a, 1)});
    EXPECT_EQ(told[1].net, 0xAu);
    EXPECT_EQ(told[1].entries, std::vector<sap::Entry>{hops(fs_c, 2)});
    EXPECT_EQ(engine.table().learned_count(), 2u);

    // Heard again unchanged: nothing to tell. 15 hops away through B: kept,
    // but never told (16 beyond us).
    response({fs_a}, kOnA, t0 + 10s);
    response({svc("EDGE", 0xC, 15, 4)}, kOnB, t0 + 10s);
    told = take();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].entries, std::vector<sap::Entry>{hops(svc("EDGE", 0xC, 15, 4), 16)});

    // Every 60 s, each link hears our services and what came through the
    // other link: never what came through itself.
    engine.on_timer(t0 + 60s, out);
    told = take();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].net, 0xAu);
    EXPECT_EQ(told[0].entries, (std::vector<sap::Entry>{home, hops(fs_c, 2)}));
    EXPECT_EQ(told[1].net, 0xBu);
    EXPECT_EQ(told[1].entries, (std::vector<sap::Entry>{hops(home, 1), hops(fs_a, 1)}));

    // A neighbour's query: what its link hears. The nearest of a type: the
    // fewest hops.
    sap::Bytes q = sap::encode_query(sap::kGeneralQuery, sap::kAllTypes);
    engine.on_sap(q.data(), q.size(), {0xB, kOnB.node, 0x4005}, t0 + 61s, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to, (sap::Address{0xB, kOnB.node, 0x4005}));
    sap::Packet pk;
    std::string why;
    ASSERT_TRUE(sap::decode_packet(out[0].data.data(), out[0].data.size(), pk, why));
    EXPECT_EQ(pk.entries, (std::vector<sap::Entry>{hops(home, 1), hops(fs_a, 1)}));
    out.clear();
    sap::Bytes nq = sap::encode_query(sap::kNearestQuery, 0x247);
    response({svc("FS_A", 0xA, 0, 2), svc("NEAR", 0xB, 0, 5)}, kOnB, t0 + 62s);
    out.clear();
    engine.on_sap(nq.data(), nq.size(), {0xA, kOnA.node, 0x4005}, t0 + 62s, out);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_TRUE(sap::decode_packet(out[0].data.data(), out[0].data.size(), pk, why));
    EXPECT_EQ(pk.op, sap::kNearestResponse);
    EXPECT_EQ(pk.entries, std::vector<sap::Entry>{home});
    out.clear();

    // Withdrawn on A: B hears at once.
    response({hops(fs_a, 16)}, kOnA, t0 + 63s);
    told = take();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].net, 0xBu);
    EXPECT_EQ(told[0].entries, std::vector<sap::Entry>{hops(fs_a, 16)});

    // Link B goes away (the stack says 16): what came through it is
    // withdrawn on A at once, and so is what lies on C, now unreachable.
    engine.ask_routes(t0 + 64s, out);
    out.clear();
    routes({{0xA, 0}, {0xB, 16}, {0xC, 16}}, t0 + 64s);
    EXPECT_EQ(engine.links(), std::set<uint32_t>{0xA});
    told = take();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].net, 0xAu);
    EXPECT_EQ(told[0].entries.size(), 3u) << "FS_C, EDGE and NEAR";
    for (const sap::Entry &e : told[0].entries)
        EXPECT_EQ(e.hops, 16);
    EXPECT_EQ(engine.table().learned_count(), 0u);

    // The stack stops answering: a host's behaviour again.
    engine.ask_routes(t0 + 66s, out);  // closes the round that heard
    engine.ask_routes(t0 + 68s, out);  // closes a round without an answer
    out.clear();
    EXPECT_FALSE(engine.relaying());
    engine.on_timer(t0 + 120s, out);
    told = take();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].net, 0xAu);
    EXPECT_EQ(told[0].entries, std::vector<sap::Entry>{home});
}

// Networks N+0..N+16 in a row joined by routers 1..16 (router i on N+i-1
// and N+i); a service on N+0; hosts on N+15 and N+16.
TEST(FakeSap, ServicesCrossAChainTo15HopsAndWithdrawalsAsFast)
{
    constexpr uint32_t N = 0x100;
    fakesap::Internet net;
    int server = net.host(N);
    std::vector<int> routers;
    for (uint32_t i = 1; i <= 16; i++)
        routers.push_back(net.router({N + i - 1, N + i}));
    int h15 = net.host(N + 15), h16 = net.host(N + 16);
    net.advance(100);
    net.bind(server, "FAR", 0x8063);
    ASSERT_TRUE(net.run_until([&] { return net.hops(h15, "FAR") == 15; }, 10'000));
    EXPECT_LE(net.now, 200u) << "told at once, hop by hop";
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(net.hops(routers[static_cast<size_t>(i)], "FAR"), i) << "router " << i + 1;
    auto listed = net.listed(h15);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].hops, 15);
    // Past the limit: never heard, not even in a minute's broadcasts.
    net.advance(70'000);
    EXPECT_EQ(net.hops(h16, "FAR"), 16);
    EXPECT_TRUE(net.listed(h16).empty());

    const uint64_t gone = net.now;
    net.unbind(server, "FAR");
    ASSERT_TRUE(net.run_until([&] { return net.hops(h15, "FAR") == 16; }, 10'000));
    EXPECT_LE(net.now - gone, 20u) << "as fast as it came";

    // A router's link going down: what came through it goes within the
    // time the router takes to ask its stack (2 s).
    net.bind(server, "AGAIN", 0x8064);
    ASSERT_TRUE(net.run_until([&] { return net.hops(h15, "AGAIN") == 15; }, 10'000));
    const uint64_t down = net.now;
    net.link(routers[0], N, false);
    ASSERT_TRUE(net.run_until([&] { return net.hops(h15, "AGAIN") == 16; }, 10'000));
    EXPECT_LE(net.now - down, 2'100u);
}

// Routers 0-3 in a ring, a server on a stub network at router 0. Router 3
// misses router 0's word of the withdrawal: its stale entry goes round
// the ring, one hop more each time, until 16 ends it.
TEST(FakeSap, ARingsCountToInfinityEndsAt16)
{
    fakesap::Internet net;
    std::vector<int> r;
    r.push_back(net.router({0x10, 0x13, 0x20}));  // router 0 and its stub 0x20
    for (uint32_t i = 1; i < 4; i++)
        r.push_back(net.router({0x10 + i, 0x10 + (i + 3) % 4}));
    int server = net.host(0x20);
    net.advance(100);
    net.bind(server, "RING", 0x8063);
    ASSERT_TRUE(net.run_until(
        [&] {
            for (int x : r)
                if (net.hops(x, "RING") >= 16) return false;
            return true;
        },
        10'000));
    // Router 0 (on 0x10 and 0x13) tells router 3 over 0x13: lost once.
    bool lost = false;
    net.drop = [&](int from, uint32_t on, const sap::Bytes &b) {
        sap::Packet pk;
        std::string why;
        if (lost || from != r[0] || on != 0x13 || !sap::decode_packet(b.data(), b.size(), pk, why))
            return false;
        for (const sap::Entry &e : pk.entries)
            lost = lost || e.hops == 16;
        return lost;
    };
    const uint64_t gone = net.now;
    net.unbind(server, "RING");
    auto dead = [&] {
        for (int x : r)
            if (net.hops(x, "RING") < 16) return false;
        return true;
    };
    ASSERT_TRUE(net.run_until(dead, 120'000));
    std::cout << "[ fakesap ] ring counted to infinity in " << net.now - gone << " ms (fake time)\n";
    EXPECT_FALSE(net.run_until([&] { return !dead(); }, 200'000)) << "it stays gone";
}

} // namespace
