// The SPX endpoint operations and the reports, through the TLI test double.
#include "capture.h"
#include "dunmere.h"
#include "tlifake.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

const int FD = 41; // a descriptor the fake never really closes

class Ops : public ::testing::Test {
protected:
    void SetUp() override
    {
        tlifake::reset();
        tlifake::hooks.close = [](int) { return 0; };
    }
    void TearDown() override { tlifake::reset(); }
};

std::string tli_name(int code)
{
    static const char *const names[] = {
        "", "TBADADDR", "TBADOPT", "TACCES", "TBADF", "TNOADDR", "TOUTSTATE",
        "TBADSEQ", "TSYSERR", "TLOOK", "TBADDATA", "TBUFOVFLW", "TFLOW",
        "TNODATA", "TNODIS", "TNOUDERR", "TBADFLAG", "TNOREL", "TNOTSUPPORT",
        "TSTATECHNG"};
    return names[code];
}

// What t_error writes after the message for a code (TSYSERR adds errno's
// text; every failure here leaves errno at EIO).
std::string terror_text(int code)
{
    std::string t = t_errlist[code];
    if (code == TSYSERR)
        t += std::string(": ") + strerror(EIO);
    return t + "\n";
}

struct CallCase {
    const char *call;
    std::vector<int> named;                  // codes reported by name
    std::function<int(int code)> run;        // arms the hook with `code`, runs the operation
};

std::vector<CallCase> call_cases()
{
    auto failing = [](int code) { return tlifake::fail(code, EIO); };
    static char addr[ADDRSIZE];
    static struct t_bind bnd;
    static struct t_call call;
    static char data[UNITSIZE];
    return {
        {"t_bind", {TBADADDR, TACCES, TBADF, TNOADDR, TOUTSTATE, TBUFOVFLW},
         [=](int code) {
             tlifake::hooks.bind = [=](int, struct t_bind *, struct t_bind *) { return failing(code); };
             return bind_addr(FD, &bnd, addr);
         }},
        {"t_listen", {TBADF, TLOOK, TBUFOVFLW, TNODATA, TNOTSUPPORT},
         [=](int code) {
             tlifake::hooks.listen = [=](int, t_call *) { return failing(code); };
             return passive_connect(FD, &call, addr);
         }},
        {"t_accept", {TBADOPT, TACCES, TBADF, TOUTSTATE, TBADSEQ, TLOOK, TBADDATA, TNOTSUPPORT},
         [=](int code) {
             tlifake::hooks.accept = [=](int, int, t_call *) { return failing(code); };
             return passive_connect(FD, &call, addr);
         }},
        {"t_connect", {TBADADDR, TBADOPT, TACCES, TBADF, TOUTSTATE, TLOOK, TBADDATA, TBUFOVFLW,
                       TNODATA, TNOTSUPPORT},
         [=](int code) {
             tlifake::hooks.connect = [=](int, t_call *, t_call *) { return failing(code); };
             return active_connect(FD, &call, addr);
         }},
        {"t_snd", {TBADF, TBADDATA, TFLOW, TNOTSUPPORT},
         [=](int code) {
             tlifake::hooks.snd = [=](int, char *, unsigned, int) { return failing(code); };
             return send_spx(FD, data, UNITSIZE);
         }},
        {"t_rcv", {TBADF, TLOOK, TNODATA, TNOTSUPPORT},
         [=](int code) {
             tlifake::hooks.rcv = [=](int, char *, unsigned, int *) { return failing(code); };
             int n, flags;
             return recv_spx(FD, data, UNITSIZE, &n, &flags);
         }},
        {"t_close", {TBADF},
         [=](int code) {
             tlifake::hooks.close = [=](int) { return failing(code); };
             return close_endpoint(FD);
         }},
    };
}

// Every code of every call: named codes by name, all others (TSYSERR among
// them) as TSYSERR, always followed by t_error's text of the real code; the
// endpoint is closed once (not again after a failed t_close) and the code
// is returned.
TEST_F(Ops, EachCallReportsItsFailuresByName)
{
    for (const auto &c : call_cases()) {
        for (int code = 1; code <= TSTATECHNG; ++code) {
            SCOPED_TRACE(std::string(c.call) + " failing with " + tli_name(code));
            tlifake::reset();
            tlifake::hooks.close = [](int) { return 0; };
            bool named = std::find(c.named.begin(), c.named.end(), code) != c.named.end();
            Capture cap;
            int st = c.run(code);
            std::string err = cap.err();
            std::string name = named ? tli_name(code) : "TSYSERR";
            EXPECT_EQ(err, std::string(c.call) + ": failed due to " + name + "\n: " + terror_text(code));
            EXPECT_EQ(st, code);
            EXPECT_EQ(tlifake::count("t_close(" + std::to_string(FD) + ")"), 1);
            EXPECT_EQ(tlifake::calls.back(), "t_close(" + std::to_string(FD) + ")");
        }
    }
}

