// Zelptyd end to end: the installed daemon with the stack daemon, a test
// Ombrad and a test Zeltty, as root in private mount and network
// namespaces with a private /opt/DRAXipx.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tiuser.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "ptyd.h"
#include "testproc.h"

using namespace std::chrono_literals;
using testsupport::Proc;
using testsupport::TempDir;
using testsupport::read_file;
using testsupport::wait_until;

namespace {

const std::string kBin = "/opt/DRAXipx/bin";
const std::string kVersion = "ZEL spx terminal services 2.2.1 sh";
const unsigned char kNet[4] = {0x00, 0x00, 0xab, 0xcd};
const unsigned char kNode[6] = {0x00, 0x00, 0x7f, 0x00, 0x00, 0x01};  // --host 127.0.0.1

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

std::string hex_of(const std::string &s)
{
    std::string out;
    char h[3];
    for (unsigned char c : s) {
        snprintf(h, sizeof h, "%02x", c);
        out += h;
    }
    return out;
}

// Open descriptors of a process with what each refers to.
std::vector<std::string> fds_of(pid_t pid)
{
    std::vector<std::string> out;
    for (int fd : testsupport::open_fds(pid)) {
        char target[256];
        std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        out.push_back(std::to_string(fd) + " " + target);
    }
    return out;
}

bool alive(pid_t pid)
{
    return kill(pid, 0) == 0;
}

class ZelptydE2E : public ::testing::Test {
protected:
    TempDir devdir;
    std::string requests = devdir / "requests";
    Proc stack;
    Proc ombrad;
    pid_t daemon = -1;

    void SetUp() override
    {
        std::string why;
        if (!testsupport::enter_sandbox(why))
            GTEST_SKIP() << why;
        // Orphaned daemons and their children become ours, so that every
        // test can collect what it started.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        ASSERT_TRUE(testsupport::copy_file(ZELPTYD_BIN, kBin + "/Zelptyd"));
        ASSERT_TRUE(testsupport::copy_file(FAKE_ZELTTY_BIN, kBin + "/Zeltty"));

        setenv("IPX_DEVDIR", devdir.path().c_str(), 1);
        Proc::Options o;
        stack = Proc({IPXSTACKD_BIN, "-f", "--dev-dir", devdir.path(), "--net", "0000abcd",
                      "--host", "127.0.0.1", "--ready-fd", "1"},
                     o);
        ASSERT_TRUE(stack.wait_output("ready\n")) << stack.err();
    }

    void TearDown() override
    {
        if (daemon > 0 && alive(daemon))
            kill(daemon, SIGKILL);
        ombrad = Proc();
        stack = Proc();
        // Whatever else we inherited (connection programs): end and collect.
        for (int i = 0; i < 100; i++) {
            bool any = false;
            if (DIR *d = opendir("/proc")) {
                while (struct dirent *e = readdir(d)) {
                    pid_t p = atoi(e->d_name);
                    if (p <= 0)
                        continue;
                    std::string st = read_file("/proc/" + std::string(e->d_name) + "/stat");
                    size_t close_paren = st.rfind(')');
                    if (close_paren == std::string::npos)
                        continue;
                    int ppid = atoi(st.c_str() + close_paren + 4);
                    if (ppid == getpid()) {
                        kill(p, SIGKILL);
                        any = true;
                    }
                }
                closedir(d);
            }
            while (waitpid(-1, nullptr, WNOHANG) > 0)
                ;
            if (!any)
                break;
            wait_until([] { return waitpid(-1, nullptr, WNOHANG) > 0; }, 100ms);
        }
    }

    Proc::Options env() const
    {
        Proc::Options o;
        o.env = {{"IPX_DEVDIR", devdir.path()}};
        return o;
    }

    void start_ombrad(bool silent = false)
    {
        std::vector<std::string> argv = {TEST_OMBRAD_BIN, requests};
        if (silent)
            argv.push_back("silent");
        ombrad = Proc(argv, env());
        ASSERT_TRUE(ombrad.wait_output("ready\n")) << ombrad.err();
    }

