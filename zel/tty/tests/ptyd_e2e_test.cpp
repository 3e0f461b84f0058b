// Zelptyd end to end: the installed daemon with the stack daemon, a test
// Ombrad and a test Zeltty, as root in private mount and network
// namespaces with a private /opt/DRAXipx.
#include "e2e_setup.h"

using namespace ptyd_e2e;

namespace {

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
    // host name in upper case (at most the 47 characters SAP carries), the
    // node's host number.
    std::string name = hostname_upper().substr(0, 47);
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

// A call that comes in while the daemon waits for Ombrad, which then
// refuses the service: the daemon says why, refuses the waiting call (the
// provider unbinds no endpoint with a call outstanding) and ends in order:
// status 0, pid file removed.
TEST_F(ZelptydE2E, CallWaitingWhenTheServiceIsRefusedIsRefusedInOrder)
{
    start_holding_ombrad(-5);
    start_daemon();
    int fd = connect_client(O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0) << t_errno;
    ASSERT_TRUE(wait_until([&] { return stack_status().find(" qlen 4 indications 1") != std::string::npos; }, 10s))
        << stack_status();
    ASSERT_EQ(write(held_release, "\n", 1), 1);

    int st = daemon_exit();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_NE(access((kBin + "/ptyd.pid").c_str(), F_OK), 0);
    std::string log = read_file(kBin + "/log.zel");
    EXPECT_NE(log.find("\tZelptyd: can't advertise " + hostname_upper() +
                       ": Ombrad's table of services is full (-5)\r\n\t        exiting\r\n"),
              std::string::npos)
        << log;

    // The caller hears that it was refused.
    ASSERT_TRUE(wait_until([&] { return t_look(fd) == T_DISCONNECT; }, 10s));
    struct t_discon dis;
    memset(&dis, 0, sizeof dis);
    ASSERT_EQ(t_rcvdis(fd, &dis), 0);
    EXPECT_EQ(dis.reason, 2);
    t_close(fd);
}

// A name longer than SAP carries is advertised cut to 47 characters.
TEST_F(ZelptydE2E, LongServiceNameIsAdvertisedCut)
{
    std::string name(60, 'L');
    start_real_ombrad(name.substr(0, 47));
    start_daemon({"-n", name});
    kill(daemon, SIGTERM);
    EXPECT_EQ(daemon_exit(), 0);
    EXPECT_FALSE(advertised(name.substr(0, 47)));
}

// A pid file left behind whose number now belongs to some other program:
// kill mode leaves that program alone, and a start is not refused.
TEST_F(ZelptydE2E, PidFileNamingAnotherProgram)
{
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    Proc::Options o;
    o.stdin_fd = p[0];
    Proc cat({"/bin/cat"}, o);
    close(p[0]);
    std::string exe = "/proc/" + std::to_string(cat.pid()) + "/exe";
    ASSERT_TRUE(wait_until([&] {
        char target[256];
        ssize_t n = readlink(exe.c_str(), target, sizeof target - 1);
        return n > 4 && std::string(target, (size_t)n).find("cat") != std::string::npos;
    }, 10s));
    std::string stale = std::to_string(cat.pid()) + "\n";
    ASSERT_TRUE(testsupport::write_file(kBin + "/ptyd.pid", stale));

    int st = run({"-k"});
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
    EXPECT_EQ(last_err, kBin + "/Zelptyd: Zelptyd not running (obsolete pidfile)\n");
    EXPECT_TRUE(alive(cat.pid()));

    start_ombrad();
    start_daemon({}, stale);
    EXPECT_NE(daemon, cat.pid());
    st = run({"-k"});
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << last_err;
    EXPECT_EQ(daemon_exit(), 0);
    EXPECT_TRUE(alive(cat.pid()));
    close(p[1]);
    EXPECT_EQ(cat.wait_exit(), 0);
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
