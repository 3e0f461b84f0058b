// Routing in the stack, without a network: a stack on two fake links (A and
// B) learns routes from RIP packets that arrive, forwards other hosts'
// packets between its links, asks for a far network and fails clearly when
// nobody answers, answers requests, and drops malformed RIP.
#include "stackfake.h"

#include <tiuser.h>

#include <gtest/gtest.h>

#include <cerrno>

using namespace stackfake;

namespace {

const Node kNa{2, 0, 0, 0, 0, 0xa}, kNb{0, 0, 10, 0, 0, 0xb};
const Node kPeer{0, 0, 10, 0, 0, 0x22};    // a host on A
const Node kRouter{0, 0, 10, 0, 0, 0x33};  // a router on B
const Node kFar{0, 0, 10, 0, 9, 0x44};     // a host somewhere
const std::vector<uint8_t> kData{'d', 'a', 't', 'a'};

class StackRouting : public ::testing::Test {
protected:
    void make(bool forward = true)
    {
        StackConfig cfg;
        cfg.forward = forward;
        io_.msgs.clear();  // endpoint numbers start again with a new stack
        stack_ = std::make_unique<Stack>(cfg, clock_, io_);
        calls_ = std::make_unique<Calls>(*stack_, io_);
        auto la = std::make_unique<FakeLink>(0xA, kNa, 1500, true);
        auto lb = std::make_unique<FakeLink>(0xB, kNb, 576, false);
        a_ = la.get();
        b_ = lb.get();
        stack_->add_link(std::move(la));
        stack_->add_link(std::move(lb));
        advance(0);
        a_->sent.clear();
        b_->sent.clear();
    }
    // Runs the stack through its deadlines up to `ms` from now.
    void advance(uint64_t ms)
    {
        const uint64_t until = clock_.t + ms;
        for (int i = 0; i < 10000; i++) {
            uint64_t d = stack_->next_deadline();
            clock_.t = std::max(clock_.t, std::min(d, until));
            stack_->tick(clock_.t);
            stack_->run();
            if (d > until)
                break;
        }
    }
    // A RIP packet from `from` on `link`'s network, to `to`.
    void rip_from(FakeLink *link, const Node &from, uint16_t op, const std::vector<RipEntry> &e,
                  const Node &to = kBroadcastNode, uint32_t src_net = 0)
    {
        auto body = encode_rip(op, e);
        link->arrivals.push_back(arriving({src_net ? src_net : link->net(), from, kSocketRip},
                                          {link->net(), to, kSocketRip}, body.at(0), kIpxTypeRip));
    }
    // The RIP packets a link was given.
    static std::vector<RipPacket> rips(const FakeLink *link)
    {
        std::vector<RipPacket> out;
        for (auto &[p, hop] : link->rip()) {
            auto v = decode_ipx(p.data(), p.size());
            RipPacket pk;
            std::string why;
            if (v && decode_rip(v->data, v->data_len, pk, why))
                out.push_back(pk);
        }
        return out;
    }
    static bool has(const std::vector<RipPacket> &pks, uint16_t op, const RipEntry &e)
    {
        for (const RipPacket &p : pks)
            for (const RipEntry &x : p.entries)
                if (p.op == op && x == e)
                    return true;
        return false;
    }
    uint32_t datagram_endpoint(uint16_t socket)
    {
        uint32_t ep = stack_->open(Service::Datagram);
        calls_->bind(ep, 0, socket);
        return ep;
    }
    std::string status() const { return stack_->status(); }

