#include "services.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <tiuser.h>

namespace bench {

using namespace std::chrono_literals;

const char kPrompt[] = "bench> ";

bool write_shell(const std::string &path)
{
    return write_text(path,
                      "#!/bin/sh\n"
                      "# The shell of every benchmarked session, whatever the service.\n"
                      "exec env -i PATH=/usr/bin:/bin TERM=\"${TERM:-xterm}\" PS1='" +
                          std::string(kPrompt) + "' /bin/sh -i\n",
                      0755);
}

namespace {

const char *const kBin = "/opt/DRAXipx/bin";
const char *const kServiceName = "BENCH";

bool is_shell(pid_t pid)
{
    std::string c = comm_of(pid);
    return c == "sh" || c == "bash" || c == "dash" || c == "env" || c == "cat" || c.empty();
}

// Descendants of `root` that are not the sessions' shells.
std::vector<pid_t> servers_under(pid_t root)
{
    std::vector<pid_t> v;
    for (pid_t p : descendants(root))
        if (!is_shell(p))
            v.push_back(p);
    return v;
}

bool alive(pid_t pid)
{
    if (pid <= 0 || kill(pid, 0) != 0)
        return false;
    std::string s = read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t close = s.rfind(')');
    return close == std::string::npos || s.compare(close + 2, 1, "Z") != 0;
}

bool copy_program(const std::string &from, const std::string &to)
{
    std::string data = read_text(from);
    return !data.empty() && write_text(to, data, 0755);
}

// Starts a daemon with --ready-fd and waits for its "ready".
pid_t start_ready(std::vector<std::string> argv, const SpawnOptions &base, std::string &why)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0) {
        why = "pipe";
        return -1;
    }
    argv.push_back("--ready-fd");
    argv.push_back(std::to_string(p[1]));
    SpawnOptions o = base;
    o.keep_fds.push_back(p[1]);
    pid_t pid = spawn(argv, o);
    close(p[1]);
    bool ok = pid > 0 && wait_ready(p[0], 20s);
    close(p[0]);
    if (!ok) {
        why = argv[0] + " did not become ready";
        if (pid > 0)
            stop_child(pid, 2s);
        return -1;
    }
    return pid;
}

// ---- this system ----

class ZelService : public Service {
public:
    ZelService(const ZelPaths &p, const std::string &shell, const std::string &workdir)
        : paths_(p), shell_(shell), workdir_(workdir)
    {
    }
    ~ZelService() override { stop(); }
    std::string key() const override { return "zel"; }