    // Runs the installed program; returns its wait status.
    int run(const std::vector<std::string> &args, Proc *keep = nullptr)
    {
        std::vector<std::string> argv = {kBin + "/Zelptyd"};
        argv.insert(argv.end(), args.begin(), args.end());
        Proc p(argv, env());
        int st = p.wait_exit(20s);
        last_out = p.out();
        last_err = p.err();
        if (keep)
            *keep = std::move(p);
        return st;
    }

    // Starts the daemon and waits for its pid file.
    void start_daemon(const std::vector<std::string> &args = {}, const std::string &stale = "")
    {
        int st = run(args);
        ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st << " " << last_err;
        ASSERT_TRUE(wait_until([&] {
            std::string p = read_file(kBin + "/ptyd.pid");
            return !p.empty() && p.back() == '\n' && p != stale;
        }, 20s, kBin));
        daemon = atoi(read_file(kBin + "/ptyd.pid").c_str());
        ASSERT_GT(daemon, 1);
        // The stop signals are handled from the advertisement on.
        ASSERT_TRUE(wait_until([&] { return !ombrad_requests().empty(); }, 10s));
    }

    // Waits for the daemon to end; its wait status, or -1.
    int daemon_exit(std::chrono::milliseconds limit = 10s)
    {
        int st = -1;
        wait_until([&] { return waitpid(daemon, &st, WNOHANG) == daemon; }, limit);
        return st;
    }

    std::vector<std::string> ombrad_requests() { return lines_of(read_file(requests)); }

    // Reports of the test Zeltty; with `pids`, also the process ids.
    std::vector<std::string> reports(std::vector<pid_t> *pids = nullptr)
    {
        std::vector<std::string> out;
        if (DIR *d = opendir(kBin.c_str())) {
            while (struct dirent *e = readdir(d)) {
                std::string n = e->d_name;
                if (n.rfind("zeltty.", 0) == 0 && n.find(".tmp") == std::string::npos &&
                    n != "zeltty.trc") {
                    out.push_back(read_file(kBin + "/" + n));
                    if (pids)
                        pids->push_back(atoi(n.c_str() + 7));
                }
            }
            closedir(d);
        }
        return out;
    }

    // Connects a client to the daemon's listening address; the endpoint or -1.
    int connect_client()
    {
        int fd = t_open("/dev/ravspx", O_RDWR, nullptr);
        if (fd < 0)
            return -1;
        if (t_bind(fd, nullptr, nullptr) < 0) {
            t_close(fd);
            return -1;
        }
        unsigned char addr[12];
        memcpy(addr, kNet, 4);
        memcpy(addr + 4, kNode, 6);
        addr[10] = 0x80;
        addr[11] = 0x63;
        struct t_call call;
        memset(&call, 0, sizeof call);
        call.addr.len = call.addr.maxlen = sizeof addr;
        call.addr.buf = (char *)addr;
        if (t_connect(fd, &call, nullptr) < 0) {
            t_close(fd);
            return -1;
        }
        return fd;
    }

