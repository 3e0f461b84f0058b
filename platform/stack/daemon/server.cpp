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
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/random.h>
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

// One message with the descriptors and credentials that came with it.
// Returns the length (0: the other end is gone), or -1 with errno.
ssize_t recv_message(int fd, std::vector<uint8_t> &buf, std::vector<int> &fds, int &uid,
                     int &msg_flags)
{
    struct iovec iov {buf.data(), buf.size()};
    struct msghdr mh {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    alignas(struct cmsghdr) char cbuf[CMSG_SPACE(sizeof(struct ucred)) + CMSG_SPACE(8 * sizeof(int))];
    mh.msg_control = cbuf;
    mh.msg_controllen = sizeof(cbuf);
    ssize_t n;
    do {
        n = recvmsg(fd, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    fds.clear();
    uid = -1;
    msg_flags = n >= 0 ? mh.msg_flags : 0;
    if (n < 0)
        return n;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
        if (c->cmsg_level != SOL_SOCKET)
            continue;
        if (c->cmsg_type == SCM_CREDENTIALS) {
            struct ucred cr;
            std::memcpy(&cr, CMSG_DATA(c), sizeof(cr));
            uid = static_cast<int>(cr.uid);
        } else if (c->cmsg_type == SCM_RIGHTS) {
            size_t k = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < k; i++) {
                int got;
                std::memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                fds.push_back(got);
            }
        }
    }
    return n;
}

void close_all(std::vector<int> &fds)
{
    for (int f : fds)
        close(f);
    fds.clear();
}

uint64_t mix64(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
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
    dev_real_ = real;
    if (getrandom(&name_key_, sizeof(name_key_), 0) != sizeof(name_key_))
        name_key_ = mix64(static_cast<uint64_t>(getpid()) ^ clock_.now_ms());
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
    for (auto &[ep, io] : ep_io_)
        close(io.fd);
    ep_io_.clear();
    fd_ep_.clear();
    for (auto &[id, c] : calls_)
        close(c.fd);
    calls_.clear();
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
    if (epfd_ >= 0) {
        close(epfd_);
        epfd_ = -1;
    }
    watched_.clear();
}

void Server::watch(int fd, Kind k, uint32_t id, uint32_t events)
{
    struct epoll_event ev {};
    ev.events = events;
    ev.data.u64 = key_of(k, id);
    auto it = watched_.find(fd);
    if (it != watched_.end() && it->second.key == ev.data.u64 && it->second.events == events)
        return;
    int op = it == watched_.end() ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (epoll_ctl(epfd_, op, fd, &ev) < 0 && errno == ENOENT)
        epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev);
    watched_[fd] = Watch{ev.data.u64, events};
}

void Server::unwatch(int fd)
{
    auto it = watched_.find(fd);
    if (it == watched_.end())
        return;
    epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
    watched_.erase(it);
}

void Server::rewatch_endpoints()
{
    // Stalled endpoints are looked at every round: the stack's hold on them
    // ends without a message from their socket.
    for (uint32_t ep : stalled_)
        io_changed_.insert(ep);
    for (uint32_t ep : io_changed_) {
        auto it = ep_io_.find(ep);
        if (it == ep_io_.end())
            continue;
        EpIo &io = it->second;
        uint32_t events = io.input_shut ? 0u : static_cast<uint32_t>(EPOLLIN);
        if (stalled_.count(ep)) {
            if (stack_.input_stalled(ep) || stack_.sends_stalled(ep))
                events = 0;  // only its hangup
            else
                stalled_.erase(ep);
        }
        if (!io.out.empty() || io.want_write)
            events |= EPOLLOUT;
        watch(io.fd, Kind::Endpoint, ep, events);
    }
    io_changed_.clear();
}

// Links whose descriptor the loop waits on (a tunnel's socket, which a
// link may open again).
void Server::watch_links()
{
    std::vector<int> now = stack_.link_fds();
    if (now == link_fds_)
        return;
    for (int fd : link_fds_) {
        auto it = watched_.find(fd);
        if (it != watched_.end() && it->second.key >> 32 == static_cast<uint32_t>(Kind::Link) &&
            std::find(now.begin(), now.end(), fd) == now.end())
            unwatch(fd);
    }
    for (int fd : now)
        watch(fd, Kind::Link, static_cast<uint32_t>(fd), EPOLLIN);
    link_fds_ = now;
}