    TestClock clock_;
    RecordIo io_;
    std::unique_ptr<Stack> stack_;
    std::unique_ptr<Calls> calls_;
    FakeLink *a_ = nullptr, *b_ = nullptr;
};

TEST_F(StackRouting, ForwardsBetweenLinksRaisingTheHopCountAndNeverDeliversWhatItForwards)
{
    for (bool forward : {true, false}) {
        SCOPED_TRACE(forward ? "router" : "forwarding off");
        make(forward);
        uint32_t ep = datagram_endpoint(0x4000);
        rip_from(b_, kRouter, kRipResponse, {{0xC, 1, 1}});
        advance(0);
        // From a host on A: to a host on B (source network 0, 3 hops so
        // far); to a host two networks away; at the hop limit; a broadcast
        // for B; a network nobody knows; and this host's address on B.
        a_->arrivals.push_back(arriving({0, kPeer, 0x4001}, {0xB, kFar, 0x4000}, kData, 0, 3));
        a_->arrivals.push_back(arriving({0xA, kPeer, 0x4001}, {0xC, kFar, 0x4000}, kData, 0, 14));
        a_->arrivals.push_back(arriving({0xA, kPeer, 0x4001}, {0xC, kFar, 0x4000}, kData, 0, 15));
        a_->arrivals.push_back(arriving({0xA, kPeer, 0x4001}, {0xB, kBroadcastNode, 0x4000}, kData));
        a_->arrivals.push_back(arriving({0xA, kPeer, 0x4001}, {0xD, kFar, 0x4000}, kData));
        a_->arrivals.push_back(arriving({0xA, kPeer, 0x4001}, {0xB, kNb, 0x4000}, kData));
        advance(0);

        // Only what is for this host reaches the endpoint.
        IpxAddress from;
        std::vector<uint8_t> got;
        ASSERT_TRUE(calls_->rcvudata(ep, from, got));
        EXPECT_EQ(from, (IpxAddress{0xA, kPeer, 0x4001}));
        EXPECT_FALSE(calls_->rcvudata(ep, from, got));
        EXPECT_TRUE(a_->data().empty());
        auto out = b_->data();
        if (!forward) {
            EXPECT_TRUE(out.empty());
            EXPECT_NE(status().find("forwarded 0 dropped hop-limit 0 no-route 0 not-forwarded 5"),
                      std::string::npos) << status();
            continue;
        }
        ASSERT_EQ(out.size(), 2u);
        auto first = decode_ipx(out[0].first.data(), out[0].first.size());
        ASSERT_TRUE(first);
        EXPECT_EQ(out[0].second, kFar);  // straight to the host on B
        EXPECT_EQ(first->header.hops, 4);
        EXPECT_EQ(first->header.src, (IpxAddress{0xA, kPeer, 0x4001})) << "the way back filled in";
        auto second = decode_ipx(out[1].first.data(), out[1].first.size());
        ASSERT_TRUE(second);
        EXPECT_EQ(out[1].second, kRouter);  // through the router that offered 0xC
        EXPECT_EQ(second->header.hops, 15);
        EXPECT_EQ(second->header.dst, (IpxAddress{0xC, kFar, 0x4000}));
        EXPECT_NE(status().find("forwarded 2 dropped hop-limit 1 no-route 1 not-forwarded 1"),
                  std::string::npos) << status();
    }
}

// A routing loop, as a ring of routers has for a while after a break: the
// router on B sends what we give it for 0xC round to A again. The hop count
// ends it: forwarded 15 times, then dropped, and nothing more goes out.
TEST_F(StackRouting, APacketCaughtInALoopGoesRoundAtMost15Times)
{
    make();
    rip_from(b_, kRouter, kRipResponse, {{0xC, 1, 1}});
    advance(0);
    a_->arrivals.push_back(arriving({0xA, kPeer, 0x4001}, {0xC, kFar, 0x4000}, kData));
    int rounds = 0;
    for (; rounds < 100; rounds++) {
        advance(0);
        auto out = b_->data();
        b_->sent.clear();
        if (out.empty())
            break;
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].second, kRouter);
        a_->arrivals.push_back(out[0].first);  // back round the ring
    }
    EXPECT_EQ(rounds, 15);
    EXPECT_NE(status().find("forwarded 15 dropped hop-limit 1 "), std::string::npos) << status();
    EXPECT_TRUE(a_->data().empty());
}