TEST_F(Ops, OpenFailureNamesTheDeviceAndClosesNothing)
{
    int fd = 7;
    struct t_info info;
    tlifake::hooks.open = [](const char *, int, t_info *) { return tlifake::fail(TSYSERR, ENOENT); };
    Capture cap;
    EXPECT_EQ(open_spx_endpoint(&fd, SPXDEV, &info), TSYSERR);
    EXPECT_EQ(cap.err(), "t_open: failed to open /dev/mspx\n: System error: No such file or directory\n");
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(tlifake::count("t_close"), 0);

    tlifake::hooks.open = [](const char *, int, t_info *) { return tlifake::fail(TBADFLAG); };
    Capture cap2;
    EXPECT_EQ(open_spx_endpoint(&fd, SPXDEV, &info), TBADFLAG);
    EXPECT_EQ(cap2.err(), "t_open: failed due to invalid flag\n: Incorrect flags specified\n");

    tlifake::hooks.open = [](const char *, int, t_info *) { return tlifake::fail(TBADADDR); };
    Capture cap3;
    EXPECT_EQ(open_spx_endpoint(&fd, "/dev/elsewhere", &info), TBADADDR);
    EXPECT_EQ(cap3.err(), "t_open: failed to open /dev/elsewhere\n: Incorrect address format\n");
    EXPECT_EQ(tlifake::count("t_close"), 0);
}

// The code read after the clean-up is the close's when the close fails too.
TEST_F(Ops, FailingCloseInTheCleanUpReplacesTheCode)
{
    static char addr[ADDRSIZE];
    struct t_bind bnd;
    tlifake::hooks.bind = [](int, struct t_bind *, struct t_bind *) { return tlifake::fail(TACCES); };
    tlifake::hooks.close = [](int) { return tlifake::fail(TBADF); };
    Capture cap;
    EXPECT_EQ(bind_addr(FD, &bnd, addr), TBADF);
    EXPECT_EQ(cap.err(), "t_bind: failed due to TACCES\n: Illegal permissions\n"
                         "t_close: failed due to TBADF\n: Illegal file descriptor\n");
    EXPECT_EQ(tlifake::count("t_close"), 1);
}

// A receive hook that hands out the given pieces in turn, each with T_MORE
// when flagged.
struct Piece {
    std::string data;
    int flags;
};

void deliver(std::vector<Piece> pieces)
{
    auto left = std::make_shared<std::vector<Piece>>(std::move(pieces));
    tlifake::hooks.rcv = [left](int, char *buf, unsigned n, int *flags) {
        if (left->empty())
            return tlifake::fail(TLOOK);
        Piece p = left->front();
        left->erase(left->begin());
        EXPECT_LE(p.data.size(), n);
        memcpy(buf, p.data.data(), p.data.size());
        *flags = p.flags;
        return int(p.data.size());
    };
}

const std::string zeros(UNITSIZE, '\0');

TEST_F(Ops, WrongUnitsAreFailuresNamingTheUnit)
{
    struct Case {
        const char *what;
        std::vector<Piece> pieces;
        std::string message;
    };
    std::string bad = zeros;
    bad[1100] = 'A';
    std::vector<Case> cases = {
        {"short unit", {{std::string(1024, '\0'), 0}},
         "dunmere: unit 7 of 1000: 1024 bytes received, 2048 expected\n"},
        {"empty unit", {{"", 0}}, "dunmere: unit 7 of 1000: 0 bytes received, 2048 expected\n"},
        {"non-zero byte", {{std::string(1000, '\0'), T_MORE}, {bad.substr(1000), 0}},
         "dunmere: unit 7 of 1000: byte 1100 is 0x41, 0x00 expected\n"},
        {"long unit", {{zeros, T_MORE}, {std::string(10, '\xff'), 0}},
         "dunmere: unit 7 of 1000: 2058 bytes received, 2048 expected\n"},
        {"short and dirty", {{std::string(5, '\0') + "\x80", 0}},
         "dunmere: unit 7 of 1000: 6 bytes received, 2048 expected\n"
         "dunmere: unit 7 of 1000: byte 5 is 0x80, 0x00 expected\n"},
        {"expedited", {{zeros, T_EXPEDITED}},
         "dunmere: unit 7 of 1000: arrived as expedited data\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        tlifake::reset();
        tlifake::hooks.close = [](int) { return 0; };
        deliver(c.pieces);
        char buf[UNITSIZE];
        Capture cap;
        EXPECT_EQ(recv_unit(FD, buf, 7), -1);
        EXPECT_EQ(cap.err(), c.message);
        EXPECT_EQ(tlifake::count("t_close(41)"), 1);
    }
}

TEST_F(Ops, FailedReceiveInsideAUnitReturnsItsCode)
{
    char buf[UNITSIZE];
    deliver({{std::string(100, '\0'), T_MORE}}); // then TLOOK
    Capture cap;
    EXPECT_EQ(recv_unit(FD, buf, 3), TLOOK);
    EXPECT_EQ(cap.err(), "t_rcv: failed due to TLOOK\n: An event requires attention\n");
    EXPECT_EQ(tlifake::count("t_close"), 1);
}

std::string addr_report(const char *addr, const char *role)
{
    Capture cap;
    print_network_addr(addr, role);
    return cap.out();
}

TEST(Reports, AddressReport)
{
    const char server[ADDRSIZE] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x31};
    EXPECT_EQ(addr_report(server, "Server"),
              "******************************************************\n"
              "* Network Address Assigned to Server                 *\n"
              "******************************************************\n"
              "Network Number: 00000000\n"
              "Host Address:   000000000000\n"
              "Socket Number:  0031\n"
              "\n");
    // Bytes above 0x7f print as two unsigned digits.
    const char client[ADDRSIZE] = {'\xde', '\xad', '\xbe', '\xef', 0, 0, 127, 0, 0, 1,
                                   '\x40', '\x0a'};
    std::string r = addr_report(client, "Client");
    EXPECT_NE(r.find("* Network Address Assigned to Client                 *\n"), std::string::npos);
    EXPECT_NE(r.find("Network Number: DEADBEEF\nHost Address:   00007F000001\n"
                     "Socket Number:  400A\n\n"),
              std::string::npos);
}

