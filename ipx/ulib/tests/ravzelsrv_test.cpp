// The request exchange with Ombrad, driven through the TLI test double with
// a scripted clock and wait.
#include <gtest/gtest.h>

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "isrv.h"
#include "ravzel.h"
#include "tlifake.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The local network and node that the fake provider reports.
const unsigned char kNet[4] = {0x00, 0x00, 0xab, 0xcd};
const unsigned char kNode[6] = {0x00, 0x00, 0x0a, 0x00, 0x00, 0x07};

ipx_addr ombrad_addr()
{
    ipx_addr a;
    memcpy(a.net, kNet, 4);
    memcpy(a.node, kNode, 6);
    a.socket[0] = 0x08;
    a.socket[1] = 0x72;
    return a;
}

struct Datagram {
    ipx_addr from;
    Bytes data;
};

struct Exchange {
    std::vector<Bytes> sent;           // user data of each t_sndudata
    std::vector<ipx_addr> sent_to;
    std::vector<unsigned> sent_optlen;
    Bytes bind_req;                    // address asked for in t_bind
    std::deque<Datagram> inbox;        // what t_rcvudata returns, in order
    std::vector<int> waits;            // timeouts given to the wait
    std::deque<int> wait_results;      // scripted wait results (default 1)
    std::deque<time_t> clock;          // scripted clock (last value repeats)
    time_t now = 1000;
};

Exchange *ex;

time_t fake_time(time_t *t)
{
    if (!ex->clock.empty()) {
        ex->now = ex->clock.front();
        ex->clock.pop_front();
    }
    if (t)
        *t = ex->now;
    return ex->now;
}

// A scripted result of -EINTR is a wait that a signal interrupted.
int fake_wait(int, int timeout_ms)
{
    ex->waits.push_back(timeout_ms);
    if (ex->wait_results.empty())
        return 1;
    int r = ex->wait_results.front();
    ex->wait_results.pop_front();
    if (r == -EINTR) {
        errno = EINTR;
        return -1;
    }
    return r;
}

Bytes reply(unsigned code, unsigned seq, int32_t status)
{
    uint32_t s = (uint32_t)status;
    return {(unsigned char)(code >> 8), (unsigned char)code, (unsigned char)(seq >> 8),
            (unsigned char)seq, (unsigned char)(s >> 24), (unsigned char)(s >> 16),
            (unsigned char)(s >> 8), (unsigned char)s};
}

uni_addr service_addr(uint32_t net, Bytes node, unsigned socket)
{
    ipx_addr ia;
    ia.net[0] = (unsigned char)(net >> 24);
    ia.net[1] = (unsigned char)(net >> 16);
    ia.net[2] = (unsigned char)(net >> 8);
    ia.net[3] = (unsigned char)net;
    memcpy(ia.node, node.data(), 6);
    ia.socket[0] = (unsigned char)(socket >> 8);
    ia.socket[1] = (unsigned char)socket;
    uni_addr ua;
    memset(&ua, 0, sizeof ua);
    ravzel_iatoua(&ua, &ia);
    return ua;
}

class Isrv : public ::testing::Test {
protected:
    Exchange x;

    void SetUp() override
    {
        tlifake::reset();
        ex = &x;
        isrv_time = fake_time;
        isrv_wait = fake_wait;
        isrv_seq = 1;
        ravzel_trace = 0;
        tlifake::hooks.bind = [this](int, struct t_bind *req, struct t_bind *ret) {
            x.bind_req.assign((unsigned char *)req->addr.buf,
                              (unsigned char *)req->addr.buf + req->addr.len);
            EXPECT_EQ(ret->addr.maxlen, 12u);
            ipx_addr a = ombrad_addr();
            a.socket[0] = 0x40;  // the provider's own choice of socket
            a.socket[1] = 0x01;
            memcpy(ret->addr.buf, &a, 12);
            ret->addr.len = 12;
            return 0;
        };
        tlifake::hooks.sndudata = [this](int, t_unitdata *ud) {
            x.sent.emplace_back((unsigned char *)ud->udata.buf,
                                (unsigned char *)ud->udata.buf + ud->udata.len);
            ipx_addr to;
            memcpy(&to, ud->addr.buf, 12);
            x.sent_to.push_back(to);
            x.sent_optlen.push_back(ud->opt.len);
            // Ombrad answers at once unless the test queued its own datagrams.
            return 0;
        };
        tlifake::hooks.rcvudata = [this](int, t_unitdata *ud, int *flags) {
            if (x.inbox.empty())
                return tlifake::fail(TNODATA);
            Datagram d = x.inbox.front();
            x.inbox.pop_front();
            memcpy(ud->addr.buf, &d.from, 12);
            ud->addr.len = 12;
            memcpy(ud->udata.buf, d.data.data(), d.data.size());
            ud->udata.len = (unsigned)d.data.size();
            *flags = 0;
            return 0;
        };
    }

