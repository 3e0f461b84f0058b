#include "stack.h"

#include <tiuser.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <unistd.h>

namespace ipxstackd {

using namespace tliproto;
using ipxcore::SpxConnection;
using ipxcore::SpxState;

namespace {

constexpr size_t kMaxQueuedDatagrams = 128;
// Connection requests a listener keeps beyond its queue, and for how long.
constexpr size_t kMaxOverflow = 256;
constexpr uint64_t kOverflowWaitMs = 30000;
constexpr size_t kMaxQueuedUdErr = 16;
// Most received data one hand-back returns: what the endpoint's socket can
// hold (its buffer, which the kernel doubles) and the piece being read.
constexpr size_t kMaxUnread = 4 * tliproto::kMaxData;
constexpr uint32_t kMaxQlen = 64;
// Processes sharing an endpoint may each have a request outstanding (one
// blocked in t_rcv while another sends); more than this is abuse.
constexpr size_t kMaxHeld = 16;
constexpr std::array<uint8_t, 6> kNodeOne{0, 0, 0, 0, 0, 1};
constexpr std::array<uint8_t, 6> kNodeZero{0, 0, 0, 0, 0, 0};

const char *state_name(int s)
{
    static const char *const names[] = {"UNINIT", "UNBND",    "IDLE",   "OUTCON",
                                        "INCON",  "DATAXFER", "OUTREL", "INREL"};
    return s >= 0 && s <= 7 ? names[s] : "?";
}

const char *conn_state_name(SpxState s)
{
    switch (s) {
    case SpxState::Connecting: return "connecting";
    case SpxState::Offered: return "offered";
    case SpxState::Established: return "established";
    case SpxState::Closing: return "closing";
    case SpxState::Closed: return "closed";
    case SpxState::Aborted: return "aborted";
    }
    return "?";
}

bool finished(const SpxConnection &c)
{
    return c.state() == SpxState::Closed || c.state() == SpxState::Aborted;
}

} // namespace

// ---- options -------------------------------------------------------------

void SpxOptions::to_bytes(uint8_t *out) const
{
    out[0] = flags;
    out[1] = rsrv;
    std::memcpy(out + 2, &ackdel, 2);
    std::memcpy(out + 4, &sackdel, 2);
    std::memcpy(out + 6, &max, 2);
}

SpxOptions SpxOptions::from_bytes(const uint8_t *in)
{
    SpxOptions o;
    o.flags = in[0];
    o.rsrv = in[1];
    std::memcpy(&o.ackdel, in + 2, 2);
    std::memcpy(&o.sackdel, in + 4, 2);
    std::memcpy(&o.max, in + 6, 2);
    return o;
}

SpxOptions SpxOptions::negotiated() const
{
    SpxOptions o = *this;
    o.flags &= 0x01;
    o.rsrv &= 0x8F;
    if (o.sackdel == 0)
        o.sackdel = 3000;
    else if (o.sackdel < 100)
        o.sackdel = 100;
    if (o.max == 0 || o.max > ipxcore::kSpxMaxData)
        o.max = ipxcore::kSpxMaxData;
    return o;
}

ipxcore::SpxConfig SpxOptions::config() const
{
    ipxcore::SpxConfig c;
    c.max_data = max;
    c.ack_delay_ms = ackdel;
    c.verify_idle_ms = sackdel;
    c.abort_idle_ms = std::max<uint32_t>(30000, 4u * sackdel);
    c.trace_level = rsrv & 0x0F;
    c.checksum = (flags & 0x01) != 0;
    return c;
}

// ---- limits ----------------------------------------------------------------

bool UserLimits::parse(const std::string &text, UserLimits &out, std::string &error)
{
    UserLimits l = out;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string item = text.substr(pos, end - pos);
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string val = eq == std::string::npos ? "" : item.substr(eq + 1);
        char *stop = nullptr;
        errno = 0;
        unsigned long long v = val.empty() || val[0] == '-' ? 0 : std::strtoull(val.c_str(), &stop, 10);
        if (val.empty() || val[0] == '-' || errno != 0 || *stop != '\0' || v == 0 || v > (1u << 30)) {
            error = "bad value in " + (item.empty() ? std::string("\"\"") : item);
            return false;
        }
        if (key == "endpoints")
            l.endpoints = static_cast<uint32_t>(v);
        else if (key == "sockets")
            l.sockets = static_cast<uint32_t>(v);
        else if (key == "held")
            l.held_bytes = static_cast<size_t>(v) * 1024;
        else if (key == "pending")
            l.pending = static_cast<uint32_t>(v);
        else {
            error = "unknown limit " + key;
            return false;
        }
        pos = end + 1;
    }
    out = l;
    return true;
}

// ---- life of endpoints ---------------------------------------------------

Stack::Stack(const StackConfig &cfg, const Clock &clock, StackIo &io)
    : cfg_(cfg), clock_(clock), io_(io),
      router_(RouterConfig{cfg.forward, cfg.rip, cfg.host ^ cfg.net}, links_,
              [this](const std::string &line) { io_.log(line); })
{
    ipxcore::LinkInfo internal{cfg.net, ipxcore::node_from_host(cfg.host), ipxcore::kIpxMaxPacket};
    std::unique_ptr<ipxcore::Link> loop = std::make_unique<ipxcore::LoopbackLink>(4096, internal);
    if (cfg.impair)
        loop = std::make_unique<ipxcore::ImpairedLink>(std::move(loop), *cfg.impair);
    links_.push_back(std::move(loop));
    now_ = clock_.now_ms();
}

void Stack::add_link(std::unique_ptr<ipxcore::Link> link)
{
    if (cfg_.impair) {
        // Each link draws its own impairment.
        ipxcore::ImpairmentConfig ic = *cfg_.impair;
        ic.seed += links_.size();
        link = std::make_unique<ipxcore::ImpairedLink>(std::move(link), ic);
    }
    links_.push_back(std::move(link));
}

bool Stack::links_settled() const
{
    return std::none_of(links_.begin(), links_.end(), [](const auto &l) {
        return l->state() == ipxcore::LinkState::Registering;
    });
}

Stack::~Stack() = default;

uint32_t Stack::open(Service svc, uint32_t owner)
{
    if (owner != 0) {
        auto u = users_.find(owner);
        if (u != users_.end() &&
            u->second.endpoints + u->second.lingering >= cfg_.limits.endpoints)
            return 0;
    }
    auto e = std::make_unique<Endpoint>();
    e->id = next_ep_++;
    if (next_ep_ == 0 || next_ep_ == UINT32_MAX)
        next_ep_ = 1;
    e->svc = svc;
    e->owner = owner;
    e->state = T_UNBND;
    usage(owner).endpoints++;
    uint32_t id = e->id;
    eps_[id] = std::move(e);
    touch(id);
    counters_.endpoints_opened++;
    return id;
}

Stack::Endpoint *Stack::find(uint32_t ep)
{
    auto it = eps_.find(ep);
    return it == eps_.end() ? nullptr : it->second.get();
}

const Stack::Endpoint *Stack::find(uint32_t ep) const
{
    auto it = eps_.find(ep);
    return it == eps_.end() ? nullptr : it->second.get();
}

void Stack::forget_user_if_idle(uint32_t uid)
{
    auto u = users_.find(uid);
    if (u != users_.end() && u->second.endpoints == 0 && u->second.lingering == 0 &&
        u->second.sockets == 0 && u->second.held == 0)
        users_.erase(u);
}

// Held requests keep copies of their bodies (a t_snd its data): counted per
// endpoint and per user, so that the server can stop reading sends.
void Stack::add_held(Endpoint &e, Held &&h)
{
    size_t n = h.body.size();
    e.held_bytes += n;
    usage(e.owner).held += n;
    held_total_ += n;
    if (h.call == 0)
        e.held_here++;
    e.held.push_back(std::move(h));
}

void Stack::charge(Endpoint &e, size_t n)
{
    e.held_bytes += n;
    usage(e.owner).held += n;
    held_total_ += n;
}

void Stack::discharge(Endpoint &e, size_t n)
{
    e.held_bytes -= n;
    usage(e.owner).held -= n;
    held_total_ -= n;
}

// Received data held in the daemon (waiting for room in the endpoint's
// socket, or handed back by a reader) counts as the owner's, as sends do.
void Stack::clear_pieces(Endpoint &e, std::deque<Piece> &q)
{
    for (const Piece &p : q)
        discharge(e, p.data.size());
    q.clear();
}

void Stack::erase_held(Endpoint &e, std::deque<Held>::iterator it)
{
    size_t n = it->body.size();
    e.held_bytes -= n;
    usage(e.owner).held -= n;
    held_total_ -= n;
    if (it->call == 0)
        e.held_here--;
    e.held.erase(it);
}

bool Stack::input_stalled(uint32_t ep) const
{
    const Endpoint *e = find(ep);
    return e != nullptr && !e->posts.empty();
}

bool Stack::over_user_limit(uint32_t owner) const
{
    if (owner == 0)
        return false;
    auto u = users_.find(owner);
    return u != users_.end() && u->second.held >= cfg_.limits.held_bytes;
}

bool Stack::sends_stalled(uint32_t ep) const
{
    const Endpoint *e = find(ep);
    if (e == nullptr)
        return false;
    if (e->held_bytes >= kHeldBytesPerEndpoint)
        return true;
    if (e->owner == 0)
        return false;
    auto u = users_.find(e->owner);
    return u != users_.end() && u->second.held >= cfg_.limits.held_bytes;
}

InfoBody Stack::info(uint32_t ep) const
{
    InfoBody b;
    auto it = eps_.find(ep);
    if (it == eps_.end())
        return b;
    const Endpoint &e = *it->second;
    b.addr = kAddrLen;
    b.connect = -2;
    b.discon = -2;
    if (e.svc == Service::Datagram) {
        b.options = 2;
        b.tsdu = ipxcore::kIpxMaxData;
        b.etsdu = -2;
        b.servtype = T_CLTS;
    } else {
        // Units of any size: t_snd segments them, t_rcv marks T_MORE.
        b.options = SpxOptions::kLen;
        b.tsdu = -1;
        b.etsdu = ipxcore::kSpxMaxData;
        b.servtype = T_COTS;
    }
    b.state = e.state;
    return b;
}

void Stack::on_hangup(uint32_t ep)
{
    touch(ep);
    Endpoint *e = find(ep);
    if (e != nullptr)
        destroy(*e);
}

