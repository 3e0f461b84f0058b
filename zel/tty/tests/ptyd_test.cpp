// Zelptyd's own code against the TLI test double: the command line, the
// endpoint operations and their failure analysis, the option records, the
// listener loop and the stop signals.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "isrv.h"
#include "logging.h"
#include "ptyd.h"
#include "savepid.h"
#include "testproc.h"
#include "tlifake.h"
#include "trace.h"

using testsupport::TempDir;
using testsupport::read_file;
using testsupport::write_file;

// A child that may not create processes cannot run the leak checker at its
// exit (the checker needs a thread of its own): it turns the checker off.
static int g_no_leak_check = 0;
extern "C" int __lsan_is_turned_off() { return g_no_leak_check; }

namespace {

using Bytes = std::vector<unsigned char>;

// Daemon configuration back to its built-in values.
void reset_config()
{
    static char arg_zeltty[] = "Zeltty";
    static char arg_login[] = "/bin/login";
    tc_reset();
    spxdev = nullptr;
    sock = 0x8063;
    laddr = ipx_addr{{0, 0, 0, 0}, {0, 0, 0, 0, 0, 1}, {0, 0}};
    service_type = 0x247;
    memset(service_name, 0, sizeof service_name);
    for (auto &a : tty_argv)
        a = nullptr;
    tty_argv[0] = arg_zeltty;
    tty_argv[1] = arg_login;
    trace = 0;
    ravzel_trace = 0;
    reject = dropsome = tracespx = sackincr = 0;
    ackdelay = -1;
    nodenum = -1;
    prog = nullptr;
    stop_signal = 0;
    max_sessions = SESSIONS_MAX;
    max_caller_sessions = CALLER_SESSIONS_MAX;
}

// A command line with stable storage for getopt.
struct Argv {
    std::vector<std::string> words;
    std::vector<char *> ptrs;
    explicit Argv(std::vector<std::string> w) : words(std::move(w))
    {
        words.insert(words.begin(), "Zelptyd");
        for (auto &s : words)
            ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return (int)words.size(); }
    char **argv() { return ptrs.data(); }
};

// Message lines of an event log (stamp lines left out, tab and CR LF off).
std::vector<std::string> log_lines(const std::string &path)
{
    std::vector<std::string> out;
    std::string text = read_file(path);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line[0] == '\t')
            out.push_back(line.substr(1));
        pos = end + 2;
    }
    return out;
}

// The scripted Ombrad: answers every request at once with `status`, and
// writes each request it saw to `requests` (one line of hex per request)
// so that tests can read them after a daemon path ends the process.
struct Ombrad {
    std::deque<Bytes> replies;
    std::string requests;
    int status = 0;
    bool silent = false;
};
Ombrad *ombrad;

int ombrad_wait(int, int)
{
    return ombrad->replies.empty() ? 0 : 1;
}

void install_ombrad(Ombrad &o)
{
    ombrad = &o;
    isrv_wait = ombrad_wait;
    tlifake::hooks.sndudata = [](int, t_unitdata *ud) {
        const unsigned char *r = (const unsigned char *)ud->udata.buf;
        std::ofstream f(ombrad->requests, std::ios::app);
        char hex[4];
        for (unsigned i = 0; i < ud->udata.len; i++) {
            snprintf(hex, sizeof hex, "%02x", r[i]);
            f << hex;
        }
        f << "\n";
        if (!ombrad->silent) {
            uint32_t s = (uint32_t)ombrad->status;
            ombrad->replies.push_back({(unsigned char)(r[0] | 0x80), r[1], r[2], r[3],
                                       (unsigned char)(s >> 24), (unsigned char)(s >> 16),
                                       (unsigned char)(s >> 8), (unsigned char)s});
        }
        return 0;
    };
    tlifake::hooks.rcvudata = [](int, t_unitdata *ud, int *flags) {
        Bytes b = ombrad->replies.front();
        ombrad->replies.pop_front();
        memcpy(ud->addr.buf, &ombrad_ia, 12);
        ud->addr.len = 12;
        memcpy(ud->udata.buf, b.data(), b.size());
        ud->udata.len = (unsigned)b.size();
        *flags = 0;
        return 0;
    };
}

std::vector<std::string> request_lines(const std::string &path)
{
    std::vector<std::string> out;
    std::ifstream f(path);
    for (std::string l; std::getline(f, l);)
        out.push_back(l);
    return out;
}

// Writes the TLI call log to `path` when the process exits, so a test can
// read what a path that ends the process did.
std::string calls_path;
void dump_calls()
{
    std::ofstream f(calls_path);
    for (const auto &c : tlifake::calls)
        f << c << "\n";
}

class Ptyd : public ::testing::Test {
protected:
    TempDir dir;
    std::string log = dir / "log.zel";
    std::string tracef = dir / "trace";
    std::string calls = dir / "calls";
    std::string reqs = dir / "requests";
    Ombrad omb;

    void SetUp() override
    {
        reset_config();
        tlifake::reset();
        // The listener's calls are checked against the TLI states, as the
        // provider checks them.
        tlifake::track_states = true;
        isrv_seq = 1;
        ASSERT_EQ(open_log(log.c_str()), 0);
        omb.requests = reqs;
        install_ombrad(omb);
    }

    void TearDown() override
    {
        close_log();
        if (tcfile != nullptr)
            fclose(tcfile);
        tcfile = nullptr;
        tc_proc = 0;
        isrv_wait = ravzel_wait;
        tlifake::reset();
        reset_config();
    }

    // Turns tracing on into a file of the test's own, at proc level `level`.
    void trace_on(int level)
    {
        tcfile = fopen(tracef.c_str(), "w");
        ASSERT_NE(tcfile, nullptr);
        setbuf(tcfile, nullptr);
        trace = 1;
        tc_proc = level;
    }

    std::string traced() { return read_file(tracef); }

    // Prepares a death-test child: working directory, pid file, call log.
    void in_child()
    {
        if (chdir(dir.path().c_str()) < 0)
            _exit(99);
        calls_path = calls;
        atexit(dump_calls);
    }

    std::vector<std::string> call_log() { return request_lines(calls); }

    // Runs the listener in a child process, which it must end with `code`.
    void serve_exits(int code)
    {
        EXPECT_EXIT(
            {
                in_child();
                serve();
            },
            testing::ExitedWithCode(code), "");
    }

    // Recorded calls (of the last child) whose text starts with `prefix`.
    long calls_to(const std::string &prefix)
    {
        std::vector<std::string> c = call_log();
        return std::count_if(c.begin(), c.end(), [&](const std::string &x) { return x.rfind(prefix, 0) == 0; });
    }
};

// ---------------------------------------------------------------------
// Command line

using CommandLine = Ptyd;

