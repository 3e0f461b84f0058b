// The endpoint layer of ipxstackd: TLI endpoints over the IPX/SPX core.
//
// Stack owns every endpoint's state (TLI state, bound address, queues,
// options), the socket table, the SPX connections and the links. It does no
// socket I/O of its own: requests come in through on_control (a control
// connection of the library) or on_message (the endpoint's own socket),
// posted sends through on_post; replies, doorbells and the pushed stream go
// out through StackIo, packets come in through the links, and time comes
// from the Clock. The server (server.cpp) does the I/O.
#ifndef IPXSTACKD_STACK_H
#define IPXSTACKD_STACK_H

#include "../core/ipx.h"
#include "../core/link.h"
#include "../core/spx.h"
#include "links.h"
#include "proto.h"
#include "router.h"

#include <array>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <set>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ipxstackd {

using ipxcore::IpxAddress;

enum class Service { Datagram, Spx };

// What one ordinary user (any uid but 0) may hold in the stack at once, so
// that no local user can use up what every other user needs. Root is not
// limited by them. Each is charged to the user who opened the endpoint.
struct UserLimits {
    // Endpoints open at once; a connection that lingers after its endpoint
    // was closed (delivering what was queued) still counts.
    uint32_t endpoints = 256;
    // Sockets of the dynamic range (0x4000-0x7FFF) bound at once.
    uint32_t sockets = 128;
    // t_snd data waiting in the daemon for room in the connections, all the
    // user's endpoints together (bytes).
    size_t held_bytes = 4u << 20;
    // Connections to a device socket whose open request has not come yet.
    uint32_t pending = 8;

    // "endpoints=N,sockets=N,held=KIB,pending=N" (any of them, any order);
    // false with a message on a bad list.
    static bool parse(const std::string &text, UserLimits &out, std::string &error);
};

// Dynamic sockets only root may take: ordinary users are refused a dynamic
// socket once no more than this many are free.
constexpr uint32_t kRootReservedSockets = 1024;
// t_snd data waiting in the daemon per endpoint (bytes). Beyond it (or
// beyond the user's held_bytes) the daemon reads no more t_snd requests from
// the endpoint until the connection has taken some: the kernel's socket
// buffer then holds the sender back.
constexpr size_t kHeldBytesPerEndpoint = 256 * 1024;

struct StackConfig {
    uint32_t net = 0x00000001;     // network of a stack without links
    uint32_t host = 0x7f000001;    // its node = 00 00 + host
    uint32_t rcv_max = 0;          // test option: cap on each t_rcv (0: none)
    std::optional<ipxcore::ImpairmentConfig> impair;  // on every link, the loopback included
    UserLimits limits;
    // Routing between links (with two or more); off: a host that must
    // not forward.
    bool forward = true;
    ipxcore::RipTimers rip;  // shorter only in tests (--rip-timers)
    // How often every endpoint is settled, touched or not (ms). Longer only
    // in tests (--settle-all), where a wake-up that is missing shows as a
    // hang instead of a delay.
    uint64_t settle_all_ms = 1000;
};

// What the stack needs from the server.
class StackIo {
public:
    virtual ~StackIo() = default;
    // Sends one message on the endpoint's socket (a socket that is full
    // keeps it queued, in order); false when it cannot be sent (the stack
    // then drops the endpoint).
    virtual bool send(uint32_t ep, const std::vector<uint8_t> &msg) = 0;
    // Pushes one stream message, only when the socket takes it now (and
    // nothing queued waits before it); false otherwise. The server calls
    // Stack::on_writable when the socket has room again.
    virtual bool push(uint32_t, const std::vector<uint8_t> &) { return false; }
    // The reply to a request on control connection `call`. `last`: the
    // stack expects nothing more on it, the server closes it.
    virtual void reply(uint32_t, const std::vector<uint8_t> &, bool) {}
    // A control connection that sent something out of form: closed, no
    // reply (the server tells on_call_gone).
    virtual void end_call(uint32_t) {}
    // The endpoint takes no more posted sends: its reading side is shut
    // (the library's next posted send fails), after what is queued.
    virtual void shut_input(uint32_t) {}
    // The endpoint is gone (bad client): close its socket.
    virtual void drop(uint32_t ep) = 0;
    virtual void log(const std::string &line) = 0;
    // True when every descriptor of the client's end is closed and nothing
    // is left to read (the hangup has not been processed yet).
    virtual bool closed(uint32_t ep) = 0;
};

