// SPX connections end to end over the fake network: handshake, data,
// segmentation, flow control, retransmission, watchdog, end of connection.
#include "fakenet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace ipxcore;
using fakenet::Net;
using fakenet::Pump;

namespace {

bool both_established(Net &n) {
    return n.conn[0] && n.conn[1] && n.c(0).state() == SpxState::Established &&
           n.c(1).state() == SpxState::Established;
}

void establish(Net &n) {
    n.connect();
    ASSERT_TRUE(n.run_until([&] { return both_established(n); }, 60000));
}

std::string read_all(SpxConnection &c, uint64_t now, size_t cap = 4096) {
    std::string s;
    std::vector<uint8_t> buf(cap);
    while (c.readable()) {
        SpxReadResult r = c.read(buf.data(), cap, now);
        s.append(reinterpret_cast<char *>(buf.data()), r.bytes);
        if (r.bytes == 0 && !r.end_of_unit) break;
    }
    return s;
}

size_t send_str(SpxConnection &c, const std::string &s, uint64_t now, bool eou = true, bool attn = false) {
    return c.send(reinterpret_cast<const uint8_t *>(s.data()), s.size(), eou, attn, now);
}

SpxHeader spx_of(const std::vector<uint8_t> &pkt) {
    auto v = decode_ipx(pkt.data(), pkt.size());
    EXPECT_TRUE(v.has_value());
    return *decode_spx(v->data, v->data_len);
}

// Transfers `bytes` in units up to `max_unit` in both directions at once,
// then closes from side 0, and checks every unit arrived whole, once, in
// order, before the end of connection.
void transfer_and_close(Net &n, uint64_t seed, size_t bytes, size_t max_unit) {
    establish(n);
    Pump p[2];
    p[0].fill(seed, bytes, max_unit);
    p[1].fill(seed + 100, bytes / 2, max_unit);
    auto app = [&] {
        for (int i = 0; i < 2; i++) {
            p[i].send_some(n.c(i), n.now);
            p[i].read_some(n.c(1 - i), n.now);
        }
    };
    ASSERT_TRUE(n.run_until([&] { return p[0].all_received() && p[1].all_received(); },
                            3600 * 1000, app))
        << "units " << p[0].got.size() << "/" << p[0].units.size() << " and " << p[1].got.size()
        << "/" << p[1].units.size();
    EXPECT_EQ(p[0].got, p[0].units);
    EXPECT_EQ(p[1].got, p[1].units);
    n.c(0).close(n.now);
    ASSERT_TRUE(n.run_until([&] { return n.c(0).state() == SpxState::Closed && n.c(1).peer_closed_and_drained(); },
                            600 * 1000, app));
    EXPECT_EQ(n.c(0).close_reason(), SpxCloseReason::LocalClose);
    EXPECT_EQ(n.c(1).state(), SpxState::Closed);
    EXPECT_EQ(n.c(1).close_reason(), SpxCloseReason::PeerClose);
}

} // namespace

TEST(SpxHandshake, RequestAndAcknowledgementCarryTheIds) {
    Net n;
    n.record = true;
    establish(n);
    ASSERT_FALSE(n.sent[0].empty());
    ASSERT_FALSE(n.sent[1].empty());
    SpxHeader req = spx_of(n.sent[0][0]);
    EXPECT_EQ(req.control, kSpxSys | kSpxSendAck);
    EXPECT_EQ(req.src_id, n.id[0]);
    EXPECT_EQ(req.dst_id, kSpxUnknownId);
    EXPECT_EQ(req.seq, 0);
    EXPECT_EQ(req.ack, 0);
    EXPECT_EQ(req.alloc, n.cfg[0].recv_window - 1);
    SpxHeader ack = spx_of(n.sent[1][0]);
    EXPECT_EQ(ack.control, kSpxSys);
    EXPECT_EQ(ack.src_id, n.id[1]);
    EXPECT_EQ(ack.dst_id, n.id[0]);
    EXPECT_EQ(ack.seq, 0);
    EXPECT_EQ(ack.ack, 0);
    EXPECT_EQ(n.c(0).remote_id(), n.id[1]);
    EXPECT_EQ(n.c(1).remote_id(), n.id[0]);
    auto v = decode_ipx(n.sent[0][0].data(), n.sent[0][0].size());
    EXPECT_EQ(v->header.type, kIpxTypeSpx);
    EXPECT_EQ(v->header.src, n.addr[0]);
    EXPECT_EQ(v->header.dst, n.addr[1]);
}

