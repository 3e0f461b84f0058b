// SPX through the stack beside a TCP loopback twin of the same exchange:
// bulk throughput of 2048-byte units and the round-trip time of a small
// unit. Starts its own ipxstackd on a private device directory unless
// IPX_DEVDIR names a running one.
#include <tiuser.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kUnits = 4000;
constexpr int kUnitSize = 2048;
constexpr int kRounds = 2000;
constexpr int kPingSize = 64;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

[[noreturn]] void die(const char *what)
{
    t_error(what);
    std::exit(1);
}

// ---- SPX ------------------------------------------------------------------

struct SpxPair {
    int cli = -1, srv = -1;
};

SpxPair spx_connect()
{
    SpxPair p;
    int lis = t_open("/dev/ravspx", O_RDWR, nullptr);
    if (lis < 0) die("t_open");
    unsigned char addr[12];
    struct t_bind req {}, ret {};
    req.qlen = 1;
    ret.addr.buf = reinterpret_cast<char *>(addr);
    ret.addr.maxlen = sizeof(addr);
    if (t_bind(lis, &req, &ret) < 0) die("t_bind");
    p.cli = t_open("/dev/ravspx", O_RDWR | O_NONBLOCK, nullptr);
    if (p.cli < 0 || t_bind(p.cli, nullptr, nullptr) < 0) die("client");
    struct t_call call {};
    call.addr.buf = reinterpret_cast<char *>(addr);
    call.addr.len = 12;
    t_connect(p.cli, &call, nullptr);
    struct t_call ind {};
    if (t_listen(lis, &ind) < 0 || t_accept(lis, lis, &ind) < 0) die("listen/accept");
    fcntl(p.cli, F_SETFL, fcntl(p.cli, F_GETFL) & ~O_NONBLOCK);
    if (t_rcvconnect(p.cli, nullptr) < 0) die("t_rcvconnect");
    p.srv = lis;
    return p;
}

bool spx_rcv_unit(int fd, char *buf, int size)
{
    int got = 0, flags = T_MORE;
    while (got < size || (flags & T_MORE)) {
        int n = t_rcv(fd, buf + (got < size ? got : 0), static_cast<unsigned>(size - (got < size ? got : 0)), &flags);
        if (n < 0) return false;
        got += n;
        if (!(flags & T_MORE)) break;
    }
    return true;
}

void spx_bench(double &mbps, double &rtt_us)
{
    SpxPair p = spx_connect();
    static char buf[kUnitSize];
    std::memset(buf, 'x', sizeof(buf));
    pid_t pid = fork();
    if (pid == 0) {
        for (int i = 0; i < kUnits; i++)
            if (t_snd(p.cli, buf, kUnitSize, 0) != kUnitSize) _exit(1);
        // Wait for the receiver's word that all arrived.
        int flags;
        char c;
        _exit(t_rcv(p.cli, &c, 1, &flags) == 1 ? 0 : 1);
    }
    auto t0 = Clock::now();
    for (int i = 0; i < kUnits; i++)
        if (!spx_rcv_unit(p.srv, buf, kUnitSize)) die("t_rcv");
    double s = seconds_since(t0);
    t_snd(p.srv, buf, 1, 0);
    waitpid(pid, nullptr, 0);
    mbps = kUnits * static_cast<double>(kUnitSize) / s / 1e6;

    pid = fork();
    if (pid == 0) {
        for (int i = 0; i < kRounds; i++) {
            if (!spx_rcv_unit(p.cli, buf, kPingSize)) _exit(1);
            if (t_snd(p.cli, buf, kPingSize, 0) != kPingSize) _exit(1);
        }
        _exit(0);
    }
    t0 = Clock::now();
    for (int i = 0; i < kRounds; i++) {
        if (t_snd(p.srv, buf, kPingSize, 0) != kPingSize) die("t_snd");
        if (!spx_rcv_unit(p.srv, buf, kPingSize)) die("t_rcv");
    }
    rtt_us = seconds_since(t0) / kRounds * 1e6;
    waitpid(pid, nullptr, 0);
    t_close(p.cli);
    t_close(p.srv);
}

// ---- TCP twin ---------------------------------------------------------------

