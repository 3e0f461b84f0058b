#include "tlitest.h"

#include <poll.h>
#include <sstream>
#include <unistd.h>

namespace tlitest {

std::unique_ptr<stacktest::StackProc> TliTest::stack_;

void TliTest::SetUpTestSuite()
{
    static bool sandboxed = false;
    static std::string why;
    if (!sandboxed) {
        sandboxed = testsupport::enter_sandbox(why);
        if (!sandboxed)
            return;
    }
    if (!stack_) {
        // TLITEST_STACK_ARGS: more options for the stack, separated by blanks.
        std::vector<std::string> extra;
        if (const char *more = getenv("TLITEST_STACK_ARGS")) {
            std::istringstream words(more);
            for (std::string w; words >> w;)
                extra.push_back(w);
        }
        stack_ = std::make_unique<stacktest::StackProc>(extra);
    }
}

void TliTest::TearDownTestSuite()
{
    if (stack_ && getenv("TLITEST_DAEMON_LOG")) {
        stack_->proc().wait_output("\x01", std::chrono::milliseconds(100), true);
        fprintf(stderr, "---- daemon log\n%s----\n", stack_->proc().err().c_str());
    }
    stack_.reset();
}

void TliTest::SetUp()
{
    ASSERT_TRUE(stack_ && stack_->ok()) << (stack_ ? stack_->error() : "no sandbox (not root?)");
    setenv("IPX_DEVDIR", stack_->dir().c_str(), 1);
}

Addr make_addr(uint32_t net, uint32_t host, uint16_t socket)
{
    Addr a{};
    a[0] = net >> 24; a[1] = net >> 16; a[2] = net >> 8; a[3] = net;
    a[6] = host >> 24; a[7] = host >> 16; a[8] = host >> 8; a[9] = host;
    a[10] = socket >> 8; a[11] = socket & 0xff;
    return a;
}

uint16_t socket_of(const Addr &a)
{
    return static_cast<uint16_t>(a[10] << 8 | a[11]);
}

int open_ep(const char *dev, int oflag)
{
    int fd = t_open(dev, oflag, nullptr);
    EXPECT_GE(fd, 0) << "t_open " << dev << " t_errno " << t_errno;
    return fd;
}

Addr bind_ep(int fd, unsigned qlen, const Addr *want)
{
    Addr req = want ? *want : Addr{}, got{};
    struct t_bind b {}, r {};
    b.addr.buf = reinterpret_cast<char *>(req.data());
    b.addr.len = want ? 12 : 0;
    b.addr.maxlen = 12;
    b.qlen = qlen;
    r.addr.buf = reinterpret_cast<char *>(got.data());
    r.addr.maxlen = 12;
    EXPECT_EQ(t_bind(fd, &b, &r), 0) << "t_errno " << t_errno;
    return got;
}

int call_to(const Addr &to, Addr *bound)
{
    int fd = open_ep("/dev/ravspx", O_RDWR | O_NONBLOCK);
    Addr at = bind_ep(fd, 0);
    if (bound != nullptr)
        *bound = at;
    Addr a = to;
    struct t_call call {};
    call.addr.buf = reinterpret_cast<char *>(a.data());
    call.addr.len = 12;
    EXPECT_EQ(t_connect(fd, &call, nullptr), -1);
    EXPECT_EQ(t_errno, TNODATA);
    return fd;
}

void set_nonblock(int fd, bool on)
{
    int fl = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK));
}

Conn connect_pair(bool srv_on_listener, const char *dev)
{
    Conn c;
    c.lis = open_ep(dev);
    c.lis_addr = bind_ep(c.lis, 4);
    c.cli = open_ep(dev, O_RDWR | O_NONBLOCK);
    bind_ep(c.cli, 0);
    struct t_call call {};
    call.addr.buf = reinterpret_cast<char *>(c.lis_addr.data());
    call.addr.len = 12;
    EXPECT_EQ(t_connect(c.cli, &call, nullptr), -1);
    EXPECT_EQ(t_errno, TNODATA);
    Addr caller{};
    struct t_call ind {};
    ind.addr.buf = reinterpret_cast<char *>(caller.data());
    ind.addr.maxlen = 12;
    EXPECT_EQ(t_listen(c.lis, &ind), 0) << "t_errno " << t_errno;
    if (srv_on_listener) {
        c.srv = c.lis;
    } else {
        c.srv = open_ep(dev);
        bind_ep(c.srv, 0);
    }
    EXPECT_EQ(t_accept(c.lis, c.srv, &ind), 0) << "t_errno " << t_errno;
    set_nonblock(c.cli, false);
    EXPECT_EQ(t_rcvconnect(c.cli, nullptr), 0) << "t_errno " << t_errno;
    EXPECT_EQ(t_getstate(c.cli), T_DATAXFER);
    EXPECT_EQ(t_getstate(c.srv), T_DATAXFER);
    return c;
}

void Conn::close_all()
{
    if (cli >= 0) t_close(cli);
    if (srv >= 0 && srv != lis) t_close(srv);
    if (lis >= 0) t_close(lis);
    cli = srv = lis = -1;
}

std::string rcv_exactly(int fd, size_t n)
{
    std::string got;
    while (got.size() < n) {
        char buf[4096];
        int flags = 0;
        int r = t_rcv(fd, buf, sizeof(buf), &flags);
        if (r < 0) {
            ADD_FAILURE() << "t_rcv t_errno " << t_errno;
            break;
        }
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

bool wait_look(int fd, int event, int ms)
{
    for (int waited = 0; waited <= ms; waited += 50) {
        int ev = t_look(fd);
        if (ev == event)
            return true;
        struct pollfd p {fd, POLLIN, 0};
        poll(&p, 1, 50);
    }
    return false;
}

} // namespace tlitest
