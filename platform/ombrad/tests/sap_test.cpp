// SAP packets and the request protocol on the wire.
#include "sap.h"

#include <gtest/gtest.h>

using namespace sap;

namespace {

Entry entry(const std::string &name, uint16_t type = 0x247, uint16_t hops = 0)
{
    Entry e;
    e.type = type;
    e.name = name;
    e.addr = {0x0000ABCD, {0, 0, 10, 1, 2, 3}, 0x8063};
    e.hops = hops;
    return e;
}

// A one-entry General Service Response, byte by byte.
Bytes response_bytes(const std::string &name)
{
    Bytes b = {0x00, 0x02, 0x02, 0x47};
    for (size_t i = 0; i < 48; ++i)
        b.push_back(i < name.size() ? uint8_t(name[i]) : 0);
    Bytes tail = {0x00, 0x00, 0xAB, 0xCD, 0, 0, 10, 1, 2, 3, 0x80, 0x63, 0x00, 0x01};
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

} // namespace

TEST(SapPacket, ResponseLayoutIsByteExact)
{
    std::vector<Bytes> packets = encode_responses(kGeneralResponse, {entry("TERM1", 0x247, 1)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], response_bytes("TERM1"));

    Packet pk;
    std::string why;
    ASSERT_TRUE(decode_packet(packets[0].data(), packets[0].size(), pk, why)) << why;
    EXPECT_EQ(pk.op, kGeneralResponse);
    ASSERT_EQ(pk.entries.size(), 1u);
    EXPECT_EQ(pk.entries[0], entry("TERM1", 0x247, 1));
}

TEST(SapPacket, ResponsesSplitAtSevenEntries)
{
    std::vector<Entry> all;
    for (int i = 0; i < 15; ++i)
        all.push_back(entry("SVC" + std::to_string(i)));
    std::vector<Bytes> packets = encode_responses(kGeneralResponse, all);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].size(), 2 + 7 * kEntrySize);
    EXPECT_EQ(packets[1].size(), 2 + 7 * kEntrySize);
    EXPECT_EQ(packets[2].size(), 2 + 1 * kEntrySize);

    std::vector<Entry> back;
    for (const Bytes &b : packets) {
        Packet pk;
        std::string why;
        ASSERT_TRUE(decode_packet(b.data(), b.size(), pk, why)) << why;
        back.insert(back.end(), pk.entries.begin(), pk.entries.end());
    }
    EXPECT_EQ(back, all);
    EXPECT_TRUE(encode_responses(kGeneralResponse, {}).empty());
}

TEST(SapPacket, LongNameIsCutAndAlwaysTerminated)
{
    std::string long_name(60, 'N');
    Bytes b = encode_responses(kGeneralResponse, {entry(long_name)})[0];
    EXPECT_EQ(b[2 + 2 + 47], 0) << "the name field keeps its NUL";
    Packet pk;
    std::string why;
    ASSERT_TRUE(decode_packet(b.data(), b.size(), pk, why)) << why;
    EXPECT_EQ(pk.entries[0].name, std::string(47, 'N'));
}

TEST(SapPacket, Queries)
{
    Bytes q = encode_query(kNearestQuery, 0x0247);
    EXPECT_EQ(q, (Bytes{0x00, 0x03, 0x02, 0x47}));
    Packet pk;
    std::string why;
    ASSERT_TRUE(decode_packet(q.data(), q.size(), pk, why));
    EXPECT_EQ(pk.op, kNearestQuery);
    EXPECT_EQ(pk.type, 0x0247);
    EXPECT_TRUE(pk.entries.empty());
}

