// TLI conformance of the library and ipxstackd for SPX endpoints: states,
// per-call errors, TLOOK cases, T_MORE, options.
#include "tlitest.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <unistd.h>

using namespace tlitest;

namespace {

class Spx : public TliTest {};

TEST_F(Spx, OpenReportsTheProviderAndChecksFlags)
{
    struct t_info info {};
    int fd = t_open("/dev/ravspx", O_RDWR, &info);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(info.addr, 12);
    EXPECT_EQ(info.options, 8);
    EXPECT_EQ(info.tsdu, -1);
    EXPECT_EQ(info.etsdu, 534);
    EXPECT_EQ(info.connect, -2);
    EXPECT_EQ(info.discon, -2);
    EXPECT_EQ(info.servtype, T_COTS);
    EXPECT_EQ(t_getstate(fd), T_UNBND);
    // The endpoint survives exec.
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    t_close(fd);

    EXPECT_EQ(t_open("/dev/ravspx", O_RDONLY, nullptr), -1);
    EXPECT_EQ(t_errno, TBADFLAG);
    EXPECT_EQ(t_open("/dev/nosuchdevice", O_RDWR, nullptr), -1);
    EXPECT_EQ(t_errno, TSYSERR);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Spx, BindFillsInTheLocalAddress)
{
    int a = open_ep("/dev/ravspx");
    // Network 0 and node 00 00 00 00 00 01 mean the local ones.
    Addr want = make_addr(0, 1, 0x8063);
    Addr got = bind_ep(a, 4, &want);
    EXPECT_EQ(got, make_addr(1, 0x7f000001, 0x8063));
    EXPECT_EQ(t_getstate(a), T_IDLE);

    // In use: TNOADDR; also across devices (one socket space).
    int b = open_ep("/dev/mspx");
    struct t_bind req {};
    req.addr.buf = reinterpret_cast<char *>(want.data());
    req.addr.len = 12;
    EXPECT_EQ(t_bind(b, &req, nullptr), -1);
    EXPECT_EQ(t_errno, TNOADDR);
    EXPECT_EQ(t_getstate(b), T_UNBND);

    // A foreign network or node, or a short address: TBADADDR.
    Addr foreign = make_addr(7, 1, 0x9000);
    req.addr.buf = reinterpret_cast<char *>(foreign.data());
    EXPECT_EQ(t_bind(b, &req, nullptr), -1);
    EXPECT_EQ(t_errno, TBADADDR);
    req.addr.len = 6;
    EXPECT_EQ(t_bind(b, &req, nullptr), -1);
    EXPECT_EQ(t_errno, TBADADDR);

    // Socket 0: a dynamic socket.
    Addr dyn = bind_ep(b, 0);
    EXPECT_GE(socket_of(dyn), 0x4000);
    EXPECT_LE(socket_of(dyn), 0x7fff);
    // Bound twice: TOUTSTATE, and unbind still works.
    EXPECT_EQ(t_bind(b, nullptr, nullptr), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);
    EXPECT_EQ(t_unbind(b), 0);
    EXPECT_EQ(t_getstate(b), T_UNBND);
    EXPECT_EQ(t_unbind(b), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);

    // Once given up, the socket can be bound again.
    t_close(a);
    EXPECT_EQ(bind_ep(b, 0, &want), got);
    t_close(b);
}

TEST_F(Spx, BindOverflowLeavesTheEndpointBound)
{
    int fd = open_ep("/dev/ravspx");
    char small[4];
    struct t_bind ret {};
    ret.addr.buf = small;
    ret.addr.maxlen = sizeof(small);
    EXPECT_EQ(t_bind(fd, nullptr, &ret), -1);
    EXPECT_EQ(t_errno, TBUFOVFLW);
    EXPECT_EQ(t_getstate(fd), T_IDLE);
    t_close(fd);
}

TEST_F(Spx, PrivilegedSocketsNeedRoot)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setresuid(65534, 65534, 65534) < 0)
            _exit(10);
        int fd = t_open("/dev/ravspx", O_RDWR, nullptr);
        if (fd < 0)
            _exit(11);
        Addr low = make_addr(0, 0, 0x0031);
        struct t_bind req {};
        req.addr.buf = reinterpret_cast<char *>(low.data());
        req.addr.len = 12;
        if (t_bind(fd, &req, nullptr) != -1 || t_errno != TACCES)
            _exit(12);
        Addr high = make_addr(0, 0, 0x9031);
        req.addr.buf = reinterpret_cast<char *>(high.data());
        _exit(t_bind(fd, &req, nullptr) == 0 ? 0 : 13);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    // Root may.
    int fd = open_ep("/dev/ravspx");
    Addr low = make_addr(0, 0, 0x0031);
    bind_ep(fd, 0, &low);
    t_close(fd);
}