// Ends an endpoint: callers it had not answered are refused, a connection
// it carried ends in order after everything queued has been delivered (the
// connection lingers in the stack), a call in progress is withdrawn.
void Stack::destroy(Endpoint &e)
{
    for (const Indication &ind : e.inds) {
        refuse(e, ind);
        retire(ind.conn);
    }
    e.inds.clear();
    // Callers waiting beyond the queue are refused too.
    for (const Waiting &w : e.overflow)
        send_spx_control(e.addr, w.src, ipxcore::kSpxUnknownId, w.sh.src_id);
    e.overflow.clear();
    if (e.conn != 0) {
        auto it = conns_.find(e.conn);
        if (it != conns_.end()) {
            SpxConnection &c = *it->second.c;
            if (c.state() == SpxState::Connecting) {
                send_withdraw(c);
                retire(e.conn);
            } else {
                linger_with_posts(e);
            }
        }
        e.conn = 0;
    }
    release_socket(e);
    drop_posts(e);
    uint32_t owner = e.owner;
    Usage &u = usage(owner);
    u.endpoints--;
    u.held -= e.held_bytes;
    held_total_ -= e.held_bytes;
    eps_.erase(e.id);
    forget_user_if_idle(owner);
}

void Stack::reject(uint32_t ep, const std::string &why)
{
    touch(ep);
    Endpoint *e = find(ep);
    if (e != nullptr)
        violation(*e, why);
}

void Stack::violation(Endpoint &e, const std::string &why)
{
    counters_.bad_messages++;
    io_.log("endpoint " + std::to_string(e.id) + ": " + why + "; endpoint closed");
    uint32_t id = e.id;
    destroy(e);
    io_.drop(id);
}

void Stack::reply(Endpoint &e, uint32_t call, uint32_t reqid, uint16_t type, Answer &a, bool more)
{
    if (call != 0) {
        // The caller waits on its control connection and reads the
        // endpoint's socket only as the prefix tells it: a doorbell needed
        // goes into the socket before the reply, one no longer needed (or a
        // stale one the caller saw) is for the caller to take out.
        refresh(e);
        ControlPrefix &p = a.pre;
        p.gen = e.stream ? e.gen : 0;
        if (e.input_shut)
            p.notes |= kNotePostClosed;
        const bool stale = a.saw_bell && !e.doorbell;
        bool ring = false;
        if (e.stream || events(e) == 0) {
            if (e.doorbell || stale)
                p.notes |= kNoteDropBell;
            e.doorbell = false;
        } else {
            ring = true;
            if (stale)
                p.notes |= kNoteDropBell;
        }
        const bool held = std::any_of(e.held.begin(), e.held.end(),
                                      [&](const Held &x) { return x.call == call; });
        const bool last = !more && !held && e.paused_by != call;
        Writer w;
        p.write(w);
        const auto &b = a.body.data();
        w.bytes(b.data(), b.size());
        auto msg = build(static_cast<uint16_t>(type | kReply), 0, reqid, a.terr, a.syserr, w.data());
        if (ring)
            update_doorbell(e);  // may end the endpoint: `e` is not used after it
        io_.reply(call, msg, last);
        return;
    }
    // The library reads everything up to its reply, doorbells included.
    e.doorbell = false;
    if (type != kCancel) {
        e.answered[e.answered_next] = reqid;
        e.answered_next = (e.answered_next + 1) % e.answered.size();
    }
    refresh(e);
    // Said only when a doorbell follows (a stream carries its events itself).
    const bool pending = e.held_here == 0 && !e.stream && events(e) != 0;
    if (!io_.send(e.id, build(static_cast<uint16_t>(type | kReply), pending ? kFlagPending : 0,
                              reqid, a.terr, a.syserr, a.body.data()))) {
        uint32_t id = e.id;
        destroy(e);
        io_.drop(id);
        return;
    }
    if (pending)
        update_doorbell(e);
}

// ---- events --------------------------------------------------------------

int Stack::events(const Endpoint &e) const
{
    int ev = 0;
    if (e.svc == Service::Datagram) {
        if (!e.uderr.empty()) ev |= T_UDERR;
        if (!e.rx.empty()) ev |= T_DATA;
        return ev;
    }
    if (!e.discon.empty()) ev |= T_DISCONNECT;
    for (const Indication &i : e.inds)
        if (!i.listened) ev |= T_LISTEN;
    if (e.conn != 0) {
        auto it = conns_.find(e.conn);
        if (it != conns_.end()) {
            const SpxConnection &c = *it->second.c;
            if (e.state == T_OUTCON && c.state() != SpxState::Connecting && !finished(c))
                ev |= T_CONNECT;
            if (e.state != T_OUTCON && c.readable())
                ev |= c.next_is_attention() ? T_EXDATA : T_DATA;
        }
    }
    return ev;
}

int Stack::look(const Endpoint &e) const
{
    int ev = events(e);
    for (int bit : {T_DISCONNECT, T_UDERR, T_LISTEN, T_CONNECT, T_EXDATA, T_DATA})
        if (ev & bit) return bit;
    return 0;
}

int32_t Stack::reason_of(const SpxConnection &c)
{
    switch (c.close_reason()) {
    case ipxcore::SpxCloseReason::PeerClose: return kReasonPeerClosed;
    case ipxcore::SpxCloseReason::Timeout: return kReasonTimeout;
    case ipxcore::SpxCloseReason::WatchdogTimeout: return kReasonDeadPeer;
    case ipxcore::SpxCloseReason::Refused: return kReasonRefused;
    default: return kReasonAborted;
    }
}

// Turns finished connections into disconnect indications. A connection's
// data is all readable before its disconnect shows.
void Stack::refresh(Endpoint &e)
{
    if (e.svc != Service::Spx)
        return;
    if (e.conn != 0) {
        auto it = conns_.find(e.conn);
        if (it == conns_.end()) {
            e.discon.push_back({kReasonAborted, -1});
            e.conn = 0;
        } else {
            SpxConnection &c = *it->second.c;
            if (finished(c) && !c.readable()) {
                int32_t reason = it->second.forced_reason ? it->second.forced_reason : reason_of(c);
                e.discon.push_back({reason, -1});
                retire(e.conn);
                e.conn = 0;
            }
        }
    }
    for (auto it = e.inds.begin(); it != e.inds.end();) {
        auto s = conns_.find(it->conn);
        if (s == conns_.end() || finished(*s->second.c) || s->second.forced_reason) {
            if (it->listened)
                e.discon.push_back({kReasonWithdrawn, it->seq});
            if (s != conns_.end())
                retire(it->conn);
            it = e.inds.erase(it);
        } else {
            ++it;
        }
    }
}

void Stack::update_doorbell(Endpoint &e)
{
    // A request held for the endpoint's socket reads the socket until its
    // reply: no doorbell meanwhile. A stream carries its events itself.
    if (e.held_here != 0 || e.doorbell || e.stream || events(e) == 0)
        return;
    e.doorbell = true;
    if (!io_.send(e.id, build(kDoorbell, 0, 0, 0, 0, {}))) {
        // The client's end is gone (its hangup is still to be read).
        uint32_t id = e.id;
        destroy(e);
        io_.drop(id);
    }
}

// Tries to answer the requests the endpoint holds, oldest first.
void Stack::service(Endpoint &e)
{
    const uint32_t id = e.id;
    for (size_t i = 0; i < e.held.size();) {
        if (service_one(e, i)) {
            if (find(id) == nullptr)
                return;
        } else {
            i++;
        }
    }
}

bool Stack::service_one(Endpoint &e, size_t index)
{
    Held &h = e.held[index];
    Answer a;
    bool done = false;
    Reader rd(h.body.data(), h.body.size());
    switch (h.type) {
    case kListen: done = try_listen(e, a); break;
    case kConnect:
    case kRcvconnect: done = try_connect_done(e, a, h.call != 0); break;
    case kRcv: {
        uint32_t max = 0;
        rd.u32(max);
        done = try_rcv(e, max, a);
        break;
    }
    case kRcvudata: {
        uint32_t am = 0, om = 0, dm = 0;
        rd.u32(am) && rd.u32(om) && rd.u32(dm);
        done = try_rcvudata(e, am, om, dm, a);
        break;
    }
    case kSnd: done = e.posts.empty() && push_snd(e, h, a, true); break;
    default: done = true; a.terr = TSYSERR; a.syserr = EPROTO; break;
    }
    if (!done)
        return false;
    uint32_t reqid = h.reqid;
    uint16_t type = h.type;
    uint32_t call = h.call;
    erase_held(e, e.held.begin() + static_cast<long>(index));
    reply(e, call, reqid, type, a);
    return true;
}

// ---- the loop --------------------------------------------------------------

void Stack::tick(uint64_t now_ms)
{
    now_ = now_ms;
}

void Stack::run()
{
    // A bounded number of packets per link and round, so that one busy
    // exchange cannot keep the loop from the endpoints' sockets.
    for (auto &link : links_) {
        if (link->next_deadline() <= now_)
            link->on_timer(now_);
        std::vector<uint8_t> pkt;
        for (int i = 0; i < 1024 && link->receive(pkt, now_); i++)
            on_packet(pkt, *link);
    }
    run_router();
    for (auto &[id, slot] : conns_)
        if (slot.c->next_deadline() <= now_) {
            slot.c->on_timer(now_);
            touch(slot.ep);
        }
    drain_lingering();
    feed_lingering();
    for (auto it = conns_.begin(); it != conns_.end();) {
        if (it->second.ep == 0 && finished(*it->second.c))
            it = erase_conn(it);
        else
            ++it;
    }
    settle();
}

void Stack::settle()
{
    // The endpoints touched since the last round, or every one once a
    // second. What an endpoint's settling does to another touches that one
    // for the next round.
    std::vector<uint32_t> ids;
    if (now_ >= last_sweep_ + cfg_.settle_all_ms) {
        last_sweep_ = now_;
        ids.reserve(eps_.size());
        for (auto &[id, e] : eps_)
            ids.push_back(id);
        dirty_.clear();
    } else {
        ids.assign(dirty_.begin(), dirty_.end());
        dirty_.clear();
    }
    for (uint32_t id : ids) {
        Endpoint *e = find(id);
        if (e == nullptr) continue;
        refresh(*e);
        feed_posts(*e);
        // Requests from the overflow that take free places are indications
        // before a held t_listen is served: it takes them at once.
        if (!e->overflow.empty())
            promote(*e);
        service(*e);
        if ((e = find(id)) == nullptr) continue;
        refresh(*e);
        if (!e->overflow.empty()) {
            // Places that the answers just freed.
            size_t before = e->inds.size();
            promote(*e);
            if (e->inds.size() != before) {
                service(*e);
                if ((e = find(id)) == nullptr) continue;
                refresh(*e);
            }
        }
        push_stream(*e);
        update_doorbell(*e);
        // Work still waiting (held requests, posted sends, requests beyond
        // the queue, data not yet pushed, a pause): settled again next round.
        // (The endpoint may be gone: a message it could not take ends it.)
        if ((e = find(id)) != nullptr &&
            (!e->held.empty() || !e->posts.empty() || !e->overflow.empty() || !e->pushq.empty() ||
             !e->unread.empty() || e->paused_by != 0))
            touch(id);
    }
}

// ---- the data path -----------------------------------------------------------

