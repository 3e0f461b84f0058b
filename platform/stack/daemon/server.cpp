#include "server.h"

#include <logstamp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace ipxstackd {

using namespace tliproto;

const Device kDevices[3] = {
    {"ravspx", Service::Spx},
    {"mspx", Service::Spx},
    {"ravitp", Service::Datagram},
};

namespace {

bool g_syslog = false;
volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int)
{
    g_stop = 1;
}

constexpr int kMessagesPerWake = 16;  // so that one endpoint cannot starve the rest
constexpr int kAcceptsPerWake = 64;   // connections taken from one device socket
// "ready" waits this long at most for links that register with a server.
constexpr uint64_t kSettleMs = 5000;

bool make_addr(const std::string &path, struct sockaddr_un &sa)
{
    std::memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof(sa.sun_path))
        return false;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Sends one message with an optional descriptor; false on failure.
bool send_with_fd(int fd, const std::vector<uint8_t> &msg, int pass)
{
    OutMessage om(msg, pass);
    ssize_t n;
    do {
        n = sendmsg(fd, &om.mh, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(msg.size());
}

} // namespace

void log_to_syslog()
{
    g_syslog = true;
    openlog("ipxstackd", LOG_PID, LOG_DAEMON);
}

void log_line(const std::string &line)
{
    if (g_syslog)
        syslog(LOG_INFO, "%s", line.c_str());
    else {
        char stamp[40];
        std::fprintf(stderr, "%sipxstackd: %s\n", logstamp(stamp, sizeof stamp), line.c_str());
    }
}

Server::Server(const ServerOptions &opt)
    : opt_(opt), stack_(opt.stack, clock_, *this), buf_(kMaxMessage + 1)
{
}

Server::~Server()
{
    cleanup();
}

void Server::request_stop()
{
    g_stop = 1;
}

void Server::log(const std::string &line)
{
    log_line(line);
}

int Server::setup(std::string &error)
{
    // As many endpoints as the system lets this process have.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        fd_limit_ = static_cast<size_t>(rl.rlim_cur);
    reserve_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    char real[PATH_MAX];
    if (realpath(opt_.dev_dir.c_str(), real) == nullptr) {
        error = "device directory " + opt_.dev_dir + ": " + std::strerror(errno);
        return -1;
    }
    // One stack per device directory: a lock file in it, which only root
    // can create or open (the directory is root's and only root may write
    // in it; the file is root's, mode 0600). The lock goes away with the
    // process; the file stays.
    struct stat ds;
    if (stat(real, &ds) < 0 || !S_ISDIR(ds.st_mode)) {
        error = std::string("device directory ") + real + " is not a directory";
        return -1;
    }
    if (ds.st_uid != 0 || (ds.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = std::string("device directory ") + real +
                " must belong to root and be writable by root alone";
        return -1;
    }
    std::string lock = std::string(real) + "/" + kLockName;
    lock_fd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat ls;
    if (lock_fd_ < 0 || fstat(lock_fd_, &ls) < 0) {
        error = lock + ": " + std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(ls.st_mode) || ls.st_uid != 0 || (ls.st_mode & 077) != 0) {
        error = lock + " is not a lock file of root's (mode 0600)";
        return -1;
    }
    if (flock(lock_fd_, LOCK_EX | LOCK_NB) < 0) {
        error = errno == EWOULDBLOCK ? std::string("a stack is already running on ") + real
                                     : lock + ": " + std::strerror(errno);
        return -1;
    }
    for (const LinkConfig &lc : opt_.links) {
        auto link = open_link(lc, sys_, log_line, error);
        if (!link)
            return -1;
        stack_.add_link(std::move(link));
    }
    for (size_t i = 0; i < 3; i++) {
        dev_path_[i] = std::string(real) + "/" + kDevices[i].name;
        struct sockaddr_un sa;
        if (!make_addr(dev_path_[i], sa)) {
            error = "device path too long: " + dev_path_[i];
            dev_path_[i].clear();
            return -1;
        }
        // A socket left behind by a stack that is gone is replaced; one that
        // answers belongs to a running stack.
        struct stat st;
        if (lstat(dev_path_[i].c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) {
                error = dev_path_[i] + " exists and is not a socket";
                dev_path_[i].clear();
                return -1;
            }
            int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
            bool live = probe >= 0 &&
                        connect(probe, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) == 0;
            if (probe >= 0) close(probe);
            if (live) {
                error = std::string("a stack is already running on ") + dev_path_[i];
                dev_path_[i].clear();
                return -1;
            }
            unlink(dev_path_[i].c_str());
        }
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) < 0 ||
            chmod(dev_path_[i].c_str(), 0666) < 0 || listen(fd, 64) < 0) {
            error = dev_path_[i] + ": " + std::strerror(errno);
            if (fd >= 0) close(fd);
            return -1;
        }
        dev_fd_[i] = fd;
    }
    return 0;
}

