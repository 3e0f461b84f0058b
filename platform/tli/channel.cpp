#include "channel.h"

#include <tiuser.h>

#include <cerrno>
#include <map>
#include <fcntl.h>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tlichan {

using namespace tliproto;

namespace {

// A request id is the process id and a counter: processes that share an
// endpoint tell their replies apart by it.
uint32_t next_reqid()
{
    static uint32_t counter = 0;
    uint32_t id = (static_cast<uint32_t>(getpid()) << 8) | (++counter & 0xff);
    return id == 0 ? 1 : id;
}

// A reply to a request of this process that nobody waits for any more, or
// to a process that is gone: whoever finds it may throw it away.
bool orphan(uint32_t reqid)
{
    pid_t pid = static_cast<pid_t>(reqid >> 8);
    if (pid == getpid())
        return true;
    return pid <= 0 || (kill(pid, 0) < 0 && errno == ESRCH);
}

int send_msg(int fd, const std::vector<uint8_t> &msg, int pass_fd)
{
    OutMessage om(msg, pass_fd);
    for (;;) {
        // The daemon always reads its sockets, so this waits at most for the
        // socket buffer to drain.
        ssize_t n = sendmsg(fd, &om.mh, MSG_NOSIGNAL);
        if (n >= 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            struct pollfd p {fd, POLLOUT, 0};
            poll(&p, 1, -1);
            continue;
        }
        return -1;
    }
}

// Waits for and reads one message. 1: got one; 0: interrupted by a signal
// (errno EINTR); 2: nothing after all, try again; -1: failure (errno set).
// A reply to another process sharing the endpoint is left for it (a reply
// is taken only when its id is `mine` or `also`).
int recv_msg(int fd, Reply &out, uint32_t mine, uint32_t also)
{
    struct pollfd p {fd, POLLIN, 0};
    int r = poll(&p, 1, -1);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    uint8_t hb[kHeaderLen];
    ssize_t peeked = recv(fd, hb, sizeof(hb), MSG_PEEK | MSG_DONTWAIT);
    if (peeked < 0)
        return errno == EAGAIN ? 2 : (errno == EINTR ? 0 : -1);
    if (peeked == static_cast<ssize_t>(kHeaderLen)) {
        Header h = get_header(hb);
        if ((h.type & kReply) && h.reqid != mine && h.reqid != also && !orphan(h.reqid)) {
            // The other process takes it soon; look again in a moment.
            static uint32_t seen = 0;
            static int rounds = 0;
            rounds = seen == h.reqid ? rounds + 1 : 0;
            seen = h.reqid;
            if (rounds < 2000) {
                struct timespec ts {0, 1000000};
                return nanosleep(&ts, nullptr) < 0 ? 0 : 2;
            }
            // Nobody took it for two seconds: a process that gave up.
        }
    }
    static thread_local std::vector<uint8_t> buf(kMaxMessage);
    struct iovec iov {buf.data(), buf.size()};
    struct msghdr mh {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    alignas(struct cmsghdr) char cbuf[CMSG_SPACE(4 * sizeof(int))];
    mh.msg_control = cbuf;
    mh.msg_controllen = sizeof(cbuf);
    ssize_t n = recvmsg(fd, &mh, MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN)
            return 2;  // another process sharing the endpoint took it
        if (errno == EINTR)
            return 0;
        return -1;
    }
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
        if (out.fd >= 0) close(out.fd);
        errno = ECONNRESET;  // the daemon closed the endpoint
        return -1;
    }
    if ((mh.msg_flags & MSG_TRUNC) || static_cast<size_t>(n) < kHeaderLen) {
        if (out.fd >= 0) close(out.fd);
        errno = EPROTO;
        return -1;
    }
    out.h = get_header(buf.data());
    if (out.h.len != static_cast<size_t>(n)) {
        if (out.fd >= 0) close(out.fd);
        errno = EPROTO;
        return -1;
    }
    out.body.assign(buf.begin() + kHeaderLen, buf.begin() + n);
    return 1;
}

// A reply that belongs to another process sharing the endpoint, read by
// this one because the other took the message peeked at in between: hand it
// back to the daemon, which sends it again. Doorbells and orphans need no
// owner.
void give_back(int fd, const Reply &m)
{
    if (m.fd >= 0)
        close(m.fd);
    if ((m.h.type & kReply) == 0 || orphan(m.h.reqid))
        return;
    std::vector<uint8_t> whole = build(m.h.type, m.h.flags, m.h.reqid, m.h.terr, m.h.syserr, m.body);
    send_msg(fd, build(kReturn, 0, next_reqid(), 0, 0, whole), -1);
}

