// The links' pure parts, from tables: Ethernet frames of the four types, the
// relay's own packets, the arrival check every link applies, and the
// impaired line's integrity check.
#include "frame.h"
#include "link.h"
#include "relay_wire.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace ipxcore;

namespace {

std::vector<uint8_t> ipx_packet(size_t data_len, uint16_t sum = 0xFFFF)
{
    IpxHeader h;
    h.type = 4;
    h.dst = {0x10, kBroadcastNode, 0x452};
    h.src = {0x10, {0, 0, 10, 0, 0, 1}, 0x452};
    std::vector<uint8_t> d(data_len);
    for (size_t i = 0; i < data_len; i++) d[i] = static_cast<uint8_t>(i * 7);
    auto p = encode_ipx(h, d.data(), d.size(), sum != 0xFFFF);
    return p;
}

const Mac kA{0x02, 0, 0, 0, 0, 0x0a}, kB{0x02, 0, 0, 0, 0, 0x0b};

} // namespace

TEST(Frames, EachTypeRoundTripsAndPaddingIsCutByTheIpxLength)
{
    struct Row {
        FrameType type;
        const char *name;
        size_t head;
        std::vector<uint8_t> after_macs;  // the bytes that mark the type
    };
    const std::vector<Row> rows = {
        {FrameType::EthernetII, "ethernet_ii", 14, {0x81, 0x37}},
        {FrameType::Raw8023, "802.3", 14, {0x00, 0x1e, 0xff, 0xff}},
        {FrameType::Llc8022, "802.2", 17, {0x00, 0x21, 0xe0, 0xe0, 0x03}},
        {FrameType::Snap, "snap", 22, {0x00, 0x26, 0xaa, 0xaa, 0x03, 0, 0, 0, 0x81, 0x37}},
    };
    for (const Row &r : rows) {
        FrameType parsed;
        ASSERT_TRUE(parse_frame_type(r.name, parsed)) << r.name;
        EXPECT_EQ(parsed, r.type);
        EXPECT_EQ(frame_overhead(r.type), r.head) << r.name;
        for (size_t data : {size_t(0), size_t(100), size_t(1470)}) {
            if (r.head + 30 + data > 1514) continue;
            auto ipx = ipx_packet(data);
            auto f = encode_frame(r.type, kB, kA, ipx.data(), ipx.size());
            EXPECT_EQ(f.size(), std::max<size_t>(60, r.head + ipx.size())) << r.name << " " << data;
            EXPECT_EQ(0, std::memcmp(f.data(), kB.data(), 6));
            EXPECT_EQ(0, std::memcmp(f.data() + 6, kA.data(), 6));
            if (data == 0) {  // the bare header: 802.3 lengths are 30 plus LLC
                EXPECT_EQ(std::vector<uint8_t>(f.begin() + 12, f.begin() + 12 + static_cast<long>(r.after_macs.size())),
                          r.after_macs) << r.name;
            }
            FrameView v = decode_frame(f.data(), f.size());
            ASSERT_EQ(v.kind, FrameKind::Ipx) << r.name;
            EXPECT_EQ(v.type, r.type) << r.name;
            EXPECT_EQ(v.src, kA);
            EXPECT_EQ(v.dst, kB);
            ASSERT_GE(v.len, ipx.size());
            size_t len = v.len;
            EXPECT_FALSE(check_arrival(v.payload, len, 1500)) << r.name;
            EXPECT_EQ(std::vector<uint8_t>(v.payload, v.payload + len), ipx) << r.name;
        }
    }
    FrameType t;
    EXPECT_FALSE(parse_frame_type("ethernet_802.2", t));
    EXPECT_FALSE(parse_frame_type("", t));
}

TEST(Frames, OtherProtocolsAndCutFramesAreTold)
{
    auto ipx = ipx_packet(10);
    auto raw = encode_frame(FrameType::Raw8023, kB, kA, ipx.data(), ipx.size());
    auto with = [&](size_t at, std::vector<uint8_t> bytes) {
        auto f = raw;
        std::copy(bytes.begin(), bytes.end(), f.begin() + static_cast<long>(at));
        return f;
    };
    struct Row {
        const char *what;
        std::vector<uint8_t> frame;
        FrameKind kind;
    };
    const std::vector<Row> rows = {
        {"13 bytes", std::vector<uint8_t>(raw.begin(), raw.begin() + 13), FrameKind::Truncated},
        {"IPv4", with(12, {0x08, 0x00}), FrameKind::NotIpx},
        {"length 1501..1535 is no type", with(12, {0x05, 0xdd}), FrameKind::NotIpx},
        {"802.3 length past the frame", with(12, {0x00, 0x40}), FrameKind::Truncated},
        {"another LLC", with(14, {0x42, 0x42, 0x03}), FrameKind::NotIpx},
        {"SNAP of IPv4", with(14, {0xaa, 0xaa, 0x03, 0, 0, 0, 0x08, 0x00}), FrameKind::NotIpx},
    };
    for (const Row &r : rows)
        EXPECT_EQ(decode_frame(r.frame.data(), r.frame.size()).kind, r.kind) << r.what;
}

