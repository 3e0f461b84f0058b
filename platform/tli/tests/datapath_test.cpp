// The data path under load: readers with buffers smaller than what arrives
// (the stream paused, taken out and handed back), several processes reading
// or writing one endpoint, a connection that ends while data is on its way
// and the next one on the same endpoint, and a burst of callers beyond the
// listener's queue.
#include "tlitest.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <set>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tlitest;

namespace {

class DataPath : public TliTest {};

struct Unit {
    std::string data;
    bool exp = false;
};

// Units of sizes from 1 byte to `max`, random contents; every 9th is
// expedited (at most one packet).
std::vector<Unit> make_units(unsigned seed, int count, size_t max)
{
    std::mt19937 rng(seed);
    std::vector<Unit> units(static_cast<size_t>(count));
    for (size_t i = 0; i < units.size(); i++) {
        units[i].exp = i % 9 == 4;
        size_t len = 1 + rng() % (units[i].exp ? 500 : max);
        units[i].data.resize(len);
        for (char &ch : units[i].data)
            ch = static_cast<char>(rng());
    }
    return units;
}

bool readable(int fd, int ms)
{
    struct pollfd p {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1 && (p.revents & POLLIN);
}

// A child process that sends `units` on `fd` (blocking), then closes.
pid_t send_all(int fd, const std::vector<Unit> &units)
{
    pid_t pid = fork();
    if (pid == 0) {
        for (const Unit &u : units) {
            int n = t_snd(fd, const_cast<char *>(u.data.data()), static_cast<unsigned>(u.data.size()),
                          u.exp ? T_EXPEDITED : 0);
            if (n != static_cast<int>(u.data.size())) {
                fprintf(stderr, "sender: t_snd %d t_errno %d errno %d\n", n, t_errno, errno);
                _exit(1);
            }
        }
        if (t_close(fd) != 0) {
            fprintf(stderr, "sender: t_close t_errno %d errno %d\n", t_errno, errno);
            _exit(2);
        }
        _exit(0);
    }
    return pid;
}

// A child process, killed and collected if the test ends before it does.
struct Child {
    pid_t pid = -1;
    Child() = default;
    explicit Child(pid_t p) : pid(p) {}
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    Child &operator=(pid_t p)
    {
        pid = p;
        return *this;
    }
    ~Child()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // Waits (bounded) for the child to end with status 0.
    void expect_exit0(int ms = 30000)
    {
        int pfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        struct pollfd p {pfd, POLLIN, 0};
        if (pfd < 0 || poll(&p, 1, ms) != 1) {
            ADD_FAILURE() << "child " << pid << " did not end";
        } else {
            int st = -1;
            waitpid(pid, &st, 0);
            pid = -1;
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "child status " << st;
        }
        if (pfd >= 0)
            close(pfd);
    }
};

} // namespace

// A reader whose buffer is mostly smaller than what waits, while the peer
// keeps sending: every unit arrives whole, in order, with its expedited
// mark on each piece; poll says readable whenever the rest of a unit is
// due; a larger buffer after a small one gets larger pieces again; the
// disconnect comes after the last byte.
TEST_F(DataPath, SmallBuffersWhileDataKeepsComing)
{
    Conn c = connect_pair();
    const std::vector<Unit> units = make_units(7, 400, 9000);
    Child sender(send_all(c.cli, units));
    t_close(c.cli);
    c.cli = -1;

    std::mt19937 rng(11);
    const size_t sizes[] = {1, 2, 17, 533, 534, 535, 1000, 4096};
    std::vector<char> buf(65536);
    std::string cur;
    size_t k = 0;
    bool cur_exp = false;
    // About 2 MB in reads of 750 bytes on average: after a 1-byte read the
    // pieces must grow again, or 20,000 reads are far from enough.
    for (int reads = 0; reads < 20000; reads++) {
        ASSERT_TRUE(readable(c.srv, 10000)) << "nothing readable after unit " << k;
        size_t bs = rng() % 4 == 0 ? sizes[rng() % 8] : 1 + rng() % 1500;
        int flags = 0;
        int n = t_rcv(c.srv, buf.data(), static_cast<unsigned>(bs), &flags);
        if (n < 0) {
            ASSERT_EQ(t_errno, TLOOK) << "unit " << k << " buffer " << bs << " look " << t_look(c.srv);
            break;
        }
        ASSERT_LE(static_cast<size_t>(n), bs);
        ASSERT_LT(k, units.size());
        if (cur.empty())
            cur_exp = (flags & T_EXPEDITED) != 0;
        EXPECT_EQ(cur_exp, (flags & T_EXPEDITED) != 0) << "unit " << k << " changed its mark";
        cur.append(buf.data(), static_cast<size_t>(n));
        if (flags & T_MORE)
            continue;
        ASSERT_EQ(cur.size(), units[k].data.size()) << "unit " << k;
        ASSERT_TRUE(cur == units[k].data) << "unit " << k << " differs";
        EXPECT_EQ(cur_exp, units[k].exp) << "unit " << k;
        cur.clear();
        k++;
    }
    EXPECT_TRUE(cur.empty());
    EXPECT_EQ(k, units.size());
    EXPECT_EQ(t_look(c.srv), T_DISCONNECT);
    sender.expect_exit0();
    c.close_all();
}

// Two reader processes on one endpoint, with small buffers of their own,
// while the peer sends units of the bytes 0, 1, 2, ...: both end on the
// disconnect, and what they wrote to `out` (O_APPEND, each read's bytes at
// once) is returned. With `turns`, each read is made under a lock.
std::string two_readers(bool turns)
{
    Conn c = connect_pair();
    std::string sent;
    std::mt19937 rng(5);
    std::vector<Unit> units(250);
    for (size_t i = 0; i < units.size(); i++) {
        units[i].data.assign(1 + rng() % 3000, static_cast<char>(i));
        sent += units[i].data;
    }
    testsupport::TempDir dir;
    std::string path = dir / "out";
    int out = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND, 0600);
    const std::string lock_path = dir / "lock";
    EXPECT_GE(out, 0);
    Child readers[2];
    for (int r = 0; r < 2; r++) {
        readers[r] = fork();
        if (readers[r].pid == 0) {
            t_close(c.cli);  // the caller's end closes with the sender's close
            // A lock of its own (one open file shared by both would not
            // keep them apart).
            int lock = open(lock_path.c_str(), O_RDWR | O_CREAT, 0600);
            std::mt19937 mine(static_cast<unsigned>(100 + r));
            char b[700];
            for (;;) {
                if (turns)
                    flock(lock, LOCK_EX);
                int flags = 0;
                int n = t_rcv(c.srv, b, 1 + mine() % sizeof(b), &flags);
                if (n > 0 && write(out, b, static_cast<size_t>(n)) != n)
                    _exit(3);
                if (turns)
                    flock(lock, LOCK_UN);
                if (n < 0) {
                    if (t_errno == TLOOK && t_look(c.srv) == T_DISCONNECT)
                        _exit(0);
                    fprintf(stderr, "reader %d: t_errno %d look %d\n", r, t_errno, t_look(c.srv));
                    _exit(2);
                }
            }
        }
    }
    Child sender(send_all(c.cli, units));
    t_close(c.cli);
    c.cli = -1;
    sender.expect_exit0();
    for (Child &r : readers)
        r.expect_exit0();
    EXPECT_EQ(t_look(c.srv), T_DISCONNECT);
    c.close_all();
    std::string got(sent.size() + 1, '\0');
    ssize_t n = pread(out, got.data(), got.size(), 0);
    got.resize(n > 0 ? static_cast<size_t>(n) : 0);
    close(out);
    EXPECT_EQ(got.size(), sent.size());
    return got;
}

