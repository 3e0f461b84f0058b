// The end-to-end set-up of Zelptyd, shared by its scenario files: as root
// in private mount and network namespaces with a private /opt/DRAXipx, the
// installed daemon with a real stack daemon, Ombrad (a scripted test
// Ombrad, or the real one) and a test Zeltty; and an ordinary user (uid
// 65534) to play the attacker.
#ifndef DRAX_PTYD_E2E_SETUP_H
#define DRAX_PTYD_E2E_SETUP_H

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
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
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "ptyd.h"
#include "sapclient.h"
#include "testproc.h"

namespace ptyd_e2e {

using namespace std::chrono_literals;
using testsupport::Proc;
using testsupport::TempDir;
using testsupport::read_file;
using testsupport::wait_until;


inline const std::string kBin = "/opt/DRAXipx/bin";
inline const std::string kVersion = "ZEL spx terminal services 2.2.1 sh";
inline const unsigned char kNet[4] = {0x00, 0x00, 0xab, 0xcd};
inline const unsigned char kNode[6] = {0x00, 0x00, 0x7f, 0x00, 0x00, 0x01};  // --host 127.0.0.1

inline std::vector<std::string> lines_of(const std::string &text)
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

inline std::string hex_of(const std::string &s)
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
inline std::vector<std::string> fds_of(pid_t pid)
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

inline bool alive(pid_t pid)
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
        // The ordinary user reaches the devices too.
        ASSERT_EQ(chmod(devdir.path().c_str(), 0755), 0);
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
        if (held_release >= 0)
            close(held_release);
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

    // A test Ombrad that answers each request with `status` only when a
    // line is written to the descriptor returned (held_release).
    int held_release = -1;
    void start_holding_ombrad(int status)
    {
        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
        Proc::Options o = env();
        o.stdin_fd = p[0];
        ombrad = Proc({TEST_OMBRAD_BIN, requests, "hold", std::to_string(status)}, o);
        close(p[0]);
        held_release = p[1];
        ASSERT_TRUE(ombrad.wait_output("ready\n")) << ombrad.err();
    }

    // The real Ombrad of the product; start_daemon then waits until it
    // advertises `service`.
    std::string real_ombrad;
    void start_real_ombrad(const std::string &service)
    {
        real_ombrad = service;
        ombrad = Proc({OMBRAD_BIN, "-f", "--ready-fd", "1"}, env());
        ASSERT_TRUE(ombrad.wait_output("ready\n")) << ombrad.err();
    }

    // True when SAP finds `name` advertised at the daemon's address.
    bool advertised(const std::string &name)
    {
        sap::Service found;
        std::string error;
        if (sap::find_service(name, 0x247, 2000, found, error) != 0)
            return false;
        return memcmp(found.addr, kNet, 4) == 0 && memcmp(found.addr + 4, kNode, 6) == 0 &&
               found.addr[10] == 0x80 && found.addr[11] == 0x63;
    }

    // What the stack daemon shows of itself (ipxstackd -s).
    std::string stack_status()
    {
        Proc p({IPXSTACKD_BIN, "-s", "--dev-dir", devdir.path()});
        p.wait_exit(10s);
        return p.out();
    }

    // A child of the ordinary user that holds what its work set up until
    // released (or until the test ends).
    struct Held {
        pid_t pid = -1;
        int release_fd = -1;
        void release()
        {
            if (release_fd >= 0)
                close(release_fd);
            release_fd = -1;
            if (pid > 0)
                waitpid(pid, nullptr, 0);
            pid = -1;
        }
        ~Held() { release(); }
    };

    // Runs `work` in a child process as the ordinary user 65534 and returns
    // its text, or "failed: ..." when it could not run or gave no result
    // within `limit`. With `hold`, the child then keeps running (and holds
    // whatever it opened) until hold->release().
    std::string as_nobody(const std::function<std::string()> &work, Held *hold = nullptr,
                          std::chrono::milliseconds limit = 60s)
    {
        int p[2], r[2];
        if (pipe2(p, O_CLOEXEC) < 0 || pipe2(r, O_CLOEXEC) < 0)
            return "failed: pipe";
        pid_t pid = fork();
        if (pid == 0) {
            close(p[0]);
            close(r[1]);
            std::string text = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0
                                   ? work()
                                   : "failed: cannot become 65534";
            for (size_t off = 0; off < text.size();) {
                ssize_t n = write(p[1], text.data() + off, text.size() - off);
                if (n <= 0)
                    break;
                off += (size_t)n;
            }
            close(p[1]);
            char c;
            while (read(r[0], &c, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        }
        close(p[1]);
        close(r[0]);
        std::string out;
        auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            struct pollfd pfd = {p[0], POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, (int)left.count()) <= 0) {
                out = "failed: no result in time; " + out;
                kill(pid, SIGKILL);
                break;
            }
            char buf[4096];
            ssize_t n = read(p[0], buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, (size_t)n);
        }
        close(p[0]);
        if (hold != nullptr) {
            hold->pid = pid;
            hold->release_fd = r[1];
        } else {
            close(r[1]);
            waitpid(pid, nullptr, 0);
        }
        return out;
    }

    // The service answers a call of root's own: the connection reaches a
    // Zeltty that runs as root and greets. Empty when it does, else why not.
    std::string served_by_root()
    {
        if (daemon <= 0 || !alive(daemon))
            return "the daemon is gone";
        size_t before = reports().size();
        int fd = connect_client();
        if (fd < 0)
            return "no connection, t_errno " + std::to_string(t_errno);
        char buf[64];
        int flags = 0;
        int got = t_rcv(fd, buf, sizeof buf, &flags);
        std::string why;
        if (got <= 0 || std::string(buf, (size_t)got) != "hello from Zeltty\n")
            why = "no greeting";
        else if (!wait_until([&] { return reports().size() > before; }, 10s, kBin))
            why = "no report";
        t_close(fd);
        if (!why.empty())
            return why;
        for (const std::string &r : reports())
            if (r.find("\nuid 0\n") == std::string::npos)
                return "a Zeltty not run by root: " + r;
        return "";
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
        if (real_ombrad.empty())
            ASSERT_TRUE(wait_until([&] { return !ombrad_requests().empty(); }, 10s));
        else
            ASSERT_TRUE(wait_until([&] { return advertised(real_ombrad); }, 20s)) << real_ombrad;
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

    // t_connect of a bound endpoint to the daemon's listening address.
    static int call_service(int fd)
    {
        unsigned char addr[12];
        memcpy(addr, kNet, 4);
        memcpy(addr + 4, kNode, 6);
        addr[10] = 0x80;
        addr[11] = 0x63;
        struct t_call call;
        memset(&call, 0, sizeof call);
        call.addr.len = call.addr.maxlen = sizeof addr;
        call.addr.buf = (char *)addr;
        return t_connect(fd, &call, nullptr);
    }

    // Connects a client to the daemon's listening address; the endpoint or
    // -1. With O_NONBLOCK in `oflag` the call is only sent (the endpoint is
    // returned in T_OUTCON).
    static int connect_client(int oflag = O_RDWR)
    {
        int fd = t_open("/dev/ravspx", oflag, nullptr);
        if (fd < 0)
            return -1;
        if (t_bind(fd, nullptr, nullptr) < 0) {
            t_close(fd);
            return -1;
        }
        if (call_service(fd) < 0 && !((oflag & O_NONBLOCK) && t_errno == TNODATA)) {
            t_close(fd);
            return -1;
        }
        return fd;
    }

    std::string last_out, last_err;
};

} // namespace ptyd_e2e

#endif