// The SPX option record of t_optmgmt, 8 bytes, 16-bit fields in host order.
//   flags   bit 0: put IPX checksums on this connection's packets; other
//           bits are reserved (negotiated to 0).
//   rsrv    bits 0-3: trace level of the connection (lines in the daemon's
//           log); bit 7: test mode, the stack drops every 8th data packet
//           arriving for the connection so that retransmission is
//           exercised; bits 4-6 reserved (negotiated to 0).
//   ackdel  delayed-acknowledgement time in ms (0: acknowledge at once).
//   sackdel watchdog time in ms: a silent peer is probed after this long
//           (0 is taken as the default, 3000; at least 100).
//   max     data bytes per SPX packet, 1 to 534 (0 and larger values are
//           negotiated to 534).
struct SpxOptions {
    uint8_t flags = 0;
    uint8_t rsrv = 0;
    uint16_t ackdel = 0;
    uint16_t sackdel = 3000;
    uint16_t max = ipxcore::kSpxMaxData;
    static constexpr size_t kLen = 8;
    void to_bytes(uint8_t *out) const;
    static SpxOptions from_bytes(const uint8_t *in);
    SpxOptions negotiated() const;  // the nearest values the stack accepts
    bool operator==(const SpxOptions &) const = default;
    ipxcore::SpxConfig config() const;
};

// Disconnect reasons reported by t_rcvdis.
enum DisconReason : int32_t {
    kReasonPeerClosed = 1,  // the peer ended the connection (after all its data)
    kReasonRefused = 2,     // the listener refused the call (t_snddis)
    kReasonTimeout = 3,     // retransmission gave up
    kReasonDeadPeer = 4,    // the watchdog found the peer silent
    kReasonWithdrawn = 5,   // the caller gave up before the call was answered
    kReasonAborted = 6,     // anything else
    kReasonNoRoute = 7,     // no route to the called network was found
};

struct Counters {
    uint64_t packets_in = 0, packets_out = 0, packets_dropped = 0;
    uint64_t datagrams_in = 0, datagrams_out = 0, datagrams_dropped = 0;
    uint64_t retransmissions = 0;    // of finished connections (live ones add theirs)
    uint64_t connections = 0;        // established, ever
    uint64_t bad_messages = 0;       // client messages that cost an endpoint
    uint64_t endpoints_opened = 0;
    uint64_t posts_dropped = 0;      // posted sends for a connection that is gone
    uint64_t unroutable = 0;         // packets for a network no link leads to
};

class Stack {
public:
    Stack(const StackConfig &cfg, const Clock &clock, StackIo &io);
    ~Stack();

    // A new endpoint on a device for user `owner`; returns its id, or 0 when
    // the owner already has as many endpoints as it may.
    uint32_t open(Service svc, uint32_t owner = 0);
    tliproto::InfoBody info(uint32_t ep) const;

    // One message from the endpoint's socket. `res_ep` is the endpoint of a
    // descriptor that came with it (0: none, UINT32_MAX: not an endpoint);
    // `uid` the sender's user id (-1 unknown).
    void on_message(uint32_t ep, const uint8_t *msg, size_t len, uint32_t res_ep, int uid);
    // One message on control connection `call` (a number the server gives
    // each; never 0) about endpoint `ep`; `res_ep` as for on_message.
    void on_control(uint32_t call, uint32_t ep, const uint8_t *msg, size_t len, uint32_t res_ep,
                    int uid);
    // The control connection is gone: what it holds is dropped (a held
    // request unanswered, a pause lifted).
    void on_call_gone(uint32_t call, uint32_t ep);
    // A posted send from the endpoint's socket (type kPost).
    void on_post(uint32_t ep, const uint8_t *msg, size_t len);
    // The endpoint's socket has room again for pushed messages.
    void on_writable(uint32_t ep);
    // A message the server could not even read (oversized, descriptors):
    // the endpoint is lost.
    void reject(uint32_t ep, const std::string &why);
    // The last descriptor to the endpoint was closed.
    void on_hangup(uint32_t ep);

    // Sets the time for this loop iteration (the clock is read once).
    void tick(uint64_t now_ms);
    // Delivers due packets, runs timers, answers what can be answered.
    void run();
    uint64_t next_deadline() const;  // UINT64_MAX when nothing is due

