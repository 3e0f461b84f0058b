// linkpump: one end of a bulk or round-trip exchange between two hosts,
// over SPX (through the stack named by $IPX_DEVDIR) or over TCP, for the
// link soak test and the link benchmark.
//
//   linkpump serve SOCKET               SPX: serve exchanges on SOCKET (hex)
//   linkpump send NET:NODE:SOCKET BYTES SPX: send BYTES, report the goodput
//   linkpump ping NET:NODE:SOCKET N SIZE
//   linkpump tcp-serve PORT
//   linkpump tcp-send IPV4:PORT BYTES
//   linkpump tcp-ping IPV4:PORT N SIZE
//
// An exchange starts with a 16-byte header: 'B' and the byte count (bulk),
// or 'P', the count and the size (pings). Bulk bytes follow a pattern that
// depends on their offset; the server checks every byte and answers one
// line: "intact N" or "damaged at OFFSET", which the sender prints with the
// goodput ("intact 104857600 bytes 5.21 MB/s"). Pings print the median and
// 99th percentile round trip in microseconds. The server serves one
// exchange after the other until it is killed, and prints each verdict.
#include <tiuser.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kChunk = 8192;

uint8_t pattern(uint64_t i)
{
    return static_cast<uint8_t>(i * 131 + (i >> 8) * 7 + (i >> 16) * 13 + (i >> 24));
}

struct Conn {
    virtual ~Conn() = default;
    virtual bool put(const uint8_t *p, size_t n) = 0;
    virtual long get(uint8_t *p, size_t n) = 0;  // >0 bytes, <=0 end or failure
    bool get_all(uint8_t *p, size_t n)
    {
        for (size_t got = 0; got < n;) {
            long r = get(p + got, n - got);
            if (r <= 0)
                return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
};

struct Spx : Conn {
    int fd;
    explicit Spx(int f) : fd(f) {}
    ~Spx() override { t_close(fd); }
    bool put(const uint8_t *p, size_t n) override
    {
        for (size_t done = 0; done < n;) {
            int r = t_snd(fd, reinterpret_cast<char *>(const_cast<uint8_t *>(p + done)),
                          static_cast<unsigned>(n - done), 0);
            if (r < 0) {
                if (t_errno == TSYSERR && errno == EINTR)
                    continue;
                t_error("linkpump: t_snd");
                return false;
            }
            done += static_cast<size_t>(r);
        }
        return true;
    }
    long get(uint8_t *p, size_t n) override
    {
        int flags = 0;
        for (;;) {
            int r = t_rcv(fd, reinterpret_cast<char *>(p), static_cast<unsigned>(n), &flags);
            if (r < 0 && t_errno == TSYSERR && errno == EINTR)
                continue;
            if (r < 0 && t_errno != TLOOK)
                t_error("linkpump: t_rcv");
            return r;
        }
    }
};

struct Tcp : Conn {
    int fd;
    explicit Tcp(int f) : fd(f) {}
    ~Tcp() override { close(fd); }
    bool put(const uint8_t *p, size_t n) override
    {
        for (size_t done = 0; done < n;) {
            ssize_t r = send(fd, p + done, n - done, MSG_NOSIGNAL);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0) {
                std::perror("linkpump: send");
                return false;
            }
            done += static_cast<size_t>(r);
        }
        return true;
    }
    long get(uint8_t *p, size_t n) override
    {
        for (;;) {
            ssize_t r = recv(fd, p, n, 0);
            if (r < 0 && errno == EINTR)
                continue;
            return static_cast<long>(r);
        }
    }
};

void put64(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; i++)
        p[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}

uint64_t get64(const uint8_t *p)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v = v << 8 | p[i];
    return v;
}

