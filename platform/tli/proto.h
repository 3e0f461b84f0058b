// The endpoint protocol between the TLI library and the stack daemon.
//
// Every endpoint is one Unix-domain SOCK_SEQPACKET socket pair: the library
// holds one end (the endpoint's descriptor), the daemon the other. Each
// message is one packet: a fixed header and a body whose layout depends on
// the type. Integers are in host order (both ends run on the same host). The
// receiver checks the length of every message exactly before it copies
// anything.
//
// Requests and replies. A request gets exactly one reply (type | kReply)
// carrying the request's id. The library sends its requests on a control
// connection of their own: a fresh connection to a device socket, with the
// endpoint's descriptor attached (and t_accept's responding endpoint), so
// that a reply never queues behind the endpoint's data. A request flagged
// kFlagBlock may be held by the daemon until it can be answered (t_listen,
// ...); when a signal interrupts the wait the library sends kCancel naming
// it on the same connection: the daemon answers the held request first
// (with TSYSERR/EINTR unless it had completed), then the cancel. So no reply
// is ever lost, and nothing is consumed by a call that reports EINTR. A
// reply on a control connection starts with a ControlPrefix: the
// endpoint's stream generation and what the caller has to do on the
// endpoint's socket. The daemon still answers requests sent on the
// endpoint's socket itself (replies on that socket, doorbells skipped by
// the reader, kReturn for a reply taken by the wrong process): programs
// that speak the protocol by hand use it.
//
// The endpoint's socket carries the data path:
// - Posted sends (kPost, library to daemon): t_snd on a connected endpoint
//   writes its data into the socket and returns. The daemon reads a posted
//   send only while the connection can take (part of) it, so the socket's
//   buffer is the sender's credit: a full socket is flow control (TFLOW,
//   or a blocking send waits in the kernel), and poll() reports POLLOUT
//   when sending can go on. When the connection ends the daemon shuts its
//   reading side: a posted send then fails (EPIPE), which t_snd reports as
//   TLOOK.
// - The stream (daemon to library): on a connected endpoint the daemon
//   pushes received data as kData messages (pieces of units, with T_MORE
//   and T_EXPEDITED as t_rcv returns them) and, after the last, kDiscNote
//   when the connection has ended. t_rcv and t_look read the socket
//   without asking the daemon, so poll() reports POLLIN exactly while data
//   or the disconnect waits. Every stream message and posted send carries
//   the stream's generation (a number the daemon gives each connection an
//   endpoint carries): what belongs to an earlier connection is dropped.
//   A reader with a buffer smaller than the piece at the head asks the
//   daemon to pause (kPause), takes the stream out, and hands back what it
//   did not use (kUnread) with the piece size to use from now on. Pieces
//   cut at such a smaller size carry kFlagCut: a reader with a buffer at
//   least twice as large hands back in the same way, and the pieces grow
//   again.
// - Doorbells (daemon to library): while events other than the stream's
//   are pending (a connect indication, a confirmed connection, a
//   disconnect of a call, a datagram), one kDoorbell is unread in the
//   socket, so poll() reports POLLIN exactly when t_look would return an
//   event. A control reply tells the caller when to take it out.
#ifndef DRAX_TLI_PROTO_H
#define DRAX_TLI_PROTO_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace tliproto {

constexpr uint16_t kReply = 0x8000;

