// The endpoint message codec: exact lengths, short bodies, headers.
#include "proto.h"

#include <gtest/gtest.h>

using namespace tliproto;

TEST(Proto, HeaderRoundTripAndLength)
{
    Writer w;
    w.i32(-5).u32(7).bytes("abc", 3);
    auto msg = build(kBind, kFlagBlock, 42, 3, 4, w.data());
    ASSERT_EQ(msg.size(), kHeaderLen + 11);
    Header h = get_header(msg.data());
    EXPECT_EQ(h.type, kBind);
    EXPECT_EQ(h.flags, kFlagBlock);
    EXPECT_EQ(h.len, msg.size());
    EXPECT_EQ(h.reqid, 42u);
    EXPECT_EQ(h.terr, 3);
    EXPECT_EQ(h.syserr, 4);
    Reader r(msg.data() + kHeaderLen, msg.size() - kHeaderLen);
    int32_t a;
    uint32_t b;
    char s[3];
    EXPECT_TRUE(r.i32(a) && r.u32(b) && r.bytes(s, 3));
    EXPECT_TRUE(r.done());
    EXPECT_EQ(a, -5);
    EXPECT_EQ(b, 7u);
}

TEST(Proto, ReaderRejectsShortAndLongBodies)
{
    uint8_t body[6] = {1, 0, 0, 0, 2, 0};
    Reader r(body, sizeof(body));
    uint32_t v;
    EXPECT_TRUE(r.u32(v));
    EXPECT_FALSE(r.done());  // two bytes left over
    EXPECT_FALSE(r.u32(v));  // only two bytes left
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.done());
    const uint8_t *p;
    EXPECT_FALSE(r.view(p, 1));  // stays failed
    // A length field larger than what follows never reads past the end.
    Reader r2(body, sizeof(body));
    EXPECT_FALSE(r2.view(p, 0xFFFFFFFFu));
    Reader r3(body, sizeof(body));
    uint32_t n;
    r3.u32(n);
    EXPECT_FALSE(r3.view(p, 3));
}

TEST(Proto, InfoBodyIsExact)
{
    InfoBody in;
    in.addr = 12;
    in.tsdu = -1;
    in.servtype = 1;
    in.state = 5;
    Writer w;
    in.write(w);
    InfoBody out;
    Reader r(w.data().data(), w.data().size());
    EXPECT_TRUE(out.read(r) && r.done());
    EXPECT_EQ(out.tsdu, -1);
    EXPECT_EQ(out.state, 5);
    Reader shortr(w.data().data(), w.data().size() - 1);
    EXPECT_FALSE(out.read(shortr));
}

TEST(Proto, TypeNames)
{
    EXPECT_EQ(type_name(kListen), "listen");
    EXPECT_EQ(type_name(kListen | kReply), "reply to listen");
    EXPECT_EQ(type_name(999), "type 999");
}
