// ipxstackd as a program: command line, device sockets, one stack per
// device directory, stopping, daemon mode, addressing, the test options and
// the status view, the question which sockets are bound.
#include "stackproc.h"

#include <proto.h>

#include <gtest/gtest.h>
#include <tiuser.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::Proc;

namespace {

std::string stackd()
{
    return testsupport::build_path("platform/stack/ipxstackd");
}

class Daemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        static bool ok = false;
        static std::string why;
        if (!ok)
            ok = testsupport::enter_sandbox(why);
        ASSERT_TRUE(ok) << why;
    }
};

bool is_socket(const std::string &path, mode_t *mode = nullptr)
{
    struct stat st;
    if (lstat(path.c_str(), &st) < 0 || !S_ISSOCK(st.st_mode))
        return false;
    if (mode)
        *mode = st.st_mode & 07777;
    return true;
}

std::array<uint8_t, 12> bind_any(int fd)
{
    std::array<uint8_t, 12> a{};
    struct t_bind ret {};
    ret.addr.buf = reinterpret_cast<char *>(a.data());
    ret.addr.maxlen = 12;
    EXPECT_EQ(t_bind(fd, nullptr, &ret), 0);
    return a;
}

TEST_F(Daemon, BadCommandLinesAreRefusedWithAMessage)
{
    testsupport::TempDir d;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--net", "zz"}, "bad network number: zz"},
        {{"--net", "0"}, "bad network number: 0"},
        {{"--net", "FFFFFFFF"}, "bad network number"},
        {{"--host", "1.2.3"}, "bad host address: 1.2.3"},
        {{"--impair", "loss=2"}, "bad --impair"},
        {{"--rcv-max", "0"}, "bad --rcv-max: 0"},
        {{"--ready-fd", "999"}, "bad --ready-fd: 999"},
        {{"--bogus"}, "unknown option --bogus"},
        {{"extra"}, "unexpected argument extra"},
    };
    for (const auto &[args, msg] : cases) {
        std::vector<std::string> argv{stackd(), "-f", "--dev-dir", d.path()};
        argv.insert(argv.end(), args.begin(), args.end());
        Proc p(argv);
        int st = p.wait_exit(10s);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << msg;
        EXPECT_NE(p.err().find("ipxstackd: " + msg), std::string::npos) << p.err();
        EXPECT_NE(p.err().find("usage:"), std::string::npos) << msg;
        EXPECT_FALSE(is_socket(d / "ravspx")) << msg;
    }
    Proc missing({stackd(), "-f", "--dev-dir", d / "nowhere"});
    int st = missing.wait_exit(10s);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1);
    EXPECT_NE(missing.err().find("nowhere"), std::string::npos);
    Proc status({stackd(), "-s", "--dev-dir", d.path()});
    st = status.wait_exit(10s);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1);
    EXPECT_NE(status.err().find("no stack is serving"), std::string::npos);
}

TEST_F(Daemon, DevicesExistWhileRunningAndOnlyOnce)
{
    stacktest::StackProc s;
    ASSERT_TRUE(s.ok()) << s.error();
    for (const char *dev : {"ravspx", "mspx", "ravitp"}) {
        mode_t mode = 0;
        EXPECT_TRUE(is_socket(s.dir() + "/" + dev, &mode)) << dev;
        EXPECT_EQ(mode, 0666u) << dev;
    }
    Proc second({stackd(), "-f", "--dev-dir", s.dir()});
    int st = second.wait_exit(10s);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1);
    EXPECT_NE(second.err().find("already running"), std::string::npos) << second.err();
    // The refused copy took nothing away.
    int fd = t_open("/dev/ravspx", O_RDWR, nullptr);
    EXPECT_GE(fd, 0);
    t_close(fd);
    st = s.stop();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    for (const char *dev : {"ravspx", "mspx", "ravitp"})
        EXPECT_FALSE(is_socket(s.dir() + "/" + dev)) << dev;
}