TEST_F(StackRouting, LearnsARouteSendsThroughItAndTellsItsOtherLinks)
{
    make();
    advance(5000);  // the links' first updates are past
    uint32_t ep = datagram_endpoint(0x4000);
    rip_from(b_, kRouter, kRipResponse, {{0xC, 1, 2}});
    advance(0);
    // Told on A at once (hops and ticks of the way through B); never on B.
    EXPECT_TRUE(has(rips(a_), kRipResponse, {0xC, 2, 3}));
    EXPECT_FALSE(has(rips(b_), kRipResponse, {0xC, 2, 3}));
    EXPECT_NE(status().find("0000000c     2     3  00000a000033     0s  fake"), std::string::npos)
        << status();
    EXPECT_NE(status().find("0000000b     0     1  -                5s  fake"), std::string::npos)
        << status();

    calls_->sendudata(ep, {0xC, kFar, 0x5000});
    auto out = b_->data();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].second, kRouter);
    auto v = decode_ipx(out[0].first.data(), out[0].first.size());
    ASSERT_TRUE(v);
    EXPECT_EQ(v->header.src, (IpxAddress{0xB, kNb, 0x4000})) << "our address on the way out";

    // B goes down: its networks, and what lay behind it, are unreachable,
    // and A hears so at once.
    a_->sent.clear();
    b_->st = LinkState::Down;
    advance(0);
    EXPECT_TRUE(has(rips(a_), kRipResponse, {0xB, 16, 1}));
    EXPECT_TRUE(has(rips(a_), kRipResponse, {0xC, 16, 3}));
    EXPECT_NE(status().find("(unreachable)"), std::string::npos) << status();
}

TEST_F(StackRouting, AHostAsksForAFarNetworkAndFailsClearlyWithoutAnAnswer)
{
    make(false);
    uint32_t ep = datagram_endpoint(0x4000);
    calls_->sendudata(ep, {0xD, kFar, 0x5000});
    for (FakeLink *l : {a_, b_}) {
        EXPECT_TRUE(has(rips(l), kRipRequest, {0xD, 0xFFFF, 0xFFFF}));
        EXPECT_TRUE(l->data().empty());
    }
    // A router on B answers after a while: the datagram goes its way.
    advance(300);
    rip_from(b_, kRouter, kRipResponse, {{0xD, 2, 3}}, kNb);
    advance(0);
    auto out = b_->data();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].second, kRouter);
    EXPECT_EQ(calls_->look(ep), 0);

    // Nobody offers 0xE: a datagram error, and a call that fails "no route".
    calls_->sendudata(ep, {0xE, kFar, 0x5000});
    uint32_t spx = stack_->open(Service::Spx);
    calls_->bind(spx, 0, 0);
    uint8_t addr[12];
    IpxAddress{0xE, kFar, 0x8063}.to_bytes(addr);
    tliproto::Writer w;
    w.u32(12).u32(0).u32(0).bytes(addr, 12);
    EXPECT_EQ(calls_->call(spx, tliproto::kConnect, w).terr, TNODATA);  // in progress
    advance(2000 - 1);
    EXPECT_EQ(calls_->look(ep), 0);
    EXPECT_EQ(calls_->look(spx), 0);
    advance(1);
    EXPECT_EQ(calls_->look(ep), T_UDERR);
    std::vector<uint8_t> body;
    ASSERT_EQ(calls_->call(ep, tliproto::kRcvuderr, tliproto::Writer{}, &body).terr, 0);
    EXPECT_EQ(body[0] | body[1] << 8, ENETUNREACH);
    EXPECT_EQ(calls_->look(spx), T_DISCONNECT);
    ASSERT_EQ(calls_->call(spx, tliproto::kRcvdis, tliproto::Writer{}, &body).terr, 0);
    EXPECT_EQ(body[0], kReasonNoRoute);
    // A host never advertises: all it sent on its links were requests.
    for (FakeLink *l : {a_, b_})
        for (const RipPacket &p : rips(l))
            EXPECT_EQ(p.op, kRipRequest);
    EXPECT_NE(status().find("lookups 2 failed 1"), std::string::npos) << status();
}

