// The service table and the request handler.
#include "table.h"

#include <gtest/gtest.h>

using namespace ombrad;
using namespace std::chrono_literals;

namespace {

const Local kHere{0x0000ABCD, {0, 0, 127, 0, 0, 1}};
// Requests come from root's request socket unless a test says otherwise.
const sap::Address kClient{0x0000ABCD, {0, 0, 127, 0, 0, 1}, 0x1700};

sap::Bytes bind_req(const std::string &name, uint16_t socket = 0x8063, uint16_t seq = 1,
                    uint16_t type = 0x247)
{
    sap::Request r;
    r.code = sap::kCodeBind;
    r.seq = seq;
    r.type = type;
    r.socket = socket;
    r.name = name;
    r.node = {0, 0, 127, 0, 0, 1};
    return sap::encode_request(r);
}

sap::Bytes unbind_req(const std::string &name, uint16_t seq = 2, uint16_t type = 0x247)
{
    sap::Request r;
    r.code = sap::kCodeUnbind;
    r.seq = seq;
    r.type = type;
    r.name = name;
    return sap::encode_request(r);
}

RequestOutcome send(ServiceTable &t, const sap::Bytes &b, const sap::Address &from = kClient)
{
    return handle_request(t, b.data(), b.size(), from, kHere);
}

sap::Reply reply_of(const RequestOutcome &o)
{
    sap::Reply r{};
    EXPECT_TRUE(o.reply);
    EXPECT_TRUE(sap::decode_reply(o.reply_bytes.data(), o.reply_bytes.size(), r));
    return r;
}

} // namespace

TEST(Requests, BindRegistersAndAnnouncesAtTheLocalNetwork)
{
    ServiceTable t;
    RequestOutcome o = send(t, bind_req("TERM1", 0x8063, 41));
    sap::Reply r = reply_of(o);
    EXPECT_EQ(r.code, 0x8001);
    EXPECT_EQ(r.seq, 41);
    EXPECT_EQ(r.status, sap::kOk);
    ASSERT_EQ(o.announce.size(), 1u);
    EXPECT_EQ(o.announce[0].name, "TERM1");
    EXPECT_EQ(o.announce[0].hops, 0);
    sap::Address want{kHere.net, {0, 0, 127, 0, 0, 1}, 0x8063};
    EXPECT_EQ(o.announce[0].addr, want);
    ASSERT_EQ(t.local().size(), 1u);
    EXPECT_EQ(t.local()[0].addr, want);

    // The same service again: accepted, nothing new to announce.
    o = send(t, bind_req("TERM1", 0x8063, 42));
    EXPECT_EQ(reply_of(o).status, sap::kOk);
    EXPECT_TRUE(o.announce.empty());
    EXPECT_EQ(t.local().size(), 1u);
}

TEST(Requests, DuplicateNameAtAnotherSocketIsRefused)
{
    ServiceTable t;
    send(t, bind_req("TERM1", 0x8063));
    RequestOutcome o = send(t, bind_req("term1", 0x8064, 9));
    sap::Reply r = reply_of(o);
    EXPECT_EQ(r.seq, 9);
    EXPECT_EQ(r.status, sap::kNameInUse);
    EXPECT_TRUE(o.announce.empty());
    ASSERT_EQ(t.local().size(), 1u);
    EXPECT_EQ(t.local()[0].addr.socket, 0x8063) << "the first registration stays";

    // Another type may use the name.
    EXPECT_EQ(reply_of(send(t, bind_req("TERM1", 0x8064, 10, 0x4))).status, sap::kOk);
}

TEST(Requests, UnbindWithdrawsWithHopCount16)
{
    ServiceTable t;
    send(t, bind_req("TERM1"));
    RequestOutcome o = send(t, unbind_req("Term1", 77));
    sap::Reply r = reply_of(o);
    EXPECT_EQ(r.code, 0x8002);
    EXPECT_EQ(r.seq, 77);
    EXPECT_EQ(r.status, sap::kOk);
    ASSERT_EQ(o.announce.size(), 1u);
    EXPECT_EQ(o.announce[0].hops, sap::kHopsDown);
    EXPECT_EQ(o.announce[0].addr.socket, 0x8063) << "withdrawn at the address it had";
    EXPECT_TRUE(t.local().empty());

    // Now it is unknown; so is one of the right name but another type.
    send(t, bind_req("TERM1"));
    o = send(t, unbind_req("TERM1", 78, 0x4));
    EXPECT_EQ(reply_of(o).status, sap::kUnknownService);
    EXPECT_TRUE(o.announce.empty());
    EXPECT_EQ(t.local().size(), 1u);
    EXPECT_EQ(reply_of(send(t, unbind_req("NOSUCH"))).status, sap::kUnknownService);
}