TEST_F(Daemon, SocketsLeftByAKilledStackAreReplaced)
{
    testsupport::TempDir d;
    {
        stacktest::StackProc s;
        ASSERT_TRUE(s.ok());
        s.proc().signal(SIGKILL);
        s.proc().wait_exit(10s);
        ASSERT_TRUE(is_socket(s.dir() + "/ravspx"));
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        Proc again({stackd(), "-f", "--dev-dir", s.dir(), "--ready-fd", std::to_string(p[1])},
                   Proc::Options{{}, "", -1, false, {p[1]}});
        close(p[1]);
        char buf[8] = {};
        struct pollfd pf {p[0], POLLIN, 0};
        ASSERT_EQ(poll(&pf, 1, 10000), 1);
        EXPECT_EQ(read(p[0], buf, sizeof(buf)), 6);
        EXPECT_STREQ(buf, "ready\n");
        close(p[0]);
        again.signal(SIGTERM);
        EXPECT_EQ(again.wait_exit(10s), 0);
    }
}

TEST_F(Daemon, DetachesWhenNotInTheForeground)
{
    testsupport::TempDir d;
    chmod(d.path().c_str(), 0755);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    Proc starter({stackd(), "--dev-dir", d.path(), "--ready-fd", std::to_string(p[1])},
                 Proc::Options{{}, "", -1, false, {p[1]}});
    close(p[1]);
    int st = starter.wait_exit(10s);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    char buf[8] = {};
    struct pollfd pf {p[0], POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 10000), 1);
    EXPECT_EQ(read(p[0], buf, sizeof(buf)), 6);
    close(p[0]);
    Proc status({stackd(), "-s", "--dev-dir", d.path()});
    status.wait_exit(10s);
    long pid = stacktest::status_count(status.out(), "pid");
    ASSERT_GT(pid, 1) << status.out();
    EXPECT_NE(pid, starter.pid());
    kill(static_cast<pid_t>(pid), SIGTERM);
    EXPECT_TRUE(testsupport::wait_until([&] { return !is_socket(d / "ravspx"); }, 10s, d.path()));
}

TEST_F(Daemon, NetworkAndHostMakeTheLocalAddress)
{
    stacktest::StackProc s({"--net", "0x2A", "--host", "10.1.2.3"});
    ASSERT_TRUE(s.ok()) << s.error();
    int fd = t_open("/dev/ravitp", O_RDWR, nullptr);
    ASSERT_GE(fd, 0);
    auto a = bind_any(fd);
    const uint8_t want[10] = {0, 0, 0, 0x2a, 0, 0, 10, 1, 2, 3};
    EXPECT_EQ(std::memcmp(a.data(), want, 10), 0);
    std::string st = s.status();
    EXPECT_NE(st.find("local address 0000002a:00000a010203"), std::string::npos) << st;
    EXPECT_NE(st.find("ipx IDLE 0000002a:00000a010203:"), std::string::npos) << st;
    t_close(fd);
}

// Connects two endpoints of the current stack; returns {client, server}.
std::pair<int, int> connect_two()
{
    int lis = t_open("/dev/ravspx", O_RDWR, nullptr);
    std::array<uint8_t, 12> la{};
    struct t_bind req {}, ret {};
    req.qlen = 1;
    ret.addr.buf = reinterpret_cast<char *>(la.data());
    ret.addr.maxlen = 12;
    EXPECT_EQ(t_bind(lis, &req, &ret), 0);
    int cli = t_open("/dev/ravspx", O_RDWR | O_NONBLOCK, nullptr);
    EXPECT_EQ(t_bind(cli, nullptr, nullptr), 0);
    struct t_call call {};
    call.addr.buf = reinterpret_cast<char *>(la.data());
    call.addr.len = 12;
    EXPECT_EQ(t_connect(cli, &call, nullptr), -1);
    struct t_call ind {};
    EXPECT_EQ(t_listen(lis, &ind), 0);
    EXPECT_EQ(t_accept(lis, lis, &ind), 0);
    fcntl(cli, F_SETFL, fcntl(cli, F_GETFL) & ~O_NONBLOCK);
    EXPECT_EQ(t_rcvconnect(cli, nullptr), 0);
    return {cli, lis};
}

