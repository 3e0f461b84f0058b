// SPX bulk throughput and round-trip latency through the stack, beside a
// TCP loopback twin of the same exchange (spxbench and the suite run these).
//
// Both runs have the same shape: one sending process and one receiving
// process on one connection. Bulk: the sender writes `units` units of
// `size` bytes (one t_snd / send each), the receiver reads them all and
// answers one byte; the time runs from the first write to that byte.
// Latency: the sender writes a ping of `ping_size` bytes, the receiver echoes
// it; each round trip is one sample (median and 99th percentile reported).
// With the TCP run comes a reference line: the same bulk run as one request
// and reply over a Unix socket per unit, the cost any design pays in which
// a daemon answers every t_snd.
//
// The program starts its own ipxstackd on a temporary device directory and
// points the TLI library at it with IPX_DEVDIR, so the host's /dev is never
// used. Runs as root (the stack's requirement).
#include "spxrun.h"

#include "benchsys.h"

#include <tiuser.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

// A child that has not finished after this long is stuck: the alarm ends it.
constexpr unsigned kChildLimitS = 900;

// One end of a connection, either transport.
struct Conn {
    virtual ~Conn() = default;
    // Writes all n bytes as one unit; false on failure (reported).
    virtual bool put(const char *p, size_t n) = 0;
    // Reads up to n bytes; the count, or -1 on failure (reported).
    virtual long get(char *p, size_t n) = 0;
};

struct SpxConn : Conn {
    int fd;
    explicit SpxConn(int f) : fd(f) {}
    bool put(const char *p, size_t n) override
    {
        size_t done = 0;
        while (done < n) {
            int r = t_snd(fd, const_cast<char *>(p + done), static_cast<unsigned>(n - done), 0);
            if (r < 0) {
                t_error("spxbench: t_snd");
                return false;
            }
            done += static_cast<size_t>(r);
        }
        return true;
    }
    long get(char *p, size_t n) override
    {
        int flags = 0;
        int r = t_rcv(fd, p, static_cast<unsigned>(n), &flags);
        if (r < 0)
            t_error("spxbench: t_rcv");
        return r;
    }
};

struct TcpConn : Conn {
    int fd;
    explicit TcpConn(int f) : fd(f) {}
    bool put(const char *p, size_t n) override
    {
        size_t done = 0;
        while (done < n) {
            ssize_t r = send(fd, p + done, n - done, MSG_NOSIGNAL);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0) {
                std::perror("spxbench: send");
                return false;
            }
            done += static_cast<size_t>(r);
        }
        return true;
    }
    long get(char *p, size_t n) override
    {
        for (;;) {
            ssize_t r = recv(fd, p, n, 0);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                std::perror("spxbench: recv");
            else if (r == 0)
                std::fprintf(stderr, "spxbench: recv: connection closed early\n");
            return r > 0 ? static_cast<long>(r) : -1;
        }
    }
};