TEST_F(StackRouting, MalformedRipIsDroppedCountedAndTeachesNothing)
{
    make();
    auto raw = [&](std::vector<uint8_t> body, uint32_t src_net = 0xA) {
        a_->arrivals.push_back(
            arriving({src_net, kPeer, kSocketRip}, {0xA, kBroadcastNode, kSocketRip}, body, 1));
    };
    raw({0, 2, 0, 0, 0, 0x30, 0, 1, 0});  // a truncated row
    std::vector<uint8_t> many{0, 2};
    for (uint32_t i = 0; i < 51; i++)
        for (int x : {0, 0, 1, int(i), 0, 1, 0, 1})
            many.push_back(static_cast<uint8_t>(x));
    raw(many);
    raw({0, 2, 0, 0, 0, 0x31, 0, 17, 0, 1});  // 17 hops
    rip_from(a_, kPeer, kRipResponse, {{0xA, 0, 1}, {0xB, 1, 1}});  // our own networks
    // Another network's router, and a program of this host: no teachers.
    a_->arrivals.push_back(arriving({0x77, kPeer, kSocketRip}, {0xA, kNa, kSocketRip},
                                    encode_rip(kRipResponse, {{0x32, 1, 1}})[0], 1));
    advance(0);
    uint32_t user = stack_->open(Service::Datagram, 1000);
    calls_->call(user, tliproto::kBind, [] {
        tliproto::Writer w;
        uint8_t addr[12] = {};
        w.i32(1).u32(0).bytes(addr, 12);
        return w;
    }(), nullptr, 1000);
    calls_->sendudata(user, {0xA, kNa, kSocketRip}, 1, encode_rip(kRipResponse, {{0x33, 1, 1}})[0]);
    advance(0);
    EXPECT_EQ(stack_->status().find("00000030"), std::string::npos);
    for (uint32_t net : {0x31u, 0x32u, 0x33u})
        EXPECT_EQ(status().find(IpxAddress{net, {}, 0}.text().substr(0, 8) + "  "), std::string::npos)
            << status();
    EXPECT_NE(status().find("malformed 3 foreign 2 own-networks 2"), std::string::npos) << status();
    EXPECT_NE(status().find("routes: 2"), std::string::npos) << status();
}

TEST_F(StackRouting, AnswersRequestsFromItsLinksAndFromProgramsHere)
{
    for (bool forward : {true, false}) {
        SCOPED_TRACE(forward ? "router" : "forwarding off");
        make(forward);
        uint32_t ep = datagram_endpoint(0x0452);
        rip_from(a_, kPeer, kRipRequest, {{kRipAllNetworks, 0xFFFF, 0xFFFF}}, kNa);
        // A program of this host asks its own stack, as Ombrad does.
        calls_->sendudata(ep, {0, kNa, kSocketRip}, 1,
                          encode_rip(kRipRequest, {{kRipAllNetworks, 0xFFFF, 0xFFFF}})[0]);
        advance(0);
        IpxAddress from;
        std::vector<uint8_t> got;
        bool answered = calls_->rcvudata(ep, from, got);
        auto to_peer = a_->rip();
        if (!forward) {
            EXPECT_FALSE(answered) << "a host does not answer";
            EXPECT_TRUE(to_peer.empty());
            continue;
        }
        ASSERT_TRUE(answered);
        EXPECT_EQ(from, (IpxAddress{0xA, kNa, kSocketRip}));
        RipPacket pk;
        std::string why;
        ASSERT_TRUE(decode_rip(got.data(), got.size(), pk, why)) << why;
        EXPECT_EQ(pk.op, kRipResponse);
        EXPECT_EQ(pk.entries, (std::vector<RipEntry>{{0xA, 0, 1}, {0xB, 0, 1}}));
        // The peer hears the answer at its own node, split horizon applied.
        ASSERT_EQ(to_peer.size(), 1u);
        EXPECT_EQ(to_peer[0].second, kPeer);
        EXPECT_EQ(rips(a_)[0].entries, (std::vector<RipEntry>{{0xB, 0, 1}}));
    }
}

} // namespace