TEST_F(Daemon, RcvMaxCutsEveryReceive)
{
    stacktest::StackProc s({"--rcv-max", "3"});
    ASSERT_TRUE(s.ok()) << s.error();
    auto [cli, srv] = connect_two();
    ASSERT_EQ(t_snd(cli, const_cast<char *>("abcdefgh"), 8, 0), 8);
    std::vector<std::pair<std::string, int>> got;
    int flags = T_MORE;
    while (flags & T_MORE) {
        char b[64];
        int n = t_rcv(srv, b, sizeof(b), &flags);
        ASSERT_GE(n, 0);
        got.push_back({std::string(b, n), flags});
    }
    std::vector<std::pair<std::string, int>> want = {{"abc", T_MORE}, {"def", T_MORE}, {"gh", 0}};
    EXPECT_EQ(got, want);
    t_close(cli);
    t_close(srv);
}

// Out of descriptors, the stack turns new endpoints away and serves the
// ones it has; closing one makes room again.
TEST_F(Daemon, RunningOutOfDescriptorsTurnsCallersAway)
{
    testsupport::TempDir d;
    chmod(d.path().c_str(), 0755);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    std::string cmd = "ulimit -n 40 && exec " + stackd() + " -f --dev-dir " + d.path() +
                      " --ready-fd " + std::to_string(p[1]);
    Proc stack({"/bin/sh", "-c", cmd}, Proc::Options{{}, "", -1, false, {p[1]}});
    close(p[1]);
    char buf[8] = {};
    struct pollfd pf {p[0], POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 10000), 1);
    ASSERT_EQ(read(p[0], buf, sizeof(buf)), 6);
    close(p[0]);
    setenv("IPX_DEVDIR", d.path().c_str(), 1);
    std::vector<int> eps;
    int fd = -1;
    for (int i = 0; i < 100; i++) {
        fd = t_open("/dev/ravitp", O_RDWR, nullptr);
        if (fd < 0)
            break;
        eps.push_back(fd);
    }
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(t_errno, TSYSERR);
    ASSERT_GT(eps.size(), 10u);
    EXPECT_EQ(t_getstate(eps.front()), T_UNBND);  // the others are served
    t_close(eps.back());
    eps.pop_back();
    EXPECT_TRUE(testsupport::wait_until([&] {
        int again = t_open("/dev/ravitp", O_RDWR, nullptr);
        if (again < 0)
            return false;
        eps.push_back(again);
        return true;
    }, 10s));
    for (int e : eps)
        t_close(e);
    stack.signal(SIGTERM);
    EXPECT_EQ(stack.wait_exit(10s), 0);
}

// Through a lossy, duplicating, reordering loopback link every byte still
// arrives once and in order, and the status view counts the repairs.
TEST_F(Daemon, ImpairedLinkStillDeliversInOrder)
{
    stacktest::StackProc s({"--impair", "loss=0.1,dup=0.1,reorder=0.1,seed=7"});
    ASSERT_TRUE(s.ok()) << s.error();
    auto [cli, srv] = connect_two();
    ASSERT_GE(cli, 0);
    std::string all;
    pid_t pid = fork();
    for (int i = 0; i < 100; i++) {
        std::string u = std::to_string(i) + ":" + std::string(700, static_cast<char>('a' + i % 26));
        all += u;
        if (pid == 0 && t_snd(cli, u.data(), static_cast<unsigned>(u.size()), 0) < 0)
            _exit(1);
    }
    if (pid == 0)
        _exit(0);
    std::string got;
    while (got.size() < all.size()) {
        char b[4096];
        int flags;
        int n = t_rcv(srv, b, sizeof(b), &flags);
        ASSERT_GT(n, 0) << t_errno;
        got.append(b, n);
    }
    EXPECT_EQ(got, all);
    int st;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    std::string status = s.status();
    EXPECT_GT(stacktest::status_count(status, "retransmissions"), 0) << status;
    EXPECT_NE(status.find("established"), std::string::npos) << status;
    t_close(cli);
    t_close(srv);
}

} // namespace