    bool start(std::string &why) override
    {
        if (!installed_) {
            if (!copy_program(paths_.zeltty, std::string(kBin) + "/Zeltty") ||
                !copy_program(paths_.zelptyd, std::string(kBin) + "/Zelptyd")) {
                why = "cannot install Zeltty and Zelptyd into /opt/DRAXipx/bin";
                return false;
            }
            installed_ = true;
        }
        dev_ = std::make_unique<TempDir>("bench-dev");
        env_ = {{"IPX_DEVDIR", dev_->path()}};
        int log = open((workdir_ + "/zel-daemons.log").c_str(),
                       O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        SpawnOptions o;
        o.env = env_;
        o.out = o.err = log;
        stack_ = start_ready({paths_.stackd, "-f", "--dev-dir", dev_->path(), "--net", "BEC0"}, o, why);
        if (stack_ > 0)
            ombrad_ = start_ready({paths_.ombrad, "-f"}, o, why);
        if (log >= 0)
            close(log);
        if (stack_ < 0 || ombrad_ < 0)
            return false;
        o = SpawnOptions{};
        o.env = env_;
        o.cwd = kBin;
        std::string said = workdir_ + "/zelptyd.out";
        int out = open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        o.out = o.err = out;
        pid_t p = spawn({std::string(kBin) + "/Zelptyd", "-n", "bench", shell_}, o);
        if (out >= 0)
            close(out);
        int st = p > 0 ? wait_child(p, 10s) : -1;
        if (st != 0) {
            why = "Zelptyd did not start: " + read_text(said);
            return false;
        }
        started_ = true;
        // Up once the service is advertised; the detached daemon has written
        // its pid file by then.
        auto until = Clock::now() + 20s;
        while (Clock::now() < until) {
            if (list().find(kServiceName) != std::string::npos) {
                std::string pid = read_text(std::string(kBin) + "/ptyd.pid");
                ptyd_ = static_cast<pid_t>(std::atoi(pid.c_str()));
                if (ptyd_ > 0)
                    return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        why = "the service was never advertised";
        return false;
    }

    void stop() override
    {
        for (const auto &[pid, fd] : holders_) {
            close(fd);
            stop_child(pid, 5s);
        }
        holders_.clear();
        if (started_) {
            started_ = false;
            SpawnOptions o;
            o.env = env_;
            o.cwd = kBin;
            pid_t k = spawn({std::string(kBin) + "/Zelptyd", "-k"}, o);
            if (k > 0 && wait_child(k, 10s) < 0)
                stop_child(k, 1s);
            auto until = Clock::now() + 10s;
            while (alive(ptyd_) && Clock::now() < until)
                std::this_thread::sleep_for(10ms);
            if (alive(ptyd_))
                kill(ptyd_, SIGKILL);
            ptyd_ = -1;
            unlink((std::string(kBin) + "/ptyd.pid").c_str());
        }
        stop_child(ombrad_, 5s);
        stop_child(stack_, 5s);
        ombrad_ = stack_ = -1;
        dev_.reset();
    }

    std::vector<std::string> client() const override { return {paths_.zelterm, kServiceName}; }
    Env client_env() const override
    {
        Env e = env_;
        e.push_back({"TERM", "xterm"});
        return e;
    }
    std::vector<pid_t> session_pids() const override { return servers_under(ptyd_); }
    pid_t shared_pid() const override { return stack_; }

    // Zelptyd serves at most 32 sessions per caller host (and 128 in all),
    // so one host cannot open hundreds of sessions. To the stack an idle
    // session is a connection between two endpoints, which a child opens
    // here: it accepts on one endpoint per call while a grandchild calls,
    // and both keep their endpoints until the pipe to them closes.
    bool hold_idle(size_t n, std::string &why) override
    {
        if (n == 0)
            return true;
        int ready[2], hold[2];
        if (pipe2(ready, O_CLOEXEC) < 0 || pipe2(hold, O_CLOEXEC) < 0) {
            why = "pipe";
            return false;
        }
        for (const auto &[k, v] : env_)
            setenv(k.c_str(), v.c_str(), 1);
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            // Not the benchmark's handlers, which clean up after it.
            for (int sig : {SIGTERM, SIGINT, SIGHUP})
                signal(sig, SIG_DFL);
            close(ready[0]);
            close(hold[1]);
            alarm(600);
            _exit(hold_connections(n, ready[1], hold[0]) ? 0 : 1);
        }
        close(ready[1]);
        close(hold[0]);
        char c = 0;
        struct pollfd pf {ready[0], POLLIN, 0};
        bool ok = pid > 0 && poll(&pf, 1, 60000) == 1 && read(ready[0], &c, 1) == 1 && c == 'y';
        close(ready[0]);
        if (!ok) {
            close(hold[1]);
            if (pid > 0)
                stop_child(pid, 2s);
            why = "could not open " + std::to_string(n) + " idle SPX connections";
            return false;
        }
        holders_.push_back({pid, hold[1]});
        return true;
    }

private:
    // In the child: a listener, `n` calls to it from a grandchild, each
    // accepted on an endpoint of its own; 'y' on `ready` when all are up,
    // then both wait for `hold` to close.
    static bool hold_connections(size_t n, int ready, int hold)
    {
        int lfd = t_open("/dev/ravspx", O_RDWR, nullptr);
        char addr[12];
        struct t_bind req {}, ret {};
        req.qlen = 8;
        ret.addr.maxlen = sizeof(addr);
        ret.addr.buf = addr;
        if (lfd < 0 || t_bind(lfd, &req, &ret) < 0)
            return false;
        pid_t caller = fork();
        if (caller == 0) {
            std::vector<int> fds;
            for (size_t i = 0; i < n; i++) {
                int fd = t_open("/dev/ravspx", O_RDWR, nullptr);
                struct t_call call {};
                call.addr.len = ret.addr.len;
                call.addr.buf = addr;
                if (fd < 0 || t_bind(fd, nullptr, nullptr) < 0 || t_connect(fd, &call, nullptr) < 0)
                    _exit(1);
                fds.push_back(fd);
            }
            char b;
            while (read(hold, &b, 1) > 0) {
            }
            _exit(0);
        }
        std::vector<int> fds;
        for (size_t i = 0; i < n && caller > 0; i++) {
            char peer[12];
            struct t_call call {};
            call.addr.maxlen = sizeof(peer);
            call.addr.buf = peer;
            int afd = -1;
            if (t_listen(lfd, &call) < 0 || (afd = t_open("/dev/ravspx", O_RDWR, nullptr)) < 0 ||
                t_bind(afd, nullptr, nullptr) < 0 || t_accept(lfd, afd, &call) < 0) {
                kill(caller, SIGKILL);
                return false;
            }
            fds.push_back(afd);
        }
        // The caller's calls are confirmed as they are accepted: with the
        // last accepted, every pair is up.
        if (caller < 0 || write(ready, "y", 1) != 1)
            return false;
        char b;
        while (read(hold, &b, 1) > 0) {
        }
        kill(caller, SIGTERM);
        waitpid(caller, nullptr, 0);
        return true;
    }

    std::string list() const
    {
        int p[2];
        if (pipe2(p, O_CLOEXEC) < 0)
            return "";
        SpawnOptions o;
        o.env = env_;
        o.out = p[1];
        pid_t pid = spawn({paths_.zelterm, "-l"}, o);
        close(p[1]);
        std::string out;
        char b[4096];
        ssize_t n;
        while ((n = read(p[0], b, sizeof b)) > 0)
            out.append(b, static_cast<size_t>(n));
        close(p[0]);
        if (pid > 0 && wait_child(pid, 10s) < 0)
            stop_child(pid, 1s);
        return out;
    }

    ZelPaths paths_;
    std::string shell_, workdir_;
    bool installed_ = false;
    bool started_ = false;
    std::unique_ptr<TempDir> dev_;
    Env env_;
    pid_t stack_ = -1, ombrad_ = -1, ptyd_ = -1;
    std::vector<std::pair<pid_t, int>> holders_;  // idle connections' child, its pipe
};

// A TCP listener on 127.0.0.1 with an ephemeral port; the port, or -1.
int listen_loopback(int &port, int backlog)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 ||
        listen(fd, backlog) < 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) < 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    port = ntohs(sa.sin_port);
    return fd;
}

