// Links without a network: "--link" text from tables, the drivers through a
// fake Sys (send failures, the relay's registration and keepalive), and the
// stack choosing a link by destination network, with fake links.
#include "link_config.h"
#include "stack.h"
#include "stackfake.h"

#include "../core/relay_wire.h"

#include <gtest/gtest.h>
#include <tiuser.h>

#include <arpa/inet.h>
#include <cstring>
#include <deque>
#include <net/if.h>
#include <netinet/in.h>

using namespace ipxstackd;
using namespace ipxcore;

namespace {

// ---- "--link" text -----------------------------------------------------------

TEST(LinkConfigText, GoodLinesGiveTheirSettings)
{
    LinkConfig c;
    std::string err;
    ASSERT_TRUE(parse_link("udp,net=A1,addr=10.0.0.1,peer=10.0.0.2,peer=10.0.0.3:4000,port=2130", c, err)) << err;
    EXPECT_EQ(c.type, LinkType::Udp);
    EXPECT_EQ(c.net, 0xA1u);
    EXPECT_EQ(c.addr, 0x0A000001u);
    EXPECT_EQ(c.port, 2130);
    ASSERT_EQ(c.peers.size(), 2u);
    EXPECT_EQ(c.peers[0].port, 2130);  // the link's port unless given
    EXPECT_EQ(c.peers[1].port, 4000);
    EXPECT_EQ(c.mtu, 576u);
    ASSERT_TRUE(parse_link("dosbox,net=0000DB0X,server=relay.example:2131", c, err) == false);
    ASSERT_TRUE(parse_link("dosbox,net=DB0,server=relay.example:2131,mtu=1400", c, err)) << err;
    EXPECT_EQ(c.server, "relay.example");
    EXPECT_EQ(c.server_port, 2131);
    EXPECT_EQ(c.mtu, 1400u);
    ASSERT_TRUE(parse_link("ethernet,net=FFFFFFFD,dev=eth0,frame=snap,mtu=1492", c, err)) << err;
    EXPECT_EQ(c.frame, FrameType::Snap);
    EXPECT_EQ(c.dev, "eth0");
}

TEST(LinkConfigText, EveryMistakeNamesTheOptionAndTheFault)
{
    struct Row {
        const char *text;
        const char *says;
    };
    const Row rows[] = {
        {"tcp,net=1", "unknown link type \"tcp\""},
        {"udp,addr=10.0.0.1", "\"net\" is missing"},
        {"udp,net=1", "\"addr\" is missing"},
        {"udp,net=0,addr=10.0.0.1", "bad network number \"0\""},
        {"udp,net=FFFFFFFF,addr=10.0.0.1", "bad network number"},
        {"udp,net=123456789,addr=10.0.0.1", "bad network number"},
        {"udp,net=1,addr=10.0.0.300", "bad address"},
        {"udp,net=1,addr=10.0.0.1,port=0", "bad port \"0\""},
        {"udp,net=1,addr=10.0.0.1,port=65536", "bad port"},
        {"udp,net=1,addr=10.0.0.1,peer=10.0.0.2:", "bad peer \"10.0.0.2:\""},
        {"udp,net=1,addr=10.0.0.1,peer=host.example", "bad peer"},
        {"udp,net=1,net=2,addr=10.0.0.1", "\"net\" given twice"},
        {"udp,net=1,addr=10.0.0.1,dev=eth0", "unknown key \"dev\" for a udp link"},
        {"udp,net=1,addr=10.0.0.1,mtu=575", "bad mtu"},
        {"udp,net=1,addr=10.0.0.1,mtu=1501", "bad mtu"},
        {"udp,net=1,addr=10.0.0.1,", "\"\" is not KEY=VALUE"},
        {"dosbox,net=1", "\"server\" is missing"},
        {"dosbox,net=1,server=:213", "bad server"},
        {"ethernet,net=1,dev=eth0", "\"frame\" is missing"},
        {"ethernet,net=1,dev=eth0,frame=token_ring", "bad frame type \"token_ring\""},
        {"ethernet,net=1,dev=a/b,frame=snap", "bad interface name"},
        {"ethernet,net=1,dev=eth0,frame=snap,mtu=1500", "does not fit a snap frame (at most 1492)"},
    };
    for (const Row &r : rows) {
        LinkConfig c;
        std::string err;
        EXPECT_FALSE(parse_link(r.text, c, err)) << r.text;
        EXPECT_EQ(err.rfind(std::string("--link ") + r.text + ": ", 0), 0u) << err;
        EXPECT_NE(err.find(r.says), std::string::npos) << r.text << ": " << err;
    }
}

TEST(LinkConfigText, LinksMayNotShareANetworkOrAFrameType)
{
    auto parsed = [](std::vector<std::string> texts) {
        std::vector<LinkConfig> v;
        for (auto &t : texts) {
            LinkConfig c;
            std::string err;
            EXPECT_TRUE(parse_link(t, c, err)) << err;
            v.push_back(c);
        }
        return v;
    };
    std::string err;
    EXPECT_TRUE(check_links(parsed({"ethernet,net=1,dev=eth0,frame=snap", "ethernet,net=2,dev=eth0,frame=802.2",
                                    "udp,net=3,addr=10.0.0.1"}), err));
    EXPECT_FALSE(check_links(parsed({"udp,net=A,addr=10.0.0.1", "ethernet,net=0000000a,dev=eth0,frame=snap"}), err));
    EXPECT_NE(err.find("network 0000000A is already the network of --link udp,net=A"), std::string::npos) << err;
    EXPECT_FALSE(check_links(parsed({"ethernet,net=1,dev=eth0,frame=snap", "ethernet,net=2,dev=eth0,frame=snap"}), err));
    EXPECT_NE(err.find("eth0 already carries snap frames"), std::string::npos) << err;
}

// ---- drivers through a fake Sys ---------------------------------------------

class FakeSys : public Sys {
public:
    struct Dgram {
        std::vector<uint8_t> bytes;
        struct sockaddr_in peer {};
    };
    std::deque<Dgram> in;        // what recvfrom returns
    std::vector<Dgram> out;      // what sendto was given
    int send_errno = 0;          // sendto fails with this (0: succeeds)
    int bind_errno = 0;
    int next_fd = 100;
    std::vector<int> closed;