// One exchange on the server side; false when the connection broke.
bool serve_one(Conn &c)
{
    uint8_t h[16];
    if (!c.get_all(h, sizeof h))
        return false;
    if (h[0] == 'P') {
        uint64_t n = get64(h + 1) >> 8, size = h[8] << 8 | h[9];
        std::vector<uint8_t> buf(std::max<uint64_t>(size, 1));
        for (uint64_t i = 0; i < n; i++)
            if (!c.get_all(buf.data(), size) || !c.put(buf.data(), size))
                return false;
        return true;
    }
    uint64_t total = get64(h + 8), got = 0, bad = UINT64_MAX;
    std::vector<uint8_t> buf(65536);
    while (got < total) {
        long r = c.get(buf.data(), std::min<uint64_t>(buf.size(), total - got));
        if (r <= 0)
            break;
        for (long i = 0; i < r && bad == UINT64_MAX; i++)
            if (buf[static_cast<size_t>(i)] != pattern(got + static_cast<uint64_t>(i)))
                bad = got + static_cast<uint64_t>(i);
        got += static_cast<uint64_t>(r);
    }
    char verdict[64];
    if (got < total)
        std::snprintf(verdict, sizeof verdict, "short %llu\n", static_cast<unsigned long long>(got));
    else if (bad != UINT64_MAX)
        std::snprintf(verdict, sizeof verdict, "damaged at %llu\n", static_cast<unsigned long long>(bad));
    else
        std::snprintf(verdict, sizeof verdict, "intact %llu\n", static_cast<unsigned long long>(got));
    std::fputs(verdict, stdout);
    std::fflush(stdout);
    uint8_t len = static_cast<uint8_t>(std::strlen(verdict));
    return c.put(&len, 1) && c.put(reinterpret_cast<uint8_t *>(verdict), len);
}

int bulk(Conn &c, uint64_t total)
{
    uint8_t h[16] = {'B'};
    put64(h + 8, total);
    auto t0 = Clock::now();
    if (!c.put(h, sizeof h))
        return 1;
    std::vector<uint8_t> buf(kChunk);
    for (uint64_t off = 0; off < total;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, total - off));
        for (size_t i = 0; i < n; i++)
            buf[i] = pattern(off + i);
        if (!c.put(buf.data(), n))
            return 1;
        off += n;
    }
    uint8_t len = 0;
    char verdict[256] = {};
    if (!c.get_all(&len, 1) || !c.get_all(reinterpret_cast<uint8_t *>(verdict), len))
        return 1;
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    verdict[len > 0 ? len - 1 : 0] = '\0';
    std::printf("%s bytes %.2f MB/s %.2f s\n", verdict, static_cast<double>(total) / s / 1e6, s);
    return std::strncmp(verdict, "intact", 6) == 0 ? 0 : 1;
}