// A connection starts on the endpoint: a new stream generation, so that what
// belongs to an earlier connection is told apart. `stream`: a library that
// reads the stream asked for it (on a control connection).
void Stack::enter_dataxfer(Endpoint &e, bool stream)
{
    e.state = T_DATAXFER;
    e.gen = next_gen_++;
    if (next_gen_ == 0)
        next_gen_ = 1;
    e.stream = stream;
    e.piece_max = kMaxData;
    e.disc_noted = false;
}

// The connection is over for the endpoint (t_snddis, t_rcvdis, close):
// nothing more is pushed or taken for its generation.
void Stack::leave_stream(Endpoint &e)
{
    e.gen = 0;
    e.stream = false;
    clear_pieces(e, e.pushq);
    clear_pieces(e, e.unread);
    e.disc_noted = false;
    e.paused_by = 0;
    drop_posts(e);
}

void Stack::drop_posts(Endpoint &e)
{
    for (const Held &h : e.posts) {
        size_t n = h.body.size();
        e.held_bytes -= n;
        usage(e.owner).held -= n;
        held_total_ -= n;
    }
    e.posts.clear();
}

// Posted sends go into the connection as it takes them. The last piece of
// a posted send carries the end of the unit unless T_MORE was given.
void Stack::feed_posts(Endpoint &e)
{
    if (e.posts.empty())
        return;
    auto it = e.conn ? conns_.find(e.conn) : conns_.end();
    if (it == conns_.end() || finished(*it->second.c)) {
        counters_.posts_dropped += e.posts.size();
        drop_posts(e);
        return;
    }
    size_t fed = feed(*it->second.c, e.posts, e.owner);
    e.held_bytes -= fed;
}

// Feeds whole posted sends of `q` into `c` as far as it takes them; returns
// the bytes of those that went in completely (no longer held by `owner`).
size_t Stack::feed(SpxConnection &c, std::deque<Held> &q, uint32_t owner)
{
    size_t done = 0;
    while (!q.empty()) {
        Held &h = q.front();
        const size_t size = h.body.size();
        while (h.off < size) {
            size_t space = c.send_space();
            if (space == 0)
                return done;
            size_t n = std::min(space, size - h.off);
            bool eom = h.off + n == size && !(h.flags & T_MORE);
            size_t taken = c.send(h.body.data() + h.off, n, eom, (h.flags & T_EXPEDITED) != 0, now_);
            h.off += taken;
            if (taken == 0)
                return done;
        }
        usage(owner).held -= size;
        held_total_ -= size;
        done += size;
        q.pop_front();
    }
    return done;
}

// Received data goes into the endpoint's socket as it arrives, in pieces of
// at most piece_max bytes that never mix two units or attention and normal
// data; after the last piece, the disconnect note. The socket's buffer
// bounds how far ahead the stream runs: when it is full, what was read
// waits in pushq and the connection's window closes.
void Stack::push_stream(Endpoint &e)
{
    if (!e.stream || e.paused_by != 0)
        return;
    size_t cap = std::min<size_t>(e.piece_max, kMaxData);
    if (cfg_.rcv_max > 0)
        cap = std::min<size_t>(cap, cfg_.rcv_max);
    // Pieces cut at the size a reader with a small buffer asked for say so:
    // a reader with a larger buffer then asks for larger pieces again.
    const bool small = e.piece_max < kMaxData && cap == e.piece_max;
    auto it = e.conn ? conns_.find(e.conn) : conns_.end();
    SpxConnection *c = it != conns_.end() ? it->second.c.get() : nullptr;
    for (;;) {
        std::vector<uint8_t> msg;
        if (!e.pushq.empty()) {
            Piece &p = e.pushq.front();
            size_t n = std::min(cap, p.data.size());
            int32_t flags = n < p.data.size() ? (T_MORE | (p.flags & T_EXPEDITED)) : p.flags;
            Writer w;
            w.i32(flags).bytes(p.data.data(), n);
            msg = build(kData, small && n < p.data.size() ? kFlagCut : 0, e.gen, 0, 0, w.data());
            if (!io_.push(e.id, msg))
                return;
            discharge(e, n);
            if (n < p.data.size())
                p.data.erase(p.data.begin(), p.data.begin() + static_cast<long>(n));
            else
                e.pushq.pop_front();
            continue;
        }
        // An ordinary user who holds as much as it may gets no more read
        // out of its connections (their windows close) until it holds less.
        if (c != nullptr && c->readable() && !over_user_limit(e.owner)) {
            msg.resize(kStreamHeaderLen + cap);
            ipxcore::SpxReadResult r = c->read(msg.data() + kStreamHeaderLen, cap, now_);
            int32_t flags = 0;
            if (!r.end_of_unit) flags |= T_MORE;
            if (r.attention) flags |= T_EXPEDITED;
            msg.resize(kStreamHeaderLen + r.bytes);
            Header h;
            h.type = kData;
            h.len = static_cast<uint32_t>(msg.size());
            h.reqid = e.gen;
            if (small && !r.end_of_unit && r.bytes == cap)
                h.flags = kFlagCut;
            put_header(h, msg.data());
            std::memcpy(msg.data() + kHeaderLen, &flags, 4);
            if (!io_.push(e.id, msg)) {
                Piece p;
                p.flags = flags;
                p.data.assign(msg.begin() + kStreamHeaderLen, msg.end());
                charge(e, p.data.size());
                e.pushq.push_back(std::move(p));
                return;
            }
            continue;
        }
        break;
    }
    // All data is in the socket: a connection that has ended says so after
    // it, and takes no more posted sends.
    if (c != nullptr && finished(*c)) {
        if (!e.input_shut) {
            e.input_shut = true;
            counters_.posts_dropped += e.posts.size();
            drop_posts(e);
            io_.shut_input(e.id);
        }
        refresh(e);  // the disconnect (the connection is retired: `c` is gone)
    }
    if (e.conn == 0 && !e.discon.empty() && !e.disc_noted && e.state == T_DATAXFER) {
        if (!e.input_shut) {
            e.input_shut = true;
            drop_posts(e);
            io_.shut_input(e.id);
        }
        if (io_.push(e.id, build(kDiscNote, 0, e.gen, 0, 0, {})))
            e.disc_noted = true;
    }
}

void Stack::on_writable(uint32_t ep)
{
    touch(ep);
    Endpoint *e = find(ep);
    if (e == nullptr)
        return;
    push_stream(*e);
}

void Stack::on_post(uint32_t ep, const uint8_t *msg, size_t len)
{
    touch(ep);
    Endpoint *e = find(ep);
    if (e == nullptr)
        return;
    if (len < kStreamHeaderLen || len > kStreamHeaderLen + kMaxData)
        return violation(*e, "bad posted send");
    Header h = get_header(msg);
    int32_t flags = 0;
    std::memcpy(&flags, msg + kHeaderLen, 4);
    const size_t n = len - kStreamHeaderLen;
    if (h.len != len || h.type != kPost || h.flags != 0 || h.reqid == 0 || n == 0 ||
        (flags & ~(T_MORE | T_EXPEDITED)) != 0 ||
        ((flags & T_EXPEDITED) && n > ipxcore::kSpxMaxData))
        return violation(*e, "bad posted send");
    // A send for a connection that is over (or an earlier one) goes nowhere:
    // the caller learns of the end from the stream.
    if (h.reqid != e->gen || e->state != T_DATAXFER || e->conn == 0 || e->input_shut) {
        counters_.posts_dropped++;
        return;
    }
    Held p;
    p.flags = flags;
    p.body.assign(msg + kStreamHeaderLen, msg + len);
    e->held_bytes += n;
    usage(e->owner).held += n;
    held_total_ += n;
    e->posts.push_back(std::move(p));
    feed_posts(*e);
}

uint64_t Stack::next_deadline() const
{
    uint64_t d = UINT64_MAX;
    for (auto &link : links_)
        d = std::min(d, link->next_deadline());
    for (auto &[id, slot] : conns_)
        d = std::min(d, slot.c->next_deadline());
    return std::min(d, router_.next_deadline());
}

// ---- requests --------------------------------------------------------------

void Stack::on_message(uint32_t ep, const uint8_t *msg, size_t len, uint32_t res_ep, int uid)
{
    touch(ep);
    if (res_ep != UINT32_MAX)
        touch(res_ep);
    Endpoint *e = find(ep);
    if (e == nullptr)
        return;
    if (len < kHeaderLen)
        return violation(*e, "short message");
    Header h = get_header(msg);
    if (h.len != len)
        return violation(*e, "message length " + std::to_string(h.len) + " in a message of " +
                                 std::to_string(len) + " bytes");
    if (h.type < kInfo || h.type > kProtaddr)
        return violation(*e, "unknown message " + type_name(h.type));
    if (h.reqid == 0)
        return violation(*e, "request id 0");
    if ((h.flags & ~(kFlagBlock | kFlagFd)) != 0)
        return violation(*e, "unknown flags");
    if (((h.flags & kFlagFd) != 0) != (res_ep != 0) || (res_ep != 0 && h.type != kAccept))
        return violation(*e, "descriptor where none belongs");
    const uint8_t *body = msg + kHeaderLen;
    size_t blen = len - kHeaderLen;
    if (h.type == kReturn) {
        // Another process's reply, taken by mistake from a shared socket:
        // send it again for its owner.
        if (blen < kHeaderLen)
            return violation(*e, "bad return");
        Header r = get_header(body);
        if ((r.type & kReply) == 0 || r.len != blen || r.reqid == 0 || (r.flags & kFlagFd) != 0)
            return violation(*e, "bad return");
        if (!io_.send(e->id, std::vector<uint8_t>(body, body + blen))) {
            uint32_t id = e->id;
            destroy(*e);
            io_.drop(id);
        }
        settle();
        return;
    }
    if (h.type == kCancel) {
        Reader rd(body, blen);
        uint32_t target = 0;
        if (!rd.u32(target) || !rd.done())
            return violation(*e, "bad cancel");
        auto it = std::find_if(e->held.begin(), e->held.end(),
                               [&](const Held &x) { return x.reqid == target && x.call == 0; });
        if (it != e->held.end()) {
            Answer a = cancelled(*it);
            uint16_t type = it->type;
            erase_held(*e, it);
            reply(*e, 0, target, type, a);
            if ((e = find(ep)) == nullptr) return;
        } else if (std::find(e->answered.begin(), e->answered.end(), target) ==
                   e->answered.end()) {
            return violation(*e, "cancel of request " + std::to_string(target) +
                                     " that is not outstanding");
        }
        Answer none;
        reply(*e, 0, h.reqid, kCancel, none);
    } else if (e->held.size() >= kMaxHeld) {
        return violation(*e, "too many requests outstanding");
    } else {
        dispatch(*e, 0, h, body, blen, res_ep, uid);
    }
    settle();
}

