// The whole diagnostic, server and client, run through the TLI test double.
#include "capture.h"
#include "dunmere.h"
#include "run_driver.h"
#include "tlifake.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char SERVER_ADDR[ADDRSIZE] = {0, 0, 0, 1, 0, 0, 127, 0, 0, 1, 0x00, 0x31};
const char CLIENT_ADDR[ADDRSIZE] = {0, 0, 0, 1, 0, 0, 127, 0, 0, 1, 0x40, 0x02};
const struct t_info INFO = {12, -2, 0, -1, -2, -2, T_COTS};

std::string captured(void (*print)())
{
    Capture cap;
    print();
    return cap.out();
}

std::string banner() { return captured([] { print_banner(); }); }
std::string tinfo() { return captured([] { print_tinfo(&INFO); }); }
std::string server_report() { return captured([] { print_network_addr(SERVER_ADDR, "Server"); }); }
std::string client_report() { return captured([] { print_network_addr(CLIENT_ADDR, "Client"); }); }

const std::string verdict = ">> Testing the IPX/SPX protocol stack ...\n"
                            ">> 1000 packets have been exchanged and verified\n"
                            "\nIPX/SPX protocol stack is validated\n";

bool exited_with(int status, int code)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// A provider that behaves: the server's listen waits until the client's
// connect has been made (a byte on a pipe, at most 15 s), the bound
// addresses are SERVER_ADDR and CLIENT_ADDR, every receive is one whole unit
// of zeros. A request that is not what the diagnostic should ask for fails
// with TBADADDR.
class Driver : public ::testing::Test {
protected:
    int connected[2] = {-1, -1};

    void SetUp() override
    {
        tlifake::reset();
        ASSERT_EQ(pipe(connected), 0);
        int rd = connected[0], wr = connected[1];
        tlifake::hooks.open = [](const char *path, int, t_info *info) {
            if (std::string(path) != "/dev/mspx")
                return tlifake::fail(TBADADDR);
            *info = INFO;
            return ::open("/dev/null", O_RDWR);
        };
        tlifake::hooks.bind = [](int, struct t_bind *req, struct t_bind *ret) {
            const char *want = is_server() ? "\0\0\0\0\0\0\0\0\0\0\x00\x31"
                                           : "\0\0\0\0\0\0\0\0\0\0\0\0";
            if (req->addr.len != ADDRSIZE || memcmp(req->addr.buf, want, ADDRSIZE) != 0)
                return tlifake::fail(TBADADDR);
            memcpy(ret->addr.buf, is_server() ? SERVER_ADDR : CLIENT_ADDR, ADDRSIZE);
            return 0;
        };
        tlifake::hooks.listen = [rd](int, t_call *call) {
            struct pollfd p = {rd, POLLIN, 0};
            if (poll(&p, 1, 15000) != 1)
                return tlifake::fail(TSYSERR, ETIMEDOUT);
            char c;
            if (read(rd, &c, 1) != 1)
                return tlifake::fail(TSYSERR, EIO);
            memcpy(call->addr.buf, CLIENT_ADDR, ADDRSIZE);
            call->sequence = 1;
            return 0;
        };
        tlifake::hooks.connect = [wr](int, t_call *call, t_call *) {
            if (memcmp(call->addr.buf, SERVER_ADDR, ADDRSIZE) != 0)
                return tlifake::fail(TBADADDR);
            return write(wr, "c", 1) == 1 ? 0 : tlifake::fail(TSYSERR, EIO);
        };
        tlifake::hooks.rcv = [](int, char *buf, unsigned n, int *flags) {
            memset(buf, 0, UNITSIZE);
            *flags = 0;
            return n >= UNITSIZE ? UNITSIZE : tlifake::fail(TBUFOVFLW);
        };
    }

    void TearDown() override
    {
        close(connected[0]);
        close(connected[1]);
        tlifake::reset();
    }
};

// A stack that works: every report in its place, the verdict, status 0.
TEST_F(Driver, FullRunReportsInOrderAndValidates)
{
    DriverRun r = run_driver();
    EXPECT_TRUE(exited_with(r.status, 0)) << r.status;
    EXPECT_EQ(r.out, banner() + tinfo() + server_report() + client_report() + verdict);
    EXPECT_EQ(r.err, "");
}

TEST_F(Driver, UnitsDeliveredInPiecesStillPass)
{
    // Each unit comes as 1000 + 1000 + 48 bytes; the server's close fails
    // unless all 3000 pieces were taken, that is unless 1000 units (not
    // 1000 receives) were counted.
    auto pieces = std::make_shared<int>(0);
    tlifake::hooks.rcv = [pieces](int, char *buf, unsigned n, int *flags) {
        int part = (*pieces)++ % 3;
        int size = part < 2 ? 1000 : 48;
        if (n < unsigned(size))
            return tlifake::fail(TBUFOVFLW);
        memset(buf, 0, size);
        *flags = part < 2 ? T_MORE : 0;
        return size;
    };
    tlifake::hooks.close = [pieces](int fd) {
        if (is_server() && *pieces != 3000 && *pieces != 0)
            return tlifake::fail(TBADF);
        ::close(fd);
        return 0;
    };
    DriverRun r = run_driver();
    EXPECT_TRUE(exited_with(r.status, 0)) << r.err;
    EXPECT_EQ(r.out, banner() + tinfo() + server_report() + client_report() + verdict);
}

