// The daemon's behaviour: what it sends for each datagram and over time.
#include "engine.h"

#include <gtest/gtest.h>

using namespace ombrad;
using namespace std::chrono_literals;

namespace {

const Local kHere{0x0000ABCD, {0, 0, 127, 0, 0, 1}};
const sap::Address kClient{kHere.net, kHere.node, 0x1700};  // root's request socket
const sap::Address kRemote{kHere.net, {0, 0, 10, 0, 0, 7}, 0x4005};
const sap::Address kBroadcast{kHere.net, sap::kBroadcastNode, sap::kSapSocket};
const Time t0{};

sap::Bytes bind_req(const std::string &name, uint16_t socket)
{
    sap::Request r;
    r.code = sap::kCodeBind;
    r.seq = 5;
    r.type = 0x247;
    r.socket = socket;
    r.name = name;
    r.node = kHere.node;
    return sap::encode_request(r);
}

std::vector<sap::Entry> entries_of(const Send &s, uint16_t want_op = sap::kGeneralResponse)
{
    sap::Packet pk;
    std::string why;
    EXPECT_TRUE(sap::decode_packet(s.data.data(), s.data.size(), pk, why)) << why;
    EXPECT_EQ(pk.op, want_op);
    return pk.entries;
}

struct EngineTest : ::testing::Test {
    std::vector<std::pair<Level, std::string>> logged;
    Engine engine{kHere, t0, Limits{}, [this](Level l, const std::string &s) {
                      logged.emplace_back(l, s);
                  }};
    std::vector<Send> out;

    void request(const sap::Bytes &b, const sap::Address &from = kClient)
    {
        engine.on_request(b.data(), b.size(), from, t0, out);
    }
    void sap_in(const sap::Bytes &b, const sap::Address &from, Time at = t0)
    {
        engine.on_sap(b.data(), b.size(), from, at, out);
    }
};

} // namespace

TEST_F(EngineTest, BindIsRepliedFromTheRequestSocketAndBroadcastAtOnce)
{
    request(bind_req("TERM1", 0x8063));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].from_socket, sap::kRequestSocket);
    EXPECT_EQ(out[0].to, kClient);
    sap::Reply r;
    ASSERT_TRUE(sap::decode_reply(out[0].data.data(), out[0].data.size(), r));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(out[1].from_socket, sap::kSapSocket);
    EXPECT_EQ(out[1].to, kBroadcast);
    std::vector<sap::Entry> e = entries_of(out[1]);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].name, "TERM1");
    EXPECT_EQ(e[0].addr, (sap::Address{kHere.net, kHere.node, 0x8063}));
}

TEST_F(EngineTest, ForeignRequestIsDroppedAndLogged)
{
    request(bind_req("TERM1", 0x8063), kRemote);
    EXPECT_TRUE(out.empty());
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].first, Level::warning);
    EXPECT_TRUE(engine.table().local().empty());

    // A flood is logged only in part, and counted once a period.
    for (int i = 0; i < 100; ++i)
        request(bind_req("TERM1", 0x8063), kRemote);
    EXPECT_EQ(logged.size(), 20u);
    engine.on_timer(t0 + 60s, out);
    ASSERT_EQ(logged.size(), 21u);
    EXPECT_EQ(logged.back().second, "81 more requests dropped");
    request(bind_req("TERM1", 0x8063), kRemote);
    EXPECT_EQ(logged.size(), 22u) << "a fresh budget";
}

TEST_F(EngineTest, PeriodicBroadcastEverySixtySeconds)
{
    for (int i = 0; i < 9; ++i)
        request(bind_req("SVC" + std::to_string(i), uint16_t(0x8000 + i)));
    out.clear();
    EXPECT_EQ(engine.next_deadline(), t0 + 60s);
    engine.on_timer(t0 + 59s, out);
    EXPECT_TRUE(out.empty());
    engine.on_timer(t0 + 60s, out);
    ASSERT_EQ(out.size(), 2u) << "nine services take two packets";
    EXPECT_EQ(entries_of(out[0]).size(), 7u);
    EXPECT_EQ(entries_of(out[1]).size(), 2u);
    EXPECT_EQ(out[0].to, kBroadcast);
    EXPECT_EQ(engine.next_deadline(), t0 + 120s);

    // A long stall does not cause a burst of catch-up broadcasts.
    out.clear();
    engine.on_timer(t0 + 1000s, out);
    EXPECT_EQ(out.size(), 2u);
    EXPECT_EQ(engine.next_deadline(), t0 + 1060s);
}