// A request on a control connection. Something out of form costs only the
// connection (the endpoint is the caller's and goes on).
void Stack::on_control(uint32_t call, uint32_t ep, const uint8_t *msg, size_t len, uint32_t res_ep,
                       int uid)
{
    touch(ep);
    if (res_ep != UINT32_MAX)
        touch(res_ep);
    Endpoint *e = find(ep);
    Header h;
    if (len >= kHeaderLen)
        h = get_header(msg);
    const uint16_t known = kFlagBlock | kFlagFd | kFlagControl | kFlagSawBell | kFlagDataAhead;
    if (e == nullptr || len < kHeaderLen || h.len != len || h.type < kInfo || h.type > kUnread ||
        h.type == kReturn || h.reqid == 0 || (h.flags & ~known) != 0 ||
        !(h.flags & kFlagControl) || (res_ep != 0 && h.type != kAccept)) {
        counters_.bad_messages++;
        io_.end_call(call);
        return;
    }
    control_request(*e, call, h, msg + kHeaderLen, len - kHeaderLen, res_ep, uid);
    settle();
}

void Stack::control_request(Endpoint &e, uint32_t call, const Header &h, const uint8_t *body,
                            size_t len, uint32_t res_ep, int uid)
{
    Reader rd(body, len);
    auto bad = [&]() {
        counters_.bad_messages++;
        io_.end_call(call);
    };
    // A library that speaks on control connections reads the stream.
    if (e.state == T_DATAXFER && e.gen != 0 && !e.stream && e.held_here == 0)
        e.stream = true;
    switch (h.type) {
    case kCancel: {
        uint32_t target = 0;
        if (!rd.u32(target) || !rd.done())
            return bad();
        auto it = std::find_if(e.held.begin(), e.held.end(),
                               [&](const Held &x) { return x.reqid == target && x.call == call; });
        if (it != e.held.end()) {
            Answer a = cancelled(*it);
            uint16_t type = it->type;
            erase_held(e, it);
            reply(e, call, target, type, a, true);
        }
        // Not held: it was answered before the cancel came.
        Answer none;
        reply(e, call, h.reqid, kCancel, none);
        return;
    }
    case kPause: {
        if (!rd.done() || e.paused_by == call)
            return bad();
        Answer a;
        if (e.paused_by != 0 || !e.stream) {
            a.terr = TSYSERR;  // another reader is handing back right now: ask again
            a.syserr = EAGAIN;
        } else {
            e.paused_by = call;
            clear_pieces(e, e.unread);
        }
        reply(e, call, h.reqid, kPause, a);
        return;
    }
    case kUnread: {
        int32_t kind = 0;
        uint32_t gen = 0;
        if (e.paused_by != call || !rd.i32(kind) || !rd.u32(gen))
            return bad();
        if (kind == kUnreadData) {
            Piece p;
            const uint8_t *data = nullptr;
            if (!rd.i32(p.flags) || (p.flags & ~(T_MORE | T_EXPEDITED)) != 0)
                return bad();
            const size_t n = rd.remaining();
            if (n > kMaxData || !rd.view(data, n))
                return bad();
            // A reader hands back at most what the socket held and the
            // piece it was reading.
            size_t back = n;
            for (const Piece &u : e.unread)
                back += u.data.size();
            if (back > kMaxUnread)
                return bad();
            p.data.assign(data, data + n);
            if (gen == e.gen) {
                charge(e, n);
                e.unread.push_back(std::move(p));
            }
            return;
        }
        if (kind == kUnreadDisc) {
            if (!rd.done())
                return bad();
            if (gen == e.gen)
                e.disc_noted = false;  // it goes into the socket again
            return;
        }
        uint32_t piece = 0;
        if (kind != kUnreadEnd || !rd.u32(piece) || !rd.done())
            return bad();
        if (piece > 0)
            e.piece_max = std::min<size_t>(piece, kMaxData);
        while (!e.unread.empty()) {
            e.pushq.push_front(std::move(e.unread.back()));
            e.unread.pop_back();
        }
        e.paused_by = 0;
        // Back in the socket before the caller returns (poll is exact then).
        push_stream(e);
        Answer a;
        reply(e, call, h.reqid, kUnread, a);
        return;
    }
    default:
        break;
    }
    if (e.held.size() >= kMaxHeld) {
        Answer a;
        a.terr = TSYSERR;
        a.syserr = EAGAIN;
        reply(e, call, h.reqid, h.type, a);
        return;
    }
    dispatch(e, call, h, body, len, res_ep, uid);
}

// The answer to a held request that a cancel ends: the count of a t_snd
// that has sent part of its data, else EINTR.
Stack::Answer Stack::cancelled(const Held &h)
{
    Answer a;
    if (h.type == kSnd && h.off > 0) {
        a.body.u32(static_cast<uint32_t>(h.off));  // a short count
    } else {
        a.terr = TSYSERR;
        a.syserr = EINTR;
    }
    return a;
}

void Stack::on_call_gone(uint32_t call, uint32_t ep)
{
    touch(ep);
    Endpoint *e = find(ep);
    if (e == nullptr)
        return;
    for (auto it = e->held.begin(); it != e->held.end();) {
        if (it->call == call)
            it = (erase_held(*e, it), e->held.begin());
        else
            ++it;
    }
    if (e->paused_by == call) {
        // The reader went away with what it had taken out: that is lost, as
        // with any process that ends after reading.
        e->paused_by = 0;
        clear_pieces(*e, e->unread);
    }
    settle();
}

void Stack::dispatch(Endpoint &e, uint32_t call, const Header &h, const uint8_t *body, size_t len,
                     uint32_t res_ep, int uid)
{
    Reader rd(body, len);
    Answer a;
    a.saw_bell = (h.flags & kFlagSawBell) != 0;
    const bool block = (h.flags & kFlagBlock) != 0;
    const bool spx = e.svc == Service::Spx;
    auto bad = [&]() {
        if (call != 0) {
            counters_.bad_messages++;
            io_.end_call(call);
            return;
        }
        violation(e, "malformed " + type_name(h.type) + " request");
    };
    // Held until it can be answered, or TNODATA under O_NONBLOCK.
    auto hold_or = [&](int32_t terr) {
        if (block) {
            Held held;
            held.reqid = h.reqid;
            held.type = h.type;
            held.call = call;
            held.body.assign(body, body + len);
            add_held(e, std::move(held));
            return true;
        }
        a.terr = terr;
        return false;
    };

    switch (h.type) {
    case kInfo:
        if (!rd.done()) return bad();
        info(e.id).write(a.body);
        break;
    case kLook:
        if (!rd.done()) return bad();
        a.body.i32(look(e));
        break;
    case kProtaddr: {
        // A connection's own end is the address it uses: an accepted one
        // keeps the listener's.
        if (!rd.done()) return bad();
        auto c = e.conn != 0 && e.state != T_OUTCON ? conns_.find(e.conn) : conns_.end();
        uint8_t addr[kAddrLen];
        if (c != conns_.end() || e.bound) {
            (c != conns_.end() ? c->second.c->local() : e.addr).to_bytes(addr);
            a.body.u32(kAddrLen).bytes(addr, kAddrLen);
        } else {
            a.body.u32(0);
        }
        if (c != conns_.end()) {
            c->second.c->remote().to_bytes(addr);
            a.body.u32(kAddrLen).bytes(addr, kAddrLen);
        } else {
            a.body.u32(0);
        }
        break;
    }
    case kBind:
        do_bind(e, rd, uid, a);
        if (!rd.done()) return bad();
        break;
    case kUnbind:
        if (!rd.done()) return bad();
        if (e.state != T_IDLE) { a.terr = TOUTSTATE; break; }
        if (events(e) != 0) { a.terr = TLOOK; break; }  // anything queued
        release_socket(e);
        e.rx.clear();
        e.state = T_UNBND;
        break;
    case kOptmgmt:
        do_optmgmt(e, rd, a);
        if (!rd.done()) return bad();
        break;
    case kConnect: {
        uint32_t al = 0, ol = 0, ul = 0;
        const uint8_t *ab = nullptr, *ob = nullptr, *ub = nullptr;
        if (!rd.u32(al) || !rd.u32(ol) || !rd.u32(ul) || !rd.view(ab, al) || !rd.view(ob, ol) ||
            !rd.view(ub, ul) || !rd.done())
            return bad();
        if (!spx) { a.terr = TNOTSUPPORT; break; }
        if (e.state != T_IDLE) { a.terr = TOUTSTATE; break; }
        if (events(e) & (T_DISCONNECT | T_LISTEN)) { a.terr = TLOOK; break; }
        IpxAddress dst;
        if (al != kAddrLen || !resolve(ab, e.addr.net, dst) || dst.is_broadcast_node() ||
            dst.socket == 0) { a.terr = TBADADDR; break; }
        if (ol != 0 && ol != SpxOptions::kLen) { a.terr = TBADOPT; break; }
        if (ul != 0) { a.terr = TBADDATA; break; }
        if (ol != 0) e.opts = SpxOptions::from_bytes(ob).negotiated();
        uint16_t id = new_conn_id();
        if (id == 0) { a.terr = TSYSERR; a.syserr = EAGAIN; break; }
        auto c = std::make_unique<SpxConnection>(SpxConnection::connect(
            source_for(e, dst), dst, id, conn_config(e.opts, dst.net), now_, transmit_fn(),
            trace_fn(id)));
        add_conn(std::move(c), e.id, false);
        e.conn = id;
        e.state = T_OUTCON;
        if (!try_connect_done(e, a, call != 0) && hold_or(TNODATA)) return;
        break;
    }
    case kRcvconnect:
        if (!rd.done()) return bad();
        if (!spx) { a.terr = TNOTSUPPORT; break; }
        if (e.state != T_OUTCON) { a.terr = TOUTSTATE; break; }
        refresh(e);
        if (!try_connect_done(e, a, call != 0) && hold_or(TNODATA)) return;
        break;
    case kListen:
        if (!rd.done()) return bad();
        if (!spx) { a.terr = TNOTSUPPORT; break; }
        if ((e.state != T_IDLE && e.state != T_INCON) || e.qlen == 0) { a.terr = TOUTSTATE; break; }
        if (!try_listen(e, a) && hold_or(TNODATA)) return;
        break;
    case kAccept:
        do_accept(e, rd, res_ep, a, call != 0);
        if (!rd.done()) return bad();
        break;
    case kSnd: {
        int32_t flags = 0;
        if (!rd.i32(flags)) return bad();
        size_t n = rd.remaining();
        if (!spx) { a.terr = TNOTSUPPORT; break; }
        if (e.state == T_DATAXFER && !e.discon.empty()) { a.terr = TLOOK; break; }
        if (e.state != T_DATAXFER && e.state != T_INREL) { a.terr = TOUTSTATE; break; }
        if (n == 0 || ((flags & T_EXPEDITED) && n > ipxcore::kSpxMaxData)) { a.terr = TBADDATA; break; }
        // After the posted sends before it.
        feed_posts(e);
        Held held;
        held.reqid = h.reqid;
        held.type = kSnd;
        held.call = call;
        held.flags = flags;
        held.body.assign(body + 4, body + len);
        if (!e.posts.empty()) {
            if (!block) {
                a.terr = TFLOW;
                break;
            }
        } else if (push_snd(e, held, a, block)) {
            break;
        }
        add_held(e, std::move(held));
        return;
    }
    case kRcv: {
        uint32_t max = 0;
        if (!rd.u32(max) || !rd.done()) return bad();
        if (!spx) { a.terr = TNOTSUPPORT; break; }
        if (e.state != T_DATAXFER && e.state != T_OUTREL) {
            a.terr = e.discon.empty() ? TOUTSTATE : TLOOK;
            break;
        }
        if (e.stream && call != 0) {
            // The data is the caller's to read from the socket.
            a.pre.notes |= kNoteUseStream;
            break;
        }
        if (!try_rcv(e, max, a) && hold_or(TNODATA)) return;
        break;
    }
    case kSnddis:
        do_snddis(e, rd, a, (h.flags & kFlagDataAhead) != 0);
        if (!rd.done()) return bad();
        break;
    case kRcvdis: {
        if (!rd.done()) return bad();
        if (!spx) { a.terr = TNOTSUPPORT; break; }
        refresh(e);
        if (e.discon.empty()) { a.terr = TNODIS; break; }
        Discon d = e.discon.front();
        e.discon.pop_front();
        if (e.gen != 0) {
            // The stream ends with its disconnect note: the caller takes it out.
            if (e.stream) {
                a.pre.notes |= kNoteDropStream;
                a.pre.old_gen = e.gen;
            }
            leave_stream(e);
        }
        if (e.state == T_INCON) {
            // A listened indication stays outstanding until it is accepted,
            // refused or its withdrawal is taken here.
            bool any = std::any_of(e.inds.begin(), e.inds.end(),
                                   [](const Indication &i) { return i.listened; }) ||
                       std::any_of(e.discon.begin(), e.discon.end(),
                                   [](const Discon &x) { return x.seq >= 0; });
            e.state = any ? T_INCON : T_IDLE;
        } else {
            e.state = T_IDLE;
        }
        a.body.i32(d.reason).i32(d.seq);
        break;
    }
    case kSndudata:
        do_sndudata(e, rd, uid, a);
        if (!rd.done()) return bad();
        break;
    case kRcvudata: {
        uint32_t am = 0, om = 0, dm = 0;
        if (!rd.u32(am) || !rd.u32(om) || !rd.u32(dm) || !rd.done() || dm > kMaxData) return bad();
        if (spx) { a.terr = TNOTSUPPORT; break; }
        if (e.state != T_IDLE) { a.terr = TOUTSTATE; break; }
        if (!try_rcvudata(e, am, om, dm, a) && hold_or(TNODATA)) return;
        break;
    }
    case kRcvuderr: {
        if (!rd.done()) return bad();
        if (spx) { a.terr = TNOTSUPPORT; break; }
        if (e.uderr.empty()) { a.terr = TNOUDERR; break; }
        UdErr u = e.uderr.front();
        e.uderr.pop_front();
        uint8_t addr[kAddrLen];
        u.to.to_bytes(addr);
        uint8_t opt[2] = {u.type, 0};
        a.body.i32(u.error).u32(kAddrLen).u32(2).bytes(addr, kAddrLen).bytes(opt, 2);
        break;
    }
    default:
        return bad();
    }
    reply(e, call, h.reqid, h.type, a);
}

