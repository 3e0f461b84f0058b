// The endpoint layer without sockets: a fake clock and a fake client drive
// Stack through the message protocol.
#include "stack.h"

#include <gtest/gtest.h>
#include <tiuser.h>

#include <deque>
#include <random>

using namespace ipxstackd;
using namespace tliproto;

namespace {

class FakeClock : public Clock {
public:
    uint64_t now = 1000;
    uint64_t now_ms() const override { return now; }
};

class FakeIo : public StackIo {
public:
    std::map<uint32_t, std::deque<std::vector<uint8_t>>> out;
    std::vector<uint32_t> dropped;
    std::vector<std::string> logs;
    std::vector<uint32_t> ended_calls;
    bool full = false;  // the endpoint sockets take no pushed message
    bool send(uint32_t ep, const std::vector<uint8_t> &m) override
    {
        out[ep].push_back(m);
        return true;
    }
    bool push(uint32_t ep, const std::vector<uint8_t> &m) override
    {
        if (full)
            return false;
        out[ep].push_back(m);
        return true;
    }
    void end_call(uint32_t call) override { ended_calls.push_back(call); }
    void drop(uint32_t ep) override { dropped.push_back(ep); }
    void log(const std::string &l) override { logs.push_back(l); }
    bool closed(uint32_t) override { return false; }
};

class Endpoints : public ::testing::Test {
protected:
    FakeClock clock;
    FakeIo io;
    Stack stack{StackConfig{}, clock, io};
    uint32_t next_id = 1;