TEST(SpxHandshake, LostAcknowledgementIsRepeatedForTheRepeatedRequest) {
    Net n;
    n.cut[1] = true;
    n.connect();
    n.advance(100);
    ASSERT_TRUE(n.conn[1].has_value());
    EXPECT_EQ(n.c(0).state(), SpxState::Connecting);
    n.cut[1] = false;
    ASSERT_TRUE(n.run_until([&] { return both_established(n); }, 10000));
    EXPECT_GE(n.c(0).stats().retransmissions, 1u);
}

TEST(SpxHandshake, UnansweredRequestEndsRefusedAfterTheRetries) {
    Net n;
    n.cut[0] = true;
    n.cfg[0].retry_limit = 3;
    n.connect();
    ASSERT_TRUE(n.run_until([&] { return n.c(0).state() != SpxState::Connecting; }, 600000));
    EXPECT_EQ(n.c(0).state(), SpxState::Aborted);
    EXPECT_EQ(n.c(0).close_reason(), SpxCloseReason::Refused);
    EXPECT_EQ(n.c(0).stats().retransmissions, 3u);
    EXPECT_EQ(n.c(0).next_deadline(), UINT64_MAX);
}

TEST(SpxHandshake, ConnectTimeoutCutsTheAttemptShort) {
    Net n;
    n.cut[0] = true;
    n.cfg[0].connect_timeout_ms = 1500;
    uint64_t t0 = n.now;
    n.connect();
    ASSERT_TRUE(n.run_until([&] { return n.c(0).state() != SpxState::Connecting; }, 600000));
    EXPECT_EQ(n.c(0).close_reason(), SpxCloseReason::Refused);
    EXPECT_EQ(n.now - t0, 1500u);
}

TEST(SpxHandshake, ListenerThatClosesAnOfferRefusesAtOnce) {
    Net n;
    n.auto_accept = false;
    n.connect();
    ASSERT_TRUE(n.run_until([&] { return n.conn[1].has_value(); }, 1000));
    EXPECT_EQ(n.c(1).state(), SpxState::Offered);
    n.c(1).close(n.now);
    ASSERT_TRUE(n.run_until([&] { return n.c(0).state() != SpxState::Connecting; }, 1000));
    EXPECT_EQ(n.c(0).state(), SpxState::Aborted);
    EXPECT_EQ(n.c(0).close_reason(), SpxCloseReason::Refused);
    EXPECT_EQ(n.c(0).stats().retransmissions, 0u);
}

TEST(SpxData, UnitLargerThanAPacketIsSegmentedWithEomOnItsLastPacket) {
    Net n;
    n.record = true;
    establish(n);
    std::string unit(2000, 'x');
    for (size_t i = 0; i < unit.size(); i++) unit[i] = static_cast<char>('a' + i % 26);
    size_t before = n.sent[0].size();
    EXPECT_EQ(send_str(n.c(0), unit, n.now), unit.size());
    std::vector<SpxHeader> data;
    for (size_t i = before; i < n.sent[0].size(); i++) {
        SpxHeader h = spx_of(n.sent[0][i]);
        if (!(h.control & kSpxSys)) data.push_back(h);
    }
    ASSERT_EQ(data.size(), 4u);  // 534 * 3 + 398
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(data[i].seq, i);
        EXPECT_EQ(bool(data[i].control & kSpxEom), i == 3) << i;
        EXPECT_TRUE(data[i].control & kSpxSendAck);
    }
    ASSERT_TRUE(n.run_until([&] { return n.c(1).buffered() == unit.size(); }, 1000));
    // A reader with a small buffer gets the unit in parts; only the last says
    // the unit ended.
    uint8_t buf[700];
    std::string got;
    int parts = 0;
    for (;;) {
        SpxReadResult r = n.c(1).read(buf, sizeof buf, n.now);
        got.append(reinterpret_cast<char *>(buf), r.bytes);
        parts++;
        if (r.end_of_unit) break;
        ASSERT_EQ(r.bytes, sizeof buf);
    }
    EXPECT_EQ(parts, 3);
    EXPECT_EQ(got, unit);
    EXPECT_FALSE(n.c(1).readable());
}

