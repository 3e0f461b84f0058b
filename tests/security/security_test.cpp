// What an ordinary local user can do against the terminal service. Each
// case plays one attack from a process running as uid 65534 (forked from the
// test, then setuid) against the real stack, Ombrad and Zelptyd (running
// Zeltty with a shell), as root in private mount and network namespaces.
// Every case checks that the attack fails and that the service is still
// advertised, reachable and served by root.
#include "proto.h"
#include "sapclient.h"
#include "testproc.h"

#include <gtest/gtest.h>
#include <tiuser.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>

using namespace testsupport;
using namespace tliproto;

namespace {

const std::string kBin = "/opt/DRAXipx/bin";
const char *const kService = "ZELTEST";
constexpr uid_t kNobody = 65534;
constexpr uint16_t kPtydSocket = 0x8063;
// The default limits of an ordinary user (documented in docs/security.md).
constexpr int kUserEndpoints = 256;
constexpr int kUserSockets = 128;
constexpr size_t kUserHeld = 4u << 20;

// A local address: network 0 and node 0 stand for this host's.
std::array<uint8_t, 12> local_addr(uint16_t socket)
{
    std::array<uint8_t, 12> a{};
    a[10] = static_cast<uint8_t>(socket >> 8);
    a[11] = static_cast<uint8_t>(socket);
    return a;
}

std::string hex_addr(const uint8_t *a)
{
    char b[32];
    std::snprintf(b, sizeof b, "%02x%02x%02x%02x:%02x%02x%02x%02x%02x%02x:%02x%02x", a[0], a[1],
                  a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11]);
    return b;
}

// Opens and binds an endpoint; -1 on failure. `bound` gets the address.
int open_bound(const char *dev, uint16_t socket, unsigned qlen = 0, uint8_t *bound = nullptr,
               int oflag = O_RDWR)
{
    int fd = t_open(dev, oflag, nullptr);
    if (fd < 0)
        return -1;
    auto a = local_addr(socket);
    struct t_bind req {}, ret {};
    req.addr.buf = reinterpret_cast<char *>(a.data());
    req.addr.len = socket ? 12 : 0;
    req.qlen = qlen;
    uint8_t got[12];
    ret.addr.buf = reinterpret_cast<char *>(got);
    ret.addr.maxlen = 12;
    if (t_bind(fd, &req, &ret) < 0) {
        int te = t_errno;
        t_close(fd);
        t_errno = te;
        return -1;
    }
    if (bound != nullptr)
        std::memcpy(bound, got, 12);
    return fd;
}

bool readable(int fd, std::chrono::milliseconds limit)
{
    struct pollfd p {fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(limit.count())) > 0;
}

std::string read_link(const std::string &path)
{
    char b[256];
    ssize_t n = readlink(path.c_str(), b, sizeof b - 1);
    return std::string(b, n > 0 ? static_cast<size_t>(n) : 0);
}

// True when some ancestor of this process lives in other mount and network
// namespaces than this one (the test was started under unshare).
bool in_private_namespaces()
{
    const std::string mnt = read_link("/proc/self/ns/mnt"), net = read_link("/proc/self/ns/net");
    for (pid_t p = getppid(); p > 1;) {
        std::string dir = "/proc/" + std::to_string(p);
        std::string m = read_link(dir + "/ns/mnt"), n = read_link(dir + "/ns/net");
        if (!m.empty() && m != mnt && !n.empty() && n != net)
            return true;
        std::string st = read_file(dir + "/stat");
        size_t paren = st.rfind(')');
        p = paren == std::string::npos ? 0 : std::atoi(st.c_str() + paren + 4);
    }
    return false;
}

// Resident size of a process in KiB (0 when unknown).
long rss_kib(pid_t pid)
{
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

// Number of a status line "NAME: N" (-1 when absent).
long status_count(const std::string &status, const std::string &name)
{
    size_t at = status.find("\n" + name + ": ");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + name.size() + 3, nullptr, 10);
}