TEST_F(Spx, ConnectAcceptAndDataBothWays)
{
    Conn c = connect_pair();
    EXPECT_EQ(t_getstate(c.lis), T_IDLE);
    std::string hello = "hello, server";
    ASSERT_EQ(t_snd(c.cli, hello.data(), static_cast<unsigned>(hello.size()), 0),
              static_cast<int>(hello.size()));
    char buf[64];
    int flags = -1;
    int n = t_rcv(c.srv, buf, sizeof(buf), &flags);
    ASSERT_EQ(n, static_cast<int>(hello.size()));
    EXPECT_EQ(std::string(buf, n), hello);
    EXPECT_EQ(flags, 0);
    ASSERT_EQ(t_snd(c.srv, const_cast<char *>("back"), 4, 0), 4);
    EXPECT_EQ(rcv_exactly(c.cli, 4), "back");
    c.close_all();
}

TEST_F(Spx, ProtocolAddressesOfBothEnds)
{
    // What an accepted endpoint knows of its caller (Zeltty logs it).
    Conn c = connect_pair();
    Addr own{}, peer{}, cli_own{}, cli_peer{};
    auto get = [](int fd, Addr &a, Addr &b) {
        struct t_bind x {}, y {};
        x.addr = {12, 0, reinterpret_cast<char *>(a.data())};
        y.addr = {12, 0, reinterpret_cast<char *>(b.data())};
        EXPECT_EQ(t_getprotaddr(fd, &x, &y), 0) << t_errno;
        EXPECT_EQ(x.addr.len, 12u);
        EXPECT_EQ(y.addr.len, 12u);
    };
    get(c.srv, own, peer);
    get(c.cli, cli_own, cli_peer);
    EXPECT_EQ(own, c.lis_addr);  // the connection keeps the listener's address
    EXPECT_EQ(peer, cli_own);
    EXPECT_EQ(cli_peer, c.lis_addr);

    // A listener has no peer; an unbound endpoint has neither; a short
    // buffer overflows; null or empty records are left alone.
    struct t_bind x {}, y {};
    Addr a{}, b{};
    x.addr = {12, 0, reinterpret_cast<char *>(a.data())};
    y.addr = {12, 7, reinterpret_cast<char *>(b.data())};
    EXPECT_EQ(t_getprotaddr(c.lis, &x, &y), 0);
    EXPECT_EQ(x.addr.len, 12u);
    EXPECT_EQ(y.addr.len, 0u);
    int u = open_ep("/dev/ravspx");
    EXPECT_EQ(t_getprotaddr(u, &x, nullptr), 0);
    EXPECT_EQ(x.addr.len, 0u);
    x.addr.maxlen = 6;
    EXPECT_EQ(t_getprotaddr(c.srv, &x, nullptr), -1);
    EXPECT_EQ(t_errno, TBUFOVFLW);
    x.addr.maxlen = 0;
    x.addr.len = 5;
    EXPECT_EQ(t_getprotaddr(c.srv, &x, nullptr), 0);
    EXPECT_EQ(x.addr.len, 5u);
    t_close(u);
    c.close_all();
}