    int socket(int, int, int) override { return next_fd++; }
    int bind(int, const struct sockaddr *, socklen_t) override
    {
        errno = bind_errno;
        return bind_errno ? -1 : 0;
    }
    int setsockopt(int, int, int, const void *, socklen_t) override { return 0; }
    ssize_t sendto(int, const void *buf, size_t len, int, const struct sockaddr *sa, socklen_t) override
    {
        if (send_errno) {
            errno = send_errno;
            return -1;
        }
        Dgram d;
        d.bytes.assign(static_cast<const uint8_t *>(buf), static_cast<const uint8_t *>(buf) + len);
        std::memcpy(&d.peer, sa, sizeof d.peer);
        out.push_back(d);
        return static_cast<ssize_t>(len);
    }
    ssize_t recvfrom(int, void *buf, size_t len, int, struct sockaddr *sa, socklen_t *) override
    {
        if (in.empty()) {
            errno = EAGAIN;
            return -1;
        }
        Dgram d = in.front();
        in.pop_front();
        size_t n = std::min(len, d.bytes.size());
        std::memcpy(buf, d.bytes.data(), n);
        std::memcpy(sa, &d.peer, sizeof d.peer);
        return static_cast<ssize_t>(d.bytes.size());
    }
    int ioctl(int, unsigned long, void *) override { return -1; }
    int close(int fd) override
    {
        closed.push_back(fd);
        return 0;
    }
    unsigned if_nametoindex(const char *) override { return 0; }
};

struct sockaddr_in inet(uint32_t ip, uint16_t port)
{
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(ip);
    sa.sin_port = htons(port);
    return sa;
}

std::vector<uint8_t> packet(const Node &src, const Node &dst, uint16_t dst_socket = 0x4000,
                            size_t data = 10)
{
    IpxHeader h;
    h.src = {0, src, 0x4001};
    h.dst = {0, dst, dst_socket};
    std::vector<uint8_t> d(data, 0x33);
    return encode_ipx(h, d.data(), d.size());
}

TEST(UdpDriver, SendsToTheNodesAddressCopiesBroadcastsAndCountsFailures)
{
    FakeSys sys;
    LinkConfig c;
    std::string err;
    ASSERT_TRUE(parse_link("udp,net=1,addr=10.0.0.1,peer=10.0.0.2,peer=10.0.0.3:999", c, err));
    sys.bind_errno = EADDRINUSE;
    EXPECT_EQ(open_link(c, sys, nullptr, err), nullptr);
    EXPECT_NE(err.find("cannot use 10.0.0.1:213"), std::string::npos) << err;
    EXPECT_NE(err.find("the port is in use"), std::string::npos) << err;
    EXPECT_EQ(sys.closed.size(), 1u);  // the socket did not leak
    sys.bind_errno = 0;
    auto link = open_link(c, sys, nullptr, err);
    ASSERT_TRUE(link);
    EXPECT_FALSE(link->carries_checksums());

    auto p = encode_ipx(IpxHeader{}, nullptr, 0, true);  // with a checksum
    ASSERT_FALSE(p[0] == 0xFF && p[1] == 0xFF);
    EXPECT_EQ(link->send(p, node_from_host(0x0A000003), 0), SendResult::Sent);
    EXPECT_EQ(link->send(p, kBroadcastNode, 0), SendResult::Sent);
    ASSERT_EQ(sys.out.size(), 3u);
    EXPECT_EQ(sys.out[0].peer.sin_port, htons(999));  // a peer's own port
    EXPECT_EQ(sys.out[0].bytes[0] << 8 | sys.out[0].bytes[1], 0xFFFF);  // no checksum on the tunnel
    EXPECT_EQ(sys.out[1].peer.sin_addr.s_addr, htonl(0x0A000002));
    EXPECT_EQ(sys.out[2].peer.sin_addr.s_addr, htonl(0x0A000003));
    EXPECT_EQ(link->send(p, Node{1, 2, 3, 4, 5, 6}, 0), SendResult::Dropped);  // no IPv4 node
    sys.send_errno = ENOBUFS;
    EXPECT_EQ(link->send(p, node_from_host(0x0A000002), 0), SendResult::Dropped);
    EXPECT_EQ(link->counters().dropped(Drop::NoAddress), 1u);
    EXPECT_EQ(link->counters().dropped(Drop::SendError), 1u);
    EXPECT_EQ(link->counters().packets_out, 3u);

    // Arrivals: only a datagram whose source node is its sender's address.
    Node b = node_from_host(0x0A000002);
    sys.in.push_back({packet(b, link->node()), inet(0x0A000002, 213)});
    sys.in.push_back({packet(node_from_host(0x0A000009), link->node()), inet(0x0A000002, 213)});
    sys.in.push_back({packet(b, link->node()), inet(0x0A000002, 213)});
    std::vector<uint8_t> got;
    EXPECT_TRUE(link->receive(got, 0));
    EXPECT_TRUE(link->receive(got, 0));
    EXPECT_FALSE(link->receive(got, 0));
    EXPECT_EQ(link->counters().dropped(Drop::WrongSender), 1u);
    EXPECT_EQ(link->counters().packets_in, 2u);
}

TEST(RelayDriver, RegistersAnswersPingsAndRegistersAgainWhenTheServerFallsSilent)
{
    FakeSys sys;
    LinkConfig c;
    std::string err;
    ASSERT_TRUE(parse_link("dosbox,net=DB0,server=127.0.0.1:2130", c, err));
    std::vector<std::string> log;
    auto link = open_link(c, sys, [&](const std::string &l) { log.push_back(l); }, err);
    ASSERT_TRUE(link) << err;
    const auto server = inet(0x7F000001, 2130);
    EXPECT_EQ(link->state(), LinkState::Registering);
    EXPECT_EQ(link->send(packet({}, kBroadcastNode), kBroadcastNode, 0), SendResult::Down);

    // The registration goes out at once, again every second until answered.
    uint64_t now = 1000;
    ASSERT_EQ(link->next_deadline(), 0u);
    link->on_timer(now);
    link->on_timer(now + 500);
    link->on_timer(now + 1000);
    ASSERT_EQ(sys.out.size(), 2u);
    EXPECT_EQ(sys.out[0].bytes, relay_registration({}));
    EXPECT_EQ(sys.out[0].peer.sin_port, server.sin_port);

    // The answer gives the node; only the server is listened to.
    Node mine = relay_node(0x7F000001, 40000);
    IpxHeader h;
    h.dst = {0, mine, 2};
    h.src = {1, relay_node(0x7F000001, 2130), 2};
    sys.in.push_back({encode_ipx(h, nullptr, 0), inet(0x7F000001, 9999)});  // not the server
    sys.in.push_back({encode_ipx(h, nullptr, 0), server});
    std::vector<uint8_t> got;
    now += 1200;
    EXPECT_FALSE(link->receive(got, now));
    EXPECT_EQ(link->state(), LinkState::Up);
    EXPECT_EQ(link->node(), mine);
    EXPECT_EQ(link->counters().dropped(Drop::WrongSender), 1u);

    // A ping is answered, data passes, our own probes do not.
    Node pinger = relay_node(0x7F000001, 41000);
    sys.out.clear();
    sys.in.push_back({relay_ping_answer(pinger, kBroadcastNode), server});
    sys.in.push_back({packet(pinger, mine), server});
    EXPECT_TRUE(link->receive(got, now));
    EXPECT_EQ(got, packet(pinger, mine));
    ASSERT_EQ(sys.out.size(), 1u);
    EXPECT_EQ(sys.out[0].bytes, relay_ping_answer(mine, pinger));

    // Silence: after 15 s a probe to ourselves through the server; three
    // unanswered probes, and the link registers again.
    sys.out.clear();
    EXPECT_EQ(link->next_deadline(), now + 15000);
    for (int i = 0; i < 3; i++) {
        now = link->next_deadline();
        link->on_timer(now);
        EXPECT_EQ(link->state(), LinkState::Up);
    }
    ASSERT_EQ(sys.out.size(), 3u);
    EXPECT_EQ(sys.out[0].bytes, relay_ping_answer(mine, mine));
    now = link->next_deadline();
    link->on_timer(now);
    EXPECT_EQ(link->state(), LinkState::Registering);
    EXPECT_EQ(sys.out.back().bytes, relay_registration({}));
    EXPECT_NE(log.back().find("registering again"), std::string::npos);
    // A probe that comes back keeps the link up without registering.
    sys.in.push_back({encode_ipx(h, nullptr, 0), server});
    EXPECT_FALSE(link->receive(got, now + 10));
    EXPECT_EQ(link->state(), LinkState::Up);
    sys.out.clear();
    sys.in.push_back({relay_ping_answer(mine, mine), server});
    EXPECT_FALSE(link->receive(got, now + 14000));
    link->on_timer(now + 15000);
    EXPECT_TRUE(sys.out.empty());
}

TEST(PacketDriver, AnUnknownInterfaceIsNamed)
{
    FakeSys sys;
    LinkConfig c;
    std::string err;
    ASSERT_TRUE(parse_link("ethernet,net=1,dev=nosuch0,frame=802.2", c, err));
    EXPECT_EQ(open_link(c, sys, nullptr, err), nullptr);
    EXPECT_EQ(err, "--link ethernet,net=1,dev=nosuch0,frame=802.2: no interface \"nosuch0\"");
}

// ---- the stack picks the link ---------------------------------------------------

class Routing : public ::testing::Test {
protected:
    stackfake::TestClock clock;
    stackfake::RecordIo io;
    Stack stack{StackConfig{}, clock, io};
    stackfake::Calls calls{stack, io};
    stackfake::FakeLink *a = nullptr, *b = nullptr;
    const Node na{2, 0, 0, 0, 0, 0xa}, nb{0, 0, 10, 0, 0, 0xb};
    uint32_t reqid = 1;

