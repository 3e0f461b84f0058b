// Hostile and malformed packets against an established connection: they are
// dropped and counted, never trusted, and the connection carries on.
#include "fakenet.h"

#include <gtest/gtest.h>

#include <random>

using namespace ipxcore;
using fakenet::craft;
using fakenet::Net;
using fakenet::Pump;

namespace {

class SpxHostile : public ::testing::Test {
protected:
    Net n;
    void SetUp() override {
        n.connect();
        ASSERT_TRUE(n.run_until([&] {
            return n.conn[1] && n.c(0).state() == SpxState::Established &&
                   n.c(1).state() == SpxState::Established;
        }, 10000));
    }
    // A header as side `from` would send it right now.
    SpxHeader genuine(int from, uint8_t control = kSpxSendAck | kSpxEom) {
        SpxHeader h;
        h.control = control;
        h.src_id = n.id[from];
        h.dst_id = n.id[1 - from];
        h.seq = 0;
        h.ack = 0;
        h.alloc = 15;
        return h;
    }
    // Afterwards a real exchange still works in both directions.
    void still_works() {
        // Earlier data first goes through and is read away.
        auto drain = [&] {
            uint8_t buf[1000];
            for (int i = 0; i < 2; i++)
                while (n.c(i).readable()) n.c(i).read(buf, sizeof buf, n.now);
        };
        ASSERT_TRUE(n.run_until([&] { return n.c(0).all_acknowledged() && n.c(1).all_acknowledged(); },
                                600000, drain));
        drain();
        Pump p[2];
        p[0].fill(11, 20000, 1200);
        p[1].fill(12, 20000, 1200);
        auto app = [&] {
            for (int i = 0; i < 2; i++) {
                p[i].send_some(n.c(i), n.now);
                p[i].read_some(n.c(1 - i), n.now);
            }
        };
        ASSERT_TRUE(n.run_until([&] { return p[0].all_received() && p[1].all_received(); }, 600000, app));
        EXPECT_EQ(p[0].got, p[0].units);
        EXPECT_EQ(p[1].got, p[1].units);
    }
};

} // namespace

TEST_F(SpxHostile, WrongIdsOrSenderAreDroppedAndCounted) {
    std::vector<uint8_t> data{'e', 'v', 'i', 'l'};
    SpxHeader h = genuine(0);
    h.dst_id = 0x9999;
    n.inject(1, craft(n, 0, h, data));
    h = genuine(0);
    h.src_id = 0x4444;
    n.inject(1, craft(n, 0, h, data));
    // Right IDs from the wrong place.
    auto pkt = craft(n, 0, genuine(0), data);
    pkt[29] ^= 1;  // source socket
    n.inject(1, pkt);
    // A connection request from someone else, to a live connection.
    SpxHeader req = genuine(0, kSpxSys | kSpxSendAck);
    req.dst_id = kSpxUnknownId;
    req.src_id = 0x3333;
    n.inject(1, craft(n, 0, req));
    EXPECT_EQ(n.c(1).stats().bad_packets, 4u);
    EXPECT_FALSE(n.c(1).readable());
    EXPECT_EQ(n.c(1).state(), SpxState::Established);
    still_works();
}

TEST_F(SpxHostile, AcknowledgementOfUnsentDataIsRefusedWhole) {
    SpxHeader h = genuine(0);
    h.ack = 5;  // side 1 has sent nothing
    n.inject(1, craft(n, 0, h, {'x'}));
    EXPECT_EQ(n.c(1).stats().bad_packets, 1u);
    EXPECT_FALSE(n.c(1).readable());  // its data is not taken either
    // With data in flight, an ack beyond it is refused too; the data stays
    // queued and is delivered.
    n.cut[1] = true;
    const uint8_t d[3] = {1, 2, 3};
    n.c(1).send(d, 3, true, false, n.now);
    SpxHeader s = genuine(0, kSpxSys);
    s.ack = 2;
    n.inject(1, craft(n, 0, s));
    EXPECT_FALSE(n.c(1).all_acknowledged());
    EXPECT_EQ(n.c(1).stats().bad_packets, 2u);
    n.cut[1] = false;
    still_works();
}