TEST_F(EngineTest, QueriesAreAnsweredToTheQuerier)
{
    request(bind_req("TERM1", 0x8063));
    sap::Entry far{0x4, "FS1", {0x22, {0, 0, 10, 0, 0, 9}, 0x451}, 2};
    sap_in(sap::encode_responses(sap::kGeneralResponse, {far})[0], kRemote);
    out.clear();

    // A local tool hears what we advertise and what we learned.
    sap_in(sap::encode_query(sap::kGeneralQuery, sap::kAllTypes), kClient);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to, kClient);
    EXPECT_EQ(out[0].from_socket, sap::kSapSocket);
    std::vector<sap::Entry> e = entries_of(out[0]);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].name, "TERM1");
    EXPECT_EQ(e[1], far);

    // Another host hears only our own services.
    out.clear();
    sap_in(sap::encode_query(sap::kGeneralQuery, sap::kAllTypes), kRemote);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to, kRemote);
    EXPECT_EQ(entries_of(out[0]).size(), 1u);

    // Type filter; no match, no answer.
    out.clear();
    sap_in(sap::encode_query(sap::kGeneralQuery, 0x4), kRemote);
    EXPECT_TRUE(out.empty());

    // Nearest query: one entry, the one with the fewest hops.
    sap_in(sap::encode_query(sap::kNearestQuery, sap::kAllTypes), kClient);
    ASSERT_EQ(out.size(), 1u);
    e = entries_of(out[0], sap::kNearestResponse);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].name, "TERM1");
}

TEST_F(EngineTest, LearnsOthersIgnoresItselfAndAgesOut)
{
    sap::Entry far{0x4, "FS1", {0x22, {0, 0, 10, 0, 0, 9}, 0x451}, 1};
    sap::Entry ours_relayed{0x4, "MINE", {kHere.net, kHere.node, 0x9000}, 2};
    sap_in(sap::encode_responses(sap::kGeneralResponse, {far, ours_relayed})[0], kRemote);
    sap::Entry echo{0x4, "ECHO", {0x22, {0, 0, 10, 0, 0, 5}, 0x451}, 1};
    sap_in(sap::encode_responses(sap::kGeneralResponse, {echo})[0],
           sap::Address{kHere.net, kHere.node, sap::kSapSocket});
    EXPECT_TRUE(out.empty()) << "responses are never answered";
    EXPECT_EQ(engine.table().find(sap::kAllTypes, true), std::vector<sap::Entry>{far});
    EXPECT_EQ(engine.next_deadline(), t0 + 60s);

    engine.on_timer(t0 + 179s, out);
    EXPECT_EQ(engine.table().learned_count(), 1u);
    EXPECT_EQ(engine.next_deadline(), t0 + 180s);
    engine.on_timer(t0 + 180s, out);
    EXPECT_EQ(engine.table().learned_count(), 0u);
    EXPECT_TRUE(out.empty()) << "nothing local to broadcast";
}

TEST_F(EngineTest, GarbageOnTheSapSocketIsDropped)
{
    request(bind_req("TERM1", 0x8063));
    out.clear();
    sap::Bytes junk = {0x00, 0x02, 0x01};
    sap_in(junk, kRemote);
    sap_in({}, kRemote);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(engine.table().local().size(), 1u);
}

TEST_F(EngineTest, WithdrawAllBroadcastsHopCount16)
{
    request(bind_req("A", 0x8001));
    request(bind_req("B", 0x8002));
    out.clear();
    engine.withdraw_all(out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to, kBroadcast);
    std::vector<sap::Entry> e = entries_of(out[0]);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].hops, 16);
    EXPECT_EQ(e[1].hops, 16);
    EXPECT_TRUE(engine.table().local().empty());
}
