// The stack daemon's handling of client messages, stateful: one input is a
// session of up to six endpoints of one Stack (fake clock, fake server)
// (root's or an ordinary user's, with the users' limits small or as usual)
// sending requests, hanging up and letting time pass, and perhaps a link to
// another network whose hosts send packets of the input's making. Requests are mostly
// well formed, with addresses and sequence numbers taken from earlier
// replies, so that endpoints bind, listen, connect to each other, accept
// and exchange data over the loopback; some are garbage.
//
// Requests go on the endpoint's socket or, as the library sends them, on
// control connections of their own (a reply starts with the control
// prefix; a reader pauses the stream, takes it out and hands back what it
// likes, or goes away paused); posted sends come on the endpoint's socket,
// and the stream is pushed into a socket of a few messages that the
// "library" empties now and then.
//
// Checked on every message the stack sends: it goes to a live endpoint,
// parses, answers a request that was sent and not yet answered (once), on
// the connection it came by while that is open, and has the body the
// library expects; between two replies at most one doorbell, and a reply
// that announces one is followed by it. Every piece of the stream is well
// formed, and no data of a connection follows its disconnect note. The
// stack knows exactly the endpoints the clients hold, its loop settles at
// any instant, and once every endpoint is closed the connections go away.
#include "fuzzinput.h"
#include "link.h"
#include "spx.h"
#include "stack.h"

#include <tiuser.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

using namespace ipxstackd;
using namespace tliproto;

namespace {

class FakeClock : public Clock {
public:
    uint64_t now = 1000;
    uint64_t now_ms() const override { return now; }
};

struct Request {
    uint16_t type = 0;
    uint32_t max = 0;          // rcv: max; rcvudata: data max
    uint32_t amax = 0, omax = 0;
    uint32_t snd = 0;          // snd: bytes given
};

struct Slot {
    uint32_t ep = 0;  // 0: free
    Service svc = Service::Datagram;
    std::map<uint32_t, Request> outstanding;
    bool doorbell = false;         // one is unread
    bool expect_doorbell = false;  // a reply said one follows
    bool have_addr = false;
    uint8_t addr[kAddrLen] = {};
    std::vector<int32_t> seqs;     // indications from t_listen replies
    // The data path.
    uint32_t gen = 0;              // the stream's generation, as replies told
    std::deque<std::vector<uint8_t>> sock;  // pushed and not yet read
    size_t room = 4;               // messages the socket takes
    bool want_writable = false;    // a push was refused: tell when read
    bool input_shut = false;       // no more posted sends reach the stack
    uint32_t disc_gen = 0;         // its disconnect note was pushed
};

// A control connection: requests about one endpoint.
struct Call {
    uint32_t ep = 0;
    std::map<uint32_t, Request> outstanding;
    bool paused = false;  // its kPause was granted
    bool done = false;    // the stack ended it (last reply, or out of form)
};

class Harness;

// A link to another network whose hosts are the input: what they send
// arrives checked as every link checks it; what the stack sends must be
// whole IPX packets from this host's node.
class FakeLink : public ipxcore::Link {
public:
    static constexpr uint32_t kNet = 0x00000002;
    FakeLink(size_t mtu, bool sums)
        : Link(ipxcore::LinkInfo{kNet, ipxcore::node_from_host(0x0a000001), mtu}), sums_(sums) {}
    const char *kind() const override { return "fake"; }
    ipxcore::SendResult send(std::vector<uint8_t> p, const ipxcore::Node &, uint64_t) override
    {
        auto v = ipxcore::decode_ipx(p.data(), p.size());
        FUZZ_CHECK(v.has_value());
        FUZZ_CHECK(v->header.length == p.size() && p.size() <= mtu());
        FUZZ_CHECK(v->header.src.net == kNet && v->header.src.node == node());
        FUZZ_CHECK(sums_ || (p[0] == 0xFF && p[1] == 0xFF));
        return ipxcore::SendResult::Sent;
    }
    bool receive(std::vector<uint8_t> &p, uint64_t) override
    {
        while (!arrivals.empty()) {
            p = std::move(arrivals.front());
            arrivals.pop_front();
            size_t len = p.size();
            if (ipxcore::check_arrival(p.data(), len, mtu()))
                continue;
            p.resize(len);
            return true;
        }
        return false;
    }
    uint64_t next_deadline() const override { return arrivals.empty() ? UINT64_MAX : 0; }
    bool carries_checksums() const override { return sums_; }
    std::deque<std::vector<uint8_t>> arrivals;

private:
    bool sums_;
};

class Io : public StackIo {
public:
    explicit Io(Harness &h) : h_(h) {}
    bool send(uint32_t ep, const std::vector<uint8_t> &msg) override;
    void drop(uint32_t ep) override;
    void log(const std::string &line) override { FUZZ_CHECK(!line.empty()); }
    // The server asks whether a client has closed the endpoint: when the
    // input says so, the client closed it just now.
    bool closed(uint32_t ep) override;
    bool push(uint32_t ep, const std::vector<uint8_t> &msg) override;
    void reply(uint32_t call, const std::vector<uint8_t> &msg, bool last) override;
    void end_call(uint32_t call) override;
    void shut_input(uint32_t ep) override;
    bool closed_answer = false;
    bool fail_next_send = false;

private:
    Harness &h_;
};

class Harness {
public:
    explicit Harness(fuzz::Input &in) : in_(in), io_(*this)
    {
        StackConfig cfg;
        uint8_t how = in.u8();
        cfg.rcv_max = how % 4 == 0 ? in.range(1, 600) : 0;
        if (how & 0x80) {
            // Small limits for ordinary users, so that they are reached.
            cfg.limits.endpoints = 3;
            cfg.limits.sockets = 2;
            cfg.limits.held_bytes = 4096;
            cfg.limits.pending = 1;
        }
        stack_ = std::make_unique<Stack>(cfg, clock_, io_);
        if (how & 0x40) {
            // A link to network 2, where the input's hosts are.
            auto link = std::make_unique<FakeLink>(in.flag() ? 1500 : ipxcore::kIpxMaxPacket, in.flag());
            link_ = link.get();
            stack_->add_link(std::move(link));
        }
    }