void Server::cleanup()
{
    for (auto &[ep, fd] : ep_fd_)
        close(fd);
    ep_fd_.clear();
    fd_ep_.clear();
    for (auto &p : pending_)
        close(p.fd);
    pending_.clear();
    for (size_t i = 0; i < 3; i++) {
        if (dev_fd_[i] >= 0) {
            close(dev_fd_[i]);
            dev_fd_[i] = -1;
            unlink(dev_path_[i].c_str());
        }
    }
    if (lock_fd_ >= 0) {
        close(lock_fd_);
        lock_fd_ = -1;
    }
    if (reserve_fd_ >= 0) {
        close(reserve_fd_);
        reserve_fd_ = -1;
    }
}

bool Server::send(uint32_t ep, const std::vector<uint8_t> &msg)
{
    auto it = ep_fd_.find(ep);
    if (it == ep_fd_.end())
        return false;
    if (send_with_fd(it->second, msg, -1))
        return true;
    if (errno != EPIPE && errno != ECONNRESET)
        log_line("endpoint " + std::to_string(ep) + ": " + std::strerror(errno));
    return false;
}

bool Server::closed(uint32_t ep)
{
    auto it = ep_fd_.find(ep);
    if (it == ep_fd_.end())
        return true;
    char c;
    ssize_t n = recv(it->second, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n != 0)
        return false;
    dropped_.push_back(ep);  // its socket is closed after this message
    return true;
}

void Server::drop(uint32_t ep)
{
    dropped_.push_back(ep);
}

void Server::close_endpoint(uint32_t ep)
{
    auto it = ep_fd_.find(ep);
    if (it == ep_fd_.end())
        return;
    close(it->second);
    fd_ep_.erase(it->second);
    ep_fd_.erase(it);
    stalled_.erase(ep);
    auto end = ep_end_.find(ep);
    if (end != ep_end_.end()) {
        ino_ep_.erase(end->second.ino);
        ep_end_.erase(end);
    }
}

void Server::log_limited(const std::string &key, const std::string &line)
{
    uint64_t now = clock_.now_ms();
    auto it = logged_.find(key);
    if (it != logged_.end() && now < it->second + 10000)
        return;
    logged_[key] = now;
    log_line(line);
}

// Ordinary users' connections that have not sent their request are limited
// per user and together; root's are always taken.
bool Server::take_pending(int fd, uint32_t uid)
{
    if (uid == 0)
        return true;
    size_t mine = 0, users = 0;
    for (const Pending &p : pending_) {
        if (p.fd < 0 || p.uid == 0)
            continue;
        users++;
        mine += p.uid == uid;
    }
    if (mine < opt_.stack.limits.pending && users < kMaxPendingUsers)
        return true;
    close(fd);
    log_limited("pending " + std::to_string(uid),
                "user " + std::to_string(uid) +
                    ": too many connections to the devices without a request; refused");
    return false;
}