TEST_F(Spx, LargeUnitsArriveWholeWithMore)
{
    Conn c = connect_pair();
    // 5000 bytes: several packets; a 2000-byte buffer sees T_MORE twice.
    std::string unit(5000, '\0');
    for (size_t i = 0; i < unit.size(); i++)
        unit[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(t_snd(c.cli, unit.data(), 5000, 0), 5000);
    std::string got;
    std::vector<int> flags_seen;
    while (got.size() < unit.size()) {
        char buf[2000];
        int flags = 0;
        int n = t_rcv(c.srv, buf, sizeof(buf), &flags);
        ASSERT_GT(n, 0);
        got.append(buf, n);
        flags_seen.push_back(flags);
    }
    EXPECT_EQ(got, unit);
    ASSERT_FALSE(flags_seen.empty());
    EXPECT_EQ(flags_seen.back(), 0);
    for (size_t i = 0; i + 1 < flags_seen.size(); i++)
        EXPECT_EQ(flags_seen[i], T_MORE);
    // T_MORE from the sender joins two sends into one unit.
    ASSERT_EQ(t_snd(c.cli, const_cast<char *>("abc"), 3, T_MORE), 3);
    ASSERT_EQ(t_snd(c.cli, const_cast<char *>("def"), 3, 0), 3);
    std::string joined;
    int flags = T_MORE;
    while (flags & T_MORE) {
        char buf[16];
        int n = t_rcv(c.srv, buf, sizeof(buf), &flags);
        ASSERT_GE(n, 0);
        joined.append(buf, n);
    }
    EXPECT_EQ(joined, "abcdef");
    c.close_all();
}

TEST_F(Spx, ExpeditedDataIsMarked)
{
    Conn c = connect_pair();
    ASSERT_EQ(t_snd(c.cli, const_cast<char *>("!"), 1, T_EXPEDITED), 1);
    ASSERT_TRUE(wait_look(c.srv, T_EXDATA));
    char b[8];
    int flags = 0;
    ASSERT_EQ(t_rcv(c.srv, b, sizeof(b), &flags), 1);
    EXPECT_EQ(b[0], '!');
    EXPECT_EQ(flags, T_EXPEDITED);
    c.close_all();
}

TEST_F(Spx, AcceptOnTheListenerItself)
{
    Conn c = connect_pair(true);
    EXPECT_EQ(t_getstate(c.lis), T_DATAXFER);
    ASSERT_EQ(t_snd(c.cli, const_cast<char *>("x"), 1, 0), 1);
    EXPECT_EQ(rcv_exactly(c.lis, 1), "x");
    c.close_all();
}

// Everything the peer sent before it closed arrives before the disconnect.
TEST_F(Spx, DataBeforeCloseIsDeliveredThenDisconnect)
{
    Conn c = connect_pair();
    std::string all;
    for (int i = 0; i < 40; i++) {
        std::string u = "unit " + std::to_string(i) + std::string(300, 'z');
        ASSERT_EQ(t_snd(c.cli, u.data(), static_cast<unsigned>(u.size()), 0),
                  static_cast<int>(u.size()));
        all += u;
    }
    t_close(c.cli);
    c.cli = -1;
    EXPECT_EQ(rcv_exactly(c.srv, all.size()), all);
    char b[4];
    int flags;
    EXPECT_EQ(t_rcv(c.srv, b, sizeof(b), &flags), -1);
    EXPECT_EQ(t_errno, TLOOK);
    EXPECT_EQ(t_look(c.srv), T_DISCONNECT);
    struct t_discon d {};
    EXPECT_EQ(t_rcvdis(c.srv, &d), 0);
    EXPECT_EQ(d.reason, 1);
    EXPECT_EQ(t_getstate(c.srv), T_IDLE);
    EXPECT_EQ(t_rcvdis(c.srv, &d), -1);
    EXPECT_EQ(t_errno, TNODIS);
    c.close_all();
}

TEST_F(Spx, SnddisEndsTheConnectionInOrder)
{
    Conn c = connect_pair();
    ASSERT_EQ(t_snd(c.srv, const_cast<char *>("last words"), 10, 0), 10);
    ASSERT_EQ(t_snddis(c.srv, nullptr), 0);
    EXPECT_EQ(t_getstate(c.srv), T_IDLE);
    EXPECT_EQ(rcv_exactly(c.cli, 10), "last words");
    ASSERT_TRUE(wait_look(c.cli, T_DISCONNECT));
    EXPECT_EQ(t_rcvdis(c.cli, nullptr), 0);
    EXPECT_EQ(t_getstate(c.cli), T_IDLE);
    c.close_all();
}

TEST_F(Spx, RefusedCallGivesTheCallerADisconnect)
{
    int lis = open_ep("/dev/ravspx");
    Addr la = bind_ep(lis, 2);
    int cli = open_ep("/dev/ravspx", O_RDWR | O_NONBLOCK);
    bind_ep(cli, 0);
    struct t_call call {};
    call.addr.buf = reinterpret_cast<char *>(la.data());
    call.addr.len = 12;
    EXPECT_EQ(t_connect(cli, &call, nullptr), -1);
    EXPECT_EQ(t_errno, TNODATA);
    EXPECT_EQ(t_getstate(cli), T_OUTCON);
    struct t_call ind {};
    ASSERT_EQ(t_listen(lis, &ind), 0);
    EXPECT_EQ(t_getstate(lis), T_INCON);
    struct t_call bad {};
    bad.sequence = ind.sequence + 100;
    EXPECT_EQ(t_snddis(lis, &bad), -1);
    EXPECT_EQ(t_errno, TBADSEQ);
    ASSERT_EQ(t_snddis(lis, &ind), 0);
    EXPECT_EQ(t_getstate(lis), T_IDLE);
    set_nonblock(cli, false);
    EXPECT_EQ(t_rcvconnect(cli, nullptr), -1);
    EXPECT_EQ(t_errno, TLOOK);
    EXPECT_EQ(t_look(cli), T_DISCONNECT);
    struct t_discon d {};
    EXPECT_EQ(t_rcvdis(cli, &d), 0);
    EXPECT_EQ(d.reason, 2);
    EXPECT_EQ(t_getstate(cli), T_IDLE);
    t_close(cli);
    t_close(lis);
}

// After t_listen the caller goes away: t_accept says TLOOK, and the
// disconnect names the indication.
TEST_F(Spx, AcceptWithADisconnectPending)
{
    int lis = open_ep("/dev/ravspx");
    Addr la = bind_ep(lis, 2);
    int cli = call_to(la);
    struct t_call ind {};
    ASSERT_EQ(t_listen(lis, &ind), 0);
    t_close(cli);
    ASSERT_TRUE(wait_look(lis, T_DISCONNECT));
    int res = open_ep("/dev/ravspx");
    bind_ep(res, 0);
    EXPECT_EQ(t_accept(lis, res, &ind), -1);
    EXPECT_EQ(t_errno, TLOOK);
    struct t_discon d {};
    ASSERT_EQ(t_rcvdis(lis, &d), 0);
    EXPECT_EQ(d.sequence, ind.sequence);
    EXPECT_EQ(t_getstate(lis), T_IDLE);
    EXPECT_EQ(t_getstate(res), T_IDLE);
    t_close(res);
    t_close(lis);
}

TEST_F(Spx, AcceptWithASecondIndicationQueued)
{
    int lis = open_ep("/dev/ravspx");
    Addr la = bind_ep(lis, 4);
    int c1 = open_ep("/dev/ravspx", O_RDWR | O_NONBLOCK);
    int c2 = open_ep("/dev/ravspx", O_RDWR | O_NONBLOCK);
    bind_ep(c1, 0);
    bind_ep(c2, 0);
    struct t_call call {};
    call.addr.buf = reinterpret_cast<char *>(la.data());
    call.addr.len = 12;
    t_connect(c1, &call, nullptr);
    struct t_call i1 {}, i2 {};
    ASSERT_EQ(t_listen(lis, &i1), 0);
    t_connect(c2, &call, nullptr);
    ASSERT_TRUE(wait_look(lis, T_LISTEN));
    int res = open_ep("/dev/ravspx");
    bind_ep(res, 0);
    EXPECT_EQ(t_accept(lis, res, &i1), -1);
    EXPECT_EQ(t_errno, TLOOK);
    EXPECT_EQ(t_look(lis), T_LISTEN);
    ASSERT_EQ(t_listen(lis, &i2), 0);
    EXPECT_NE(i1.sequence, i2.sequence);
    // Two outstanding: the listener cannot take one itself.
    EXPECT_EQ(t_accept(lis, lis, &i1), -1);
    EXPECT_EQ(t_errno, TBADF);
    EXPECT_EQ(t_accept(lis, res, &i2), 0);
    EXPECT_EQ(t_getstate(lis), T_INCON);
    EXPECT_EQ(t_snddis(lis, &i1), 0);
    EXPECT_EQ(t_getstate(lis), T_IDLE);
    set_nonblock(c2, false);
    EXPECT_EQ(t_rcvconnect(c2, nullptr), 0);
    set_nonblock(c1, false);
    EXPECT_EQ(t_rcvconnect(c1, nullptr), -1);
    EXPECT_EQ(t_errno, TLOOK);
    for (int fd : {c1, c2, res, lis})
        t_close(fd);
}

TEST_F(Spx, ListenWithADisconnectPending)
{
    int lis = open_ep("/dev/ravspx");
    Addr la = bind_ep(lis, 2);
    int cli = call_to(la);
    struct t_call ind {};
    ASSERT_EQ(t_listen(lis, &ind), 0);
    t_close(cli);
    ASSERT_TRUE(wait_look(lis, T_DISCONNECT));
    EXPECT_EQ(t_listen(lis, &ind), -1);
    EXPECT_EQ(t_errno, TLOOK);
    EXPECT_EQ(t_rcvdis(lis, nullptr), 0);
    // Unbind with an indication queued: TLOOK.
    int c2 = call_to(la);
    ASSERT_TRUE(wait_look(lis, T_LISTEN));
    EXPECT_EQ(t_unbind(lis), -1);
    EXPECT_EQ(t_errno, TLOOK);
    t_close(c2);
    t_close(lis);
}

TEST_F(Spx, ListenOverflowStillCountsTheIndication)
{
    int lis = open_ep("/dev/ravspx");
    Addr la = bind_ep(lis, 2);
    int cli = call_to(la);
    char small[4];
    struct t_call ind {};
    ind.addr.buf = small;
    ind.addr.maxlen = sizeof(small);
    EXPECT_EQ(t_listen(lis, &ind), -1);
    EXPECT_EQ(t_errno, TBUFOVFLW);
    EXPECT_EQ(t_getstate(lis), T_INCON);
    EXPECT_GT(ind.sequence, 0);
    EXPECT_EQ(t_snddis(lis, &ind), 0);
    t_close(cli);
    t_close(lis);
}

TEST_F(Spx, NonblockingCallsSayNoData)
{
    Conn c = connect_pair();
    set_nonblock(c.srv, true);
    char b[4];
    int flags;
    EXPECT_EQ(t_rcv(c.srv, b, sizeof(b), &flags), -1);
    EXPECT_EQ(t_errno, TNODATA);
    int lis = open_ep("/dev/ravspx", O_RDWR | O_NONBLOCK);
    bind_ep(lis, 1);
    struct t_call ind {};
    EXPECT_EQ(t_listen(lis, &ind), -1);
    EXPECT_EQ(t_errno, TNODATA);
    t_close(lis);
    c.close_all();
}

TEST_F(Spx, CallsOutOfState)
{
    int fd = open_ep("/dev/ravspx");
    char b[4];
    int flags;
    struct t_call call {};
    EXPECT_EQ(t_listen(fd, &call), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);
    EXPECT_EQ(t_snd(fd, b, 1, 0), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);
    EXPECT_EQ(t_rcv(fd, b, 1, &flags), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);
    EXPECT_EQ(t_snddis(fd, nullptr), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);
    EXPECT_EQ(t_rcvconnect(fd, nullptr), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);
    bind_ep(fd, 0);
    // No queue: not a listener.
    EXPECT_EQ(t_listen(fd, &call), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);
    struct t_call a {};
    EXPECT_EQ(t_accept(fd, fd, &a), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);
    // Calls the service lacks.
    EXPECT_EQ(t_sndrel(fd), -1);
    EXPECT_EQ(t_errno, TNOTSUPPORT);
    EXPECT_EQ(t_rcvrel(fd), -1);
    EXPECT_EQ(t_errno, TNOTSUPPORT);
    struct t_unitdata ud {};
    EXPECT_EQ(t_rcvudata(fd, &ud, &flags), -1);
    EXPECT_EQ(t_errno, TNOTSUPPORT);
    // Zero bytes are no unit.
    Conn c = connect_pair();
    EXPECT_EQ(t_snd(c.cli, b, 0, 0), -1);
    EXPECT_EQ(t_errno, TBADDATA);
    EXPECT_EQ(t_connect(c.cli, &call, nullptr), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);
    c.close_all();
    t_close(fd);
}

TEST_F(Spx, CallsOnSomethingThatIsNoEndpoint)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(t_look(p[0]), -1);
    EXPECT_EQ(t_errno, TBADF);
    EXPECT_EQ(t_getstate(p[0]), -1);
    EXPECT_EQ(t_errno, TBADF);
    close(p[0]);
    close(p[1]);
    int fd = open_ep("/dev/ravspx");
    t_close(fd);
    EXPECT_EQ(t_sync(fd), -1);
    EXPECT_EQ(t_errno, TBADF);
    EXPECT_EQ(t_close(fd), -1);
    EXPECT_EQ(t_errno, TBADF);
    char b[2];
    EXPECT_EQ(t_snd(fd, b, 1, 0), -1);
    EXPECT_EQ(t_errno, TBADF);
}