namespace {

// Sends one request on a fresh connection to the stack's datagram device
// and returns its answer: the header and body, or type 0 when the stack
// closed the connection without one.
std::pair<tliproto::Header, std::vector<int32_t>> ask(const std::string &devdir, uint16_t type,
                                                      const std::vector<uint32_t> &body)
{
    using namespace tliproto;
    std::pair<Header, std::vector<int32_t>> answer;
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s/ravitp", devdir.c_str());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa), 0);
    Writer w;
    for (uint32_t v : body)
        w.u32(v);
    std::vector<uint8_t> msg = build(type, 0, 7, 0, 0, w.data());
    EXPECT_EQ(send(fd, msg.data(), msg.size(), 0), ssize_t(msg.size()));
    std::vector<uint8_t> buf(kMaxMessage);
    struct pollfd p {fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 10000), 1);
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    close(fd);
    if (n >= ssize_t(kHeaderLen)) {
        answer.first = get_header(buf.data());
        for (size_t i = kHeaderLen; i + 4 <= size_t(n); i += 4) {
            int32_t v;
            std::memcpy(&v, buf.data() + i, 4);
            answer.second.push_back(v);
        }
    }
    return answer;
}

// Runs `fn` in a child process under user 65534; its exit status.
template <class Fn>
int as_nobody(Fn fn)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(setgid(65534) == 0 && setuid(65534) == 0 ? fn() : 99);
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 100;
}

} // namespace

// The stack tells root which sockets are bound, and by whom; nobody else.
TEST_F(Daemon, TellsRootWhichSocketsAreBound)
{
    stacktest::StackProc s;
    ASSERT_TRUE(s.ok()) << s.error();
    chmod(s.dir().c_str(), 0755);
    int mine = t_open("/dev/ravspx", O_RDWR, nullptr);
    uint8_t a[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x63};
    struct t_bind req {};
    req.addr.buf = reinterpret_cast<char *>(a);
    req.addr.len = 12;
    ASSERT_EQ(t_bind(mine, &req, nullptr), 0);

    // Another user's process binds 0x8064 and waits to be killed.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        close(ready[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
        int fd = t_open("/dev/ravitp", O_RDWR, nullptr);
        a[11] = 0x64;
        if (fd < 0 || t_bind(fd, &req, nullptr) < 0)
            _exit(1);
        if (write(ready[1], "r", 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);

    auto [h, body] = ask(s.dir(), tliproto::kBound, {3, 0x8063, 0x8064, 0x8065});
    EXPECT_EQ(h.type, tliproto::kBound | tliproto::kReply);
    EXPECT_EQ(h.reqid, 7u);
    EXPECT_EQ(h.terr, 0);
    EXPECT_EQ(body, (std::vector<int32_t>{1, 0, 1, 65534, 0, -1}));

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);

    // Out of form: no answer, and the stack goes on.
    std::vector<uint32_t> too_many(258, 0x8063);
    too_many[0] = 257;
    const std::vector<uint32_t> bad[] = {{}, {0}, {2, 0x8063}, {1, 0x8063, 0}, too_many};
    for (const auto &b : bad)
        EXPECT_EQ(ask(s.dir(), tliproto::kBound, b).first.type, 0) << b.size();
    EXPECT_EQ(as_nobody([&] {
                  auto [hn, bn] = ask(s.dir(), tliproto::kBound, {1, 0x8063});
                  return hn.terr == TACCES && bn.empty() ? 0 : 1;
              }),
              0)
        << "only root may ask";
    EXPECT_EQ(ask(s.dir(), tliproto::kBound, {1, 0x8063}).second, (std::vector<int32_t>{1, 0}));
    t_close(mine);
}