bool read_all(int fd, char *b, size_t n)
{
    while (n > 0) {
        ssize_t r = read(fd, b, n);
        if (r <= 0) return false;
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_all(int fd, const char *b, size_t n)
{
    while (n > 0) {
        ssize_t r = write(fd, b, n);
        if (r <= 0) return false;
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void tcp_bench(double &mbps, double &rtt_us)
{
    int lis = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    if (bind(lis, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) < 0 || listen(lis, 1) < 0 ||
        getsockname(lis, reinterpret_cast<sockaddr *>(&sa), &len) < 0) {
        perror("tcp");
        std::exit(1);
    }
    int cli = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(cli, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) < 0) {
        perror("connect");
        std::exit(1);
    }
    int srv = accept(lis, nullptr, nullptr);
    close(lis);
    int one = 1;
    setsockopt(cli, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    setsockopt(srv, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    static char buf[kUnitSize];
    std::memset(buf, 'x', sizeof(buf));
    pid_t pid = fork();
    if (pid == 0) {
        for (int i = 0; i < kUnits; i++)
            if (!write_all(cli, buf, kUnitSize)) _exit(1);
        char c;
        _exit(read_all(cli, &c, 1) ? 0 : 1);
    }
    auto t0 = Clock::now();
    for (int i = 0; i < kUnits; i++)
        if (!read_all(srv, buf, kUnitSize)) std::exit(1);
    double s = seconds_since(t0);
    write_all(srv, buf, 1);
    waitpid(pid, nullptr, 0);
    mbps = kUnits * static_cast<double>(kUnitSize) / s / 1e6;
    pid = fork();
    if (pid == 0) {
        for (int i = 0; i < kRounds; i++)
            if (!read_all(cli, buf, kPingSize) || !write_all(cli, buf, kPingSize)) _exit(1);
        _exit(0);
    }
    t0 = Clock::now();
    for (int i = 0; i < kRounds; i++)
        if (!write_all(srv, buf, kPingSize) || !read_all(srv, buf, kPingSize)) std::exit(1);
    rtt_us = seconds_since(t0) / kRounds * 1e6;
    waitpid(pid, nullptr, 0);
    close(cli);
    close(srv);
}

// ---- a private stack ----------------------------------------------------------

pid_t start_stack(std::string &dir)
{
    char tmpl[] = "/tmp/spxbench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        std::exit(1);
    }
    dir = tmpl;
    int p[2];
    if (pipe(p) < 0) std::exit(1);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        std::string fd = std::to_string(p[1]);
        execl(IPXSTACKD_PATH, "ipxstackd", "-f", "--dev-dir", dir.c_str(), "--ready-fd",
              fd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(p[1]);
    char b[8] = {};
    struct pollfd pf {p[0], POLLIN, 0};
    if (poll(&pf, 1, 10000) != 1 || read(p[0], b, sizeof(b)) != 6) {
        std::fprintf(stderr, "spx_bench: ipxstackd did not start (root needed)\n");
        std::exit(1);
    }
    close(p[0]);
    setenv("IPX_DEVDIR", dir.c_str(), 1);
    return pid;
}

} // namespace

int main()
{
    std::string dir;
    pid_t stack = -1;
    if (std::getenv("IPX_DEVDIR") == nullptr)
        stack = start_stack(dir);
    double spx_mbps = 0, spx_rtt = 0, tcp_mbps = 0, tcp_rtt = 0;
    spx_bench(spx_mbps, spx_rtt);
    tcp_bench(tcp_mbps, tcp_rtt);
    std::printf("%-22s %14s %14s\n", "", "SPX (ipxstackd)", "TCP loopback");
    std::printf("%-22s %14.1f %14.1f\n", "bulk, 2048-byte units", spx_mbps, tcp_mbps);
    std::printf("%-22s %14s %14s\n", "  (MB/s)", "", "");
    std::printf("%-22s %14.1f %14.1f\n", "round trip, 64 bytes", spx_rtt, tcp_rtt);
    std::printf("%-22s %14s %14s\n", "  (microseconds)", "", "");
    std::printf("SPX throughput is %.0f%% of TCP loopback's (goal: at least 50%%)\n",
                100.0 * spx_mbps / tcp_mbps);
    if (stack > 0) {
        kill(stack, SIGTERM);
        waitpid(stack, nullptr, 0);
        rmdir(dir.c_str());
    }
    return 0;
}