TEST_F(Spx, OptionRecord)
{
    int fd = open_ep("/dev/ravspx");
    bind_ep(fd, 0);
    unsigned char rec[8] = {};
    struct t_optmgmt req {}, ret {};
    req.flags = T_DEFAULT;
    ret.opt.buf = reinterpret_cast<char *>(rec);
    ret.opt.maxlen = 8;
    ASSERT_EQ(t_optmgmt(fd, &req, &ret), 0);
    ASSERT_EQ(ret.opt.len, 8u);
    uint16_t ackdel, sackdel, max;
    std::memcpy(&ackdel, rec + 2, 2);
    std::memcpy(&sackdel, rec + 4, 2);
    std::memcpy(&max, rec + 6, 2);
    EXPECT_EQ(rec[0], 0);
    EXPECT_EQ(rec[1], 0);
    EXPECT_EQ(ackdel, 0);
    EXPECT_EQ(sackdel, 3000);
    EXPECT_EQ(max, 534);

    // Negotiate: the trace/drop byte and the ack delay are taken as given,
    // an oversized packet size comes back as the largest allowed.
    unsigned char want[8];
    std::memcpy(want, rec, 8);
    want[1] = 0x81;
    uint16_t v = 200;
    std::memcpy(want + 2, &v, 2);
    v = 9000;
    std::memcpy(want + 6, &v, 2);
    req.flags = T_NEGOTIATE;
    req.opt.buf = reinterpret_cast<char *>(want);
    req.opt.len = 8;
    ASSERT_EQ(t_optmgmt(fd, &req, &ret), 0);
    EXPECT_EQ(ret.flags, T_NEGOTIATE);
    EXPECT_EQ(rec[1], 0x81);
    std::memcpy(&ackdel, rec + 2, 2);
    std::memcpy(&max, rec + 6, 2);
    EXPECT_EQ(ackdel, 200);
    EXPECT_EQ(max, 534);

    req.flags = T_CHECK;
    ASSERT_EQ(t_optmgmt(fd, &req, &ret), 0);
    EXPECT_EQ(ret.flags, T_FAILURE);
    v = 100;
    std::memcpy(want + 6, &v, 2);
    ASSERT_EQ(t_optmgmt(fd, &req, &ret), 0);
    EXPECT_EQ(ret.flags, T_SUCCESS);

    req.flags = T_NEGOTIATE;
    req.opt.len = 5;
    EXPECT_EQ(t_optmgmt(fd, &req, &ret), -1);
    EXPECT_EQ(t_errno, TBADOPT);
    req.flags = T_DEFAULT;
    req.opt.len = 8;
    EXPECT_EQ(t_optmgmt(fd, &req, &ret), -1);
    EXPECT_EQ(t_errno, TBADOPT);
    req.flags = 0x1000;
    EXPECT_EQ(t_optmgmt(fd, &req, &ret), -1);
    EXPECT_EQ(t_errno, TBADFLAG);
    req.flags = T_DEFAULT;
    req.opt.len = 0;
    ret.opt.maxlen = 4;
    EXPECT_EQ(t_optmgmt(fd, &req, &ret), -1);
    EXPECT_EQ(t_errno, TBUFOVFLW);
    t_close(fd);
}