TEST_F(Driver, WrongUnitFailsTheRun)
{
    struct Case {
        int unit;        // counted from 1
        std::string data;
        std::string message;
    };
    std::string last = std::string(UNITSIZE - 1, '\0') + "\x01";
    const Case cases[] = {
        {5, std::string(1024, '\0'), "dunmere: unit 5 of 1000: 1024 bytes received, 2048 expected\n"},
        {1000, last, "dunmere: unit 1000 of 1000: byte 2047 is 0x01, 0x00 expected\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.unit);
        auto units = std::make_shared<int>(0);
        std::string data = c.data;
        int bad = c.unit;
        tlifake::hooks.rcv = [units, data, bad](int, char *buf, unsigned, int *flags) {
            *flags = 0;
            if (++*units == bad) {
                memcpy(buf, data.data(), data.size());
                return int(data.size());
            }
            memset(buf, 0, UNITSIZE);
            return UNITSIZE;
        };
        DriverRun r = run_driver();
        EXPECT_TRUE(exited_with(r.status, 1)) << r.status;
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, banner() + tinfo() + server_report() + client_report() +
                             ">> Testing the IPX/SPX protocol stack ...\n");
    }
}

TEST_F(Driver, FailureBeforeTheForkEndsTheRun)
{
    tlifake::hooks.open = [](const char *, int, t_info *) { return tlifake::fail(TSYSERR, ENOENT); };
    DriverRun r = run_driver();
    EXPECT_TRUE(exited_with(r.status, 1)) << r.status;
    EXPECT_EQ(r.out, banner());
    EXPECT_EQ(r.err, "t_open: failed to open /dev/mspx\n: System error: No such file or directory\n");

    SetUp();
    tlifake::hooks.bind = [](int, struct t_bind *, struct t_bind *) { return tlifake::fail(TNOADDR); };
    r = run_driver();
    EXPECT_TRUE(exited_with(r.status, 1)) << r.status;
    EXPECT_EQ(r.out, banner() + tinfo());
    EXPECT_EQ(r.err, "t_bind: failed due to TNOADDR\n: Couldn't allocate address\n");
}

TEST_F(Driver, FailedForkIsReported)
{
    DriverOptions opts;
    opts.fail_fork = true;
    DriverRun r = run_driver(opts);
    EXPECT_TRUE(exited_with(r.status, 1)) << r.status;
    EXPECT_EQ(r.out, banner() + tinfo() + server_report());
    EXPECT_EQ(r.err, std::string("fork: ") + strerror(EAGAIN) + "\n");
}

// A client that ends before it has connected must not leave the server
// waiting for a connect request that never comes.
TEST_F(Driver, ServerStopsWhenTheClientEndsBeforeConnecting)
{
    struct Case {
        const char *what;
        std::function<void()> arm;
        std::string client_err;
    };
    auto old_bind = tlifake::hooks.bind;
    const Case cases[] = {
        {"open",
         [] {
             tlifake::hooks.open = [](const char *, int, t_info *info) {
                 if (!is_server())
                     return tlifake::fail(TSYSERR, EACCES);
                 *info = INFO;
                 return ::open("/dev/null", O_RDWR);
             };
         },
         "t_open: failed to open /dev/mspx\n: System error: Permission denied\n"},
        {"bind",
         [old_bind] {
             tlifake::hooks.bind = [old_bind](int fd, struct t_bind *req, struct t_bind *ret) {
                 return is_server() ? old_bind(fd, req, ret) : tlifake::fail(TNOADDR);
             };
         },
         "t_bind: failed due to TNOADDR\n: Couldn't allocate address\n"},
        {"connect",
         [] { tlifake::hooks.connect = [](int, t_call *, t_call *) { return tlifake::fail(TLOOK); }; },
         "t_connect: failed due to TLOOK\n: An event requires attention\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        c.arm();
        DriverRun r = run_driver();
        EXPECT_TRUE(exited_with(r.status, 1)) << r.status;
        EXPECT_EQ(r.err, c.client_err + "dunmere: the client ended before its connection was accepted\n");
        EXPECT_EQ(r.out.find(">> Testing"), std::string::npos);
    }
}

TEST_F(Driver, ServerFailureAfterTheForkEndsTheRun)
{
    auto units = std::make_shared<int>(0);
    tlifake::hooks.rcv = [units](int, char *buf, unsigned, int *flags) {
        if (++*units == 10)
            return tlifake::fail(TLOOK);
        memset(buf, 0, UNITSIZE);
        *flags = 0;
        return UNITSIZE;
    };
    DriverRun r = run_driver();
    EXPECT_TRUE(exited_with(r.status, 1)) << r.status;
    EXPECT_EQ(r.err, "t_rcv: failed due to TLOOK\n: An event requires attention\n");
    EXPECT_EQ(r.out.find(">> 1000"), std::string::npos);
}

} // namespace
