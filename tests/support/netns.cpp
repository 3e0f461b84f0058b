#include "netns.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace testsupport {

bool sh(const std::vector<std::string> &argv, std::string *out)
{
    Proc p(argv);
    int st = p.wait_exit(30s);
    if (out != nullptr)
        *out = p.out() + p.err();
    return st == 0;
}

Host::Host(int n, bool in_test_namespace) : n_(n)
{
    if (in_test_namespace) {
        ns_fd_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (ns_fd_ >= 0 && !sh({"/usr/sbin/ip", "link", "set", "lo", "up"})) {
            close(ns_fd_);
            ns_fd_ = -1;
        }
        return;
    }
    int hold[2], ready[2];
    if (pipe2(hold, O_CLOEXEC) < 0 || pipe2(ready, O_CLOEXEC) < 0)
        return;
    holder_ = fork();
    if (holder_ == 0) {
        // The holder keeps the namespace until the host goes (the pipe
        // closes), or the test dies.
        // Only the read end of its own pipe stays open: a holder that kept
        // another host's write end would keep that host alive.
        char c = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1)
            _exit(1);
        dup2(hold[0], 0);
        close_range(1, ~0u, 0);
        while (read(0, &c, 1) < 0) {
        }
        _exit(0);
    }
    close(hold[0]);
    close(ready[1]);
    char c = 0;
    ssize_t got = holder_ > 0 ? read(ready[0], &c, 1) : -1;
    close(ready[0]);
    hold_fd_ = hold[1];
    if (got != 1 || c != 'y')
        return;
    ns_fd_ = open(("/proc/" + std::to_string(holder_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    if (ns_fd_ >= 0)
        run({"/usr/sbin/ip", "link", "set", "lo", "up"});
}

Host::~Host()
{
    if (ns_fd_ >= 0)
        close(ns_fd_);
    if (hold_fd_ >= 0)
        close(hold_fd_);
    if (holder_ > 0)
        waitpid(holder_, nullptr, 0);
}

std::string Host::mac() const
{
    char b[32];
    std::snprintf(b, sizeof b, "02:00:0a:d5:00:%02x", n_);
    return b;
}

std::string Host::udp_node() const
{
    char b[32];
    std::snprintf(b, sizeof b, "00000ad500%02x", n_);
    return b;
}

std::string Host::mac_node() const
{
    char b[32];
    std::snprintf(b, sizeof b, "02000ad500%02x", n_);
    return b;
}

Proc Host::start(const std::vector<std::string> &argv, Proc::Options o) const
{
    o.netns_fd = ns_fd_;
    return Proc(argv, o);
}

bool Host::run(const std::vector<std::string> &argv, std::string *out) const
{
    Proc p = start(argv);
    int st = p.wait_exit(30s);
    if (out != nullptr)
        *out = p.out() + p.err();
    return st == 0;
}

bool Host::in_host(const std::function<bool()> &fn) const
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(setns(ns_fd_, CLONE_NEWNET) == 0 && fn() ? 0 : 1);
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) < 0)
        return false;
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

Lan::Lan()
{
    // Names are never reused: a host's end of a veth pair goes with its
    // namespace, which the kernel tears down in its own time.
    static int made = 0;
    bridge_ = "lan" + std::to_string(made++);
    ok_ = sh({"/usr/sbin/ip", "link", "add", bridge_, "type", "bridge"}) &&
          sh({"/usr/sbin/ip", "link", "set", bridge_, "up"});
}

Lan::~Lan()
{
    if (ok_)
        sh({"/usr/sbin/ip", "link", "del", bridge_});
}

bool Lan::attach(const Host &h, std::string &why, const std::string &iface, int subnet)
{
    const std::string ip = "/usr/sbin/ip";
    const std::string here = bridge_ + "h" + std::to_string(h.n());
    std::string mac = h.mac(), addr = h.ip();
    if (subnet != 0) {
        char b[32];
        std::snprintf(b, sizeof b, "02:00:0a:d5:%02x:%02x", subnet, h.n());
        mac = b;
        addr = "10.213." + std::to_string(subnet) + "." + std::to_string(h.n());
    }
    std::string out;
    auto step = [&](bool ok, const char *what) {
        if (!ok)
            why = std::string(what) + ": " + out;
        return ok;
    };
    return step(sh({ip, "link", "add", here, "type", "veth", "peer", "name", iface, "netns",
                    std::to_string(h.holder())}, &out), "veth") &&
           step(sh({ip, "link", "set", here, "master", bridge_, "up"}, &out), "bridge port") &&
           step(h.run({ip, "link", "set", iface, "address", mac, "up"}, &out), "interface up") &&
           step(h.run({ip, "addr", "add", addr + "/24", "dev", iface}, &out), "address");
}

} // namespace testsupport