int ping(Conn &c, uint64_t n, unsigned size)
{
    uint8_t h[16] = {'P'};
    put64(h + 1, n << 8);
    h[8] = static_cast<uint8_t>(size >> 8);
    h[9] = static_cast<uint8_t>(size);
    if (!c.put(h, sizeof h))
        return 1;
    std::vector<uint8_t> buf(std::max(size, 1u), 'p');
    std::vector<double> us;
    for (uint64_t i = 0; i < n; i++) {
        auto t0 = Clock::now();
        if (!c.put(buf.data(), size) || !c.get_all(buf.data(), size))
            return 1;
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    std::printf("rtt median %.0f us p99 %.0f us\n", us[us.size() / 2],
                us[std::min(us.size() - 1, us.size() * 99 / 100)]);
    return 0;
}

bool parse_ipx(const char *text, uint8_t addr[12])
{
    unsigned net = 0, sock = 0;
    char node[13] = {};
    if (std::sscanf(text, "%8x:%12[0-9a-fA-F]:%4x", &net, node, &sock) != 3 || std::strlen(node) != 12)
        return false;
    addr[0] = static_cast<uint8_t>(net >> 24);
    addr[1] = static_cast<uint8_t>(net >> 16);
    addr[2] = static_cast<uint8_t>(net >> 8);
    addr[3] = static_cast<uint8_t>(net);
    for (int i = 0; i < 6; i++) {
        char b[3] = {node[2 * i], node[2 * i + 1], 0};
        addr[4 + i] = static_cast<uint8_t>(std::strtoul(b, nullptr, 16));
    }
    addr[10] = static_cast<uint8_t>(sock >> 8);
    addr[11] = static_cast<uint8_t>(sock);
    return true;
}

int spx_open(uint16_t sock, unsigned qlen)
{
    int fd = t_open("/dev/ravspx", O_RDWR, nullptr);
    if (fd < 0) {
        t_error("linkpump: t_open");
        return -1;
    }
    uint8_t a[12] = {};
    a[10] = static_cast<uint8_t>(sock >> 8);
    a[11] = static_cast<uint8_t>(sock);
    struct t_bind req {};
    req.addr.buf = reinterpret_cast<char *>(a);
    req.addr.len = sock ? 12 : 0;
    req.qlen = qlen;
    if (t_bind(fd, &req, nullptr) < 0) {
        t_error("linkpump: t_bind");
        t_close(fd);
        return -1;
    }
    return fd;
}

int spx_serve(uint16_t sock)
{
    int lfd = spx_open(sock, 1);
    if (lfd < 0)
        return 1;
    std::printf("serving\n");
    std::fflush(stdout);
    for (;;) {
        uint8_t peer[12];
        struct t_call call {};
        call.addr.maxlen = sizeof peer;
        call.addr.buf = reinterpret_cast<char *>(peer);
        if (t_listen(lfd, &call) < 0) {
            if (t_errno == TLOOK) {
                t_rcvdis(lfd, nullptr);
                continue;
            }
            t_error("linkpump: t_listen");
            return 1;
        }
        int fd = spx_open(0, 0);
        if (fd < 0 || t_accept(lfd, fd, &call) < 0) {
            t_error("linkpump: t_accept");
            if (fd >= 0) t_close(fd);
            continue;
        }
        Spx c(fd);
        while (serve_one(c)) {
        }
    }
}

int spx_client(int argc, char **argv, bool is_ping)
{
    uint8_t addr[12];
    if (argc < 4 || !parse_ipx(argv[2], addr))
        return 2;
    int fd = spx_open(0, 0);
    if (fd < 0)
        return 1;
    struct t_call call {};
    call.addr.buf = reinterpret_cast<char *>(addr);
    call.addr.len = 12;
    if (t_connect(fd, &call, nullptr) < 0) {
        t_error("linkpump: t_connect");
        return 1;
    }
    Spx c(fd);
    if (is_ping)
        return argc < 5 ? 2 : ping(c, std::strtoull(argv[3], nullptr, 10), static_cast<unsigned>(std::atoi(argv[4])));
    return bulk(c, std::strtoull(argv[3], nullptr, 10));
}

int tcp_serve(uint16_t port)
{
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (bind(l, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) < 0 || listen(l, 4) < 0) {
        std::perror("linkpump: tcp listen");
        return 1;
    }
    std::printf("serving\n");
    std::fflush(stdout);
    for (;;) {
        int fd = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Tcp c(fd);
        while (serve_one(c)) {
        }
    }
}

int tcp_client(int argc, char **argv, bool is_ping)
{
    if (argc < 4)
        return 2;
    std::string t = argv[2];
    size_t colon = t.find(':');
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    if (colon == std::string::npos || inet_pton(AF_INET, t.substr(0, colon).c_str(), &sa.sin_addr) != 1)
        return 2;
    sa.sin_port = htons(static_cast<uint16_t>(std::atoi(t.c_str() + colon + 1)));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) < 0) {
        std::perror("linkpump: connect");
        return 1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Tcp c(fd);
    if (is_ping)
        return argc < 5 ? 2 : ping(c, std::strtoull(argv[3], nullptr, 10), static_cast<unsigned>(std::atoi(argv[4])));
    return bulk(c, std::strtoull(argv[3], nullptr, 10));
}

} // namespace

int main(int argc, char **argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    int st = 2;
    if (mode == "serve" && argc == 3)
        st = spx_serve(static_cast<uint16_t>(std::strtoul(argv[2], nullptr, 16)));
    else if (mode == "send" || mode == "ping")
        st = spx_client(argc, argv, mode == "ping");
    else if (mode == "tcp-serve" && argc == 3)
        st = tcp_serve(static_cast<uint16_t>(std::atoi(argv[2])));
    else if (mode == "tcp-send" || mode == "tcp-ping")
        st = tcp_client(argc, argv, mode == "tcp-ping");
    if (st == 2)
        std::fprintf(stderr, "usage: linkpump serve SOCKET | send NET:NODE:SOCKET BYTES | "
                             "ping NET:NODE:SOCKET N SIZE\n"
                             "       linkpump tcp-serve PORT | tcp-send IPV4:PORT BYTES | "
                             "tcp-ping IPV4:PORT N SIZE\n");
    return st;
}
