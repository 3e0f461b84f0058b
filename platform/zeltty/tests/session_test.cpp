// Whole sessions: Zeltty (linked with the TLI test double, its connection a
// stream socket) runs a shell command on a pty; the test is the client.
#include "proto.h"
#include "testproc.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <syslog.h>
#include <utmpx.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <chrono>

using namespace testsupport;
using zelproto::WindowSize;

namespace {

const char *const kCaller = "0000ABCD:00007F000001:4001";

class Client {
public:
    // Starts Zeltty on `command`; `extra` descriptors are inherited by it.
    explicit Client(const std::vector<std::string> &command, std::vector<std::pair<std::string, std::string>> env = {},
                    std::vector<int> extra = {})
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
            return;
        fd_ = sv[0];
        write_file(dir_ / "utmp", "");
        write_file(dir_ / "wtmp", "");
        Proc::Options o;
        o.stdin_fd = sv[1];
        o.keep_fds = extra;
        o.env = {{"ZELTTY_TEST_UTMP", dir_ / "utmp"}, {"ZELTTY_TEST_WTMP", dir_ / "wtmp"},
                 {"ZELTTY_TEST_GRACE_MS", "500"}, {"ZELTTY_TEST_LOG", dir_ / "log"},
                 {"ZELTTY_TEST_PEER", kCaller}};
        o.env.insert(o.env.end(), env.begin(), env.end());
        std::vector<std::string> argv = {build_path("platform/zeltty/zeltty_sock")};
        argv.insert(argv.end(), command.begin(), command.end());
        proc_ = Proc(argv, o);
        close(sv[1]);
    }
    ~Client() { drop(); }

    void send_raw(const std::vector<uint8_t> &b) { ASSERT_EQ(send(fd_, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size())); }
    void hello(const std::string &term, WindowSize ws)
    {
        std::vector<uint8_t> b;
        zelproto::encode_hello(term, ws, b);
        send_raw(b);
    }
    // The hello of a client of the first version.
    void hello_v1(const std::string &term, WindowSize ws)
    {
        std::vector<uint8_t> b;
        zelproto::encode_hello(term, ws, b);
        b[3] = 1;
        send_raw(b);
    }
    void end_input()
    {
        std::vector<uint8_t> b;
        zelproto::encode_end_of_input(b);
        send_raw(b);
    }
    void window(WindowSize ws)
    {
        std::vector<uint8_t> b;
        zelproto::encode_window(ws, b);
        send_raw(b);
    }
    void type(const std::string &s)
    {
        std::vector<uint8_t> b;
        zelproto::encode_data(reinterpret_cast<const uint8_t *>(s.data()), s.size(), b);
        send_raw(b);
    }

    // Reads until `text` has arrived (true) or the stream ends or time runs out.
    bool wait_for(const std::string &text, std::chrono::milliseconds limit = 10s)
    {
        auto until = std::chrono::steady_clock::now() + limit;
        while (out_.find(text) == std::string::npos) {
            if (!read_some(until))
                return out_.find(text) != std::string::npos;
        }
        return true;
    }
    // Reads until the server ends the stream; true when it did in time.
    bool wait_end(std::chrono::milliseconds limit = 10s)
    {
        auto until = std::chrono::steady_clock::now() + limit;
        while (read_some(until)) {
        }
        return ended_;
    }
    // A number printed as "<key>=N".
    pid_t number(const std::string &key)
    {
        size_t at = out_.find(key + "=");
        if (at == std::string::npos)
            return -1;
        return static_cast<pid_t>(std::atoi(out_.c_str() + at + key.size() + 1));
    }
    void drop()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    void shrink_buffer()
    {
        int small = 2048;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }

    // The terminal's output, decoded as the client does.
    const std::string &out() const { return out_; }
    const std::string &raw() const { return raw_; }
    bool framed() const { return decoder_.mode() == zelproto::OutputDecoder::Mode::Framed; }
    // The exit status the server sent, if it did: "exit N" or "signal N".
    std::string status() const
    {
        for (const auto &e : events_)
            if (e.kind == zelproto::Event::Exit)
                return (e.exit.kind == zelproto::ExitStatus::Exited ? "exit " : "signal ") +
                       std::to_string(e.exit.value);
        return "";
    }
    Proc &proc() { return proc_; }
    std::string file(const std::string &name) const { return dir_ / name; }

private:
    bool read_some(std::chrono::steady_clock::time_point until)
    {
        if (ended_ || fd_ < 0)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        struct pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        raw_.append(buf, static_cast<size_t>(n));
        std::vector<uint8_t> data;
        decoder_.feed(reinterpret_cast<const uint8_t *>(buf), static_cast<size_t>(n), data, events_);
        out_.append(data.begin(), data.end());
        return true;
    }