// One raw request on an endpoint's socket (as a program could send it
// without the library), with a descriptor attached when pass >= 0; the
// header of its reply (type 0 when none came).
Header raw_call(int fd, uint16_t type, uint16_t flags, const Writer &body, int pass = -1)
{
    static uint32_t reqid = 0x7000;
    uint32_t id = ++reqid;
    auto msg = build(type, flags, id, 0, 0, body.data());
    OutMessage om(msg, pass);
    if (sendmsg(fd, &om.mh, MSG_NOSIGNAL) != static_cast<ssize_t>(msg.size()))
        return Header{};
    std::vector<uint8_t> buf(kMaxMessage);
    while (readable(fd, std::chrono::milliseconds(10000))) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n < static_cast<ssize_t>(kHeaderLen))
            break;
        Header h = get_header(buf.data());
        if (h.reqid == id)
            return h;
    }
    return Header{};
}

// Lines between the test and a child (a stream socket pair).
class Channel {
public:
    explicit Channel(int fd) : fd_(fd) {}
    ~Channel() { close(fd_); }
    void say(const std::string &line)
    {
        std::string l = line + "\n";
        ssize_t n = write(fd_, l.data(), l.size());
        (void)n;
    }
    // The next line; "" on time-out or when the other side is gone.
    std::string hear(std::chrono::milliseconds limit = std::chrono::milliseconds(60000))
    {
        auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            size_t nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readable(fd_, left))
                return "";
            char b[4096];
            ssize_t n = read(fd_, b, sizeof b);
            if (n <= 0)
                return "";
            buf_.append(b, static_cast<size_t>(n));
        }
    }

private:
    int fd_;
    std::string buf_;
};

// A process of an ordinary user. Forked from the test; it keeps only the
// descriptors named in `keep` (as if passed to it), raises its descriptor
// limit to `nofile` while still root, then becomes `uid`. `body` runs in it
// and talks to the test over the channel; its result is the exit status.
class Attacker {
public:
    using Body = std::function<int(Channel &)>;
    explicit Attacker(const Body &body, uid_t uid = kNobody, std::vector<int> keep = {},
                      rlim_t nofile = 0)
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            keep.push_back(sv[1]);
            for (int fd : open_fds(getpid()))
                if (fd > 2 && std::find(keep.begin(), keep.end(), fd) == keep.end())
                    close(fd);
            if (nofile > 0) {
                struct rlimit rl {nofile, nofile};
                setrlimit(RLIMIT_NOFILE, &rl);
            }
            if (setgroups(0, nullptr) < 0 || setgid(uid) < 0 || setuid(uid) < 0 || getuid() != uid)
                _exit(99);
            Channel ch(sv[1]);
            _exit(body(ch));
        }
        close(sv[1]);
        chan_ = std::make_unique<Channel>(sv[0]);
    }
    ~Attacker() { leave(); }
    Attacker(const Attacker &) = delete;
    Attacker &operator=(const Attacker &) = delete;

    std::string hear() { return chan_ ? chan_->hear() : ""; }
    void say(const std::string &line)
    {
        if (chan_)
            chan_->say(line);
    }
    // How it ended, for messages: "exit N", "signal N", or "running".
    std::string ended()
    {
        int st = 0;
        if (pid_ <= 0 || waitpid(pid_, &st, WNOHANG) != pid_)
            return "running";
        pid_ = -1;
        return WIFEXITED(st) ? "exit " + std::to_string(WEXITSTATUS(st))
                             : "signal " + std::to_string(WTERMSIG(st));
    }
    // Killed at once: every descriptor it held is closed by the kernel.
    void leave()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    std::unique_ptr<Channel> chan_;
};

// "key=value" fields of a report line.
long field(const std::string &line, const std::string &key)
{
    std::smatch m;
    if (!std::regex_search(line, m, std::regex("(^| )" + key + "=(-?[0-9]+)")))
        return LONG_MIN;
    return std::strtol(m[2].str().c_str(), nullptr, 10);
}

std::string report(const char *what, int r)
{
    return std::string(what) + "=" + std::to_string(r) + " " + what + "_terr=" +
           std::to_string(r < 0 ? t_errno : 0) + " " + what + "_errno=" + std::to_string(r < 0 ? errno : 0);
}