enum Type : uint16_t {
    // On a connection to a device socket (before an endpoint exists).
    kOpen = 1,      // body: i32 oflag. Reply: Info body + the endpoint descriptor
    kStatus = 2,    // no body. Reply: text of the status view
    kBound = 3,     // u32 count (1 to kMaxBoundQuery), count x u32 socket. Reply:
                    // count x (i32 bound 0/1, i32 uid of the binder or -1), in the
                    // order asked. Root callers only: others get TACCES, no body
    // On an endpoint.
    kInfo = 10,      // no body. Reply: Info body
    kBind = 11,      // i32 has_addr, u32 qlen, addr[12]. Reply: addr[12], u32 qlen
    kUnbind = 12,    // no body, empty reply
    kOptmgmt = 13,   // i32 flags, u32 optlen, opt. Reply: i32 flags, u32 optlen, opt
    kConnect = 14,   // u32 addrlen, u32 optlen, u32 udlen, addr, opt, udata. Reply: Call
    kRcvconnect = 15,// no body. Reply: Call
    kListen = 16,    // no body. Reply: Call
    kAccept = 17,    // i32 seq, u32 optlen, u32 udlen, opt, udata; descriptor of resfd
                     // attached (kFlagFd) unless it is the endpoint itself. Empty reply
    kSnd = 18,       // i32 flags, data. Reply: u32 count
    kRcv = 19,       // u32 max. Reply: i32 flags, data
    kSnddis = 20,    // i32 has_seq, i32 seq, u32 udlen, udata. Empty reply
    kRcvdis = 21,    // no body. Reply: i32 reason, i32 seq
    kSndudata = 22,  // u32 addrlen, u32 optlen, addr, opt, data. Empty reply
    kRcvudata = 23,  // u32 addrmax, u32 optmax, u32 datamax. Reply: i32 flags,
                     // u32 addrlen, u32 optlen, addr, opt, data
    kRcvuderr = 24,  // no body. Reply: i32 error, u32 addrlen, u32 optlen, addr, opt
    kLook = 25,      // no body. Reply: i32 event
    kCancel = 26,    // u32 reqid of the held request. Empty reply
    kReturn = 27,    // a whole reply message that this process took from a socket
                     // it shares with another process, for the daemon to send
                     // again to its owner. No reply
    kProtaddr = 28,  // no body. Reply: u32 boundlen, bound addr, u32 peerlen, peer addr
                     // (a length is 0 when the endpoint is not bound / not connected)
    // Control connections only.
    kPause = 29,     // no body: push nothing more until kUnread's end (or the
                     // connection ends). Reply: prefix only
    kUnread = 30,    // after kPause, on the same connection: i32 kind, u32 generation,
                     // then for kUnreadData i32 flags and data, for kUnreadEnd
                     // u32 the piece size from now on. Only kUnreadEnd is answered
                     // (prefix only): the pieces go back in front of the stream
    // The endpoint's socket, data path (the header's reqid is the stream's
    // generation; no reply).
    kPost = 31,          // library to daemon: i32 flags (T_MORE, T_EXPEDITED), data
    kDoorbell = 0x7000,  // daemon to library: events are pending
    kData = 0x7001,      // daemon to library: i32 flags, data (a piece of a unit)
    kDiscNote = 0x7002,  // daemon to library: the connection ended, t_rcvdis tells why
};

enum UnreadKind : int32_t {
    kUnreadData = 0,
    kUnreadDisc = 1,
    kUnreadEnd = 2,
};

enum Flags : uint16_t {
    kFlagBlock = 0x0001,  // the request may wait (the endpoint is not O_NONBLOCK)
    kFlagFd = 0x0002,     // a descriptor travels with the message (SCM_RIGHTS)
    kFlagPending = 0x0004,  // replies: events are pending, a doorbell follows
    kFlagControl = 0x0008,  // a request on a control connection
    kFlagSawBell = 0x0010,  // control: the caller found a doorbell at the socket's head
    kFlagDataAhead = 0x0020,  // control (t_snddis): unread data is at the stream's head
    kFlagCut = 0x0040,  // stream (kData): cut at the smaller piece size a reader asked for
};

enum Note : uint32_t {
    kNoteDropBell = 0x01,     // take one doorbell out of the endpoint's socket
    kNoteDropStream = 0x02,   // take the messages of old_gen off the socket's head
    kNoteUseStream = 0x04,    // not carried out: the data is in the endpoint's socket
    kNotePostClosed = 0x08,   // the endpoint takes no posted sends: t_snd asks
    kNoteResDropBell = 0x10,  // t_accept: take one doorbell out of resfd's socket
};

// Stream messages and posted sends: the header and the i32 flags.
constexpr size_t kStreamHeaderLen = 24;

struct Header {
    uint16_t type = 0;
    uint16_t flags = 0;
    uint32_t len = 0;     // whole message, header included
    uint32_t reqid = 0;   // request id, echoed in the reply; 0 in doorbells
    int32_t terr = 0;     // replies: 0 or the t_errno of the failure
    int32_t syserr = 0;   // replies: errno when terr is TSYSERR
};
constexpr size_t kHeaderLen = 20;

