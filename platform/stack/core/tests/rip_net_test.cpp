// Routing cores joined in scripted internetworks (fakerip): a chain to the
// 15-hop limit, a break known everywhere at its exact time, split horizon
// against two routers bouncing a dead route, a ring that converges and
// whose count to infinity ends at 16. Times are fake; the tests print how
// long convergence took.
#include "fakerip.h"

#include <gtest/gtest.h>

#include <deque>
#include <iostream>

using namespace fakerip;

namespace {

constexpr uint32_t kNet = 0x100;

// Hops from every router to `net` by breadth-first search over the routers
// sharing networks: what the tables must settle on.
std::vector<uint16_t> distances(const std::vector<std::vector<uint32_t>> &nets_of, uint32_t net)
{
    std::vector<uint16_t> d(nets_of.size(), 16);
    std::deque<size_t> todo;
    for (size_t r = 0; r < nets_of.size(); r++)
        for (uint32_t n : nets_of[r])
            if (n == net) {
                d[r] = 0;
                todo.push_back(r);
            }
    while (!todo.empty()) {
        size_t r = todo.front();
        todo.pop_front();
        for (size_t o = 0; o < nets_of.size(); o++) {
            if (d[o] <= d[r] + 1)
                continue;
            for (uint32_t n : nets_of[r])
                for (uint32_t m : nets_of[o])
                    if (n == m && d[o] > d[r] + 1) {
                        d[o] = static_cast<uint16_t>(d[r] + 1);
                        todo.push_back(o);
                    }
        }
    }
    return d;
}

// Builds routers joined as `nets_of` says (router r on nets_of[r]).
void build(Internet &net, const std::vector<std::vector<uint32_t>> &nets_of)
{
    for (size_t r = 0; r < nets_of.size(); r++) {
        int id = net.add();
        for (uint32_t n : nets_of[r])
            net.join(id, n);
    }
}

bool converged(Internet &net, const std::vector<std::vector<uint32_t>> &nets_of)
{
    std::set<uint32_t> all;
    for (auto &ns : nets_of)
        all.insert(ns.begin(), ns.end());
    for (uint32_t n : all) {
        std::vector<uint16_t> want = distances(nets_of, n);
        for (size_t r = 0; r < nets_of.size(); r++)
            if (net.hops(static_cast<int>(r), n) != want[r])
                return false;
    }
    return true;
}

void report(const char *what, uint64_t ms)
{
    std::cout << "[ fakerip ] " << what << ": " << ms << " ms (fake time)\n";
    ::testing::Test::RecordProperty(what, std::to_string(ms));
}

// Routers 0..16 in a row: router i joins networks kNet+i and kNet+i+1.
std::vector<std::vector<uint32_t>> chain(int routers)
{
    std::vector<std::vector<uint32_t>> nets_of;
    for (int i = 0; i < routers; i++)
        nets_of.push_back({kNet + uint32_t(i), kNet + uint32_t(i) + 1});
    return nets_of;
}

TEST(FakeRip, AChainReaches15HopsAndNot16)
{
    Internet net;
    auto nets_of = chain(17);
    build(net, nets_of);
    net.start();
    ASSERT_TRUE(net.run_until([&] { return converged(net, nets_of); }, 120'000));
    report("chain of 17 routers converged after", net.now - kStart);
    for (int i = 0; i <= 15; i++)
        EXPECT_EQ(net.hops(i, kNet), i) << "router " << i;
    // 16 networks away: never in the table, not even as unreachable.
    EXPECT_EQ(net.core(16).routes().count(kNet), 0u);
    EXPECT_EQ(net.core(16).lookup(kNet + 17)->hops, 0);
    EXPECT_EQ(net.hops(0, kNet + 16), 15);
    EXPECT_EQ(net.hops(0, kNet + 17), 16);
    // Quiet once converged and the last changes told: only the periodic
    // updates from then on.
    net.advance(2'000);
    ASSERT_LT(net.now, kStart + 59'000);
    uint64_t responses = net.packets[2];
    net.run_until(kStart + 59'999);
    EXPECT_EQ(net.packets[2], responses);
}

TEST(FakeRip, ABreakIsKnownEverywhereAtItsExactTimes)
{
    Internet net;
    net.record = true;
    auto nets_of = chain(16);
    build(net, nets_of);
    net.start();
    ASSERT_TRUE(net.run_until([&] { return converged(net, nets_of); }, 120'000));
    net.advance(10'000);
    const uint64_t brk = net.now;
    net.sent.clear();
    net.link(0, kNet, false);
    net.advance(1'000);
    // Each router hears of it one network delay after the one before, and
    // tells the next at once: no router waits for a period or a gap.
    for (int i = 0; i < 16; i++) {
        bool told = false;
        for (const Packet &p : net.sent)
            if (p.from == i && p.op == kRipResponse && p.at == brk + uint64_t(i) * net.delay_ms)
                for (const RipEntry &e : p.entries)
                    told = told || (e.net == kNet && e.hops == 16);
        EXPECT_TRUE(told) << "router " << i;
        EXPECT_EQ(net.hops(i, kNet), 16) << "router " << i;
    }
    // And forgets it 60 s after it heard.
    for (int i : {1, 8, 15}) {
        uint64_t gone = brk + uint64_t(i) * net.delay_ms + 60'000;
        net.run_until(gone - 1);
        EXPECT_EQ(net.core(i).routes().count(kNet), 1u) << "router " << i;
        net.run_until(gone);
        EXPECT_EQ(net.core(i).routes().count(kNet), 0u) << "router " << i;
    }
    // Back again: known everywhere within the chain's length in delays.
    net.link(0, kNet, true);
    net.advance(16);
    EXPECT_TRUE(converged(net, nets_of));
}

// Router 0 has a stub network kNet, router 1 sits behind it. Router 0's
// first word of the break is lost; router 1 goes on advertising what it
// knows. Split horizon keeps that away from router 0; without it the dead
// route comes back and the two count up to 16.
TEST(FakeRip, SplitHorizonKeepsTwoRoutersFromBouncingADeadRoute)
{
    for (bool split : {true, false}) {
        SCOPED_TRACE(split ? "split horizon" : "no split horizon");
        RipConfig cfg;
        cfg.split_horizon = split;
        Internet net(cfg);
        auto nets_of = std::vector<std::vector<uint32_t>>{{kNet, kNet + 1}, {kNet + 1, kNet + 2}};
        build(net, nets_of);
        net.start();
        ASSERT_TRUE(net.run_until([&] { return converged(net, nets_of); }, 10'000));
        net.advance(20'000);
        bool lost = false;
        net.drop = [&](const Packet &p) {
            if (lost || p.from != 0)
                return false;
            for (const RipEntry &e : p.entries)
                lost = lost || (e.net == kNet && e.hops == 16);
            return lost;
        };
        const uint64_t brk = net.now;
        net.link(0, kNet, false);
        ASSERT_TRUE(lost);
        bool bounced = net.run_until([&] { return net.hops(0, kNet) < 16; }, 120'000);
        if (split) {
            EXPECT_FALSE(bounced);
            EXPECT_EQ(net.hops(1, kNet), 16) << "told by router 0's next periodic update";
        } else {
            EXPECT_TRUE(bounced);
            ASSERT_TRUE(net.run_until(
                [&] { return net.hops(0, kNet) == 16 && net.hops(1, kNet) == 16; }, 300'000));
            report("two routers counted to infinity in", net.now - brk);
        }
    }
}

TEST(FakeRip, ARingConvergesAndItsCountToInfinityEndsAt16)
{
    // Routers 0-3 in a ring (networks kNet+1..kNet+4), a stub network kNet
    // at router 0.
    std::vector<std::vector<uint32_t>> nets_of;
    for (uint32_t i = 0; i < 4; i++)
        nets_of.push_back({kNet + 1 + i, kNet + 1 + (i + 3) % 4});
    nets_of[0].push_back(kNet);
    Internet net;
    net.record = true;
    build(net, nets_of);
    net.start();
    ASSERT_TRUE(net.run_until([&] { return converged(net, nets_of); }, 60'000));
    report("ring of 4 routers converged after", net.now - kStart);

    // Break the stub just before the periodic updates; router 3 misses
    // router 0's word of it, so that its stale route goes round the ring.
    net.run_until(kStart + 120'000 - 500);
    const uint64_t brk = net.now;
    const uint32_t r0_r3 = kNet + 4;
    net.drop = [&](const Packet &p) {
        if (p.from != 0 || p.net != r0_r3 || net.now > brk + 1'000)
            return false;
        for (const RipEntry &e : p.entries)
            if (e.net == kNet && e.hops == 16)
                return true;
        return false;
    };
    net.sent.clear();
    net.link(0, kNet, false);
    auto dead = [&] {
        for (int r = 0; r < 4; r++)
            if (net.hops(r, kNet) < 16)
                return false;
        return true;
    };
    ASSERT_TRUE(net.run_until([&] { return !dead(); }, 2'000)) << "the stale route went round";
    ASSERT_TRUE(net.run_until(dead, 300'000));
    uint16_t highest = 0;
    for (const Packet &p : net.sent)
        for (const RipEntry &e : p.entries)
            if (e.net == kNet && e.hops < 16)
                highest = std::max(highest, e.hops);
    EXPECT_GE(highest, 8) << "it counted";
    EXPECT_LE(highest, 15);
    report("ring counted to infinity in", net.now - brk);
    // Gone for good: nothing brings it back.
    net.drop = nullptr;
    EXPECT_FALSE(net.run_until([&] { return !dead(); }, 200'000));
    EXPECT_TRUE(converged(net, [&] {
        auto n = nets_of;
        n[0].pop_back();
        return n;
    }()));
}

} // namespace