// Reads exactly n bytes.
bool get_all(Conn &c, char *p, size_t n)
{
    size_t got = 0;
    while (got < n) {
        long r = c.get(p + got, n - got);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// The receiving side of both runs; the exit status of the child.
int receiver(Conn &c, const Options &opt)
{
    std::vector<char> buf(opt.unit_size);
    unsigned long long total = static_cast<unsigned long long>(opt.units) * opt.unit_size;
    unsigned long long got = 0;
    while (got < total) {
        long r = c.get(buf.data(), buf.size());
        if (r <= 0)
            return 1;
        got += static_cast<unsigned long long>(r);
    }
    if (!c.put("k", 1))
        return 1;
    std::vector<char> ping(opt.ping_size);
    for (size_t i = 0; i < opt.rounds; i++)
        if (!get_all(c, ping.data(), ping.size()) || !c.put(ping.data(), ping.size()))
            return 1;
    return 0;
}

// The sending side: fills `res`. False when the exchange failed.
bool sender(Conn &c, const Options &opt, Result &res)
{
    std::vector<char> unit(opt.unit_size);
    for (size_t i = 0; i < unit.size(); i++)
        unit[i] = static_cast<char>('a' + i % 26);
    auto t0 = Clock::now();
    for (size_t i = 0; i < opt.units; i++)
        if (!c.put(unit.data(), unit.size()))
            return false;
    char ack;
    if (!get_all(c, &ack, 1))
        return false;
    double us = us_since(t0);
    res.mbytes_per_s = static_cast<double>(opt.units) * static_cast<double>(opt.unit_size) / us;

    std::vector<char> ping(opt.ping_size, 'p'), pong(opt.ping_size);
    std::vector<double> rtt;
    rtt.reserve(opt.rounds);
    for (size_t i = 0; i < opt.rounds; i++) {
        auto t1 = Clock::now();
        if (!c.put(ping.data(), ping.size()) || !get_all(c, pong.data(), pong.size()))
            return false;
        rtt.push_back(us_since(t1));
    }
    res.median_us = percentile(rtt, 50);
    res.p99_us = percentile(rtt, 99);
    return true;
}

// Waits for a child; true when it exited with status 0.
bool reap(pid_t pid, const char *what)
{
    int st = 0;
    while (waitpid(pid, &st, 0) < 0)
        if (errno != EINTR)
            return false;
    if (WIFEXITED(st) && WEXITSTATUS(st) == 0)
        return true;
    std::fprintf(stderr, "spxbench: the %s receiver failed (status 0x%x)\n", what, st);
    return false;
}

// ---- the stack daemon ----

void remove_stack_files(const Stack &s)
{
    for (const char *f : {"ravspx", "mspx", "ravitp", "stackd.log"})
        unlink((s.dir + "/" + f).c_str());
    rmdir(s.dir.c_str());
}

void print_file(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return;
    char line[512];
    while (std::fgets(line, sizeof(line), f) != nullptr)
        std::fputs(line, stderr);
    std::fclose(f);
}

std::vector<std::string> split_words(const std::string &s)
{
    std::istringstream in(s);
    std::vector<std::string> w;
    std::string word;
    while (in >> word)
        w.push_back(word);
    return w;
}

pid_t spawn_daemon(const std::vector<std::string> &args, int out_fd, int keep_fd)
{
    pid_t pid = fork();
    if (pid > 0)
        setpgid(pid, pid);  // also here, so that it holds before the child runs
    if (pid != 0)
        return pid;
    // A group of its own: a profiler wrapped around the daemon and the
    // daemon itself are stopped together.
    setpgid(0, 0);
    if (out_fd >= 0) {
        dup2(out_fd, 1);
        dup2(out_fd, 2);
    }
    if (keep_fd >= 0)
        fcntl(keep_fd, F_SETFD, 0);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "spxbench: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
}

} // namespace

// Starts the daemon on a fresh temporary device directory and waits (at
// most a minute: a profiler makes it slow) for its "ready".
bool start_stack(const Options &opt, Stack &s)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/spxbench.XXXXXX";
    std::vector<char> t(templ.begin(), templ.end());
    t.push_back('\0');
    if (mkdtemp(t.data()) == nullptr) {
        std::perror("spxbench: mkdtemp");
        return false;
    }
    s.dir = t.data();
    chmod(s.dir.c_str(), 0755);
    std::string log = s.dir + "/stackd.log";
    int logfd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int p[2];
    if (logfd < 0 || pipe2(p, O_CLOEXEC) < 0) {
        std::perror("spxbench: daemon log or pipe");
        if (logfd >= 0) close(logfd);
        remove_stack_files(s);
        return false;
    }
    std::vector<std::string> args = split_words(opt.wrap);
    args.insert(args.end(), {opt.stackd, "-f", "--dev-dir", s.dir, "--ready-fd", std::to_string(p[1])});
    s.pid = spawn_daemon(args, logfd, p[1]);
    close(p[1]);
    close(logfd);
    bool ready = s.pid > 0 && wait_ready(p[0], std::chrono::minutes(1));
    close(p[0]);
    if (!ready) {
        std::fprintf(stderr, "spxbench: %s did not get ready; its log:\n", opt.stackd.c_str());
        if (s.pid > 0) {
            kill(-s.pid, SIGKILL);
            waitpid(s.pid, nullptr, 0);
        }
        print_file(log);
        remove_stack_files(s);
        s.pid = -1;
        return false;
    }
    setenv("IPX_DEVDIR", s.dir.c_str(), 1);
    return true;
}

// SIGTERM to the daemon's process group (the daemon, and a profiler wrapped
// around it), then up to 60 s for it to end (it removes its devices), then
// SIGKILL. The log is shown when the daemon did not end cleanly.
void stop_stack(Stack &s)
{
    if (s.pid <= 0)
        return;
    kill(-s.pid, SIGTERM);
    int st = 0;
    int pfd = static_cast<int>(syscall(SYS_pidfd_open, s.pid, 0));
    if (pfd >= 0) {
        struct pollfd pf {pfd, POLLIN, 0};
        while (poll(&pf, 1, 60000) < 0 && errno == EINTR) {
        }
        close(pfd);
    }
    if (waitpid(s.pid, &st, WNOHANG) == 0) {
        kill(-s.pid, SIGKILL);
        waitpid(s.pid, &st, 0);
    }
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
        std::fprintf(stderr, "spxbench: the stack ended with status 0x%x; its log:\n", st);
        print_file(s.dir + "/stackd.log");
    }
    remove_stack_files(s);
    s.pid = -1;
}

void show_status(const Options &opt, const Stack &s)
{
    std::fflush(stdout);
    pid_t pid = spawn_daemon({opt.stackd, "-s", "--dev-dir", s.dir}, -1, -1);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
}