// The whole service as it runs on a host: the stack, Ombrad and Zelptyd
// (running Zeltty with a shell), each started and waited for.
class LocalAttacks : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Only ever in namespaces of our own (ctest runs it under unshare).
        if (!in_private_namespaces())
            GTEST_SKIP() << "not in private mount and network namespaces";
        std::string why;
        if (!enter_sandbox(why))
            GTEST_SKIP() << why;
        // Orphaned connection programs become ours, so TearDown collects them.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        Proc lo({"/bin/sh", "-c", "ip link set lo up"});
        lo.wait_exit();
        for (const auto &[from, name] :
             {std::pair{ZELTTY_PATH, "Zeltty"}, std::pair{ZELPTYD_PATH, "Zelptyd"}})
            ASSERT_TRUE(copy_file(from, kBin + "/" + name)) << name;
        // Other users reach the devices, as in /dev.
        chmod(dev_.path().c_str(), 0755);
        env_ = {{"IPX_DEVDIR", dev_.path()}};
        setenv("IPX_DEVDIR", dev_.path().c_str(), 1);
        ASSERT_TRUE(start_ready(stack_, {IPXSTACKD_PATH, "-f", "--dev-dir", dev_.path(), "--net", "ABCD"}, why))
            << why;
        ASSERT_TRUE(start_ready(ombrad_, {OMBRAD_PATH, "-f"}, why)) << why;
        Proc::Options o;
        o.env = env_;
        o.cwd = kBin;
        Proc ptyd({kBin + "/Zelptyd", "-n", "zeltest", "/bin/sh"}, o);
        ASSERT_EQ(ptyd.wait_exit(10s), 0) << ptyd.err() << ptyd.out();
        started_ptyd_ = true;
        ASSERT_TRUE(wait_until([&] { return advertised(); }, 20s)) << "never advertised";
        ptyd_pid_ = std::atoi(read_file(kBin + "/ptyd.pid").c_str());
        ASSERT_GT(ptyd_pid_, 1);
        baseline_rss_ = rss_kib(stack_.pid());
    }

    void TearDown() override
    {
        if (started_ptyd_) {
            Proc::Options o;
            o.env = env_;
            Proc k({kBin + "/Zelptyd", "-k"}, o);
            k.wait_exit();
        }
        for (Proc *p : {&ombrad_, &stack_})
            if (p->pid() > 0) {
                p->signal(SIGTERM);
                p->wait_exit();
            }
        // Whatever else we inherited (connection programs): end and collect.
        for (int round = 0; round < 100; round++) {
            bool any = false;
            if (DIR *d = opendir("/proc")) {
                while (struct dirent *e = readdir(d)) {
                    pid_t p = std::atoi(e->d_name);
                    std::string st = p > 0 ? read_file("/proc/" + std::string(e->d_name) + "/stat") : "";
                    size_t paren = st.rfind(')');
                    if (paren != std::string::npos && std::atoi(st.c_str() + paren + 4) == getpid()) {
                        kill(p, SIGKILL);
                        any = true;
                    }
                }
                closedir(d);
            }
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            if (!any)
                break;
            wait_until([] { return waitpid(-1, nullptr, WNOHANG) > 0; }, 100ms);
        }
    }

    bool start_ready(Proc &p, const std::vector<std::string> &argv, std::string &why)
    {
        Proc::Options o;
        o.env = env_;
        return testsupport::start_ready(p, argv, o, 10s, why);
    }

    // `ipxstackd -s` as root.
    std::string status()
    {
        Proc p({IPXSTACKD_PATH, "-s", "--dev-dir", dev_.path()});
        p.wait_exit(10s);
        return p.out();
    }

    // Ombrad knows the service at Zelptyd's socket.
    bool advertised()
    {
        sap::Service s{};
        std::string err;
        return sap::find_service(kService, 0xFFFF, 1500, s, err) == 0 && s.addr[10] == 0x80 &&
               s.addr[11] == 0x63;
    }

    // A root caller's connection to Zelptyd is accepted.
    bool service_answers()
    {
        int fd = open_bound("/dev/ravspx", 0, 0, nullptr, O_RDWR | O_NONBLOCK);
        if (fd < 0)
            return false;
        auto a = local_addr(kPtydSocket);
        struct t_call call {};
        call.addr.buf = reinterpret_cast<char *>(a.data());
        call.addr.len = 12;
        bool ok = t_connect(fd, &call, nullptr) < 0 && t_errno == TNODATA && readable(fd, 20s) &&
                  t_look(fd) == T_CONNECT && t_rcvconnect(fd, nullptr) == 0;
        t_close(fd);
        return ok;
    }

    // The service survived: Zelptyd runs, is advertised, answers, and the
    // socket it listens on is root's.
    void expect_service_ok()
    {
        EXPECT_EQ(kill(ptyd_pid_, 0), 0) << "Zelptyd is gone";
        EXPECT_TRUE(advertised()) << "the service is no longer advertised";
        EXPECT_TRUE(service_answers()) << "the service does not answer";
        std::string st = status();
        EXPECT_TRUE(std::regex_search(st, std::regex(":8063[^\n]* user 0\n"))) << st;
    }

    TempDir dev_;
    std::vector<std::pair<std::string, std::string>> env_;
    Proc stack_, ombrad_;
    bool started_ptyd_ = false;
    pid_t ptyd_pid_ = -1;
    long baseline_rss_ = 0;
};