void Stack::do_bind(Endpoint &e, Reader &rd, int uid, Answer &a)
{
    int32_t has = 0;
    uint32_t qlen = 0;
    uint8_t b[kAddrLen];
    if (!rd.i32(has) || !rd.u32(qlen) || !rd.bytes(b, kAddrLen) || !rd.done())
        return;
    if (e.state != T_UNBND) { a.terr = TOUTSTATE; return; }
    uint16_t sock = 0;
    uint32_t net = default_net();
    if (has) {
        IpxAddress req = IpxAddress::from_bytes(b);
        // Network 0 is the default network; node 0 and node 1 this host's
        // node on the network.
        if (req.net != 0) {
            if (link_of(req.net) == nullptr) { a.terr = TBADADDR; return; }
            net = req.net;
        }
        if (req.node != kNodeZero && req.node != kNodeOne && req.node != link_of(net)->node()) {
            a.terr = TBADADDR;
            return;
        }
        sock = req.socket;
    }
    // An ordinary user gets sockets of the dynamic range up to its limit, and
    // none of the last ones: those are kept for root.
    const uint32_t span = ipxcore::kLastDynamicSocket - ipxcore::kFirstDynamicSocket + 1;
    if (e.owner != 0 && (sock == 0 || dynamic(sock)) &&
        (usage(e.owner).sockets >= cfg_.limits.sockets ||
         span - dynamic_used_ <= kRootReservedSockets)) {
        a.terr = TNOADDR;
        return;
    }
    if (sock == 0) {
        // A free dynamic socket, taken in turn so that a socket just given
        // up is not handed out again at once.
        for (uint32_t i = 0; i < span; i++) {
            uint16_t s = next_dynamic_;
            next_dynamic_ = s == ipxcore::kLastDynamicSocket ? ipxcore::kFirstDynamicSocket
                                                            : static_cast<uint16_t>(s + 1);
            if (!sockets_.count(s)) {
                sock = s;
                break;
            }
        }
        if (sock == 0) { a.terr = TNOADDR; return; }
    } else {
        if (sock < ipxcore::kFirstDynamicSocket && uid != 0) { a.terr = TACCES; return; }
        // A holder whose last descriptor was closed just before this request
        // gives the socket up first, as a synchronous close would have.
        auto held = sockets_.find(sock);
        if (held != sockets_.end() && held->second != e.id && io_.closed(held->second))
            on_hangup(held->second);
        if (sockets_.count(sock)) { a.terr = TNOADDR; return; }
    }
    sockets_[sock] = e.id;
    if (dynamic(sock)) {
        dynamic_used_++;
        usage(e.owner).sockets++;
    }
    e.bound = true;
    e.bind_uid = uid;
    e.addr = IpxAddress{net, link_of(net)->node(), sock};
    e.qlen = e.svc == Service::Spx ? std::min(qlen, kMaxQlen) : 0;
    e.state = T_IDLE;
    uint8_t out[kAddrLen];
    e.addr.to_bytes(out);
    a.body.bytes(out, kAddrLen).u32(e.qlen);
}

void Stack::do_optmgmt(Endpoint &e, Reader &rd, Answer &a)
{
    int32_t flags = 0;
    uint32_t ol = 0;
    const uint8_t *ob = nullptr;
    if (!rd.i32(flags) || !rd.u32(ol) || !rd.view(ob, ol) || !rd.done())
        return;
    if (e.svc != Service::Spx) { a.terr = TNOTSUPPORT; return; }
    if (e.state == T_UNINIT) { a.terr = TOUTSTATE; return; }
    uint8_t out[SpxOptions::kLen];
    switch (flags) {
    case T_DEFAULT:
        if (ol != 0) { a.terr = TBADOPT; return; }
        SpxOptions{}.to_bytes(out);
        break;
    case T_NEGOTIATE:
        if (ol != SpxOptions::kLen) { a.terr = TBADOPT; return; }
        // Applies to the connection the endpoint makes or accepts next.
        e.opts = SpxOptions::from_bytes(ob).negotiated();
        e.opts.to_bytes(out);
        break;
    case T_CHECK: {
        if (ol != SpxOptions::kLen) { a.terr = TBADOPT; return; }
        SpxOptions asked = SpxOptions::from_bytes(ob);
        flags = asked.negotiated() == asked ? T_SUCCESS : T_FAILURE;
        std::memcpy(out, ob, SpxOptions::kLen);
        break;
    }
    default:
        a.terr = TBADFLAG;
        return;
    }
    a.body.i32(flags).u32(SpxOptions::kLen).bytes(out, SpxOptions::kLen);
}

void Stack::do_accept(Endpoint &e, Reader &rd, uint32_t res_ep, Answer &a, bool control)
{
    int32_t seq = 0;
    uint32_t ol = 0, ul = 0;
    const uint8_t *ob = nullptr, *ub = nullptr;
    if (!rd.i32(seq) || !rd.u32(ol) || !rd.u32(ul) || !rd.view(ob, ol) || !rd.view(ub, ul) ||
        !rd.done())
        return;
    if (e.svc != Service::Spx) { a.terr = TNOTSUPPORT; return; }
    // Anything waiting on the listener comes first, even before the state:
    // a caller that withdrew leaves a disconnect to be taken (TLOOK), not a
    // state error that a listener would take for a fault of its own.
    refresh(e);
    if (events(e) & (T_DISCONNECT | T_LISTEN)) { a.terr = TLOOK; return; }
    if (e.state != T_INCON) { a.terr = TOUTSTATE; return; }
    auto ind = std::find_if(e.inds.begin(), e.inds.end(),
                            [&](const Indication &i) { return i.listened && i.seq == seq; });
    if (ind == e.inds.end()) { a.terr = TBADSEQ; return; }
    size_t outstanding = static_cast<size_t>(std::count_if(
        e.inds.begin(), e.inds.end(), [](const Indication &i) { return i.listened; }));
    Endpoint *res = &e;
    if (res_ep == UINT32_MAX) { a.terr = TBADF; return; }
    if (res_ep != 0 && res_ep != e.id) {
        res = find(res_ep);
        if (res == nullptr || res->svc != Service::Spx) { a.terr = TBADF; return; }
        if (res->state != T_IDLE) { a.terr = TOUTSTATE; return; }
        if (events(*res) != 0 || !res->held.empty()) { a.terr = TBADF; return; }
    } else if (outstanding > 1) {
        a.terr = TBADF;  // the listener cannot take one call while others wait on it
        return;
    }
    if (ol != 0 && ol != SpxOptions::kLen) { a.terr = TBADOPT; return; }
    if (ul != 0) { a.terr = TBADDATA; return; }
    if (ol != 0)
        res->opts = SpxOptions::from_bytes(ob).negotiated();
    auto slot = conns_.find(ind->conn);
    if (slot == conns_.end() || finished(*slot->second.c)) {
        a.terr = TLOOK;
        refresh(e);
        return;
    }
    uint16_t id = ind->conn;
    e.inds.erase(ind);
    SpxConnection &c = *slot->second.c;
    c.set_config(conn_config(res->opts, c.local().net));
    c.accept(now_);
    slot->second.ep = res->id;
    slot->second.owner = res->owner;
    slot->second.offered = false;
    slot->second.dropsome = (res->opts.rsrv & 0x80) != 0;
    res->conn = id;
    enter_dataxfer(*res, control);
    counters_.connections++;
    if (res != &e) {
        e.state = outstanding > 1 ? T_INCON : T_IDLE;
        a.pre.res_gen = res->stream ? res->gen : 0;
        if (res->doorbell && res->stream) {
            a.pre.notes |= kNoteResDropBell;
            res->doorbell = false;
        }
    }
}