    // The status view as user `viewer` may see it: root sees everything, an
    // ordinary user only its own endpoints and connections.
    std::string status(uint32_t viewer = 0) const;
    // Whether `socket` is bound; if so, the binder's user id in `uid` (-1:
    // unknown).
    bool socket_owner(uint16_t socket, int &uid) const;
    // True while the endpoint holds as much t_snd data as it may (itself or
    // its owner): the server reads no further t_snd or posted send from its
    // socket.
    bool sends_stalled(uint32_t ep) const;
    // True while the endpoint holds a posted send its connection has not
    // taken yet: the server reads nothing more from its socket (which then
    // holds the sender back) until it has.
    bool input_stalled(uint32_t ep) const;
    size_t held_bytes() const { return held_total_; }
    // A link to other hosts: one IPX network, whose number no other link
    // has. Without any, the stack is one network of its own (the config's
    // net and host) on the internal loopback. The first link added is the
    // default network of endpoints bound with network 0.
    void add_link(std::unique_ptr<ipxcore::Link> link);
    // Descriptors of links that the loop must wait on.
    std::vector<int> link_fds() const;
    // True once no link is still registering with a server.
    bool links_settled() const;
    size_t endpoint_count() const { return eps_.size(); }
    size_t connection_count() const { return conns_.size(); }
    const Counters &counters() const { return counters_; }

private:
    struct Datagram {
        IpxAddress from;
        uint8_t type = 0, hops = 0;
        std::vector<uint8_t> data;
        size_t off = 0;
    };
    struct UdErr {
        IpxAddress to;
        uint8_t type = 0;
        int32_t error = 0;
    };
    struct Indication {
        int32_t seq = 0;
        uint16_t conn = 0;
        bool listened = false;
    };
    struct Discon {
        int32_t reason = 0;
        int32_t seq = -1;
    };
    struct Waiting {  // a connection request beyond a listener's queue
        IpxAddress to;   // the address it was sent to
        IpxAddress src;
        ipxcore::SpxHeader sh;
        uint64_t since = 0;
    };
    struct Held {  // a request the daemon holds until it can answer
        uint32_t reqid = 0;
        uint16_t type = 0;
        uint32_t call = 0;          // its control connection (0: the endpoint's socket)
        std::vector<uint8_t> body;  // the request body (t_snd: the data)
        size_t off = 0;             // t_snd: bytes taken so far
        int32_t flags = 0;          // t_snd flags
    };
    struct Piece {  // a piece of received data for the stream
        int32_t flags = 0;  // T_MORE, T_EXPEDITED
        std::vector<uint8_t> data;
    };
    struct Endpoint {
        uint32_t id = 0;
        uint32_t owner = 0;  // the user who opened it
        Service svc = Service::Datagram;
        int state = 1;  // T_UNBND
        bool bound = false;
        int bind_uid = -1;  // the user who bound it (-1: unknown)
        IpxAddress addr;  // as bound: its network is the endpoint's default network
        uint32_t qlen = 0;
        std::deque<Datagram> rx;
        std::deque<UdErr> uderr;
        std::list<Indication> inds;
        std::deque<Waiting> overflow;  // requests beyond the queue (oldest first)
        int32_t next_seq = 1;
        uint16_t conn = 0;  // the endpoint's connection (0: none)
        std::deque<Discon> discon;
        SpxOptions opts;
        std::deque<Held> held;                // answered in order as they can be
        size_t held_bytes = 0;                // their bodies together, with posts,
                                              // pushq and unread
        std::array<uint32_t, 16> answered{};  // recent request ids: cancel may name them
        size_t answered_next = 0;
        size_t held_here = 0;   // held requests that came on the endpoint's socket
        bool doorbell = false;  // a doorbell is unread in the socket
        // The data path of a connected endpoint (see proto.h).
        uint32_t gen = 0;        // the connection's stream generation (0: none)
        bool stream = false;     // received data is pushed into the socket
        size_t piece_max = tliproto::kMaxData;  // largest piece pushed
        std::deque<Piece> pushq;  // read from the connection, not yet pushed
        bool disc_noted = false;  // the disconnect note is in the socket
        uint32_t paused_by = 0;   // the control connection that paused the stream
        std::deque<Piece> unread;  // handed back under the pause so far
        bool input_shut = false;  // posted sends are refused (the connection ended)
        std::deque<Held> posts;   // posted sends the connection has not taken
    };
    struct Slot {
        std::unique_ptr<ipxcore::SpxConnection> c;
        uint32_t ep = 0;         // owner endpoint (0: lingering after close)
        uint32_t owner = 0;      // the user of that endpoint
        bool offered = false;    // an indication not yet accepted
        bool dropsome = false;   // rsrv bit 7
        uint32_t drop_count = 0;
        int32_t forced_reason = 0;  // refused or withdrawn by the other side
        std::deque<Held> posts;     // lingering: posted sends still to go in
    };