    std::string last_out, last_err;
};

std::string hostname_upper()
{
    char h[256] = "";
    gethostname(h, sizeof h);
    std::string s;
    for (char *p = h; *p; ++p)
        s += (char)toupper((unsigned char)*p);
    return s;
}

TEST_F(ZelptydE2E, StartsAdvertisesAndLogs)
{
    start_ombrad();
    start_daemon();
    EXPECT_EQ(last_out, "    Zelptyd: " + kVersion + "\n    " + std::string(get_copyright()) + "\n");
    EXPECT_EQ(last_err, "");

    EXPECT_EQ(read_file(kBin + "/ptyd.pid"), std::to_string(daemon) + "\n");
    ASSERT_TRUE(wait_until([&] { return !ombrad_requests().empty(); }, 10s));

    // The bind request: code 1, sequence 1, type 0x247, socket 0x8063, the
    // host name in upper case, the node's host number.
    std::string name = hostname_upper().substr(0, 48);
    std::string want = "0001" "0001" "0247" "8063" + hex_of(name) +
                       std::string(2 * (48 - name.size()), '0') + "00007f000001";
    EXPECT_EQ(ombrad_requests()[0], want);

    std::string log = read_file(kBin + "/log.zel");
    ASSERT_GE(log.size(), 26u) << log;
    EXPECT_TRUE(std::regex_match(log.substr(0, 26),
                                 std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\r\n")))
        << log;
    EXPECT_EQ(log.substr(26), "\tZelptyd: " + kVersion + " starting\r\n\t" + get_copyright() + "\r\n");

    // A second copy is refused and changes nothing.
    int st = run({});
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1);
    EXPECT_EQ(last_err, "    Zelptyd already running\n");
    EXPECT_EQ(last_out, "");
    EXPECT_EQ(read_file(kBin + "/log.zel"), log);

    // Detached: descriptors 0 to 2 are the null device.
    char target[256];
    ssize_t n = readlink(("/proc/" + std::to_string(daemon) + "/fd/1").c_str(), target, sizeof target - 1);
    ASSERT_GT(n, 0);
    target[n] = '\0';
    EXPECT_STREQ(target, "/dev/null");
}

TEST_F(ZelptydE2E, ConnectionReachesZeltty)
{
    start_ombrad();
    start_daemon({"-n", "term1", "/bin/sh", "-c", "exit 3"});

    int fd = connect_client();
    ASSERT_GE(fd, 0) << t_errno;
    std::vector<pid_t> pids;
    ASSERT_TRUE(wait_until([&] { return reports().size() == 1; }, 10s, kBin));
    std::vector<std::string> r = lines_of(reports(&pids)[0]);
    ASSERT_GE(r.size(), 6u);
    EXPECT_EQ(r[0], "arg Zeltty");
    EXPECT_EQ(r[1], "arg /bin/sh");
    EXPECT_EQ(r[2], "arg -c");
    EXPECT_EQ(r[3], "arg exit 3");
    EXPECT_EQ(r[4], "state " + std::to_string(T_DATAXFER));

    char buf[64];
    int flags = 0;
    int got = t_rcv(fd, buf, sizeof buf, &flags);
    ASSERT_GT(got, 0) << t_errno;
    EXPECT_EQ(std::string(buf, got), "hello from Zeltty\n");

    // The daemon gave up its copy of the connection: nothing it holds is
    // the socket on Zeltty's descriptor 0.
    std::vector<std::string> zfds = fds_of(pids[0]);
    ASSERT_FALSE(zfds.empty());
    std::string conn = zfds[0].substr(2);
    ASSERT_EQ(conn.rfind("socket:", 0), 0u) << conn;
    EXPECT_TRUE(wait_until([&] {
        std::vector<std::string> d = fds_of(daemon);
        return std::none_of(d.begin(), d.end(), [&](const std::string &x) {
            return x.substr(x.find(' ') + 1) == conn;
        });
    }, 10s)) << testing::PrintToString(fds_of(daemon)) << " holds " << conn;
    t_close(fd);

    // The name was upper-cased.
    EXPECT_EQ(ombrad_requests()[0].substr(16, 10), hex_of("TERM1"));
}

TEST_F(ZelptydE2E, KillModeStopsTheDaemon)
{
    start_ombrad();
    start_daemon();
    int st = run({"-k"});
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_EQ(last_out, "");
    EXPECT_EQ(last_err, "");

    int dst = daemon_exit();
    EXPECT_TRUE(WIFEXITED(dst) && WEXITSTATUS(dst) == 0) << dst;
    EXPECT_NE(access((kBin + "/ptyd.pid").c_str(), F_OK), 0);
    std::vector<std::string> r = ombrad_requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].substr(0, 16), "0002000202470000");
    EXPECT_EQ(r[1].substr(112), "000000000000");