bool Server::send(uint32_t ep, const std::vector<uint8_t> &msg)
{
    auto it = ep_io_.find(ep);
    if (it == ep_io_.end())
        return false;
    EpIo &io = it->second;
    if (io.out.empty()) {
        if (send_with_fd(io.fd, msg, -1))
            return true;
        if (errno != EAGAIN) {
            if (errno != EPIPE && errno != ECONNRESET)
                log_line("endpoint " + std::to_string(ep) + ": " + std::strerror(errno));
            return false;
        }
    }
    // A full socket: it goes out, in order, when the reader makes room.
    io.out.push_back(msg);
    io_changed_.insert(ep);
    return true;
}

bool Server::push(uint32_t ep, const std::vector<uint8_t> &msg)
{
    auto it = ep_io_.find(ep);
    if (it == ep_io_.end())
        return false;
    EpIo &io = it->second;
    if (io.out.empty() && send_with_fd(io.fd, msg, -1))
        return true;
    io.want_write = true;
    io_changed_.insert(ep);
    return false;
}

// Sends what the socket did not take before; true when nothing is left.
bool Server::flush(uint32_t ep)
{
    auto it = ep_io_.find(ep);
    if (it == ep_io_.end())
        return true;
    EpIo &io = it->second;
    while (!io.out.empty()) {
        if (!send_with_fd(io.fd, io.out.front(), -1))
            return errno != EAGAIN;  // gone: its hangup ends it
        io.out.pop_front();
    }
    return true;
}

void Server::shut_input(uint32_t ep)
{
    auto it = ep_io_.find(ep);
    if (it == ep_io_.end() || it->second.input_shut)
        return;
    // The library's next posted send fails. What it posted before and the
    // stack had not taken is for the connection that ended: thrown away
    // now, or a sender waiting for room in the socket would wait for ever.
    // (Each message is read with a 1-byte buffer: the rest of a record and
    // any descriptors with it go with it.)
    shutdown(it->second.fd, SHUT_RD);
    char b;
    while (recv(it->second.fd, &b, 1, MSG_DONTWAIT) > 0) {
    }
    it->second.input_shut = true;
    io_changed_.insert(ep);
}

void Server::reply(uint32_t call, const std::vector<uint8_t> &msg, bool last)
{
    auto it = calls_.find(call);
    if (it == calls_.end())
        return;
    if (!send_with_fd(it->second.fd, msg, -1) && errno != EPIPE && errno != ECONNRESET)
        log_line(std::string("control connection: ") + std::strerror(errno));
    if (last)
        it->second.closing = true;
}

void Server::end_call(uint32_t call)
{
    auto it = calls_.find(call);
    if (it == calls_.end())
        return;
    it->second.closing = true;
    it->second.gone = true;
}

// Control connections the stack is done with are closed between messages,
// never while one of their requests is being handled.
void Server::finish_calls()
{
    for (auto it = calls_.begin(); it != calls_.end();) {
        if (!it->second.closing) {
            ++it;
            continue;
        }
        Call c = it->second;
        uint32_t id = it->first;
        it = calls_.erase(it);
        unwatch(c.fd);
        close(c.fd);
        if (c.uid != 0 && --user_calls_[c.uid] == 0)
            user_calls_.erase(c.uid);
        if (c.gone)
            stack_.on_call_gone(id, c.ep);
    }
}