    void SetUp() override
    {
        auto la = std::make_unique<stackfake::FakeLink>(0xA, na, 1500, true);
        auto lb = std::make_unique<stackfake::FakeLink>(0xB, nb, 576, false);
        a = la.get();
        b = lb.get();
        stack.add_link(std::move(la));
        stack.add_link(std::move(lb));
    }
    tliproto::Header call(uint32_t ep, uint16_t type, const tliproto::Writer &w, std::vector<uint8_t> *body = nullptr)
    {
        return calls.call(ep, type, w, body);
    }
    IpxAddress bind(uint32_t ep, uint32_t net, uint16_t sock, uint32_t qlen = 0)
    {
        return calls.bind(ep, net, sock, qlen);
    }
    void sendudata(uint32_t ep, const IpxAddress &to) { calls.sendudata(ep, to); }
};

TEST_F(Routing, PacketsGoOutOnTheLinkOfTheirNetworkFromThisHostsNodeThere)
{
    uint32_t ep = stack.open(Service::Datagram);
    IpxAddress me = bind(ep, 0, 0x4100);
    EXPECT_EQ(me, (IpxAddress{0xA, na, 0x4100}));  // the first link is the default network

    sendudata(ep, {0xB, {0, 0, 10, 0, 0, 0x22}, 0x4000});
    ASSERT_EQ(b->sent.size(), 1u);
    EXPECT_EQ(b->sent[0].second, (Node{0, 0, 10, 0, 0, 0x22}));
    auto v = decode_ipx(b->sent[0].first.data(), b->sent[0].first.size());
    ASSERT_TRUE(v);
    EXPECT_EQ(v->header.src, (IpxAddress{0xB, nb, 0x4100}));  // our node on that network
    EXPECT_TRUE(a->sent.empty());

    // Network 0 is the default network; a broadcast goes out there too.
    sendudata(ep, {0, kBroadcastNode, 0x4000});
    ASSERT_EQ(a->sent.size(), 1u);
    EXPECT_EQ(a->sent[0].second, kBroadcastNode);

    // To this host's own address on either network: never onto a link.
    uint32_t other = stack.open(Service::Datagram);
    bind(other, 0xB, 0x4200);
    sendudata(ep, {0xB, nb, 0x4200});
    sendudata(ep, {0xA, {0, 0, 0, 0, 0, 1}, 0x4200});  // node 1: this host
    EXPECT_EQ(a->sent.size(), 1u);
    EXPECT_EQ(b->sent.size(), 1u);
    stack.run();
    tliproto::Writer w;
    w.u32(12).u32(2).u32(100);
    EXPECT_EQ(call(other, tliproto::kRcvudata, w).terr, 0);
    EXPECT_EQ(call(other, tliproto::kRcvudata, w).terr, 0);

    // A network no link leads to: asked for on both links; without an
    // answer in time, a datagram error.
    a->sent.clear();
    b->sent.clear();
    sendudata(ep, {0xC, nb, 0x4000});
    EXPECT_EQ(calls.look(ep), 0);
    for (auto *l : {a, b}) {
        ASSERT_FALSE(l->rip().empty());
        EXPECT_EQ(l->rip().back().second, kBroadcastNode);
        EXPECT_TRUE(l->data().empty());
    }
    clock.t += 2000;
    stack.tick(clock.t);
    stack.run();
    EXPECT_EQ(calls.look(ep), T_UDERR);
}

TEST_F(Routing, ArrivalsAreTakenForTheirLinksNetworkAndNodeOnly)
{
    uint32_t ep = stack.open(Service::Datagram);
    bind(ep, 0, 0x4000);
    Node peer{0, 0, 10, 0, 0, 0x22};
    b->arrivals.push_back(packet(peer, nb));                // network 0 on the wire: link B's
    b->arrivals.push_back(packet(peer, na));                // link A's node on link B: not ours
    a->arrivals.push_back(packet(peer, kBroadcastNode));
    // A packet from outside that claims to come from this host (our node
    // on either network), as a relay server forwards it: never taken.
    a->arrivals.push_back(packet(na, na));
    auto claims_b = packet(nb, nb);
    claims_b[18] = 0, claims_b[19] = 0, claims_b[20] = 0, claims_b[21] = 0xB;  // source net B
    a->arrivals.push_back(claims_b);
    stack.run();
    EXPECT_EQ(b->counters().dropped(Drop::NotForUs), 1u);
    EXPECT_EQ(a->counters().dropped(Drop::Own), 2u)
        << "our node on its own network, and our node on another network";
    tliproto::Writer w;
    w.u32(12).u32(2).u32(100);
    std::vector<uint8_t> body;
    // The sender's network 0 became the network it came in by.
    ASSERT_EQ(call(ep, tliproto::kRcvudata, w, &body).terr, 0);
    EXPECT_EQ(IpxAddress::from_bytes(body.data() + 12), (IpxAddress{0xA, peer, 0x4001}));
    ASSERT_EQ(call(ep, tliproto::kRcvudata, w, &body).terr, 0);
    EXPECT_EQ(IpxAddress::from_bytes(body.data() + 12), (IpxAddress{0xB, peer, 0x4001}));
    EXPECT_NE(call(ep, tliproto::kRcvudata, w, &body).terr, 0);
}

TEST_F(Routing, ConnectionsTakeTheirLinksPacketSizeAndChecksumsWhereCarried)
{
    auto connect = [&](uint32_t net, uint8_t flags) {
        uint32_t ep = stack.open(Service::Spx);
        bind(ep, 0, 0);
        uint8_t opt[8] = {flags, 0, 0, 0, 0xb8, 0x0b, 0x16, 0x02};  // max 534
        uint8_t addr[12];
        IpxAddress{net, {0, 0, 10, 0, 0, 0x22}, 0x8063}.to_bytes(addr);
        tliproto::Writer w;
        w.u32(12).u32(8).u32(0).bytes(addr, 12).bytes(opt, 8);
        uint32_t id = reqid++;
        auto m = tliproto::build(tliproto::kConnect, 0, id, 0, 0, w.data());
        stack.on_message(ep, m.data(), m.size(), 0, 0);
    };
    connect(0xA, 1);
    connect(0xB, 1);
    connect(0xB, 1);
    ASSERT_EQ(a->sent.size(), 1u);
    ASSERT_EQ(b->sent.size(), 2u);
    // Link A carries checksums; B (a tunnel) does not, and says so once.
    EXPECT_NE(a->sent[0].first[0], 0xFF);
    EXPECT_EQ(b->sent[0].first[0], 0xFF);
    EXPECT_EQ(std::count_if(io.logs.begin(), io.logs.end(),
                            [](const std::string &l) { return l.find("carries no IPX checksums") != std::string::npos; }),
              1);
    EXPECT_NE(stack.status().find("fake network 0000000a:02000000000a mtu 1500 up"), std::string::npos)
        << stack.status();
}

} // namespace
