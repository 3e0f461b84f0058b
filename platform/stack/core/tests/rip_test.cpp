// The RIP codec from tables, and one routing core on a fake clock: the 60,
// 180 and 240 s rules at their exact deadlines, triggered updates and their
// gap, the choice between routes, requests, and a host's lookups.
#include "rip.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace ipxcore;

namespace {

constexpr uint64_t T = 1'000'000;
const Node kN1 = node_from_host(0x0A000001), kN2 = node_from_host(0x0A000002);

std::vector<uint8_t> bytes(std::initializer_list<int> b)
{
    std::vector<uint8_t> v;
    for (int x : b)
        v.push_back(static_cast<uint8_t>(x));
    return v;
}

TEST(RipWire, EncodesInPacketsOf50AndDecodesBack)
{
    std::vector<RipEntry> all;
    for (uint32_t i = 1; i <= 120; i++)
        all.push_back({0x10000 + i, static_cast<uint16_t>(i % 17), static_cast<uint16_t>(i * 3)});
    auto packets = encode_rip(kRipResponse, all);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].size(), 2 + 50 * 8u);
    EXPECT_EQ(packets[2].size(), 2 + 20 * 8u);
    std::vector<RipEntry> back;
    for (auto &p : packets) {
        RipPacket pk;
        std::string why;
        ASSERT_TRUE(decode_rip(p.data(), p.size(), pk, why)) << why;
        EXPECT_EQ(pk.op, kRipResponse);
        back.insert(back.end(), pk.entries.begin(), pk.entries.end());
    }
    EXPECT_EQ(back, all);
    // Big-endian on the wire.
    auto one = encode_rip(kRipRequest, {{0x0000BEEF, 0x0102, 0x0304}});
    EXPECT_EQ(one[0], bytes({0, 1, 0, 0, 0xBE, 0xEF, 1, 2, 3, 4}));
    EXPECT_TRUE(encode_rip(kRipResponse, {}).empty());
}