TEST_F(SpxHostile, AllocationGoingBackwardsIsIgnored) {
    SpxHeader h = genuine(1, kSpxSys);
    h.alloc = 2;  // it had granted 15
    n.inject(0, craft(n, 1, h));
    std::vector<uint8_t> data(10 * 100, 7);
    n.cfg[0].max_data = 100;
    n.c(0).set_config(n.cfg[0]);
    ASSERT_EQ(n.c(0).send(data.data(), data.size(), true, false, n.now), data.size());
    EXPECT_EQ(n.c(0).stats().data_packets_sent, 10u);
    still_works();
}

TEST_F(SpxHostile, SequenceOutsideTheWindowIsDroppedAndCounted) {
    for (uint16_t seq : {uint16_t(16), uint16_t(100), uint16_t(0x7FFF), uint16_t(0x8000), uint16_t(0xFFF0)}) {
        SpxHeader h = genuine(0);
        h.seq = seq;
        n.inject(1, craft(n, 0, h, {'x'}));
    }
    // 0x8000 and 0xFFF0 count as "before" 0: duplicates; the others are
    // beyond the allocation.
    EXPECT_EQ(n.c(1).stats().out_of_window, 3u);
    EXPECT_EQ(n.c(1).stats().duplicates, 2u);
    EXPECT_FALSE(n.c(1).readable());
    still_works();
}

TEST_F(SpxHostile, EmptyPacketsAndStrayEndOfConnectionAcknowledgements) {
    // No bytes, no unit end: nothing for the reader, but the sequence is used.
    SpxHeader h = genuine(0, kSpxSendAck);
    n.inject(1, craft(n, 0, h));
    EXPECT_FALSE(n.c(1).readable());
    // An unasked-for 0xFF changes nothing.
    SpxHeader ff = genuine(0, 0);
    ff.dstype = kSpxEndOfConnectionAck;
    n.inject(1, craft(n, 0, ff));
    EXPECT_EQ(n.c(1).state(), SpxState::Established);
    EXPECT_EQ(n.c(1).stats().data_packets_received, 1u);
}

TEST_F(SpxHostile, RepeatedEndOfConnectionAfterTheEndIsAnsweredAgain) {
    n.record = true;
    n.c(0).close(n.now);
    ASSERT_TRUE(n.run_until([&] { return n.c(0).state() == SpxState::Closed; }, 10000));
    ASSERT_EQ(n.c(1).state(), SpxState::Closed);
    size_t before = n.sent[1].size();
    SpxHeader eoc = genuine(0, kSpxSendAck);
    eoc.dstype = kSpxEndOfConnection;
    n.inject(1, craft(n, 0, eoc));
    ASSERT_EQ(n.sent[1].size(), before + 1);
    auto v = decode_ipx(n.sent[1].back().data(), n.sent[1].back().size());
    auto s = decode_spx(v->data, v->data_len);
    EXPECT_EQ(s->dstype, kSpxEndOfConnectionAck);
    EXPECT_EQ(s->ack, 1);
    // Data after the end is not taken, but a send-ack is still answered.
    n.inject(1, craft(n, 0, genuine(0), {'x'}));
    EXPECT_FALSE(n.c(1).readable());
    ASSERT_EQ(n.sent[1].size(), before + 2);
    v = decode_ipx(n.sent[1].back().data(), n.sent[1].back().size());
    s = decode_spx(v->data, v->data_len);
    EXPECT_EQ(s->control, kSpxSys);
    EXPECT_EQ(s->ack, 1);
    EXPECT_EQ(n.c(1).next_deadline(), UINT64_MAX);
}