void Stack::do_snddis(Endpoint &e, Reader &rd, Answer &a, bool data_ahead)
{
    int32_t has = 0, seq = 0;
    uint32_t ul = 0;
    const uint8_t *ub = nullptr;
    if (!rd.i32(has) || !rd.i32(seq) || !rd.u32(ul) || !rd.view(ub, ul) || !rd.done())
        return;
    if (e.svc != Service::Spx) { a.terr = TNOTSUPPORT; return; }
    if (e.state < T_OUTCON || e.state > T_INREL) { a.terr = TOUTSTATE; return; }
    refresh(e);
    // A stream's disconnect shows only once the data before it is read:
    // with data still ahead of it in the socket it is not there yet.
    if (e.stream && data_ahead && e.state == T_DATAXFER && e.conn == 0)
        e.discon.clear();
    if (!e.discon.empty()) { a.terr = TLOOK; return; }
    if (ul != 0) { a.terr = TBADDATA; return; }
    if (e.state == T_INCON) {
        auto ind = std::find_if(e.inds.begin(), e.inds.end(), [&](const Indication &i) {
            return has && i.listened && i.seq == seq;
        });
        if (ind == e.inds.end()) { a.terr = TBADSEQ; return; }
        refuse(e, *ind);
        retire(ind->conn);
        e.inds.erase(ind);
        bool any = std::any_of(e.inds.begin(), e.inds.end(),
                               [](const Indication &i) { return i.listened; });
        e.state = any ? T_INCON : T_IDLE;
        return;
    }
    if (e.conn != 0) {
        auto it = conns_.find(e.conn);
        if (it != conns_.end() && it->second.c->state() == SpxState::Connecting) {
            send_withdraw(*it->second.c);
            retire(e.conn);
        } else if (it != conns_.end()) {
            // Everything queued is still delivered, then the end of
            // connection: the peer reads all data before its disconnect.
            linger_with_posts(e);
        }
        e.conn = 0;
    }
    if (e.gen != 0) {
        // What the stream still holds in the socket is lost with the
        // connection: the caller takes it out.
        if (e.stream) {
            a.pre.notes |= kNoteDropStream;
            a.pre.old_gen = e.gen;
        }
        leave_stream(e);
    }
    e.state = T_IDLE;
}

void Stack::do_sndudata(Endpoint &e, Reader &rd, int uid, Answer &a)
{
    uint32_t al = 0, ol = 0;
    const uint8_t *ab = nullptr, *ob = nullptr;
    if (!rd.u32(al) || !rd.u32(ol) || !rd.view(ab, al) || !rd.view(ob, ol))
        return;
    size_t n = rd.remaining();
    const uint8_t *data = nullptr;
    rd.view(data, n);
    if (e.svc != Service::Datagram) { a.terr = TNOTSUPPORT; return; }
    if (e.state != T_IDLE) { a.terr = TOUTSTATE; return; }
    IpxAddress dst;
    if (al != kAddrLen || !resolve(ab, e.addr.net, dst) || dst.socket == 0) { a.terr = TBADADDR; return; }
    if (ol != 0 && ol != 2) { a.terr = TBADOPT; return; }
    if (n == 0) { a.terr = TBADDATA; return; }
    if (n > ipxcore::kIpxMaxData) { a.terr = TSYSERR; a.syserr = EPROTO; return; }
    // Option byte 0 is the IPX packet type; byte 1 is not used on sending.
    uint8_t type = ol == 2 ? ob[0] : ipxcore::kIpxTypePlain;
    // SPX packets, and datagrams from the SAP and RIP sockets, speak for the
    // stack and its services: only root may send them (an ordinary user
    // could forge connection requests or advertisements).
    if (uid != 0 && (type == ipxcore::kIpxTypeSpx || e.addr.socket == ipxcore::kSocketSap ||
                     e.addr.socket == ipxcore::kSocketRip)) {
        a.terr = TACCES;
        return;
    }
    if (link_of(dst.net) == nullptr && (dst.is_broadcast_node() || !router_.active())) {
        // No link leads to that network (and no router will for a
        // broadcast): the datagram comes back as a datagram error
        // (t_rcvuderr). Otherwise a route is looked for (transmit).
        if (e.uderr.size() < kMaxQueuedUdErr)
            e.uderr.push_back({dst, type, ENETUNREACH});
        counters_.datagrams_dropped++;
        return;
    }
    ipxcore::IpxHeader hdr;
    hdr.type = type;
    hdr.dst = dst;
    hdr.src = source_for(e, dst);
    counters_.datagrams_out++;
    transmit(ipxcore::encode_ipx(hdr, data, n, false));
}

bool Stack::try_listen(Endpoint &e, Answer &a)
{
    refresh(e);
    if (!e.discon.empty()) {
        a.terr = TLOOK;
        return true;
    }
    for (Indication &i : e.inds) {
        if (i.listened)
            continue;
        i.listened = true;
        e.state = T_INCON;
        uint8_t addr[kAddrLen];
        conns_.at(i.conn).c->remote().to_bytes(addr);
        a.body.i32(i.seq).u32(kAddrLen).u32(0).bytes(addr, kAddrLen);
        return true;
    }
    return false;
}

bool Stack::try_connect_done(Endpoint &e, Answer &a, bool control)
{
    refresh(e);
    if (!e.discon.empty()) {
        a.terr = TLOOK;  // refused or timed out: t_rcvdis tells
        return true;
    }
    auto it = conns_.find(e.conn);
    if (it == conns_.end() || it->second.c->state() == SpxState::Connecting)
        return false;
    enter_dataxfer(e, control);
    counters_.connections++;
    it->second.dropsome = (e.opts.rsrv & 0x80) != 0;
    uint8_t addr[kAddrLen];
    it->second.c->remote().to_bytes(addr);
    a.body.u32(kAddrLen).u32(0).bytes(addr, kAddrLen);
    return true;
}

bool Stack::try_rcv(Endpoint &e, uint32_t max, Answer &a)
{
    auto it = e.conn ? conns_.find(e.conn) : conns_.end();
    if (it != conns_.end() && it->second.c->readable()) {
        SpxConnection &c = *it->second.c;
        uint32_t n = std::min<uint32_t>(max, static_cast<uint32_t>(kMaxData));
        if (cfg_.rcv_max > 0)
            n = std::min(n, cfg_.rcv_max);
        std::vector<uint8_t> buf(n);
        ipxcore::SpxReadResult r{};
        if (n > 0)
            r = c.read(buf.data(), n, now_);
        int32_t flags = 0;
        if (!r.end_of_unit) flags |= T_MORE;
        if (r.attention || (n == 0 && c.next_is_attention())) flags |= T_EXPEDITED;
        a.body.i32(flags).bytes(buf.data(), r.bytes);
        return true;
    }
    refresh(e);
    if (!e.discon.empty()) {
        a.terr = TLOOK;
        return true;
    }
    return false;
}

bool Stack::try_rcvudata(Endpoint &e, uint32_t amax, uint32_t omax, uint32_t dmax, Answer &a)
{
    if (!e.uderr.empty()) {
        a.terr = TLOOK;
        return true;
    }
    if (e.rx.empty())
        return false;
    Datagram &d = e.rx.front();
    // A buffer too small for the address or options loses the datagram (a
    // zero maxlen means the caller does not want that part).
    if ((amax > 0 && amax < kAddrLen) || (omax > 0 && omax < 2)) {
        e.rx.pop_front();
        a.terr = TBUFOVFLW;
        return true;
    }
    size_t rem = d.data.size() - d.off;
    size_t n = std::min<size_t>(dmax, rem);
    uint8_t addr[kAddrLen];
    d.from.to_bytes(addr);
    // Option byte 0 is the IPX packet type, byte 1 the transport control
    // (hop count) the packet arrived with.
    uint8_t opt[2] = {d.type, d.hops};
    a.body.i32(rem > n ? T_MORE : 0).u32(amax ? kAddrLen : 0).u32(omax ? 2 : 0);
    if (amax) a.body.bytes(addr, kAddrLen);
    if (omax) a.body.bytes(opt, 2);
    a.body.bytes(d.data.data() + d.off, n);
    d.off += n;
    if (d.off >= d.data.size())
        e.rx.pop_front();
    return true;
}

// Feeds t_snd data into the connection's send buffer. Answered when all is
// taken; under O_NONBLOCK also with a short count, or TFLOW when nothing
// fits. A unit taken only in part carries no end of message: the caller
// sends the rest, which ends the unit.
bool Stack::push_snd(Endpoint &e, Held &h, Answer &a, bool block)
{
    auto it = e.conn ? conns_.find(e.conn) : conns_.end();
    if (it == conns_.end() || finished(*it->second.c) || !e.discon.empty()) {
        if (h.off > 0)
            a.body.u32(static_cast<uint32_t>(h.off));
        else
            a.terr = TLOOK;
        return true;
    }
    SpxConnection &c = *it->second.c;
    const size_t size = h.body.size();
    const bool exp = (h.flags & T_EXPEDITED) != 0;
    while (h.off < size) {
        size_t space = c.send_space();
        if (space == 0)
            break;
        size_t n = std::min(space, size - h.off);
        bool eom = h.off + n == size && !(h.flags & T_MORE);
        size_t taken = c.send(h.body.data() + h.off, n, eom, exp, now_);
        h.off += taken;
        if (taken < n || taken == 0)
            break;
    }
    if (h.off == size) {
        a.body.u32(static_cast<uint32_t>(size));
        return true;
    }
    if (!block) {
        if (h.off == 0)
            a.terr = TFLOW;
        else
            a.body.u32(static_cast<uint32_t>(h.off));
        return true;
    }
    return false;
}

// ---- addresses -----------------------------------------------------------

ipxcore::Link *Stack::link_of(uint32_t net) const
{
    if (links_.size() == 1)
        return links_[0]->net() == net ? links_[0].get() : nullptr;
    for (size_t i = 1; i < links_.size(); i++)
        if (links_[i]->net() == net)
            return links_[i].get();
    return nullptr;
}

uint32_t Stack::default_net() const
{
    return links_[links_.size() == 1 ? 0 : 1]->net();
}

bool Stack::is_local(const IpxAddress &a) const
{
    const ipxcore::Link *l = link_of(a.net);
    return l != nullptr && l->node() == a.node;
}