    void run();
    void on_sent(uint32_t ep, const std::vector<uint8_t> &msg);
    void on_drop(uint32_t ep);
    bool on_closed(uint32_t ep);
    bool on_push(uint32_t ep, const std::vector<uint8_t> &msg);
    void on_reply(uint32_t call, const std::vector<uint8_t> &msg, bool last);
    void on_end_call(uint32_t call);
    void on_shut(uint32_t ep);

private:
    Slot *slot_of(uint32_t ep)
    {
        for (Slot &s : slots_)
            if (s.ep != 0 && s.ep == ep)
                return &s;
        return nullptr;
    }
    size_t live() const
    {
        size_t n = 0;
        for (const Slot &s : slots_)
            n += s.ep != 0;
        return n;
    }
    void request(Slot &s, uint32_t call = 0);
    void check_body(Slot &s, const Request &req, Reader &rd);
    void control(Slot &s);
    void hand_back(Slot &s);
    void post(Slot &s);
    void read_stream(Slot &s);
    void calls_gone();
    void address(Writer &w);
    void arrival();
    void settle();
    void check_quiet();

    fuzz::Input &in_;
    FakeClock clock_;
    Io io_;
    std::unique_ptr<Stack> stack_;
    FakeLink *link_ = nullptr;
    Slot slots_[6];
    uint32_t next_reqid_ = 1;
    std::vector<std::vector<uint8_t>> echoes_;  // returned replies, to come back
    // Closed by their clients; the server has yet to see the hangup.
    std::vector<uint32_t> closing_;
    std::map<uint32_t, Call> calls_;
    uint32_t next_call_ = 1;
};

bool Io::send(uint32_t ep, const std::vector<uint8_t> &msg)
{
    if (fail_next_send) {
        fail_next_send = false;
        return false;
    }
    h_.on_sent(ep, msg);
    return true;
}

void Io::drop(uint32_t ep) { h_.on_drop(ep); }

bool Io::closed(uint32_t ep) { return closed_answer && h_.on_closed(ep); }
bool Io::push(uint32_t ep, const std::vector<uint8_t> &msg) { return h_.on_push(ep, msg); }
void Io::reply(uint32_t call, const std::vector<uint8_t> &msg, bool last) { h_.on_reply(call, msg, last); }
void Io::end_call(uint32_t call) { h_.on_end_call(call); }
void Io::shut_input(uint32_t ep) { h_.on_shut(ep); }

bool Harness::on_closed(uint32_t ep)
{
    Slot *s = slot_of(ep);
    if (s == nullptr)
        return std::count(closing_.begin(), closing_.end(), ep) != 0;
    *s = Slot{};
    closing_.push_back(ep);
    return true;
}

void Harness::on_drop(uint32_t ep)
{
    if (std::count(closing_.begin(), closing_.end(), ep) != 0)
        return;
    Slot *s = slot_of(ep);
    FUZZ_CHECK(s != nullptr);  // only endpoints the clients hold are dropped
    *s = Slot{};
}

void Harness::on_sent(uint32_t ep, const std::vector<uint8_t> &msg)
{
    if (std::count(closing_.begin(), closing_.end(), ep) != 0)
        return;  // lost in a socket nobody reads any more
    Slot *s = slot_of(ep);
    FUZZ_CHECK(s != nullptr);  // nothing goes to an endpoint that is gone
    FUZZ_CHECK(msg.size() >= kHeaderLen);
    Header h = get_header(msg.data());
    FUZZ_CHECK(h.len == msg.size());
    for (auto it = echoes_.begin(); it != echoes_.end(); ++it) {
        if (*it == msg) {
            echoes_.erase(it);
            return;
        }
    }
    if (h.type == kDoorbell) {
        FUZZ_CHECK(h.reqid == 0 && msg.size() == kHeaderLen);
        FUZZ_CHECK(!s->doorbell);  // never two unread
        s->doorbell = true;
        s->expect_doorbell = false;
        return;
    }
    FUZZ_CHECK((h.type & kReply) != 0);
    FUZZ_CHECK((h.flags & ~kFlagPending) == 0);
    auto it = s->outstanding.find(h.reqid);
    FUZZ_CHECK(it != s->outstanding.end());  // one reply per request
    const Request req = it->second;
    s->outstanding.erase(it);
    FUZZ_CHECK(h.type == (req.type | kReply));
    // The library reads everything up to its reply, the doorbell included.
    s->doorbell = false;
    s->expect_doorbell = (h.flags & kFlagPending) != 0;
    if (h.terr != 0)
        return;
    Reader rd(msg.data() + kHeaderLen, msg.size() - kHeaderLen);
    check_body(*s, req, rd);
}

// The body of a successful reply to `req`, as the library reads it.
void Harness::check_body(Slot &slot, const Request &req, Reader &rd)
{
    Slot *s = &slot;
    int32_t i = 0;
    uint32_t a = 0, o = 0, u = 0;
    const uint8_t *ab = nullptr, *ob = nullptr;
    switch (req.type) {
    case kInfo: {
        InfoBody ib;
        FUZZ_CHECK(ib.read(rd) && rd.done());
        FUZZ_CHECK(ib.state >= T_UNBND && ib.state <= T_INREL);
        break;
    }
    case kLook:
        FUZZ_CHECK(rd.i32(i) && rd.done());
        break;
    case kBind:
        FUZZ_CHECK(rd.bytes(s->addr, kAddrLen) && rd.u32(u) && rd.done());
        s->have_addr = true;
        break;
    case kOptmgmt:
        FUZZ_CHECK(rd.i32(i) && rd.u32(o) && rd.view(ob, o) && rd.done());
        break;
    case kListen:
        FUZZ_CHECK(rd.i32(i));
        s->seqs.push_back(i);
        if (s->seqs.size() > 8)
            s->seqs.erase(s->seqs.begin());
        [[fallthrough]];
    case kConnect:
    case kRcvconnect:
        FUZZ_CHECK(rd.u32(a) && rd.u32(o) && rd.view(ab, a) && rd.view(ob, o) && rd.done());
        FUZZ_CHECK(a == kAddrLen);
        break;
    case kSnd:
        FUZZ_CHECK(rd.u32(u) && rd.done() && u <= req.snd);
        break;
    case kRcv:
        FUZZ_CHECK(rd.i32(i) && rd.remaining() <= req.max && rd.remaining() <= kMaxData);
        break;
    case kRcvdis:
        FUZZ_CHECK(rd.i32(i) && rd.i32(i) && rd.done());
        break;
    case kRcvudata:
        FUZZ_CHECK(rd.i32(i) && rd.u32(a) && rd.u32(o) && rd.view(ab, a) && rd.view(ob, o));
        FUZZ_CHECK(a <= req.amax && o <= req.omax && rd.remaining() <= req.max);
        break;
    case kRcvuderr:
        FUZZ_CHECK(rd.i32(i) && rd.u32(a) && rd.u32(o) && rd.view(ab, a) && rd.view(ob, o) &&
                   rd.done());
        break;
    case kProtaddr:
        FUZZ_CHECK(rd.u32(a) && rd.view(ab, a) && rd.u32(o) && rd.view(ob, o) && rd.done());
        FUZZ_CHECK((a == 0 || a == kAddrLen) && (o == 0 || o == kAddrLen));
        break;
    default:  // unbind, accept, snddis, sndudata, cancel, pause, unread
        FUZZ_CHECK(rd.done());
        break;
    }
}

// A piece of the stream (or the disconnect note) pushed into the socket.
bool Harness::on_push(uint32_t ep, const std::vector<uint8_t> &msg)
{
    if (std::count(closing_.begin(), closing_.end(), ep) != 0)
        return false;
    Slot *s = slot_of(ep);
    FUZZ_CHECK(s != nullptr);
    FUZZ_CHECK(msg.size() >= kHeaderLen);
    Header h = get_header(msg.data());
    FUZZ_CHECK(h.len == msg.size() && h.reqid != 0 && h.terr == 0 && h.syserr == 0);
    if (h.type == kDiscNote) {
        FUZZ_CHECK(msg.size() == kHeaderLen && h.flags == 0);
    } else {
        FUZZ_CHECK(h.type == kData && msg.size() >= kStreamHeaderLen);
        FUZZ_CHECK(msg.size() - kStreamHeaderLen <= kMaxData);
        int32_t f = 0;
        std::memcpy(&f, msg.data() + kHeaderLen, 4);
        FUZZ_CHECK((f & ~(T_MORE | T_EXPEDITED)) == 0);
        FUZZ_CHECK((h.flags & ~kFlagCut) == 0 && (!(h.flags & kFlagCut) || (f & T_MORE)));
        FUZZ_CHECK(s->disc_gen != h.reqid);  // nothing after the disconnect
    }
    if (s->sock.size() >= s->room) {
        s->want_writable = true;
        return false;
    }
    if (h.type == kDiscNote)
        s->disc_gen = h.reqid;
    s->sock.push_back(msg);
    return true;
}

void Harness::on_reply(uint32_t call, const std::vector<uint8_t> &msg, bool last)
{
    auto it = calls_.find(call);
    FUZZ_CHECK(it != calls_.end() && !it->second.done);  // only open connections
    Call &c = it->second;
    FUZZ_CHECK(msg.size() >= kHeaderLen + ControlPrefix::kLen);
    Header h = get_header(msg.data());
    FUZZ_CHECK(h.len == msg.size() && (h.type & kReply) != 0 && h.flags == 0);
    auto o = c.outstanding.find(h.reqid);
    FUZZ_CHECK(o != c.outstanding.end());  // one reply per request
    const Request req = o->second;
    c.outstanding.erase(o);
    FUZZ_CHECK(h.type == (req.type | kReply));
    Reader rd(msg.data() + kHeaderLen, msg.size() - kHeaderLen);
    ControlPrefix p;
    FUZZ_CHECK(p.read(rd));
    const uint32_t notes = kNoteDropBell | kNoteDropStream | kNoteUseStream | kNotePostClosed |
                           kNoteResDropBell;
    FUZZ_CHECK((p.notes & ~notes) == 0);
    if (last)
        c.done = true;
    if (req.type == kPause && h.terr == 0)
        c.paused = true;
    Slot *s = slot_of(c.ep);
    if (s == nullptr)
        return;  // closed by its clients meanwhile
    if (p.notes & kNoteDropBell)
        s->doorbell = false;
    if (p.notes & kNoteDropStream) {
        // The ended connection's messages at the socket's head go.
        while (!s->sock.empty() && get_header(s->sock.front().data()).reqid == p.old_gen)
            s->sock.pop_front();
    }
    s->gen = p.gen;
    if (p.notes & kNoteUseStream)
        FUZZ_CHECK(req.type == kRcv && rd.done());  // the data is in the socket
    else if (h.terr == 0)
        check_body(*s, req, rd);
}

void Harness::on_end_call(uint32_t call)
{
    auto it = calls_.find(call);
    FUZZ_CHECK(it != calls_.end());
    it->second.done = true;
}

void Harness::on_shut(uint32_t ep)
{
    Slot *s = slot_of(ep);
    if (s != nullptr)
        s->input_shut = true;
}

// The server closes the connections the stack is done with (and any whose
// client went away) between messages.
void Harness::calls_gone()
{
    for (auto it = calls_.begin(); it != calls_.end();) {
        if (it->second.done) {
            uint32_t id = it->first, ep = it->second.ep;
            it = calls_.erase(it);
            stack_->on_call_gone(id, ep);
        } else {
            ++it;
        }
    }
}

// A request on a control connection: a fresh one, or one still open.
void Harness::control(Slot &s)
{
    uint32_t call = 0;
    if (in_.flag()) {
        for (auto &[id, c] : calls_)
            if (c.ep == s.ep && !c.done && in_.flag()) {
                call = id;
                break;
            }
    }
    if (call == 0) {
        call = next_call_++;
        calls_[call].ep = s.ep;
    }
    request(s, call);
}

// A reader with a small buffer: pause, take the stream out, hand back
// what it likes (in order or not, with garbage now and then), and end, or
// go away paused.
void Harness::hand_back(Slot &s)
{
    const uint32_t call = next_call_++;
    calls_[call].ep = s.ep;
    const uint32_t ep = s.ep;
    auto send = [&](uint16_t type, const std::vector<uint8_t> &body, bool answered) {
        std::vector<uint8_t> msg = build(type, kFlagControl, next_reqid_++, 0, 0, body);
        if (answered) {
            Request r;
            r.type = type;
            calls_[call].outstanding[get_header(msg.data()).reqid] = r;
        }
        stack_->on_control(call, ep, msg.data(), msg.size(), 0, 0);
    };
    send(kPause, {}, true);
    auto it = calls_.find(call);
    if (it == calls_.end() || !it->second.paused || it->second.done || slot_of(ep) == nullptr)
        return;
    std::vector<std::vector<uint8_t>> taken(s.sock.begin(), s.sock.end());
    s.sock.clear();
    if (s.want_writable) {
        s.want_writable = false;
        stack_->on_writable(ep);  // nothing is pushed while paused
    }
    s.disc_gen = 0;
    for (size_t i = 0; i < taken.size() && !in_.empty(); i++) {
        const auto &m = taken[in_.flag() ? i : in_.u8() % taken.size()];
        Header h = get_header(m.data());
        uint32_t gen = in_.u8() % 8 == 0 ? in_.u32() : h.reqid;
        Writer w;
        if (h.type == kDiscNote) {
            w.i32(kUnreadDisc).u32(gen);
        } else {
            int32_t f = 0;
            std::memcpy(&f, m.data() + kHeaderLen, 4);
            size_t n = m.size() - kStreamHeaderLen;
            size_t from = in_.u8() % 4 == 0 ? in_.range(0, static_cast<uint32_t>(n)) : 0;
            w.i32(kUnreadData).u32(gen).i32(in_.u8() % 16 == 0 ? static_cast<int32_t>(in_.u32()) : f);
            w.bytes(m.data() + kStreamHeaderLen + from, n - from);
        }
        std::vector<uint8_t> body = w.data();
        if (in_.u8() % 16 == 0)
            body = in_.chunk(40);
        send(kUnread, body, false);
        if (calls_.count(call) == 0 || calls_[call].done || slot_of(ep) == nullptr)
            return;  // out of form: the connection was ended
    }
    if (in_.u8() % 4 == 0)
        return;  // left paused: the reader goes away later
    Writer end;
    end.i32(kUnreadEnd).u32(s.gen).u32(in_.u8() % 4 == 0 ? in_.u32() : in_.range(0, 2000));
    send(kUnread, end.data(), true);
}

// A posted send, as the server reads it: only while the stack takes them.
void Harness::post(Slot &s)
{
    if (s.input_shut || stack_->input_stalled(s.ep) || stack_->sends_stalled(s.ep))
        return;
    static const int32_t fl[] = {0, T_MORE, T_EXPEDITED, T_MORE | T_EXPEDITED};
    Header h;
    h.type = kPost;
    h.reqid = in_.u8() % 8 == 0 ? in_.u32() : s.gen;
    if (in_.u8() % 16 == 0)
        h.flags = in_.u16();
    Writer w;
    w.i32(in_.u8() % 16 == 0 ? static_cast<int32_t>(in_.u32()) : fl[in_.u8() % 4]);
    std::vector<uint8_t> d(in_.u8() % 4 == 0 ? in_.range(0, 5000) : in_.range(0, 600),
                           static_cast<uint8_t>(h.reqid));
    w.bytes(d.data(), d.size());
    std::vector<uint8_t> msg(kHeaderLen);
    msg.insert(msg.end(), w.data().begin(), w.data().end());
    h.len = static_cast<uint32_t>(in_.u8() % 32 == 0 ? in_.u32() : msg.size());
    put_header(h, msg.data());
    if (in_.u8() % 32 == 0)
        msg.resize(in_.u8() % (msg.size() + 1));
    stack_->on_post(s.ep, msg.data(), msg.size());
}

// The library reads some of what waits in the socket; a push that found
// it full is told that there is room.
void Harness::read_stream(Slot &s)
{
    s.room = in_.range(1, 8);
    for (size_t n = in_.range(0, 8); n > 0 && !s.sock.empty(); n--)
        s.sock.pop_front();
    if (s.want_writable && s.sock.size() < s.room) {
        s.want_writable = false;
        stack_->on_writable(s.ep);
    }
}

// An address for bind, connect or sndudata: mostly another endpoint's.
void Harness::address(Writer &w)
{
    uint8_t b[kAddrLen] = {};
    uint8_t how = in_.u8() % 8;
    const Slot &other = slots_[in_.u8() % 6];
    if (how < 4 && other.have_addr) {
        std::memcpy(b, other.addr, kAddrLen);
        if (how == 1)
            std::memset(b, 0, 10);  // net 0, node 0: the local ones
    } else if (how < 6) {
        static const uint16_t sockets[] = {0, 0x4001, 0x4002, 0x8063, 0x0452, 0x7FFF};
        uint16_t sock = sockets[in_.u8() % 6];
        b[9] = in_.u8() % 3 == 0 ? 1 : 0;
        b[10] = static_cast<uint8_t>(sock >> 8);
        b[11] = static_cast<uint8_t>(sock);
    } else if (how == 6 || link_ == nullptr) {
        std::vector<uint8_t> r = in_.bytes(kAddrLen);
        std::copy(r.begin(), r.end(), b);
    } else {
        // A host on the link's network.
        ipxcore::IpxAddress a;
        a.net = FakeLink::kNet;
        a.node = ipxcore::node_from_host(0x0a000000u | in_.range(2, 4));
        a.socket = in_.flag() ? 0x8063 : 0x4005;
        a.to_bytes(b);
    }
    w.bytes(b, kAddrLen);
}

// A packet from a host on the link: to one of the endpoints' sockets (SPX
// for a connection, perhaps to a connection the stack made), or anything.
void Harness::arrival()
{
    if (link_ == nullptr)
        return;
    uint8_t how = in_.u8();
    if (how % 4 == 0) {
        link_->arrivals.push_back(in_.chunk());
        return;
    }
    ipxcore::IpxHeader h;
    h.type = static_cast<uint8_t>(how % 4 == 1 ? ipxcore::kIpxTypeSpx : in_.u8());
    h.hops = in_.u8() % 4 == 0 ? in_.u8() : 0;
    const Slot &to = slots_[in_.u8() % 6];
    h.dst.net = in_.flag() ? FakeLink::kNet : 0;
    h.dst.node = in_.u8() % 8 == 0 ? ipxcore::kBroadcastNode : link_->node();
    h.dst.socket = to.have_addr ? static_cast<uint16_t>(to.addr[10] << 8 | to.addr[11]) : in_.u16();
    h.src.net = FakeLink::kNet;
    h.src.node = ipxcore::node_from_host(0x0a000000u | in_.range(1, 4));  // 1: this host's own
    h.src.socket = in_.flag() ? 0x8063 : 0x4005;
    std::vector<uint8_t> data;
    if (h.type == ipxcore::kIpxTypeSpx) {
        ipxcore::SpxHeader sh;
        static const uint8_t controls[] = {ipxcore::kSpxSys | ipxcore::kSpxSendAck,
                                           ipxcore::kSpxSys, ipxcore::kSpxSendAck,
                                           ipxcore::kSpxEom, 0};
        sh.control = controls[in_.u8() % 5];
        sh.dstype = in_.u8() % 4 == 0 ? 0xFE : 0;
        sh.src_id = static_cast<uint16_t>(in_.range(1, 4));
        sh.dst_id = in_.flag() ? 0xFFFF : static_cast<uint16_t>(in_.range(0, 8));
        sh.seq = static_cast<uint16_t>(in_.range(0, 8));
        sh.ack = static_cast<uint16_t>(in_.range(0, 8));
        sh.alloc = static_cast<uint16_t>(in_.range(0, 16));
        data.resize(ipxcore::kSpxHeaderLen);
        ipxcore::encode_spx(sh, data.data());
    }
    std::vector<uint8_t> more = in_.chunk();
    data.insert(data.end(), more.begin(), more.end());
    std::vector<uint8_t> pkt = ipxcore::encode_ipx(h, data.data(), data.size(), in_.flag());
    if (in_.u8() % 16 == 0 && !pkt.empty())
        pkt[in_.u8() % pkt.size()] ^= static_cast<uint8_t>(1u << (in_.u8() % 8));
    link_->arrivals.push_back(std::move(pkt));
}

void Harness::request(Slot &s, uint32_t call)
{
    static const uint16_t types[] = {kInfo,  kBind,   kUnbind, kOptmgmt,  kConnect, kRcvconnect,
                                     kListen, kAccept, kSnd,   kRcv,      kSnddis,  kRcvdis,
                                     kSndudata, kRcvudata, kRcvuderr, kLook, kCancel, kReturn,
                                     kProtaddr};
    constexpr size_t kTypes = sizeof types / sizeof types[0];
    uint8_t pick = in_.u8();
    uint16_t type = pick < 240 ? types[pick % kTypes] : in_.u16();
    uint16_t flags = in_.flag() ? kFlagBlock : 0;
    if (call != 0) {
        flags |= kFlagControl;
        if (s.doorbell && in_.flag())
            flags |= kFlagSawBell;
    }
    uint32_t reqid = next_reqid_++;
    uint32_t res_ep = 0;
    int uid = in_.u8() % 4 == 0 ? 1000 : 0;
    Request req;
    req.type = type;
    Writer w;
    switch (type) {
    case kBind: {
        int32_t has = in_.u8() % 4 != 0;
        uint32_t qlen = in_.u8() % 4 == 0 ? in_.u32() : in_.u8() % 4;
        w.i32(has).u32(qlen);
        address(w);
        break;
    }
    case kOptmgmt: {
        static const int32_t fl[] = {T_DEFAULT, T_NEGOTIATE, T_CHECK, 0};
        int32_t f = fl[in_.u8() % 4];
        std::vector<uint8_t> opt = in_.u8() % 4 == 0 ? in_.chunk(12) : in_.bytes(8);
        if (f == T_DEFAULT && in_.flag())
            opt.clear();
        w.i32(f).u32(static_cast<uint32_t>(opt.size())).bytes(opt.data(), opt.size());
        break;
    }
    case kConnect: {
        std::vector<uint8_t> opt = in_.flag() ? in_.bytes(8) : std::vector<uint8_t>{};
        w.u32(kAddrLen).u32(static_cast<uint32_t>(opt.size())).u32(0);
        address(w);
        w.bytes(opt.data(), opt.size());
        break;
    }
    case kAccept: {
        int32_t seq = !s.seqs.empty() && in_.u8() % 4 != 0
                          ? s.seqs[in_.u8() % s.seqs.size()]
                          : static_cast<int32_t>(in_.u8());
        std::vector<uint8_t> opt = in_.u8() % 4 == 0 ? in_.bytes(8) : std::vector<uint8_t>{};
        w.i32(seq).u32(static_cast<uint32_t>(opt.size())).u32(0).bytes(opt.data(), opt.size());
        uint8_t r = in_.u8();
        if (r % 3 == 1) {
            res_ep = slots_[in_.u8() % 6].ep;
        } else if (r % 3 == 2) {
            res_ep = UINT32_MAX;  // a descriptor that is no endpoint
        }
        if (res_ep != 0)
            flags |= kFlagFd;
        break;
    }
    case kSnd: {
        static const int32_t fl[] = {0, T_MORE, T_EXPEDITED, T_MORE | T_EXPEDITED};
        w.i32(fl[in_.u8() % 4]);
        req.snd = in_.range(0, 3000);
        std::vector<uint8_t> d(req.snd, static_cast<uint8_t>(reqid));
        w.bytes(d.data(), d.size());
        break;
    }
    case kRcv:
        req.max = in_.u8() % 8 == 0 ? in_.u32() : in_.range(0, 1200);
        w.u32(req.max);
        break;
    case kSnddis: {
        int32_t seq = !s.seqs.empty() ? s.seqs[in_.u8() % s.seqs.size()] : 1;
        int32_t has = in_.u8() % 4 != 0;
        w.i32(has).i32(seq).u32(0);
        break;
    }
    case kSndudata: {
        std::vector<uint8_t> opt = in_.flag() ? in_.bytes(2) : std::vector<uint8_t>{};
        w.u32(kAddrLen).u32(static_cast<uint32_t>(opt.size()));
        address(w);
        w.bytes(opt.data(), opt.size());
        std::vector<uint8_t> d(in_.range(0, 600), 0x33);
        w.bytes(d.data(), d.size());
        break;
    }
    case kRcvudata: {
        static const uint32_t am[] = {0, kAddrLen, 4, 64};
        static const uint32_t om[] = {0, 2, 1, 64};
        req.amax = am[in_.u8() % 4];
        req.omax = om[in_.u8() % 4];
        req.max = in_.range(0, 700);
        w.u32(req.amax).u32(req.omax).u32(req.max);
        break;
    }
    case kCancel: {
        uint32_t target = in_.u32();
        if (!s.outstanding.empty() && in_.u8() % 8 != 0) {
            auto it = s.outstanding.begin();
            std::advance(it, in_.u8() % s.outstanding.size());
            target = it->first;
        } else if (in_.flag()) {
            target = reqid - 1;  // just answered, perhaps
        }
        w.u32(target);
        break;
    }
    case kReturn: {
        // Another process's reply, handed back to be sent again.
        std::vector<uint8_t> body = in_.chunk(40);
        uint16_t rt = static_cast<uint16_t>(types[in_.u8() % kTypes] | kReply);
        std::vector<uint8_t> r = build(rt, 0, in_.u32() | 0x100, 0, 0, body);
        if (in_.u8() % 8 == 0)
            r = in_.chunk(40);  // garbage
        w.bytes(r.data(), r.size());
        break;
    }
    default:
        break;  // no body
    }
    std::vector<uint8_t> msg = build(type, flags, reqid, 0, 0, w.data());
    // Now and then a message the library would never send.
    uint8_t damage = in_.u8();
    if (damage % 16 == 1) {
        std::vector<uint8_t> tail = in_.chunk(32);
        msg.resize(kHeaderLen);
        msg.insert(msg.end(), tail.begin(), tail.end());
        Header h = get_header(msg.data());
        h.len = static_cast<uint32_t>(msg.size());
        put_header(h, msg.data());
    } else if (damage % 16 == 2) {
        msg.resize(in_.u8() % (msg.size() + 1));
    } else if (damage % 16 == 3 && msg.size() >= 8) {
        msg[in_.u8() % 8] ^= static_cast<uint8_t>(1u << (in_.u8() % 8));
    }
    std::map<uint32_t, Request> &outstanding = call != 0 ? calls_[call].outstanding : s.outstanding;
    if (msg.size() >= kHeaderLen) {
        Header h = get_header(msg.data());
        if (call == 0 && h.type == kReturn && h.len == msg.size()) {
            echoes_.emplace_back(msg.begin() + kHeaderLen, msg.end());
        } else if (h.type != type || damage % 16 == 1) {
            // Damaged into another request, or another body: its reply is
            // only checked for form.
            Request any;
            any.type = h.type;
            any.max = any.amax = any.omax = any.snd = UINT32_MAX;
            outstanding[h.reqid] = any;
        } else {
            outstanding[h.reqid] = req;
        }
    }
    const uint32_t ep = s.ep;
    if (call != 0)
        stack_->on_control(call, ep, msg.data(), msg.size(), res_ep, uid);
    else
        stack_->on_message(ep, msg.data(), msg.size(), res_ep, uid);
    // What the server does once it sees a client's close.
    for (uint32_t gone : closing_)
        stack_->on_hangup(gone);
    closing_.clear();
}

// The loop at one instant: whatever is due now gets done in a bounded
// number of rounds. (A round may move as little as one window of one-byte
// packets of a connection: 64 KiB queued takes thousands of rounds.)
void Harness::settle()
{
    stack_->tick(clock_.now);
    stack_->run();
    for (int i = 0; i < 100000 && stack_->next_deadline() <= clock_.now; i++)
        stack_->run();
    FUZZ_CHECK(stack_->next_deadline() > clock_.now);
}

void Harness::check_quiet()
{
    FUZZ_CHECK(stack_->endpoint_count() == live());
    if (io_.fail_next_send)
        return;
    for (const Slot &s : slots_)
        FUZZ_CHECK(s.ep == 0 || !s.expect_doorbell);
}

void Harness::run()
{
    while (!in_.empty()) {
        uint8_t op = in_.u8() % 18;
        Slot &s = slots_[in_.u8() % 6];
        switch (op) {
        case 0:
            if (s.ep == 0) {
                s = Slot{};
                // An ordinary user's endpoint (high bit) may be refused.
                uint8_t how = in_.u8();
                s.svc = how % 3 == 0 ? Service::Datagram : Service::Spx;
                s.ep = stack_->open(s.svc, how & 0x80 ? 1000 : 0);
            }
            break;
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
            if (s.ep != 0)
                request(s);
            break;
        case 6:
            if (s.ep != 0 && in_.u8() % 4 == 0) {
                uint32_t ep = s.ep;
                s = Slot{};
                stack_->on_hangup(ep);
            }
            break;
        case 7:
            if (s.ep != 0 && in_.u8() % 8 == 0)
                stack_->reject(s.ep, "unreadable message");
            break;
        case 8:
        case 9:
            clock_.now += in_.flag() ? in_.u16() : in_.u8();
            settle();
            break;
        case 10: {
            uint64_t d = stack_->next_deadline();
            if (d != UINT64_MAX && d > clock_.now)
                clock_.now = d;
            settle();
            break;
        }
        case 11:
            if (in_.flag())
                io_.closed_answer = !io_.closed_answer;
            else if (in_.u8() % 4 == 0)
                io_.fail_next_send = true;
            break;
        case 12:
            arrival();
            break;
        case 13:
        case 14:
            if (s.ep != 0)
                control(s);
            break;
        case 15:
            if (s.ep != 0)
                (in_.flag() ? hand_back(s) : read_stream(s));
            break;
        case 16:
            if (s.ep != 0)
                post(s);
            break;
        case 17: {
            // A client closes a control connection (it went away).
            auto it = calls_.begin();
            if (!calls_.empty())
                std::advance(it, in_.u8() % calls_.size());
            if (it != calls_.end())
                it->second.done = true;
            break;
        }
        }
        calls_gone();
        check_quiet();
    }
    // Every client goes away: the connections end by themselves.
    io_.fail_next_send = false;
    for (auto &[id, c] : calls_)
        c.done = true;
    calls_gone();
    for (Slot &s : slots_) {
        if (s.ep != 0) {
            uint32_t ep = s.ep;
            s = Slot{};
            stack_->on_hangup(ep);
        }
    }
    FUZZ_CHECK(stack_->endpoint_count() == 0);
    for (int i = 0; i < 600 && stack_->connection_count() > 0; i++) {
        clock_.now += 1000;
        settle();
    }
    FUZZ_CHECK(stack_->connection_count() == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    Harness h(in);
    h.run();
    return 0;
}
