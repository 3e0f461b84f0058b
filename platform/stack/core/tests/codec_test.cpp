// IPX and SPX codecs, addresses, and the impairment text and behaviour.
#include "ipx.h"
#include "link.h"
#include "spx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

using namespace ipxcore;

namespace {

std::vector<uint8_t> header_only(uint16_t length_field, size_t arrived) {
    std::vector<uint8_t> p(arrived, 0);
    p[0] = 0xFF;
    p[1] = 0xFF;
    if (arrived >= 4) {
        p[2] = static_cast<uint8_t>(length_field >> 8);
        p[3] = static_cast<uint8_t>(length_field);
    }
    return p;
}

} // namespace

TEST(IpxAddress, WireFormTextAndNodes) {
    const uint8_t wire[12] = {0x00, 0x00, 0xab, 0xcd, 0, 0, 0x7f, 0, 0, 1, 0x80, 0x63};
    IpxAddress a = IpxAddress::from_bytes(wire);
    EXPECT_EQ(a.net, 0xabcdu);
    EXPECT_EQ(a.node, node_from_host(0x7F000001));
    EXPECT_EQ(a.socket, 0x8063);
    EXPECT_EQ(a.text(), "0000abcd:00007f000001:8063");
    uint8_t back[12];
    a.to_bytes(back);
    EXPECT_EQ(0, memcmp(back, wire, 12));
    EXPECT_FALSE(a.is_broadcast_node());
    a.node = kBroadcastNode;
    EXPECT_TRUE(a.is_broadcast_node());
    EXPECT_EQ(a.text(), "0000abcd:ffffffffffff:8063");
}

TEST(IpxCodec, DecodeRejectsShortAndLyingPackets) {
    struct Row {
        const char *what;
        std::vector<uint8_t> pkt;
        bool ok;
        size_t data_len;
    };
    std::vector<Row> rows = {
        {"empty", {}, false, 0},
        {"29 bytes", header_only(29, 29), false, 0},
        {"length field below 30", header_only(29, 40), false, 0},
        {"length field 0", header_only(0, 40), false, 0},
        {"length beyond what arrived", header_only(31, 30), false, 0},
        {"length far beyond", header_only(0xFFFF, 100), false, 0},
        {"bare header", header_only(30, 30), true, 0},
        {"trailing bytes ignored", header_only(40, 50), true, 10},
        {"exact", header_only(576, 576), true, 546},
    };
    for (const auto &r : rows) {
        auto v = decode_ipx(r.pkt.empty() ? nullptr : r.pkt.data(), r.pkt.size());
        EXPECT_EQ(v.has_value(), r.ok) << r.what;
        if (v && r.ok) {
            EXPECT_EQ(v->data_len, r.data_len) << r.what;
            EXPECT_EQ(v->data, r.pkt.data() + 30) << r.what;
        }
    }
}

TEST(IpxCodec, ChecksumVectors) {
    // Words from offset 2 on, hops counted as zero, odd length padded.
    struct Row {
        const char *what;
        uint16_t length;
        uint8_t hops, type, last;
        uint16_t want;
    };
    std::vector<Row> rows = {
        {"all zero header", 30, 0, 0, 0, 0xFFE1},
        {"hops do not count", 30, 7, 0, 0, 0xFFE1},
        {"type counts", 30, 0, 5, 0, 0xFFDC},
        {"odd length padded", 31, 0, 0, 0xAB, 0x54E0},
    };
    for (const auto &r : rows) {
        std::vector<uint8_t> p(r.length, 0);
        p[2] = static_cast<uint8_t>(r.length >> 8);
        p[3] = static_cast<uint8_t>(r.length);
        p[4] = r.hops;
        p[5] = r.type;
        if (r.length > 30) p[r.length - 1] = r.last;
        EXPECT_EQ(ipx_checksum(p.data(), p.size()), r.want) << r.what;
    }
}

