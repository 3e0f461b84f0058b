// The SPX connection state machine, stateful: one input is a script of
// events for one connection (or a pair of them).
//
// Single mode: a connection (caller or listener side) meets a hostile peer
// whose packets come from the input, mostly with the right addresses and
// connection IDs so that they reach the deep states, and the local user
// sends, reads, closes and lets time pass.
//
// Pair mode: two connections talk over a network that the input drives
// (deliver, lose, duplicate, reorder, and with IPX checksums on, damage
// packets). Whatever either side reads must be exactly the next bytes the
// other sent, with the unit ends where the sender put them. Damage is one
// bit of a packet outside its length field: the IPX checksum catches every
// such change (it cannot catch every change of several bytes, nor a length
// cut to a spot where the sums happen to agree).
//
// In both modes every packet a connection sends must decode, and after
// on_timer(now) nothing may be due at `now` any more (else the daemon's loop
// would spin).
#include "fuzzinput.h"
#include "ipx.h"
#include "spx.h"

#include <deque>
#include <memory>

using namespace ipxcore;

namespace {

IpxAddress address(uint8_t host, uint16_t socket)
{
    IpxAddress a;
    a.net = 0x00000001;
    a.node = node_from_host(0x0a000000u | host);
    a.socket = socket;
    return a;
}

SpxConfig config(fuzz::Input &in)
{
    SpxConfig c;
    c.max_data = static_cast<uint16_t>(in.range(0, 1600));
    c.recv_window = static_cast<uint16_t>(in.range(0, 40));
    c.send_buffer = in.range(0, 9000);
    c.ack_delay_ms = in.range(0, 300);
    c.rto_initial_ms = in.range(0, 2000);
    c.rto_min_ms = in.range(0, 500);
    c.rto_max_ms = in.range(0, 6000);
    c.retry_limit = in.range(0, 15);
    c.verify_idle_ms = in.range(0, 5000);
    c.abort_idle_ms = in.range(0, 40000);
    c.connect_timeout_ms = in.range(0, 3000);
    c.trace_level = in.range(0, 3);
    c.checksum = in.flag();
    return c;
}

// A packet sent by `c`: it decodes, and comes from c's address and ID.
void check_sent(const std::vector<uint8_t> &pkt, const IpxAddress &from, uint16_t from_id,
                size_t max_data)
{
    auto v = decode_ipx(pkt.data(), pkt.size());
    FUZZ_CHECK(v.has_value());
    FUZZ_CHECK(v->header.length == pkt.size());
    FUZZ_CHECK(v->header.type == kIpxTypeSpx);
    FUZZ_CHECK(v->header.src == from);
    auto s = decode_spx(v->data, v->data_len);
    FUZZ_CHECK(s.has_value());
    FUZZ_CHECK(s->src_id == from_id);
    FUZZ_CHECK(v->data_len - kSpxHeaderLen <= max_data);
}

void trace_sink(const std::string &line)
{
    FUZZ_CHECK(!line.empty());
}

// Runs the connection's timers when due; afterwards nothing is due now.
void timers(SpxConnection &c, uint64_t now)
{
    if (c.next_deadline() <= now)
        c.on_timer(now);
    FUZZ_CHECK(c.next_deadline() > now);
}

bool over(const SpxConnection &c)
{
    return c.state() == SpxState::Closed || c.state() == SpxState::Aborted;
}

// The byte at `offset` of a side's stream: the receiver can check every
// byte without keeping a copy.
uint8_t pattern(uint64_t offset, uint8_t salt)
{
    return static_cast<uint8_t>(offset * 131 + (offset >> 8) * 7 + salt);
}

// ---- single mode -----------------------------------------------------------

void single(fuzz::Input &in)
{
    const IpxAddress local = address(1, 0x4001);
    const IpxAddress remote = address(2, 0x4002);
    const uint16_t local_id = static_cast<uint16_t>(in.range(1, 0xFFFE));
    uint16_t peer_id = static_cast<uint16_t>(in.range(0, 0xFFFF));
    SpxConfig cfg = config(in);
    uint64_t now = in.u16();
    std::vector<std::vector<uint8_t>> sent;
    auto tx = [&](std::vector<uint8_t> p) { sent.push_back(std::move(p)); };
    size_t max_data = std::max<size_t>(1, std::min<size_t>(cfg.max_data, kSpxMaxDataLimit));

    std::unique_ptr<SpxConnection> c;
    if (in.flag()) {
        c = std::make_unique<SpxConnection>(
            SpxConnection::connect(local, remote, local_id, cfg, now, tx, trace_sink));
    } else {
        SpxHeader req;
        req.control = kSpxSys | kSpxSendAck;
        req.src_id = peer_id;
        req.dst_id = kSpxUnknownId;
        req.alloc = in.u16();
        c = std::make_unique<SpxConnection>(
            SpxConnection::offered(local, remote, req, local_id, cfg, now, tx, trace_sink));
    }
    bool was_over = false;
    std::vector<uint8_t> buf;
    while (!in.empty()) {
        switch (in.u8() % 10) {
        case 0:
        case 1: {  // a packet from the peer, mostly well addressed
            uint8_t how = in.u8();
            SpxHeader s;
            s.control = in.u8();
            s.dstype = in.u8() % 4 == 0 ? in.u8() : static_cast<uint8_t>(0xFC + in.u8() % 4);
            s.src_id = (how & 1) ? in.u16() : peer_id;
            s.dst_id = (how & 2) ? in.u16() : local_id;
            s.seq = in.u16();
            s.ack = in.u16();
            s.alloc = in.u16();
            std::vector<uint8_t> d = in.chunk();
            uint8_t s12[kSpxHeaderLen];
            encode_spx(s, s12);
            std::vector<uint8_t> body(s12, s12 + sizeof s12);
            body.insert(body.end(), d.begin(), d.end());
            IpxHeader h;
            h.type = (how & 4) ? in.u8() : kIpxTypeSpx;
            h.src = remote;
            if (how & 8) {
                uint8_t host = in.u8();
                h.src = address(host, in.u16());
            }
            h.dst = local;
            std::vector<uint8_t> pkt = encode_ipx(h, body.data(), body.size(), (how & 16) != 0);
            if (how & 32)
                pkt[in.u16() % pkt.size()] ^= static_cast<uint8_t>(1u << (in.u8() % 8));
            // The path of the stack: IPX, then SPX, then the connection.
            auto v = decode_ipx(pkt.data(), pkt.size());
            if (!v || v->header.type != kIpxTypeSpx)
                break;
            auto sh = decode_spx(v->data, v->data_len);
            if (!sh)
                break;
            c->on_packet(v->header, *sh, v->data + kSpxHeaderLen, v->data_len - kSpxHeaderLen, now);
            if ((how & 64) && c->state() == SpxState::Established)
                peer_id = c->remote_id();
            break;
        }
        case 2:  // time passes
            now += in.flag() ? in.u16() : in.u8();
            timers(*c, now);
            break;
        case 3: {  // the next deadline comes
            uint64_t d = c->next_deadline();
            if (d != UINT64_MAX && d > now)
                now = d;
            timers(*c, now);
            break;
        }
        case 4: {  // the user sends
            size_t len = in.range(0, 2000);
            std::vector<uint8_t> d(len, 0x5a);
            bool eou = in.flag(), attn = in.flag();
            size_t space = c->send_space();
            size_t took = c->send(d.data(), len, eou, attn, now);
            FUZZ_CHECK(took <= len && took <= space);
            break;
        }
        case 5: {  // the user reads
            size_t cap = in.range(0, 1200);
            size_t before = c->buffered();
            bool was_readable = c->readable();
            buf.assign(cap, 0);
            SpxReadResult r = c->read(cap ? buf.data() : nullptr, cap, now);
            FUZZ_CHECK(r.bytes <= cap && r.bytes <= before);
            FUZZ_CHECK(c->buffered() == before - r.bytes);
            if (!was_readable)
                FUZZ_CHECK(r.bytes == 0 && !r.end_of_unit);
            break;
        }
        case 6:
            c->close(now);
            break;
        case 7:
            if (in.u8() % 8 == 0)
                c->abort();
            break;
        case 8:
            c->accept(now);
            break;
        case 9: {  // the listener sets the accepted connection's options
            if (c->state() != SpxState::Offered)
                break;
            SpxConfig nc = config(in);
            c->set_config(nc);
            max_data = std::max<size_t>(1, std::min<size_t>(nc.max_data, kSpxMaxDataLimit));
            break;
        }
        }
        for (const auto &p : sent)
            check_sent(p, local, local_id, max_data);
        sent.clear();
        // An ended connection stays ended.
        if (was_over)
            FUZZ_CHECK(over(*c));
        was_over = over(*c);
        if (over(*c))
            FUZZ_CHECK(c->next_deadline() == UINT64_MAX);
    }
}

// ---- pair mode -------------------------------------------------------------

struct Side {
    std::unique_ptr<SpxConnection> c;
    IpxAddress addr;
    uint16_t id = 0;
    uint8_t salt = 0;
    size_t max_data = kSpxMaxData;
    // What this side sent: bytes so far and the stream offsets of its unit
    // ends, in order.
    uint64_t sent = 0;
    std::vector<uint64_t> unit_ends;
    // What it read of the other side's stream.
    uint64_t got = 0;
    size_t ends_got = 0;
};

void pair(fuzz::Input &in)
{
    Side s[2];
    s[0].addr = address(1, 0x4001);
    s[1].addr = address(2, 0x8063);
    s[0].id = static_cast<uint16_t>(in.range(1, 0xFFFE));
    s[1].id = static_cast<uint16_t>(in.range(1, 0xFFFE));
    s[0].salt = 0x11;
    s[1].salt = 0x77;
    SpxConfig cfg[2] = {config(in), config(in)};
    // Damage is only safe to deliver when every packet carries a checksum.
    const bool damage = cfg[0].checksum && cfg[1].checksum;
    for (int i = 0; i < 2; i++)
        s[i].max_data = std::max<size_t>(1, std::min<size_t>(cfg[i].max_data, kSpxMaxDataLimit));
    uint64_t now = 1000;
    // The network: packets in flight towards side 0 and side 1.
    struct InFlight {
        std::vector<uint8_t> bytes;
        bool damaged = false;
    };
    std::deque<InFlight> wire[2];
    auto tx0 = [&](std::vector<uint8_t> p) {
        check_sent(p, s[0].addr, s[0].id, s[0].max_data);
        if (wire[1].size() < 256)
            wire[1].push_back({std::move(p)});
    };
    auto tx1 = [&](std::vector<uint8_t> p) {
        check_sent(p, s[1].addr, s[1].id, s[1].max_data);
        if (wire[0].size() < 256)
            wire[0].push_back({std::move(p)});
    };
    s[0].c = std::make_unique<SpxConnection>(
        SpxConnection::connect(s[0].addr, s[1].addr, s[0].id, cfg[0], now, tx0, trace_sink));

    // Delivers one packet to side `to` the way the stack does: the listener
    // side is created by the first connection request.
    auto deliver = [&](int to, const std::vector<uint8_t> &pkt) {
        auto v = decode_ipx(pkt.data(), pkt.size());
        if (!v || v->header.type != kIpxTypeSpx)
            return;
        auto sh = decode_spx(v->data, v->data_len);
        if (!sh)
            return;
        Side &d = s[to];
        if (!d.c) {
            if (to == 1 && is_connect_request(*sh))
                d.c = std::make_unique<SpxConnection>(SpxConnection::offered(
                    d.addr, v->header.src, *sh, d.id, cfg[1], now, tx1, trace_sink));
            return;
        }
        if (sh->dst_id != d.id && !is_connect_request(*sh))
            return;
        d.c->on_packet(v->header, *sh, v->data + kSpxHeaderLen, v->data_len - kSpxHeaderLen, now);
    };

    std::vector<uint8_t> buf;
    while (!in.empty()) {
        uint8_t op = in.u8();
        int side = op & 1;
        Side &me = s[side];
        Side &other = s[1 - side];
        switch ((op >> 1) % 10) {
        case 0:
        case 1: {  // the network delivers the next packet towards `side`
            if (wire[side].empty())
                break;
            std::vector<uint8_t> p = std::move(wire[side].front().bytes);
            wire[side].pop_front();
            deliver(side, p);
            break;
        }
        case 2: {  // ... or loses, duplicates, holds back or damages it
            if (wire[side].empty())
                break;
            uint8_t what = in.u8() % 4;
            if (what == 0) {
                wire[side].pop_front();
            } else if (what == 1) {
                deliver(side, wire[side].front().bytes);
            } else if (what == 2) {
                size_t to = in.u8() % wire[side].size();
                std::swap(wire[side].front(), wire[side][to]);
            } else if (damage && !wire[side].front().damaged) {
                std::vector<uint8_t> &p = wire[side].front().bytes;
                size_t at = 4 + in.u16() % (p.size() - 4);
                p[at] = static_cast<uint8_t>(p[at] ^ (1u << (in.u8() % 8)));
                wire[side].front().damaged = true;
            }
            break;
        }
        case 3:  // time passes
            now += in.flag() ? in.u16() % 4000 : in.u8();
            for (Side &x : s)
                if (x.c)
                    timers(*x.c, now);
            break;
        case 4:
        case 5: {  // `side` sends the next bytes of its stream
            if (!me.c)
                break;
            size_t len = in.range(0, 1500);
            bool eou = in.flag();
            bool attn = in.u8() % 8 == 0;
            std::vector<uint8_t> d(len);
            for (size_t i = 0; i < len; i++)
                d[i] = pattern(me.sent + i, me.salt);
            bool established = me.c->state() == SpxState::Established;
            size_t space = me.c->send_space();
            if (len == 0 && space == 0)
                break;  // an empty unit end may be dropped when the queue is full
            size_t took = me.c->send(d.data(), len, eou, attn, now);
            FUZZ_CHECK(took <= len);
            if (!established)
                FUZZ_CHECK(took == 0);
            me.sent += took;
            if (established && eou && took == len)
                me.unit_ends.push_back(me.sent);
            break;
        }
        case 6:
        case 7: {  // `side` reads: exactly what the other side sent
            if (!me.c)
                break;
            size_t cap = in.range(0, 1200);
            buf.assign(cap, 0);
            SpxReadResult r = me.c->read(cap ? buf.data() : nullptr, cap, now);
            FUZZ_CHECK(r.bytes <= cap);
            for (size_t i = 0; i < r.bytes; i++)
                FUZZ_CHECK(buf[i] == pattern(me.got + i, other.salt));
            me.got += r.bytes;
            FUZZ_CHECK(me.got <= other.sent);
            if (r.end_of_unit) {
                FUZZ_CHECK(me.ends_got < other.unit_ends.size());
                FUZZ_CHECK(other.unit_ends[me.ends_got] == me.got);
                me.ends_got++;
            }
            break;
        }
        case 8:
            if (me.c)
                me.c->accept(now);
            break;
        case 9:
            if (!me.c)
                break;
            if (in.u8() % 4 == 0)
                me.c->abort();
            else
                me.c->close(now);
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    if (in.u8() & 1)
        pair(in);
    else
        single(in);
    return 0;
}