bool Server::closed(uint32_t ep)
{
    auto it = ep_io_.find(ep);
    if (it == ep_io_.end())
        return true;
    // Every descriptor of the client's end is closed, and it left nothing
    // unread (posted sends are delivered first, in the loop's order).
    struct pollfd p {it->second.fd, 0, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLHUP))
        return false;
    char c;
    if (recv(it->second.fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0)
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
    auto it = ep_io_.find(ep);
    if (it == ep_io_.end())
        return;
    unwatch(it->second.fd);
    close(it->second.fd);
    fd_ep_.erase(it->second.fd);
    ep_io_.erase(it);
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
        // A caller sends its request right after connecting: it is usually
        // there already and served at once. Only a silent connection waits
        // (and counts against its user's pending connections).
        Pending p{fd, kDevices[i].svc, clock_.now_ms(), uid};
        serve_pending(p);
        if (p.fd >= 0 && take_pending(fd, uid)) {
            pending_.push_back(p);
            watch(fd, Kind::Pending, static_cast<uint32_t>(fd), EPOLLIN);
        }
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

// The first message on a device connection: open an endpoint, ask for the
// status view or which sockets are bound, or a request on a control
// connection (an endpoint's descriptor attached).
void Server::serve_pending(Pending &p)
{
    std::vector<int> fds;
    int uid = -1, mflags = 0;
    ssize_t n = recv_message(p.fd, buf_, fds, uid, mflags);
    if (n < 0 && errno == EAGAIN)
        return;
    // No longer waiting for its first message: it is closed, or becomes a
    // control connection or an endpoint (registered anew).
    unwatch(p.fd);
    int fd = p.fd;
    if (n < static_cast<ssize_t>(kHeaderLen) || static_cast<size_t>(n) > kMaxMessage ||
        (mflags & (MSG_TRUNC | MSG_CTRUNC))) {
        if (n < 0) log_line(std::string("device connection: ") + std::strerror(errno));
        close_all(fds);
        close(fd);
        p.fd = -1;
        return;
    }
    Header h = get_header(buf_.data());
    if (h.len == static_cast<size_t>(n) && h.reqid != 0 && (h.flags & kFlagControl)) {
        start_call(p, buf_.data(), static_cast<size_t>(n), fds);
        return;
    }
    p.fd = -1;
    if (!fds.empty() || h.len != static_cast<size_t>(n) || h.reqid == 0 || h.flags != 0) {
        close_all(fds);
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
    p.fd = fd;
    open_endpoint(p, h);
    close(fd);
    p.fd = -1;
}

// A new endpoint: a fresh socket pair; the client's end is passed back.
void Server::open_endpoint(Pending &p, const Header &h)
{
    const int fd = p.fd;
    // An ordinary user over its endpoint limit, or with the daemon close to
    // its descriptor limit (the rest is root's), is refused: TSYSERR, ENOSR.
    // Root is refused only where the descriptors for control connections
    // begin.
    const size_t in_use = ep_io_.size() + pending_.size() + calls_.size() + kOwnFds + kControlReservedFds;
    const bool fds_left = in_use + kRootReservedFds < fd_limit_;
    const bool root_fds_left = in_use < fd_limit_;
    uint32_t ep = (p.uid == 0 ? root_fds_left : fds_left) ? stack_.open(p.svc, p.uid) : 0;
    if (ep == 0) {
        log_limited("endpoints " + std::to_string(p.uid),
                    "user " + std::to_string(p.uid) +
                        (!root_fds_left ? ": out of descriptors"
                         : fds_left     ? ": endpoint limit reached"
                                        : ": the last descriptors are root's") +
                        "; open refused");
        send_with_fd(fd, build(kOpen | kReply, 0, h.reqid, 8 /*TSYSERR*/, ENOSR, {}), -1);
        return;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) < 0) {
        log_line(std::string("cannot open an endpoint: ") + std::strerror(errno));
        send_with_fd(fd, build(kOpen | kReply, 0, h.reqid, 8 /*TSYSERR*/, errno, {}), -1);
        stack_.on_hangup(ep);
        return;
    }
    int one = 1;
    setsockopt(sv[0], SOL_SOCKET, SO_PASSCRED, &one, sizeof(one));
    int sndbuf = kEndpointSendBuffer, pushbuf = kEndpointPushBuffer;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &pushbuf, sizeof(pushbuf));
    fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    // The peer name tells the library where the device sockets are.
    {
        char key[17];
        std::snprintf(key, sizeof key, "%016llx",
                      static_cast<unsigned long long>(mix64(name_key_ + ++name_count_)));
        std::string name = std::string(kPeerNamePrefix) + dev_real_ + ":" + key;
        struct sockaddr_un sa {};
        sa.sun_family = AF_UNIX;
        if (name.size() + 1 <= sizeof(sa.sun_path)) {
            std::memcpy(sa.sun_path + 1, name.data(), name.size());
            bind(sv[0], reinterpret_cast<struct sockaddr *>(&sa),
                 static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + name.size()));
        }
    }
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
        stack_.on_hangup(ep);
        return;
    }
    close(sv[1]);
    EpIo io;
    io.fd = sv[0];
    ep_io_[ep] = std::move(io);
    watch(sv[0], Kind::Endpoint, ep, EPOLLIN);
    fd_ep_[sv[0]] = ep;
    ino_ep_[st.st_ino] = ep;
    ep_end_[ep] = end;
}