    TempDir dir_;
    int fd_ = -1;
    Proc proc_;
    std::string out_;
    std::string raw_;
    zelproto::OutputDecoder decoder_;
    std::vector<zelproto::Event> events_;
    bool ended_ = false;
};

// Running: an ended process that nobody has collected yet does not count.
bool alive(pid_t pid)
{
    if (pid <= 0 || kill(pid, 0) != 0)
        return false;
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close + 2, 1, "Z") != 0;
}

int exit_code(Client &c)
{
    int st = c.proc().wait_exit(10s);
    return st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::vector<struct utmpx> records(const std::string &path)
{
    std::string raw = read_file(path);
    std::vector<struct utmpx> out(raw.size() / sizeof(struct utmpx));
    if (!out.empty())
        std::memcpy(out.data(), raw.data(), out.size() * sizeof(struct utmpx));
    return out;
}


std::vector<std::string> sh(const std::string &script)
{
    return {"/bin/sh", "-c", script};
}

} // namespace

TEST(ZelttySession, TerminalTypeAndSizeComeFromTheClient)
{
    Client c(sh("stty size; echo TERM=$TERM; echo from=$ZELTTY_CLIENT; tty"));
    c.hello("xterm-256color", {33, 101, 0, 0});
    EXPECT_TRUE(c.wait_end()) << c.out();
    EXPECT_NE(c.out().find("33 101\r\n"), std::string::npos) << c.out();
    EXPECT_NE(c.out().find("TERM=xterm-256color\r\n"), std::string::npos) << c.out();
    EXPECT_NE(c.out().find(std::string("from=") + kCaller + "\r\n"), std::string::npos) << c.out();
    EXPECT_EQ(exit_code(c), 0);

    // The session left a USER_PROCESS record naming the caller, then a
    // DEAD_PROCESS one, for its line, in utmp and in wtmp.
    size_t at = c.out().find("/dev/pts/");
    ASSERT_NE(at, std::string::npos) << c.out();
    std::string line = c.out().substr(at + 5, c.out().find('\r', at) - at - 5);
    auto utmp = records(c.file("utmp"));
    ASSERT_EQ(utmp.size(), 1u);
    EXPECT_EQ(utmp[0].ut_type, DEAD_PROCESS);
    EXPECT_EQ(std::string(utmp[0].ut_line), line);
    auto wtmp = records(c.file("wtmp"));
    ASSERT_EQ(wtmp.size(), 2u);
    EXPECT_EQ(wtmp[0].ut_type, USER_PROCESS);
    EXPECT_STREQ(wtmp[0].ut_user, "root");
    EXPECT_STREQ(wtmp[0].ut_host, kCaller);
    EXPECT_EQ(wtmp[1].ut_type, DEAD_PROCESS);
    EXPECT_EQ(wtmp[0].ut_pid, wtmp[1].ut_pid);
    EXPECT_EQ(std::string(wtmp[1].ut_line), line);

    // The start and the end went to the authentication log, with the
    // caller's address.
    std::string who = std::string("caller ") + kCaller + ", line " + line + ", pid " + std::to_string(wtmp[0].ut_pid);
    std::string auth = std::to_string(LOG_AUTH | LOG_INFO) + " ";
    EXPECT_EQ(read_file(c.file("log")), auth + "session start: " + who + ", command /bin/sh -c " +
                                            "stty size; echo TERM=$TERM; echo from=$ZELTTY_CLIENT; tty\n" + auth +
                                            "session end: " + who + ": exit status 0\n");
}