void Server::accept_device(size_t i)
{
    // A bounded number per wake-up: callers that connect without end cannot
    // keep the loop from everything else.
    for (int k = 0; k < kAcceptsPerWake; k++) {
        int fd = accept4(dev_fd_[i], nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE) && reserve_fd_ >= 0) {
            // Out of descriptors: take the caller with the reserve and turn it
            // away (its t_open fails), rather than see the socket ready for
            // ever.
            close(reserve_fd_);
            reserve_fd_ = -1;
            int turned = accept4(dev_fd_[i], nullptr, nullptr, SOCK_CLOEXEC);
            if (turned >= 0)
                close(turned);
            reserve_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
            log_line("out of descriptors: an endpoint could not be opened");
            continue;
        }
        if (fd < 0)
            return;
        struct ucred cr {};
        socklen_t cl = sizeof(cr);
        uint32_t uid = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &cl) == 0
                           ? static_cast<uint32_t>(cr.uid)
                           : UINT32_MAX;
        if (take_pending(fd, uid))
            pending_.push_back({fd, kDevices[i].svc, clock_.now_ms(), uid});
    }
}

namespace {

// The answer to a question on a device connection: which of these sockets
// are bound, and by whom. Only root may ask (the answer names users).
void answer_bound(int fd, const Header &h, const uint8_t *body, size_t len, const Stack &stack)
{
    struct ucred cr {};
    socklen_t crlen = sizeof cr;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &crlen) < 0 || cr.uid != 0) {
        send_with_fd(fd, build(kBound | kReply, 0, h.reqid, 3 /*TACCES*/, 0, {}), -1);
        return;
    }
    Reader rd(body, len);
    uint32_t count = 0;
    if (!rd.u32(count) || count == 0 || count > kMaxBoundQuery || rd.remaining() != 4 * count)
        return;  // malformed: the connection is closed without an answer
    Writer w;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t sock = 0;
        rd.u32(sock);
        int uid = -1;
        bool bound = sock <= 0xFFFF && stack.socket_owner(static_cast<uint16_t>(sock), uid);
        w.i32(bound ? 1 : 0).i32(bound ? uid : -1);
    }
    send_with_fd(fd, build(kBound | kReply, 0, h.reqid, 0, 0, w.data()), -1);
}

} // namespace

// The first message on a device connection: open an endpoint (or ask for
// the status view, or which sockets are bound). The endpoint is a fresh socket pair; the client's end is
// passed back and the device connection closed.
void Server::serve_pending(Pending &p)
{
    ssize_t n = recv(p.fd, buf_.data(), buf_.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && errno == EAGAIN)
        return;
    int fd = p.fd;
    p.fd = -1;
    if (n < static_cast<ssize_t>(kHeaderLen) || static_cast<size_t>(n) > kMaxMessage) {
        if (n < 0) log_line(std::string("device connection: ") + std::strerror(errno));
        close(fd);
        return;
    }
    Header h = get_header(buf_.data());
    if (h.len != static_cast<size_t>(n) || h.reqid == 0 || h.flags != 0) {
        close(fd);
        return;
    }
    if (h.type == kStatus && n == static_cast<ssize_t>(kHeaderLen)) {
        std::string text = stack_.status(p.uid);
        std::vector<uint8_t> body(text.begin(), text.end());
        send_with_fd(fd, build(kStatus | kReply, 0, h.reqid, 0, 0, body), -1);
        close(fd);
        return;
    }
    if (h.type == kBound) {
        answer_bound(fd, h, buf_.data() + kHeaderLen, static_cast<size_t>(n) - kHeaderLen, stack_);
        close(fd);
        return;
    }
    if (h.type != kOpen || n != static_cast<ssize_t>(kHeaderLen + 4)) {
        close(fd);
        return;
    }
    // An ordinary user over its endpoint limit, or with the daemon close to
    // its descriptor limit (the rest is root's), is refused: TSYSERR, ENOSR.
    const bool fds_left = ep_fd_.size() + pending_.size() + kRootReservedFds + 16 < fd_limit_;
    uint32_t ep = p.uid == 0 || fds_left ? stack_.open(p.svc, p.uid) : 0;
    if (ep == 0) {
        log_limited("endpoints " + std::to_string(p.uid),
                    "user " + std::to_string(p.uid) +
                        (fds_left ? ": endpoint limit reached" : ": the last descriptors are root's") +
                        "; open refused");
        send_with_fd(fd, build(kOpen | kReply, 0, h.reqid, 8 /*TSYSERR*/, ENOSR, {}), -1);
        close(fd);
        return;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) < 0) {
        log_line(std::string("cannot open an endpoint: ") + std::strerror(errno));
        send_with_fd(fd, build(kOpen | kReply, 0, h.reqid, 8 /*TSYSERR*/, errno, {}), -1);
        close(fd);
        stack_.on_hangup(ep);
        return;
    }
    int one = 1;
    setsockopt(sv[0], SOL_SOCKET, SO_PASSCRED, &one, sizeof(one));
    fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    struct stat st;
    fstat(sv[1], &st);
    ClientEnd end;
    end.dev = st.st_dev;
    end.ino = st.st_ino;
