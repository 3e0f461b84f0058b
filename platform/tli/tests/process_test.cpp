// Endpoints across processes and descriptors, poll, signals, bad clients,
// and many connections in a row.
#include "tlitest.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tlitest;
using namespace std::chrono_literals;

namespace {

class Process : public TliTest {};

bool readable(int fd, int ms)
{
    struct pollfd p {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1 && (p.revents & POLLIN);
}

// The listener's hand-off: the child puts the connection on descriptor 0
// and execs a program that goes on with t_rcv/t_snd there.
TEST_F(Process, ConnectionHandedToAnExecedProgram)
{
    Conn c = connect_pair();
    std::string child = testsupport::build_path("platform/tli/tli_child");
    pid_t pid = fork();
    if (pid == 0) {
        t_close(c.cli);
        t_close(c.lis);
        close(0);
        dup(c.srv);
        close(c.srv);
        execl(child.c_str(), "tli_child", static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    t_close(c.srv);  // the parent's copy; the connection lives on in the child
    c.srv = -1;
    ASSERT_EQ(t_snd(c.cli, const_cast<char *>("ping"), 4, 0), 4);
    EXPECT_EQ(rcv_exactly(c.cli, 9), "echo:ping");
    std::string big(3000, 'b');
    ASSERT_EQ(t_snd(c.cli, big.data(), 3000, 0), 3000);
    EXPECT_EQ(rcv_exactly(c.cli, 3005), "echo:" + big);
    t_close(c.cli);
    c.cli = -1;
    int st = -1;
    ASSERT_TRUE(testsupport::wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, 10s));
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 0);
    c.close_all();
}

TEST_F(Process, EndpointOutlivesOneOfItsDescriptors)
{
    Conn c = connect_pair();
    int other = dup(c.srv);
    ASSERT_GE(other, 0);
    t_close(c.srv);
    c.srv = -1;
    EXPECT_EQ(t_getstate(other), T_DATAXFER);
    ASSERT_EQ(t_snd(c.cli, const_cast<char *>("still"), 5, 0), 5);
    EXPECT_EQ(rcv_exactly(other, 5), "still");
    EXPECT_EQ(t_look(c.cli), 0);  // no disconnect reached the peer
    // A forked copy closing its descriptor ends nothing either.
    pid_t pid = fork();
    if (pid == 0) {
        t_close(other);
        _exit(0);
    }
    int st;
    waitpid(pid, &st, 0);
    ASSERT_EQ(t_snd(other, const_cast<char *>("alive"), 5, 0), 5);
    EXPECT_EQ(rcv_exactly(c.cli, 5), "alive");
    // The last close ends it: the peer sees the disconnect.
    t_close(other);
    EXPECT_TRUE(wait_look(c.cli, T_DISCONNECT));
    c.close_all();
}

// One process blocked in t_rcv while another sends on the same endpoint,
// as a terminal server with a reader and a writer process would do.
TEST_F(Process, TwoProcessesShareOneEndpoint)
{
    Conn c = connect_pair();
    const int kUnits = 50;
    pid_t reader = fork();
    if (reader == 0) {
        for (int i = 0; i < kUnits; i++) {
            std::string want = "to server " + std::to_string(i);
            std::string got;
            int flags = T_MORE;
            while (flags & T_MORE) {
                char b[64];
                int n = t_rcv(c.srv, b, sizeof(b), &flags);
                if (n < 0)
                    _exit(2);
                got.append(b, n);
            }
            if (got != want)
                _exit(3);
        }
        _exit(0);
    }
    pid_t writer = fork();
    if (writer == 0) {
        for (int i = 0; i < kUnits; i++) {
            std::string u = "to client " + std::to_string(i);
            if (t_snd(c.srv, u.data(), static_cast<unsigned>(u.size()), 0) < 0)
                _exit(2);
        }
        _exit(0);
    }
    std::string expect;
    for (int i = 0; i < kUnits; i++) {
        std::string u = "to server " + std::to_string(i);
        ASSERT_EQ(t_snd(c.cli, u.data(), static_cast<unsigned>(u.size()), 0),
                  static_cast<int>(u.size()));
        expect += "to client " + std::to_string(i);
    }
    EXPECT_EQ(rcv_exactly(c.cli, expect.size()), expect);
    for (pid_t pid : {reader, writer}) {
        int st = -1;
        waitpid(pid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    }
    c.close_all();
}

TEST_F(Process, PollReportsPendingEvents)
{
    Conn c = connect_pair();
    EXPECT_FALSE(readable(c.srv, 0));
    EXPECT_FALSE(readable(c.lis, 0));
    ASSERT_EQ(t_snd(c.cli, const_cast<char *>("0123456789"), 10, 0), 10);
    EXPECT_TRUE(readable(c.srv, 5000));
    EXPECT_TRUE(readable(c.srv, 0));  // stays until consumed, t_look does not consume
    EXPECT_EQ(t_look(c.srv), T_DATA);
    EXPECT_TRUE(readable(c.srv, 0));
    char b[4];
    int flags;
    ASSERT_EQ(t_rcv(c.srv, b, 4, &flags), 4);
    EXPECT_TRUE(readable(c.srv, 0));  // six bytes left
    ASSERT_EQ(t_rcv(c.srv, b, 4, &flags), 4);
    ASSERT_EQ(t_rcv(c.srv, b, 4, &flags), 2);
    EXPECT_FALSE(readable(c.srv, 0));
    // A listener: readable while an indication waits for t_listen.
    int cli2 = open_ep("/dev/ravspx", O_RDWR | O_NONBLOCK);
    bind_ep(cli2, 0);
    struct t_call call {};
    call.addr.buf = reinterpret_cast<char *>(c.lis_addr.data());
    call.addr.len = 12;
    t_connect(cli2, &call, nullptr);
    EXPECT_TRUE(readable(c.lis, 5000));
    struct t_call ind {};
    ASSERT_EQ(t_listen(c.lis, &ind), 0);
    EXPECT_FALSE(readable(c.lis, 0));
    t_snddis(c.lis, &ind);
    t_close(cli2);
    c.close_all();
}

volatile sig_atomic_t g_alarms = 0;
void on_alarm(int) { g_alarms = g_alarms + 1; }

struct AlarmHandler {
    struct sigaction old {};
    AlarmHandler()
    {
        struct sigaction sa {};
        sa.sa_handler = on_alarm;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no SA_RESTART: calls are interrupted
        sigaction(SIGALRM, &sa, &old);
    }
    ~AlarmHandler() { sigaction(SIGALRM, &old, nullptr); }
    static void arm(int ms)
    {
        struct itimerval it {};
        it.it_value.tv_sec = ms / 1000;
        it.it_value.tv_usec = (ms % 1000) * 1000;
        setitimer(ITIMER_REAL, &it, nullptr);
    }
};

// A caught signal interrupts a blocking call with TSYSERR/EINTR, and the
// interrupted request leaves nothing behind for the next call.
TEST_F(Process, SignalInterruptsBlockingCalls)
{
    AlarmHandler h;
    int lis = open_ep("/dev/ravspx");
    Addr la = bind_ep(lis, 2);
    struct t_call ind {};
    for (int round = 0; round < 2; round++) {
        AlarmHandler::arm(30);
        EXPECT_EQ(t_listen(lis, &ind), -1);
        EXPECT_EQ(t_errno, TSYSERR);
        EXPECT_EQ(errno, EINTR);
    }
    EXPECT_EQ(t_getstate(lis), T_IDLE);
    EXPECT_EQ(t_look(lis), 0);
    int cli = call_to(la);
    ASSERT_EQ(t_listen(lis, &ind), 0);
    ASSERT_EQ(t_accept(lis, lis, &ind), 0);
    set_nonblock(cli, false);
    ASSERT_EQ(t_rcvconnect(cli, nullptr), 0);

    // t_rcv interrupted, then the data comes: nothing is lost.
    char b[16];
    int flags;
    AlarmHandler::arm(30);
    EXPECT_EQ(t_rcv(lis, b, sizeof(b), &flags), -1);
    EXPECT_EQ(t_errno, TSYSERR);
    EXPECT_EQ(errno, EINTR);
    ASSERT_EQ(t_snd(cli, const_cast<char *>("after"), 5, 0), 5);
    EXPECT_EQ(rcv_exactly(lis, 5), "after");
    t_close(cli);
    t_close(lis);
}

// Calls that only wait for the provider's answer are not interrupted: a
// listener collecting children with SIGCHLD opens endpoints all the time.
TEST_F(Process, SignalsDoNotBreakOpenBindOrClose)
{
    AlarmHandler h;
    struct itimerval it {};
    it.it_interval.tv_usec = 50;
    it.it_value.tv_usec = 50;
    setitimer(ITIMER_REAL, &it, nullptr);
    int failures = 0;
    for (int i = 0; i < 1500; i++) {
        int fd = t_open("/dev/ravspx", O_RDWR, nullptr);
        if (fd < 0) {
            failures++;
            continue;
        }
        if (t_bind(fd, nullptr, nullptr) < 0 || t_getstate(fd) != T_IDLE)
            failures++;
        t_close(fd);
    }
    struct itimerval off {};
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_GT(g_alarms, 0);
    EXPECT_EQ(failures, 0);
}

int raw_send(int fd, const std::vector<uint8_t> &m)
{
    return static_cast<int>(send(fd, m.data(), m.size(), MSG_NOSIGNAL));
}

// A client that sends garbage loses its endpoint; the stack and every other
// endpoint go on.
TEST_F(Process, BadClientMessagesCostOnlyThatEndpoint)
{
    Conn c = connect_pair();
    struct Case {
        const char *what;
        std::vector<uint8_t> msg;
    };
    std::vector<Case> cases;
    cases.push_back({"short", {1, 2, 3}});
    std::vector<uint8_t> hdr(20, 0);
    hdr[0] = 11;  // bind
    hdr[4] = 99;  // length says 99, message has 20
    hdr[8] = 1;
    cases.push_back({"length mismatch", hdr});
    std::vector<uint8_t> unknown(20, 0);
    unknown[0] = 200;
    unknown[4] = 20;
    unknown[8] = 1;
    cases.push_back({"unknown type", unknown});
    std::vector<uint8_t> noid(20, 0);
    noid[0] = 10;
    noid[4] = 20;
    cases.push_back({"request id 0", noid});
    std::vector<uint8_t> cancel(24, 0);
    cancel[0] = 26;
    cancel[4] = 24;
    cancel[8] = 5;
    cancel[20] = 77;  // names a request never made
    cases.push_back({"stray cancel", cancel});
    std::vector<uint8_t> huge(70000, 0);
    huge[0] = 18;
    cases.push_back({"oversized", huge});
    std::vector<uint8_t> badbody(24, 0);
    badbody[0] = 12;  // unbind carries no body
    badbody[4] = 24;
    badbody[8] = 3;
    cases.push_back({"body where none belongs", badbody});

    for (const Case &k : cases) {
        int fd = open_ep("/dev/ravspx");
        bind_ep(fd, 0);
        ASSERT_GT(raw_send(fd, k.msg), 0) << k.what;
        EXPECT_EQ(t_getstate(fd), -1) << k.what;
        EXPECT_EQ(t_errno, TSYSERR) << k.what;
        close(fd);
    }
    // The others carry on.
    ASSERT_EQ(t_snd(c.cli, const_cast<char *>("fine"), 4, 0), 4);
    EXPECT_EQ(rcv_exactly(c.srv, 4), "fine");
    std::string st = stack().status();
    EXPECT_GE(stacktest::status_count(st, "bad client messages"),
              static_cast<long>(cases.size()));
    c.close_all();
}

TEST_F(Process, AcceptNeedsARealEndpointDescriptor)
{
    int lis = open_ep("/dev/ravspx");
    Addr la = bind_ep(lis, 2);
    int cli = call_to(la);
    struct t_call ind {};
    ASSERT_EQ(t_listen(lis, &ind), 0);
    // A SEQPACKET socket that is no endpoint of the stack.
    int sp[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sp), 0);
    EXPECT_EQ(t_accept(lis, sp[0], &ind), -1);
    EXPECT_EQ(t_errno, TBADF);
    close(sp[0]);
    close(sp[1]);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(t_accept(lis, p[0], &ind), -1);
    EXPECT_EQ(t_errno, TBADF);
    close(p[0]);
    close(p[1]);
    // An unbound endpoint cannot take the call.
    int res = open_ep("/dev/ravspx");
    EXPECT_EQ(t_accept(lis, res, &ind), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);
    bind_ep(res, 0);
    EXPECT_EQ(t_accept(lis, res, &ind), 0);
    for (int fd : {cli, res, lis})
        t_close(fd);
}

// Many connections in a row leave nothing behind, in this process or in
// the stack.
TEST_F(Process, ThousandConnectionsLeaveNothingBehind)
{
    int lis = open_ep("/dev/ravspx");
    Addr la = bind_ep(lis, 4);
    pid_t daemon = stack().proc().pid();
    long endpoints = stacktest::status_count(stack().status(), "endpoints");
    auto mine = testsupport::open_fds(getpid()).size();
    auto theirs = testsupport::open_fds(daemon).size();
    std::string unit(200, 'u');
    for (int i = 0; i < 1000; i++) {
        int cli = t_open("/dev/ravspx", O_RDWR | O_NONBLOCK, nullptr);
        ASSERT_GE(cli, 0) << i << " t_errno " << t_errno << " errno " << errno;
        ASSERT_EQ(t_bind(cli, nullptr, nullptr), 0) << i;
        struct t_call call {};
        call.addr.buf = reinterpret_cast<char *>(la.data());
        call.addr.len = 12;
        ASSERT_EQ(t_connect(cli, &call, nullptr), -1);
        struct t_call ind {};
        ASSERT_EQ(t_listen(lis, &ind), 0) << i << " t_errno " << t_errno;
        int srv = t_open("/dev/ravspx", O_RDWR, nullptr);
        ASSERT_EQ(t_bind(srv, nullptr, nullptr), 0);
        ASSERT_EQ(t_accept(lis, srv, &ind), 0) << i << " t_errno " << t_errno;
        set_nonblock(cli, false);
        ASSERT_EQ(t_rcvconnect(cli, nullptr), 0) << i;
        ASSERT_EQ(t_snd(cli, unit.data(), 200, 0), 200);
        ASSERT_EQ(rcv_exactly(srv, 200), unit);
        t_close(cli);
        t_close(srv);
    }
    EXPECT_EQ(testsupport::open_fds(getpid()).size(), mine);
    std::string st;
    EXPECT_TRUE(testsupport::wait_until([&] {
        st = stack().status();
        return stacktest::status_count(st, "connections") == 0 &&
               stacktest::status_count(st, "endpoints") == endpoints;
    }, std::chrono::seconds(20))) << st;
    EXPECT_EQ(testsupport::open_fds(daemon).size(), theirs);
    t_close(lis);
}

TEST(TError, OutputByteForByte)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    int saved = dup(2);
    dup2(p[1], 2);
    t_errno = TSYSERR;
    errno = ENOENT;
    t_error("t_open");
    t_errno = TLOOK;
    t_error("");
    t_errno = TACCES;
    t_error(nullptr);
    t_errno = 42;
    t_error("odd");
    dup2(saved, 2);
    close(saved);
    close(p[1]);
    std::string out;
    char b[256];
    ssize_t n;
    while ((n = read(p[0], b, sizeof(b))) > 0)
        out.append(b, static_cast<size_t>(n));
    close(p[0]);
    EXPECT_EQ(out, "t_open: System error: No such file or directory\n"
                   "An event requires attention\n"
                   "Illegal permissions\n"
                   "odd: Unknown error\n");
}

} // namespace
