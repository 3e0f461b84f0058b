// The terminal service end to end, in a private namespace: ipxstackd,
// Ombrad and Zelptyd (running Zeltty with a shell in place of login), and
// zelterm on a pty of its own as the user.
#include "testproc.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>

using namespace testsupport;

namespace {

const char *const kBin = "/opt/DRAXipx/bin";
const char *const kService = "ZELTEST";

bool alive(pid_t pid)
{
    if (pid <= 0 || kill(pid, 0) != 0)
        return false;
    // A zombie is gone for our purpose.
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(f, stat);
    size_t close = stat.rfind(')');
    return close == std::string::npos || stat.substr(close + 2, 1) != "Z";
}

// Processes of session `sid`.
int session_size(pid_t sid)
{
    int n = 0;
    DIR *d = opendir("/proc");
    while (struct dirent *e = d != nullptr ? readdir(d) : nullptr) {
        std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
        std::string stat;
        if (!std::getline(f, stat))
            continue;
        size_t close = stat.rfind(')');
        char state = 0;
        long ppid = 0, pgrp = 0, session = 0;
        if (close != std::string::npos &&
            std::sscanf(stat.c_str() + close + 1, " %c %ld %ld %ld", &state, &ppid, &pgrp, &session) == 4 &&
            session == sid && state != 'Z')
            ++n;
    }
    if (d != nullptr)
        closedir(d);
    return n;
}

// The three daemons, started in order, each waited for.
class Service {
public:
    bool start(std::string &why)
    {
        if (!enter_sandbox(why))
            return false;
        Proc lo({"/bin/sh", "-c", "ip link set lo up"});
        lo.wait_exit();
        for (const auto &[from, name] : {std::pair{ZELTTY_PATH, "Zeltty"}, std::pair{ZELPTYD_PATH, "Zelptyd"}})
            if (!copy_file(from, std::string(kBin) + "/" + name)) {
                why = std::string("cannot install ") + name;
                return false;
            }
        env_ = {{"IPX_DEVDIR", dev_.path()}};
        Proc::Options o;
        o.env = env_;
        if (!start_ready(stack_, {IPXSTACKD_PATH, "-f", "--dev-dir", dev_.path(), "--net", "ABCD"}, o, 10s, why) ||
            !start_ready(ombrad_, {OMBRAD_PATH, "-f"}, o, 10s, why))
            return false;
        o.cwd = kBin;
        Proc ptyd({std::string(kBin) + "/Zelptyd", "-n", "zeltest", "/bin/sh"}, o);
        if (ptyd.wait_exit(10s) != 0) {
            why = "Zelptyd did not start: " + ptyd.err() + ptyd.out();
            return false;
        }
        started_ptyd_ = true;
        // Up once it is advertised.
        if (!wait_until([&] { return list().find(kService) != std::string::npos; }, 20s)) {
            why = "the service was never advertised";
            return false;
        }
        return true;
    }
    ~Service()
    {
        if (started_ptyd_) {
            Proc::Options o;
            o.env = env_;
            Proc k({std::string(kBin) + "/Zelptyd", "-k"}, o);
            k.wait_exit();
        }
        for (Proc *p : {&ombrad_, &stack_})
            if (p->pid() > 0) {
                p->signal(SIGTERM);
                p->wait_exit();
            }
    }
    std::string list()
    {
        Proc::Options o;
        o.env = env_;
        Proc l({ZELTERM_PATH, "-l"}, o);
        l.wait_exit(15s);
        return l.out();
    }
    // zelterm with these arguments, its standard input `in` (/dev/null
    // when not given).
    Proc zelterm(const std::vector<std::string> &args, int in = -1) const
    {
        Proc::Options o;
        o.env = env_;
        o.stdin_fd = in;
        std::vector<std::string> argv = {ZELTERM_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        return Proc(argv, o);
    }
    // Stops Zelptyd, which withdraws the advertisement.
    bool stop_ptyd()
    {
        Proc::Options o;
        o.env = env_;
        Proc k({std::string(kBin) + "/Zelptyd", "-k"}, o);
        started_ptyd_ = false;
        return k.wait_exit(20s) == 0;
    }
    const std::vector<std::pair<std::string, std::string>> &env() const { return env_; }

private:
    TempDir dev_;
    std::vector<std::pair<std::string, std::string>> env_;
    Proc stack_, ombrad_;
    bool started_ptyd_ = false;
};

// zelterm on a pty standing for the user's terminal.
class User {
public:
    User(const Service &svc, unsigned short rows = 24, unsigned short cols = 80) : pty_(rows, cols)
    {
        Proc::Options o;
        o.env = svc.env();
        o.env.push_back({"TERM", "xterm"});
        o.stdin_fd = pty_.slave();
        zelterm_ = Proc({ZELTERM_PATH, kService}, o);
    }
    void resize(unsigned short rows, unsigned short cols) { pty_.resize(rows, cols); }
    void type(const std::string &s)
    {
        ASSERT_EQ(write(pty_.master(), s.data(), s.size()), ssize_t(s.size()));
    }
    // Types a command line; true once `expect` appears in the output.
    bool run(const std::string &line, const std::string &expect)
    {
        type(line + "\r");
        return zelterm_.wait_output(expect, 20s);
    }
    // The shell's pid, from "echo pid=$$" (the echoed input shows "$$").
    pid_t shell_pid()
    {
        if (!run("echo pid=$$; echo p''id-done", "pid-done"))
            return -1;
        const std::string &out = zelterm_.out();
        for (size_t at = out.find("pid="); at != std::string::npos; at = out.find("pid=", at + 1))
            if (std::isdigit(static_cast<unsigned char>(out[at + 4])))
                return static_cast<pid_t>(std::atoi(out.c_str() + at + 4));
        return -1;
    }
    Proc &zelterm() { return zelterm_; }

private:
    Proc zelterm_;
    Pty pty_;  // closed before zelterm is killed
};

int exit_status(Proc &p, std::chrono::milliseconds limit = 20s)
{
    int st = p.wait_exit(limit);
    return st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

class TerminalService : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!svc_.start(why))
            FAIL() << why;
    }
    Service svc_;
};

} // namespace