TEST(SpxData, ReadStopsAtEachUnitEnd) {
    Net n;
    establish(n);
    send_str(n.c(0), "one", n.now);
    send_str(n.c(0), "two", n.now);
    send_str(n.c(0), "", n.now);  // an empty unit
    send_str(n.c(0), "thr", n.now, false);
    send_str(n.c(0), "ee", n.now, true);
    ASSERT_TRUE(n.run_until([&] { return n.c(1).buffered() == 11; }, 1000));
    uint8_t buf[100];
    std::vector<std::pair<std::string, bool>> reads;
    while (n.c(1).readable()) {
        SpxReadResult r = n.c(1).read(buf, sizeof buf, n.now);
        reads.emplace_back(std::string(reinterpret_cast<char *>(buf), r.bytes), r.end_of_unit);
    }
    std::vector<std::pair<std::string, bool>> want{{"one", true}, {"two", true}, {"", true}, {"three", true}};
    EXPECT_EQ(reads, want);
}

TEST(SpxData, AttentionBytesAreNeverMixedWithNormalBytes) {
    Net n;
    establish(n);
    send_str(n.c(0), "abc", n.now, false);
    send_str(n.c(0), "!", n.now, true, true);
    send_str(n.c(0), "def", n.now, true);
    ASSERT_TRUE(n.run_until([&] { return n.c(1).buffered() == 7; }, 1000));
    uint8_t buf[100];
    EXPECT_FALSE(n.c(1).next_is_attention());
    SpxReadResult r = n.c(1).read(buf, sizeof buf, n.now);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), r.bytes), "abc");
    EXPECT_FALSE(r.attention);
    EXPECT_FALSE(r.end_of_unit);
    EXPECT_TRUE(n.c(1).next_is_attention());
    r = n.c(1).read(buf, sizeof buf, n.now);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), r.bytes), "!");
    EXPECT_TRUE(r.attention);
    EXPECT_TRUE(r.end_of_unit);
    r = n.c(1).read(buf, sizeof buf, n.now);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), r.bytes), "def");
    EXPECT_FALSE(r.attention);
    EXPECT_TRUE(r.end_of_unit);
}

TEST(SpxData, CleanLinkTransferInBothDirections) {
    Net n;
    transfer_and_close(n, 1, 200 * 1024, 3000);
    EXPECT_EQ(n.c(0).stats().retransmissions, 0u);
    EXPECT_EQ(n.c(1).stats().duplicates, 0u);
}

TEST(SpxData, SmallWritesWaitingForTheWindowShareAPacket) {
    Net n;
    n.cfg[1].recv_window = 1;
    establish(n);
    n.c(1);  // the reader never reads: one packet fills its window
    for (int i = 0; i < 50; i++) send_str(n.c(0), "ab", n.now, false);
    n.advance(200);
    // 1 packet delivered; the other 98 bytes wait in one packet, not 49.
    EXPECT_EQ(n.c(0).stats().data_packets_sent, 1u);
    EXPECT_EQ(n.c(1).buffered(), 2u);
    std::string got = read_all(n.c(1), n.now);
    ASSERT_TRUE(n.run_until([&] { return n.c(1).buffered() == 98; }, 5000));
    EXPECT_EQ(n.c(0).stats().data_packets_sent, 2u);
}

class SpxImpaired : public ::testing::TestWithParam<uint64_t> {};