TEST(IpxCodec, EncodeDecodeWithAndWithoutChecksum) {
    IpxHeader h;
    h.type = kIpxTypePep;
    h.hops = 3;
    h.dst.net = 1;
    h.dst.node = kBroadcastNode;
    h.dst.socket = kSocketSap;
    h.src.net = 2;
    h.src.node = node_from_host(0x0A000001);
    h.src.socket = 0x4001;
    std::vector<uint8_t> data(33);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7);

    auto plain = encode_ipx(h, data.data(), data.size());
    ASSERT_EQ(plain.size(), 63u);
    EXPECT_EQ(plain[0], 0xFF);
    EXPECT_EQ(plain[1], 0xFF);
    EXPECT_EQ(plain[3], 63);
    auto v = decode_ipx(plain.data(), plain.size());
    ASSERT_TRUE(v);
    EXPECT_EQ(v->header.length, 63);
    EXPECT_EQ(v->header.type, kIpxTypePep);
    EXPECT_EQ(v->header.hops, 3);
    EXPECT_EQ(v->header.dst, h.dst);
    EXPECT_EQ(v->header.src, h.src);
    EXPECT_EQ(std::vector<uint8_t>(v->data, v->data + v->data_len), data);

    auto summed = encode_ipx(h, data.data(), data.size(), true);
    EXPECT_NE(summed[0] << 8 | summed[1], 0xFFFF);
    ASSERT_TRUE(decode_ipx(summed.data(), summed.size()));
    // A router bumps the hop count: still valid.
    summed[4]++;
    EXPECT_TRUE(decode_ipx(summed.data(), summed.size()));
    // Any other byte changed: rejected.
    for (size_t i = 2; i < summed.size(); i++) {
        if (i == 4) continue;
        auto bad = summed;
        bad[i] ^= 0x10;
        EXPECT_FALSE(decode_ipx(bad.data(), bad.size())) << "byte " << i;
    }
    auto bad = summed;
    bad[1] ^= 1;  // the checksum itself
    EXPECT_FALSE(decode_ipx(bad.data(), bad.size()));
}

TEST(SpxCodec, FieldsAtTheirOffsets) {
    SpxHeader h{0xC0, 0xFE, 0x1234, 0xFFFF, 0x0102, 0x0304, 0x0506};
    uint8_t b[12];
    encode_spx(h, b);
    const uint8_t want[12] = {0xC0, 0xFE, 0x12, 0x34, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(0, memcmp(b, want, 12));
    auto d = decode_spx(b, 12);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->control, 0xC0);
    EXPECT_EQ(d->dstype, 0xFE);
    EXPECT_EQ(d->src_id, 0x1234);
    EXPECT_EQ(d->dst_id, 0xFFFF);
    EXPECT_EQ(d->seq, 0x0102);
    EXPECT_EQ(d->ack, 0x0304);
    EXPECT_EQ(d->alloc, 0x0506);
    EXPECT_FALSE(decode_spx(b, 11));
    EXPECT_FALSE(decode_spx(nullptr, 12));
    EXPECT_TRUE(is_connect_request(*d));
    d->dst_id = 7;
    EXPECT_FALSE(is_connect_request(*d));  // a watchdog probe
    d->dst_id = 0xFFFF;
    d->control = kSpxSys;
    EXPECT_FALSE(is_connect_request(*d));
    d->control = kSpxSys | kSpxSendAck;
    d->src_id = kSpxUnknownId;  // nobody to answer
    EXPECT_FALSE(is_connect_request(*d));
}

TEST(SpxCodec, SequenceComparisonAcrossTheWrap) {
    EXPECT_TRUE(seq_lt(0xFFFF, 0));
    EXPECT_FALSE(seq_lt(0, 0xFFFF));
    EXPECT_TRUE(seq_lt(0xFFF0, 0x0010));
    EXPECT_TRUE(seq_le(5, 5));
    EXPECT_FALSE(seq_lt(5, 5));
    EXPECT_TRUE(seq_lt(0x7FFE, 0xFFFE));
}

TEST(ImpairmentParse, AcceptsEachItemAndRejectsBadOnes) {
    ImpairmentConfig c;
    std::string err;
    ASSERT_TRUE(Impairment::parse("loss=0.1,dup=0.2,reorder=0.3,corrupt=0.01,delay=5,jitter=2,hold=40,seed=7", c, err)) << err;
    EXPECT_DOUBLE_EQ(c.loss, 0.1);
    EXPECT_DOUBLE_EQ(c.duplicate, 0.2);
    EXPECT_DOUBLE_EQ(c.reorder, 0.3);
    EXPECT_DOUBLE_EQ(c.corrupt, 0.01);
    EXPECT_EQ(c.delay_ms, 5u);
    EXPECT_EQ(c.jitter_ms, 2u);
    EXPECT_EQ(c.reorder_hold_ms, 40u);
    EXPECT_EQ(c.seed, 7u);
    ASSERT_TRUE(Impairment::parse("", c, err));
    EXPECT_DOUBLE_EQ(c.loss, 0);

    struct Bad {
        const char *text;
        const char *mentions;
    };
    for (auto b : std::vector<Bad>{{"loss=1.5", "loss"},
                                   {"loss=-0.1", "loss"},
                                   {"loss=abc", "abc"},
                                   {"loss=", "loss"},
                                   {"loss", "loss"},
                                   {"delay=-1", "delay"},
                                   {"delay=5ms", "5ms"},
                                   {"jitter=99999999999", "jitter"},
                                   {"speed=3", "speed"},
                                   {"loss=0.1,", "comma"},
                                   {",loss=0.1", "\"\""},
                                   {"loss=nan", "loss"}}) {
        ImpairmentConfig keep;
        keep.loss = 0.5;
        err.clear();
        EXPECT_FALSE(Impairment::parse(b.text, keep, err)) << b.text;
        EXPECT_NE(err.find(b.mentions), std::string::npos) << b.text << ": " << err;
        EXPECT_DOUBLE_EQ(keep.loss, 0.5) << b.text;  // untouched on error
    }
}