TEST_F(CommandLine, DefaultsWithoutArguments)
{
    Argv a({});
    char name[SERVICE_NAME_LEN];
    EXPECT_EQ(get_options(a.argc(), a.argv(), name), 0);
    EXPECT_STREQ(spxdev, "/dev/ravspx");
    EXPECT_EQ(sock, 0x8063);
    EXPECT_EQ(nodenum, -1);
    EXPECT_STREQ(name, "");
    EXPECT_STREQ(tty_argv[0], "Zeltty");
    EXPECT_STREQ(tty_argv[1], "/bin/login");
    EXPECT_EQ(tty_argv[2], nullptr);
    EXPECT_EQ(trace, 0);
    EXPECT_EQ(ravzel_trace, 0);

    // No -n: the host name, upper-cased.
    char host[256] = "";
    ASSERT_EQ(gethostname(host, sizeof host), 0);
    ASSERT_EQ(servicename_setup(name), 0);
    std::string want;
    for (char *p = host; *p; ++p)
        want += (char)toupper((unsigned char)*p);
    EXPECT_EQ(std::string(service_name), want);
}

TEST_F(CommandLine, OptionsAndTraceOptionsMixed)
{
    std::string tf = "tracefile=" + tracef;
    Argv a({"-n", "mixed.Case-1", "-z", tf, "-ih", "258", "-z", "proc=3", "-s", "98304", "-d",
            "/dev/other", "-i", "--", "/bin/sh", "-i"});
    char name[SERVICE_NAME_LEN];
    EXPECT_EQ(get_options(a.argc(), a.argv(), name), 0);
    EXPECT_STREQ(spxdev, "/dev/other");
    EXPECT_EQ(sock, 98304);
    EXPECT_EQ(nodenum, 258);
    EXPECT_EQ(ravzel_trace, 9);
    EXPECT_EQ(trace, 1);
    EXPECT_NE(tcfile, nullptr);
    EXPECT_EQ(tc_proc, 3);
    EXPECT_STREQ(tty_argv[1], "/bin/sh");
    EXPECT_STREQ(tty_argv[2], "-i");
    EXPECT_EQ(tty_argv[3], nullptr);
    EXPECT_EQ(optind, a.argc());
    ASSERT_EQ(servicename_setup(name), 0);
    EXPECT_STREQ(service_name, "MIXED.CASE-1");
}

TEST_F(CommandLine, WordsEndTheOptions)
{
    Argv a({"-n", "X", "/bin/sh", "-i"});
    char name[SERVICE_NAME_LEN];
    EXPECT_EQ(get_options(a.argc(), a.argv(), name), 0);
    EXPECT_STREQ(tty_argv[0], "Zeltty");
    EXPECT_STREQ(tty_argv[1], "/bin/sh");
    EXPECT_STREQ(tty_argv[2], "-i");
    EXPECT_EQ(tty_argv[3], nullptr);
    EXPECT_EQ(ravzel_trace, 0);
}

TEST_F(CommandLine, KillRequestSkipsTheRest)
{
    Argv a({"-k", "-s", "-1", "-n", "svc", "-i"});
    char name[SERVICE_NAME_LEN];
    EXPECT_EQ(get_options(a.argc(), a.argv(), name), 1);
    EXPECT_EQ(spxdev, nullptr);
    EXPECT_EQ(ravzel_trace, 0);
}

TEST_F(CommandLine, NumbersAndNames)
{
    char name[SERVICE_NAME_LEN];
    std::string longname(200, 'a');
    Argv a({"-s", "x12", "-h", "-5", "-n", longname});
    EXPECT_EQ(get_options(a.argc(), a.argv(), name), 0);
    EXPECT_EQ(sock, 0);
    EXPECT_EQ(nodenum, -5);
    EXPECT_EQ(strlen(name), 127u);
    ASSERT_EQ(servicename_setup(name), 0);
    EXPECT_EQ(std::string(service_name), std::string(127, 'A'));

    // Thirty words fit, with the closing null in the last slot.
    reset_config();
    std::vector<std::string> w(30, "w");
    w[29] = "last";
    Argv b(w);
    EXPECT_EQ(get_options(b.argc(), b.argv(), name), 0);
    EXPECT_STREQ(tty_argv[30], "last");
    EXPECT_EQ(tty_argv[31], nullptr);
}

TEST_F(CommandLine, UsageCases)
{
    const char *usage_text = "usage: Zelptyd \\[ -n<servicename> \\]\\[ -k \\]\\[ command-line \\]\n";
    char name[SERVICE_NAME_LEN];
    EXPECT_EXIT(
        {
            Argv a({"-x"});
            get_options(a.argc(), a.argv(), name);
        },
        testing::ExitedWithCode(1), usage_text);
    EXPECT_EXIT(
        {
            Argv a({"-s", "1", "-n"});
            get_options(a.argc(), a.argv(), name);
        },
        testing::ExitedWithCode(1), usage_text);
    EXPECT_EXIT(
        {
            Argv a(std::vector<std::string>(31, "w"));
            get_options(a.argc(), a.argv(), name);
        },
        testing::ExitedWithCode(1), usage_text);
    EXPECT_EXIT(
        {
            Argv a({"-s", "-1"});
            get_options(a.argc(), a.argv(), name);
        },
        testing::ExitedWithCode(1), "^Socket number -1 is no good\n$");
}

// ---------------------------------------------------------------------
// Endpoint operations and the failure analysis

using Endpoint = Ptyd;

TEST_F(Endpoint, ListenInterruptedTwiceThenSuccessful)
{
    int n = 0;
    tlifake::hooks.listen = [&n](int, t_call *call) {
        EXPECT_EQ(call->addr.maxlen, 12u);
        EXPECT_EQ(call->opt.maxlen, 0u);
        EXPECT_EQ(call->udata.maxlen, 0u);
        if (++n <= 2)
            return tlifake::fail(TSYSERR, EINTR);
        const unsigned char a[12] = {0, 0, 0, 1, 0, 0, 0, 0, 0, 2, 0x80, 0x63};
        memcpy(call->addr.buf, a, 12);
        call->addr.len = 12;
        call->sequence = 42;
        return 0;
    };
    trace_on(0);
    ipx_addr caller{};
    int seq = -1;
    EXPECT_EQ(do_listen(5, &caller, &seq), 0);
    EXPECT_EQ(seq, 42);
    EXPECT_EQ(caller.node[5], 2);
    EXPECT_EQ(tlifake::count("t_listen(5)"), 3);
    EXPECT_TRUE(log_lines(log).empty());
    EXPECT_EQ(traced(), "t_listen returns: seq 42 addr len 12, addr 00000001:000000000002:8063\n");
}

TEST_F(Endpoint, ListenFailureIsAnalysed)
{
    tlifake::hooks.listen = [](int, t_call *) { return tlifake::fail(TSYSERR, EBADF); };
    ipx_addr caller{};
    int seq = -1;
    EXPECT_EQ(do_listen(5, &caller, &seq), -1);
    EXPECT_EQ(log_lines(log), (std::vector<std::string>{"Zelptyd: errno 9, t_errno 8, tli op t_listen"}));
    EXPECT_EQ(seq, -1);
}

