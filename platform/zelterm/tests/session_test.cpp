// zelterm on a pty of its own, connected straight to Zeltty (both linked
// with the TLI test double, the connection a socket pair), running a shell
// command: the whole session path without the network.
#include "testproc.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

using namespace testsupport;

namespace {

// A pty standing for the user's terminal, its modes as they were at the
// start kept.
struct Terminal : Pty {
    Terminal(unsigned short rows, unsigned short cols) : Pty(rows, cols) { tcgetattr(slave(), &before); }
    void type(const std::string &s) { ASSERT_EQ(write(master(), s.data(), s.size()), ssize_t(s.size())); }
    bool restored() const
    {
        struct termios now{};
        tcgetattr(slave(), &now);
        return now.c_iflag == before.c_iflag && now.c_oflag == before.c_oflag && now.c_lflag == before.c_lflag &&
               now.c_cflag == before.c_cflag;
    }
    bool raw() const
    {
        struct termios now{};
        tcgetattr(slave(), &now);
        return (now.c_lflag & (ICANON | ECHO)) == 0;
    }
    struct termios before{};
};

// zelterm, its standard input `in` (the user's terminal, or a pipe),
// talking to Zeltty running `command`. With `own_group` zelterm runs in a
// process group of its own under the test, as a shell's job does, so that it
// can be stopped.
struct Chain {
    Chain(int in, const std::vector<std::string> &command, std::vector<std::string> args = {"ZELHOST"},
          bool own_group = false)
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
        co.stdin_fd = in;
        co.keep_fds = {sv[0]};
        co.env = {{"ZELTERM_TEST_FD", std::to_string(sv[0])}, {"TERM", "xterm"}};
        std::vector<std::string> cargv;
        if (own_group)
            cargv = {"/usr/bin/perl", "-e", "setpgrp(0, 0); exec @ARGV or die"};
        cargv.push_back(build_path("platform/zelterm/zelterm_sock"));
        cargv.insert(cargv.end(), args.begin(), args.end());
        client = Proc(cargv, co);
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

Proc zelterm(const std::vector<std::string> &args, std::vector<std::pair<std::string, std::string>> env = {},
             std::vector<int> keep = {})
{
    Proc::Options o;
    o.env = std::move(env);
    o.keep_fds = std::move(keep);
    std::vector<std::string> argv = {build_path("platform/zelterm/zelterm_sock")};
    argv.insert(argv.end(), args.begin(), args.end());
    return Proc(argv, o);
}

char process_state(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(f, stat);
    size_t close = stat.rfind(')');
    return close == std::string::npos ? '?' : stat[close + 2];
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

const char *const kLabel = "ZELHOST (00000001:00007F000001:8063)";

} // namespace

TEST(ZeltermSession, SizeTypeInputAndExitStatusOfTheCommand)
{
    Terminal t(30, 90);
    Chain c(t.slave(), {"/bin/sh", "-c", "stty size; echo TERM=$TERM; read l; echo got:$l; exit 3"});
    ASSERT_TRUE(c.client.wait_output("TERM=xterm")) << c.client.out() << c.client.err();
    EXPECT_TRUE(has(c.client.out(), "30 90\r\n")) << c.client.out();
    EXPECT_TRUE(t.raw());
    t.type("hi\r");
    EXPECT_TRUE(c.client.wait_output("got:hi"));
    // The command's status is zelterm's.
    EXPECT_EQ(status_of(c.client), 3) << c.client.err();
    const std::string &err = c.client.err();
    EXPECT_EQ(err.rfind(std::string("Trying ") + kLabel + "...\n", 0), 0u) << err;
    EXPECT_TRUE(has(err, std::string("\nConnected to ") + kLabel + ".\nEscape character is '~'.\n")) << err;
    EXPECT_TRUE(has(err, std::string("Connection to ") + kLabel + " closed.")) << err;
    EXPECT_TRUE(t.restored());
    EXPECT_EQ(status_of(c.server), 0);

    // A command killed by a signal: 128 + its number.
    Chain k(t.slave(), {"/bin/sh", "-c", "kill -KILL $$"}, {"-q", "ZELHOST"});
    EXPECT_EQ(status_of(k.client), 137) << k.client.err();
    EXPECT_EQ(k.client.err(), "test: t_connect 00000001:00007F000001:8063\n");  // -q
}

TEST(ZeltermSession, ResizeIsSentAndEscapeEndsTheSession)
{
    Terminal t(24, 80);
    Chain c(t.slave(), {"/bin/sh", "-c", "trap 'stty size' WINCH; echo ready; while :; do sleep 60 & wait; done"});
    ASSERT_TRUE(c.client.wait_output("ready")) << c.client.err();
    t.resize(40, 120);
    c.client.signal(SIGWINCH);  // the kernel signals only the terminal's own session
    EXPECT_TRUE(c.client.wait_output("40 120")) << c.client.out();

    // "~?" lists the escapes and sends nothing; "~." ends the session
    // without a status: zelterm's own 255.
    t.type("\r~?");
    EXPECT_TRUE(c.client.wait_output("Supported escape sequences:\r\n", 10s, true)) << c.client.err();
    t.type("~.");
    EXPECT_EQ(status_of(c.client), 255) << c.client.err();
    for (const char *esc : {" ~.", " ~^Z", " ~?", " ~~"})
        EXPECT_TRUE(has(c.client.err(), esc)) << esc;
    EXPECT_FALSE(has(c.client.out(), "~?"));
    EXPECT_TRUE(t.restored());
    // Zeltty saw the disconnect and ended the session.
    EXPECT_EQ(status_of(c.server), 0);
}

TEST(ZeltermSession, SuspendRestoresTheTerminalUntilContinued)
{
    Terminal t(24, 80);
    Chain c(t.slave(), {"/bin/sh", "-c", "echo ready; read l; echo got:$l"}, {"ZELHOST"}, true);
    ASSERT_TRUE(c.client.wait_output("ready")) << c.client.err();
    t.type("~\x1a");  // the first thing typed starts a line
    ASSERT_TRUE(wait_until([&] { return process_state(c.client.pid()) == 'T'; })) << c.client.err();
    EXPECT_TRUE(t.restored());
    EXPECT_TRUE(c.client.wait_output("[suspend zelterm]", 10s, true)) << c.client.err();
    kill(c.client.pid(), SIGCONT);
    EXPECT_TRUE(wait_until([&] { return t.raw(); }));
    t.type("back\r");
    EXPECT_TRUE(c.client.wait_output("got:back")) << c.client.out();
    EXPECT_EQ(status_of(c.client), 0) << c.client.err();
}

TEST(ZeltermSession, PipedInputEndsWithItsEndOfFile)
{
    // Standard input is a pipe: its data is typed as it is ("~." included),
    // its end is end-of-file for the command, and the output still arrives.
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    Chain c(p[0], {"/bin/sh", "-c", "cat; echo cat-ended; exit 4"});
    close(p[0]);
    std::string input = "first\n~.second\n";
    ASSERT_EQ(write(p[1], input.data(), input.size()), ssize_t(input.size()));
    close(p[1]);
    EXPECT_EQ(status_of(c.client), 4) << c.client.err();
    EXPECT_TRUE(has(c.client.out(), "~.second\r\n")) << c.client.out();
    EXPECT_TRUE(has(c.client.out(), "cat-ended\r\n")) << c.client.out();
    EXPECT_TRUE(has(c.client.err(), "zelterm: standard input is not a terminal")) << c.client.err();
    EXPECT_FALSE(has(c.client.err(), "Connected to"));
}

TEST(ZeltermSession, TerminalIsRestoredWhenKilled)
{
    Terminal t(24, 80);
    Chain c(t.slave(), {"/bin/sh", "-c", "echo ready; read l"});
    ASSERT_TRUE(c.client.wait_output("ready"));
    EXPECT_TRUE(t.raw());
    c.client.signal(SIGTERM);
    EXPECT_EQ(status_of(c.client), 255);
    EXPECT_TRUE(has(c.client.err(), "zelterm: ended by signal")) << c.client.err();
    EXPECT_TRUE(t.restored());
    EXPECT_EQ(status_of(c.server), 0);
}

TEST(ZeltermSession, ServersOfEitherVersion)
{
    // The test plays the server.
    auto serve = [](const std::string &reply, int &status, std::string &out, std::string &err) {
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
        Proc p = zelterm({"-q", "1:7f000001:8063"}, {{"ZELTERM_TEST_FD", std::to_string(sv[0])}}, {sv[0]});
        close(sv[0]);
        char hello[64];
        EXPECT_GT(read(sv[1], hello, sizeof hello), 3);
        EXPECT_EQ(hello[3], 2);  // this client's version
        EXPECT_EQ(write(sv[1], reply.data(), reply.size()), ssize_t(reply.size()));
        close(sv[1]);
        status = status_of(p);
        out = p.out();
        err = p.err();
    };
    int status;
    std::string out, err;
    // The first version: output as it is, no status; its disconnect is the
    // normal end.
    serve("login: \xff", status, out, err);
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(out, "login: \xff");
    // This version, its status given...
    serve(std::string("\xff" "H\x01\x02" "bye\xff\xff\xff" "X\x02\x00\x05", 14), status, out, err);
    EXPECT_EQ(status, 5) << err;
    EXPECT_EQ(out, "bye\xff");
    // ...or not: the session did not end as it should.
    serve(std::string("\xff" "H\x01\x02" "bye", 7), status, out, err);
    EXPECT_EQ(status, 255);
    EXPECT_TRUE(has(err, "closed without the command's exit status")) << err;
}

TEST(ZeltermSession, LookupAndConnectFailuresAreReported)
{
    {
        // Names are looked up in upper case; a refusal is a failure.
        Proc p = zelterm({"zelhost"}, {{"ZELTERM_TEST_REFUSE", "2"}, {"ZELTERM_TEST_FD", "0"}});
        EXPECT_EQ(status_of(p), 255);
        EXPECT_TRUE(has(p.err(), "test: t_connect 00000001:00007F000001:8063")) << p.err();
        EXPECT_TRUE(has(p.err(), std::string("zelterm: ") + kLabel + ": connection refused\n")) << p.err();
    }
    {
        // An address needs no lookup; the stack gave up retransmitting.
        Proc p = zelterm({"12:c0a80001:8063"}, {{"ZELTERM_TEST_REFUSE", "3"}, {"ZELTERM_TEST_FD", "0"}});
        EXPECT_EQ(status_of(p), 255);
        EXPECT_TRUE(has(p.err(), "test: t_connect 00000012:0000C0A80001:8063")) << p.err();
        EXPECT_TRUE(has(p.err(), "00000012:0000C0A80001:8063: no answer\n")) << p.err();
    }
    {
        // Nobody answers: zelterm gives up after the time it was given.
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        Proc p = zelterm({"-w", "1", "1:1:8063"}, {{"ZELTERM_TEST_SILENT", "1"}, {"ZELTERM_TEST_FD", std::to_string(sv[0])}},
                         {sv[0]});
        EXPECT_EQ(status_of(p), 255);
        EXPECT_EQ(p.err(), "zelterm: standard input is not a terminal: its contents are typed into the session and "
                           "its end is sent as end-of-file; no escapes\n"
                           "Trying 00000001:000000000001:8063...\n"
                           "test: t_connect 00000001:000000000001:8063\n"
                           "zelterm: 00000001:000000000001:8063: no answer within 1 second\n");
        close(sv[0]);
        close(sv[1]);
    }
    {
        // Said once, with what to do.
        Proc p = zelterm({"-q", "nope"}, {{"ZELTERM_TEST_FD", "0"}});
        EXPECT_EQ(status_of(p), 255);
        EXPECT_EQ(p.err(), "zelterm: service NOPE is not advertised (zelterm -l lists those that are)\n");
    }
    for (const std::vector<std::string> &args : {std::vector<std::string>{"1:1:8063"}, {"nope"}, {"-l"}}) {
        // No stack: which daemon to start, and how.
        Proc p = zelterm(args, {{"ZELTERM_TEST_NOSAP", "1"}});
        EXPECT_EQ(status_of(p), 255);
        EXPECT_TRUE(has(p.err(), "the IPX/SPX stack is not running; start ipxstackd as root")) << p.err();
    }
}

TEST(ZeltermCommandLine, HelpVersionListAndBadArguments)
{
    Proc h = zelterm({"--help"});
    EXPECT_EQ(status_of(h), 0);
    EXPECT_EQ(h.out().rfind("usage: zelterm ", 0), 0u);
    EXPECT_TRUE(has(h.out(), "--connect-timeout=SECONDS"));
    EXPECT_EQ(h.err(), "");
    Proc v = zelterm({"-V"});
    EXPECT_EQ(status_of(v), 0);
    EXPECT_EQ(v.out().rfind("zelterm ", 0), 0u);

    Proc l = zelterm({"-l"});
    EXPECT_EQ(status_of(l), 0);
    const std::string &out = l.out();
    size_t files = out.find("FILESRV"), host = out.find("ZELHOST");
    ASSERT_NE(host, std::string::npos) << out;
    EXPECT_LT(files, host);  // sorted by name
    EXPECT_TRUE(has(out, "0247  00000001:00007F000001:8063")) << out;
    EXPECT_EQ(out.rfind("Name", 0), 0u);

    Proc nosap = zelterm({"--list"}, {{"ZELTERM_TEST_NOSAP", "1"}, {"ZELTERM_TEST_FD", "0"}});
    EXPECT_EQ(status_of(nosap), 255);
    EXPECT_TRUE(has(nosap.err(), "cannot list the services: no answer from Ombrad")) << nosap.err();

    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{}, "which service?"},
        {{"-x"}, "unknown option -x"},
        {{"--bogus", "a"}, "unknown option --bogus"},
        {{"-w"}, "option -w needs a value"},
        {{"-w", "0", "a"}, "bad connect timeout \"0\""},
        {{"--connect-timeout=3601", "a"}, "bad connect timeout \"3601\""},
        {{"a", "b"}, "one service at a time"},
        {{"-l", "extra"}, "-l takes no service"},
        {{"1:2"}, "NET:NODE:SOCKET"},
        {{"bad name"}, "is not a service name"},
        {{std::string(48, 'A')}, "is not a service name"},
    };
    for (const auto &[args, why] : bad) {
        Proc p = zelterm(args);
        EXPECT_EQ(status_of(p), 255) << why;
        EXPECT_EQ(p.err().rfind("zelterm: ", 0), 0u) << p.err();
        EXPECT_TRUE(has(p.err(), why)) << p.err();
        EXPECT_TRUE(has(p.err(), "usage: zelterm")) << why;
    }
}