TEST_F(Spx, AllocSizesFromTheProvider)
{
    int fd = open_ep("/dev/ravspx");
    auto *call = reinterpret_cast<struct t_call *>(t_alloc(fd, T_CALL, T_ALL));
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->addr.maxlen, 12u);
    EXPECT_EQ(call->opt.maxlen, 8u);
    EXPECT_EQ(call->udata.maxlen, 0u);  // no user data with connect or disconnect
    EXPECT_EQ(call->udata.buf, nullptr);
    EXPECT_EQ(t_free(reinterpret_cast<char *>(call), T_CALL), 0);
    auto *ud = reinterpret_cast<struct t_unitdata *>(t_alloc(fd, T_UNITDATA, T_ALL));
    ASSERT_NE(ud, nullptr);
    EXPECT_EQ(ud->udata.maxlen, 1024u);  // tsdu -1: no limit
    t_free(reinterpret_cast<char *>(ud), T_UNITDATA);
    EXPECT_EQ(t_alloc(fd, 99, T_ALL), nullptr);
    EXPECT_EQ(t_errno, TSYSERR);
    int dg = open_ep("/dev/ravitp");
    ud = reinterpret_cast<struct t_unitdata *>(t_alloc(dg, T_UNITDATA, T_ADDR | T_UDATA));
    ASSERT_NE(ud, nullptr);
    EXPECT_EQ(ud->addr.maxlen, 12u);
    EXPECT_EQ(ud->opt.maxlen, 0u);
    EXPECT_EQ(ud->udata.maxlen, 546u);
    t_free(reinterpret_cast<char *>(ud), T_UNITDATA);
    t_close(dg);
    t_close(fd);
}