bool connects(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

// ---- telnet ----

const char *const kTelnetd = "/usr/sbin/telnetd";

class TelnetService : public Service {
public:
    explicit TelnetService(const std::string &shell) : shell_(shell) {}
    ~TelnetService() override { stop(); }
    std::string key() const override { return "telnet"; }

    // The listener does what inetd does for a "nowait" stream service: one
    // telnetd per connection, the connection on its descriptors 0 to 2.
    bool start(std::string &why) override
    {
        int lfd = listen_loopback(port_, 128);
        if (lfd < 0) {
            why = std::string("telnet listener: ") + std::strerror(errno);
            return false;
        }
        std::fflush(nullptr);
        listener_ = fork();
        if (listener_ == 0) {
            signal(SIGCHLD, SIG_IGN);  // no zombies
            signal(SIGTERM, SIG_DFL);
            signal(SIGINT, SIG_DFL);
            for (;;) {
                int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) {
                    if (errno == EINTR || errno == ECONNABORTED)
                        continue;
                    _exit(1);
                }
                if (fork() == 0) {
                    signal(SIGCHLD, SIG_DFL);
                    dup2(c, 0);
                    dup2(c, 1);
                    dup2(c, 2);
                    execl(kTelnetd, "telnetd", "-h", "-E", shell_.c_str(), static_cast<char *>(nullptr));
                    _exit(127);
                }
                close(c);
            }
        }
        close(lfd);
        if (listener_ < 0) {
            why = "fork";
            return false;
        }
        return true;
    }
    void stop() override
    {
        if (listener_ > 0)
            stop_child(listener_, 2s);
        listener_ = -1;
    }
    std::vector<std::string> client() const override
    {
        return {"telnet", "127.0.0.1", std::to_string(port_)};
    }
    std::vector<pid_t> session_pids() const override { return servers_under(listener_); }

private:
    std::string shell_;
    int port_ = -1;
    pid_t listener_ = -1;
};

// ---- ssh ----

const char *const kSshd = "/usr/sbin/sshd";