#ifdef SO_COOKIE
    socklen_t cookie_len = sizeof(end.cookie);
    if (getsockopt(sv[1], SOL_SOCKET, SO_COOKIE, &end.cookie, &cookie_len) < 0)
        end.cookie = 0;
#endif
    Writer w;
    stack_.info(ep).write(w);
    if (!send_with_fd(fd, build(kOpen | kReply, 0, h.reqid, 0, 0, w.data()), sv[1])) {
        close(sv[0]);
        close(sv[1]);
        close(fd);
        stack_.on_hangup(ep);
        return;
    }
    close(sv[1]);
    close(fd);
    ep_fd_[ep] = sv[0];
    fd_ep_[sv[0]] = ep;
    ino_ep_[st.st_ino] = ep;
    ep_end_[ep] = end;
}

// The endpoint whose client end `fd` is, or UINT32_MAX: the same socket
// (device, inode and the kernel's socket cookie), never merely a file with
// the same inode number.
uint32_t Server::endpoint_of(int fd) const
{
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISSOCK(st.st_mode))
        return UINT32_MAX;
    auto it = ino_ep_.find(st.st_ino);
    if (it == ino_ep_.end())
        return UINT32_MAX;
    auto end = ep_end_.find(it->second);
    if (end == ep_end_.end() || end->second.dev != st.st_dev || end->second.ino != st.st_ino)
        return UINT32_MAX;
#ifdef SO_COOKIE
    if (end->second.cookie != 0) {
        uint64_t cookie = 0;
        socklen_t len = sizeof(cookie);
        if (getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &len) < 0 || cookie != end->second.cookie)
            return UINT32_MAX;
    }
#endif
    return it->second;
}