    void TearDown() override
    {
        isrv_time = time;
        isrv_wait = ravzel_wait;
        ravzel_trace = 0;
        ex = nullptr;
        tlifake::reset();
    }

    void answer(const Bytes &data) { x.inbox.push_back({ombrad_addr(), data}); }

    int bind_term1(uint32_t host = 0x0a000007, unsigned socket = 0x8063)
    {
        uni_addr ua = service_addr(0xabcd, {0, 0, (unsigned char)(host >> 24),
                                            (unsigned char)(host >> 16),
                                            (unsigned char)(host >> 8), (unsigned char)host},
                                   socket);
        return ravzel_srv_bind("TERM1", 0x247, &ua);
    }
};

std::string captured()
{
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Dump, LinesOfSixteenWithTextColumns)
{
    unsigned char b[20];
    for (int i = 0; i < 20; i++)
        b[i] = (unsigned char)(0x3c + i);  // '<' .. 'O'
    b[1] = 0x00;
    b[17] = 0x7f;

    char line[FXDUMP_LINE];
    fxdump(line, b, 4);
    EXPECT_EQ(std::string(line),
              "3c 00 3e 3f " + std::string(36, ' ') + "    " + "<.>?" + std::string(12, ' '));

    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    dump_bytes(fp, b, 20);
    fclose(fp);
    std::string out(buf, len);
    free(buf);
    EXPECT_EQ(out,
              "\t3c 00 3e 3f 40 41 42 43 44 45 46 47 48 49 4a 4b     <.>?@ABCDEFGHIJK\n"
              "\t4c 7f 4e 4f " + std::string(36, ' ') + "    L.NO" + std::string(12, ' ') +
                  "\n");

    fp = open_memstream(&buf, &len);
    dump_bytes(fp, b, 0);
    fclose(fp);
    EXPECT_EQ(len, 0u);
    free(buf);
}

TEST_F(Isrv, BindRequestAndReplyLayout)
{
    answer(reply(0x8001, 1, 0));
    EXPECT_EQ(bind_term1(0x0a000007, 0x8063), 0);

    // The datagram endpoint asks for node 1, socket 17 00 on the local net.
    EXPECT_EQ(x.bind_req, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x17, 0x00}));
    ASSERT_EQ(x.sent.size(), 1u);
    Bytes want = {0x00, 0x01, 0x00, 0x01, 0x02, 0x47, 0x80, 0x63, 'T', 'E', 'R', 'M', '1'};
    want.resize(56, 0);
    Bytes node = {0x00, 0x00, 0x0a, 0x00, 0x00, 0x07};
    want.insert(want.end(), node.begin(), node.end());
    EXPECT_EQ(x.sent[0], want);
    const ipx_addr want_to = ombrad_addr();
    EXPECT_EQ(memcmp(&x.sent_to[0], &want_to, 12), 0);
    EXPECT_EQ(x.sent_optlen[0], 2u);
    EXPECT_EQ(memcmp(&ombrad_ia, &want_to, 12), 0);
    EXPECT_EQ(tlifake::count("t_close"), 1);
}