// The daemon sends the doorbell right after such a reply; wait until it is
// readable so that poll() reports the pending event once the call returns.
void await_doorbell(int fd)
{
    struct pollfd p {fd, POLLIN, 0};
    while (poll(&p, 1, 1000) < 0 && errno == EINTR) {
    }
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

} // namespace

int fail(int terr, int err)
{
    t_errno = terr;
    if (err != 0)
        errno = err;
    return -1;
}

namespace {

// Descriptors found to be endpoints, by the socket they refer to: the full
// check runs once per socket, later calls only fstat (a descriptor closed
// and reused for something else has another inode).
std::map<int, ino_t> &checked()
{
    static std::map<int, ino_t> m;
    return m;
}

} // namespace

bool is_endpoint(int fd)
{
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0 || !S_ISSOCK(st.st_mode)) {
        t_errno = TBADF;
        return false;
    }
    auto it = checked().find(fd);
    if (it != checked().end() && it->second == st.st_ino)
        return true;
    int type = 0, domain = 0;
    socklen_t len = sizeof(type);
    bool ok = getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_SEQPACKET;
    len = sizeof(domain);
    ok = ok && getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == AF_UNIX;
    // The other end belongs to the stack daemon, which runs as root.
    struct ucred cr {};
    len = sizeof(cr);
    ok = ok && getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &len) == 0 && cr.uid == 0;
    if (!ok) {
        t_errno = TBADF;
        return false;
    }
    checked()[fd] = st.st_ino;
    return true;
}

void forget(int fd)
{
    checked().erase(fd);
}

bool nonblocking(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && (fl & O_NONBLOCK) != 0;
}

int transact(int fd, uint16_t type, bool block, const std::vector<uint8_t> &body, Reply &out,
             int pass_fd)
{
    uint32_t reqid = next_reqid();
    uint16_t flags = static_cast<uint16_t>((block ? kFlagBlock : 0) | (pass_fd >= 0 ? kFlagFd : 0));
    if (send_msg(fd, build(type, flags, reqid, 0, 0, body), pass_fd) < 0)
        return fail(TSYSERR);
    const uint16_t want = static_cast<uint16_t>(type | kReply);
    for (;;) {
        int r = recv_msg(fd, out, reqid, reqid);
        if (r < 0)
            return fail(TSYSERR);
        if (r == 2)
            continue;
        if (r == 0 && !block)
            continue;  // a call that only waits for the daemon's answer is not interrupted
        if (r == 1) {
            if (out.h.type == want && out.h.reqid == reqid) {
                drop_stray_fd(type, out);
                if (out.h.flags & kFlagPending)
                    await_doorbell(fd);
                return 0;
            }
            give_back(fd, out);
            out.fd = -1;
            continue;  // a doorbell or a reply of someone else
        }
        // Interrupted by a signal: cancel the request and collect both
        // replies, so nothing is left for the next call.
        uint32_t cancel_id = next_reqid();
        Writer w;
        w.u32(reqid);
        if (send_msg(fd, build(kCancel, 0, cancel_id, 0, 0, w.data()), -1) < 0)
            return fail(TSYSERR);
        bool have = false;
        Reply tmp;
        for (;;) {
            int r2 = recv_msg(fd, tmp, reqid, cancel_id);
            if (r2 < 0)
                return fail(TSYSERR);
            if (r2 != 1)
                continue;  // the daemon answers a cancel at once
            if (tmp.h.type == want && tmp.h.reqid == reqid) {
                drop_stray_fd(type, tmp);
                out = std::move(tmp);
                tmp = Reply{};
                have = true;
            } else if (tmp.h.type == (kCancel | kReply) && tmp.h.reqid == cancel_id) {
                drop_stray_fd(kCancel, tmp);
                if (tmp.h.flags & kFlagPending)
                    await_doorbell(fd);
                break;
            } else {
                give_back(fd, tmp);
            }
        }
        if (have)
            return 0;  // completed (or failed with EINTR) before the cancel
        return fail(TSYSERR, EINTR);
    }
}

int call(int fd, uint16_t type, bool block, const std::vector<uint8_t> &body, Reply &out,
         int pass_fd)
{
    if (transact(fd, type, block, body, out, pass_fd) < 0)
        return -1;
    if (out.h.terr != 0) {
        if (out.fd >= 0) {
            close(out.fd);
            out.fd = -1;
        }
        return fail(out.h.terr, out.h.terr == TSYSERR ? out.h.syserr : 0);
    }
    return 0;
}

} // namespace tlichan