    // Sends a request and returns the reply (skipping doorbells).
    Header request(uint32_t ep, uint16_t type, const Writer &body, std::vector<uint8_t> *rbody = nullptr,
                   uint16_t flags = 0, uint32_t res = 0, int uid = 0)
    {
        uint32_t id = next_id++;
        auto m = build(type, flags, id, 0, 0, body.data());
        stack.on_message(ep, m.data(), m.size(), res, uid);
        return take_reply(ep, id, rbody);
    }
    Header take_reply(uint32_t ep, uint32_t id, std::vector<uint8_t> *rbody = nullptr)
    {
        auto &q = io.out[ep];
        while (!q.empty()) {
            auto m = q.front();
            q.pop_front();
            Header h = get_header(m.data());
            if (h.type & kReply && h.reqid == id) {
                if (rbody) rbody->assign(m.begin() + kHeaderLen, m.end());
                return h;
            }
        }
        return Header{};
    }
    bool doorbell_waiting(uint32_t ep)
    {
        for (auto &m : io.out[ep])
            if (get_header(m.data()).type == kDoorbell) return true;
        return false;
    }
    // cli's call to lis (listening at 0x8063 with `qlen`) is on its way.
    void call_pair(uint32_t &lis, uint32_t &cli, uint32_t qlen);
    // lis accepted cli's call on itself: both are in data transfer.
    void connect_pair(uint32_t &lis, uint32_t &cli);
    Writer bind_body(uint16_t socket, uint32_t qlen)
    {
        uint8_t a[12] = {};
        a[10] = socket >> 8;
        a[11] = socket & 0xff;
        Writer w;
        w.i32(socket ? 1 : 0).u32(qlen).bytes(a, 12);
        return w;
    }
};

TEST_F(Endpoints, OneRequestAtATimeAndCancel)
{
    uint32_t ep = stack.open(Service::Spx);
    ASSERT_EQ(request(ep, kBind, bind_body(0, 1)).terr, 0);
    // A held t_listen; a second request meanwhile costs the endpoint.
    auto m = build(kListen, kFlagBlock, 50, 0, 0, {});
    stack.on_message(ep, m.data(), m.size(), 0, 0);
    EXPECT_TRUE(io.out[ep].empty());
    Writer cancel;
    cancel.u32(50);
    auto c = build(kCancel, 0, 51, 0, 0, cancel.data());
    stack.on_message(ep, c.data(), c.size(), 0, 0);
    Header h = take_reply(ep, 50);
    EXPECT_EQ(h.type, kListen | kReply);
    EXPECT_EQ(h.terr, TSYSERR);
    EXPECT_EQ(h.syserr, EINTR);
    EXPECT_EQ(take_reply(ep, 51).type, kCancel | kReply);
    // Cancelling what was just answered is fine; anything else is not.
    Writer again;
    again.u32(50);
    EXPECT_EQ(request(ep, kCancel, again).type, kCancel | kReply);
    EXPECT_TRUE(io.dropped.empty());
    // Requests from processes sharing the endpoint may be outstanding
    // together: a held t_listen does not stop a t_look.
    stack.on_message(ep, m.data(), m.size(), 0, 0);
    Writer none;
    EXPECT_EQ(request(ep, kLook, none).terr, 0);
    EXPECT_TRUE(io.dropped.empty());
    Writer stray;
    stray.u32(12345);
    request(ep, kCancel, stray);
    ASSERT_EQ(io.dropped.size(), 1u);
    EXPECT_EQ(io.dropped[0], ep);
    EXPECT_EQ(stack.endpoint_count(), 0u);
    EXPECT_EQ(stack.counters().bad_messages, 1u);
}

// A reply handed back by the process that took it by mistake is sent again
// as it was; anything else handed back costs the endpoint.
TEST_F(Endpoints, ReturnedRepliesAreSentAgain)
{
    uint32_t ep = stack.open(Service::Spx);
    std::vector<uint8_t> body{1, 2, 3, 4};
    auto reply = build(kRcv | kReply, 0, 0x1234501, 0, 0, body);
    auto ret = build(kReturn, 0, 77, 0, 0, reply);
    stack.on_message(ep, ret.data(), ret.size(), 0, 0);
    ASSERT_EQ(io.out[ep].size(), 1u);
    EXPECT_EQ(io.out[ep].front(), reply);
    EXPECT_TRUE(io.dropped.empty());

    auto not_a_reply = build(kRcv, 0, 0x1234502, 0, 0, body);
    auto bad = build(kReturn, 0, 78, 0, 0, not_a_reply);
    stack.on_message(ep, bad.data(), bad.size(), 0, 0);
    ASSERT_EQ(io.dropped.size(), 1u);
    EXPECT_EQ(stack.counters().bad_messages, 1u);

    uint32_t ep2 = stack.open(Service::Spx);
    auto cut = reply;
    cut.pop_back();  // its length field no longer fits
    auto bad2 = build(kReturn, 0, 79, 0, 0, cut);
    stack.on_message(ep2, bad2.data(), bad2.size(), 0, 0);
    EXPECT_EQ(io.dropped.size(), 2u);
}

// A request with bytes beyond its body is malformed like a short one: it
// costs the endpoint and is never answered as done.
TEST_F(Endpoints, BytesBeyondTheBodyCostTheEndpoint)
{
    uint32_t lis = stack.open(Service::Spx);
    ASSERT_EQ(request(lis, kBind, bind_body(0x8063, 1)).terr, 0);
    Writer opt;
    opt.i32(T_DEFAULT).u32(0);
    Writer acc;
    acc.i32(1).u32(0).u32(0);
    Writer dis;
    dis.i32(0).i32(0).u32(0);
    const std::pair<uint16_t, Writer> cases[] = {
        {kBind, bind_body(0, 0)}, {kOptmgmt, opt}, {kAccept, acc}, {kSnddis, dis}};
    size_t dropped = 0;
    for (auto [type, body] : cases) {
        SCOPED_TRACE(type_name(type));
        uint32_t ep = stack.open(Service::Spx);
        body.bytes("x", 1);
        Header h = request(ep, type, body);
        EXPECT_EQ(h.type, 0) << "answered with t_errno " << h.terr;
        ASSERT_EQ(io.dropped.size(), ++dropped);
        EXPECT_EQ(io.dropped.back(), ep);
    }
    EXPECT_EQ(stack.counters().bad_messages, dropped);
    EXPECT_EQ(stack.endpoint_count(), 1u);
}

TEST_F(Endpoints, BindRules)
{
    uint32_t a = stack.open(Service::Datagram);
    uint32_t b = stack.open(Service::Datagram);
    EXPECT_EQ(request(a, kBind, bind_body(0x0031, 0), nullptr, 0, 0, 1000).terr, TACCES);
    EXPECT_EQ(request(a, kBind, bind_body(0x0031, 0), nullptr, 0, 0, 0).terr, 0);
    EXPECT_EQ(request(b, kBind, bind_body(0x0031, 0)).terr, TNOADDR);
    std::vector<uint8_t> body;
    EXPECT_EQ(request(b, kBind, bind_body(0, 5), &body).terr, 0);
    ASSERT_EQ(body.size(), 16u);
    EXPECT_EQ(body[10], 0x40);  // first dynamic socket
    uint32_t q;
    std::memcpy(&q, body.data() + 12, 4);
    EXPECT_EQ(q, 0u);  // no queue on a datagram endpoint
}

// A connection through the loopback link inside one Stack, driven by the
// fake clock: data flows and poll's doorbell follows the events.
TEST_F(Endpoints, ConnectionOverLoopbackWithDoorbells)
{
    uint32_t lis = 0, cli = 0;
    connect_pair(lis, cli);
    Writer snd;
    snd.i32(0).bytes("hello", 5);
    ASSERT_EQ(request(cli, kSnd, snd).terr, 0);
    stack.run();
    EXPECT_TRUE(doorbell_waiting(lis));
    Writer rcv;
    rcv.u32(100);
    std::vector<uint8_t> data;
    Header h = request(lis, kRcv, rcv, &data);
    ASSERT_EQ(h.terr, 0);
    EXPECT_EQ(std::string(data.begin() + 4, data.end()), "hello");
    EXPECT_FALSE(h.flags & kFlagPending);
    // The client goes away: its connection lingers until the end of
    // connection is acknowledged, then nothing is left.
    stack.on_hangup(cli);
    for (int i = 0; i < 10; i++) {
        clock.now += 1;
        stack.tick(clock.now);
        stack.run();
    }
    EXPECT_TRUE(doorbell_waiting(lis));
    EXPECT_EQ(request(lis, kRcv, rcv).terr, TLOOK);
    std::vector<uint8_t> dis;
    ASSERT_EQ(request(lis, kRcvdis, Writer{}, &dis).terr, 0);
    int32_t reason;
    std::memcpy(&reason, dis.data(), 4);
    EXPECT_EQ(reason, kReasonPeerClosed);
    EXPECT_EQ(stack.connection_count(), 0u);
}

// Once a control connection has turned the endpoint's data into a stream,
// events travel in the stream: a reply on the endpoint's socket no longer
// announces a doorbell (none would come), even with data waiting in the
// daemon for room in the socket.
TEST_F(Endpoints, ReplyAnnouncesOnlyADoorbellThatComes)
{
    uint32_t lis = 0, cli = 0;
    connect_pair(lis, cli);
    auto ctl = build(kLook, kFlagControl, next_id++, 0, 0, {});
    stack.on_control(1, cli, ctl.data(), ctl.size(), 0, 0);
    stack.on_call_gone(1, cli);
    io.full = true;  // what arrives waits in the daemon
    Writer snd;
    snd.i32(0).bytes("hello", 5);
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(request(lis, kSnd, snd).terr, 0);
        stack.run();
    }
    Header h = request(cli, kInfo, Writer{});
    EXPECT_EQ(h.terr, 0);
    if (h.flags & kFlagPending) {
        EXPECT_TRUE(doorbell_waiting(cli)) << "a doorbell was announced and never came";
    }
}