// ---- the SPX run ----

bool run_spx(const Options &opt, const Stack &s, Result &res)
{
    int lfd = t_open("/dev/ravspx", O_RDWR, nullptr);
    if (lfd < 0) {
        t_error("spxbench: t_open");
        return false;
    }
    char addr[12];
    struct t_bind req {}, ret {};
    req.qlen = 1;
    ret.addr.maxlen = sizeof(addr);
    ret.addr.buf = addr;
    if (t_bind(lfd, &req, &ret) < 0) {
        t_error("spxbench: t_bind (listener)");
        t_close(lfd);
        return false;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(kChildLimitS);
        char peer[12];
        struct t_call call {};
        call.addr.maxlen = sizeof(peer);
        call.addr.buf = peer;
        if (t_listen(lfd, &call) < 0 || t_accept(lfd, lfd, &call) < 0) {
            t_error("spxbench: t_listen/t_accept");
            _exit(1);
        }
        SpxConn c(lfd);
        int st = receiver(c, opt);
        // Stay until the sender has gone, so that it ends the connection.
        char b;
        int flags;
        if (st == 0 && (t_rcv(lfd, &b, 1, &flags) >= 0 || t_errno != TLOOK))
            st = 1;
        _exit(st);
    }
    t_close(lfd);  // the receiver holds the listener now
    if (pid < 0) {
        std::perror("spxbench: fork");
        return false;
    }
    bool ok = false;
    int fd = t_open("/dev/ravspx", O_RDWR, nullptr);
    if (fd >= 0 && t_bind(fd, nullptr, nullptr) == 0) {
        struct t_call call {};
        call.addr.len = ret.addr.len;
        call.addr.buf = addr;
        if (t_connect(fd, &call, nullptr) == 0) {
            SpxConn c(fd);
            ok = sender(c, opt, res);
            if (opt.status)
                show_status(opt, s);
        } else {
            t_error("spxbench: t_connect");
        }
    } else {
        t_error("spxbench: t_open/t_bind (sender)");
    }
    if (fd >= 0)
        t_close(fd);
    if (!ok)
        kill(pid, SIGKILL);
    return reap(pid, "SPX") && ok;
}

// ---- the TCP twin ----

static void nodelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

bool run_tcp(const Options &opt, Result &res)
{
    loopback_up();
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) < 0 ||
        listen(lfd, 1) < 0 || getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &len) < 0) {
        std::perror("spxbench: TCP listener");
        if (lfd >= 0) close(lfd);
        return false;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(kChildLimitS);
        int fd = accept(lfd, nullptr, nullptr);
        if (fd < 0) {
            std::perror("spxbench: accept");
            _exit(1);
        }
        nodelay(fd);
        TcpConn c(fd);
        int st = receiver(c, opt);
        char b;
        if (st == 0 && recv(fd, &b, 1, 0) != 0)
            st = 1;
        _exit(st);
    }
    close(lfd);
    if (pid < 0) {
        std::perror("spxbench: fork");
        return false;
    }
    bool ok = false;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0) {
        nodelay(fd);
        TcpConn c(fd);
        ok = sender(c, opt, res);
    } else {
        std::perror("spxbench: connect");
    }
    if (fd >= 0)
        close(fd);
    if (!ok)
        kill(pid, SIGKILL);
    return reap(pid, "TCP") && ok;
}

// ---- the floor of a request/reply design ----

// One SEQPACKET request of a unit and a 20-byte reply per unit between two
// processes, as between a TLI library and a stack daemon that answers every
// t_snd; MB/s, or -1 on failure.
double run_floor(const Options &opt)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) < 0)
        return -1;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(kChildLimitS);
        close(sv[0]);
        std::vector<char> b(opt.unit_size);
        for (size_t i = 0; i < opt.units; i++)
            if (recv(sv[1], b.data(), b.size(), 0) <= 0 || send(sv[1], b.data(), 20, 0) != 20)
                _exit(1);
        _exit(0);
    }
    close(sv[1]);
    double mbps = -1;
    if (pid > 0) {
        std::vector<char> unit(opt.unit_size, 'u');
        char reply[64];
        auto t0 = Clock::now();
        size_t i = 0;
        for (; i < opt.units; i++) {
            if (send(sv[0], unit.data(), unit.size(), 0) < 0)
                break;
            struct pollfd pf {sv[0], POLLIN, 0};
            if (poll(&pf, 1, -1) < 0 || recv(sv[0], reply, sizeof(reply), 0) <= 0)
                break;
        }
        if (i == opt.units)
            mbps = static_cast<double>(opt.units) * static_cast<double>(opt.unit_size) / us_since(t0);
    }
    close(sv[0]);
    if (pid > 0 && !reap(pid, "Unix socket"))
        mbps = -1;
    return mbps;
}

} // namespace bench
