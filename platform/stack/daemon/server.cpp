#include "server.h"

#include <logstamp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
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

constexpr size_t kMaxPending = 64;
constexpr uint64_t kPendingTimeoutMs = 5000;
constexpr int kMessagesPerWake = 16;  // so that one endpoint cannot starve the rest

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
    reserve_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    char real[PATH_MAX];
    if (realpath(opt_.dev_dir.c_str(), real) == nullptr) {
        error = "device directory " + opt_.dev_dir + ": " + std::strerror(errno);
        return -1;
    }
    // One stack per device directory: an abstract socket named after the
    // directory is the lock (it goes away with the process).
    lock_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    struct sockaddr_un la {};
    la.sun_family = AF_UNIX;
    std::string lname = std::string("ipxstackd:") + real;
    size_t ln = std::min(lname.size(), sizeof(la.sun_path) - 1);
    std::memcpy(la.sun_path + 1, lname.data(), ln);
    if (lock_fd_ < 0 ||
        bind(lock_fd_, reinterpret_cast<struct sockaddr *>(&la),
             static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + ln)) < 0) {
        error = std::string("a stack is already running on ") + real;
        return -1;
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
    auto ino = ep_ino_.find(ep);
    if (ino != ep_ino_.end()) {
        ino_ep_.erase(ino->second);
        ep_ino_.erase(ino);
    }
}

void Server::accept_device(size_t i)
{
    for (;;) {
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
        if (pending_.size() >= kMaxPending) {
            close(fd);  // too many clients that connect and say nothing
            continue;
        }
        pending_.push_back({fd, kDevices[i].svc, clock_.now_ms()});
    }
}

// The first message on a device connection: open an endpoint (or ask for
// the status view). The endpoint is a fresh socket pair; the client's end is
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
        std::string text = stack_.status();
        std::vector<uint8_t> body(text.begin(), text.end());
        send_with_fd(fd, build(kStatus | kReply, 0, h.reqid, 0, 0, body), -1);
        close(fd);
        return;
    }
    if (h.type != kOpen || n != static_cast<ssize_t>(kHeaderLen + 4)) {
        close(fd);
        return;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) < 0) {
        log_line(std::string("cannot open an endpoint: ") + std::strerror(errno));
        send_with_fd(fd, build(kOpen | kReply, 0, h.reqid, 8 /*TSYSERR*/, errno, {}), -1);
        close(fd);
        return;
    }
    int one = 1;
    setsockopt(sv[0], SOL_SOCKET, SO_PASSCRED, &one, sizeof(one));
    fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    struct stat st;
    fstat(sv[1], &st);
    uint32_t ep = stack_.open(p.svc);
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
    ep_ino_[ep] = st.st_ino;
}

void Server::read_endpoint(uint32_t ep, int fd)
{
    for (int k = 0; k < kMessagesPerWake; k++) {
        if (ep_fd_.find(ep) == ep_fd_.end())
            return;
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
        uint32_t res = 0;
        if (fds.size() == 1) {
            struct stat st;
            res = UINT32_MAX;
            if (fstat(fds[0], &st) == 0) {
                auto it = ino_ep_.find(st.st_ino);
                if (it != ino_ep_.end())
                    res = it->second;
            }
        }
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

    if (opt_.ready_fd >= 0) {
        const char ready[] = "ready\n";
        ssize_t w = write(opt_.ready_fd, ready, sizeof(ready) - 1);
        (void)w;
        close(opt_.ready_fd);
        opt_.ready_fd = -1;
    }
    {
        char b[160];
        std::snprintf(b, sizeof(b), "serving %s, network %08x", opt_.dev_dir.c_str(),
                      opt_.stack.net);
        log_line(b);
    }

    std::vector<struct pollfd> pfds;
    std::vector<uint32_t> pep;
    while (!g_stop) {
        uint64_t now = clock_.now_ms();
        stack_.tick(now);
        stack_.run();
        for (uint32_t d : dropped_)
            close_endpoint(d);
        dropped_.clear();
        uint64_t deadline = stack_.next_deadline();
        int timeout = 1000;
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
            pfds.push_back({fd, POLLIN, 0});
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
            if (pfds[3 + i].revents)
                serve_pending(pending_[i]);
            else if (now > pending_[i].since + kPendingTimeoutMs) {
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
            if (it != ep_fd_.end() && it->second == pfds[base + i].fd)
                read_endpoint(pep[i], it->second);
        }
    }
    log_line("stopping");
    cleanup();
    return 0;
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