TEST_F(Endpoint, AcceptWithPendingDisconnect)
{
    trace_on(1);
    tlifake::hooks.accept = [](int fd, int resfd, t_call *call) {
        EXPECT_EQ(fd, 3);
        EXPECT_EQ(resfd, 6);
        EXPECT_EQ(call->addr.len, 12u);
        EXPECT_EQ(call->opt.len, 0u);
        EXPECT_EQ(call->udata.maxlen, 0u);
        EXPECT_EQ(call->sequence, 17);
        return tlifake::fail(TLOOK);
    };
    tlifake::hooks.look = [](int) { return T_DISCONNECT; };
    ipx_addr caller{};
    EXPECT_EQ(do_accept(3, 6, 17, &caller), -1);
    EXPECT_EQ(log_lines(log), (std::vector<std::string>{"Zelptyd: t_accept failure, t_look returns 16"}));
    EXPECT_EQ(traced(), "do_terror(3), op t_accept, t_errno 9\ndisconn ind\n");
    EXPECT_EQ(tlifake::count("t_look(3)"), 1);
}

TEST_F(Endpoint, LookResultsWithoutANameAndLookFailing)
{
    trace_on(1);
    tlifake::hooks.look = [](int) { return 0x0100; };  // T_GODATA: no name
    t_errno = TLOOK;
    do_terror(4, "t_snddis");
    tlifake::hooks.look = [](int) { return tlifake::fail(TBADF, EBADF); };
    t_errno = TLOOK;
    do_terror(4, "t_accept");
    EXPECT_EQ(traced(), "do_terror(4), op t_snddis, t_errno 9\ndo_terror(4), op t_accept, t_errno 9\n");
    // The t_look failure message carries its own line end.
    std::string text = read_file(log);
    EXPECT_NE(text.find("\tZelptyd: t_snddis failure, t_look returns 256\r\n"), std::string::npos);
    EXPECT_NE(text.find("\tZelptyd: t_look() after t_accept failure, errno 9, t_errno 4\n\r\n"),
              std::string::npos);
    // Two entries, each under its own stamp.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), 2);
    EXPECT_EQ(text.find('\t'), 26u);
}

TEST_F(Endpoint, OutOfStateShowsTheState)
{
    tlifake::hooks.getstate = [](int) { return T_IDLE; };
    t_errno = TOUTSTATE;
    do_terror(7, "t_unbind");
    EXPECT_EQ(log_lines(log), (std::vector<std::string>{"Zelptyd: TOUTSTATE(op t_unbind): state 2"}));
    // With the gate closed the trace line's t_getstate is not even called.
    EXPECT_EQ(tlifake::count("t_getstate"), 1);

    trace_on(1);
    t_errno = TOUTSTATE;
    do_terror(7, "t_unbind");
    EXPECT_EQ(traced(), "do_terror(7), op t_unbind, t_errno 6\nTOUTSTATE (op t_unbind): state 2\n");

    // do_unbind reports the failure; the shutdown goes on after it.
    tlifake::hooks.unbind = [](int) { return tlifake::fail(TOUTSTATE); };
    EXPECT_EQ(do_unbind(7), -1);
}

TEST_F(Endpoint, SystemErrorShowsErrno)
{
    tlifake::hooks.bind = [](int, struct t_bind *, struct t_bind *) { return tlifake::fail(TSYSERR, 13); };
    EXPECT_EXIT(do_bind(3, &laddr, 4), testing::ExitedWithCode(1), "");
    EXPECT_EQ(log_lines(log), (std::vector<std::string>{"Zelptyd: errno 13, t_errno 8, tli op t_bind"}));

    // A refusal that fails is reported; the listener decides what follows.
    tlifake::hooks.snddis = [](int, t_call *) { return tlifake::fail(TBADSEQ, EPERM); };
    EXPECT_EQ(do_noaccept(3, 9), -1);
    EXPECT_EQ(log_lines(log).back(), "Zelptyd: errno 1, t_errno 7, tli op t_snddis");
}