// A caller that withdraws its calls after the listener took them leaves
// disconnects behind: t_accept says TLOOK (never TOUTSTATE, which a listener
// would take for a fault of its own and stop).
TEST_F(LocalAttacks, WithdrawnCallsLeaveDisconnectsNotStateErrors)
{
    uint8_t laddr[12];
    int lis = open_bound("/dev/ravspx", 0x9000, 2, laddr);
    ASSERT_GE(lis, 0);
    Attacker caller([&](Channel &ch) {
        int c[2];
        for (int &fd : c) {
            fd = open_bound("/dev/ravspx", 0, 0, nullptr, O_RDWR | O_NONBLOCK);
            struct t_call call {};
            call.addr.buf = reinterpret_cast<char *>(laddr);
            call.addr.len = 12;
            if (fd < 0 || t_connect(fd, &call, nullptr) == 0 || t_errno != TNODATA)
                return 1;
        }
        ch.say("calling");
        if (ch.hear() != "withdraw")
            return 1;
        for (int fd : c)
            t_close(fd);
        ch.say("withdrawn");
        ch.hear();
        return 0;
    });
    ASSERT_EQ(caller.hear(), "calling");
    struct t_call ind[2] {};
    for (auto &i : ind)
        ASSERT_EQ(t_listen(lis, &i), 0) << t_errno;
    caller.say("withdraw");
    ASSERT_EQ(caller.hear(), "withdrawn");
    ASSERT_TRUE(wait_until([&] { return std::regex_search(status(), std::regex(" disconnects 2[ \n]")); }, 10s))
        << status();

    struct t_discon dis {};
    ASSERT_EQ(t_rcvdis(lis, &dis), 0);
    EXPECT_EQ(dis.sequence, ind[0].sequence);
    EXPECT_EQ(t_getstate(lis), T_INCON);  // the second call is still outstanding
    int res = open_bound("/dev/ravspx", 0);
    ASSERT_GE(res, 0);
    EXPECT_EQ(t_accept(lis, res, &ind[1]), -1);
    EXPECT_EQ(t_errno, TLOOK);
    EXPECT_EQ(t_look(lis), T_DISCONNECT);
    ASSERT_EQ(t_rcvdis(lis, &dis), 0);
    EXPECT_EQ(dis.sequence, ind[1].sequence);
    EXPECT_EQ(t_getstate(lis), T_IDLE);
    t_close(res);
    t_close(lis);
    expect_service_ok();
}