void Endpoints::call_pair(uint32_t &lis, uint32_t &cli, uint32_t qlen)
{
    lis = stack.open(Service::Spx);
    cli = stack.open(Service::Spx);
    std::vector<uint8_t> la;
    ASSERT_EQ(request(lis, kBind, bind_body(0x8063, qlen), &la).terr, 0);
    ASSERT_EQ(request(cli, kBind, bind_body(0, 0)).terr, 0);
    Writer conn;
    conn.u32(12).u32(0).u32(0).bytes(la.data(), 12);
    EXPECT_EQ(request(cli, kConnect, conn).terr, TNODATA);
}

void Endpoints::connect_pair(uint32_t &lis, uint32_t &cli)
{
    call_pair(lis, cli, 2);
    stack.run();
    EXPECT_TRUE(doorbell_waiting(lis));
    std::vector<uint8_t> ind;
    ASSERT_EQ(request(lis, kListen, Writer{}, &ind).terr, 0);
    EXPECT_FALSE(doorbell_waiting(lis));
    int32_t seq;
    std::memcpy(&seq, ind.data(), 4);
    Writer acc;
    acc.i32(seq).u32(0).u32(0);
    ASSERT_EQ(request(lis, kAccept, acc).terr, 0);
    for (int i = 0; i < 5; i++) {
        clock.now += 1;
        stack.tick(clock.now);
        stack.run();
    }
    EXPECT_TRUE(doorbell_waiting(cli));  // the confirmation
    ASSERT_EQ(request(cli, kRcvconnect, Writer{}).terr, 0);
}