TEST_F(Endpoint, BindCopiesTheBoundAddressBack)
{
    trace_on(1);
    tlifake::hooks.bind = [](int, struct t_bind *req, struct t_bind *ret) {
        EXPECT_NE(req, nullptr);
        EXPECT_EQ(req->addr.len, 12u);
        EXPECT_EQ(req->qlen, 4u);
        EXPECT_EQ(ret->addr.maxlen, 12u);
        EXPECT_EQ(ret->addr.len, 0u);
        unsigned char a[12];
        memcpy(a, req->addr.buf, 12);
        a[3] = 0x01;   // the provider fills in network and node
        a[9] = 0x02;
        memcpy(ret->addr.buf, a, 12);
        ret->addr.len = 12;
        ret->qlen = 4;
        return 0;
    };
    ipx_addr a{{0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, {0x80, 0x63}};
    EXPECT_EQ(do_bind(3, &a, 4), 0);
    EXPECT_EQ(a.net[3], 1);
    EXPECT_EQ(a.node[5], 2);
    EXPECT_EQ(a.socket[0], 0x80);
    EXPECT_EQ(traced(), "do_bind(3)\n"
                        "t_bind results:\n"
                        "    res.addr.len = 12\n"
                        "    00000001:    000000000002:8063\n"
                        "    qlen = 4\n");

    // Without an address the provider chooses; no request record.
    tlifake::hooks.bind = [](int, struct t_bind *req, struct t_bind *) {
        EXPECT_EQ(req, nullptr);
        return 0;
    };
    EXPECT_EQ(do_bind(4, nullptr, 0), 0);
}

TEST_F(Endpoint, RefusalCarriesTheSequence)
{
    trace_on(1);
    tlifake::hooks.snddis = [](int, t_call *call) {
        EXPECT_EQ(call->sequence, 23);
        EXPECT_EQ(call->udata.len, 0u);
        return 0;
    };
    EXPECT_EQ(do_noaccept(3, 23), 0);
    EXPECT_EQ(traced(), "do_noaccept(3)\n");
}

TEST_F(Endpoint, DumpsAndSilenceWithoutTracing)
{
    // With no trace file nothing is written and nothing breaks.
    ipx_addr a{{0, 0, 0, 1}, {0, 0, 0, 0, 0, 2}, {0x80, 0x63}};
    dump_addr(&a);
    EXPECT_EQ(do_bind(3, &a, 4), 0);

    trace_on(0);
    dump_addr(&a);
    char bytes[3] = {1, 2, (char)0xff};
    netbuf nb{3, 3, bytes};
    netbuf_dump(&nb);
    EXPECT_EQ(traced(), "00000001:000000000002:8063\nlen 3: 01 02 ff ");
}

// ---------------------------------------------------------------------
// SPX options

struct OptProvider {
    spx_opts defaults{};
    std::vector<spx_opts> negotiated;
    std::vector<long> flags;
};

void install_provider(OptProvider &p)
{
    tlifake::hooks.optmgmt = [&p](int, struct t_optmgmt *req, struct t_optmgmt *ret) {
        p.flags.push_back(req->flags);
        EXPECT_EQ(ret->opt.maxlen, 8u);
        if (req->flags == T_DEFAULT) {
            EXPECT_EQ(req->opt.len, 0u);
            memcpy(ret->opt.buf, &p.defaults, 8);
        } else {
            EXPECT_EQ(req->opt.len, 8u);
            spx_opts o;
            memcpy(&o, req->opt.buf, 8);
            p.negotiated.push_back(o);
            memcpy(ret->opt.buf, &o, 8);
        }
        ret->opt.len = 8;
        return 0;
    };
}

Bytes raw(const spx_opts &o)
{
    const unsigned char *b = (const unsigned char *)&o;
    return Bytes(b, b + 8);
}

using Options = Ptyd;

TEST_F(Options, ReserveByte)
{
    OptProvider p;
    install_provider(p);
    trace_on(1);
    EXPECT_EQ(do_rsrv_set(3, 129), 0);
    EXPECT_EQ(p.flags, (std::vector<long>{T_DEFAULT, T_NEGOTIATE}));
    ASSERT_EQ(p.negotiated.size(), 1u);
    EXPECT_EQ(raw(p.negotiated[0]), (Bytes{0x00, 0x81, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(traced(), "options: flags 0 rsrv 81 ackdel 0 sackdel/max 0/0\n");
}

TEST_F(Options, AckDelayKeepsOtherFields)
{
    OptProvider p;
    p.defaults = spx_opts{0x0c, 0x40, 9, 0xfffe, 600};
    install_provider(p);
    trace_on(1);
    EXPECT_EQ(do_ackdelay_set(3, 70000), 0);
    ASSERT_EQ(p.negotiated.size(), 1u);
    EXPECT_EQ(p.negotiated[0].ackdel, 4464);
    EXPECT_EQ(p.negotiated[0].flags, 0x0c);
    EXPECT_EQ(p.negotiated[0].rsrv, 0x40);
    EXPECT_EQ(p.negotiated[0].sackdel, 0xfffe);
    EXPECT_EQ(p.negotiated[0].max, 600);
    EXPECT_EQ(traced(), "options: flags c rsrv 40 ackdel 4464 sackdel/max 65534/600\n");
    EXPECT_EQ(do_ackdelay_set(3, 0), 0);
    EXPECT_EQ(p.negotiated[1].ackdel, 0);
}

TEST_F(Options, TraceLevelAndSackdelWrap)
{
    OptProvider p;
    p.defaults.rsrv = 0x80;
    p.defaults.sackdel = 65534;
    install_provider(p);
    trace_on(1);
    EXPECT_EQ(do_trace_set(3, 0x13), 0);
    EXPECT_EQ(p.negotiated.back().rsrv, 0x83);
    EXPECT_EQ(do_trace_set(3, -1), 0);
    EXPECT_EQ(p.negotiated.back().rsrv, 0x8f);

    sackincr = 0;
    EXPECT_EQ(do_sackdel_incr(3), 0);
    EXPECT_EQ(p.flags.size(), 4u);  // no transport call
    sackincr = 5;
    EXPECT_EQ(do_sackdel_incr(3), 0);
    EXPECT_EQ(p.negotiated.back().sackdel, 3);
    EXPECT_EQ(traced(), "");  // neither traces its result
}

// Options are set on connection endpoints only: a refusal is analysed and
// returned, and costs only that call (see the listener's cases).
TEST_F(Options, RefusalsAreAnalysedAndReturned)
{
    tlifake::hooks.optmgmt = [](int, struct t_optmgmt *, struct t_optmgmt *) {
        return tlifake::fail(TBADOPT, EINVAL);
    };
    EXPECT_EQ(do_rsrv_set(3, 1), -1);
    EXPECT_EQ(log_lines(log).back(), "Zelptyd: errno 22, t_errno 2, tli op t_optmgmt");

    tlifake::hooks.optmgmt = [](int, struct t_optmgmt *req, struct t_optmgmt *) {
        return req->flags == T_NEGOTIATE ? tlifake::fail(TACCES, EACCES) : 0;
    };
    EXPECT_EQ(do_trace_set(3, 1), -1);
    EXPECT_EQ(log_lines(log).back(), "Zelptyd: errno 13, t_errno 3, tli op T_NEGOTIATE t_optmgmt");
}

// ---------------------------------------------------------------------
// The listener loop

// Connect indications for t_listen: each entry is a sequence number; when
// they run out, the listen fails with `end_terr`. A caller's node ends in
// the byte `hosts` gives its sequence number (9 by default); `before` runs
// before an indication is returned.
struct Indications {
    std::deque<int> seqs;
    int end_terr = TOUTSTATE;
    std::map<int, unsigned char> hosts;
    std::function<void(int)> before;
};

void install_listen(Indications &in)
{
    tlifake::hooks.listen = [&in](int, t_call *call) {
        if (in.seqs.empty())
            return tlifake::fail(in.end_terr);
        int seq = in.seqs.front();
        in.seqs.pop_front();
        if (in.before)
            in.before(seq);
        unsigned char a[12] = {0, 0, 0, 0, 0, 0, 0x0a, 0, 0, 9, 0x40, 0x05};
        if (in.hosts.count(seq))
            a[9] = in.hosts[seq];
        memcpy(call->addr.buf, a, 12);
        call->addr.len = 12;
        call->sequence = seq;
        return 0;
    };
}

// t_look as the provider answers it: a connect indication waits while the
// indications have not run out.
void look_shows_waiting_calls(Indications &in)
{
    tlifake::hooks.look = [&in](int) { return in.seqs.empty() ? 0 : T_LISTEN; };
}

using Listener = Ptyd;

TEST_F(Listener, HandsEachConnectionToZeltty)
{
    // A Zeltty that reports its arguments.
    ASSERT_TRUE(write_file(dir / "Zeltty", "#!/bin/sh\necho \"$@\" > args.$$\nmv args.$$ args\n", 0755));
    ASSERT_TRUE(write_file(dir / "ptyd.pid", "1\n"));
    Indications in;
    in.seqs = {31};
    install_listen(in);
    spxdev = (char *)"/dev/ravspx";
    service_name[0] = 'S';
    trace_on(3);

    serve_exits(0);

    std::vector<std::string> c = call_log();
    // listener: open, bind; Ombrad: bind request; one connection; failed
    // listen; withdrawal; shutdown (nothing left waiting, unbind, close).
    std::vector<std::string> want = {
        "t_open(/dev/ravspx)", "t_bind(3)",
        "t_open(/dev/ravitp)", "t_bind(4)", "t_sndudata(4)", "t_rcvudata(4)", "t_close(4)",
        "t_listen(3)",
        "t_open(/dev/ravspx)", "t_bind(4)", "t_accept(3,4)", "t_close(4)",
        "t_listen(3)", "t_getstate(3)", "t_getstate(3)",
        "t_open(/dev/ravitp)", "t_bind(4)", "t_sndudata(4)", "t_rcvudata(4)", "t_close(4)",
        "t_look(3)", "t_unbind(3)", "t_close(3)"};
    // Descriptor numbers depend on what the test process holds open; compare
    // the shape with the numbers taken from the first calls.
    ASSERT_EQ(c.size(), want.size()) << testing::PrintToString(c);
    for (size_t i = 0; i < c.size(); i++)
        EXPECT_EQ(c[i].substr(0, c[i].find('(')), want[i].substr(0, want[i].find('('))) << i;

    // Bind then unbind request: 0x8063 and host 0 at first, no socket after.
    std::vector<std::string> r = request_lines(reqs);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].substr(0, 16), "0001000102478063");
    EXPECT_EQ(r[0].substr(112), "000000000001");
    EXPECT_EQ(r[1].substr(0, 16), "0002000202470000");
    EXPECT_EQ(r[1].substr(112), "000000000000");

    ASSERT_TRUE(testsupport::wait_until([&] { return access((dir / "args").c_str(), F_OK) == 0; }, std::chrono::seconds(10), dir.path()));
    EXPECT_EQ(read_file(dir / "args"), "/bin/login\n");
    EXPECT_NE(access((dir / "ptyd.pid").c_str(), F_OK), 0);

    std::string t = traced();
    EXPECT_NE(t.find("listener on fd "), std::string::npos);
    EXPECT_NE(t.find("Connect attempt from X(00000000:00000a000009:4005)\n"), std::string::npos) << t;
    EXPECT_NE(t.find("Zelptyd: accepting, seq 31\n"), std::string::npos);
    EXPECT_NE(t.find("Zelptyd: do_fork(fd = "), std::string::npos);
    EXPECT_NE(t.find("Calling ravzel_srv_unbind(S, 247)\n"), std::string::npos);
    EXPECT_NE(t.find("about to t_close\n"), std::string::npos);
}

TEST_F(Listener, ListenerAddressFromTheOptions)
{
    // Node from -h, socket from -s; the provider's answer is advertised.
    struct Case {
        int node;
        int sock;
        Bytes want;
    };
    std::vector<Case> cases = {
        {258, 0x8063, {0, 0, 0, 0, 1, 2, 0x80, 0x63}},
        {0, 98304, {0, 0, 0, 0, 0, 0, 0x80, 0x00}},
        {-5, 0x8063, {0, 0, 0, 0, 0, 1, 0x80, 0x63}},
    };
    for (const Case &k : cases) {
        reset_config();
        nodenum = k.node;
        sock = k.sock;
        spxdev = (char *)"/dev/ravspx";
        omb.silent = true;  // stop right after the bind
        std::string bound = dir / "bound";
        tlifake::hooks.bind = [bound](int, struct t_bind *req, struct t_bind *ret) {
            if (req != nullptr && req->qlen == 4) {
                std::ofstream f(bound);
                f.write(req->addr.buf, 12);
            }
            if (req != nullptr && ret->addr.buf != req->addr.buf)
                memcpy(ret->addr.buf, req->addr.buf, 12);
            return 0;
        };
        serve_exits(0);
        std::string b = read_file(bound);
        ASSERT_EQ(b.size(), 12u);
        EXPECT_EQ(Bytes(b.begin() + 4, b.end()), k.want) << k.node;
    }
}

TEST_F(Listener, OmbradSilentStopsWithoutWithdrawing)
{
    ASSERT_TRUE(write_file(dir / "ptyd.pid", "1\n"));
    omb.silent = true;
    spxdev = (char *)"/dev/ravspx";
    serve_exits(0);
    EXPECT_EQ(log_lines(log), (std::vector<std::string>{"Zelptyd: failed to reach Ombrad", "        exiting"}));
    EXPECT_EQ(request_lines(reqs).size(), 1u);  // the bind request only
    std::vector<std::string> c = call_log();
    EXPECT_EQ(c.back().substr(0, 8), "t_close(");
    EXPECT_EQ(c[c.size() - 2].substr(0, 9), "t_unbind(");
    EXPECT_NE(access((dir / "ptyd.pid").c_str(), F_OK), 0);
}

// A refusal says why; and the shutdown first refuses the call that came
// in meanwhile, which the provider requires before it unbinds: the end is
// orderly (status 0, pid file removed).
TEST_F(Listener, RefusalOfOmbradSaysWhyAndTheWaitingCallIsRefused)
{
    ASSERT_TRUE(write_file(dir / "ptyd.pid", "1\n"));
    omb.status = -5;
    strcpy(service_name, "S");
    Indications in;
    in.seqs = {5};
    install_listen(in);
    look_shows_waiting_calls(in);
    spxdev = (char *)"/dev/ravspx";
    serve_exits(0);
    EXPECT_EQ(log_lines(log), (std::vector<std::string>{
                                  "Zelptyd: can't advertise S: Ombrad's table of services is full (-5)",
                                  "        exiting"}));
    EXPECT_EQ(request_lines(reqs).size(), 1u);
    EXPECT_EQ(calls_to("t_snddis"), 1);
    EXPECT_EQ(calls_to("t_unbind"), 1);
    EXPECT_NE(access((dir / "ptyd.pid").c_str(), F_OK), 0);
}

TEST_F(Listener, ListenerDeviceMissing)
{
    ASSERT_TRUE(write_file(dir / "ptyd.pid", "1\n"));
    spxdev = (char *)"/dev/nothing";
    trace_on(1);
    tlifake::hooks.open = [](const char *, int, t_info *) { return tlifake::fail(TSYSERR, ENOENT); };
    serve_exits(1);
    EXPECT_EQ(log_lines(log), (std::vector<std::string>{"Zelptyd: can't open spx device /dev/nothing"}));
    EXPECT_EQ(traced(), "Cannot t_open(/dev/nothing)\n");
    EXPECT_NE(access((dir / "ptyd.pid").c_str(), F_OK), 0);
}

// Every call is refused; one caller (6) hangs up before its refusal, which
// then fails: its disconnect is taken and the service goes on.
TEST_F(Listener, RejectRefusesEveryIndication)
{
    Indications in;
    in.seqs = {5, 6, 7};
    install_listen(in);
    reject = 1;
    static bool hung_up;
    hung_up = false;
    tlifake::hooks.snddis = [](int, t_call *call) {
        if (call->sequence == 6 && !hung_up) {
            hung_up = true;
            return tlifake::fail(TLOOK);
        }
        return 0;
    };
    tlifake::hooks.look = [](int) { return hung_up ? T_DISCONNECT : 0; };
    tlifake::hooks.rcvdis = [](int, t_discon *d) {
        d->sequence = 6;
        tlifake::hooks.look = [](int) { return 0; };
        return 0;
    };
    spxdev = (char *)"/dev/ravspx";
    serve_exits(0);
    EXPECT_EQ(calls_to("t_snddis"), 3);
    EXPECT_EQ(calls_to("t_rcvdis"), 1);
    EXPECT_EQ(calls_to("t_open(/dev/ravspx)"), 1);
    EXPECT_EQ(calls_to("t_accept"), 0);
    EXPECT_EQ(calls_to("t_listen"), 4) << "listening went on after the hang-up";
}

// An accept that fails for no reason the provider tells costs that call
// only: it is refused and the next caller is served. The end is orderly.
TEST_F(Listener, AcceptFailureCostsOnlyThatCall)
{
    ASSERT_TRUE(write_file(dir / "ptyd.pid", "1\n"));
    Indications in;
    in.seqs = {8, 9};
    install_listen(in);
    tlifake::hooks.accept = [](int, int, t_call *call) {
        return call->sequence == 8 ? tlifake::fail(TSYSERR, EPROTO) : 0;
    };
    spxdev = (char *)"/dev/ravspx";
    serve_exits(0);
    std::vector<std::string> l = log_lines(log);
    ASSERT_GE(l.size(), 3u);
    EXPECT_EQ(l[0], "Zelptyd: errno 71, t_errno 8, tli op t_accept");
    EXPECT_EQ(l[1], "Zelptyd: spx accept failure, errno 71, t_errno 8");
    EXPECT_EQ(l[2], "Zelptyd: call from X(00000000:00000a000009:4005) refused");
    EXPECT_EQ(calls_to("t_snddis"), 1);
    EXPECT_EQ(calls_to("t_accept"), 2);
    EXPECT_EQ(request_lines(reqs).size(), 2u);  // advertised, withdrawn at the end
    EXPECT_NE(access((dir / "ptyd.pid").c_str(), F_OK), 0);
}

// A listener that fails itself (it can neither accept nor refuse) ends the
// service, in order although the call stays outstanding and the unbind
// fails: advertisement withdrawn, pid file removed, status 0.
TEST_F(Listener, BrokenListenerEndsInOrder)
{
    ASSERT_TRUE(write_file(dir / "ptyd.pid", "1\n"));
    Indications in;
    in.seqs = {8};
    install_listen(in);
    tlifake::hooks.accept = [](int, int, t_call *) { return tlifake::fail(TSYSERR, EBADF); };
    tlifake::hooks.snddis = [](int, t_call *) { return tlifake::fail(TSYSERR, EBADF); };
    spxdev = (char *)"/dev/ravspx";
    serve_exits(0);
    std::vector<std::string> l = log_lines(log);
    ASSERT_FALSE(l.empty());
    EXPECT_EQ(l.back(), "Zelptyd: TOUTSTATE(op t_unbind): state 4");
    EXPECT_EQ(calls_to("t_listen"), 1);
    EXPECT_EQ(request_lines(reqs).size(), 2u);
    EXPECT_NE(access((dir / "ptyd.pid").c_str(), F_OK), 0);
}

// A connection endpoint that cannot be opened, bound or tuned costs only
// its call: refused and logged, and the listener goes on.
TEST_F(Listener, ConnectionEndpointFailuresCostOnlyTheirCall)
{
    ASSERT_TRUE(write_file(dir / "ptyd.pid", "1\n"));
    Indications in;
    in.seqs = {8, 9, 10, 11};
    install_listen(in);
    static int opens;
    opens = 0;
    tlifake::hooks.open = [](const char *path, int, t_info *) {
        if (strcmp(path, "/dev/ravspx") == 0 && ++opens == 2)  // for call 8
            return tlifake::fail(TSYSERR, EMFILE);
        return open("/dev/null", O_RDWR);
    };
    static int binds;
    binds = 0;
    tlifake::hooks.bind = [](int, struct t_bind *req, struct t_bind *ret) {
        // The listener's and the Ombrad exchange's binds have an address.
        if (req == nullptr)
            return ++binds == 1 ? tlifake::fail(TNOADDR) : 0;  // call 9
        memcpy(ret->addr.buf, req->addr.buf, 12);
        ret->addr.len = 12;
        return 0;
    };
    static int negotiations;
    negotiations = 0;
    tlifake::hooks.optmgmt = [](int, struct t_optmgmt *req, struct t_optmgmt *ret) {
        if (req->flags == T_NEGOTIATE && ++negotiations == 1)  // call 10
            return tlifake::fail(TBADOPT);
        ret->opt.len = 8;
        return 0;
    };
    ackdelay = 0;
    spxdev = (char *)"/dev/ravspx";
    trace_on(1);
    serve_exits(0);
    std::vector<std::string> l = log_lines(log);
    ASSERT_GE(l.size(), 6u) << testing::PrintToString(l);
    EXPECT_EQ(l[0], "Zelptyd: t_open(/dev/ravspx) failure, errno 24, t_errno 8");
    EXPECT_EQ(l[1], "Zelptyd: call from X(00000000:00000a000009:4005) refused");
    EXPECT_TRUE(std::regex_match(l[2], std::regex("Zelptyd: errno \\d+, t_errno 5, tli op t_bind"))) << l[2];
    EXPECT_EQ(l[3], l[1]);
    EXPECT_TRUE(std::regex_match(l[4], std::regex("Zelptyd: errno \\d+, t_errno 2, tli op T_NEGOTIATE t_optmgmt")))
        << l[4];
    EXPECT_EQ(l[5], l[1]);
    EXPECT_EQ(calls_to("t_snddis"), 3);
    EXPECT_EQ(calls_to("t_accept"), 1) << "call 11 is served";
    EXPECT_NE(traced().find("t_open(/dev/ravspx) failuredo_noaccept("), std::string::npos);
    EXPECT_EQ(request_lines(reqs).size(), 2u);
    EXPECT_NE(access((dir / "ptyd.pid").c_str(), F_OK), 0);
}

// The accept is tried again after each event taken off the listener.
int g_accepts;
int g_first_error;
std::string g_accepted_path;

int accept_after_first(int, int, t_call *call)
{
    if (++g_accepts == 1)
        return tlifake::fail(g_first_error);
    std::ofstream(g_accepted_path, std::ios::app) << call->sequence << "\n";
    return 0;
}

std::vector<std::string> service_log_lines(const std::string &log)
{
    // Without the children's lines (no Zeltty here).
    std::vector<std::string> l = log_lines(log);
    l.erase(std::remove(l.begin(), l.end(), "Zelptyd: exec of Zeltty failed\n"), l.end());
    return l;
}

// Two callers, 8 and 9; the first accept fails with `error` and t_look
// tells `event`.
class TwoCallers : public Ptyd {
protected:
    void serve_with(int event, int error = TLOOK)
    {
        Indications in;
        in.seqs = {8, 9};
        install_listen(in);
        g_accepts = 0;
        g_first_error = error;
        g_accepted_path = dir / "accepted";
        tlifake::hooks.accept = accept_after_first;
        // The event is there until it is taken.
        static int look_event;
        look_event = event;
        in.before = [](int seq) {
            if (seq == 9 && look_event == T_LISTEN)
                look_event = 0;
        };
        tlifake::hooks.look = [](int) { return look_event; };
        tlifake::hooks.rcvdis = [](int, t_discon *d) {
            d->sequence = 8;
            look_event = 0;
            return 0;
        };
        spxdev = (char *)"/dev/ravspx";
        serve_exits(0);
    }
};

// A caller that hangs up between the listen and the accept costs only its
// own connection: the listener takes the disconnect and serves the next.
TEST_F(TwoCallers, CallerGoneBeforeTheAcceptIsDropped)
{
    serve_with(T_DISCONNECT);
    EXPECT_EQ(calls_to("t_rcvdis"), 1);
    EXPECT_EQ(calls_to("t_accept"), 2);
    EXPECT_EQ(read_file(dir / "accepted"), "9\n");
    std::vector<std::string> l = service_log_lines(log);
    ASSERT_GE(l.size(), 1u);
    EXPECT_EQ(l[0], "Zelptyd: t_accept failure, t_look returns 16");
    for (const auto &x : l)
        EXPECT_EQ(x.find("spx accept failure"), std::string::npos) << x;
}

// A provider that has counted the hang-up already answers the accept out
// of state: the disconnect that explains it is taken all the same.
TEST_F(TwoCallers, CallerGoneWithTheAcceptOutOfStateIsDropped)
{
    serve_with(T_DISCONNECT, TOUTSTATE);
    EXPECT_EQ(calls_to("t_rcvdis"), 1);
    EXPECT_EQ(read_file(dir / "accepted"), "9\n");
    for (const auto &x : service_log_lines(log))
        EXPECT_EQ(x.find("spx accept failure"), std::string::npos) << x;
}

// Two callers at once: the provider refuses the first accept while the
// second indication waits; the listener takes it, accepts the first, then
// serves the second without listening again.
TEST_F(TwoCallers, SecondCallerQueuedBehindTheFirstIsServedToo)
{
    serve_with(T_LISTEN);
    EXPECT_EQ(read_file(dir / "accepted"), "8\n9\n");
    EXPECT_EQ(calls_to("t_listen"), 3);  // 8, 9 during the accept, then the end
    EXPECT_EQ(calls_to("t_accept"), 3);
    for (const auto &x : service_log_lines(log))
        EXPECT_EQ(x.find("spx accept failure"), std::string::npos) << x;
}

// A provider that keeps answering TLOOK keeps the listener spinning
// neither at the accept nor in the shutdown: the call is refused, and the
// daemon still ends in order.
TEST_F(Listener, EndlessLookEventsAreBounded)
{
    Indications in;
    in.seqs = {8};
    install_listen(in);
    tlifake::hooks.accept = [](int, int, t_call *) { return tlifake::fail(TLOOK); };
    tlifake::hooks.look = [](int) { return T_DISCONNECT; };
    tlifake::hooks.rcvdis = [](int, t_discon *d) {
        d->sequence = 77;
        return 0;
    };
    spxdev = (char *)"/dev/ravspx";
    serve_exits(0);
    std::vector<std::string> l = log_lines(log);
    EXPECT_NE(std::find_if(l.begin(), l.end(), [](const std::string &x) {
                  return x.rfind("Zelptyd: spx accept failure, errno ", 0) == 0;
              }), l.end());
    EXPECT_EQ(calls_to("t_snddis"), 1);
    EXPECT_LT(calls_to("t_rcvdis"), 200);
}

// Calls beyond the session limits are refused and logged; a session counts
// until the daemon collects its Zeltty.
std::vector<int> g_session_ends;  // write ends of the sessions' descriptor 0

TEST_F(Listener, SessionLimitsPerCallerAndInAll)
{
    // Each session's Zeltty runs until its descriptor 0 reaches its end.
    ASSERT_TRUE(write_file(dir / "Zeltty", "#!/bin/sh\nread x\n", 0755));
    ASSERT_TRUE(write_file(dir / "ptyd.pid", "1\n"));
    max_caller_sessions = 2;
    max_sessions = 3;
    g_session_ends.clear();
    tlifake::hooks.open = [](const char *path, int, t_info *) {
        static int opens = 0;
        if (strcmp(path, "/dev/ravspx") != 0 || ++opens == 1)
            return open("/dev/null", O_RDWR);
        int p[2];
        if (pipe2(p, O_CLOEXEC) < 0)
            return tlifake::fail(TSYSERR, errno);
        g_session_ends.push_back(p[1]);
        return p[0];
    };
    Indications in;
    in.seqs = {1, 2, 3, 4, 5, 6};
    in.hosts = {{1, 0xa}, {2, 0xa}, {3, 0xa}, {4, 0xb}, {5, 0xc}, {6, 0xc}};
    // Before call 6 every session ends, and the daemon collects them.
    in.before = [](int seq) {
        if (seq != 6)
            return;
        for (int fd : g_session_ends)
            close(fd);
        std::string children = "/proc/self/task/" + std::to_string(getpid()) + "/children";
        testsupport::wait_until([&] { return read_file(children).empty(); }, std::chrono::seconds(10));
    };
    install_listen(in);
    tlifake::hooks.accept = [](int, int, t_call *call) {
        std::ofstream("accepted", std::ios::app) << call->sequence << " ";
        return 0;
    };
    spxdev = (char *)"/dev/ravspx";
    serve_exits(0);
    EXPECT_EQ(read_file(dir / "accepted"), "1 2 4 6 ");
    EXPECT_EQ(calls_to("t_snddis"), 2);
    std::vector<std::string> l = log_lines(log);
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l[0], "Zelptyd: call from X(00000000:00000a00000a:4005) refused: "
                    "2 sessions from that address (limit 2)");
    EXPECT_EQ(l[1], "Zelptyd: call from X(00000000:00000a00000c:4005) refused: "
                    "3 sessions in all (limit 3)");
}

TEST_F(Listener, OptionsBeforeAccept)
{
    Indications in;
    in.seqs = {8};
    install_listen(in);
    OptProvider p;
    install_provider(p);
    dropsome = 1;
    ackdelay = 0;
    tracespx = 3;
    spxdev = (char *)"/dev/ravspx";
    serve_exits(0);
    std::vector<std::string> c = call_log();
    std::vector<std::string> seen;
    for (const auto &s : c)
        if (s.rfind("t_optmgmt", 0) == 0 || s.rfind("t_accept", 0) == 0)
            seen.push_back(s.substr(0, s.find('(')));
    EXPECT_EQ(seen, (std::vector<std::string>{"t_optmgmt", "t_optmgmt", "t_optmgmt", "t_optmgmt",
                                              "t_optmgmt", "t_optmgmt", "t_accept"}));
}

TEST_F(Listener, MissingZelttyIsLoggedPerConnection)
{
    Indications in;
    in.seqs = {1, 2};
    install_listen(in);
    spxdev = (char *)"/dev/ravspx";
    serve_exits(0);
    // The children log on their own; wait for both entries.
    auto count = [&] {
        auto l = log_lines(log);
        return std::count(l.begin(), l.end(), "Zelptyd: exec of Zeltty failed\n");
    };
    EXPECT_TRUE(testsupport::wait_until([&] { return count() == 2; }, std::chrono::seconds(10), dir.path()));
}

// ---------------------------------------------------------------------
// Signals, stopping, kill mode, detaching

using Life = Ptyd;

TEST_F(Life, StopSignalDuringListenWithdrawsAndRemovesPidFile)
{
    ASSERT_TRUE(write_file(dir / "ptyd.pid", "1\n"));
    laddr.socket[0] = 0x80;
    laddr.socket[1] = 0x63;
    tlifake::hooks.listen = [](int, t_call *) {
        // What the handler does, then the interrupted wait comes back.
        clean_exit(SIGTERM);
        return tlifake::fail(TSYSERR, EINTR);
    };
    EXPECT_EXIT(
        {
            in_child();
            ipx_addr a;
            int seq;
            do_listen(3, &a, &seq);
        },
        testing::ExitedWithCode(0), "");
    std::vector<std::string> r = request_lines(reqs);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].substr(0, 4), "0002");
    EXPECT_NE(access((dir / "ptyd.pid").c_str(), F_OK), 0);
    EXPECT_TRUE(log_lines(log).empty());
}