TEST_F(Isrv, UnbindCarriesNoNodeOrSocketAndSequenceNumbersFollow)
{
    answer(reply(0x8001, 1, 0));
    EXPECT_EQ(bind_term1(), 0);
    answer(reply(0x8002, 2, 0));
    uni_addr ua = service_addr(0xabcd, {0, 0, 1, 2, 3, 4}, 0x8063);
    EXPECT_EQ(ravzel_srv_unbind("TERM1", 0x247, &ua), 0);

    ASSERT_EQ(x.sent.size(), 2u);
    const Bytes &u = x.sent[1];
    EXPECT_EQ(u[0], 0x00);
    EXPECT_EQ(u[1], 0x02);
    EXPECT_EQ(u[2], 0x00);
    EXPECT_EQ(u[3], 0x02);  // consecutive sequence numbers
    EXPECT_EQ(u[6], 0x00);
    EXPECT_EQ(u[7], 0x00);
    EXPECT_EQ(Bytes(u.begin() + 56, u.end()), Bytes(6, 0));

    // The counter wraps from 65535 to 0.
    isrv_seq = 65535;
    answer(reply(0x8001, 65535, 0));
    EXPECT_EQ(bind_term1(), 0);
    EXPECT_EQ(isrv_seq, 0);
}

TEST_F(Isrv, LongNamesAreCutToWhatSapCarriesAndShortNameZeroFilled)
{
    // 48 characters and more: the 47 that SAP carries, then the NUL.
    uni_addr ua = service_addr(0xabcd, {0, 0, 0, 0, 0, 9}, 0x8063);
    Bytes want(47, 'N');
    want.push_back(0);
    for (size_t len : {size_t(48), size_t(60)}) {
        std::string longname(len, 'N');
        answer(reply(0x8001, isrv_seq, 0));
        EXPECT_EQ(ravzel_srv_bind(longname.c_str(), 0x247, &ua), 0);
        ASSERT_FALSE(x.sent.empty());
        EXPECT_EQ(Bytes(x.sent.back().begin() + 8, x.sent.back().begin() + 56), want) << len;
        EXPECT_EQ(Bytes(x.sent.back().begin() + 56, x.sent.back().end()), (Bytes{0, 0, 0, 0, 0, 9}));
    }

    answer(reply(0x8001, isrv_seq, 0));
    EXPECT_EQ(ravzel_srv_bind("AB", 0x247, &ua), 0);
    Bytes name(x.sent.back().begin() + 8, x.sent.back().begin() + 56);
    Bytes ab(48, 0);
    ab[0] = 'A';
    ab[1] = 'B';
    EXPECT_EQ(name, ab);
}

TEST_F(Isrv, RefusalStatusIsPassedOn)
{
    answer(reply(0x8001, 1, -3));
    EXPECT_EQ(bind_term1(), -3);
    answer(reply(0x8001, 2, 0x12345));
    EXPECT_EQ(bind_term1(), 0x12345);
}

TEST_F(Isrv, BadDatagramsAreDroppedWithTheTimeLeft)
{
    ipx_addr stranger = ombrad_addr();
    stranger.node[5] ^= 1;
    x.inbox.push_back({stranger, reply(0x8001, 1, 0)});  // wrong sender
    Bytes longer = reply(0x8001, 1, 0);
    longer.push_back(0);
    answer(longer);                                      // wrong length
    answer(reply(0x8001, 7, 0));                         // wrong sequence (late reply)
    answer(reply(0x0001, 1, 0));                         // code without 0x8000
    answer(reply(0x8001, 1, 0));                         // the good one
    // Clock read at: start, then before each wait and after each drop.
    x.clock = {1000, 1000, 1002, 1002, 1004, 1004, 1009, 1009, 1009};
    ravzel_trace = 6;
    testing::internal::CaptureStdout();
    EXPECT_EQ(bind_term1(), 0);
    std::string out = captured();
    EXPECT_EQ(x.waits, (std::vector<int>{10000, 8000, 6000, 1000, 1000}));
    size_t bad = 0;
    for (size_t p = 0; (p = out.find("isrv_send_recv: bad response\n", p)) != std::string::npos; ++p)
        ++bad;
    EXPECT_EQ(bad, 4u);
    EXPECT_NE(out.find("isrv_send_recv: got 9 bytes from X(0000abcd:00000a000007:0872) --\n"),
              std::string::npos);
    EXPECT_NE(out.find("isrv_send_recv: good response\n"), std::string::npos);
}