// Readers that take turns get the stream in its order, whatever their
// buffers; readers at once (their hand-backs meet) get every byte exactly
// once between them.
TEST_F(DataPath, TwoReadersShareTheStream)
{
    std::string sent;
    {
        std::mt19937 rng(5);
        for (int i = 0; i < 250; i++)
            sent.append(1 + rng() % 3000, static_cast<char>(i));
    }
    EXPECT_TRUE(two_readers(true) == sent) << "readers taking turns saw another order";
    std::string got = two_readers(false);
    std::sort(got.begin(), got.end(), [](char a, char b) {
        return static_cast<unsigned char>(a) < static_cast<unsigned char>(b);
    });
    EXPECT_TRUE(got == sent) << "readers at once lost or doubled bytes";
}

// Two processes send whole units on one endpoint at once: every unit
// arrives unmixed with the other process's, each process's in its order.
TEST_F(DataPath, TwoWritersShareOneEndpoint)
{
    Conn c = connect_pair();
    const int kEach = 300;
    Child writers[2];
    for (int w = 0; w < 2; w++) {
        writers[w] = fork();
        if (writers[w].pid == 0) {
            std::mt19937 rng(static_cast<unsigned>(w + 1));
            for (int i = 0; i < kEach; i++) {
                std::string u(4 + rng() % 4093, static_cast<char>('a' + w));
                u[0] = static_cast<char>(w);
                u[1] = static_cast<char>(i >> 8);
                u[2] = static_cast<char>(i);
                if (t_snd(c.srv, u.data(), static_cast<unsigned>(u.size()), 0) != static_cast<int>(u.size()))
                    _exit(1);
            }
            _exit(0);
        }
    }
    int next[2] = {0, 0};
    std::vector<char> buf(1500);
    std::string u;
    while (next[0] + next[1] < 2 * kEach) {
        int flags = 0;
        int n = t_rcv(c.cli, buf.data(), static_cast<unsigned>(buf.size()), &flags);
        ASSERT_GT(n, 0) << "t_errno " << t_errno;
        u.append(buf.data(), static_cast<size_t>(n));
        if (flags & T_MORE)
            continue;
        ASSERT_GE(u.size(), 4u);
        int w = u[0];
        ASSERT_TRUE(w == 0 || w == 1);
        int i = (static_cast<unsigned char>(u[1]) << 8) | static_cast<unsigned char>(u[2]);
        ASSERT_EQ(i, next[w]) << "writer " << w;
        next[w]++;
        ASSERT_EQ(u.substr(3), std::string(u.size() - 3, static_cast<char>('a' + w)))
            << "writer " << w << " unit " << i << " mixed";
        u.clear();
    }
    for (Child &w : writers)
        w.expect_exit0();
    c.close_all();
}