    // Nothing left to stop.
    st = run({"-k"});
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1);
    EXPECT_EQ(last_err, kBin + "/Zelptyd: Zelptyd not running (no pidfile)\n");
}

TEST_F(ZelptydE2E, NoAnswerFromOmbrad)
{
    start_ombrad(true);
    auto t0 = std::chrono::steady_clock::now();
    start_daemon();
    int st = daemon_exit(30s);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_GE(waited, 9s);  // it waited for the reply before giving up
    std::vector<std::string> log = lines_of(read_file(kBin + "/log.zel"));
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[4], "\tZelptyd: failed to reach Ombrad\r");
    EXPECT_EQ(log[5], "\t        exiting\r");
    EXPECT_NE(access((kBin + "/ptyd.pid").c_str(), F_OK), 0);
    EXPECT_EQ(ombrad_requests().size(), 1u);  // no withdrawal
}

TEST_F(ZelptydE2E, TraceFile)
{
    start_ombrad();
    Proc invoker;
    int st = run({"-z", "proc=3"}, &invoker);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << last_err;
    ASSERT_TRUE(wait_until([] { return access((kBin + "/ptyd.pid").c_str(), F_OK) == 0; }, 20s, kBin))
        << read_file(kBin + "/log.zel") << read_file(kBin + "/zeltty.trc") << invoker.out() << invoker.err();
    daemon = atoi(read_file(kBin + "/ptyd.pid").c_str());
    std::string trc = kBin + "/zeltty.trc";
    ASSERT_TRUE(wait_until([&] { return read_file(trc).find("do_listen(") != std::string::npos; }, 10s));

    int fd = connect_client();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(wait_until([&] { return lines_of(read_file(trc)).size() >= 18; }, 10s)) << read_file(trc);
    t_close(fd);
    kill(daemon, SIGTERM);
    EXPECT_EQ(daemon_exit(), 0);

    std::vector<std::string> t = lines_of(read_file(trc));
    ASSERT_GE(t.size(), 19u) << read_file(trc);
    std::smatch m;
    EXPECT_EQ(t[0], "calling daemonize");
    ASSERT_TRUE(std::regex_match(t[1], m, std::regex("listener on fd (\\d+)")));
    std::string l = m[1];
    EXPECT_EQ(t[2], "do_bind(" + l + ")");
    EXPECT_EQ(t[3], "t_bind results:");
    EXPECT_EQ(t[4], "    res.addr.len = 12");
    EXPECT_EQ(t[5], "    0000abcd:    00007f000001:8063");
    EXPECT_EQ(t[6], "    qlen = 4");
    EXPECT_EQ(t[7], "do_listen(" + l + ")");
    EXPECT_TRUE(std::regex_match(t[8], std::regex("t_listen returns: seq -?\\d+ addr len 12, addr 0000abcd:00007f000001:[0-9a-f]{4}")))
        << t[8];
    EXPECT_TRUE(std::regex_match(t[9], std::regex("Connect attempt from X\\(0000abcd:00007f000001:[0-9a-f]{4}\\)")))
        << t[9];
    ASSERT_TRUE(std::regex_match(t[10], m, std::regex("do_bind\\((\\d+)\\)")));
    std::string c = m[1];
    EXPECT_EQ(t[11], "t_bind results:");
    EXPECT_EQ(t[15], "Zelptyd: accepting, seq " + t[8].substr(22, t[8].find(' ', 22) - 22));
    EXPECT_EQ(t[16], "Zelptyd: do_fork(fd = " + c + ")");
    EXPECT_EQ(t[17], "do_listen(" + l + ")");
    EXPECT_EQ(t[18], "Calling ravzel_srv_unbind(" + hostname_upper() + ", 247)");
}