TEST(SpxHostileRaw, RandomHeadersNeverBreakTheConnectionInvariants) {
    std::mt19937_64 rng(77);
    uint64_t rejected = 0, established_rounds = 0;
    for (int round = 0; round < 24; round++) {
        Net n;
        n.connect();
        ASSERT_TRUE(n.run_until([&] {
            return n.conn[1] && n.c(0).state() == SpxState::Established &&
                   n.c(1).state() == SpxState::Established;
        }, 10000));
        int to = round % 2, from = 1 - to;
        const uint8_t out[5] = {1, 2, 3, 4, 5};
        if (round % 3 == 0) n.c(to).send(out, sizeof out, true, false, n.now);  // something in flight
        for (int i = 0; i < 1000; i++) {
            SpxHeader h;
            h.control = static_cast<uint8_t>(rng());
            h.dstype = static_cast<uint8_t>(rng() % 64 == 0 ? 0xFE : rng() % 8 == 0 ? 0xFF : rng() % 4);
            // Mostly the right IDs, so that the packets get past the first check.
            h.src_id = rng() % 8 ? n.id[from] : static_cast<uint16_t>(rng());
            h.dst_id = rng() % 8 ? n.id[to] : static_cast<uint16_t>(rng());
            h.seq = static_cast<uint16_t>(rng() % 2 ? rng() % 40 : rng());
            h.ack = static_cast<uint16_t>(rng() % 2 ? rng() % 3 : rng());
            h.alloc = static_cast<uint16_t>(rng() % 2 ? rng() % 40 : rng());
            std::vector<uint8_t> data(rng() % 4 ? rng() % 600 : 0);
            n.inject(to, craft(n, from, h, data));
            SpxConnection &c = n.c(to);
            ASSERT_LE(c.buffered(), size_t(16) * 600);
            ASSERT_GE(c.next_deadline(), n.now);
            if (i % 50 == 49) {
                // What buffered() promises is exactly what the reader gets.
                size_t promised = c.buffered(), got = 0;
                uint8_t buf[97];
                while (c.readable()) {
                    SpxReadResult r = c.read(buf, sizeof buf, n.now);
                    got += r.bytes;
                    ASSERT_TRUE(r.bytes > 0 || r.end_of_unit);
                }
                ASSERT_EQ(got, promised);
                ASSERT_EQ(c.buffered(), 0u);
            }
            n.advance(1);
        }
        const SpxStats &st = n.c(to).stats();
        rejected += st.bad_packets + st.out_of_window + st.duplicates;
        established_rounds += n.c(to).state() == SpxState::Established;
    }
    EXPECT_GT(rejected, 1000u);
    EXPECT_GT(established_rounds, 0u);
}

TEST(SpxHostileRaw, PacketsBeforeAcceptAndAfterAbortAreIgnored) {
    Net n;
    n.auto_accept = false;
    n.record = true;
    n.connect();
    ASSERT_TRUE(n.run_until([&] { return n.conn[1].has_value(); }, 1000));
    SpxHeader h;
    h.control = kSpxSendAck;
    h.src_id = n.id[0];
    h.dst_id = n.id[1];
    n.inject(1, craft(n, 0, h, {'x'}));
    EXPECT_EQ(n.c(1).state(), SpxState::Offered);
    EXPECT_FALSE(n.c(1).readable());
    EXPECT_TRUE(n.sent[1].empty());  // nothing goes out before accept
    n.c(1).abort();
    n.inject(1, craft(n, 0, h, {'x'}));
    EXPECT_TRUE(n.sent[1].empty());
    EXPECT_EQ(n.c(1).next_deadline(), UINT64_MAX);
}

TEST(SpxHostileRaw, ConnectingSideRefusesAForgedAcknowledgement) {
    Net n;
    n.cut[0] = true;  // the real request never arrives
    n.connect();
    SpxHeader h;
    h.control = kSpxSys;
    h.src_id = 0x0101;
    h.dst_id = 0x7777;  // not our ID
    n.inject(0, craft(n, 1, h));
    h.dst_id = n.id[0];
    h.ack = 3;  // acknowledges data never sent
    n.inject(0, craft(n, 1, h));
    EXPECT_EQ(n.c(0).state(), SpxState::Connecting);
    EXPECT_EQ(n.c(0).stats().bad_packets, 2u);
}