    struct Answer {
        int32_t terr = 0, syserr = 0;
        tliproto::Writer body;
        tliproto::ControlPrefix pre;  // control replies: what the handler adds
        bool saw_bell = false;        // the request came with kFlagSawBell
    };

    // What one user holds (see UserLimits).
    struct Usage {
        uint32_t endpoints = 0, lingering = 0, sockets = 0;
        size_t held = 0;
    };

    Endpoint *find(uint32_t ep);
    const Endpoint *find(uint32_t ep) const;
    Usage &usage(uint32_t uid) { return users_[uid]; }
    void forget_user_if_idle(uint32_t uid);
    void add_held(Endpoint &e, Held &&h);
    static Answer cancelled(const Held &h);
    // Bytes the daemon holds for the endpoint, counted against its owner.
    void charge(Endpoint &e, size_t n);
    void discharge(Endpoint &e, size_t n);
    void clear_pieces(Endpoint &e, std::deque<Piece> &q);
    bool over_user_limit(uint32_t owner) const;
    void erase_held(Endpoint &e, std::deque<Held>::iterator it);
    void violation(Endpoint &e, const std::string &why);
    // The answer to a request: on its control connection `call`, or on the
    // endpoint's socket when `call` is 0.
    // `more`: another reply follows on the same control connection.
    void reply(Endpoint &e, uint32_t call, uint32_t reqid, uint16_t type, Answer &a,
               bool more = false);
    void destroy(Endpoint &e);
    int events(const Endpoint &e) const;
    int look(const Endpoint &e) const;
    void refresh(Endpoint &e);
    void service(Endpoint &e);
    bool service_one(Endpoint &e, size_t index);
    void update_doorbell(Endpoint &e);
    void settle();  // refresh, service and doorbell on every endpoint
    // The data path: posted sends into the connection, received data and
    // the disconnect note into the socket.
    void feed_posts(Endpoint &e);
    void push_stream(Endpoint &e);
    void enter_dataxfer(Endpoint &e, bool stream);
    void leave_stream(Endpoint &e);
    void drop_posts(Endpoint &e);
    void control_request(Endpoint &e, uint32_t call, const tliproto::Header &h, const uint8_t *body,
                         size_t len, uint32_t res_ep, int uid);

    // Requests; each returns true when answered (false: hold it or say
    // TNODATA/TFLOW, decided by the caller).
    void dispatch(Endpoint &e, uint32_t call, const tliproto::Header &h, const uint8_t *body,
                  size_t len, uint32_t res_ep, int uid);
    bool try_listen(Endpoint &e, Answer &a);
    bool try_rcv(Endpoint &e, uint32_t max, Answer &a);
    bool try_connect_done(Endpoint &e, Answer &a, bool control);
    bool try_rcvudata(Endpoint &e, uint32_t amax, uint32_t omax, uint32_t dmax, Answer &a);
    bool push_snd(Endpoint &e, Held &h, Answer &a, bool block);
    void do_bind(Endpoint &e, tliproto::Reader &rd, int uid, Answer &a);
    void do_optmgmt(Endpoint &e, tliproto::Reader &rd, Answer &a);
    void do_accept(Endpoint &e, tliproto::Reader &rd, uint32_t res_ep, Answer &a, bool control);
    void do_snddis(Endpoint &e, tliproto::Reader &rd, Answer &a, bool data_ahead);
    void do_sndudata(Endpoint &e, tliproto::Reader &rd, int uid, Answer &a);