TEST(Arrival, EveryLinkDropsBadPacketsByCause)
{
    auto good = ipx_packet(20);  // 50 bytes
    auto set16 = [](std::vector<uint8_t> p, size_t at, uint16_t v) {
        p[at] = static_cast<uint8_t>(v >> 8);
        p[at + 1] = static_cast<uint8_t>(v);
        return p;
    };
    auto bcast_src = good;
    std::memset(bcast_src.data() + 22, 0xff, 6);
    auto summed = ipx_packet(20, 0);
    auto damaged = summed;
    damaged[40] ^= 0x10;
    struct Row {
        const char *what;
        std::vector<uint8_t> pkt;
        size_t mtu;
        std::optional<Drop> drop;
        size_t len;  // after a pass
    };
    std::vector<uint8_t> padded = good;
    padded.resize(60, 0);
    const std::vector<Row> rows = {
        {"good", good, 576, std::nullopt, 50},
        {"padding cut", padded, 576, std::nullopt, 50},
        {"29 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 29), 576, Drop::Short, 0},
        {"length field 29", set16(good, 2, 29), 576, Drop::BadLength, 0},
        {"length beyond", set16(good, 2, 51), 576, Drop::Truncated, 0},
        {"over the MTU", ipx_packet(600), 576, Drop::Oversized, 0},
        {"broadcast source", bcast_src, 576, Drop::BroadcastSource, 0},
        {"good checksum", summed, 576, std::nullopt, 50},
        {"checksum mismatch", damaged, 576, Drop::Damaged, 0},
    };
    for (const Row &r : rows) {
        size_t len = r.pkt.size();
        auto got = check_arrival(r.pkt.data(), len, r.mtu);
        EXPECT_EQ(got, r.drop) << r.what;
        if (!r.drop) {
            EXPECT_EQ(len, r.len) << r.what;
        }
    }
}

TEST(RelayWire, RegistrationPingAndNodes)
{
    Node n = relay_node(0x0AD50003, 57722);
    EXPECT_EQ(n, (Node{10, 213, 0, 3, 0xe1, 0x7a}));
    uint32_t ip;
    uint16_t port;
    relay_endpoint(n, ip, port);
    EXPECT_EQ(ip, 0x0AD50003u);
    EXPECT_EQ(port, 57722);

    // The registration as DOSBox sends it: a bare header, every address
    // zero, sockets 2.
    std::vector<uint8_t> want(30, 0);
    want[0] = want[1] = 0xff;
    want[3] = 30;
    want[17] = 2;
    want[29] = 2;
    EXPECT_EQ(relay_registration({}), want);
    auto again = relay_registration(n);
    EXPECT_EQ(0, std::memcmp(again.data() + 22, n.data(), 6));

    Node pinger = relay_node(0x0AD50001, 2000);
    auto answer = relay_ping_answer(n, pinger);
    ASSERT_EQ(answer.size(), 30u);
    EXPECT_EQ(0, std::memcmp(answer.data() + 10, pinger.data(), 6));
    EXPECT_EQ(0, std::memcmp(answer.data() + 22, n.data(), 6));
    EXPECT_EQ(answer[17], 2);
    EXPECT_EQ(answer[29], 2);

    // The server's answer names our node from network 1, socket 2.
    IpxHeader h;
    h.dst = {0, n, 2};
    h.src = {1, relay_node(0x0AD50002, 213), 2};
    auto reg = encode_ipx(h, nullptr, 0);
    Node got{};
    EXPECT_EQ(classify_relay(reg.data(), reg.size(), got), RelayKind::Registration);
    EXPECT_EQ(got, n);
    // A ping broadcast names the pinger.
    h.dst = {0, kBroadcastNode, 2};
    h.src = {0, pinger, 2};
    auto ping = encode_ipx(h, nullptr, 0);
    EXPECT_EQ(classify_relay(ping.data(), ping.size(), got), RelayKind::Ping);
    EXPECT_EQ(got, pinger);
    // Another host's answer to a ping, or a forged "registration" from
    // network 0, is no registration.
    EXPECT_EQ(classify_relay(answer.data(), answer.size(), got), RelayKind::Other);
    // Anything not to socket 2 is data for the stack.
    auto data = ipx_packet(5);
    EXPECT_EQ(classify_relay(data.data(), data.size(), got), RelayKind::Data);
}

// The impaired line checks its frames as real links do: damage in transit
// is dropped and counted, never delivered; only `damage` (a faulty host)
// gets past the check.
TEST(Links, ImpairedLineNeverDeliversWhatItDamagedInTransit)
{
    auto run = [](ImpairmentConfig c, int n, int &changed, int &delivered) {
        ImpairedLink link(std::make_unique<LoopbackLink>(), c);
        auto pkt = ipx_packet(200);
        changed = delivered = 0;
        for (int i = 0; i < n; i++) link.send(pkt, Node{}, 1000);
        std::vector<uint8_t> p;
        while (link.receive(p, 2000)) {
            delivered++;
            changed += p != pkt;
        }
        return link.counters().dropped(Drop::Damaged);
    };
    int changed, delivered;
    ImpairmentConfig c;
    c.corrupt = 0.3;
    c.duplicate = 0.2;
    c.seed = 11;
    uint64_t damaged = run(c, 1000, changed, delivered);
    EXPECT_EQ(changed, 0);
    EXPECT_GT(damaged, 200u);
    EXPECT_GT(delivered, 700);
    c = {};
    c.corrupt = 1;
    EXPECT_EQ(run(c, 50, changed, delivered), 50u);
    EXPECT_EQ(delivered, 0);
    c = {};
    c.damage = 1;
    EXPECT_EQ(run(c, 50, changed, delivered), 0u);
    EXPECT_EQ(changed, 50);
}