// Connections to the device sockets that never send their request are
// limited per user: a user holding hundreds cannot keep root (Zelptyd
// opening an endpoint for its next caller) or another user from t_open.
TEST_F(LocalAttacks, IdleDeviceConnectionsBlockOnlyTheirOwner)
{
    Attacker idler([&](Channel &ch) {
        std::vector<int> socks;
        std::string path = dev_.path() + "/ravspx";
        struct sockaddr_un sa {};
        sa.sun_family = AF_UNIX;
        std::strcpy(sa.sun_path, path.c_str());
        for (int i = 0; i < 200; i++) {
            int s = socket(AF_UNIX, SOCK_SEQPACKET, 0);
            if (s < 0 || connect(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) < 0)
                return 1;
            socks.push_back(s);
        }
        ch.say("connected");
        ch.hear();
        // Beyond its own limit, the stack closed them at once.
        int closed = 0;
        for (int s : socks) {
            char c;
            closed += readable(s, 0ms) && recv(s, &c, 1, MSG_DONTWAIT) == 0;
        }
        ch.say("closed=" + std::to_string(closed));
        ch.hear();
        return 0;
    }, kNobody, {}, 1024);
    ASSERT_EQ(idler.hear(), "connected");

    int fd = t_open("/dev/ravspx", O_RDWR, nullptr);
    EXPECT_GE(fd, 0) << "root's t_open: " << t_errno << " " << errno;
    t_close(fd);
    Attacker other([&](Channel &ch) {
        int r = t_open("/dev/ravitp", O_RDWR, nullptr);
        ch.say(report("open", r));
        return 0;
    }, kNobody - 1);
    std::string got = other.hear();
    EXPECT_GE(field(got, "open"), 0) << "another user's t_open: " << got;

    idler.say("count");
    got = idler.hear();
    EXPECT_GE(field(got, "closed"), 200 - 8) << got;
    expect_service_ok();
}