TEST_F(Isrv, TimeRunsOutAfterADroppedDatagram)
{
    answer(reply(0x8001, 9, 0));
    answer(reply(0x8001, 9, 0));
    // The second wait starts past the 10 seconds and still gets 1 second.
    x.clock = {1000, 1000, 1009, 1011, 1011, 1011};
    ravzel_trace = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(bind_term1(), 5);
    std::string out = captured();
    EXPECT_EQ(x.waits, (std::vector<int>{10000, 1000}));
    EXPECT_NE(out.find("isrv_send_recv: timed out\n"), std::string::npos);
    EXPECT_EQ(out.find("bad response"), std::string::npos);  // only above level 5
    EXPECT_EQ(tlifake::count("t_close"), 1);
}

TEST_F(Isrv, WaitAndTransportFailuresGiveFive)
{
    ravzel_trace = 1;

    x.wait_results = {0};
    testing::internal::CaptureStdout();
    EXPECT_EQ(bind_term1(), 5);
    EXPECT_NE(captured().find("isrv_send_recv: poll times out\n"), std::string::npos);

    x.wait_results = {-1};
    errno = EBADF;
    testing::internal::CaptureStdout();
    EXPECT_EQ(bind_term1(), 5);
    EXPECT_NE(captured().find("isrv_send_recv: poll fails, errno"), std::string::npos);

    // Nothing queued: t_rcvudata fails with TNODATA.
    testing::internal::CaptureStdout();
    EXPECT_EQ(bind_term1(), 5);
    EXPECT_NE(captured().find("isrv_send_recv: t_rcvudata error 13 / "), std::string::npos);

    tlifake::hooks.sndudata = [](int, t_unitdata *) { return tlifake::fail(TFLOW); };
    testing::internal::CaptureStdout();
    EXPECT_EQ(bind_term1(), 5);
    EXPECT_NE(captured().find("isrv_send_recv: t_sndudata failed, error 12 / "), std::string::npos);

    EXPECT_EQ(tlifake::count("t_close"), 4);
}

// A signal during the wait (a child's SIGCHLD while the daemon withdraws
// its service) does not lose the answer: the wait goes on for the time
// left of the same 10 seconds, and only a cancel or the deadline ends it.
TEST_F(Isrv, InterruptedWaitResumesWithinTheSameDeadline)
{
    answer(reply(0x8001, 1, 0));
    x.wait_results = {-EINTR, -EINTR, 1};
    x.clock = {1000, 1000, 1003, 1003, 1007, 1007};
    EXPECT_EQ(bind_term1(), 0);
    EXPECT_EQ(x.waits, (std::vector<int>{10000, 7000, 3000}));

    // Past the deadline an interruption ends the exchange.
    x.waits.clear();
    x.wait_results = {-EINTR};
    x.clock = {2000, 2000, 2010};
    ravzel_trace = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(bind_term1(), 5);
    EXPECT_NE(captured().find("isrv_send_recv: poll fails, errno 4\n"), std::string::npos);
    EXPECT_EQ(x.waits.size(), 1u);

    // A program that wants out at once sets ravzel_cancel.
    x.waits.clear();
    x.wait_results = {-EINTR};
    x.clock = {3000};
    ravzel_cancel = 1;
    EXPECT_EQ(bind_term1(), 5);
    ravzel_cancel = 0;
    EXPECT_EQ(x.waits.size(), 1u);
}

TEST_F(Isrv, EndpointFailuresGiveSeven)
{
    ravzel_trace = 1;
    tlifake::hooks.open = [](const char *, int, t_info *) { return tlifake::fail(TSYSERR, ENOENT); };
    testing::internal::CaptureStdout();
    EXPECT_EQ(bind_term1(), 7);
    EXPECT_EQ(captured(), "isrv_open: t_open failed, error 8/2\n");
    EXPECT_EQ(tlifake::calls.front(), "t_open(/dev/ravitp)");

    tlifake::reset();
    tlifake::hooks.bind = [](int, struct t_bind *, struct t_bind *) { return tlifake::fail(TACCES); };
    testing::internal::CaptureStdout();
    EXPECT_EQ(bind_term1(), 7);
    EXPECT_NE(captured().find("isrv_open: t_bind failed, error 3 / "), std::string::npos);
    EXPECT_EQ(tlifake::count("t_close"), 1);
    EXPECT_EQ(isrv_seq, 1);
}