TEST_F(TerminalService, SessionRunsCommandsAtTheClientsSize)
{
    User u(svc_, 30, 90);
    EXPECT_TRUE(u.run("echo hel''lo; stty size; echo $TERM; echo from=$ZELTTY_CLIENT; echo d''one", "done"))
        << u.zelterm().out();
    EXPECT_NE(u.zelterm().out().find("hello\r\n"), std::string::npos);
    EXPECT_NE(u.zelterm().out().find("30 90\r\n"), std::string::npos) << u.zelterm().out();
    EXPECT_NE(u.zelterm().out().find("xterm\r\n"), std::string::npos);
    // The caller's address as the stack knows it: this host, a dynamic socket.
    EXPECT_NE(u.zelterm().out().find("from=0000ABCD:00007F000001:"), std::string::npos) << u.zelterm().out();

    // A resize reaches the shell.
    u.resize(40, 120);
    u.zelterm().signal(SIGWINCH);
    EXPECT_TRUE(u.run("stty size; echo d''one2", "done2"));
    EXPECT_NE(u.zelterm().out().find("40 120\r\n"), std::string::npos) << u.zelterm().out();

    // Leaving the shell ends the session with the shell's status.
    u.type("exit 3\r");
    EXPECT_EQ(exit_status(u.zelterm()), 3) << u.zelterm().err();
    EXPECT_NE(u.zelterm().err().find("Connection to ZELTEST (0000ABCD:00007F000001:8063) closed."), std::string::npos)
        << u.zelterm().err();
}

TEST_F(TerminalService, PipedInputAndItsEnd)
{
    // A script through a pipe: run, then end-of-file ends the shell.
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    Proc z = svc_.zelterm({kService}, p[0]);
    close(p[0]);
    std::string script = "echo pi''ped; ls /nonexistent-dir 2>/dev/null\n";
    ASSERT_EQ(write(p[1], script.data(), script.size()), ssize_t(script.size()));
    close(p[1]);
    EXPECT_EQ(exit_status(z), 2) << z.err();  // ls's status, the shell's last
    EXPECT_NE(z.out().find("piped\r\n"), std::string::npos) << z.out();
    EXPECT_NE(z.err().find("standard input is not a terminal"), std::string::npos) << z.err();
}