// Received data that waits in the daemon (the endpoint's socket is full, or
// a reader hands pieces back) counts against the owner's held data, and a
// reader cannot hand back more than a socket holds.
TEST_F(Endpoints, ReceivedDataHeldCountsAgainstTheOwner)
{
    const uint32_t user = 1000;
    uint32_t lis = stack.open(Service::Spx, user);
    uint32_t cli = stack.open(Service::Spx);
    std::vector<uint8_t> la;
    ASSERT_EQ(request(lis, kBind, bind_body(0x8063, 1), &la, 0, 0, user).terr, 0);
    ASSERT_EQ(request(cli, kBind, bind_body(0, 0)).terr, 0);
    Writer conn;
    conn.u32(12).u32(0).u32(0).bytes(la.data(), 12);
    EXPECT_EQ(request(cli, kConnect, conn).terr, TNODATA);
    stack.run();
    std::vector<uint8_t> ind;
    ASSERT_EQ(request(lis, kListen, Writer{}, &ind, 0, 0, user).terr, 0);
    int32_t seq;
    std::memcpy(&seq, ind.data(), 4);
    Writer acc;
    acc.i32(seq).u32(0).u32(0);
    ASSERT_EQ(request(lis, kAccept, acc, nullptr, 0, 0, user).terr, 0);
    auto settle = [&] {
        for (int i = 0; i < 10; i++) {
            clock.now += 1;
            stack.tick(clock.now);
            stack.run();
        }
    };
    settle();
    ASSERT_EQ(request(cli, kRcvconnect, Writer{}).terr, 0);
    // The listener's library speaks on a control connection: its endpoint
    // gets the stream.
    const uint32_t call = 7;
    auto control = [&](uint16_t type, const Writer &body) {
        auto m = build(type, kFlagControl, next_id++, 0, 0, body.data());
        stack.on_control(call, lis, m.data(), m.size(), 0, static_cast<int>(user));
    };
    control(kInfo, Writer{});
    auto held = [&] {
        std::string st = stack.status(user);
        size_t at = st.find("held send data: ");
        return at == std::string::npos ? -1L : std::stol(st.substr(at + 16));
    };
    auto send_from_client = [&](size_t n) {
        Writer snd;
        std::vector<uint8_t> data(n, 'x');
        snd.i32(0).bytes(data.data(), data.size());
        ASSERT_EQ(request(cli, kSnd, snd).terr, 0);
        settle();
    };
    send_from_client(5);
    uint32_t gen = 0;
    for (auto &m : io.out[lis])
        if (get_header(m.data()).type == kData)
            gen = get_header(m.data()).reqid;
    ASSERT_NE(gen, 0u) << "nothing pushed";
    EXPECT_EQ(held(), 0);

    io.full = true;
    send_from_client(5000);
    EXPECT_GE(held(), 5000);
    io.full = false;
    stack.on_writable(lis);
    EXPECT_EQ(held(), 0);

    // A hand-back: what comes back is held until it is pushed again; more
    // than a socket can hold costs the reader its control connection.
    control(kPause, Writer{});
    std::vector<uint8_t> piece(kMaxData, 'y');
    for (int i = 0; i < 6 && io.ended_calls.empty(); i++) {
        Writer w;
        w.i32(kUnreadData).u32(gen).i32(0).bytes(piece.data(), piece.size());
        control(kUnread, w);
    }
    EXPECT_EQ(io.ended_calls, std::vector<uint32_t>{call});
    EXPECT_GT(held(), 0);
    stack.on_call_gone(call, lis);
    EXPECT_EQ(held(), 0);
    EXPECT_EQ(stack.endpoint_count(), 2u);
}