TEST(SapPacket, MalformedPacketsAreRefusedWhole)
{
    auto with = [](Bytes b, size_t at, uint8_t v) {
        b[at] = v;
        return b;
    };
    Bytes good = response_bytes("TERM1");
    Bytes eight;
    eight.push_back(0);
    eight.push_back(2);
    for (int i = 0; i < 8; ++i)
        eight.insert(eight.end(), good.begin() + 2, good.end());
    Bytes nearest_two = eight;
    nearest_two.resize(2 + 2 * kEntrySize);
    nearest_two[1] = 4;
    Bytes unterminated = good;
    for (size_t i = 0; i < 48; ++i)
        unterminated[4 + i] = 'X';

    struct Case {
        const char *what;
        Bytes bytes;
    } cases[] = {
        {"empty", {}},
        {"one byte", {0x00}},
        {"query cut short", {0x00, 0x01, 0xFF}},
        {"query with trailing bytes", {0x00, 0x01, 0xFF, 0xFF, 0x00}},
        {"response without entries", {0x00, 0x02}},
        {"response with a truncated entry", Bytes(good.begin(), good.end() - 1)},
        {"response with a partial second entry", [&] {
             Bytes b = good;
             b.insert(b.end(), good.begin() + 2, good.begin() + 40);
             return b;
         }()},
        {"eight entries", eight},
        {"nearest response with two entries", nearest_two},
        {"empty name", with(good, 4, 0)},
        {"name without NUL in its field", unterminated},
        {"control character in name", with(good, 5, 0x07)},
        {"non-ASCII name", with(good, 5, 0xC3)},
        {"unknown operation", with(good, 1, 9)},
        {"operation zero", {0x00, 0x00, 0x00, 0x00}},
    };
    for (const Case &c : cases) {
        Packet pk;
        pk.op = 77;
        std::string why;
        EXPECT_FALSE(decode_packet(c.bytes.data(), c.bytes.size(), pk, why)) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
        EXPECT_EQ(pk.op, 77) << c.what << ": nothing decoded";
    }
}

TEST(SapPacket, NamesCompareWithoutCase)
{
    EXPECT_TRUE(same_name("term1", "TERM1"));
    EXPECT_FALSE(same_name("TERM1", "TERM12"));
    EXPECT_FALSE(same_name("TERM[", "TERM{")) << "only letters fold";
    EXPECT_TRUE(valid_name(std::string(47, 'A')));
    EXPECT_FALSE(valid_name(std::string(48, 'A')));
    EXPECT_FALSE(valid_name(""));
}

TEST(RequestCodec, RequestLayoutIsByteExact)
{
    Request r;
    r.code = kCodeBind;
    r.seq = 0x1234;
    r.type = 0x0247;
    r.socket = 0x8063;
    r.name = "TERM1";
    r.node = {0, 0, 127, 0, 0, 1};
    Bytes b = encode_request(r);
    ASSERT_EQ(b.size(), kRequestSize);
    Bytes head = {0x00, 0x01, 0x12, 0x34, 0x02, 0x47, 0x80, 0x63, 'T', 'E', 'R', 'M', '1', 0};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), b.begin()));
    EXPECT_EQ(Bytes(b.begin() + 56, b.end()), (Bytes{0, 0, 127, 0, 0, 1}));

    Request back;
    std::string why;
    ASSERT_TRUE(decode_request(b.data(), b.size(), back, why));
    EXPECT_EQ(back.code, r.code);
    EXPECT_EQ(back.seq, r.seq);
    EXPECT_EQ(back.type, r.type);
    EXPECT_EQ(back.socket, r.socket);
    EXPECT_EQ(back.name, r.name);
    EXPECT_EQ(back.node, r.node);

    // A name filling the whole field has no NUL; it is read as 48 long.
    r.name = std::string(48, 'Q');
    b = encode_request(r);
    ASSERT_TRUE(decode_request(b.data(), b.size(), back, why));
    EXPECT_EQ(back.name, r.name);
    EXPECT_EQ(back.node, r.node);

    for (size_t n : {0u, 4u, 61u, 63u}) {
        Bytes bad(n, 0);
        EXPECT_FALSE(decode_request(bad.data(), bad.size(), back, why)) << n;
    }
}

TEST(RequestCodec, ReplyLayoutAndNegativeStatus)
{
    Bytes b = encode_reply({0x8001, 7, kNameInUse});
    EXPECT_EQ(b, (Bytes{0x80, 0x01, 0x00, 0x07, 0xFF, 0xFF, 0xFF, 0xFC}));
    Reply r;
    ASSERT_TRUE(decode_reply(b.data(), b.size(), r));
    EXPECT_EQ(r.status, kNameInUse);
    EXPECT_FALSE(decode_reply(b.data(), 7, r));
}