std::string info_report(const struct t_info &info)
{
    Capture cap;
    print_tinfo(&info);
    return cap.out();
}

// The report line of one field when every field holds `v` (the service
// type aside).
std::string line_of(const std::string &report, const std::string &label)
{
    size_t at = report.find(label);
    if (at == std::string::npos)
        return "(missing)";
    size_t end = report.find('\n', at);
    return report.substr(at + label.size(), end - at - label.size());
}

TEST(Reports, TransportReportSpecialValues)
{
    struct Field {
        const char *label;
        const char *m2, *m1, *zero;
    };
    const Field fields[] = {
        {"Max size of IPX/SPX address: ", "No user access to the protocol addresses",
         "No limit to the size", "0"},
        {"Size of IPX/SPX Options: ", "No user access to the options", "No limit to the size", "0"},
        {"Max Size of Transport Service Data Unit: ", "Not supported", "No limit to the size",
         "No concept of TSDU"},
        {"Max Size of Expedited Transport Service Data Unit: ", "Not supported",
         "No limit to the size", "No concept of ETSDU"},
        {"Max Size of Transfer of User Data Along a Conn Request: ", "Not supported",
         "No limit to the size", "0"},
        {"Max Size of Transfer of User Data Along a Disconn Request: ", "Not supported",
         "No limit to the size", "0"},
    };
    for (long v : {-2L, -1L, 0L, 1L, 2048L, -3L, 65535L}) {
        SCOPED_TRACE(v);
        struct t_info info = {v, v, v, v, v, v, T_COTS};
        std::string r = info_report(info);
        for (const auto &f : fields) {
            std::string want = v == -2 ? f.m2 : v == -1 ? f.m1 : v == 0 ? f.zero : std::to_string(v);
            EXPECT_EQ(line_of(r, f.label), want) << f.label;
        }
    }
}

TEST(Reports, TransportReportLayoutAndServiceTypes)
{
    struct t_info info = {12, -2, 0, -1, 0, -2, T_COTS_ORD};
    EXPECT_EQ(info_report(info),
              "******************************************************\n"
              "* IPX/SPX Protocol via TLI Options                   *\n"
              "******************************************************\n"
              "Max size of IPX/SPX address: 12\n"
              "Size of IPX/SPX Options: No user access to the options\n"
              "Max Size of Transport Service Data Unit: No concept of TSDU\n"
              "Max Size of Expedited Transport Service Data Unit: No limit to the size\n"
              "Max Size of Transfer of User Data Along a Conn Request: 0\n"
              "Max Size of Transfer of User Data Along a Disconn Request: Not supported\n"
              "Service Type Provided: Connection-oriented, with orderly release\n"
              "\n");
    const std::pair<long, const char *> types[] = {
        {T_COTS, "Connection-oriented, w/o orderly release"},
        {T_COTS_ORD, "Connection-oriented, with orderly release"},
        {T_CLTS, "Connectionless service"},
        {0, "Unknown service"},
        {4, "Unknown service"},
        {-1, "Unknown service"},
    };
    for (auto [type, text] : types) {
        info.servtype = type;
        EXPECT_EQ(line_of(info_report(info), "Service Type Provided: "), text) << type;
    }
}

// Five boxed lines of 54 characters; the title and the two notice lines are
// centred (within one column) between the asterisks.
TEST(Reports, Banner)
{
    Capture cap;
    print_banner();
    std::string b = cap.out();
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t nl; (nl = b.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(b.substr(at, nl - at));
    EXPECT_EQ(at, b.size());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], std::string(54, '*'));
    EXPECT_EQ(lines[4], std::string(54, '*'));
    EXPECT_EQ(lines[1], "*           IPX/SPX Diagnostic Program               *");
    for (int i = 2; i <= 3; ++i) {
        const std::string &l = lines[i];
        ASSERT_EQ(l.size(), 54u);
        EXPECT_EQ(l.front(), '*');
        EXPECT_EQ(l.back(), '*');
        std::string inner = l.substr(1, 52);
        size_t left = inner.find_first_not_of(' ');
        size_t right = 51 - inner.find_last_not_of(' ');
        EXPECT_LE(right - left, 1u) << l;
    }
}

} // namespace