class SpxFlow : public TliTest {};

// With nobody reading, a non-blocking sender fills the window and the send
// buffer, then gets TFLOW; once the reader drains, every byte arrives in
// order and a blocking sender goes on.
TEST_F(SpxFlow, FlowControlAndTflow)
{
    Conn c = connect_pair();
    set_nonblock(c.cli, true);
    std::string sent;
    int r = 0;
    for (int i = 0; i < 10000; i++) {
        std::string u(1000, static_cast<char>('A' + i % 26));
        r = t_snd(c.cli, u.data(), 1000, 0);
        if (r < 0)
            break;
        sent += u.substr(0, static_cast<size_t>(r));
        if (r < 1000)
            break;  // taken in part: flow control reached
    }
    ASSERT_TRUE(r < 0 || r < 1000) << "never flow-controlled";
    if (r < 0) {
        EXPECT_EQ(t_errno, TFLOW);
    }
    EXPECT_GT(sent.size(), 1000u);
    set_nonblock(c.cli, false);
    // A blocking send now waits for the reader.
    pid_t pid = fork();
    if (pid == 0) {
        std::string more(20000, '#');
        _exit(t_snd(c.cli, more.data(), 20000, 0) == 20000 ? 0 : 1);
    }
    std::string got = rcv_exactly(c.srv, sent.size() + 20000);
    EXPECT_EQ(got.substr(0, sent.size()), sent);
    EXPECT_EQ(got.substr(sent.size()), std::string(20000, '#'));
    int st = -1;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    c.close_all();
}

// The diagnostic's exchange: 1000 units of 2048 bytes, the sender closing
// at once after its last send; the receiver still gets every byte.
TEST_F(SpxFlow, BulkUnitsThenImmediateClose)
{
    Conn c = connect_pair(true, "/dev/mspx");
    pid_t pid = fork();
    if (pid == 0) {
        std::string unit(2048, '\0');
        for (int i = 0; i < 1000; i++) {
            unit[0] = static_cast<char>(i);
            if (t_snd(c.cli, unit.data(), 2048, 0) != 2048)
                _exit(1);
        }
        _exit(t_close(c.cli) == 0 ? 0 : 2);
    }
    t_close(c.cli);
    c.cli = -1;
    size_t total = 0;
    int units = 0;
    for (;;) {
        char buf[2048];
        int flags = 0;
        int n = t_rcv(c.srv, buf, sizeof(buf), &flags);
        if (n < 0) {
            EXPECT_EQ(t_errno, TLOOK);
            EXPECT_EQ(t_look(c.srv), T_DISCONNECT);
            break;
        }
        if (total % 2048 == 0) {
            EXPECT_EQ(static_cast<unsigned char>(buf[0]), units % 256);
        }
        total += static_cast<size_t>(n);
        if (!(flags & T_MORE))
            units++;
    }
    EXPECT_EQ(total, 2048u * 1000u);
    EXPECT_EQ(units, 1000);
    int st = -1;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    c.close_all();
}

class StateTable : public TliTest {};