TEST(RipWire, TakesOnlyWholePackets)
{
    std::vector<uint8_t> fifty_one = bytes({0, 2});
    for (int i = 0; i < 51; i++)
        for (int b : {0, 0, 0, 9, 0, 1, 0, 1})
            fifty_one.push_back(static_cast<uint8_t>(b));
    struct Case {
        const char *what;
        std::vector<uint8_t> p;
        const char *why;
    } cases[] = {
        {"empty", {}, "of 0 bytes"},
        {"one byte", bytes({0}), "of 1 bytes"},
        {"no entries", bytes({0, 2}), "no whole number"},
        {"unknown operation", bytes({0, 3, 0, 0, 0, 1, 0, 1, 0, 1}), "operation 3"},
        {"truncated row", bytes({0, 2, 0, 0, 0, 1, 0, 1, 0}), "no whole number"},
        {"row and a bit", bytes({0, 2, 0, 0, 0, 1, 0, 1, 0, 1, 0, 0, 0}), "no whole number"},
        {"51 entries", fifty_one, "51 entries"},
        {"hops above 16", bytes({0, 2, 0, 0, 0, 1, 0, 17, 0, 1}), "17 hops"},
        {"network 0", bytes({0, 2, 0, 0, 0, 0, 0, 1, 0, 1}), "network 00000000"},
        {"all networks in a response", bytes({0, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0, 1, 0, 1}),
         "network ffffffff"},
        {"FFFFFFFE", bytes({0, 2, 0xFF, 0xFF, 0xFF, 0xFE, 0, 1, 0, 1}), "network fffffffe"},
        {"all networks and more",
         bytes({0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0}),
         "request for network ffffffff"},
    };
    for (const Case &c : cases) {
        RipPacket pk;
        pk.op = 77;
        std::string why;
        EXPECT_FALSE(decode_rip(c.p.data(), c.p.size(), pk, why)) << c.what;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.what << ": " << why;
        EXPECT_EQ(pk.op, 77) << c.what << ": nothing decoded";
    }
    RipPacket pk;
    std::string why;
    auto unreachable = bytes({0, 2, 0, 0, 0, 5, 0, 16, 0, 9});
    EXPECT_TRUE(decode_rip(unreachable.data(), unreachable.size(), pk, why)) << why;
    auto all = bytes({0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_TRUE(decode_rip(all.data(), all.size(), pk, why)) << why;
    EXPECT_EQ(pk.entries[0].net, kRipAllNetworks);
}

// What one core sent, when, and where.
struct Sent {
    uint64_t at;
    RipSend s;
};

class Core : public ::testing::Test {
protected:
    void make(RipConfig cfg = {})
    {
        core_ = std::make_unique<RipCore>(cfg);
    }
    // Runs the core's deadlines up to `t`, keeping what it sends.
    void run(uint64_t t)
    {
        for (;;) {
            uint64_t d = core_->next_deadline();
            if (d > t)
                break;
            ASSERT_GE(d, now_) << "a deadline in the past";
            now_ = d;
            core_->on_timer(now_);
            take();
        }
        now_ = t;
    }
    void take()
    {
        for (RipSend &s : core_->take_output())
            sent_.push_back({now_, std::move(s)});
    }
    // Responses sent on `link`, with their times.
    std::vector<Sent> responses(RipLink link) const
    {
        std::vector<Sent> out;
        for (const Sent &s : sent_)
            if (s.s.link == link && s.s.op == kRipResponse)
                out.push_back(s);
        return out;
    }
    static std::vector<RipEntry> sorted(std::vector<RipEntry> v)
    {
        std::sort(v.begin(), v.end(), [](auto &a, auto &b) { return a.net < b.net; });
        return v;
    }
    // A router on networks A (link 1) and B (link 2), and C (link 3) when
    // asked, that has learned 0x30 from kN1 on link 2 at `at`.
    void router_with_route(uint64_t at, bool three = false)
    {
        make();
        core_->on_link(1, true, 0xA, 1, T);
        core_->on_link(2, true, 0xB, 1, T);
        if (three)
            core_->on_link(3, true, 0xC, 1, T);
        take();
        sent_.clear();
        run(at);
        core_->on_response(2, kN1, {{0x30, 1, 2}}, now_);
        take();
    }

    std::unique_ptr<RipCore> core_;
    std::vector<Sent> sent_;
    uint64_t now_ = T;
};

TEST_F(Core, Every60sTheTableAt180sUnreachableAt240sGone)
{
    router_with_route(T + 10'000);
    const RipRoute *r = core_->lookup(0x30);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->hops, 2);
    EXPECT_EQ(r->ticks, 3);
    EXPECT_EQ(r->link, 2u);
    EXPECT_EQ(r->next_hop, kN1);
    // Told at once on link 1, never on link 2 (learned there).
    ASSERT_EQ(responses(1).size(), 1u);
    EXPECT_EQ(responses(1)[0].at, T + 10'000);
    EXPECT_EQ(responses(1)[0].s.entries, (std::vector<RipEntry>{{0x30, 2, 3}}));
    EXPECT_EQ(responses(1)[0].s.dst, kBroadcastNode);
    EXPECT_TRUE(responses(2).empty());

    sent_.clear();
    run(T + 190'000 - 1);
    EXPECT_NE(core_->lookup(0x30), nullptr);
    // The periodic updates, every 60 s from the links' start.
    auto on1 = responses(1), on2 = responses(2);
    ASSERT_EQ(on1.size(), 3u);
    ASSERT_EQ(on2.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(on1[i].at, T + 60'000 * (i + 1));
        EXPECT_EQ(on2[i].at, T + 60'000 * (i + 1));
        EXPECT_EQ(sorted(on1[i].s.entries), (std::vector<RipEntry>{{0xB, 0, 1}, {0x30, 2, 3}}));
        EXPECT_EQ(on2[i].s.entries, (std::vector<RipEntry>{{0xA, 0, 1}}));
    }

    // 180 s without word: unreachable, and said at once.
    sent_.clear();
    run(T + 190'000);
    EXPECT_EQ(core_->lookup(0x30), nullptr);
    ASSERT_EQ(responses(1).size(), 1u);
    EXPECT_EQ(responses(1)[0].s.entries, (std::vector<RipEntry>{{0x30, 16, 3}}));
    // Still advertised as unreachable until 240 s, then forgotten.
    sent_.clear();
    run(T + 250'000 - 1);
    ASSERT_EQ(responses(1).size(), 1u);
    EXPECT_EQ(sorted(responses(1)[0].s.entries), (std::vector<RipEntry>{{0xB, 0, 1}, {0x30, 16, 3}}));
    EXPECT_EQ(core_->routes().count(0x30), 1u);
    run(T + 250'000);
    EXPECT_EQ(core_->routes().count(0x30), 0u);
    sent_.clear();
    run(T + 300'000);
    ASSERT_EQ(responses(1).size(), 1u);
    EXPECT_EQ(responses(1)[0].s.entries, (std::vector<RipEntry>{{0xB, 0, 1}}));
}

TEST_F(Core, ALinkGoingDownPoisonsItsRoutesAtOnce)
{
    router_with_route(T + 1'000, true);
    run(T + 5'000);
    sent_.clear();
    core_->on_link(2, false, 0xB, 1, now_);
    take();
    EXPECT_EQ(core_->lookup(0x30), nullptr);
    EXPECT_EQ(core_->lookup(0xB), nullptr);
    for (RipLink l : {1u, 3u}) {
        ASSERT_EQ(responses(l).size(), 1u) << l;
        EXPECT_EQ(responses(l)[0].at, T + 5'000);
        EXPECT_EQ(sorted(responses(l)[0].s.entries),
                  (std::vector<RipEntry>{{0xB, 16, 1}, {0x30, 16, 3}}));
    }
    EXPECT_TRUE(responses(2).empty());
    // Forgotten a garbage period (60 s) later.
    run(T + 65'000 - 1);
    EXPECT_EQ(core_->routes().size(), 4u);
    run(T + 65'000);
    EXPECT_EQ(core_->routes().size(), 2u);
    // Back up: its network is ours again, and told.
    sent_.clear();
    core_->on_link(2, true, 0xB, 1, now_);
    take();
    ASSERT_NE(core_->lookup(0xB), nullptr);
    EXPECT_TRUE(core_->lookup(0xB)->direct);
    ASSERT_EQ(responses(1).size(), 1u);
    EXPECT_EQ(responses(1)[0].s.entries, (std::vector<RipEntry>{{0xB, 0, 1}}));
}

TEST_F(Core, TriggeredUpdatesKeepTheirGap)
{
    router_with_route(T + 1'000);
    sent_.clear();
    run(T + 1'100);
    core_->on_response(2, kN1, {{0x31, 3, 4}}, now_);
    take();
    run(T + 1'200);
    core_->on_response(2, kN1, {{0x32, 5, 6}}, now_);
    take();
    // The first change went out with the route at T+1000; these two wait
    // for the gap (1 s) and go together, once.
    EXPECT_TRUE(responses(1).empty());
    run(T + 2'000 - 1);
    EXPECT_TRUE(responses(1).empty());
    run(T + 2'000);
    ASSERT_EQ(responses(1).size(), 1u);
    EXPECT_EQ(responses(1)[0].at, T + 2'000);
    EXPECT_EQ(sorted(responses(1)[0].s.entries),
              (std::vector<RipEntry>{{0x31, 4, 5}, {0x32, 6, 7}}));
    // A change after a quiet gap goes at once.
    sent_.clear();
    run(T + 10'000);
    core_->on_response(2, kN1, {{0x31, 2, 4}}, now_);
    take();
    ASSERT_EQ(responses(1).size(), 1u);
    EXPECT_EQ(responses(1)[0].at, T + 10'000);
    EXPECT_EQ(responses(1)[0].s.entries, (std::vector<RipEntry>{{0x31, 3, 5}}));
}

TEST_F(Core, ChoosesFewestTicksThenHops)
{
    make();
    core_->on_link(1, true, 0xA, 1, T);
    core_->on_link(2, true, 0xB, 1, T);
    core_->on_link(3, true, 0xC, 4, T);
    auto via = [&]() { return core_->lookup(0x30) ? core_->lookup(0x30)->next_hop : Node{}; };
    core_->on_response(2, kN1, {{0x30, 1, 5}}, T);
    EXPECT_EQ(via(), kN1);
    // Fewer ticks win, however many hops.
    core_->on_response(3, kN2, {{0x30, 6, 1}}, T);
    EXPECT_EQ(via(), kN2);
    EXPECT_EQ(core_->lookup(0x30)->hops, 7);
    EXPECT_EQ(core_->lookup(0x30)->ticks, 5);
    // Ticks equal (2 + 1 + ... = 5): fewer hops win.
    core_->on_response(2, kN1, {{0x30, 2, 4}}, T + 1'000);
    EXPECT_EQ(via(), kN1);
    EXPECT_EQ(core_->lookup(0x30)->hops, 3);
    // As good from the other router: kept while ours is fresh...
    core_->on_response(3, kN2, {{0x30, 2, 1}}, T + 2'000);
    EXPECT_EQ(via(), kN1);
    // ... taken once ours has gone half the expiry time unheard.
    core_->on_response(3, kN2, {{0x30, 2, 1}}, T + 1'000 + 90'000);
    EXPECT_EQ(via(), kN2);
    // The router we use is believed when it gets worse; another's "unreachable"
    // changes nothing.
    core_->on_response(2, kN1, {{0x30, 16, 1}}, T + 92'000);
    EXPECT_EQ(via(), kN2);
    core_->on_response(3, kN2, {{0x30, 9, 20}}, T + 93'000);
    EXPECT_EQ(core_->lookup(0x30)->hops, 10);
    core_->on_response(3, kN2, {{0x30, 16, 20}}, T + 94'000);
    EXPECT_EQ(core_->lookup(0x30), nullptr);
    // 15 hops from a neighbour is 16 here: never learned.
    core_->on_response(2, kN1, {{0x40, 15, 1}}, T + 95'000);
    EXPECT_EQ(core_->routes().count(0x40), 0u);
}

TEST_F(Core, OurOwnNetworksAndAFullTableAreNotLearned)
{
    RipConfig cfg;
    cfg.max_routes = 4;
    make(cfg);
    core_->on_link(1, true, 0xA, 1, T);
    core_->on_link(2, true, 0xB, 1, T);
    core_->on_response(2, kN1, {{0xA, 0, 0}, {0xB, 0, 0}, {0x30, 1, 1}, {0x31, 1, 1}, {0x32, 1, 1}},
                       T);
    EXPECT_EQ(core_->counters().own_entries, 2u);
    EXPECT_EQ(core_->counters().full_entries, 1u);
    EXPECT_TRUE(core_->lookup(0xA)->direct);
    EXPECT_EQ(core_->lookup(0xA)->hops, 0);
    EXPECT_EQ(core_->routes().size(), 4u);
    // A link that is not up teaches nothing.
    core_->on_response(7, kN1, {{0x33, 1, 1}}, T);
    EXPECT_EQ(core_->counters().not_up, 1u);
}

TEST_F(Core, AnswersRequests)
{
    router_with_route(T + 1'000, true);
    core_->on_link(3, false, 0xC, 1, now_);
    take();
    sent_.clear();
    // Everything: split horizon for the requester's link.
    core_->on_request(2, kN2, 0x4567, {{kRipAllNetworks, 0xFFFF, 0xFFFF}}, now_);
    // Some networks: only those reached, not through the requester's link.
    core_->on_request(1, kN2, kSocketRip, {{0x30, 0xFFFF, 0xFFFF}, {0x99, 0xFFFF, 0xFFFF}}, now_);
    core_->on_request(2, kN2, kSocketRip, {{0x30, 0xFFFF, 0xFFFF}}, now_);
    // A program of this host hears all, ours with hops 0.
    core_->on_request(kRipLocal, kN2, 0x0452, {{kRipAllNetworks, 0, 0}}, now_);
    take();
    ASSERT_EQ(sent_.size(), 3u);
    EXPECT_EQ(sent_[0].s.link, 2u);
    EXPECT_EQ(sent_[0].s.dst, kN2);
    EXPECT_EQ(sent_[0].s.dst_socket, 0x4567);
    EXPECT_EQ(sorted(sent_[0].s.entries), (std::vector<RipEntry>{{0xA, 0, 1}, {0xC, 16, 1}}));
    EXPECT_EQ(sent_[1].s.link, 1u);
    EXPECT_EQ(sent_[1].s.entries, (std::vector<RipEntry>{{0x30, 2, 3}}));
    EXPECT_EQ(sent_[2].s.link, kRipLocal);
    EXPECT_EQ(sent_[2].s.dst_socket, 0x0452);
    EXPECT_EQ(sorted(sent_[2].s.entries),
              (std::vector<RipEntry>{{0xA, 0, 1}, {0xB, 0, 1}, {0xC, 16, 1}, {0x30, 2, 3}}));
    EXPECT_EQ(core_->counters().answers, 3u);

    // A host neither answers nor advertises.
    RipConfig host;
    host.router = false;
    make(host);
    core_->on_link(1, true, 0xA, 1, T);
    core_->on_response(1, kN1, {{0x30, 1, 1}}, T);
    core_->on_request(1, kN2, kSocketRip, {{kRipAllNetworks, 0, 0}}, T);
    core_->on_request(kRipLocal, kN2, kSocketRip, {{kRipAllNetworks, 0, 0}}, T);
    for (RipSend &s : core_->take_output())
        EXPECT_EQ(s.op, kRipRequest);
    EXPECT_NE(core_->lookup(0x30), nullptr);
    EXPECT_EQ(core_->next_deadline(), T + 180'000);
}

TEST_F(Core, AHostAsksEveryLinkAndGivesUpInTime)
{
    RipConfig host;
    host.router = false;
    make(host);
    core_->on_link(1, true, 0xA, 1, T);
    core_->on_link(2, true, 0xB, 1, T);
    take();
    sent_.clear();
    core_->want(0x30, T);
    core_->want(0x30, T);  // asked once
    core_->want(0x31, T);
    take();
    run(T + 700);
    core_->on_response(2, kN1, {{0x31, 2, 3}}, now_);
    take();
    EXPECT_EQ(core_->take_resolved(), std::vector<uint32_t>{0x31});
    run(T + 2'000 - 1);
    EXPECT_TRUE(core_->take_failed().empty());
    EXPECT_TRUE(core_->asking(0x30));
    run(T + 2'000);
    EXPECT_EQ(core_->take_failed(), std::vector<uint32_t>{0x30});
    // Asked for 0x30 at 0, 500, 1000 and 1500 ms on both links.
    std::vector<uint64_t> asked;
    for (const Sent &s : sent_)
        if (s.s.op == kRipRequest && s.s.entries[0].net == 0x30) {
            EXPECT_EQ(s.s.dst, kBroadcastNode);
            asked.push_back(s.at);
        }
    EXPECT_EQ(asked, (std::vector<uint64_t>{T, T, T + 500, T + 500, T + 1'000, T + 1'000,
                                            T + 1'500, T + 1'500}));
    EXPECT_EQ(core_->counters().lookups_failed, 1u);
    // A host without links gives up at once.
    make(host);
    core_->want(0x30, T);
    EXPECT_EQ(core_->take_failed(), std::vector<uint32_t>{0x30});
}

TEST_F(Core, ALateTickSendsOneUpdateNotABurst)
{
    RipConfig cfg;
    cfg.timers.jitter_ms = 20'000;
    make(cfg);
    core_->on_link(1, true, 0xA, 1, T);
    take();
    uint64_t first = core_->next_deadline();
    EXPECT_GE(first, T + 40'000);
    EXPECT_LE(first, T + 60'000);
    sent_.clear();
    now_ = T + 400'000;  // the loop stalled for minutes
    core_->on_timer(now_);
    take();
    EXPECT_EQ(sent_.size(), 0u) << "nothing to say on the only link";
    EXPECT_EQ(core_->next_deadline(), T + 460'000);
}

} // namespace
