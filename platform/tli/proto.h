// The endpoint protocol between the TLI library and the stack daemon.
//
// Every endpoint is one Unix-domain SOCK_SEQPACKET socket; each message is
// one packet: a fixed header and a body whose layout depends on the type.
// Integers are in host order (both ends run on the same host). The receiver
// checks the length of every message exactly before it copies anything.
//
// The library sends requests; the daemon answers each with exactly one reply
// (type | kReply) carrying the request's id. A request flagged kFlagBlock may
// be held by the daemon until it can be answered (t_listen, t_rcv, ...); the
// library then waits in poll(), and when a signal interrupts it sends
// kCancel naming the held request: the daemon answers the held request first
// (with TSYSERR/EINTR unless it had completed), then the cancel. So no reply
// is ever left behind for the next call, and nothing is consumed by a call
// that reports EINTR.
//
// While events are pending on an endpoint and no request is held, the
// daemon keeps exactly one kDoorbell message unread in the socket, so poll()
// reports POLLIN exactly when t_look would return an event. A library reading
// for its reply skips doorbells; the daemon re-sends one after each reply if
// events are still pending. Such a reply says so (kFlagPending) and the
// library waits until that doorbell is in the socket before it returns, so
// poll() is exact as soon as a call returns.
//
// Processes sharing an endpoint share its socket. A process reading for its
// reply peeks at the next message first and leaves another process's reply
// in place; when the message it then reads turns out to be someone else's
// after all (the other process took the peeked one in between), it hands it
// back with kReturn and the daemon sends it again, so no reply is lost.
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
    kDoorbell = 0x7000,  // daemon to library: events are pending
};

enum Flags : uint16_t {
    kFlagBlock = 0x0001,  // the request may wait (the endpoint is not O_NONBLOCK)
    kFlagFd = 0x0002,     // a descriptor travels with the message (SCM_RIGHTS)
    kFlagPending = 0x0004,  // replies: events are pending, a doorbell follows
};

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
    OutMessage(const std::vector<uint8_t> &msg, int pass_fd);
    OutMessage(const OutMessage &) = delete;
    OutMessage &operator=(const OutMessage &) = delete;
    struct iovec iov;
    struct msghdr mh;
    alignas(struct cmsghdr) char cbuf[CMSG_SPACE(sizeof(int))];
};

} // namespace tliproto

#endif