TEST_F(Life, RealSignalEndsTheBlockedListen)
{
    // The stop arrives as a signal while the listen blocks; the interrupted
    // wait (here a pause) returns EINTR as the TLI library's does.
    ASSERT_TRUE(write_file(dir / "ptyd.pid", "1\n"));
    laddr.socket[1] = 0x63;
    tlifake::hooks.listen = [](int, t_call *) {
        sigset_t none;
        sigemptyset(&none);
        sigsuspend(&none);
        return tlifake::fail(TSYSERR, errno);
    };
    EXPECT_EXIT(
        {
            in_child();
            sig_setup();
            sigset_t quit;
            sigemptyset(&quit);
            sigaddset(&quit, SIGQUIT);
            sigprocmask(SIG_BLOCK, &quit, nullptr);
            if (fork() == 0) {
                kill(getppid(), SIGQUIT);
                _exit(0);
            }
            ipx_addr a;
            int seq;
            do_listen(3, &a, &seq);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(request_lines(reqs).size(), 1u);
    EXPECT_NE(access((dir / "ptyd.pid").c_str(), F_OK), 0);
}

TEST_F(Life, StopDuringTheWaitForOmbrad)
{
    // A stop during the advertisement: the wait is cut short, and the
    // daemon withdraws and leaves without the "failed to reach" entry.
    spxdev = (char *)"/dev/ravspx";
    isrv_wait = [](int, int) {
        clean_exit(SIGINT);
        errno = EINTR;
        return -1;
    };
    serve_exits(0);
    std::vector<std::string> r = request_lines(reqs);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].substr(0, 4), "0002");
    EXPECT_TRUE(log_lines(log).empty());
    EXPECT_EQ(calls_to("t_unbind"), 0);
}