void Server::read_endpoint(uint32_t ep, int fd)
{
    for (int k = 0; k < kMessagesPerWake; k++) {
        if (ep_fd_.find(ep) == ep_fd_.end())
            return;
        // An endpoint holding all the send data it may: a t_snd is left in
        // the socket (whose buffer then holds the sender back) until the
        // connection takes some; other requests are still read.
        if (stack_.sends_stalled(ep)) {
            uint8_t hb[kHeaderLen];
            ssize_t pk = recv(fd, hb, sizeof(hb), MSG_PEEK | MSG_DONTWAIT);
            if (pk == static_cast<ssize_t>(kHeaderLen) && get_header(hb).type == kSnd) {
                stalled_.insert(ep);
                return;
            }
        }
        struct iovec iov {buf_.data(), buf_.size()};
        struct msghdr mh {};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        alignas(struct cmsghdr) char cbuf[CMSG_SPACE(sizeof(struct ucred)) +
                                          CMSG_SPACE(8 * sizeof(int))];
        mh.msg_control = cbuf;
        mh.msg_controllen = sizeof(cbuf);
        ssize_t n = recvmsg(fd, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        int uid = -1;
        std::vector<int> fds;
        if (n >= 0) {
            for (struct cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
                if (c->cmsg_level != SOL_SOCKET)
                    continue;
                if (c->cmsg_type == SCM_CREDENTIALS) {
                    struct ucred cr;
                    std::memcpy(&cr, CMSG_DATA(c), sizeof(cr));
                    uid = static_cast<int>(cr.uid);
                } else if (c->cmsg_type == SCM_RIGHTS) {
                    size_t k2 = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                    for (size_t i = 0; i < k2; i++) {
                        int got;
                        std::memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                        fds.push_back(got);
                    }
                }
            }
        }
        // The responding endpoint of t_accept: found by the identity of the
        // socket passed, never by a number the client names.
        uint32_t res = fds.size() == 1 ? endpoint_of(fds[0]) : 0;
        for (int f : fds)
            close(f);
        if (n <= 0) {
            // The last descriptor to the endpoint is closed everywhere.
            stack_.on_hangup(ep);
            close_endpoint(ep);
            return;
        }
        if (fds.size() > 1 || (mh.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) ||
            static_cast<size_t>(n) > kMaxMessage) {
            stack_.reject(ep, fds.size() > 1 ? "several descriptors in one message"
                                             : "oversized message");
        } else {
            stack_.on_message(ep, buf_.data(), static_cast<size_t>(n), res, uid);
        }
        for (uint32_t d : dropped_)
            close_endpoint(d);
        dropped_.clear();
    }
}

int Server::run()
{
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // The stop signals are blocked except inside the wait.
    sigset_t block, waitmask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &waitmask);
    sigdelset(&waitmask, SIGTERM);
    sigdelset(&waitmask, SIGINT);

    {
        char b[160];
        if (opt_.links.empty())
            std::snprintf(b, sizeof(b), "serving %s, network %08x", opt_.dev_dir.c_str(),
                          opt_.stack.net);
        else
            std::snprintf(b, sizeof(b), "serving %s, %zu links", opt_.dev_dir.c_str(),
                          opt_.links.size());
        log_line(b);
    }
    // Ready once every link that registers with a server has its node (or
    // after a while: a server may be down; the link keeps trying).
    const uint64_t settle_by = clock_.now_ms() + kSettleMs;

    std::vector<struct pollfd> pfds;
    std::vector<uint32_t> pep;
    while (!g_stop) {
        uint64_t now = clock_.now_ms();
        stack_.tick(now);
        stack_.run();
        if (opt_.ready_fd >= 0 && (stack_.links_settled() || now >= settle_by)) {
            if (!stack_.links_settled())
                log_line("a link is still registering; ready all the same");
            say_ready();
        }
        for (uint32_t d : dropped_)
            close_endpoint(d);
        dropped_.clear();
        uint64_t deadline = stack_.next_deadline();
        int timeout = 1000;
        if (opt_.ready_fd >= 0)
            deadline = std::min(deadline, settle_by);
        if (deadline <= now)
            timeout = 0;
        else if (deadline - now < 1000)
            timeout = static_cast<int>(deadline - now);

        pfds.clear();
        pep.clear();
        for (size_t i = 0; i < 3; i++)
            pfds.push_back({dev_fd_[i], POLLIN, 0});
        for (auto &p : pending_)
            pfds.push_back({p.fd, POLLIN, 0});
        for (auto &[ep, fd] : ep_fd_) {
            short events = POLLIN;
            if (stalled_.count(ep)) {
                if (stack_.sends_stalled(ep))
                    events = 0;  // only its hangup
                else
                    stalled_.erase(ep);
            }
            pfds.push_back({fd, events, 0});
            pep.push_back(ep);
        }
        // Links with a descriptor of their own (a tunnel): the stack reads
        // them in its next round.
        for (int fd : stack_.link_fds())
            pfds.push_back({fd, POLLIN, 0});
        struct timespec ts {timeout / 1000, (timeout % 1000) * 1000000L};
        int r = ppoll(pfds.data(), pfds.size(), &ts, &waitmask);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            log_line(std::string("poll: ") + std::strerror(errno));
            break;
        }
        now = clock_.now_ms();
        stack_.tick(now);
        // pfds holds the device sockets, the pending connections as they
        // were before the wait, then the endpoints.
        size_t np = pending_.size();
        for (size_t i = 0; i < np; i++) {
            uint64_t limit = pending_[i].uid == 0 ? kPendingTimeoutRootMs : kPendingTimeoutUserMs;
            if (pfds[3 + i].revents)
                serve_pending(pending_[i]);
            else if (now > pending_[i].since + limit) {
                close(pending_[i].fd);
                pending_[i].fd = -1;
            }
        }
        for (size_t i = 0; i < 3; i++)
            if (pfds[i].revents & POLLIN)
                accept_device(i);
        pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                      [](const Pending &p) { return p.fd < 0; }),
                       pending_.end());
        size_t base = 3 + np;
        for (size_t i = 0; i < pep.size(); i++) {
            if (pfds[base + i].revents == 0)
                continue;
            auto it = ep_fd_.find(pep[i]);
            if (it == ep_fd_.end() || it->second != pfds[base + i].fd)
                continue;
            if (pfds[base + i].events == 0) {
                // A stalled endpoint whose every client is gone: what it
                // left unread has nobody to answer.
                stack_.on_hangup(pep[i]);
                close_endpoint(pep[i]);
                continue;
            }
            read_endpoint(pep[i], it->second);
        }
        for (uint32_t d : dropped_)
            close_endpoint(d);
        dropped_.clear();
        trim_memory(now);
    }
    log_line("stopping");
    cleanup();
    return 0;
}