// The first request of a control connection: the endpoint it is about is
// the descriptor attached (t_accept: and the responding endpoint).
void Server::start_call(Pending &p, const uint8_t *msg, size_t n, std::vector<int> &fds)
{
    const int fd = p.fd;
    p.fd = -1;
    Header h = get_header(msg);
    uint32_t ep = fds.size() == 1 || fds.size() == 2 ? endpoint_of(fds[0]) : UINT32_MAX;
    uint32_t res = fds.size() == 2 ? endpoint_of(fds[1]) : 0;
    close_all(fds);
    auto refuse = [&](int32_t terr, int32_t err) {
        Writer w;
        ControlPrefix{}.write(w);
        send_with_fd(fd, build(static_cast<uint16_t>(h.type | kReply), 0, h.reqid, terr, err, w.data()), -1);
        close(fd);
    };
    if (ep == UINT32_MAX || ep_io_.find(ep) == ep_io_.end()) {
        // Not (or no longer) an endpoint of this stack.
        refuse(8 /*TSYSERR*/, ECONNRESET);
        return;
    }
    // An ordinary user's control connections count like its endpoints.
    if (p.uid != 0 && user_calls_[p.uid] >= opt_.stack.limits.endpoints) {
        if (user_calls_[p.uid] == 0)
            user_calls_.erase(p.uid);
        log_limited("calls " + std::to_string(p.uid),
                    "user " + std::to_string(p.uid) + ": too many control connections; refused");
        refuse(8 /*TSYSERR*/, ENOSR);
        return;
    }
    if (p.uid != 0)
        user_calls_[p.uid]++;
    uint32_t id = next_call_++;
    if (next_call_ == 0)
        next_call_ = 1;
    Call c;
    c.fd = fd;
    c.ep = ep;
    c.uid = p.uid;
    calls_[id] = c;
    watch(fd, Kind::Call, id, EPOLLIN);
    // A request comes after what the caller sent on the endpoint's socket
    // before it (posted sends, which a send or a disconnect must follow).
    // The drain reads into buf_: the request is kept apart.
    std::vector<uint8_t> req(msg, msg + n);
    msg = req.data();
    drain_endpoint(ep, true);
    if (ep_io_.find(ep) == ep_io_.end()) {
        unwatch(fd);
        refuse(8 /*TSYSERR*/, ECONNRESET);
        calls_.erase(id);
        if (p.uid != 0 && --user_calls_[p.uid] == 0)
            user_calls_.erase(p.uid);
        return;
    }
    stack_.on_control(id, ep, msg, n, res, static_cast<int>(p.uid));
    finish_calls();
    for (uint32_t d : dropped_)
        close_endpoint(d);
    dropped_.clear();
}

// A further message on a control connection (a cancel, what a reader
// hands back), or its end.
void Server::read_call(uint32_t call)
{
    auto it = calls_.find(call);
    if (it == calls_.end())
        return;
    std::vector<int> fds;
    int uid = -1, mflags = 0;
    ssize_t n = recv_message(it->second.fd, buf_, fds, uid, mflags);
    if (n < 0 && errno == EAGAIN)
        return;
    if (n <= 0 || !fds.empty() || (mflags & (MSG_TRUNC | MSG_CTRUNC)) ||
        static_cast<size_t>(n) > kMaxMessage) {
        close_all(fds);
        it->second.closing = true;
        it->second.gone = true;
        return;
    }
    stack_.on_control(call, it->second.ep, buf_.data(), static_cast<size_t>(n), 0,
                      static_cast<int>(it->second.uid));
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

void Server::handle_endpoint_message(uint32_t ep, const uint8_t *msg, size_t n,
                                     std::vector<int> &fds, int uid, int mflags)
{
    if (n >= kHeaderLen && fds.empty() && !(mflags & (MSG_TRUNC | MSG_CTRUNC)) &&
        get_header(msg).type == kPost) {
        stack_.on_post(ep, msg, n);
        return;
    }
    // The responding endpoint of t_accept: found by the identity of the
    // socket passed, never by a number the client names.
    uint32_t res = fds.size() == 1 ? endpoint_of(fds[0]) : 0;
    size_t nfds = fds.size();
    close_all(fds);
    if (nfds > 1 || (mflags & (MSG_TRUNC | MSG_CTRUNC)) || n > kMaxMessage)
        stack_.reject(ep, nfds > 1 ? "several descriptors in one message" : "oversized message");
    else
        stack_.on_message(ep, msg, n, res, uid);
}

// Reads the endpoint's socket. Normally a few messages per wake-up, and
// nothing while the stack holds a posted send its connection has not taken
// (the socket then holds the sender back) nor a t_snd or posted send when
// the endpoint holds all the send data it may. With `all`, everything
// queued: posted sends are delivered before what follows them.
void Server::drain_endpoint(uint32_t ep, bool all)
{
    for (int k = 0; all || k < kMessagesPerWake; k++) {
        auto it = ep_io_.find(ep);
        if (it == ep_io_.end())
            return;
        const int fd = it->second.fd;
        const bool shut = it->second.input_shut;
        if (!all && stack_.input_stalled(ep)) {
            stalled_.insert(ep);
            return;
        }
        if (!all && stack_.sends_stalled(ep)) {
            uint8_t hb[kHeaderLen];
            ssize_t pk = recv(fd, hb, sizeof(hb), MSG_PEEK | MSG_DONTWAIT);
            if (pk == static_cast<ssize_t>(kHeaderLen) &&
                (get_header(hb).type == kSnd || get_header(hb).type == kPost)) {
                stalled_.insert(ep);
                return;
            }
        }
        std::vector<int> fds;
        int uid = -1, mflags = 0;
        ssize_t n = recv_message(fd, buf_, fds, uid, mflags);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            close_all(fds);
            if (shut && n == 0)
                return;  // our own reading side is shut: nothing more comes
            // The last descriptor to the endpoint is closed everywhere.
            stack_.on_hangup(ep);
            close_endpoint(ep);
            return;
        }
        handle_endpoint_message(ep, buf_.data(), static_cast<size_t>(n), fds, uid, mflags);
        for (uint32_t d : dropped_)
            close_endpoint(d);
        dropped_.clear();
    }
}