// A listener that takes calls itself ends a connection while the peer is
// still sending and unread data waits: the next connection on the same
// endpoint starts clean, with none of the old data and no old disconnect.
TEST_F(DataPath, NextConnectionOnTheSameEndpointStartsClean)
{
    Conn c = connect_pair(true);
    Child flood(fork());
    if (flood.pid == 0) {
        std::string old(1000, 'o');
        while (t_snd(c.cli, old.data(), 1000, 0) > 0) {
        }
        _exit(0);
    }
    ASSERT_TRUE(readable(c.lis, 5000));
    ASSERT_EQ(t_snddis(c.lis, nullptr), 0) << "t_errno " << t_errno;
    EXPECT_EQ(t_getstate(c.lis), T_IDLE);
    flood.expect_exit0(10000);  // its blocked send ends with the connection
    t_close(c.cli);
    c.cli = -1;

    for (int round = 0; round < 3; round++) {
        int cli = call_to(c.lis_addr);
        Addr from{};
        struct t_call ind {};
        ind.addr.buf = reinterpret_cast<char *>(from.data());
        ind.addr.maxlen = 12;
        ASSERT_EQ(t_listen(c.lis, &ind), 0) << "t_errno " << t_errno;
        ASSERT_EQ(t_accept(c.lis, c.lis, &ind), 0) << "t_errno " << t_errno;
        set_nonblock(cli, false);
        ASSERT_EQ(t_rcvconnect(cli, nullptr), 0);
        std::string hello = "new " + std::to_string(round);
        ASSERT_EQ(t_snd(cli, hello.data(), static_cast<unsigned>(hello.size()), 0),
                  static_cast<int>(hello.size()));
        char b[64];
        int flags = 0;
        int n = t_rcv(c.lis, b, sizeof(b), &flags);
        ASSERT_GT(n, 0) << "t_errno " << t_errno << " look " << t_look(c.lis);
        EXPECT_EQ(std::string(b, static_cast<size_t>(n)), hello);
        // Sends of the listener reach this caller, not an old one.
        ASSERT_EQ(t_snd(c.lis, const_cast<char *>("ok"), 2, 0), 2);
        EXPECT_EQ(rcv_exactly(cli, 2), "ok");
        // This time the caller ends it with data unread at the listener:
        // what arrives of it comes before the disconnect.
        ASSERT_EQ(t_snd(cli, const_cast<char *>("left over"), 9, 0), 9);
        ASSERT_EQ(t_snddis(cli, nullptr), 0);
        std::string rest;
        for (int i = 0; i < 100 && t_look(c.lis) != T_DISCONNECT; i++) {
            ASSERT_TRUE(readable(c.lis, 5000));
            if (t_look(c.lis) == T_DATA) {
                n = t_rcv(c.lis, b, sizeof(b), &flags);
                ASSERT_GT(n, 0);
                rest.append(b, static_cast<size_t>(n));
            }
        }
        EXPECT_EQ(std::string("left over").substr(0, rest.size()), rest);
        ASSERT_EQ(t_look(c.lis), T_DISCONNECT);
        ASSERT_EQ(t_rcvdis(c.lis, nullptr), 0);
        EXPECT_EQ(t_getstate(c.lis), T_IDLE);
        t_close(cli);
    }
    c.close_all();
}

