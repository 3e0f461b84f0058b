// zelterm on a pty of its own, connected straight to Zeltty (both linked
// with the TLI test double, the connection a socket pair), running a shell
// command: the whole session path without the network.
#include "testproc.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

using namespace testsupport;

namespace {

// A pty standing for the user's terminal.
struct Terminal {
    Terminal(unsigned short rows, unsigned short cols)
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        grantpt(master);
        unlockpt(master);
        slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        resize(rows, cols);
        tcgetattr(slave, &before);
    }
    ~Terminal()
    {
        close(master);
        close(slave);
    }
    void resize(unsigned short rows, unsigned short cols)
    {
        struct winsize w{};
        w.ws_row = rows;
        w.ws_col = cols;
        ioctl(master, TIOCSWINSZ, &w);
    }
    void type(const std::string &s) { ASSERT_EQ(write(master, s.data(), s.size()), ssize_t(s.size())); }
    bool restored() const
    {
        struct termios now{};
        tcgetattr(slave, &now);
        return now.c_iflag == before.c_iflag && now.c_oflag == before.c_oflag && now.c_lflag == before.c_lflag &&
               now.c_cflag == before.c_cflag;
    }
    bool raw() const
    {
        struct termios now{};
        tcgetattr(slave, &now);
        return (now.c_lflag & (ICANON | ECHO)) == 0;
    }
    int master = -1;
    int slave = -1;
    struct termios before{};
};

// zelterm on `term`, talking to Zeltty running `command`.
struct Chain {
    Chain(Terminal &term, const std::vector<std::string> &command, const std::string &target = "ZELHOST")
    {
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
        Proc::Options so;
        so.stdin_fd = sv[1];
        so.env = {{"ZELTTY_TEST_GRACE_MS", "500"}};
        std::vector<std::string> sargv = {build_path("platform/zeltty/zeltty_sock")};
        sargv.insert(sargv.end(), command.begin(), command.end());
        server = Proc(sargv, so);

        Proc::Options co;
        co.stdin_fd = term.slave;
        co.keep_fds = {sv[0]};
        co.env = {{"ZELTERM_TEST_FD", std::to_string(sv[0])}, {"TERM", "xterm"}};
        client = Proc({build_path("platform/zelterm/zelterm_sock"), target}, co);
        close(sv[0]);
        close(sv[1]);
    }
    Proc server;
    Proc client;
};

int status_of(Proc &p)
{
    int st = p.wait_exit(10s);
    return st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

Proc zelterm(const std::vector<std::string> &args, std::vector<std::pair<std::string, std::string>> env = {})
{
    Proc::Options o;
    o.env = std::move(env);
    std::vector<std::string> argv = {build_path("platform/zelterm/zelterm_sock")};
    argv.insert(argv.end(), args.begin(), args.end());
    return Proc(argv, o);
}

} // namespace

TEST(ZeltermSession, SizeTypeAndInputReachTheCommand)
{
    Terminal t(30, 90);
    Chain c(t, {"/bin/sh", "-c", "stty size; echo TERM=$TERM; read l; echo got:$l"});
    ASSERT_TRUE(c.client.wait_output("TERM=xterm")) << c.client.out() << c.client.err();
    EXPECT_NE(c.client.out().find("30 90\r\n"), std::string::npos) << c.client.out();
    EXPECT_TRUE(t.raw());
    t.type("hi\r");
    EXPECT_TRUE(c.client.wait_output("got:hi"));
    // The server ends the connection after the command: a normal end.
    EXPECT_EQ(status_of(c.client), 0) << c.client.err();
    EXPECT_NE(c.client.err().find("Connection to ZELHOST (00000001:00007F000001:8063) closed."), std::string::npos)
        << c.client.err();
    EXPECT_TRUE(t.restored());
    EXPECT_EQ(status_of(c.server), 0);
}