void Server::read_endpoint(uint32_t ep)
{
    drain_endpoint(ep, false);
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

    epfd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epfd_ < 0) {
        log_line(std::string("epoll: ") + std::strerror(errno));
        cleanup();
        return 1;
    }
    for (size_t i = 0; i < 3; i++)
        watch(dev_fd_[i], Kind::Device, static_cast<uint32_t>(i), EPOLLIN);
    std::vector<struct epoll_event> events(256);
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
        finish_calls();
        uint64_t deadline = stack_.next_deadline();
        int timeout = 1000;
        if (opt_.ready_fd >= 0)
            deadline = std::min(deadline, settle_by);
        // Silent device connections are closed when their time is up.
        for (const Pending &p : pending_)
            if (p.fd >= 0)
                deadline = std::min(deadline, p.since + 1 +
                                                  (p.uid == 0 ? kPendingTimeoutRootMs : kPendingTimeoutUserMs));
        if (deadline <= now)
            timeout = 0;
        else if (deadline - now < 1000)
            timeout = static_cast<int>(deadline - now);

        rewatch_endpoints();
        watch_links();
        int r = epoll_pwait(epfd_, events.data(), static_cast<int>(events.size()), timeout, &waitmask);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            log_line(std::string("epoll_wait: ") + std::strerror(errno));
            break;
        }
        now = clock_.now_ms();
        stack_.tick(now);
        for (int i = 0; i < r; i++) {
            const uint32_t rev = events[static_cast<size_t>(i)].events;
            const uint64_t key = events[static_cast<size_t>(i)].data.u64;
            const Kind kind = static_cast<Kind>(key >> 32);
            const uint32_t id = static_cast<uint32_t>(key);
            switch (kind) {
            case Kind::Device:
                if (rev & EPOLLIN)
                    accept_device(id);
                break;
            case Kind::Pending:
                // Registered by descriptor: the one waiting on it now, if
                // any (one served earlier in this round is gone).
                for (size_t j = 0; j < pending_.size(); j++)
                    if (pending_[j].fd == static_cast<int>(id)) {
                        serve_pending(pending_[j]);
                        break;
                    }
                break;
            case Kind::Endpoint: {
                auto it = ep_io_.find(id);
                if (it == ep_io_.end())
                    break;
                if (rev & EPOLLOUT) {
                    if (flush(id) && it->second.want_write) {
                        it->second.want_write = false;
                        stack_.on_writable(id);
                    }
                    io_changed_.insert(id);
                }
                if ((rev & (EPOLLHUP | EPOLLERR)) && !(rev & EPOLLIN)) {
                    // Every client is gone: what it sent before still counts
                    // (posted sends), then the endpoint ends.
                    drain_endpoint(id, true);
                    if (ep_io_.find(id) != ep_io_.end()) {
                        stack_.on_hangup(id);
                        close_endpoint(id);
                    }
                } else if (rev & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                    drain_endpoint(id, (rev & EPOLLHUP) != 0);
                }
                break;
            }
            case Kind::Call:
                if (calls_.count(id) != 0)
                    read_call(id);
                break;
            case Kind::Link:
                break;  // the stack reads its links in its next round
            }
            for (uint32_t d : dropped_)
                close_endpoint(d);
            dropped_.clear();
            finish_calls();
        }
        for (Pending &p : pending_) {
            uint64_t limit = p.uid == 0 ? kPendingTimeoutRootMs : kPendingTimeoutUserMs;
            if (p.fd >= 0 && now > p.since + limit) {
                unwatch(p.fd);
                close(p.fd);
                p.fd = -1;
            }
        }
        pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                      [](const Pending &p) { return p.fd < 0; }),
                       pending_.end());
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
                  (ep_io_.size() + stack_.connection_count()) * static_cast<size_t>(16 * 1024);
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