class SshService : public Service {
public:
    SshService(const std::string &shell, const std::string &workdir)
        : shell_(shell), dir_(workdir + "/ssh")
    {
    }
    ~SshService() override { stop(); }
    std::string key() const override { return "ssh"; }

    bool start(std::string &why) override
    {
        if (!keys_made_) {
            mkdir(dir_.c_str(), 0700);
            for (const char *k : {"host_key", "user_key"}) {
                pid_t p = spawn({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", dir_ + "/" + k}, {});
                if (p < 0 || wait_child(p, 30s) != 0) {
                    why = "ssh-keygen failed";
                    return false;
                }
            }
            if (!write_text(dir_ + "/authorized_keys", read_text(dir_ + "/user_key.pub"), 0600)) {
                why = "cannot write authorized_keys";
                return false;
            }
            keys_made_ = true;
        }
        // A free port: taken from the kernel, then handed to sshd.
        int fd = listen_loopback(port_, 1);
        if (fd < 0) {
            why = "no free port";
            return false;
        }
        close(fd);
        std::string conf = "ListenAddress 127.0.0.1\n"
                           "Port " + std::to_string(port_) + "\n"
                           "HostKey " + dir_ + "/host_key\n"
                           "AuthorizedKeysFile " + dir_ + "/authorized_keys\n"
                           "PermitRootLogin prohibit-password\n"
                           "PasswordAuthentication no\n"
                           "KbdInteractiveAuthentication no\n"
                           "UsePAM no\n"
                           "StrictModes no\n"
                           "PrintMotd no\n"
                           "PrintLastLog no\n"
                           "UseDNS no\n"
                           "PidFile none\n"
                           "MaxStartups 300\n"
                           "ForceCommand " + shell_ + "\n"
                           "LogLevel ERROR\n";
        if (!write_text(dir_ + "/sshd_config", conf, 0600)) {
            why = "cannot write sshd_config";
            return false;
        }
        int log = open((dir_ + "/sshd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        SpawnOptions o;
        o.out = o.err = log;
        sshd_ = spawn({kSshd, "-D", "-e", "-f", dir_ + "/sshd_config"}, o);
        if (log >= 0)
            close(log);
        auto until = Clock::now() + 20s;
        while (sshd_ > 0 && Clock::now() < until) {
            if (connects(port_))
                return true;
            if (wait_child(sshd_, 10ms) >= 0) {
                sshd_ = -1;
                break;
            }
        }
        why = "sshd did not start (its log: " + dir_ + "/sshd.log)";
        return false;
    }
    void stop() override
    {
        if (sshd_ > 0)
            stop_child(sshd_, 5s);
        sshd_ = -1;
    }
    std::vector<std::string> client() const override
    {
        return {"ssh", "-tt", "-F", "/dev/null", "-i", dir_ + "/user_key", "-p", std::to_string(port_),
                "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                "-o", "LogLevel=ERROR", "-o", "BatchMode=yes", "root@127.0.0.1"};
    }
    std::vector<pid_t> session_pids() const override { return servers_under(sshd_); }

private:
    std::string shell_, dir_;
    bool keys_made_ = false;
    int port_ = -1;
    pid_t sshd_ = -1;
};

bool executable(const char *path)
{
    return access(path, X_OK) == 0;
}

bool in_path(const char *name)
{
    for (const char *d : {"/usr/bin/", "/bin/", "/usr/local/bin/"})
        if (executable((std::string(d) + name).c_str()))
            return true;
    return false;
}

} // namespace

std::unique_ptr<Service> make_zel(const ZelPaths &paths, const std::string &shell,
                                  const std::string &workdir)
{
    return std::make_unique<ZelService>(paths, shell, workdir);
}

std::unique_ptr<Service> make_telnet(const std::string &shell, std::string &why)
{
    if (!executable(kTelnetd) || !in_path("telnet")) {
        why = "telnetd or telnet is not installed (scripts/deps.sh bench installs them)";
        return nullptr;
    }
    return std::make_unique<TelnetService>(shell);
}

std::unique_ptr<Service> make_ssh(const std::string &shell, const std::string &workdir,
                                  std::string &why)
{
    if (!executable(kSshd) || !in_path("ssh") || !in_path("ssh-keygen")) {
        why = "sshd or ssh is not installed (scripts/deps.sh bench installs them)";
        return nullptr;
    }
    return std::make_unique<SshService>(shell, workdir);
}

} // namespace bench