// Largest body of any message; data calls carry at most kMaxData bytes.
constexpr size_t kMaxData = 65536;
constexpr size_t kMaxBody = kMaxData + 64;
constexpr size_t kMaxMessage = kHeaderLen + kMaxBody;
constexpr size_t kMaxOpt = 64;    // option buffers
constexpr size_t kAddrLen = 12;   // an IPX address
constexpr uint32_t kMaxBoundQuery = 256;  // sockets in one kBound request

void put_header(const Header &h, uint8_t *out);
Header get_header(const uint8_t *in);  // caller checked len >= kHeaderLen

// Body writer: appends host-order integers and byte strings.
class Writer {
public:
    Writer &i32(int32_t v) { return raw(&v, 4); }
    Writer &u32(uint32_t v) { return raw(&v, 4); }
    Writer &i64(int64_t v) { return raw(&v, 8); }
    Writer &bytes(const void *p, size_t n) { return raw(p, n); }
    const std::vector<uint8_t> &data() const { return buf_; }
    std::vector<uint8_t> &data() { return buf_; }

private:
    Writer &raw(const void *p, size_t n)
    {
        if (n == 0)
            return *this;
        size_t old = buf_.size();
        buf_.resize(old + n);
        std::memcpy(buf_.data() + old, p, n);
        return *this;
    }
    std::vector<uint8_t> buf_;
};

// Body reader: every get fails (and poisons the reader) when the body is too
// short; done() is true only when every byte was consumed without failure.
class Reader {
public:
    Reader(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    bool i32(int32_t &v) { return raw(&v, 4); }
    bool u32(uint32_t &v) { return raw(&v, 4); }
    bool i64(int64_t &v) { return raw(&v, 8); }
    bool bytes(void *out, size_t n) { return raw(out, n); }
    // Points into the body without copying.
    bool view(const uint8_t *&out, size_t n)
    {
        if (bad_ || n > n_ - off_) return fail();
        out = p_ + off_;
        off_ += n;
        return true;
    }
    size_t remaining() const { return bad_ ? 0 : n_ - off_; }
    bool ok() const { return !bad_; }
    bool done() const { return !bad_ && off_ == n_; }

private:
    bool fail() { bad_ = true; return false; }
    bool raw(void *out, size_t n)
    {
        if (bad_ || n > n_ - off_) return fail();
        std::memcpy(out, p_ + off_, n);
        off_ += n;
        return true;
    }
    const uint8_t *p_;
    size_t n_;
    size_t off_ = 0;
    bool bad_ = false;
};

// Before the body of every reply on a control connection.
struct ControlPrefix {
    uint32_t gen = 0;      // the endpoint's stream generation (0: no stream)
    uint32_t notes = 0;    // Note bits: what the caller does on the endpoint's socket
    uint32_t old_gen = 0;  // kNoteDropStream: the generation whose messages go
    uint32_t res_gen = 0;  // t_accept: the responding endpoint's stream generation
    static constexpr size_t kLen = 16;
    void write(Writer &w) const;
    bool read(Reader &r);
};

// The information record of an endpoint: the seven t_info fields and the
// current TLI state.
struct InfoBody {
    int64_t addr = 0, options = 0, tsdu = 0, etsdu = 0, connect = 0, discon = 0, servtype = 0;
    int32_t state = 0;
    void write(Writer &w) const;
    bool read(Reader &r);
};

// A whole message ready to send: header + body, length filled in.
std::vector<uint8_t> build(uint16_t type, uint16_t flags, uint32_t reqid, int32_t terr,
                           int32_t syserr, const std::vector<uint8_t> &body);

// Name of a message type for logs ("bind", "reply to rcv", ...).
std::string type_name(uint16_t type);

// One message for sendmsg(), with a descriptor attached (SCM_RIGHTS) when
// `pass_fd` is not negative. It points into itself: neither copied nor moved.
struct OutMessage {
    OutMessage(const std::vector<uint8_t> &msg, int pass_fd, int pass_fd2 = -1);
    OutMessage(const OutMessage &) = delete;
    OutMessage &operator=(const OutMessage &) = delete;
    struct iovec iov;
    struct msghdr mh;
    alignas(struct cmsghdr) char cbuf[CMSG_SPACE(2 * sizeof(int))];
};

} // namespace tliproto

#endif
