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

// Local services are checked against the stack: at once when added, then
// every period; a closed socket or one taken by another user withdraws
// them, a stack that does not answer withdraws nothing.
TEST_F(EngineTest, ServicesWhoseSocketsAreGoneAreWithdrawn)
{
    sap::Request far;
    far.code = sap::kCodeBind;
    far.type = 0x247;
    far.socket = 0x8065;
    far.name = "ELSEWHERE";
    far.node = {0, 0, 10, 0, 0, 9};
    request(sap::encode_request(far));
    EXPECT_FALSE(engine.next_check()) << "a service at another node cannot be checked here";

    request(bind_req("TERM1", 0x8063));
    request(bind_req("TERM2", 0x8064));
    request(bind_req("TERM3", 0x8064));
    out.clear();
    EXPECT_TRUE(engine.take_saved_change());
    ASSERT_EQ(engine.next_check(), t0) << "checked at once";
    std::vector<uint16_t> sockets = {0x8063, 0x8064};
    ASSERT_EQ(engine.check_sockets(), sockets);
    engine.on_check(sockets, {{true, 0}, {true, 0}}, t0, out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(engine.take_saved_change()) << "the holders were seen";
    EXPECT_EQ(engine.saved()[0], (SavedService{engine.table().local()[1], 0, kClient.socket}));
    EXPECT_EQ(engine.next_check(), t0 + kCheckPeriod);

    // The stack does not answer: nothing is withdrawn, one warning.
    logged.clear();
    engine.on_check_failed("no answer", t0 + kCheckPeriod);
    engine.on_check_failed("no answer", t0 + 2 * kCheckPeriod);
    EXPECT_EQ(engine.table().local().size(), 4u);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].first, Level::warning);
    EXPECT_EQ(engine.next_check(), t0 + 3 * kCheckPeriod);

    // 0x8063 was closed; 0x8064 is now held by another user.
    logged.clear();
    Time t = t0 + 3 * kCheckPeriod;
    engine.on_check(sockets, {{false, -1}, {true, 1000}}, t, out);
    ASSERT_EQ(out.size(), 1u);
    std::vector<sap::Entry> down = entries_of(out[0]);
    ASSERT_EQ(down.size(), 3u);
    for (const sap::Entry &e : down)
        EXPECT_EQ(e.hops, sap::kHopsDown);
    EXPECT_EQ(down[0].name, "TERM1");
    ASSERT_EQ(engine.table().local().size(), 1u);
    EXPECT_EQ(engine.table().local()[0].name, "ELSEWHERE");
    ASSERT_EQ(logged.size(), 4u);
    EXPECT_EQ(logged[1].second, "withdrew \"TERM1\" type 0247 at 0000abcd:00007f000001:8063: "
                                "socket 8063 is no longer bound");
    EXPECT_EQ(logged[2].second, "withdrew \"TERM2\" type 0247 at 0000abcd:00007f000001:8064: "
                                "socket 8064 is now bound by user 1000, not user 0");
    EXPECT_TRUE(engine.take_saved_change());
    EXPECT_TRUE(engine.saved().empty());
    EXPECT_FALSE(engine.next_check());

    // Registered again on a socket now held by another user: that user is
    // its holder from now on.
    out.clear();
    request(bind_req("TERM2", 0x8064), kClient);
    ASSERT_EQ(engine.next_check(), t0) << "checked at the next chance";
    engine.on_check({0x8064}, {{true, 1000}}, t, out);
    EXPECT_EQ(engine.table().local().size(), 2u);
}

// Saved services come back only when the stack confirms that the same
// user still holds their sockets.
TEST_F(EngineTest, RestoredServicesWaitForTheStack)
{
    auto entry = [](const std::string &name, uint16_t socket) {
        return sap::Entry{0x247, name, {0, kHere.node, socket}, 0};
    };
    std::vector<SavedService> saved = {
        {entry("ALIVE", 0x8063), 0, 0x1701},
        {entry("CLOSED", 0x8064), 0},
        {entry("TAKEN", 0x8065), 0},
        {entry("UNSEEN", 0x8066), std::nullopt},
        {sap::Entry{0x247, "MOVED", {0, {0, 0, 10, 0, 0, 9}, 0x8067}, 0}, 0},
        {entry("ALIVE2", 0x8063), 0},
    };
    engine.restore(saved);
    EXPECT_EQ(logged.size(), 1u) << "MOVED is not at our node";
    EXPECT_TRUE(engine.table().local().empty()) << "nothing is advertised before the check";
    request(bind_req("ALIVE2", 0x8063));  // its owner registered again meanwhile
    out.clear();
    ASSERT_EQ(engine.saved().size(), 6u) << "the unchecked ones are kept too";
    ASSERT_EQ(engine.next_check(), t0);
    std::vector<uint16_t> sockets = {0x8063, 0x8064, 0x8065, 0x8066};
    ASSERT_EQ(engine.check_sockets(), sockets);

    logged.clear();
    engine.on_check(sockets, {{true, 0}, {false, -1}, {true, 1000}, {true, 0}}, t0, out);
    ASSERT_EQ(out.size(), 1u);
    std::vector<sap::Entry> up = entries_of(out[0]);
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0], (sap::Entry{0x247, "ALIVE", {kHere.net, kHere.node, 0x8063}, 0}));
    ASSERT_EQ(engine.table().local().size(), 2u);
    EXPECT_EQ(logged.size(), 4u) << "one line for each dropped and for the restored";
    EXPECT_TRUE(engine.take_saved_change());
    std::vector<SavedService> now = engine.saved();
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(now[0].uid, 0);
    EXPECT_EQ(now[1].uid, 0);

    // A restored service is still withdrawn only by the socket that
    // registered it.
    sap::Request r;
    r.code = sap::kCodeUnbind;
    r.type = 0x247;
    r.socket = 0x8063;
    r.name = "ALIVE";
    r.node = kHere.node;
    out.clear();
    request(sap::encode_request(r), kClient);
    sap::Reply reply;
    ASSERT_TRUE(sap::decode_reply(out[0].data.data(), out[0].data.size(), reply));
    EXPECT_EQ(reply.status, sap::kNotOwner);
    out.clear();
    request(sap::encode_request(r), sap::Address{kHere.net, kHere.node, 0x1701});
    ASSERT_TRUE(sap::decode_reply(out[0].data.data(), out[0].data.size(), reply));
    EXPECT_EQ(reply.status, sap::kOk);
}