TEST_F(Isrv, ServiceOffTheLocalNetSendsNothing)
{
    ravzel_trace = 1;
    uni_addr ua = service_addr(0x1234, {0, 0, 0, 0, 0, 1}, 0x8063);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ravzel_srv_bind("X", 0x247, &ua), 2);
    EXPECT_EQ(captured(), "isrv_req: net 4660 not local net (43981)\n");
    EXPECT_TRUE(x.sent.empty());
    EXPECT_EQ(isrv_seq, 1);
    EXPECT_EQ(tlifake::count("t_close"), 1);
}

TEST_F(Isrv, AddressChecksComeBeforeAnyExchange)
{
    uni_addr inet;
    memset(&inet, 0, sizeof inet);
    inet.family = UNI_INET;
    inet.len = 12;
    EXPECT_EQ(ravzel_srv_bind("X", 0x247, &inet), 2);
    EXPECT_EQ(ravzel_srv_bind("X", 0x247, nullptr), 2);

    uni_addr zero_socket = service_addr(0xabcd, {0, 0, 0, 0, 0, 1}, 0);
    EXPECT_EQ(ravzel_srv_bind("X", 0x247, &zero_socket), 2);
    // A reserved socket needs root.
    if (geteuid() != 0) {
        uni_addr reserved = service_addr(0xabcd, {0, 0, 0, 0, 0, 1}, 0x0100);
        EXPECT_EQ(ravzel_srv_bind("X", 0x247, &reserved), 6);
    }

    EXPECT_TRUE(tlifake::calls.empty());
}

// On an Ethernet link the node is the card's address, which is no 32-bit
// host number: the request carries the whole node.
TEST_F(Isrv, NodeThatIsNoHostNumberGoesWhole)
{
    answer(reply(0x8001, 1, 0));
    uni_addr ua = service_addr(0xabcd, {0x02, 0x00, 0x0a, 0xd5, 0x00, 0x01}, 0x8063);
    EXPECT_EQ(ravzel_srv_bind("TERM1", 0x247, &ua), 0);
    ASSERT_EQ(x.sent.size(), 1u);
    EXPECT_EQ(Bytes(x.sent[0].begin() + 56, x.sent[0].end()), (Bytes{0x02, 0x00, 0x0a, 0xd5, 0x00, 0x01}));
}

TEST_F(Isrv, TraceLevels)
{
    const std::string addr_dump = "\t00 00 ab cd 00 00 0a 00 00 07 08 72 " + std::string(12, ' ') +
                                  "    ...........r    \n";

    ravzel_trace = 5;
    answer(reply(0x8001, 1, 0));
    testing::internal::CaptureStdout();
    EXPECT_EQ(bind_term1(), 0);
    EXPECT_EQ(captured(), "isrv_send_recv: sending request to X(0000abcd:00000a000007:0872) --\n" +
                              addr_dump + "isrv_send_recv: good response\n");

    ravzel_trace = 8;
    answer(reply(0x8001, 2, 0));
    testing::internal::CaptureStdout();
    EXPECT_EQ(bind_term1(), 0);
    std::string out = captured();
    EXPECT_EQ(out.rfind("looking for daemon at X(0000abcd:00000a000007:0872)\n", 0), 0u) << out;
    // The request (4 lines of 16), the destination and the reply are dumped.
    EXPECT_NE(out.find("\t00 01 00 02 02 47 80 63 54 45 52 4d 31 00 00 00     .....G.cTERM1...\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(addr_dump), std::string::npos);
    EXPECT_NE(out.find("isrv_send_recv: got 8 bytes from X(0000abcd:00000a000007:0872) --\n"
                       "\t80 01 00 02 00 00 00 00 "),
              std::string::npos)
        << out;

    ravzel_trace = 0;
    answer(reply(0x8001, 3, 0));
    testing::internal::CaptureStdout();
    EXPECT_EQ(bind_term1(), 0);
    EXPECT_EQ(captured(), "");
}

TEST(RavzelWait, ReadableEmptyAndBroken)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(ravzel_wait(p[0], 0), 0);
    ASSERT_EQ(write(p[1], "x", 1), 1);
    EXPECT_EQ(ravzel_wait(p[0], 1000), 1);
    close(p[1]);
    EXPECT_EQ(ravzel_wait(p[0], 1000), -1);  // POLLIN with POLLHUP
    close(p[0]);
    EXPECT_EQ(ravzel_wait(p[0], 0), -1);     // POLLNVAL
}

} // namespace