TEST(ZeltermSession, ResizeIsSentAndEscapeEndsTheSession)
{
    Terminal t(24, 80);
    Chain c(t, {"/bin/sh", "-c", "trap 'stty size' WINCH; echo ready; while :; do sleep 60 & wait; done"});
    ASSERT_TRUE(c.client.wait_output("ready")) << c.client.err();
    t.resize(40, 120);
    c.client.signal(SIGWINCH);  // the kernel signals only the terminal's own session
    EXPECT_TRUE(c.client.wait_output("40 120")) << c.client.out();

    t.type("\r~.");
    EXPECT_EQ(status_of(c.client), 0) << c.client.err();
    EXPECT_TRUE(t.restored());
    // Zeltty saw the disconnect and ended the session.
    EXPECT_EQ(status_of(c.server), 0);
}

TEST(ZeltermSession, TerminalIsRestoredWhenKilled)
{
    Terminal t(24, 80);
    Chain c(t, {"/bin/sh", "-c", "echo ready; read l"});
    ASSERT_TRUE(c.client.wait_output("ready"));
    EXPECT_TRUE(t.raw());
    c.client.signal(SIGTERM);
    EXPECT_EQ(status_of(c.client), 1);
    EXPECT_NE(c.client.err().find("zelterm: ended by signal"), std::string::npos) << c.client.err();
    EXPECT_TRUE(t.restored());
    EXPECT_EQ(status_of(c.server), 0);
}

TEST(ZeltermSession, LookupAndConnectFailuresAreReported)
{
    {
        // Names are looked up in upper case; a refusal is a failure.
        Proc p = zelterm({"zelhost"}, {{"ZELTERM_TEST_REFUSE", "1"}, {"ZELTERM_TEST_FD", "0"}});
        EXPECT_EQ(status_of(p), 1);
        EXPECT_NE(p.err().find("test: t_connect 00000001:00007F000001:8063"), std::string::npos) << p.err();
        EXPECT_NE(p.err().find("zelterm: ZELHOST (00000001:00007F000001:8063): connection refused"),
                  std::string::npos)
            << p.err();
    }
    {
        // An address needs no lookup.
        Proc p = zelterm({"12:c0a80001:8063"}, {{"ZELTERM_TEST_REFUSE", "1"}, {"ZELTERM_TEST_FD", "0"}});
        EXPECT_EQ(status_of(p), 1);
        EXPECT_NE(p.err().find("test: t_connect 00000012:0000C0A80001:8063"), std::string::npos) << p.err();
    }
    {
        Proc p = zelterm({"nope"});
        EXPECT_EQ(status_of(p), 1);
        EXPECT_NE(p.err().find("zelterm: service NOPE not found: no such service"), std::string::npos) << p.err();
    }
    {
        // No stack: the device cannot be opened.
        Proc p = zelterm({"1:1:8063"});
        EXPECT_EQ(status_of(p), 1);
        EXPECT_NE(p.err().find("cannot open /dev/ravspx"), std::string::npos) << p.err();
    }
}

TEST(ZeltermCommandLine, ListsServicesAndRejectsBadArguments)
{
    Proc l = zelterm({"-l"});
    EXPECT_EQ(status_of(l), 0);
    const std::string &out = l.out();
    size_t files = out.find("FILESRV"), host = out.find("ZELHOST");
    ASSERT_NE(host, std::string::npos) << out;
    EXPECT_LT(files, host);  // sorted by name
    EXPECT_NE(out.find("0247  00000001:00007F000001:8063"), std::string::npos) << out;
    EXPECT_EQ(out.rfind("Name", 0), 0u);

    Proc nosap = zelterm({"-l"}, {{"ZELTERM_TEST_NOSAP", "1"}});
    EXPECT_EQ(status_of(nosap), 1);
    EXPECT_NE(nosap.err().find("cannot list the services: no answer from Ombrad"), std::string::npos);

    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{}, {"-x"}, {"a", "b"}, {"-l", "extra"}, {"1:2"}, {"bad name"},
                                               {std::string(48, 'A')}}) {
        Proc p = zelterm(args);
        EXPECT_EQ(status_of(p), 2) << (args.empty() ? "" : args[0]);
        EXPECT_NE(p.err().find("zelterm"), std::string::npos);
    }
}