bool Stack::resolve(const uint8_t *b12, uint32_t net, IpxAddress &out) const
{
    out = IpxAddress::from_bytes(b12);
    if (out.net == 0)
        out.net = net;
    if (out.net == 0xFFFFFFFF || out.net == 0xFFFFFFFE)
        return false;
    const ipxcore::Link *l = link_of(out.net);
    if (l != nullptr && (out.node == kNodeZero || out.node == kNodeOne))
        out.node = l->node();
    return true;
}

bool Stack::dynamic(uint16_t socket)
{
    return socket >= ipxcore::kFirstDynamicSocket && socket <= ipxcore::kLastDynamicSocket;
}

IpxAddress Stack::source_for(const Endpoint &e, const IpxAddress &dst) const
{
    ipxcore::Link *l = link_of(dst.net);
    ipxcore::Node hop;
    if (l == nullptr && !router_.lookup(dst.net, l, hop))
        return e.addr;  // a route yet to be found: the endpoint's own network
    return IpxAddress{l->net(), l->node(), e.addr.socket};
}

bool Stack::route(const IpxAddress &dst, ipxcore::Link *&link, ipxcore::Node &next_hop) const
{
    // A network of our own links, straight to the node; another through
    // the router that RIP found.
    link = link_of(dst.net);
    next_hop = dst.node;
    if (link != nullptr && (links_.size() == 1 || link->state() != ipxcore::LinkState::Down))
        return true;
    return router_.lookup(dst.net, link, next_hop);
}

ipxcore::SpxConfig Stack::conn_config(const SpxOptions &o, uint32_t net)
{
    ipxcore::SpxConfig c = o.config();
    const ipxcore::Link *l = link_of(net);
    if (l == nullptr)
        return c;
    // The record's largest size (534) means "as large as the link carries".
    size_t room = l->mtu() - ipxcore::kIpxHeaderLen - ipxcore::kSpxHeaderLen;
    c.max_data = static_cast<uint16_t>(o.max >= ipxcore::kSpxMaxData ? room : std::min<size_t>(o.max, room));
    if (c.checksum && !l->carries_checksums()) {
        c.checksum = false;
        if (std::find(checksum_told_.begin(), checksum_told_.end(), l) == checksum_told_.end()) {
            checksum_told_.push_back(l);
            io_.log("link " + l->describe() + " carries no IPX checksums: connections that ask "
                    "for them go without (the link's own check protects the data)");
        }
    }
    return c;
}

void Stack::release_socket(Endpoint &e)
{
    if (!e.bound)
        return;
    auto it = sockets_.find(e.addr.socket);
    if (it != sockets_.end() && it->second == e.id) {
        sockets_.erase(it);
        if (dynamic(e.addr.socket)) {
            dynamic_used_--;
            usage(e.owner).sockets--;
        }
    }
    e.bound = false;
    e.qlen = 0;
}

// ---- connections -----------------------------------------------------------

uint16_t Stack::new_conn_id()
{
    for (uint32_t i = 0; i < 0x10000; i++) {
        uint16_t id = next_conn_id_++;
        if (next_conn_id_ == ipxcore::kSpxUnknownId)
            next_conn_id_ = 1;
        if (id != 0 && id != ipxcore::kSpxUnknownId && !conns_.count(id))
            return id;
    }
    return 0;
}

uint16_t Stack::add_conn(std::unique_ptr<SpxConnection> c, uint32_t ep, bool offered)
{
    uint16_t id = c->local_id();
    Slot s;
    s.c = std::move(c);
    s.ep = ep;
    const Endpoint *e = find(ep);
    s.owner = e != nullptr ? e->owner : 0;
    s.offered = offered;
    conns_[id] = std::move(s);
    return id;
}

SpxConnection::Transmit Stack::transmit_fn()
{
    return [this](std::vector<uint8_t> pkt) { transmit(std::move(pkt)); };
}

SpxConnection::Trace Stack::trace_fn(uint16_t id)
{
    return [this, id](const std::string &line) {
        io_.log("spx " + std::to_string(id) + ": " + line);
    };
}

void Stack::retire(uint16_t id)
{
    auto it = conns_.find(id);
    if (it != conns_.end())
        erase_conn(it);
}

std::map<uint16_t, Stack::Slot>::iterator Stack::erase_conn(std::map<uint16_t, Slot>::iterator it)
{
    counters_.retransmissions += it->second.c->stats().retransmissions;
    for (const Held &h : it->second.posts) {
        usage(it->second.owner).held -= h.body.size();
        held_total_ -= h.body.size();
        counters_.posts_dropped++;
    }
    if (it->second.ep == 0) {
        uint32_t owner = it->second.owner;
        usage(owner).lingering--;
        forget_user_if_idle(owner);
    }
    return conns_.erase(it);
}

// Nobody reads a lingering connection any more: what arrives is taken and
// thrown away, so that the peer's data (and after it the peer's end of
// connection) can still come and both ends finish.
void Stack::drain_lingering()
{
    uint8_t scrap[4096];
    for (auto &[id, slot] : conns_) {
        if (slot.ep != 0)
            continue;
        SpxConnection &c = *slot.c;
        for (int i = 0; i < 256 && c.readable(); i++)
            c.read(scrap, sizeof(scrap), now_);
    }
}

void Stack::linger(uint16_t id)
{
    auto it = conns_.find(id);
    if (it == conns_.end())
        return;
    // Still the owner's until it ends (counted as one of its endpoints).
    if (it->second.ep != 0)
        usage(it->second.owner).lingering++;
    it->second.ep = 0;
    // Posted sends the connection has not taken yet go before its end.
    if (!it->second.posts.empty())
        return;
    if (!finished(*it->second.c))
        it->second.c->close(now_);
    if (finished(*it->second.c))
        retire(id);
}

// The endpoint lets its connection go: the posted sends it still holds go
// with the connection, which ends after them.
void Stack::linger_with_posts(Endpoint &e)
{
    auto it = conns_.find(e.conn);
    if (it == conns_.end())
        return;
    feed_posts(e);
    if (!e.posts.empty() && !finished(*it->second.c)) {
        for (const Held &h : e.posts)
            e.held_bytes -= h.body.size();
        it->second.posts = std::move(e.posts);
        e.posts.clear();
    }
    linger(e.conn);
}

// Lingering connections take the rest of their posted sends, then end.
void Stack::feed_lingering()
{
    for (auto it = conns_.begin(); it != conns_.end();) {
        Slot &slot = it->second;
        if (slot.ep != 0 || slot.posts.empty()) {
            ++it;
            continue;
        }
        uint16_t id = it->first;
        ++it;
        if (finished(*slot.c)) {
            retire(id);  // its held data is given up with it
            continue;
        }
        feed(*slot.c, slot.posts, slot.owner);
        if (slot.posts.empty()) {
            slot.c->close(now_);
            if (finished(*slot.c))
                retire(id);
        }
    }
}

// A refusal answers the caller's connection request with an end of
// connection (a system packet, type 0xFE) in place of the acknowledgement.
void Stack::refuse(const Endpoint &, const Indication &ind)
{
    auto it = conns_.find(ind.conn);
    if (it == conns_.end())
        return;
    const SpxConnection &c = *it->second.c;
    send_spx_control(c.local(), c.remote(), c.local_id(), c.remote_id());
}

// A caller that gives up before its request is answered tells the listener
// the same way, with the destination ID still unknown.
void Stack::send_withdraw(const SpxConnection &c)
{
    send_spx_control(c.local(), c.remote(), c.local_id(), ipxcore::kSpxUnknownId);
}

void Stack::send_spx_control(const IpxAddress &src, const IpxAddress &dst, uint16_t src_id,
                             uint16_t dst_id)
{
    ipxcore::SpxHeader sh;
    sh.control = ipxcore::kSpxSys;
    sh.dstype = ipxcore::kSpxEndOfConnection;
    sh.src_id = src_id;
    sh.dst_id = dst_id;
    uint8_t spx[ipxcore::kSpxHeaderLen];
    ipxcore::encode_spx(sh, spx);
    ipxcore::IpxHeader h;
    h.type = ipxcore::kIpxTypeSpx;
    h.src = src;
    h.dst = dst;
    transmit(ipxcore::encode_ipx(h, spx, sizeof(spx), false));
}

// ---- packets ---------------------------------------------------------------

// Packets for this host's own addresses never leave it: they go round the
// loopback. A broadcast goes round the loopback (for the endpoints here) and
// out on its network's link. Anything else goes out on the link of its
// destination network, to the next hop there.
void Stack::transmit(std::vector<uint8_t> pkt)
{
    counters_.packets_out++;
    send_out(std::move(pkt));
}

void Stack::send_out(std::vector<uint8_t> pkt)
{
    ipxcore::Link &loop = *links_[0];
    if (links_.size() == 1) {
        loop.send(std::move(pkt), ipxcore::kBroadcastNode, now_);
        return;
    }
    IpxAddress dst = IpxAddress::from_bytes(pkt.data() + 6);
    if (is_local(dst)) {
        // This host's own address, whatever its link's state.
        loop.send(std::move(pkt), dst.node, now_);
        return;
    }
    ipxcore::Link *link = nullptr;
    ipxcore::Node hop;
    if (!route(dst, link, hop)) {
        // A far network: kept while RIP looks for the way.
        if (dst.is_broadcast_node() || !router_.hold(pkt, dst.net, now_)) {
            counters_.unroutable++;
            counters_.packets_dropped++;
        }
        return;
    }
    if (dst.is_broadcast_node()) {
        loop.send(pkt, hop, now_);
    } else if (hop == link->node()) {
        loop.send(std::move(pkt), hop, now_);
        return;
    }
    link->send(std::move(pkt), hop, now_);
}