TEST(Requests, MalformedRequestsAreAnsweredAndChangeNothing)
{
    ServiceTable t;
    send(t, bind_req("KEEP"));
    sap::Bytes bad_code = bind_req("X");
    bad_code[1] = 3;
    sap::Bytes long_name = bind_req(std::string(48, 'L'));
    sap::Bytes ctl_name = bind_req("A\x01" "B");
    sap::Bytes empty_name = bind_req("");
    sap::Bytes short_req = bind_req("SHORT");
    short_req.resize(40);
    sap::Bytes long_req = bind_req("LONG");
    long_req.push_back(0);
    sap::Bytes zero_node = bind_req("ZNODE");
    std::fill(zero_node.begin() + 56, zero_node.end(), 0);
    sap::Bytes bcast_node = bind_req("BNODE");
    std::fill(bcast_node.begin() + 56, bcast_node.end(), 0xFF);

    struct Case {
        const char *what;
        sap::Bytes bytes;
        int32_t status;
    } cases[] = {
        {"unknown code", bad_code, sap::kMalformed},
        {"too short", short_req, sap::kMalformed},
        {"too long", long_req, sap::kMalformed},
        {"name of 48 characters", long_name, sap::kBadName},
        {"control character in name", ctl_name, sap::kBadName},
        {"empty name", empty_name, sap::kBadName},
        {"socket 0", bind_req("S0", 0), sap::kBadService},
        {"type 0", bind_req("T0", 0x8063, 1, 0), sap::kBadService},
        {"type FFFF", bind_req("TF", 0x8063, 1, 0xFFFF), sap::kBadService},
        {"node 0", zero_node, sap::kBadService},
        {"broadcast node", bcast_node, sap::kBadService},
    };
    for (const Case &c : cases) {
        RequestOutcome o = send(t, c.bytes);
        sap::Reply r = reply_of(o);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.code, uint16_t(((c.bytes[0] << 8) | c.bytes[1]) | 0x8000)) << c.what;
        EXPECT_EQ(r.seq, (c.bytes[2] << 8) | c.bytes[3]) << c.what;
        EXPECT_TRUE(o.announce.empty()) << c.what;
        EXPECT_FALSE(o.log.empty()) << c.what;
    }
    ASSERT_EQ(t.local().size(), 1u);
    EXPECT_EQ(t.local()[0].name, "KEEP");
}

TEST(Requests, ForeignAndTinyDatagramsAreDroppedWithoutReply)
{
    ServiceTable t;
    sap::Address other_node = kClient;
    other_node.node[5] = 2;
    sap::Address other_net = kClient;
    other_net.net = 0x0000ABCE;
    for (const sap::Address &from : {other_node, other_net}) {
        RequestOutcome o = send(t, bind_req("TERM1"), from);
        EXPECT_FALSE(o.reply);
        EXPECT_TRUE(o.announce.empty());
        EXPECT_NE(o.log.find("not from this host"), std::string::npos);
        EXPECT_FALSE(send(t, unbind_req("TERM1"), from).reply);
    }
    EXPECT_TRUE(t.local().empty());

    sap::Bytes three = {0, 1, 0};
    RequestOutcome o = send(t, three);
    EXPECT_FALSE(o.reply);
    EXPECT_FALSE(o.log.empty());
}

TEST(Requests, FullTableRefusesNewServicesOnly)
{
    ServiceTable t(Limits{2, 10});
    EXPECT_EQ(reply_of(send(t, bind_req("A", 0x8001))).status, sap::kOk);
    EXPECT_EQ(reply_of(send(t, bind_req("B", 0x8002))).status, sap::kOk);
    RequestOutcome full = send(t, bind_req("C", 0x8003));
    EXPECT_EQ(reply_of(full).status, sap::kTableFull);
    EXPECT_NE(full.log.find("service table full (2 services, the limit)"), std::string::npos)
        << full.log;
    EXPECT_EQ(reply_of(send(t, bind_req("A", 0x8001))).status, sap::kOk) << "re-registration";
    send(t, unbind_req("A"));
    EXPECT_EQ(reply_of(send(t, bind_req("C", 0x8003))).status, sap::kOk);
}