// Both ends close with data the other never read: each connection lingers
// to deliver its end of connection, which the other's full window holds
// back. Nobody reads a lingering connection any more, so what it holds is
// thrown away and both ends finish.
TEST_F(Endpoints, TwoEndsClosedWithUnreadDataBothFinish)
{
    uint32_t lis = 0, cli = 0;
    call_pair(lis, cli, 1);
    auto step = [&](uint64_t ms) {
        clock.now += ms;
        stack.tick(clock.now);
        stack.run();
    };
    step(1);
    std::vector<uint8_t> ind;
    ASSERT_EQ(request(lis, kListen, Writer{}, &ind).terr, 0);
    int32_t seq;
    std::memcpy(&seq, ind.data(), 4);
    Writer acc;
    acc.i32(seq).u32(0).u32(0);
    ASSERT_EQ(request(lis, kAccept, acc).terr, 0);
    step(1);
    ASSERT_EQ(request(cli, kRcvconnect, Writer{}).terr, 0);
    // More than the receive window (16 full packets) each way, unread.
    std::vector<uint8_t> data(20 * ipxcore::kSpxMaxData, 'x');
    Writer snd;
    snd.i32(0).bytes(data.data(), data.size());
    ASSERT_EQ(request(lis, kSnd, snd).terr, 0);
    ASSERT_EQ(request(cli, kSnd, snd).terr, 0);
    for (int i = 0; i < 10; i++)
        step(10);
    stack.on_hangup(lis);
    stack.on_hangup(cli);
    for (int i = 0; i < 120 && stack.connection_count() > 0; i++)
        step(1000);
    EXPECT_EQ(stack.connection_count(), 0u) << stack.status();
}

TEST(SpxOptionsRecord, NegotiationAndBytes)
{
    SpxOptions o;
    o.flags = 0xff;
    o.rsrv = 0xff;
    o.sackdel = 5;
    o.max = 0;
    SpxOptions n = o.negotiated();
    EXPECT_EQ(n.flags, 0x01);
    EXPECT_EQ(n.rsrv, 0x8f);
    EXPECT_EQ(n.sackdel, 100);
    EXPECT_EQ(n.max, ipxcore::kSpxMaxData);
    uint8_t b[8];
    n.to_bytes(b);
    EXPECT_EQ(SpxOptions::from_bytes(b), n);
    EXPECT_EQ(n.config().trace_level, 0x0f);
    EXPECT_TRUE(n.config().checksum);
    EXPECT_EQ(SpxOptions{}.negotiated(), SpxOptions{});
}

} // namespace

namespace {

// Hostile clients: random headers and bodies for every request type, on
// endpoints in every state. The stack answers or drops the endpoint; it
// never reads out of bounds (the sanitizer build runs this too).
TEST_F(Endpoints, RandomMessagesNeverHurtTheStack)
{
    std::mt19937 rng(12345);
    uint32_t lis = stack.open(Service::Spx);
    ASSERT_EQ(request(lis, kBind, bind_body(0x9000, 4)).terr, 0);
    for (int round = 0; round < 3000; round++) {
        uint32_t ep = stack.open(round % 3 == 0 ? Service::Datagram : Service::Spx);
        if (round % 2)
            request(ep, kBind, bind_body(0, 1));
        size_t blen = rng() % 48;
        std::vector<uint8_t> body(blen);
        for (auto &b : body)
            b = static_cast<uint8_t>(rng());
        // Mostly well-formed headers, so that the bodies get parsed.
        uint16_t type = static_cast<uint16_t>(kInfo + rng() % (kReturn - kInfo + 2));
        uint16_t flags = static_cast<uint16_t>(rng() % 4 == 0 ? rng() : (rng() % 2));
        auto m = build(type, flags, 1 + rng() % 1000, 0, 0, body);
        if (rng() % 8 == 0)
            m.resize(rng() % m.size());
        stack.on_message(ep, m.data(), m.size(), rng() % 16 == 0 ? UINT32_MAX : 0,
                         static_cast<int>(rng() % 2));
        clock.now += rng() % 50;
        stack.tick(clock.now);
        stack.run();
        stack.on_hangup(ep);
    }
    EXPECT_EQ(stack.endpoint_count(), 1u);
    // The listener still works.
    std::vector<uint8_t> info;
    EXPECT_EQ(request(lis, kInfo, Writer{}, &info).terr, 0);
    EXPECT_EQ(info.size(), 60u);
}

} // namespace