TEST(ZelttySession, ExitStatusFollowsTheLastOutput)
{
    {
        Client c(sh("printf 'a\\377b'; exit 3"));
        c.hello("vt100", {24, 80, 0, 0});
        EXPECT_TRUE(c.wait_end()) << c.out();
        EXPECT_TRUE(c.framed());
        EXPECT_EQ(c.out(), "a\xff" "b");
        EXPECT_EQ(c.status(), "exit 3");
        // Nothing after the status.
        EXPECT_EQ(c.raw().substr(c.raw().size() - 5), std::string("\xff" "X\x02\x00\x03", 5));
    }
    {
        Client c(sh("echo going; kill -KILL $$"));
        c.hello("vt100", {24, 80, 0, 0});
        EXPECT_TRUE(c.wait_end()) << c.out();
        EXPECT_EQ(c.status(), "signal 9");
        EXPECT_EQ(exit_code(c), 0);
        EXPECT_NE(read_file(c.file("log")).find(": killed by signal 9\n"), std::string::npos);
    }
    {
        // A client of the first version gets the output as it is, and no
        // status.
        Client c(sh("printf 'a\\377b'; exit 3"));
        c.hello_v1("vt100", {24, 80, 0, 0});
        EXPECT_TRUE(c.wait_end()) << c.out();
        EXPECT_FALSE(c.framed());
        EXPECT_EQ(c.raw(), "a\xff" "b");
        EXPECT_EQ(c.status(), "");
    }
}

TEST(ZelttySession, EndOfInputIsTheTerminalsEndOfFile)
{
    // Whole lines, then a line without its end: the command reads all of
    // it, then end-of-file, and the session goes on to its end.
    Client c(sh("cat; echo cat-ended"));
    c.hello("vt100", {24, 80, 0, 0});
    c.type("one\ntwo");
    c.end_input();
    EXPECT_TRUE(c.wait_end()) << c.out();
    // Each line twice: the terminal's echo, and cat's copy.
    auto count = [&](const std::string &what) {
        size_t n = 0;
        for (size_t at = c.out().find(what); at != std::string::npos; at = c.out().find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("one\r\n"), 2u) << c.out();
    EXPECT_EQ(count("two"), 2u) << c.out();
    EXPECT_NE(c.out().find("cat-ended\r\n"), std::string::npos) << c.out();
    EXPECT_EQ(c.status(), "exit 0");
}

TEST(ZelttySession, BadHelloFallsBackToDefaultsAndLosesNoInput)
{
    Client c(sh("stty size; echo TERM=$TERM; read l; echo got:$l"));
    // A terminal type made to look like an option, a zero size, a message
    // of an unknown kind: none of them stops the session or eats input.
    std::vector<uint8_t> b = {0xFF, 'H', 15, 1, 0, 0, 0, 0, 0, 0, 0, 0, '-', 'f', 'r', 'o', 'o', 't'};
    b.insert(b.end(), {0xFF, '?', 2, 0xFF, 0xFF});
    c.send_raw(b);
    c.type("hello\n");
    EXPECT_TRUE(c.wait_end()) << c.out();
    EXPECT_NE(c.out().find("24 80\r\n"), std::string::npos) << c.out();
    EXPECT_NE(c.out().find("TERM=dumb\r\n"), std::string::npos) << c.out();
    EXPECT_NE(c.out().find("got:hello\r\n"), std::string::npos) << c.out();
}

TEST(ZelttySession, ClientWithoutHello)
{
    {
        // Typing starts the session at once, with the defaults.
        Client c(sh("read l; echo got:$l; stty size"));
        c.type("abc\n");
        EXPECT_TRUE(c.wait_end()) << c.out();
        EXPECT_NE(c.out().find("got:abc\r\n24 80\r\n"), std::string::npos) << c.out();
    }
    {
        // A hello after typed data, even in the same packet, is not the
        // session's: the type stays the default and the output unframed.
        // Only its size counts.
        Client c(sh("read l; echo got:$l; stty size; echo TERM=$TERM"));
        std::vector<uint8_t> b;
        zelproto::encode_data(reinterpret_cast<const uint8_t *>("abc\n"), 4, b);
        zelproto::encode_hello("xterm", {30, 90, 0, 0}, b);
        c.send_raw(b);
        EXPECT_TRUE(c.wait_end()) << c.out();
        EXPECT_FALSE(c.framed());
        EXPECT_NE(c.raw().find("got:abc\r\n30 90\r\nTERM=dumb\r\n"), std::string::npos) << c.raw();
    }
    {
        // Silence starts it when the wait for the hello is over.
        Client c(sh("stty size"), {{"ZELTTY_TEST_HELLO_MS", "100"}});
        EXPECT_TRUE(c.wait_end()) << c.out();
        EXPECT_NE(c.out().find("24 80\r\n"), std::string::npos) << c.out();
    }
}

TEST(ZelttySession, ResizeReachesTheShell)
{
    // The shell learns of the change by SIGWINCH...
    Client c(sh("trap 'stty size; exit 0' WINCH; echo ready; sleep 60 & wait"));
    c.hello("vt100", {24, 80, 0, 0});
    ASSERT_TRUE(c.wait_for("ready")) << c.out();
    c.window({50, 132, 0, 0});
    EXPECT_TRUE(c.wait_end()) << c.out();
    EXPECT_NE(c.out().find("50 132\r\n"), std::string::npos) << c.out();

    // ...and input sent after a change sees the new size.
    Client d(sh("echo ready; read l; stty size"));
    d.hello("vt100", {24, 80, 0, 0});
    ASSERT_TRUE(d.wait_for("ready")) << d.out();
    std::vector<uint8_t> b;
    zelproto::encode_window({40, 100, 0, 0}, b);
    zelproto::encode_data(reinterpret_cast<const uint8_t *>("x\n"), 2, b);
    d.send_raw(b);
    EXPECT_TRUE(d.wait_end()) << d.out();
    EXPECT_NE(d.out().find("40 100\r\n"), std::string::npos) << d.out();
}

TEST(ZelttySession, ShellHoldsOnlyItsTerminal)
{
    // Descriptors the listener would leave open: a file and a socket.
    TempDir t;
    int file = open((t / "log").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    Client c(sh("echo pid=$$; read l"), {}, {file, sv[0]});
    close(file);
    close(sv[0]);
    c.hello("vt100", {24, 80, 0, 0});
    ASSERT_TRUE(c.wait_for("pid=")) << c.out();
    ASSERT_TRUE(c.wait_for("\n"));
    pid_t shell = c.number("pid");
    ASSERT_GT(shell, 0);

    EXPECT_EQ(open_fds(shell), (std::vector<int>{0, 1, 2}));
    char first[256] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(shell) + "/fd/0").c_str(), first, sizeof first - 1), 0);
    EXPECT_EQ(std::string(first).rfind("/dev/pts/", 0), 0u) << first;
    for (int fd : {1, 2}) {
        char l[256] = {};
        readlink(("/proc/" + std::to_string(shell) + "/fd/" + std::to_string(fd)).c_str(), l, sizeof l - 1);
        EXPECT_STREQ(l, first);
    }
    // Zeltty itself let go of what it inherited: nothing but 0, 1, 2, its
    // pty
    // master, its own signal pipe and the pipe to the session's guard.
    EXPECT_LE(open_fds(c.proc().pid()).size(), 7u);

    // The inherited socket is closed everywhere: its peer sees the end.
    struct pollfd p{sv[1], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 5000), 1);
    char x;
    EXPECT_EQ(read(sv[1], &x, 1), 0);
    close(sv[1]);

    c.type("\n");
    EXPECT_TRUE(c.wait_end());
    EXPECT_EQ(exit_code(c), 0);
}