TEST(LearnedServices, AgeOutAfterThreeMissedPeriods)
{
    ServiceTable t;
    Time t0{};
    sap::Entry far{0x4, "FS1", {0x22, {0, 0, 10, 0, 0, 9}, 0x451}, 1};
    sap::Entry other{0x4, "FS2", {0x22, {0, 0, 10, 0, 0, 8}, 0x451}, 2};
    EXPECT_EQ(t.learn(far, t0), ServiceTable::Learned::added);
    EXPECT_EQ(t.learn(other, t0 + 30s), ServiceTable::Learned::added);
    EXPECT_EQ(t.next_expiry(), t0 + 180s);

    // Heard again after two periods: the clock starts over for it.
    EXPECT_EQ(t.learn(far, t0 + 120s), ServiceTable::Learned::refreshed);
    EXPECT_EQ(t.next_expiry(), t0 + 210s);
    EXPECT_TRUE(t.expire(t0 + 209s).empty());
    std::vector<sap::Entry> gone = t.expire(t0 + 210s);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].name, "FS2");
    EXPECT_TRUE(t.expire(t0 + 299s).empty());
    EXPECT_EQ(t.expire(t0 + 300s).size(), 1u);
    EXPECT_EQ(t.learned_count(), 0u);
    EXPECT_FALSE(t.next_expiry());
}

TEST(LearnedServices, WithdrawalAndOddHopCounts)
{
    ServiceTable t(Limits{10, 1});
    Time t0{};
    sap::Entry e{0x4, "FS1", {0x22, {0, 0, 10, 0, 0, 9}, 0x451}, 3};
    sap::Entry down = e;
    down.hops = 16;
    EXPECT_EQ(t.learn(down, t0), ServiceTable::Learned::ignored) << "unknown, nothing to withdraw";
    EXPECT_EQ(t.learn(e, t0), ServiceTable::Learned::added);
    sap::Entry beyond = e;
    beyond.hops = 17;
    EXPECT_EQ(t.learn(beyond, t0), ServiceTable::Learned::ignored);
    sap::Entry lower = e;
    lower.name = "fs1";
    EXPECT_EQ(t.learn(lower, t0), ServiceTable::Learned::refreshed) << "names fold case";
    sap::Entry another{0x4, "FS3", e.addr, 1};
    EXPECT_EQ(t.learn(another, t0), ServiceTable::Learned::full);
    EXPECT_EQ(t.learn(down, t0 + 1s), ServiceTable::Learned::withdrawn);
    EXPECT_EQ(t.learned_count(), 0u);
}

TEST(LearnedServices, FindListsLocalFirstAndFiltersByType)
{
    ServiceTable t;
    bool added;
    sap::Entry mine{0x247, "TERM1", {0x1, {0, 0, 1, 2, 3, 4}, 0x8063}, 0};
    t.bind(mine, kClient, added);
    sap::Entry heard{0x4, "FS1", {0x22, {0, 0, 10, 0, 0, 9}, 0x451}, 1};
    t.learn(heard, Time{});
    EXPECT_EQ(t.find(sap::kAllTypes, true), (std::vector<sap::Entry>{mine, heard}));
    EXPECT_EQ(t.find(sap::kAllTypes, false), (std::vector<sap::Entry>{mine}));
    EXPECT_EQ(t.find(0x4, true), (std::vector<sap::Entry>{heard}));
    EXPECT_TRUE(t.find(0x99, true).empty());
}

// Any user may bind a socket from 0x4000 up, and the request library binds
// root's request socket 0x1700: only privileged senders change the table,
// and only the registering address withdraws.
TEST(Requests, OnlyPrivilegedSocketsRegisterAndOnlyTheOwnerWithdraws)
{
    ServiceTable t;
    ASSERT_EQ(reply_of(send(t, bind_req("TERM1"))).status, sap::kOk);

    for (uint16_t socket : {uint16_t(0x4000), uint16_t(0x7FFF), uint16_t(0x8063), uint16_t(0)}) {
        sap::Address user = kClient;
        user.socket = socket;
        RequestOutcome o = send(t, unbind_req("TERM1", 5), user);
        EXPECT_EQ(reply_of(o).status, sap::kNotPrivileged) << socket;
        EXPECT_EQ(reply_of(o).code, 0x8002);
        EXPECT_TRUE(o.announce.empty());
        EXPECT_NE(o.log.find("not from a privileged socket"), std::string::npos) << o.log;
        o = send(t, bind_req("FAKE", 0x8064, 6), user);
        EXPECT_EQ(reply_of(o).status, sap::kNotPrivileged) << socket;
        EXPECT_TRUE(o.announce.empty());
    }
    ASSERT_EQ(t.local().size(), 1u);
    EXPECT_EQ(t.local()[0].name, "TERM1");

    // Another privileged program may not withdraw it either, nor re-register
    // it elsewhere; the owner still can.
    sap::Address other = kClient;
    other.socket = 0x0300;
    EXPECT_EQ(reply_of(send(t, unbind_req("term1"), other)).status, sap::kNotOwner);
    EXPECT_EQ(reply_of(send(t, bind_req("TERM1", 0x9000), other)).status, sap::kNameInUse);
    EXPECT_EQ(t.local().size(), 1u);
    EXPECT_EQ(reply_of(send(t, unbind_req("TERM1"))).status, sap::kOk);
    EXPECT_TRUE(t.local().empty());
}