// Blocked t_snd requests hold their data in the daemon: only so much per
// endpoint and per user, beyond which the daemon leaves further sends in
// the socket. All of it is given back when the user leaves.
TEST_F(LocalAttacks, HeldSendDataIsBoundedAndReturned)
{
    constexpr int kConns = 32;
    constexpr int kSends = 16;  // raw requests per endpoint, 64 KiB each
    Attacker sender([&](Channel &ch) {
        uint8_t la[12];
        int lis = open_bound("/dev/ravspx", 0, kConns, la);
        std::vector<int> callers, accepted;
        for (int i = 0; i < kConns; i++) {
            int c = open_bound("/dev/ravspx", 0, 0, nullptr, O_RDWR | O_NONBLOCK);
            struct t_call call {};
            call.addr.buf = reinterpret_cast<char *>(la);
            call.addr.len = 12;
            if (lis < 0 || c < 0 || t_connect(c, &call, nullptr) == 0 || t_errno != TNODATA)
                return 1;
            callers.push_back(c);
        }
        std::vector<struct t_call> inds(kConns);
        for (auto &ind : inds)
            if (t_listen(lis, &ind) < 0)
                return 2;
        for (auto &ind : inds) {
            int a = open_bound("/dev/ravspx", 0);
            if (a < 0 || t_accept(lis, a, &ind) < 0)
                return 2;
            accepted.push_back(a);  // never read
        }
        for (int c : callers) {
            fcntl(c, F_SETFL, fcntl(c, F_GETFL) & ~O_NONBLOCK);
            if (t_rcvconnect(c, nullptr) < 0)
                return 3;
        }
        ch.say("connected");
        // Every caller's socket gets the sends, as fast as the daemon takes them.
        Writer body;
        body.i32(0).bytes(std::vector<uint8_t>(kMaxData, 'x').data(), kMaxData);
        std::vector<int> left(kConns, kSends);
        uint32_t reqid = 1;
        for (;;) {
            std::vector<struct pollfd> p;
            for (int i = 0; i < kConns; i++)
                if (left[i] > 0)
                    p.push_back({callers[i], POLLOUT, 0});
            if (p.empty())
                break;
            if (poll(p.data(), p.size(), -1) < 0)
                return 4;
            for (int i = 0; i < kConns; i++) {
                while (left[i] > 0) {
                    auto msg = build(kSnd, kFlagBlock, reqid++, 0, 0, body.data());
                    if (send(callers[i], msg.data(), msg.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
                        break;
                    left[i]--;
                }
            }
        }
        ch.say("all sent");
        ch.hear();
        return 0;
    });
    ASSERT_EQ(sender.hear(), "connected") << sender.ended();

    // The daemon reads sends until the user's held data reaches its limit
    // (or, without a limit, until it has taken everything).
    long grown = 0;
    std::string st;
    ASSERT_TRUE(wait_until([&] {
        st = status();
        grown = rss_kib(stack_.pid()) - baseline_rss_;
        return status_count(st, "held send data") >= static_cast<long>(kUserHeld) || grown > 24 * 1024;
    }, 60s)) << st;
    long held = status_count(st, "held send data");
    EXPECT_LE(held, static_cast<long>(kUserHeld + kMaxData + 64)) << st;
#if !defined(__SANITIZE_ADDRESS__)
    // The sanitizers' allocator keeps freed memory for a while: sizes are
    // only meaningful in the plain build.
    EXPECT_LT(rss_kib(stack_.pid()) - baseline_rss_, 16 * 1024) << "KiB grown";
#endif
    expect_service_ok();

    sender.leave();
    EXPECT_TRUE(wait_until([&] {
        st = status();
        return status_count(st, "held send data") == 0 && st.find(" user 65534\n") == std::string::npos;
    }, 30s)) << st;
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_TRUE(wait_until([&] { return rss_kib(stack_.pid()) - baseline_rss_ < 8 * 1024; }, 10s))
        << rss_kib(stack_.pid()) - baseline_rss_ << " KiB still held";
#endif
}

// t_accept hands a connection only to the very endpoint whose socket is
// passed. A descriptor that merely looks like another user's endpoint (same
// device, same inode number, a socket: here a path handle to root's
// endpoint socket) gets nothing.
TEST_F(LocalAttacks, AcceptTakesOnlyTheEndpointItselfNotItsLookalike)
{
    int mine = open_bound("/dev/ravspx", 0);
    ASSERT_GE(mine, 0);
    int lookalike = open(("/proc/self/fd/" + std::to_string(mine)).c_str(), O_PATH | O_CLOEXEC);
    ASSERT_GE(lookalike, 0) << strerror(errno);
    struct stat a, b;
    ASSERT_EQ(fstat(mine, &a), 0);
    ASSERT_EQ(fstat(lookalike, &b), 0);
    ASSERT_TRUE(a.st_dev == b.st_dev && a.st_ino == b.st_ino && S_ISSOCK(b.st_mode));

    Attacker thief([&](Channel &ch) {
        uint8_t la[12];
        int lis = open_bound("/dev/ravspx", 0, 1, la);
        int c = open_bound("/dev/ravspx", 0, 0, nullptr, O_RDWR | O_NONBLOCK);
        struct t_call call {}, ind {};
        call.addr.buf = reinterpret_cast<char *>(la);
        call.addr.len = 12;
        if (lis < 0 || c < 0 || t_connect(c, &call, nullptr) == 0 || t_listen(lis, &ind) < 0)
            return 1;
        // The library would refuse it: the request is made by hand.
        Writer w;
        w.i32(ind.sequence).u32(0).u32(0);
        Header h = raw_call(lis, kAccept, kFlagFd, w, lookalike);
        ch.say("type=" + std::to_string(h.type) + " terr=" + std::to_string(h.terr));
        ch.hear();
        return 0;
    }, kNobody, {lookalike});
    close(lookalike);
    std::string got = thief.hear();
    EXPECT_EQ(field(got, "type"), kAccept | kReply) << got << thief.ended();
    EXPECT_EQ(field(got, "terr"), TBADF) << got;
    EXPECT_EQ(t_getstate(mine), T_IDLE) << "root's endpoint was given the attacker's connection";
    t_close(mine);
    expect_service_ok();
}

// The lock that keeps a second stack off a device directory is a file only
// root can open: a user cannot hold it to keep the stack from starting.
TEST_F(LocalAttacks, UsersCannotKeepTheStackFromStarting)
{
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
    const std::string lock = std::string(real) + "/.ipxstackd.lock";
    Attacker squatter([&](Channel &ch) {
        // What used to be the lock: an abstract socket named after the directory.
        int s = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        struct sockaddr_un sa {};
        sa.sun_family = AF_UNIX;
        std::string name = std::string("ipxstackd:") + real;
        std::memcpy(sa.sun_path + 1, name.data(), std::min(name.size(), sizeof sa.sun_path - 1));
        int b = bind(s, reinterpret_cast<struct sockaddr *>(&sa),
                     static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 +
                                            std::min(name.size(), sizeof sa.sun_path - 1)));
        int f = open(lock.c_str(), O_RDWR | O_CREAT, 0666);
        ch.say(report("bind", b) + " " + report("create", f));
        ch.hear();
        f = open(lock.c_str(), O_RDONLY);
        ch.say(report("open", f));
        ch.hear();
        return 0;
    });
    std::string got = squatter.hear();
    EXPECT_EQ(field(got, "create"), -1) << got;
    Proc second;
    std::string why;
    EXPECT_TRUE(start_ready(second, {IPXSTACKD_PATH, "-f", "--dev-dir", dir.path()}, why)) << why;
    squatter.say("again");
    got = squatter.hear();
    EXPECT_EQ(field(got, "open"), -1) << got;
    EXPECT_EQ(field(got, "open_errno"), EACCES) << got;
    squatter.say("bye");
    second.signal(SIGTERM);
    EXPECT_EQ(second.wait_exit(10s), 0);
    expect_service_ok();
}

// Datagram endpoints of ordinary users cannot speak for the stack: no SPX
// packets (forged connection requests) and nothing from the SAP or RIP
// sockets, whichever way they try.
TEST_F(LocalAttacks, UsersCannotForgeSpxOrSapPackets)
{
    uint8_t sink_addr[12];
    int lis = open_bound("/dev/ravspx", 0x9001, 4);
    int sink = open_bound("/dev/ravitp", 0x9002, 0, sink_addr);
    int rip = open_bound("/dev/ravitp", 0x0453);  // root's, then in the user's hands
    ASSERT_TRUE(lis >= 0 && sink >= 0 && rip >= 0);
    Attacker forger([&](Channel &ch) {
        uint8_t me[12];
        int d = open_bound("/dev/ravitp", 0, 0, me);
        // An SPX connection request: system packet wanting an answer, our
        // connection id, destination id unknown.
        uint8_t spx[12] = {0xC0, 0, 0x12, 0x34, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0};
        auto send_to = [&](int fd, uint16_t socket, int type, const void *data, unsigned len) {
            auto to = local_addr(socket);
            char opt[2] = {static_cast<char>(type), 0};
            struct t_unitdata u {};
            u.addr.buf = reinterpret_cast<char *>(to.data());
            u.addr.len = 12;
            u.opt.buf = opt;
            u.opt.len = type < 0 ? 0 : 2;
            u.udata.buf = static_cast<char *>(const_cast<void *>(data));
            u.udata.len = len;
            return t_sndudata(fd, &u);
        };
        std::string r = "me=" + hex_addr(me) + " " + report("listener", send_to(d, 0x9001, 5, spx, 12)) +
                        " " + report("ptyd", send_to(d, kPtydSocket, 5, spx, 12)) + " " +
                        report("sap", open_bound("/dev/ravitp", 0x0452)) + " " +
                        report("rip", send_to(rip, 0x9002, 1, "rip", 3)) + " " +
                        report("sync", send_to(d, 0x9002, -1, "sync", 4));
        ch.say(r);
        ch.hear();
        return 0;
    }, kNobody, {rip});
    std::string got = forger.hear();
    for (const char *what : {"listener", "ptyd", "sap", "rip"}) {
        EXPECT_EQ(field(got, what), -1) << what << ": " << got;
        EXPECT_EQ(field(got, std::string(what) + "_terr"), TACCES) << what << ": " << got;
    }
    EXPECT_EQ(field(got, "sync"), 0) << got;

    // Packets go through the stack in order: once the last datagram is
    // here, anything forged before it would be too.
    char data[64] = {}, opt[2] = {};
    uint8_t from[12];
    struct t_unitdata u {};
    u.addr.buf = reinterpret_cast<char *>(from);
    u.addr.maxlen = 12;
    u.opt.buf = opt;
    u.opt.maxlen = 2;
    u.udata.buf = data;
    u.udata.maxlen = sizeof data;
    int flags = 0;
    ASSERT_TRUE(readable(sink, 10s));
    ASSERT_EQ(t_rcvudata(sink, &u, &flags), 0);
    EXPECT_EQ(std::string(data, u.udata.len), "sync");
    EXPECT_EQ(t_look(lis), 0) << "a forged connection request arrived";
    std::smatch m;
    ASSERT_TRUE(std::regex_search(got, m, std::regex("me=([0-9a-f:]+)")));
    std::string st = status();
    EXPECT_EQ(st.find("-> " + m[1].str()), std::string::npos) << "Zelptyd was offered a forged call\n" << st;
    for (int fd : {lis, sink, rip})
        t_close(fd);
    expect_service_ok();
}

// One user cannot use up the endpoints or the dynamic sockets that everybody
// needs: it gets its share, root and other users go on.
TEST_F(LocalAttacks, EndpointsAndSocketsAreLimitedPerUser)
{
    Attacker hog([&](Channel &ch) {
        std::vector<int> eps;
        int r = 0;
        while (eps.size() < kUserEndpoints + 20 && (r = t_open("/dev/ravspx", O_RDWR, nullptr)) >= 0)
            eps.push_back(r);
        std::string out = "opened=" + std::to_string(eps.size()) + " " + report("last", r);
        int bound = 0;
        for (int fd : eps) {
            if ((r = t_bind(fd, nullptr, nullptr)) < 0)
                break;
            bound++;
        }
        ch.say(out + " bound=" + std::to_string(bound) + " " + report("bind", r));
        ch.hear();
        return 0;
    }, kNobody, {}, 4096);
    std::string got = hog.hear();
    EXPECT_EQ(field(got, "opened"), kUserEndpoints) << got;
    EXPECT_EQ(field(got, "last_terr"), TSYSERR) << got;
    EXPECT_EQ(field(got, "last_errno"), ENOSR) << got;
    EXPECT_EQ(field(got, "bound"), kUserSockets) << got;
    EXPECT_EQ(field(got, "bind_terr"), TNOADDR) << got;

    int fd = open_bound("/dev/ravspx", 0);
    EXPECT_GE(fd, 0) << "root: " << t_errno;
    t_close(fd);
    Attacker other([&](Channel &ch) {
        ch.say(report("open", open_bound("/dev/ravitp", 0)));
        return 0;
    }, kNobody - 1);
    got = other.hear();
    EXPECT_GE(field(got, "open"), 0) << "another user: " << got;
    expect_service_ok();

    // Leaving gives everything back.
    hog.leave();
    EXPECT_TRUE(wait_until([&] { return status().find(" user 65534\n") == std::string::npos; }, 10s));
}

// The status view shows an ordinary user only its own endpoints and
// connections; root sees all.
TEST_F(LocalAttacks, StatusShowsUsersOnlyTheirOwn)
{
    Attacker viewer([&](Channel &ch) {
        uint8_t me[12];
        if (open_bound("/dev/ravitp", 0, 0, me) < 0)
            return 1;
        ch.say("me=" + hex_addr(me));
        FILE *p = popen((std::string(IPXSTACKD_PATH) + " -s --dev-dir " + dev_.path()).c_str(), "r");
        char line[512];
        while (p != nullptr && std::fgets(line, sizeof line, p) != nullptr) {
            std::string l = line;
            if (!l.empty() && l.back() == '\n')
                l.pop_back();
            ch.say("| " + l);
        }
        if (p != nullptr)
            pclose(p);
        ch.say("end");
        ch.hear();
        return 0;
    });
    std::string me = viewer.hear();
    ASSERT_EQ(me.rfind("me=", 0), 0u) << me;
    me = me.substr(3);
    std::string seen;
    for (std::string l = viewer.hear(); !l.empty() && l != "end"; l = viewer.hear())
        seen += l.substr(2) + "\n";
    EXPECT_NE(seen.find(me + " user 65534\n"), std::string::npos) << seen;
    for (const char *other : {":8063", ":0452", " user 0\n", "packets:"})
        EXPECT_EQ(seen.find(other), std::string::npos) << other << " shown to a user:\n" << seen;
    EXPECT_EQ(status_count(seen, "endpoints"), 1) << seen;

    std::string all = status();
    EXPECT_NE(all.find(me + " user 65534\n"), std::string::npos) << all;
    EXPECT_NE(all.find(":0452"), std::string::npos) << all;
    expect_service_ok();
}

} // namespace