void Stack::on_packet(const std::vector<uint8_t> &pkt, ipxcore::Link &from)
{
    counters_.packets_in++;
    auto v = ipxcore::decode_ipx(pkt.data(), pkt.size());
    if (!v) {
        counters_.packets_dropped++;
        return;
    }
    IpxAddress &dst = v->header.dst;
    const bool looped = &from == links_[0].get();
    if (!looped) {
        // From another host: network 0 on either side means this network.
        if (dst.net == 0) dst.net = from.net();
        if (v->header.src.net == 0) v->header.src.net = from.net();
        // Nothing from outside speaks for this host: local programs trust
        // local senders (Ombrad takes requests from this host's privileged
        // sockets), and a relay server forwards any source it is given.
        if (is_local(v->header.src)) {
            from.counters().drop(ipxcore::Drop::Own);
            counters_.packets_dropped++;
            return;
        }
    } else if (dst.net == 0) {
        dst.net = default_net();
    }
    // From another host: for this host's address on any of its networks,
    // or a broadcast on the network of the link it came by. A broadcast is
    // never forwarded, so its source is on that network too.
    if (!looped && dst.is_broadcast_node() && v->header.src.net != from.net()) {
        from.counters().drop(ipxcore::Drop::WrongNetwork);
        counters_.packets_dropped++;
        return;
    }
    bool ours = looped ? is_local(dst) || (dst.is_broadcast_node() && link_of(dst.net) != nullptr)
                       : is_local(dst) || (dst.net == from.net() && dst.is_broadcast_node());
    if (!ours) {
        if (!looped && dst.net != from.net()) {
            // For another network: a router sends it on (never to the
            // endpoints here); the router counts what it drops.
            router_.forward(pkt, v->header, from, now_);
            return;
        }
        if (!looped)
            from.counters().drop(ipxcore::Drop::NotForUs);
        counters_.packets_dropped++;
        return;
    }
    if (dst.socket == ipxcore::kSocketRip && router_.active()) {
        router_.on_rip(*v, from, now_);
        // A program bound there (root's) hears it too.
        if (!sockets_.count(dst.socket))
            return;
    }
    if (v->header.type == ipxcore::kIpxTypeSpx) {
        auto sh = ipxcore::decode_spx(v->data, v->data_len);
        if (sh && !dst.is_broadcast_node())
            on_spx_packet(*v, *sh);
        else
            counters_.packets_dropped++;
        return;
    }
    auto s = sockets_.find(dst.socket);
    Endpoint *e = s == sockets_.end() ? nullptr : find(s->second);
    if (e == nullptr || e->svc != Service::Datagram || e->state != T_IDLE ||
        (dst.is_broadcast_node() && looped && v->header.src.socket == e->addr.socket) ||
        e->rx.size() >= kMaxQueuedDatagrams) {
        counters_.datagrams_dropped++;
        return;
    }
    Datagram d;
    d.from = v->header.src;
    d.type = v->header.type;
    d.hops = v->header.hops;
    d.data.assign(v->data, v->data + v->data_len);
    e->rx.push_back(std::move(d));
    touch(e->id);
    counters_.datagrams_in++;
}

void Stack::on_spx_packet(const ipxcore::IpxView &v, const ipxcore::SpxHeader &sh)
{
    const uint8_t *data = v.data + ipxcore::kSpxHeaderLen;
    size_t dlen = v.data_len - ipxcore::kSpxHeaderLen;
    const IpxAddress &src = v.header.src;
    const bool eoc_sys = (sh.control & ipxcore::kSpxSys) && sh.dstype == ipxcore::kSpxEndOfConnection;
    if (sh.dst_id != ipxcore::kSpxUnknownId) {
        auto it = conns_.find(sh.dst_id);
        if (it == conns_.end()) {
            counters_.packets_dropped++;
            return;
        }
        Slot &slot = it->second;
        SpxConnection &c = *slot.c;
        touch(slot.ep);
        if (eoc_sys && c.state() == SpxState::Connecting && src == c.remote()) {
            slot.forced_reason = kReasonRefused;  // the listener refused us
            c.abort();
            return;
        }
        if (slot.dropsome && !(sh.control & ipxcore::kSpxSys) && ++slot.drop_count % 8 == 0) {
            counters_.packets_dropped++;
            return;
        }
        c.on_packet(v.header, sh, data, dlen, now_);
        return;
    }
    // Destination ID unknown: a connection request, or a caller withdrawing
    // one. A repeated request goes to the connection it created.
    for (auto &[id, slot] : conns_) {
        SpxConnection &c = *slot.c;
        if (c.remote() == src && c.remote_id() == sh.src_id &&
            (slot.offered || c.state() != SpxState::Connecting)) {
            touch(slot.ep);
            if (eoc_sys && slot.offered)
                slot.forced_reason = kReasonWithdrawn;
            else if (ipxcore::is_connect_request(sh))
                c.on_packet(v.header, sh, data, dlen, now_);
            return;
        }
    }
    auto s = sockets_.find(v.header.dst.socket);
    Endpoint *e = s == sockets_.end() ? nullptr : find(s->second);
    if (e != nullptr)
        touch(e->id);
    if (e != nullptr && !e->overflow.empty()) {
        // A request waiting beyond the queue: repeated, or withdrawn.
        auto w = std::find_if(e->overflow.begin(), e->overflow.end(), [&](const Waiting &x) {
            return x.src == src && x.sh.src_id == sh.src_id;
        });
        if (w != e->overflow.end()) {
            if (eoc_sys)
                e->overflow.erase(w);
            return;
        }
    }
    if (!ipxcore::is_connect_request(sh)) {
        counters_.packets_dropped++;
        return;
    }
    if (e == nullptr || e->svc != Service::Spx || (e->state != T_IDLE && e->state != T_INCON) ||
        e->qlen == 0) {
        counters_.packets_dropped++;
        return;
    }
    // Requests beyond the queue wait in a short overflow, unanswered and
    // unseen by t_listen, and take the places that come free in order: the
    // caller is answered as soon as the listener accepts, not after its
    // next retransmission. Beyond the overflow they are dropped (the caller
    // repeats its request).
    if (e->inds.size() >= e->qlen || !e->overflow.empty()) {
        if (e->overflow.size() >= kMaxOverflow) {
            counters_.packets_dropped++;
            return;
        }
        e->overflow.push_back({v.header.dst, src, sh, now_});
        promote(*e);
        return;
    }
    offer(*e, v.header.dst, src, sh);
}

// A connection request becomes an indication on the listener.
void Stack::offer(Endpoint &e, const IpxAddress &to, const IpxAddress &src,
                  const ipxcore::SpxHeader &sh)
{
    uint16_t id = new_conn_id();
    if (id == 0) {
        counters_.packets_dropped++;
        return;
    }
    // The connection's address here is the one the request was sent to
    // (`to`): this host's node on the network it came in by.
    auto c = std::make_unique<SpxConnection>(SpxConnection::offered(
        to, src, sh, id, conn_config(e.opts, to.net), now_, transmit_fn(), trace_fn(id)));
    add_conn(std::move(c), e.id, true);
    e.inds.push_back({e.next_seq++, id, false});
    if (e.next_seq <= 0)
        e.next_seq = 1;
}

// Requests in the overflow take the places that came free in the queue;
// those whose callers have most likely given up are dropped.
void Stack::promote(Endpoint &e)
{
    while (!e.overflow.empty() && now_ >= e.overflow.front().since + kOverflowWaitMs)
        e.overflow.pop_front();
    if (e.svc != Service::Spx || (e.state != T_IDLE && e.state != T_INCON) || e.qlen == 0) {
        e.overflow.clear();
        return;
    }
    while (!e.overflow.empty() && e.inds.size() < e.qlen) {
        Waiting w = e.overflow.front();
        e.overflow.pop_front();
        offer(e, w.to, w.src, w.sh);
    }
}

std::vector<int> Stack::link_fds() const
{
    std::vector<int> fds;
    for (auto &link : links_)
        if (link->fd() >= 0)
            fds.push_back(link->fd());
    return fds;
}

// ---- status ----------------------------------------------------------------

bool Stack::socket_owner(uint16_t socket, int &uid) const
{
    auto it = sockets_.find(socket);
    if (it == sockets_.end())
        return false;
    auto ep = eps_.find(it->second);
    uid = ep != eps_.end() ? ep->second->bind_uid : -1;
    return true;
}

std::string Stack::status(uint32_t viewer) const
{
    // Root sees every endpoint and connection and the counters; an ordinary
    // user sees only what it owns, and its limits.
    const bool all = viewer == 0;
    std::ostringstream o;
    o << "pid: " << getpid() << "\n";
    o << "local address " << IpxAddress{default_net(), link_of(default_net())->node(), 0}.text() << "\n";
    size_t shown = 0;
    for (auto &[id, ep] : eps_)
        shown += all || ep->owner == viewer;
    o << "endpoints: " << shown << "\n";
    for (auto &[id, ep] : eps_) {
        const Endpoint &e = *ep;
        if (!all && e.owner != viewer)
            continue;
        o << "  " << id << " " << (e.svc == Service::Spx ? "spx" : "ipx") << " "
          << state_name(e.state);
        if (e.bound) o << " " << e.addr.text();
        if (e.qlen) o << " qlen " << e.qlen;
        if (!e.inds.empty()) o << " indications " << e.inds.size();
        if (e.conn) o << " conn " << e.conn;
        if (!e.rx.empty()) o << " queued " << e.rx.size();
        if (!e.discon.empty()) o << " disconnects " << e.discon.size();
        if (e.held_bytes) o << " held " << e.held_bytes;
        o << " user " << e.owner << "\n";
    }
    uint64_t retrans = counters_.retransmissions;
    shown = 0;
    for (auto &[id, slot] : conns_) {
        retrans += slot.c->stats().retransmissions;
        shown += all || slot.owner == viewer;
    }
    o << "connections: " << shown << "\n";
    for (auto &[id, slot] : conns_) {
        if (!all && slot.owner != viewer)
            continue;
        const SpxConnection &c = *slot.c;
        const ipxcore::SpxStats &st = c.stats();
        o << "  " << id << " " << conn_state_name(c.state()) << " " << c.local().text() << " -> "
          << c.remote().text() << " (id " << c.remote_id() << ")";
        if (slot.ep) o << " endpoint " << slot.ep;
        else o << " lingering";
        o << " sent " << st.packets_sent << " received " << st.packets_received
          << " retransmitted " << st.retransmissions << " duplicates " << st.duplicates
          << " user " << slot.owner << "\n";
    }
    if (!all) {
        Usage u;
        auto it = users_.find(viewer);
        if (it != users_.end())
            u = it->second;
        o << "held send data: " << u.held << "\n";
        o << "limits: endpoints " << u.endpoints + u.lingering << " of " << cfg_.limits.endpoints
          << ", dynamic sockets " << u.sockets << " of " << cfg_.limits.sockets
          << ", held send data " << u.held << " of " << cfg_.limits.held_bytes << "\n";
        return o.str();
    }
    o << "held send data: " << held_total_ << "\n";
    o << "packets: in " << counters_.packets_in << " out " << counters_.packets_out
      << " dropped " << counters_.packets_dropped << "\n";
    o << "datagrams: in " << counters_.datagrams_in << " out " << counters_.datagrams_out
      << " dropped " << counters_.datagrams_dropped << "\n";
    o << "retransmissions: " << retrans << "\n";
    o << "connections established: " << counters_.connections << "\n";
    o << "endpoints opened: " << counters_.endpoints_opened << "\n";
    o << "bad client messages: " << counters_.bad_messages << "\n";
    o << "unroutable packets: " << counters_.unroutable << "\n";
    o << "links: " << links_.size() << "\n";
    for (size_t i = 0; i < links_.size(); i++) {
        const ipxcore::Link &l = *links_[i];
        o << "  " << l.describe();
        if (i > 0 || links_.size() == 1)
            o << " network " << IpxAddress{l.net(), l.node(), 0}.text().substr(0, 21) << " mtu "
              << l.mtu();
        o << " " << ipxcore::state_name(l.state()) << ": " << l.counters().text() << "\n";
    }
    o << router_.status(now_);
    return o.str();
}

} // namespace ipxstackd