// Freed memory goes back to the system once a user's held data or
// endpoints are gone (at most once a second), so that the daemon does not
// keep the size an attacker once gave it.
void Server::trim_memory(uint64_t now)
{
    size_t size = stack_.held_bytes() +
                  (ep_fd_.size() + stack_.connection_count()) * static_cast<size_t>(16 * 1024);
    trim_held_ = std::max(trim_held_, size);
    if (now < last_trim_ + 1000 || trim_held_ < size + (1u << 20))
        return;
    malloc_trim(0);
    last_trim_ = now;
    trim_held_ = size;
}

void Server::say_ready()
{
    const char ready[] = "ready\n";
    ssize_t w = write(opt_.ready_fd, ready, sizeof(ready) - 1);
    (void)w;
    close(opt_.ready_fd);
    opt_.ready_fd = -1;
}

int print_status(const std::string &dev_dir)
{
    std::string path = dev_dir + "/" + kDevices[2].name;
    struct sockaddr_un sa;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || !make_addr(path, sa) ||
        connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) < 0) {
        std::fprintf(stderr, "ipxstackd: no stack is serving %s: %s\n", dev_dir.c_str(),
                     std::strerror(errno));
        if (fd >= 0) close(fd);
        return 1;
    }
    auto msg = build(kStatus, 0, 1, 0, 0, {});
    std::vector<uint8_t> buf(1 << 20);
    struct pollfd p {fd, POLLIN, 0};
    if (!send_with_fd(fd, msg, -1) || poll(&p, 1, 5000) <= 0) {
        std::fprintf(stderr, "ipxstackd: the stack on %s does not answer\n", dev_dir.c_str());
        close(fd);
        return 1;
    }
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    close(fd);
    if (n < static_cast<ssize_t>(kHeaderLen) || get_header(buf.data()).len != static_cast<size_t>(n)) {
        std::fprintf(stderr, "ipxstackd: bad answer from the stack on %s\n", dev_dir.c_str());
        return 1;
    }
    std::fwrite(buf.data() + kHeaderLen, 1, static_cast<size_t>(n) - kHeaderLen, stdout);
    return 0;
}

} // namespace ipxstackd