TEST(ImpairmentApply, SeededRatesDelaysAndCorruption) {
    std::vector<uint8_t> pkt(100, 0x55);
    auto run = [&](ImpairmentConfig c, size_t n) {
        Impairment imp(c);
        std::vector<Impairment::Delivery> all;
        for (size_t i = 0; i < n; i++)
            for (auto &d : imp.apply(pkt, 1000)) all.push_back(std::move(d));
        return all;
    };
    ImpairmentConfig c;
    auto clean = run(c, 100);
    ASSERT_EQ(clean.size(), 100u);
    for (auto &d : clean) {
        EXPECT_EQ(d.at_ms, 1000u);
        EXPECT_EQ(d.packet, pkt);
    }

    c.loss = 0.1;
    c.duplicate = 0.1;
    c.seed = 3;
    auto a = run(c, 10000), b = run(c, 10000);
    ASSERT_EQ(a.size(), b.size());  // the same seed gives the same run
    // About 9000 survive, 10% of them doubled: ~9900.
    EXPECT_GT(a.size(), 9500u);
    EXPECT_LT(a.size(), 10300u);
    c.seed = 4;
    EXPECT_NE(run(c, 10000).size(), a.size());

    ImpairmentConfig d;
    d.delay_ms = 10;
    d.jitter_ms = 5;
    d.reorder = 1;
    d.reorder_hold_ms = 100;
    for (auto &x : run(d, 200)) {
        EXPECT_GE(x.at_ms, 1110u);
        EXPECT_LE(x.at_ms, 1115u);
    }

    ImpairmentConfig k;
    k.corrupt = 1;
    for (auto &x : run(k, 200)) {
        int diff = 0;
        for (size_t i = 0; i < pkt.size(); i++) diff += x.packet[i] != pkt[i];
        EXPECT_EQ(diff, 1);
    }
    ImpairmentConfig all_lost;
    all_lost.loss = 1;
    EXPECT_TRUE(run(all_lost, 100).empty());
}

TEST(Links, LoopbackKeepsOrderAndBoundsItsQueue) {
    LoopbackLink lo(3);
    std::vector<uint8_t> p;
    const Node any{};
    EXPECT_FALSE(lo.receive(p, 0));
    EXPECT_EQ(lo.next_deadline(), UINT64_MAX);
    for (uint8_t i = 1; i <= 3; i++) EXPECT_EQ(lo.send({i}, any, 0), SendResult::Sent);
    EXPECT_EQ(lo.send({4}, any, 0), SendResult::Dropped);
    EXPECT_EQ(lo.counters().dropped(Drop::QueueFull), 1u);
    EXPECT_EQ(lo.next_deadline(), 0u);
    for (uint8_t i = 1; i <= 3; i++) {
        ASSERT_TRUE(lo.receive(p, 0));
        EXPECT_EQ(p, std::vector<uint8_t>{i});
    }
    EXPECT_FALSE(lo.receive(p, 0));
    EXPECT_EQ(lo.counters().packets_in, 3u);
    EXPECT_EQ(lo.counters().packets_out, 3u);
}

TEST(Links, ImpairedLinkReleasesHeldPacketsWhenDue) {
    ImpairmentConfig c;
    c.delay_ms = 30;
    c.reorder = 0.5;
    c.reorder_hold_ms = 100;
    c.seed = 5;
    ImpairedLink link(std::make_unique<LoopbackLink>(), c);
    EXPECT_STREQ(link.kind(), "loopback");
    for (uint8_t i = 0; i < 20; i++) link.send({i}, Node{}, 1000);
    std::vector<uint8_t> p;
    EXPECT_FALSE(link.receive(p, 1029));
    EXPECT_EQ(link.next_deadline(), 1030u);
    std::vector<uint8_t> first, later;
    while (link.receive(p, 1030)) first.push_back(p[0]);
    EXPECT_GT(first.size(), 0u);
    EXPECT_LT(first.size(), 20u);  // some are held back
    EXPECT_EQ(link.next_deadline(), 1130u);
    while (link.receive(p, 1130)) later.push_back(p[0]);
    EXPECT_EQ(first.size() + later.size(), 20u);
    EXPECT_TRUE(std::is_sorted(first.begin(), first.end()));
    EXPECT_TRUE(std::is_sorted(later.begin(), later.end()));
    EXPECT_EQ(link.next_deadline(), UINT64_MAX);
}