TEST_F(TerminalService, NoListenerThenNoService)
{
    // A socket nobody listens on: no answer, within the time given.
    Proc z = svc_.zelterm({"-w", "1", "ABCD:7f000001:9999"});
    EXPECT_EQ(exit_status(z), 255);
    EXPECT_NE(z.err().find("Trying 0000ABCD:00007F000001:9999...\n"), std::string::npos) << z.err();
    EXPECT_NE(z.err().find("zelterm: 0000ABCD:00007F000001:9999: no answer within 1 second\n"), std::string::npos)
        << z.err();

    // Once Zelptyd is stopped, its service is no longer advertised.
    ASSERT_TRUE(svc_.stop_ptyd());
    ASSERT_TRUE(wait_until([&] { return svc_.list().find(kService) == std::string::npos; }, 30s));
    Proc n = svc_.zelterm({"-q", kService});
    EXPECT_EQ(exit_status(n, 30s), 255);
    EXPECT_EQ(n.err(), std::string("zelterm: service ") + kService + " is not advertised (zelterm -l lists those that are)\n");
}

TEST_F(TerminalService, ShellHoldsOnlyItsTerminal)
{
    User u(svc_);
    pid_t shell = u.shell_pid();
    ASSERT_GT(shell, 0) << u.zelterm().out();
    // 0, 1 and 2, and whatever copies of its terminal the shell makes for
    // itself (an interactive shell opens /dev/tty for job control): nothing else.
    std::vector<int> fds = open_fds(shell);
    ASSERT_GE(fds.size(), 3u);
    EXPECT_EQ(std::vector<int>(fds.begin(), fds.begin() + 3), (std::vector<int>{0, 1, 2}));
    std::string tty;
    for (int fd : fds) {
        char l[256] = {};
        readlink(("/proc/" + std::to_string(shell) + "/fd/" + std::to_string(fd)).c_str(), l, sizeof l - 1);
        if (tty.empty())
            tty = l;
        // "/dev/tty" is the controlling terminal: the pty again.
        if (std::string(l) != "/dev/tty") {
            EXPECT_EQ(std::string(l), tty) << "descriptor " << fd;
        }
    }
    EXPECT_EQ(tty.rfind("/dev/pts/", 0), 0u) << tty;
    u.type("~.");
    EXPECT_EQ(exit_status(u.zelterm()), 255);  // no status: the session was cut
    EXPECT_TRUE(wait_until([&] { return !alive(shell); }, 20s));
}

TEST_F(TerminalService, DroppingTheClientEndsTheShell)
{
    User u(svc_);
    pid_t shell = u.shell_pid();
    ASSERT_GT(shell, 0) << u.zelterm().out();
    EXPECT_TRUE(u.run("sleep 600 & echo b''g", "bg"));
    u.zelterm().signal(SIGKILL);  // no disconnect of its own: the stack ends the connection
    u.zelterm().wait_exit();
    EXPECT_TRUE(wait_until([&] { return !alive(shell) && session_size(shell) == 0; }, 30s));
}

TEST_F(TerminalService, TwentySessionsOpenTogether)
{
    // Connected one after the other, then all used at the same time.
    std::vector<std::unique_ptr<User>> users;
    for (int i = 0; i < 20; ++i) {
        users.push_back(std::make_unique<User>(svc_));
        ASSERT_TRUE(users[i]->run("echo u''p" + std::to_string(i), "up" + std::to_string(i) + "\r")) << i;
    }
    for (int i = 0; i < 20; ++i)
        users[i]->type("echo s''" + std::to_string(i) + "-ok; exit\r");
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(users[i]->zelterm().wait_output("s" + std::to_string(i) + "-ok", 60s)) << i;
        EXPECT_EQ(exit_status(users[i]->zelterm(), 30s), 0) << i << users[i]->zelterm().err();
    }
}

TEST_F(TerminalService, TwentyClientsConnectAtOnce)
{
    // Connect requests arrive faster than the listener accepts them.
    std::vector<std::unique_ptr<User>> users;
    for (int i = 0; i < 20; ++i)
        users.push_back(std::make_unique<User>(svc_));
    for (int i = 0; i < 20; ++i)
        users[i]->type("echo s''" + std::to_string(i) + "-ok; exit\r");
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(users[i]->zelterm().wait_output("s" + std::to_string(i) + "-ok", 60s)) << i;
        EXPECT_EQ(exit_status(users[i]->zelterm(), 30s), 0) << i << users[i]->zelterm().err();
    }
}

TEST_F(TerminalService, ListShowsTheServiceInUpperCase)
{
    std::string out = svc_.list();
    size_t at = out.find(kService);
    ASSERT_NE(at, std::string::npos) << out;
    std::string row = out.substr(at, out.find('\n', at) - at);
    EXPECT_NE(row.find("0247"), std::string::npos) << row;
    EXPECT_NE(row.find("0000ABCD:"), std::string::npos) << row;
    EXPECT_NE(row.find(":8063"), std::string::npos) << row;
}