TEST_P(SpxImpaired, AllDataArrivesOnceInOrderUnderLossDuplicationAndReordering) {
    Net n;
    ImpairmentConfig ic;
    ic.loss = 0.1;
    ic.duplicate = 0.1;
    ic.reorder = 0.1;
    ic.delay_ms = 5;
    ic.jitter_ms = 10;
    for (int i = 0; i < 2; i++) {
        ic.seed = GetParam() * 2 + static_cast<uint64_t>(i);
        n.impair(i, ic);
    }
    transfer_and_close(n, GetParam(), 300 * 1024, 2500);
    EXPECT_GT(n.c(0).stats().retransmissions, 0u);
    EXPECT_GT(n.c(1).stats().duplicates, 0u);
}

TEST_P(SpxImpaired, CorruptedPacketsAreCaughtByTheChecksum) {
    Net n;
    ImpairmentConfig ic;
    ic.corrupt = 0.1;
    ic.loss = 0.02;
    for (int i = 0; i < 2; i++) {
        ic.seed = GetParam() * 7 + static_cast<uint64_t>(i);
        n.impair(i, ic);
        n.cfg[i].checksum = true;
    }
    transfer_and_close(n, GetParam(), 100 * 1024, 1500);
    EXPECT_GT(n.undecodable, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SpxImpaired, ::testing::Values(1, 2, 3, 4));

TEST(SpxData, SequenceNumbersWrapPastFFFF) {
    Net n;
    for (int i = 0; i < 2; i++) n.cfg[i].max_data = 4;
    ImpairmentConfig ic;
    ic.loss = 0.05;
    ic.reorder = 0.05;
    ic.seed = 9;
    n.impair(0, ic);
    establish(n);
    Pump p;
    p.fill(5, 70000 * 4, 12);
    auto app = [&] {
        p.send_some(n.c(0), n.now);
        p.read_some(n.c(1), n.now);
    };
    ASSERT_TRUE(n.run_until([&] { return p.all_received(); }, 24 * 3600 * 1000ull, app));
    EXPECT_EQ(p.got, p.units);
    EXPECT_GT(n.c(0).stats().data_packets_sent, 70000u);
    n.c(0).close(n.now);
    ASSERT_TRUE(n.run_until([&] { return n.c(1).peer_closed_and_drained(); }, 60000, app));
}

TEST(SpxFlow, ReaderThatDoesNotReadStopsTheSenderAndReadingReopens) {
    Net n;
    n.cfg[1].recv_window = 4;
    n.cfg[0].send_buffer = 8 * 1024;
    establish(n);
    Pump p;
    p.fill(3, 64 * 1024, 1000);
    p.reading = false;
    auto app = [&] {
        p.send_some(n.c(0), n.now);
        p.read_some(n.c(1), n.now);
    };
    // Two minutes without reading: the sender fills its buffer and stops;
    // nobody gives up, since probes of the closed window are answered.
    n.advance(120 * 1000, app);
    EXPECT_EQ(n.c(0).state(), SpxState::Established);
    EXPECT_EQ(n.c(1).state(), SpxState::Established);
    EXPECT_EQ(n.c(0).send_space(), 0u);
    EXPECT_LE(n.c(1).buffered(), 4u * kSpxMaxData);
    EXPECT_EQ(n.c(1).stats().out_of_window, 0u);
    uint64_t sent = n.c(0).stats().data_packets_sent;
    EXPECT_LE(sent, 4u);
    p.reading = true;
    ASSERT_TRUE(n.run_until([&] { return p.all_received(); }, 600 * 1000, app));
    EXPECT_EQ(p.got, p.units);
}

TEST(SpxFlow, LostWindowUpdateIsRecoveredByTheProbe) {
    Net n;
    n.cfg[1].recv_window = 2;
    establish(n);
    Pump p;
    p.fill(4, 20 * 1024, 600);
    p.reading = false;
    auto app = [&] {
        p.send_some(n.c(0), n.now);
        p.read_some(n.c(1), n.now);
    };
    n.advance(1000, app);
    // The reader empties its buffers but the window update is lost.
    n.cut[1] = true;
    p.reading = true;
    p.read_some(n.c(1), n.now);
    n.advance(1, app);
    n.cut[1] = false;
    ASSERT_TRUE(n.run_until([&] { return p.all_received(); }, 600 * 1000, app));
    EXPECT_EQ(p.got, p.units);
}

TEST(SpxRetransmit, GivesUpIntoAbortedAfterTheRetryLimit) {
    Net n;
    n.cfg[0].retry_limit = 5;
    n.cfg[0].abort_idle_ms = 0;  // only the retries decide
    establish(n);
    n.cut[0] = true;
    send_str(n.c(0), "lost", n.now);
    ASSERT_TRUE(n.run_until([&] { return n.c(0).state() == SpxState::Aborted; }, 3600 * 1000));
    EXPECT_EQ(n.c(0).close_reason(), SpxCloseReason::Timeout);
    EXPECT_EQ(n.c(0).stats().retransmissions, 5u);
    EXPECT_EQ(n.c(0).next_deadline(), UINT64_MAX);
    EXPECT_EQ(n.c(0).send_space(), 0u);
}

TEST(SpxRetransmit, TimeoutFollowsTheMeasuredRoundTripWithinItsBounds) {
    Net n;
    ImpairmentConfig ic;
    ic.delay_ms = 150;
    for (int i = 0; i < 2; i++) n.impair(i, ic);
    n.cfg[0].rto_min_ms = 200;
    n.cfg[0].rto_max_ms = 2000;
    establish(n);
    Pump p;
    p.fill(6, 50 * 1024, 500);
    auto app = [&] {
        p.send_some(n.c(0), n.now);
        p.read_some(n.c(1), n.now);
    };
    ASSERT_TRUE(n.run_until([&] { return p.all_received(); }, 600 * 1000, app));
    const SpxStats &s = n.c(0).stats();
    EXPECT_EQ(s.retransmissions, 0u);  // no spurious timeouts on a slow link
    EXPECT_NEAR(s.srtt_ms, 300.0, 20.0);
    EXPECT_GE(s.rto_ms, 300u);
    EXPECT_LE(s.rto_ms, 2000u);

    // A dead link: successive timeouts back off, up to the ceiling.
    n.cut[0] = true;
    send_str(n.c(0), "x", n.now);
    std::vector<uint64_t> at;
    uint64_t last = n.c(0).stats().retransmissions;
    n.run_until([&] { return at.size() == 6; }, 3600 * 1000, [&] {
        if (n.c(0).stats().retransmissions != last) {
            last = n.c(0).stats().retransmissions;
            at.push_back(n.now);
        }
    });
    ASSERT_EQ(at.size(), 6u);
    for (size_t i = 2; i < at.size(); i++) EXPECT_GE(at[i] - at[i - 1], at[i - 1] - at[i - 2]);
    EXPECT_EQ(at[5] - at[4], 2000u);
}

TEST(SpxWatchdog, SilentPeerIsProbedThenDeclaredDead) {
    Net n;
    n.cfg[0].verify_idle_ms = 3000;
    n.cfg[0].abort_idle_ms = 30000;
    establish(n);
    // An idle but live connection survives long silences of the application.
    n.advance(120 * 1000);
    EXPECT_EQ(n.c(0).state(), SpxState::Established);
    EXPECT_EQ(n.c(1).state(), SpxState::Established);
    EXPECT_GT(n.c(0).stats().watchdog_probes, 0u);
    // The peer dies: nothing more comes from it.
    n.cut[1] = true;
    uint64_t died = n.now;
    uint64_t probes = n.c(0).stats().watchdog_probes;
    ASSERT_TRUE(n.run_until([&] { return n.c(0).state() == SpxState::Aborted; }, 3600 * 1000));
    EXPECT_EQ(n.c(0).close_reason(), SpxCloseReason::WatchdogTimeout);
    EXPECT_LE(n.now - died, 30000u + 3000u);
    EXPECT_GE(n.now - died, 30000u - 3000u);
    EXPECT_GE(n.c(0).stats().watchdog_probes - probes, 5u);
}

TEST(SpxClose, PeerReadsAllDataBeforeTheEndOfConnection) {
    Net n;
    n.cfg[1].recv_window = 3;
    establish(n);
    std::string data(5000, 'q');
    ASSERT_EQ(send_str(n.c(0), data, n.now), data.size());
    n.c(0).close(n.now);
    EXPECT_EQ(n.c(0).state(), SpxState::Closing);
    EXPECT_EQ(n.c(0).send_space(), 0u);
    // The reader has not read: the end of connection waits behind the data.
    n.advance(5000);
    EXPECT_EQ(n.c(0).state(), SpxState::Closing);
    EXPECT_FALSE(n.c(1).peer_closed_and_drained());
    std::string got;
    ASSERT_TRUE(n.run_until([&] { return n.c(1).peer_closed_and_drained(); }, 60000,
                            [&] {
                                EXPECT_FALSE(n.c(1).peer_closed_and_drained() && n.c(1).readable());
                                got += read_all(n.c(1), n.now, 100);
                            }));
    EXPECT_EQ(got, data);
    ASSERT_TRUE(n.run_until([&] { return n.c(0).state() == SpxState::Closed; }, 60000));
    EXPECT_EQ(n.c(0).close_reason(), SpxCloseReason::LocalClose);
    EXPECT_EQ(n.c(1).close_reason(), SpxCloseReason::PeerClose);
    EXPECT_EQ(n.c(0).next_deadline(), UINT64_MAX);
    EXPECT_EQ(n.c(1).next_deadline(), UINT64_MAX);
}

TEST(SpxClose, ListenerSideCloseUnderLoss) {
    Net n;
    ImpairmentConfig ic;
    ic.loss = 0.2;
    for (int i = 0; i < 2; i++) {
        ic.seed = 40 + static_cast<uint64_t>(i);
        n.impair(i, ic);
    }
    establish(n);
    std::string data(20000, 'z');
    ASSERT_EQ(send_str(n.c(1), data, n.now), data.size());
    n.c(1).close(n.now);
    std::string got;
    ASSERT_TRUE(n.run_until([&] { return n.c(0).peer_closed_and_drained(); }, 600000,
                            [&] { got += read_all(n.c(0), n.now); }));
    EXPECT_EQ(got, data);
    ASSERT_TRUE(n.run_until([&] { return n.c(1).state() == SpxState::Closed; }, 600000));
    EXPECT_EQ(n.c(1).close_reason(), SpxCloseReason::LocalClose);
}

TEST(SpxClose, LostAnswerIsGivenAgainEvenAfterTheConnectionIsGone) {
    for (bool gone : {false, true}) {
        Net n;
        n.answer_stray = true;
        establish(n);
        n.cut[1] = true;  // the 0xFF answer is lost
        n.c(0).close(n.now);
        ASSERT_TRUE(n.run_until([&] { return n.c(1).state() == SpxState::Closed; }, 10000));
        EXPECT_EQ(n.c(0).state(), SpxState::Closing);
        n.cut[1] = false;
        if (gone) n.conn[1].reset();
        ASSERT_TRUE(n.run_until([&] { return n.c(0).state() != SpxState::Closing; }, 600000)) << gone;
        EXPECT_EQ(n.c(0).state(), SpxState::Closed) << gone;
        EXPECT_EQ(n.c(0).close_reason(), SpxCloseReason::LocalClose) << gone;
    }
}

TEST(SpxClose, BothSidesClosingAtOnceEndInOrder) {
    Net n;
    establish(n);
    send_str(n.c(0), "from a", n.now);
    send_str(n.c(1), "from b", n.now);
    n.c(0).close(n.now);
    n.c(1).close(n.now);
    ASSERT_TRUE(n.run_until([&] {
        return n.c(0).state() == SpxState::Closed && n.c(1).state() == SpxState::Closed;
    }, 60000));
    EXPECT_NE(n.c(0).state(), SpxState::Aborted);
}

TEST(SpxClose, AbortSendsNothingAndDropsEverything) {
    Net n;
    n.record = true;
    establish(n);
    send_str(n.c(1), "pending", n.now);
    n.advance(100);
    size_t sent = n.sent[0].size();
    n.c(0).abort();
    EXPECT_EQ(n.c(0).state(), SpxState::Aborted);
    EXPECT_EQ(n.c(0).close_reason(), SpxCloseReason::LocalAbort);
    EXPECT_FALSE(n.c(0).readable());
    EXPECT_EQ(n.c(0).send(reinterpret_cast<const uint8_t *>("x"), 1, true, false, n.now), 0u);
    n.advance(60000);
    EXPECT_EQ(n.sent[0].size(), sent);
    EXPECT_EQ(n.c(1).state(), SpxState::Aborted);  // its watchdog finds out
    EXPECT_EQ(n.c(1).close_reason(), SpxCloseReason::WatchdogTimeout);
}

TEST(SpxAck, DelayedAcknowledgementWaitsAndRidesOnData) {
    Net n;
    n.record = true;
    n.cfg[1].ack_delay_ms = 50;
    establish(n);
    auto acks_from_b = [&] {
        int k = 0;
        for (auto &p : n.sent[1]) {
            SpxHeader h = spx_of(p);
            if (h.control == kSpxSys && h.ack > 0) k++;
        }
        return k;
    };
    send_str(n.c(0), "ping", n.now);
    n.advance(20);
    EXPECT_EQ(acks_from_b(), 0);
    n.advance(40);
    EXPECT_EQ(acks_from_b(), 1);
    // A reply within the delay carries the acknowledgement: no lone ack.
    send_str(n.c(0), "ping", n.now);
    n.advance(10);
    send_str(n.c(1), "pong", n.now);
    n.advance(100);
    EXPECT_EQ(acks_from_b(), 1);
    EXPECT_TRUE(n.c(0).all_acknowledged());
}

TEST(SpxTrace, LinesFlowOnlyWithATraceLevel) {
    Net n;
    establish(n);
    send_str(n.c(0), "x", n.now);
    n.advance(100);
    EXPECT_TRUE(n.trace.empty());
    Net m;
    m.cfg[0].trace_level = 2;
    establish(m);
    send_str(m.c(0), "x", m.now);
    m.advance(100);
    ASSERT_FALSE(m.trace.empty());
    bool saw_state = false, saw_tx = false;
    for (auto &l : m.trace) {
        saw_state |= l.find("Connecting -> Established") != std::string::npos;
        saw_tx |= l.find("tx ctl=50") != std::string::npos;
    }
    EXPECT_TRUE(saw_state);
    EXPECT_TRUE(saw_tx);
}

TEST(SpxTimers, HoldAcrossThe32BitMillisecondMark) {
    Net n;
    n.now = (uint64_t{1} << 32) - 700;
    n.cfg[0].retry_limit = 4;
    n.cfg[0].abort_idle_ms = 0;
    establish(n);
    send_str(n.c(0), "across", n.now);
    ASSERT_TRUE(n.run_until([&] { return n.c(1).buffered() == 6; }, 1000));
    n.advance(1000);  // idle across the mark
    EXPECT_GT(n.now, uint64_t{1} << 32);
    EXPECT_EQ(n.c(0).state(), SpxState::Established);
    n.cut[0] = true;
    send_str(n.c(0), "lost", n.now);
    ASSERT_TRUE(n.run_until([&] { return n.c(0).state() == SpxState::Aborted; }, 3600 * 1000));
    EXPECT_EQ(n.c(0).close_reason(), SpxCloseReason::Timeout);
    EXPECT_EQ(n.c(0).stats().retransmissions, 4u);
    n.cut[0] = false;
    ASSERT_TRUE(n.run_until([&] { return n.c(1).state() == SpxState::Aborted; }, 3600 * 1000));
    EXPECT_EQ(n.c(1).close_reason(), SpxCloseReason::WatchdogTimeout);
}