// Every legal transition of the SPX endpoint state table, each checked on
// both endpoints involved.
TEST_F(StateTable, LegalTransitions)
{
    // open -> UNBND, bind -> IDLE, optmgmt IDLE -> IDLE, unbind -> UNBND.
    int a = open_ep("/dev/ravspx");
    EXPECT_EQ(t_getstate(a), T_UNBND);
    Addr aa = bind_ep(a, 3);
    EXPECT_EQ(t_getstate(a), T_IDLE);
    struct t_optmgmt req {}, ret {};
    char rec[8];
    req.flags = T_DEFAULT;
    ret.opt.buf = rec;
    ret.opt.maxlen = 8;
    ASSERT_EQ(t_optmgmt(a, &req, &ret), 0);
    EXPECT_EQ(t_getstate(a), T_IDLE);
    ASSERT_EQ(t_unbind(a), 0);
    EXPECT_EQ(t_getstate(a), T_UNBND);
    aa = bind_ep(a, 3);

    struct t_call to {};
    to.addr.buf = reinterpret_cast<char *>(aa.data());
    to.addr.len = 12;
    auto call_in = [&](int cli) {
        set_nonblock(cli, true);
        EXPECT_EQ(t_connect(cli, &to, nullptr), -1);  // IDLE -> OUTCON
        EXPECT_EQ(t_errno, TNODATA);
        EXPECT_EQ(t_getstate(cli), T_OUTCON);
        set_nonblock(cli, false);
    };

    // OUTCON -> snddis -> IDLE (the call is withdrawn; the listener's
    // indication goes away with a disconnect).
    int b = open_ep("/dev/ravspx");
    bind_ep(b, 0);
    call_in(b);
    struct t_call i1 {}, i2 {}, i3 {};
    ASSERT_EQ(t_listen(a, &i1), 0);  // IDLE -> INCON
    EXPECT_EQ(t_getstate(a), T_INCON);
    ASSERT_EQ(t_snddis(b, nullptr), 0);
    EXPECT_EQ(t_getstate(b), T_IDLE);
    ASSERT_TRUE(wait_look(a, T_DISCONNECT));
    ASSERT_EQ(t_rcvdis(a, nullptr), 0);  // INCON (one outstanding) -> IDLE
    EXPECT_EQ(t_getstate(a), T_IDLE);

    // INCON -> listen -> INCON; accept with two outstanding -> INCON;
    // accept of the last on another endpoint -> IDLE; resfd IDLE -> DATAXFER.
    int c = open_ep("/dev/ravspx");
    bind_ep(c, 0);
    call_in(b);
    call_in(c);
    ASSERT_EQ(t_listen(a, &i1), 0);
    ASSERT_TRUE(wait_look(a, T_LISTEN));
    ASSERT_EQ(t_listen(a, &i2), 0);
    EXPECT_EQ(t_getstate(a), T_INCON);
    int r1 = open_ep("/dev/ravspx");
    int r2 = open_ep("/dev/ravspx");
    bind_ep(r1, 0);
    bind_ep(r2, 0);
    ASSERT_EQ(t_accept(a, r1, &i1), 0);
    EXPECT_EQ(t_getstate(a), T_INCON);
    EXPECT_EQ(t_getstate(r1), T_DATAXFER);
    ASSERT_EQ(t_accept(a, r2, &i2), 0);
    EXPECT_EQ(t_getstate(a), T_IDLE);
    EXPECT_EQ(t_getstate(r2), T_DATAXFER);
    // OUTCON -> rcvconnect -> DATAXFER.
    ASSERT_EQ(t_rcvconnect(b, nullptr), 0);
    ASSERT_EQ(t_rcvconnect(c, nullptr), 0);
    EXPECT_EQ(t_getstate(b), T_DATAXFER);
    // DATAXFER -> snd/rcv -> DATAXFER.
    ASSERT_EQ(t_snd(b, const_cast<char *>("s"), 1, 0), 1);
    EXPECT_EQ(rcv_exactly(r1, 1), "s");
    EXPECT_EQ(t_getstate(r1), T_DATAXFER);
    // DATAXFER -> snddis -> IDLE; the peer DATAXFER -> rcvdis -> IDLE.
    ASSERT_EQ(t_snddis(r1, nullptr), 0);
    EXPECT_EQ(t_getstate(r1), T_IDLE);
    ASSERT_TRUE(wait_look(b, T_DISCONNECT));
    ASSERT_EQ(t_rcvdis(b, nullptr), 0);
    EXPECT_EQ(t_getstate(b), T_IDLE);

    // INCON -> snddis (one outstanding) -> IDLE; the caller OUTCON ->
    // rcvdis -> IDLE.
    call_in(b);
    ASSERT_EQ(t_listen(a, &i3), 0);
    ASSERT_EQ(t_snddis(a, &i3), 0);
    EXPECT_EQ(t_getstate(a), T_IDLE);
    ASSERT_TRUE(wait_look(b, T_DISCONNECT));
    ASSERT_EQ(t_rcvdis(b, nullptr), 0);
    EXPECT_EQ(t_getstate(b), T_IDLE);

    // INCON -> accept on the listener itself -> DATAXFER.
    call_in(b);
    ASSERT_EQ(t_listen(a, &i3), 0);
    ASSERT_EQ(t_accept(a, a, &i3), 0);
    EXPECT_EQ(t_getstate(a), T_DATAXFER);
    for (int fd : {a, b, c, r1, r2})
        t_close(fd);
}