TEST(ZelttySession, DroppingTheClientEndsTheSession)
{
    // A shell with a background job, and a process that ignores the hang-up
    // (as one started with nohup does): that one goes on, the rest ends.
    Client c(sh("echo pid=$$; sleep 300 & echo bg=$!; sh -c 'trap \"\" HUP; echo deaf=$$; exec sleep 300' & wait"));
    c.hello("vt100", {24, 80, 0, 0});
    ASSERT_TRUE(c.wait_for("deaf=")) << c.out();
    ASSERT_TRUE(c.wait_for("\n"));
    pid_t shell = c.number("pid"), bg = c.number("bg"), deaf = c.number("deaf");
    ASSERT_TRUE(alive(shell) && alive(bg) && alive(deaf));

    c.drop();
    EXPECT_EQ(exit_code(c), 0);
    EXPECT_FALSE(alive(shell));
    EXPECT_FALSE(alive(bg));
    EXPECT_TRUE(alive(deaf));
    kill(deaf, SIGKILL);

    auto wtmp = records(c.file("wtmp"));
    ASSERT_EQ(wtmp.size(), 2u);
    EXPECT_EQ(wtmp[1].ut_type, DEAD_PROCESS);
    EXPECT_EQ(wtmp[1].ut_pid, shell);
    std::string log = read_file(c.file("log"));
    EXPECT_NE(log.find(": the caller disconnected\n"), std::string::npos) << log;
    EXPECT_NE(log.find(": 1 process(es) ignore the hang-up and go on running\n"), std::string::npos) << log;
}

