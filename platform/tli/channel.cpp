#include "channel.h"

#include <tiuser.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tlichan {

using namespace tliproto;

namespace {

std::vector<Ep> &table()
{
    static std::vector<Ep> t;
    return t;
}

// Request ids are the process id << 8 and a counter (never 0). The process
// id is kept, and taken again in a child after fork.
uint32_t g_pid_part = 0;

void forget_pid()
{
    g_pid_part = 0;
}

uint32_t next_reqid()
{
    static uint32_t counter = 0;
    if (g_pid_part == 0) {
        static bool registered = false;
        if (!registered) {
            registered = true;
            pthread_atfork(nullptr, nullptr, forget_pid);
        }
        g_pid_part = static_cast<uint32_t>(getpid()) << 8;
    }
    uint32_t id = g_pid_part | (++counter & 0xff);
    return id == 0 ? 1 : id;
}

// Where the daemon of `fd` takes control connections: its end of the
// endpoint's socket is named after its device directory (see server.h).
const std::string &control_path(int fd, Ep &ep)
{
    if (!ep.ctl.empty())
        return ep.ctl;
    struct sockaddr_un sa {};
    socklen_t len = sizeof(sa);
    const size_t base = offsetof(struct sockaddr_un, sun_path);
    const std::string prefix = "ipxstackd:";
    if (getpeername(fd, reinterpret_cast<struct sockaddr *>(&sa), &len) == 0 && len > base + 1 &&
        sa.sun_path[0] == '\0') {
        std::string name(sa.sun_path + 1, len - base - 1);
        size_t key = name.rfind(':');
        if (name.rfind(prefix, 0) == 0 && key != std::string::npos && key > prefix.size())
            ep.ctl = name.substr(prefix.size(), key - prefix.size()) + "/ravspx";
    }
    // Not named: a daemon that answers on the endpoint's socket itself.
    if (ep.ctl.empty())
        ep.direct = true;
    return ep.ctl;
}

int connect_to(const std::string &path)
{
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof(sa.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    for (;;) {
        if (connect(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) == 0 || errno == EISCONN)
            return s;
        if (errno != EINTR) {
            int e = errno;
            close(s);
            errno = e;
            return -1;
        }
    }
}

bool send_msg(int s, const std::vector<uint8_t> &msg, int fd1 = -1, int fd2 = -1)
{
    OutMessage om(msg, fd1, fd2);
    for (;;) {
        ssize_t n = sendmsg(s, &om.mh, MSG_NOSIGNAL);
        if (n >= 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

// Waits for and reads one message on a private connection. 1: got one;
// 0: the other end closed it; -1: failure (errno); -2: a signal.
int recv_one(int s, Reply &out)
{
    struct pollfd p {s, POLLIN, 0};
    if (poll(&p, 1, -1) < 0)
        return errno == EINTR ? -2 : -1;
    // Not filled in: its pages cost memory only as far as replies reach.
    static thread_local std::unique_ptr<uint8_t[]> buf(new uint8_t[kMaxMessage]);
    struct iovec iov {buf.get(), kMaxMessage};
    struct msghdr mh {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    alignas(struct cmsghdr) char cbuf[CMSG_SPACE(4 * sizeof(int))];
    mh.msg_control = cbuf;
    mh.msg_controllen = sizeof(cbuf);
    ssize_t n = recvmsg(s, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR ? -2 : -1;
    out.fd = -1;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            size_t nfd = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < nfd; i++) {
                int got;
                std::memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                if (out.fd < 0)
                    out.fd = got;
                else
                    close(got);
            }
        }
    }
    if (n == 0) {
        if (out.fd >= 0)
            close(out.fd);
        out.fd = -1;
        return 0;
    }
    if ((mh.msg_flags & MSG_TRUNC) || static_cast<size_t>(n) < kHeaderLen ||
        get_header(buf.get()).len != static_cast<size_t>(n)) {
        if (out.fd >= 0)
            close(out.fd);
        out.fd = -1;
        errno = EPROTO;
        return -1;
    }
    out.h = get_header(buf.get());
    out.body.assign(buf.get() + kHeaderLen, buf.get() + n);
    return 1;
}

// Only t_open's reply brings a descriptor: one that comes with any other
// reply is closed.
void drop_stray_fd(uint16_t type, Reply &r)
{
    if (r.fd >= 0 && type != kOpen) {
        close(r.fd);
        r.fd = -1;
    }
}

// Reads messages on `s` until the reply to request `reqid` of `type`;
// whatever comes before it is skipped (a descriptor with it closed), and a
// signal does not end the wait. 0, or -1 with t_errno set.
int await_reply(int s, uint16_t type, uint32_t reqid, Reply &out)
{
    for (;;) {
        int r = recv_one(s, out);
        if (r == -2)
            continue;
        if (r == 0)
            return fail(TSYSERR, ECONNRESET);
        if (r < 0)
            return fail(TSYSERR);
        if (out.h.type == (type | kReply) && out.h.reqid == reqid) {
            drop_stray_fd(type, out);
            return 0;
        }
        if (out.fd >= 0)
            close(out.fd);
        out.fd = -1;
    }
}

// A request on the endpoint's socket itself, for a daemon that takes no
// control connections: doorbells and other messages before the reply are
// skipped, and a signal does not end the wait. 0 with the reply in `out`,
// or -1 (t_errno set).
int direct_request(int fd, uint16_t type, uint16_t flags, const std::vector<uint8_t> &body,
                   Reply &out, int resfd)
{
    const uint32_t reqid = next_reqid();
    flags = static_cast<uint16_t>((flags & kFlagBlock) | (resfd >= 0 ? kFlagFd : 0));
    if (!send_msg(fd, build(type, flags, reqid, 0, 0, body), resfd))
        return errno == EBADF || errno == ENOTSOCK ? fail(TBADF) : fail(TSYSERR);
    return await_reply(fd, type, reqid, out);
}

// A control connection: requests about one endpoint, kept open for the
// steps of a hand-back (kPause ... kUnread).
class Control {
public:
    Control() = default;
    Control(const Control &) = delete;
    Control &operator=(const Control &) = delete;
    ~Control() { reset(); }
    void reset()
    {
        if (s_ >= 0)
            close(s_);
        s_ = -1;
    }
    bool open(int fd, Ep &ep)
    {
        s_ = connect_to(control_path(fd, ep));
        return s_ >= 0;
    }
    // Sends a request (with the endpoint and resfd attached when >= 0) and
    // waits for its reply; a signal cancels a blocking request. 0, or -1
    // with t_errno set.
    int request(uint16_t type, uint16_t flags, const std::vector<uint8_t> &body, Reply &out,
                int fd = -1, int resfd = -1)
    {
        const bool block = (flags & kFlagBlock) != 0;
        const uint32_t reqid = next_reqid();
        flags = static_cast<uint16_t>(flags | kFlagControl | (fd >= 0 ? kFlagFd : 0));
        if (!send_msg(s_, build(type, flags, reqid, 0, 0, body), fd, resfd))
            return errno == EBADF ? fail(TBADF) : fail(TSYSERR);
        const uint16_t want = static_cast<uint16_t>(type | kReply);
        for (;;) {
            int r = recv_one(s_, out);
            if (r == 1)
                drop_stray_fd(type, out);
            if (r == 1 && out.h.type == want && out.h.reqid == reqid)
                return finish(out);
            if (r == 1)
                continue;  // nothing else comes on this connection
            if (r == 0)
                return fail(TSYSERR, ECONNRESET);
            if (r == -1)
                return fail(TSYSERR);
            if (!block)
                continue;  // a call that only waits for the daemon's answer goes on
            // Interrupted: cancel, and collect both replies, so nothing is
            // left over and nothing was consumed unless reported.
            Writer w;
            w.u32(reqid);
            const uint32_t cancel_id = next_reqid();
            // When the request was answered meanwhile the daemon has closed
            // the connection: the cancel cannot go, the answer is there.
            send_msg(s_, build(kCancel, kFlagControl, cancel_id, 0, 0, w.data()));
            bool have = false;
            Reply tmp;
            for (;;) {
                int r2 = recv_one(s_, tmp);
                if (r2 == -2)
                    continue;
                // The daemon closed the connection after its answer with
                // the cancel unread: the kernel reports that once, ahead
                // of the answer still queued, which the next read takes.
                if (r2 == -1 && errno == ECONNRESET)
                    continue;
                if (r2 <= 0)
                    break;  // the request was answered and the connection ended
                drop_stray_fd(kCancel, tmp);
                if (tmp.h.type == want && tmp.h.reqid == reqid) {
                    out = std::move(tmp);
                    tmp = Reply{};
                    have = true;
                } else if (tmp.h.type == (kCancel | kReply)) {
                    break;
                }
            }
            if (have)
                return finish(out);  // completed (or failed with EINTR) before the cancel
            return fail(TSYSERR, EINTR);
        }
    }
    // A message that gets no reply.
    bool post(uint16_t type, const std::vector<uint8_t> &body)
    {
        return send_msg(s_, build(type, kFlagControl, next_reqid(), 0, 0, body));
    }

private:
    static int finish(Reply &out)
    {
        Reader rd(out.body.data(), out.body.size());
        if (!out.pre.read(rd))
            return fail(TSYSERR, EPROTO);
        out.body.erase(out.body.begin(), out.body.begin() + ControlPrefix::kLen);
        return 0;
    }
    int s_ = -1;
};

// Reads the head of the socket into `hb` without taking it: the message's
// whole length, 0 when the socket is empty, -1 on failure (errno; EOF
// gives ECONNRESET).
ssize_t peek(int fd, uint8_t (&hb)[kStreamHeaderLen])
{
    for (;;) {
        ssize_t n = recv(fd, hb, sizeof(hb), MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (n > 0 && static_cast<size_t>(n) < kHeaderLen) {
            errno = EPROTO;
            return -1;
        }
        if (n > 0)
            return n;
        if (n == 0) {
            errno = ECONNRESET;
            return -1;
        }
        if (errno == EAGAIN)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

// Takes the message at the head out (its first bytes into `hb`).
void take(int fd)
{
    uint8_t b[kStreamHeaderLen];
    while (recv(fd, b, sizeof(b), MSG_TRUNC | MSG_DONTWAIT) < 0 && errno == EINTR) {
    }
}

// The doorbell the daemon counted no more goes (one at the head, if any).
void drop_bell(int fd)
{
    uint8_t hb[kStreamHeaderLen];
    if (peek(fd, hb) > 0 && get_header(hb).type == kDoorbell)
        take(fd);
}

// What is left of an ended stream (and stale doorbells) goes.
void drop_stream(int fd, uint32_t gen)
{
    uint8_t hb[kStreamHeaderLen];
    while (peek(fd, hb) > 0) {
        Header h = get_header(hb);
        if (h.type != kDoorbell && !((h.type == kData || h.type == kDiscNote) && h.reqid == gen))
            break;
        take(fd);
    }
}

int failed_io(int fd)
{
    if (errno == EBADF || errno == ENOTSOCK) {
        forget(fd);
        return fail(TBADF);
    }
    if (errno == EPROTO || errno == ECONNRESET)
        return fail(TSYSERR, errno);
    return fail(TSYSERR);
}

// Waits until `fd` is ready for `events` (blocking mode only). 0, or -1
// with TSYSERR (EINTR when a signal came).
int wait_for(int fd, short events)
{
    struct pollfd p {fd, events, 0};
    if (poll(&p, 1, -1) < 0)
        return fail(TSYSERR);
    return 0;
}

// One piece taken out of the stream in a hand-back.
struct Piece {
    Header h;
    int32_t flags = 0;
    std::vector<uint8_t> data;
};

} // namespace

int fail(int terr, int err)
{
    t_errno = terr;
    if (err != 0)
        errno = err;
    return -1;
}

Ep *endpoint(int fd)
{
    if (fd < 0) {
        t_errno = TBADF;
        return nullptr;
    }
    auto &t = table();
    if (static_cast<size_t>(fd) < t.size() && t[fd].valid)
        return &t[fd];
    struct stat st;
    int type = 0, domain = 0;
    socklen_t len = sizeof(type);
    bool ok = fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) &&
              getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_SEQPACKET;
    len = sizeof(domain);
    ok = ok && getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == AF_UNIX;
    // The other end belongs to the stack daemon, which runs as root.
    struct ucred cr {};
    len = sizeof(cr);
    ok = ok && getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &len) == 0 && cr.uid == 0;
    if (!ok) {
        t_errno = TBADF;
        return nullptr;
    }
    if (static_cast<size_t>(fd) >= t.size())
        t.resize(static_cast<size_t>(fd) + 1);
    t[fd] = Ep{};
    t[fd].valid = true;
    return &t[fd];
}

void forget(int fd)
{
    auto &t = table();
    if (fd >= 0 && static_cast<size_t>(fd) < t.size())
        t[fd] = Ep{};
}

void opened(int fd, const std::string &device)
{
    auto &t = table();
    if (static_cast<size_t>(fd) >= t.size())
        t.resize(static_cast<size_t>(fd) + 1);
    t[fd] = Ep{};
    t[fd].valid = true;
    t[fd].known = true;
    (void)device;  // its daemon's name on the endpoint says where to ask
}

bool nonblocking(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && (fl & O_NONBLOCK) != 0;
}

int device_request(int s, uint16_t type, const std::vector<uint8_t> &body, Reply &out)
{
    const uint32_t reqid = next_reqid();
    if (!send_msg(s, build(type, 0, reqid, 0, 0, body)))
        return fail(TSYSERR);
    if (await_reply(s, type, reqid, out) < 0)
        return -1;
    if (out.h.terr != 0) {
        if (out.fd >= 0)
            close(out.fd);
        out.fd = -1;
        return fail(out.h.terr, out.h.terr == TSYSERR ? out.h.syserr : 0);
    }
    return 0;
}

int ask(int fd, Ep &ep, uint16_t type, bool block, const std::vector<uint8_t> &body, Reply &out,
        int resfd, uint16_t flags)
{
    if (block)
        flags |= kFlagBlock;
    control_path(fd, ep);
    if (ep.direct) {
        if (direct_request(fd, type, flags, body, out, resfd) < 0)
            return -1;
        ep.known = false;  // no stream
        return 0;
    }
    Control c;
    if (!c.open(fd, ep))
        return fail(TSYSERR);
    if (c.request(type, flags, body, out, fd, resfd) < 0) {
        if (t_errno == TBADF)
            forget(fd);
        return -1;
    }
    // What the daemon says about the endpoint's socket is done before the
    // call returns, so that poll() is exact then.
    const ControlPrefix &p = out.pre;
    if (p.notes & kNoteDropBell)
        drop_bell(fd);
    if (p.notes & kNoteDropStream)
        drop_stream(fd, p.old_gen);
    if (resfd >= 0 && (p.notes & kNoteResDropBell))
        drop_bell(resfd);
    ep.known = true;
    ep.gen = p.gen;
    ep.post = p.gen != 0 && !(p.notes & kNotePostClosed);
    if (type == kAccept && resfd >= 0 && resfd != fd && out.h.terr == 0) {
        if (Ep *r = endpoint(resfd)) {
            r->known = true;
            r->gen = p.res_gen;
            r->post = p.res_gen != 0;
            if (r->ctl.empty())
                r->ctl = ep.ctl;
        }
    }
    return 0;
}

int call(int fd, Ep &ep, uint16_t type, bool block, const std::vector<uint8_t> &body, Reply &out,
         int resfd, uint16_t flags)
{
    if (ask(fd, ep, type, block, body, out, resfd, flags) < 0)
        return -1;
    if (out.h.terr != 0)
        return fail(out.h.terr, out.h.terr == TSYSERR ? out.h.syserr : 0);
    return 0;
}

Head peek_head(int fd, Ep &ep)
{
    for (;;) {
        uint8_t hb[kStreamHeaderLen];
        ssize_t n = peek(fd, hb);
        if (n < 0) {
            failed_io(fd);
            return Head::Failed;
        }
        if (n == 0)
            return Head::Empty;
        Header h = get_header(hb);
        if (h.type == kDoorbell) {
            if (ep.gen == 0)
                return Head::Bell;
            take(fd);  // a stream carries its own events
            continue;
        }
        if (h.type != kData && h.type != kDiscNote)
            return Head::Other;
        if (h.reqid != ep.gen) {
            // Another connection's: ask which one is the endpoint's now.
            Reply r;
            if (ask(fd, ep, kInfo, false, {}, r) < 0)
                return Head::Failed;
            if (h.reqid != ep.gen) {
                take(fd);  // an ended one's
                continue;
            }
        }
        if (h.type == kDiscNote)
            return Head::Disconnect;
        int32_t flags = 0;
        if (n >= static_cast<ssize_t>(kStreamHeaderLen))
            std::memcpy(&flags, hb + kHeaderLen, 4);
        return (flags & T_EXPEDITED) ? Head::Expedited : Head::Data;
    }
}

int post(int fd, Ep &ep, const char *buf, unsigned n, int flags, bool &closed)
{
    closed = false;
    unsigned done = 0;
    size_t piece = kMaxData;
    bool block_known = false, block = false;
    while (done < n) {
        size_t chunk = std::min<size_t>(piece, n - done);
        int32_t f = flags & (T_MORE | T_EXPEDITED);
        if (done + chunk < n)
            f |= T_MORE;  // the unit goes on in the next piece
        uint8_t hb[kStreamHeaderLen];
        Header h;
        h.type = kPost;
        h.len = static_cast<uint32_t>(kStreamHeaderLen + chunk);
        h.reqid = ep.gen;
        put_header(h, hb);
        std::memcpy(hb + kHeaderLen, &f, 4);
        struct iovec iov[2] = {{hb, sizeof(hb)}, {const_cast<char *>(buf + done), chunk}};
        struct msghdr mh {};
        mh.msg_iov = iov;
        mh.msg_iovlen = 2;
        ssize_t r = sendmsg(fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r >= 0) {
            done += static_cast<unsigned>(chunk);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            // The daemon has not taken what came before: flow control. A
            // smaller piece may still fit.
            if (piece > 4096) {
                piece = 4096;
                continue;
            }
            if (!block_known) {
                block = !nonblocking(fd);
                block_known = true;
            }
            if (!block)
                return done > 0 ? static_cast<int>(done) : fail(TFLOW);
            if (wait_for(fd, POLLOUT) < 0)
                return done > 0 ? static_cast<int>(done) : -1;
            piece = kMaxData;
            continue;
        }
        if (errno == EPIPE) {
            // The connection is over: the daemon takes no more.
            ep.post = false;
            closed = true;
            return done > 0 ? static_cast<int>(done) : fail(TLOOK);
        }
        return done > 0 ? static_cast<int>(done) : failed_io(fd);
    }
    return static_cast<int>(done);
}

namespace {

// Hands back what the stream holds, in front of it, with the piece size
// the reader can take: under a pause (nothing is pushed meanwhile) the
// socket is emptied, the caller's part is taken, the rest goes back.
// `first` is a piece already taken out (a disconnect note, or a piece that
// turned out longer than the caller's buffer). Returns what t_rcv returns.
int hand_back(int fd, Ep &ep, char *buf, unsigned n, int *flags, Piece *first)
{
    Control c;
    Reply r;
    for (int tries = 0;; tries++) {
        if (!c.open(fd, ep))
            return fail(TSYSERR);
        if (c.request(kPause, 0, {}, r, fd) < 0)
            return -1;
        if (r.h.terr == 0)
            break;
        // Another reader is handing back right now.
        if (r.h.terr != TSYSERR || r.h.syserr != EAGAIN || tries > 2000)
            return fail(r.h.terr, r.h.terr == TSYSERR ? r.h.syserr : 0);
        c.reset();
        struct timespec ts {0, 1000000};
        nanosleep(&ts, nullptr);
    }
    std::vector<Piece> got;
    if (first != nullptr)
        got.push_back(std::move(*first));
    std::vector<uint8_t> b(kMaxMessage);
    for (;;) {
        ssize_t m = recv(fd, b.data(), b.size(), MSG_DONTWAIT);
        if (m < 0 && errno == EINTR)
            continue;
        if (m < static_cast<ssize_t>(kHeaderLen))
            break;
        Piece p;
        p.h = get_header(b.data());
        if (p.h.type == kData && m >= static_cast<ssize_t>(kStreamHeaderLen)) {
            std::memcpy(&p.flags, b.data() + kHeaderLen, 4);
            p.data.assign(b.begin() + kStreamHeaderLen, b.begin() + m);
        } else if (p.h.type != kDiscNote) {
            continue;  // a doorbell of a stream means nothing
        }
        if (p.h.reqid == ep.gen)
            got.push_back(std::move(p));
    }
    // Pieces of one unit side by side are joined (up to kMaxData): the
    // caller and the stream get them in as few pieces as the sizes allow.
    std::vector<Piece> joined;
    for (Piece &p : got) {
        if (!joined.empty()) {
            Piece &q = joined.back();
            if (q.h.type == kData && p.h.type == kData && (q.flags & T_MORE) &&
                ((q.flags ^ p.flags) & T_EXPEDITED) == 0 && q.data.size() + p.data.size() <= kMaxData) {
                q.data.insert(q.data.end(), p.data.begin(), p.data.end());
                q.flags = p.flags;
                continue;
            }
        }
        joined.push_back(std::move(p));
    }
    got.swap(joined);
    int result = -1;
    size_t from = 0;
    if (!got.empty() && got[0].h.type == kData) {
        Piece &p = got[0];
        size_t k = std::min<size_t>(n, p.data.size());
        if (k > 0)
            std::memcpy(buf, p.data.data(), k);
        int32_t f = p.flags;
        if (k < p.data.size()) {
            f = T_MORE | (p.flags & T_EXPEDITED);
            p.data.erase(p.data.begin(), p.data.begin() + static_cast<long>(k));
        } else {
            from = 1;
        }
        if (flags != nullptr)
            *flags = f;
        result = static_cast<int>(k);
    } else if (!got.empty()) {
        fail(TLOOK);  // the disconnect is next (it stays)
    } else {
        fail(TNODATA);  // someone else took it meanwhile
    }
    for (size_t i = from; i < got.size(); i++) {
        Writer w;
        if (got[i].h.type == kData) {
            w.i32(kUnreadData).u32(ep.gen).i32(got[i].flags).bytes(got[i].data.data(), got[i].data.size());
        } else {
            w.i32(kUnreadDisc).u32(ep.gen);
        }
        if (!c.post(kUnread, w.data()))
            return fail(TSYSERR);
    }
    Writer end;
    end.i32(kUnreadEnd).u32(ep.gen).u32(n > 0 ? n : 1);
    int saved_terr = t_errno;
    if (c.request(kUnread, 0, end.data(), r) < 0)
        return -1;
    t_errno = saved_terr;
    return result;
}

} // namespace

int stream_rcv(int fd, Ep &ep, char *buf, unsigned n, int *flags)
{
    static thread_local std::unique_ptr<uint8_t[]> spill(new uint8_t[kMaxData]);
    bool block_known = false, block = false;
    for (;;) {
        uint8_t hb[kStreamHeaderLen];
        ssize_t got;
        struct msghdr mh {};
        if (n >= kMaxData) {
            // No piece is longer than the buffer: read it straight in.
            struct iovec iov[2] = {{hb, sizeof(hb)}, {buf, n}};
            mh.msg_iov = iov;
            mh.msg_iovlen = 2;
            got = recvmsg(fd, &mh, MSG_DONTWAIT);
            if (got == 0)
                return fail(TSYSERR, ECONNRESET);
        } else {
            // Look first: a piece longer than the buffer, or the disconnect,
            // stays where it is.
            ssize_t len = peek(fd, hb);
            if (len < 0)
                return failed_io(fd);
            if (len > 0) {
                Header h = get_header(hb);
                if (h.type == kDoorbell) {
                    take(fd);  // a stream carries its own events
                    continue;
                }
                if (h.type != kData && h.type != kDiscNote)
                    return fail(TSYSERR, EPROTO);
                if (h.reqid != ep.gen) {
                    Reply r;
                    if (ask(fd, ep, kInfo, false, {}, r) < 0)
                        return -1;
                    if (h.reqid != ep.gen)
                        take(fd);  // an ended connection's
                    continue;
                }
                if (h.type == kDiscNote)
                    return fail(TLOOK);
                if (len < static_cast<ssize_t>(kStreamHeaderLen))
                    return fail(TSYSERR, EPROTO);
                if (static_cast<size_t>(len) - kStreamHeaderLen > n) {
                    int r = hand_back(fd, ep, buf, n, flags, nullptr);
                    if (r >= 0 || t_errno != TNODATA)
                        return r;
                    continue;  // a process sharing the endpoint took it: look again
                }
            }
            // Read it, with room for what a process sharing the endpoint
            // left us instead if it took this one meanwhile.
            struct iovec iov[3] = {{hb, sizeof(hb)}, {buf, n}, {spill.get(), kMaxData}};
            mh.msg_iov = iov;
            mh.msg_iovlen = 3;
            got = len > 0 ? recvmsg(fd, &mh, MSG_DONTWAIT) : -1;
            if (len == 0)
                errno = EAGAIN;
            if (got == 0)
                return fail(TSYSERR, ECONNRESET);
        }
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                return failed_io(fd);
            // Nothing there yet.
            if (!block_known) {
                block = !nonblocking(fd);
                block_known = true;
            }
            if (!block)
                return fail(TNODATA);
            if (wait_for(fd, POLLIN) < 0)
                return -1;
            continue;
        }
        if (static_cast<size_t>(got) < kHeaderLen || (mh.msg_flags & MSG_TRUNC))
            return fail(TSYSERR, EPROTO);
        Header h = get_header(hb);
        if (h.type == kDoorbell)
            continue;
        if ((h.type != kData && h.type != kDiscNote) || h.len != static_cast<size_t>(got))
            return fail(TSYSERR, EPROTO);
        if (h.reqid != ep.gen) {
            Reply r;
            if (ask(fd, ep, kInfo, false, {}, r) < 0)
                return -1;
            if (h.reqid != ep.gen)
                continue;  // an ended connection's
        }
        if (h.type == kDiscNote) {
            // Taken out by mistake: it goes back, and stays.
            Piece p;
            p.h = h;
            return hand_back(fd, ep, buf, n, flags, &p);
        }
        if (static_cast<size_t>(got) < kStreamHeaderLen)
            return fail(TSYSERR, EPROTO);
        int32_t f;
        std::memcpy(&f, hb + kHeaderLen, 4);
        size_t dlen = static_cast<size_t>(got) - kStreamHeaderLen;
        if (dlen > n) {
            // Longer than the buffer (another process took the piece looked
            // at): the rest goes back in front.
            Piece p;
            p.h = h;
            p.flags = f;
            p.data.assign(buf, buf + n);
            p.data.insert(p.data.end(), spill.get(), spill.get() + (dlen - n));
            return hand_back(fd, ep, buf, n, flags, &p);
        }
        if ((h.flags & kFlagCut) && (f & T_MORE) && n / 2 >= dlen) {
            // Cut for a reader with a smaller buffer than this one: the
            // pieces grow to this buffer's size again.
            Piece p;
            p.h = h;
            p.flags = f;
            p.data.assign(buf, buf + dlen);
            return hand_back(fd, ep, buf, n, flags, &p);
        }
        if (flags != nullptr)
            *flags = f;
        return static_cast<int>(dlen);
    }
}

} // namespace tlichan