// 60 callers at once at a listener with a queue of 2: the rest wait beyond
// the queue and are answered in turn as places come free; one that gives up
// while waiting is never offered. Every other caller ends up connected.
TEST_F(DataPath, BurstBeyondTheListenersQueue)
{
    int lis = open_ep("/dev/ravspx");
    Addr la = bind_ep(lis, 2);
    const int kCallers = 60, kQuitter = 20;
    std::vector<int> callers;
    std::vector<Addr> addrs;
    for (int i = 0; i < kCallers; i++) {
        addrs.emplace_back();
        callers.push_back(call_to(la, &addrs.back()));
    }
    // The quitter withdraws its request while it waits beyond the queue.
    ASSERT_EQ(t_snddis(callers[kQuitter], nullptr), 0) << "t_errno " << t_errno;
    // A server as TLI wants it: every indication that waits is taken with
    // t_listen before one is accepted (t_accept says TLOOK otherwise).
    std::set<Addr> offered;
    std::vector<int> pending, servers;
    set_nonblock(lis, true);
    while (servers.size() < static_cast<size_t>(kCallers - 1)) {
        Addr from{};
        struct t_call ind {};
        ind.addr.buf = reinterpret_cast<char *>(from.data());
        ind.addr.maxlen = 12;
        if (t_listen(lis, &ind) == 0) {
            EXPECT_NE(from, addrs[kQuitter]) << "the caller that gave up was offered";
            EXPECT_TRUE(offered.insert(from).second) << "offered twice";
            pending.push_back(ind.sequence);
            continue;
        }
        ASSERT_TRUE(t_errno == TNODATA || t_errno == TLOOK) << "t_errno " << t_errno;
        ASSERT_NE(t_look(lis), T_DISCONNECT) << "a caller withdrew after it was offered";
        if (pending.empty()) {
            ASSERT_TRUE(readable(lis, 10000)) << "no call after " << servers.size();
            continue;
        }
        int srv = open_ep("/dev/ravspx");
        bind_ep(srv, 0);
        ind.sequence = pending.back();
        if (t_accept(lis, srv, &ind) != 0) {
            ASSERT_EQ(t_errno, TLOOK);  // another call came in: listen first
            t_close(srv);
            continue;
        }
        pending.pop_back();
        servers.push_back(srv);
    }
    for (int i = 0; i < kCallers; i++) {
        if (i == kQuitter)
            continue;
        set_nonblock(callers[i], false);
        EXPECT_EQ(t_rcvconnect(callers[i], nullptr), 0) << "caller " << i << " t_errno " << t_errno;
    }
    // Nothing more waits.
    struct t_call ind {};
    EXPECT_EQ(t_listen(lis, &ind), -1);
    EXPECT_EQ(t_errno, TNODATA);
    for (int fd : servers)
        t_close(fd);
    for (int fd : callers)
        t_close(fd);
    t_close(lis);
}