TEST_F(ZelptydE2E, MissingZelttyIsLoggedAndTheDaemonStaysUp)
{
    ASSERT_EQ(unlink((kBin + "/Zeltty").c_str()), 0);
    start_ombrad();
    start_daemon();
    std::string children = "/proc/" + std::to_string(daemon) + "/task/" + std::to_string(daemon) + "/children";
    for (int i = 0; i < 2; i++) {
        int fd = connect_client();
        if (fd >= 0)
            t_close(fd);
        // One connection at a time: the failed child is collected before
        // the next call comes.
        EXPECT_TRUE(wait_until([&] { return read_file(children).empty(); }, 10s));
    }
    auto failures = [] {
        std::string log = read_file(kBin + "/log.zel");
        size_t n = 0;
        for (size_t p = 0; (p = log.find("\tZelptyd: exec of Zeltty failed\n\r\n", p)) != std::string::npos; ++p)
            ++n;
        return n;
    };
    EXPECT_TRUE(wait_until([&] { return failures() == 2; }, 10s, kBin)) << read_file(kBin + "/log.zel");
    EXPECT_TRUE(alive(daemon));
    kill(daemon, SIGTERM);
    EXPECT_EQ(daemon_exit(), 0);
}

TEST_F(ZelptydE2E, OrdinaryUserAndStalePidFile)
{
    if (access("/usr/bin/setpriv", X_OK) == 0) {
        Proc p({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                kBin + "/Zelptyd", "-k"},
               env());
        int st = p.wait_exit(10s);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1);
        EXPECT_EQ(p.err(), "Zelptyd: must run as super-user\n");
    }

    // A pid file naming a process that is gone does not block a start.
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    std::string stale = std::to_string(gone) + "\n";
    ASSERT_TRUE(testsupport::write_file(kBin + "/ptyd.pid", stale));
    start_ombrad();
    start_daemon({}, stale);
    EXPECT_NE(daemon, gone);
    kill(daemon, SIGINT);
    EXPECT_EQ(daemon_exit(), 0);
    EXPECT_NE(access((kBin + "/ptyd.pid").c_str(), F_OK), 0);
}

TEST_F(ZelptydE2E, ExchangeTraceStaysOnTheTerminal)
{
    // -i: the daemon keeps the invoker's output and shows both exchanges.
    start_ombrad();
    Proc invoker;
    int st = run({"-i"}, &invoker);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << last_err;
    ASSERT_TRUE(wait_until([&] { return !ombrad_requests().empty(); }, 10s));
    daemon = atoi(read_file(kBin + "/ptyd.pid").c_str());
    ASSERT_GT(daemon, 1);
    kill(daemon, SIGTERM);
    EXPECT_EQ(daemon_exit(), 0);
    // The daemon has ended: read its output to the end of the pipe.
    invoker.wait_output("\x01", 10s);
    const std::string ombrad_at = "X(0000abcd:00007f000001:0872)";
    std::string out = invoker.out();
    size_t good = 0;
    for (size_t p = 0; (p = out.find("isrv_send_recv: good response\n", p)) != std::string::npos; ++p)
        ++good;
    EXPECT_EQ(good, 2u) << out;  // the advertisement and its withdrawal
    EXPECT_NE(out.find("looking for daemon at " + ombrad_at + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("isrv_send_recv: got 8 bytes from " + ombrad_at + " --\n"), std::string::npos) << out;
    EXPECT_EQ(ombrad_requests().size(), 2u);
}

TEST_F(ZelptydE2E, NoStartWithoutTheEventLog)
{
    // A directory where the log should be: refused while the shell can
    // still be told, and nothing is left running.
    ASSERT_EQ(mkdir((kBin + "/log.zel").c_str(), 0755), 0);
    start_ombrad();
    int st = run({});
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1);
    EXPECT_EQ(last_err, "Zelptyd: can't open event log " + kBin + "/log.zel\n");
    EXPECT_NE(access((kBin + "/ptyd.pid").c_str(), F_OK), 0);
    EXPECT_TRUE(ombrad_requests().empty());
}

} // namespace