    // Networks, sockets and addresses.
    // The link of network `net`: a link to other hosts, or (without any)
    // the loopback for the stack's own network; nullptr when none leads
    // there.
    ipxcore::Link *link_of(uint32_t net) const;
    uint32_t default_net() const;
    // One of this host's own addresses (network and node).
    bool is_local(const IpxAddress &a) const;
    // A destination: network 0 stands for `net`, node 0 or 1 for this
    // host's node on that network.
    bool resolve(const uint8_t *b12, uint32_t net, IpxAddress &out) const;
    // The source address for sending from `e` to `dst`: the endpoint's
    // socket at this host's node on the destination's network.
    IpxAddress source_for(const Endpoint &e, const IpxAddress &dst) const;
    void release_socket(Endpoint &e);
    // A socket of the dynamic range: counted against the owner's limit.
    static bool dynamic(uint16_t socket);
    // Where a packet for `dst` goes: the link and the node on it. Networks
    // are directly attached; a routing core plugs in here.
    bool route(const IpxAddress &dst, ipxcore::Link *&link, ipxcore::Node &next_hop) const;
    // A connection's settings on the link of network `net`: the packet
    // size follows the link; checksums only where the link carries them.
    ipxcore::SpxConfig conn_config(const SpxOptions &o, uint32_t net);

    // Connections.
    uint16_t new_conn_id();
    uint16_t add_conn(std::unique_ptr<ipxcore::SpxConnection> c, uint32_t ep, bool offered);
    ipxcore::SpxConnection::Transmit transmit_fn();
    ipxcore::SpxConnection::Trace trace_fn(uint16_t id);
    void retire(uint16_t id);
    std::map<uint16_t, Slot>::iterator erase_conn(std::map<uint16_t, Slot>::iterator it);
    void drain_lingering();
    void feed_lingering();
    void linger(uint16_t id);
    void linger_with_posts(Endpoint &e);
    size_t feed(ipxcore::SpxConnection &c, std::deque<Held> &q, uint32_t owner);
    void refuse(const Endpoint &e, const Indication &ind);
    void send_withdraw(const ipxcore::SpxConnection &c);
    void send_spx_control(const IpxAddress &src, const IpxAddress &dst, uint16_t src_id,
                          uint16_t dst_id);
    static int32_t reason_of(const ipxcore::SpxConnection &c);

    // Packets.
    void transmit(std::vector<uint8_t> pkt);
    void send_out(std::vector<uint8_t> pkt);  // transmit, not counted again
    // A packet of this host for which no route was found: a datagram error
    // for a datagram, a call that fails with kReasonNoRoute for SPX.
    void no_route(const std::vector<uint8_t> &pkt);
    void run_router();
    void on_packet(const std::vector<uint8_t> &pkt, ipxcore::Link &from);
    void on_spx_packet(const ipxcore::IpxView &v, const ipxcore::SpxHeader &sh);
    void offer(Endpoint &e, const IpxAddress &to, const IpxAddress &src, const ipxcore::SpxHeader &sh);
    void promote(Endpoint &e);

    StackConfig cfg_;
    const Clock &clock_;
    StackIo &io_;
    uint64_t now_ = 0;
    // The links; the first is the internal loopback (impaired when asked),
    // the others lead to other hosts.
    std::vector<std::unique_ptr<ipxcore::Link>> links_;
    Router router_;  // after links_, which it reads
    std::vector<const ipxcore::Link *> checksum_told_;  // links whose lack of checksums was logged
    std::map<uint32_t, std::unique_ptr<Endpoint>> eps_;
    uint32_t next_ep_ = 1;
    std::map<uint16_t, uint32_t> sockets_;  // bound socket -> endpoint
    uint16_t next_dynamic_ = ipxcore::kFirstDynamicSocket;
    std::map<uint16_t, Slot> conns_;
    // Endpoints to settle in the next round: those that something happened
    // to (a message, a call, a packet or timer of their connections, a
    // datagram) and those with work still waiting. Idle endpoints cost
    // nothing; all are settled once a second all the same.
    std::set<uint32_t> dirty_;
    uint64_t last_sweep_ = 0;
    void touch(uint32_t ep)
    {
        if (ep != 0)
            dirty_.insert(ep);
    }
    uint16_t next_conn_id_ = 1;
    Counters counters_;
    std::map<uint32_t, Usage> users_;
    uint32_t dynamic_used_ = 0;  // bound sockets of the dynamic range
    size_t held_total_ = 0;
    uint32_t next_gen_ = 1;
};

} // namespace ipxstackd

#endif