TEST(ZelttySession, KilledZelttyStillHangsUpTheSession)
{
    // The session's guard does what Zeltty no longer can: every process of
    // the session gets the hang-up (a job started with nohup goes on), and
    // the login record is closed.
    Client c(sh("echo pid=$$; sleep 300 & echo bg=$!; nohup sleep 300 >/dev/null 2>&1 & echo nh=$!; wait"));
    c.hello("vt100", {24, 80, 0, 0});
    ASSERT_TRUE(c.wait_for("nh=")) << c.out();
    ASSERT_TRUE(c.wait_for("\n"));
    pid_t shell = c.number("pid"), bg = c.number("bg"), nh = c.number("nh");
    ASSERT_TRUE(alive(shell) && alive(bg) && alive(nh));
    // nohup has set the hang-up aside once it runs the command.
    ASSERT_TRUE(wait_until([&] { return read_file("/proc/" + std::to_string(nh) + "/comm") == "sleep\n"; }));

    c.proc().signal(SIGKILL);
    EXPECT_TRUE(c.wait_end());
    EXPECT_TRUE(wait_until([&] { return !alive(shell) && !alive(bg); }));
    EXPECT_TRUE(alive(nh));
    kill(nh, SIGKILL);
    EXPECT_TRUE(wait_until([&] { return records(c.file("wtmp")).size() == 2; }));
    auto wtmp = records(c.file("wtmp"));
    ASSERT_EQ(wtmp.size(), 2u);
    EXPECT_EQ(wtmp[1].ut_type, DEAD_PROCESS);
    EXPECT_EQ(wtmp[1].ut_pid, shell);
    EXPECT_TRUE(wait_until([&] { return read_file(c.file("log")).find("Zeltty ended unexpectedly") != std::string::npos; }));
}

TEST(ZelttySession, SessionEndDrainsOutputBeforeDisconnecting)
{
    // More output than every buffer on the way holds, from a command that
    // ends at once; the client reads slowly through a small buffer.
    Client c(sh("i=0; while [ $i -lt 3000 ]; do echo \"line $i\"; i=$((i+1)); done; sleep 300 & echo bg=$!"));
    c.shrink_buffer();
    c.hello("vt100", {24, 80, 0, 0});
    EXPECT_TRUE(c.wait_end(30s));
    std::string want;
    for (int i = 0; i < 3000; ++i)
        want += "line " + std::to_string(i) + "\r\n";
    EXPECT_EQ(c.out().substr(0, want.size()), want);
    EXPECT_NE(c.out().find("bg="), std::string::npos);
    EXPECT_EQ(exit_code(c), 0);
    // The background job did not outlive the session.
    EXPECT_FALSE(alive(c.number("bg")));
}

TEST(ZelttySession, EscapeByteReachesTheCommand)
{
    Client c(sh("stty raw -echo; echo ready; head -c 3 | od -An -tx1"));
    c.hello("vt100", {24, 80, 0, 0});
    ASSERT_TRUE(c.wait_for("ready")) << c.out();
    c.type("a\xff" "b");
    EXPECT_TRUE(c.wait_end()) << c.out();
    EXPECT_NE(c.out().find("61 ff 62"), std::string::npos) << c.out();
}

TEST(ZelttySession, FailuresAreReported)
{
    {
        Client c({"/nonexistent/command", "-x"});
        c.hello("vt100", {24, 80, 0, 0});
        EXPECT_TRUE(c.wait_end()) << c.out();
        EXPECT_NE(c.out().find("Zeltty: cannot run /nonexistent/command: No such file or directory"),
                  std::string::npos)
            << c.out();
        EXPECT_EQ(exit_code(c), 0);
    }
    {
        // An endpoint that is not connected is refused before anything runs.
        Client c(sh("echo ran"), {{"ZELTTY_TEST_STATE", "idle"}});
        EXPECT_EQ(exit_code(c), 1);
        EXPECT_NE(c.proc().err().find("not connected"), std::string::npos) << c.proc().err();
        EXPECT_TRUE(c.wait_end());
        EXPECT_EQ(c.out(), "");
    }
}