TEST_F(Life, ChildrenAreCollectedAndErrnoKept)
{
    pid_t a = fork();
    if (a == 0)
        _exit(0);
    pid_t b = fork();
    if (b == 0)
        _exit(0);
    siginfo_t si;
    ASSERT_EQ(waitid(P_PID, (id_t)a, &si, WEXITED | WNOWAIT), 0);
    ASSERT_EQ(waitid(P_PID, (id_t)b, &si, WEXITED | WNOWAIT), 0);
    errno = EINTR;
    chld_dead(SIGCHLD);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(waitpid(a, nullptr, WNOHANG), -1);
    EXPECT_EQ(waitpid(b, nullptr, WNOHANG), -1);
}

TEST_F(Life, KillModeMessages)
{
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    prog = (char *)"./Zelptyd";
    testing::internal::CaptureStderr();
    EXPECT_EQ(kill_ptyd(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "./Zelptyd: Zelptyd not running (no pidfile)\n");

    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    ASSERT_TRUE(write_file(dir / "ptyd.pid", std::to_string(gone) + "\n"));
    trace_on(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(kill_ptyd(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "./Zelptyd: Zelptyd not running (obsolete pidfile)\n");
    EXPECT_EQ(traced(), "kill_ptyd: looking for ptyd.pid\nkill_ptyd: Zelptyd not running (obsolete pidfile)\n");

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t live = fork();
    if (live == 0) {
        close(p[1]);
        char c;
        (void)!read(p[0], &c, 1);
        _exit(0);
    }
    close(p[0]);
    ASSERT_TRUE(write_file(dir / "ptyd.pid", std::to_string(live) + "\n"));
    EXPECT_EQ(kill_ptyd(), 0);
    int st = 0;
    waitpid(live, &st, 0);
    close(p[1]);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM);
    ASSERT_EQ(chdir("/"), 0);
}

TEST_F(Life, DetachingKeepsOnlyTheLog)
{
    int keep = fileno(logfile);
    std::string report = dir / "fds";
    pid_t starter = fork();
    if (starter == 0) {
        daemonize(0, keep);
        // The daemon: describe descriptors 0 to 9 and the session.
        std::string s;
        for (int fd = 0; fd <= 9; fd++) {
            char link[64], target[256];
            snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            ssize_t n = readlink(link, target, sizeof target - 1);
            if (n > 0) {
                target[n] = '\0';
                s += std::to_string(fd) + " " + target + "\n";
            }
        }
        s += getsid(0) == getpid() ? "leader\n" : "member\n";
        write_file(report + ".tmp", s);
        rename((report + ".tmp").c_str(), report.c_str());
        _exit(0);
    }
    int st = 0;
    ASSERT_EQ(waitpid(starter, &st, 0), starter);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    ASSERT_TRUE(testsupport::wait_until([&] { return access(report.c_str(), F_OK) == 0; }, std::chrono::seconds(10), dir.path()));
    std::string r = read_file(report);
    EXPECT_NE(r.find("0 /dev/null\n1 /dev/null\n2 /dev/null\n"), std::string::npos) << r;
    EXPECT_NE(r.find(std::to_string(keep) + " " + log + "\n"), std::string::npos) << r;
    EXPECT_NE(r.find("leader\n"), std::string::npos);
    // Nothing else below 10 survives.
    EXPECT_EQ(std::count(r.begin(), r.end(), '\n'), 5) << r;
}

TEST_F(Life, ForkFailures)
{
    // Without processes left to the user, fork fails with EAGAIN.
    auto no_more_processes = [] {
        g_no_leak_check = 1;
        struct rlimit rl = {0, 0};
        if (setgid(65534) < 0 || setuid(65534) < 0 || setrlimit(RLIMIT_NPROC, &rl) < 0)
            _exit(98);
    };
    EXPECT_EXIT(
        {
            no_more_processes();
            daemonize(0, -1);
        },
        testing::ExitedWithCode(1), "^Zelptyd: cannot fork: Resource temporarily unavailable\n");

    // do_fork: the connection is dropped, the daemon carries on.
    EXPECT_EXIT(
        {
            no_more_processes();
            _exit(do_fork(5, tty_argv) == 0 ? 0 : 2);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(log_lines(log), (std::vector<std::string>{"Zelptyd: fork failed, errno 11"}));
}

} // namespace
