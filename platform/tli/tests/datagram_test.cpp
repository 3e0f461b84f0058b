// IPX datagrams through "/dev/ravitp": addressing, the option bytes,
// broadcast, T_MORE, overflow, datagram errors.
#include "tlitest.h"

#include <cerrno>
#include <cstring>

using namespace tlitest;

namespace {

class Datagram : public TliTest {};

int send_to(int fd, const Addr &to, const std::string &data, int type = -1)
{
    Addr dst = to;
    unsigned char opt[2] = {static_cast<unsigned char>(type < 0 ? 0 : type), 0};
    struct t_unitdata ud {};
    ud.addr.buf = reinterpret_cast<char *>(dst.data());
    ud.addr.len = 12;
    if (type >= 0) {
        ud.opt.buf = reinterpret_cast<char *>(opt);
        ud.opt.len = 2;
    }
    ud.udata.buf = const_cast<char *>(data.data());
    ud.udata.len = static_cast<unsigned>(data.size());
    return t_sndudata(fd, &ud);
}

struct Got {
    Addr from{};
    unsigned char opt[2] = {0xee, 0xee};
    std::string data;
    int flags = -1;
    int rc = 0;
};

Got recv_from(int fd, unsigned maxdata = 600, unsigned amax = 12, unsigned omax = 2)
{
    Got g;
    std::vector<char> buf(maxdata + 1);
    struct t_unitdata ud {};
    ud.addr.buf = reinterpret_cast<char *>(g.from.data());
    ud.addr.maxlen = amax;
    ud.opt.buf = reinterpret_cast<char *>(g.opt);
    ud.opt.maxlen = omax;
    ud.udata.buf = buf.data();
    ud.udata.maxlen = maxdata;
    g.rc = t_rcvudata(fd, &ud, &g.flags);
    if (g.rc == 0)
        g.data.assign(buf.data(), ud.udata.len);
    return g;
}

TEST_F(Datagram, InfoAndServiceChecks)
{
    struct t_info info {};
    int fd = t_open("/dev/ravitp", O_RDWR, &info);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(info.addr, 12);
    EXPECT_EQ(info.options, 2);
    EXPECT_EQ(info.tsdu, 546);
    EXPECT_EQ(info.etsdu, -2);
    EXPECT_EQ(info.servtype, T_CLTS);
    // Unbound: no datagrams yet.
    EXPECT_EQ(send_to(fd, make_addr(0, 1, 0x4444), "x"), -1);
    EXPECT_EQ(t_errno, TOUTSTATE);
    bind_ep(fd, 0);
    struct t_call call {};
    EXPECT_EQ(t_connect(fd, &call, nullptr), -1);
    EXPECT_EQ(t_errno, TNOTSUPPORT);
    EXPECT_EQ(t_listen(fd, &call), -1);
    EXPECT_EQ(t_errno, TNOTSUPPORT);
    struct t_optmgmt req {};
    req.flags = T_DEFAULT;
    EXPECT_EQ(t_optmgmt(fd, &req, nullptr), -1);
    EXPECT_EQ(t_errno, TNOTSUPPORT);
    t_close(fd);
}

TEST_F(Datagram, SendAndReceiveWithPacketType)
{
    int a = open_ep("/dev/ravitp");
    int b = open_ep("/dev/ravitp");
    Addr aa = bind_ep(a, 0);
    Addr want = make_addr(0, 1, 0x1700);  // the request exchange binds like this (root)
    Addr ba = bind_ep(b, 0, &want);
    EXPECT_EQ(ba, make_addr(1, 0x7f000001, 0x1700));
    ASSERT_EQ(send_to(a, ba, "request", 4), 0);
    Got g = recv_from(b);
    ASSERT_EQ(g.rc, 0) << t_errno;
    EXPECT_EQ(g.data, "request");
    EXPECT_EQ(g.from, aa);
    EXPECT_EQ(g.opt[0], 4);  // packet type
    EXPECT_EQ(g.opt[1], 0);  // hops
    EXPECT_EQ(g.flags, 0);
    // Network 0 and node 1 in a destination mean this host; no options:
    // packet type 0.
    Addr local_a = aa;
    for (int i = 0; i < 4; i++) local_a[i] = 0;
    std::memcpy(local_a.data() + 4, "\0\0\0\0\0\1", 6);
    ASSERT_EQ(send_to(b, local_a, "reply"), 0);
    g = recv_from(a);
    ASSERT_EQ(g.rc, 0);
    EXPECT_EQ(g.data, "reply");
    EXPECT_EQ(g.opt[0], 0);
    EXPECT_EQ(g.from, ba);
    t_close(a);
    t_close(b);
}

TEST_F(Datagram, SizeLimits)
{
    int a = open_ep("/dev/ravitp");
    int b = open_ep("/dev/ravitp");
    bind_ep(a, 0);
    Addr ba = bind_ep(b, 0);
    std::string max(546, 'm');
    ASSERT_EQ(send_to(a, ba, max), 0);
    Got g = recv_from(b);
    EXPECT_EQ(g.data, max);
    EXPECT_EQ(send_to(a, ba, std::string(547, 'm')), -1);
    EXPECT_EQ(t_errno, TSYSERR);
    EXPECT_EQ(errno, EPROTO);
    EXPECT_EQ(send_to(a, ba, ""), -1);
    EXPECT_EQ(t_errno, TBADDATA);
    Addr zero_sock = ba;
    zero_sock[10] = zero_sock[11] = 0;
    EXPECT_EQ(send_to(a, zero_sock, "x"), -1);
    EXPECT_EQ(t_errno, TBADADDR);
    t_close(a);
    t_close(b);
}

TEST_F(Datagram, BroadcastReachesOthersNotTheSender)
{
    int s = open_ep("/dev/ravitp");
    int r = open_ep("/dev/ravitp");
    Addr sa = bind_ep(s, 0);
    Addr ra = bind_ep(r, 0);
    Addr bc = make_addr(0, 0, socket_of(ra));
    for (int i = 4; i < 10; i++) bc[i] = 0xff;
    ASSERT_EQ(send_to(s, bc, "to all", 4), 0);
    Got g = recv_from(r);
    ASSERT_EQ(g.rc, 0);
    EXPECT_EQ(g.data, "to all");
    EXPECT_EQ(g.from, sa);
    // A broadcast to the sender's own socket does not come back to it.
    Addr self_bc = bc;
    self_bc[10] = sa[10];
    self_bc[11] = sa[11];
    ASSERT_EQ(send_to(s, self_bc, "echo?"), 0);
    ASSERT_EQ(send_to(r, sa, "marker"), 0);
    g = recv_from(s);
    EXPECT_EQ(g.data, "marker");
    t_close(s);
    t_close(r);
}

TEST_F(Datagram, LongDatagramInPiecesAndOverflow)
{
    int a = open_ep("/dev/ravitp");
    int b = open_ep("/dev/ravitp");
    bind_ep(a, 0);
    Addr ba = bind_ep(b, 0);
    ASSERT_EQ(send_to(a, ba, "0123456789"), 0);
    Got g = recv_from(b, 4);
    EXPECT_EQ(g.data, "0123");
    EXPECT_EQ(g.flags, T_MORE);
    g = recv_from(b, 4);
    EXPECT_EQ(g.data, "4567");
    EXPECT_EQ(g.flags, T_MORE);
    g = recv_from(b, 4);
    EXPECT_EQ(g.data, "89");
    EXPECT_EQ(g.flags, 0);
    // An address buffer too small: TBUFOVFLW and the datagram is gone.
    ASSERT_EQ(send_to(a, ba, "lost"), 0);
    ASSERT_EQ(send_to(a, ba, "kept"), 0);
    ASSERT_TRUE(wait_look(b, T_DATA));
    g = recv_from(b, 100, 6);
    EXPECT_EQ(g.rc, -1);
    EXPECT_EQ(t_errno, TBUFOVFLW);
    EXPECT_EQ(t_getstate(b), T_IDLE);
    g = recv_from(b);
    EXPECT_EQ(g.data, "kept");
    t_close(a);
    t_close(b);
}

TEST_F(Datagram, NoDataUnderNonblockAndUnbindWithQueued)
{
    int a = open_ep("/dev/ravitp");
    int b = open_ep("/dev/ravitp", O_RDWR | O_NONBLOCK);
    bind_ep(a, 0);
    Addr ba = bind_ep(b, 0);
    Got g = recv_from(b);
    EXPECT_EQ(g.rc, -1);
    EXPECT_EQ(t_errno, TNODATA);
    ASSERT_EQ(send_to(a, ba, "queued"), 0);
    ASSERT_TRUE(wait_look(b, T_DATA));
    EXPECT_EQ(t_unbind(b), -1);
    EXPECT_EQ(t_errno, TLOOK);
    g = recv_from(b);
    EXPECT_EQ(g.data, "queued");
    EXPECT_EQ(t_unbind(b), 0);
    t_close(a);
    t_close(b);
}

TEST_F(Datagram, UnreachableNetworkGivesADatagramError)
{
    int a = open_ep("/dev/ravitp");
    bind_ep(a, 0);
    struct t_uderr ue {};
    Addr where{};
    unsigned char opt[2];
    ue.addr.buf = reinterpret_cast<char *>(where.data());
    ue.addr.maxlen = 12;
    ue.opt.buf = reinterpret_cast<char *>(opt);
    ue.opt.maxlen = 2;
    EXPECT_EQ(t_rcvuderr(a, &ue), -1);
    EXPECT_EQ(t_errno, TNOUDERR);
    Addr far = make_addr(0x99, 5, 0x4001);
    ASSERT_EQ(send_to(a, far, "far away", 4), 0);
    EXPECT_EQ(t_look(a), T_UDERR);
    Got g = recv_from(a);
    EXPECT_EQ(g.rc, -1);
    EXPECT_EQ(t_errno, TLOOK);
    ASSERT_EQ(t_rcvuderr(a, &ue), 0);
    EXPECT_EQ(where, far);
    EXPECT_EQ(opt[0], 4);
    EXPECT_EQ(ue.error, ENETUNREACH);
    EXPECT_EQ(t_look(a), 0);
    t_close(a);
}

} // namespace