// A sample of calls in the wrong state: TOUTSTATE and the state unchanged.
TEST_F(StateTable, IllegalCallsChangeNothing)
{
    struct Probe {
        const char *what;
        std::function<int(int)> call;
    };
    char b[4];
    int flags;
    struct t_call empty {};
    std::vector<Probe> idle_probes = {
        {"bind", [](int fd) { return t_bind(fd, nullptr, nullptr); }},
        {"accept", [&](int fd) { return t_accept(fd, fd, &empty); }},
        {"rcvconnect", [](int fd) { return t_rcvconnect(fd, nullptr); }},
        {"snddis", [](int fd) { return t_snddis(fd, nullptr); }},
        {"snd", [&](int fd) { return t_snd(fd, b, 1, 0); }},
        {"rcv", [&](int fd) { return t_rcv(fd, b, 1, &flags); }},
    };
    int idle = open_ep("/dev/ravspx");
    bind_ep(idle, 0);
    for (auto &p : idle_probes) {
        EXPECT_EQ(p.call(idle), -1) << p.what;
        EXPECT_EQ(t_errno, TOUTSTATE) << p.what;
        EXPECT_EQ(t_getstate(idle), T_IDLE) << p.what;
    }
    Conn c = connect_pair();
    std::vector<Probe> xfer_probes = {
        {"bind", [](int fd) { return t_bind(fd, nullptr, nullptr); }},
        {"unbind", [](int fd) { return t_unbind(fd); }},
        {"connect", [&](int fd) { return t_connect(fd, &empty, nullptr); }},
        {"listen", [&](int fd) { return t_listen(fd, &empty); }},
        {"accept", [&](int fd) { return t_accept(fd, fd, &empty); }},
        {"rcvconnect", [](int fd) { return t_rcvconnect(fd, nullptr); }},
    };
    for (auto &p : xfer_probes) {
        EXPECT_EQ(p.call(c.srv), -1) << p.what;
        EXPECT_EQ(t_errno, TOUTSTATE) << p.what;
        EXPECT_EQ(t_getstate(c.srv), T_DATAXFER) << p.what;
    }
    int unbound = open_ep("/dev/ravitp");
    struct t_unitdata ud {};
    Addr any = make_addr(0, 1, 0x4444);
    ud.addr.buf = reinterpret_cast<char *>(any.data());
    ud.addr.len = 12;
    ud.udata.buf = b;
    ud.udata.len = 1;
    EXPECT_EQ(t_sndudata(unbound, &ud), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);
    EXPECT_EQ(t_unbind(unbound), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);
    EXPECT_EQ(t_getstate(unbound), T_UNBND);
    t_close(unbound);
    t_close(idle);
    c.close_all();
}

class SpxBlockingConnect : public TliTest {};

// A synchronous t_connect waits for the answer: accepted (DATAXFER, the
// called address returned) or refused (TLOOK with T_DISCONNECT).
TEST_F(SpxBlockingConnect, AcceptedThenRefused)
{
    int lis = open_ep("/dev/ravspx");
    Addr la = bind_ep(lis, 2);
    pid_t pid = fork();
    if (pid == 0) {
        struct t_call ind {};
        if (t_listen(lis, &ind) < 0 || t_accept(lis, lis, &ind) < 0)
            _exit(1);
        char b[8];
        int flags;
        if (t_rcv(lis, b, sizeof(b), &flags) != 2)
            _exit(2);
        t_close(lis);
        _exit(0);
    }
    int cli = open_ep("/dev/ravspx");
    bind_ep(cli, 0);
    Addr got{};
    struct t_call snd {}, rcv {};
    snd.addr.buf = reinterpret_cast<char *>(la.data());
    snd.addr.len = 12;
    rcv.addr.buf = reinterpret_cast<char *>(got.data());
    rcv.addr.maxlen = 12;
    ASSERT_EQ(t_connect(cli, &snd, &rcv), 0) << t_errno;
    EXPECT_EQ(t_getstate(cli), T_DATAXFER);
    EXPECT_EQ(rcv.addr.len, 12u);
    EXPECT_EQ(got, la);
    ASSERT_EQ(t_snd(cli, const_cast<char *>("ok"), 2, 0), 2);
    int st = -1;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    t_close(lis);
    t_close(cli);

    lis = open_ep("/dev/ravspx");
    la = bind_ep(lis, 2);
    pid = fork();
    if (pid == 0) {
        struct t_call ind {};
        _exit(t_listen(lis, &ind) == 0 && t_snddis(lis, &ind) == 0 ? 0 : 1);
    }
    cli = open_ep("/dev/ravspx");
    bind_ep(cli, 0);
    snd.addr.buf = reinterpret_cast<char *>(la.data());
    EXPECT_EQ(t_connect(cli, &snd, &rcv), -1);
    EXPECT_EQ(t_errno, TLOOK);
    EXPECT_EQ(t_look(cli), T_DISCONNECT);
    EXPECT_EQ(t_getstate(cli), T_OUTCON);
    struct t_discon d {};
    EXPECT_EQ(t_rcvdis(cli, &d), 0);
    EXPECT_EQ(d.reason, 2);
    EXPECT_EQ(t_getstate(cli), T_IDLE);
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    t_close(lis);
    t_close(cli);
}

} // namespace
