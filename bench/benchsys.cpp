#include "benchsys.h"

#include "benchlib.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <set>
#include <sys/ioctl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace bench {

double us_since(Clock::time_point t0)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

ExecArgs::ExecArgs(const std::vector<std::string> &argv, const Env &env)
{
    strings_ = argv;
    for (char **e = environ; *e != nullptr; e++) {
        std::string kv = *e;
        bool replaced = false;
        for (const auto &[k, v] : env)
            replaced = replaced || kv.compare(0, k.size() + 1, k + "=") == 0;
        if (!replaced)
            strings_.push_back(kv);
    }
    for (const auto &[k, v] : env)
        strings_.push_back(k + "=" + v);
    // The strings are all in place: pointers into them stay good.
    for (size_t i = 0; i < strings_.size(); i++)
        (i < argv.size() ? args_ : envp_).push_back(strings_[i].data());
    args_.push_back(nullptr);
    envp_.push_back(nullptr);
}

pid_t spawn(const std::vector<std::string> &argv, const SpawnOptions &o)
{
    // Everything the child needs is prepared before the fork.
    ExecArgs exec(argv, o.env);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("bench: fork");
        return -1;
    }
    if (pid > 0) {
        if (o.own_group)
            setpgid(pid, pid);
        return pid;
    }
    if (o.own_group)
        setpgid(0, 0);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int null = open("/dev/null", O_RDWR);
    dup2(o.in >= 0 ? o.in : null, 0);
    if (!o.inherit_output) {
        dup2(o.out >= 0 ? o.out : null, 1);
        dup2(o.err >= 0 ? o.err : null, 2);
    }
    for (int fd : o.keep_fds)
        fcntl(fd, F_SETFD, 0);
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) < 0)
        _exit(126);
    execvpe(exec.argv()[0], exec.argv(), exec.envp());
    std::fprintf(stderr, "bench: cannot run %s: %s\n", argv[0].c_str(), std::strerror(errno));
    _exit(127);
}

int wait_child(pid_t pid, std::chrono::milliseconds limit)
{
    int st = 0;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid)
        return st;
    if (r < 0)
        return -1;
    int pfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pfd < 0)
        return -1;
    auto until = Clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        struct pollfd pf {pfd, POLLIN, 0};
        int n = poll(&pf, 1, static_cast<int>(std::max<long>(0, left.count())));
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    close(pfd);
    return waitpid(pid, &st, WNOHANG) == pid ? st : -1;
}

void stop_child(pid_t pid, std::chrono::milliseconds grace)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    if (wait_child(pid, grace) < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

std::string read_text(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

bool write_text(const std::string &path, const std::string &text, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    fchmod(fd, mode);
    return close(fd) == 0 && ok;
}

// ---- /proc ----

namespace {

// State and parent from /proc/PID/stat; false when the process is gone.
bool stat_of(pid_t pid, char &state, pid_t &ppid)
{
    std::string s = read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t close = s.rfind(')');
    long pp = 0;
    if (close == std::string::npos ||
        std::sscanf(s.c_str() + close + 1, " %c %ld", &state, &pp) != 2)
        return false;
    ppid = static_cast<pid_t>(pp);
    return true;
}

std::vector<pid_t> all_pids()
{
    std::vector<pid_t> v;
    if (DIR *d = opendir("/proc")) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] >= '1' && e->d_name[0] <= '9')
                v.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
        closedir(d);
    }
    return v;
}

std::vector<std::string> tasks_of(pid_t pid)
{
    std::vector<std::string> v;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                v.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    return v;
}

} // namespace

std::string comm_of(pid_t pid)
{
    std::string c = read_text("/proc/" + std::to_string(pid) + "/comm");
    while (!c.empty() && c.back() == '\n')
        c.pop_back();
    return c;
}

std::vector<pid_t> descendants(pid_t root)
{
    std::vector<std::pair<pid_t, pid_t>> live;  // pid, parent
    for (pid_t p : all_pids()) {
        char state;
        pid_t ppid;
        if (stat_of(p, state, ppid) && state != 'Z')
            live.push_back({p, ppid});
    }
    std::set<pid_t> found{root};
    for (bool more = true; more;) {
        more = false;
        for (const auto &[p, pp] : live)
            if (found.count(pp) != 0 && found.insert(p).second)
                more = true;
    }
    found.erase(root);
    return {found.begin(), found.end()};
}

long pss_of(pid_t pid)
{
    return pss_kib(read_text("/proc/" + std::to_string(pid) + "/smaps_rollup"));
}

long long cpu_ns_of(pid_t pid)
{
    long long sum = 0;
    for (const std::string &t : tasks_of(pid)) {
        long long v = schedstat_ns(read_text(t + "/schedstat"));
        if (v > 0)
            sum += v;
    }
    return sum;
}

long switches_of(pid_t pid)
{
    long sum = 0;
    for (const std::string &t : tasks_of(pid)) {
        long v = context_switches(read_text(t + "/status"));
        if (v > 0)
            sum += v;
    }
    return sum;
}

namespace {

std::string ns_link(const std::string &pid, const char *ns)
{
    char b[128] = {};
    ssize_t n = readlink(("/proc/" + pid + "/ns/" + ns).c_str(), b, sizeof b - 1);
    return n > 0 ? std::string(b, static_cast<size_t>(n)) : "";
}

bool tmpfs_on(const char *dir, std::string &why)
{
    mkdir(dir, 0755);
    if (mount("bench", dir, "tmpfs", 0, "mode=0755") == 0)
        return true;
    why = std::string("cannot mount tmpfs on ") + dir + ": " + std::strerror(errno);
    return false;
}

} // namespace

// The network namespace this program made for itself (empty until then):
// the only one whose processes kill_namespace_leftovers may end.
static std::string own_net_ns;

void loopback_up()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return;
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(s, SIOCGIFFLAGS, &ifr) == 0 && !(ifr.ifr_flags & IFF_UP)) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        ioctl(s, SIOCSIFFLAGS, &ifr);
    }
    close(s);
}

bool enter_private_namespaces(std::string &why)
{
    if (geteuid() != 0) {
        why = "must be run as root";
        return false;
    }
    // Namespaces of our own, made here rather than trusted from the caller:
    // whatever the caller's namespaces are, nothing of the host is mounted
    // over and no process of the host is ever ended.
    std::string before = ns_link("self", "net");
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) < 0) {
        why = std::string("cannot make private mount and network namespaces: ") + std::strerror(errno);
        return false;
    }
    std::string after = ns_link("self", "net");
    if (before.empty() || after.empty() || before == after) {
        why = "the private network namespace cannot be told from the caller's";
        return false;
    }
    own_net_ns = after;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) {
        why = std::string("cannot make / private: ") + std::strerror(errno);
        return false;
    }
    mkdir("/opt", 0755);
    if (!tmpfs_on("/opt/DRAXipx", why) || !tmpfs_on("/run", why) || !tmpfs_on("/var/log", why))
        return false;
    mkdir("/opt/DRAXipx/bin", 0755);
    mkdir("/run/sshd", 0755);  // sshd's privilege separation directory
    loopback_up();
    return true;
}

void kill_namespace_leftovers()
{
    // Only in the namespace made above, and only while we are still in it.
    if (own_net_ns.empty() || ns_link("self", "net") != own_net_ns)
        return;
    for (int pass = 0; pass < 2; pass++)
        for (pid_t p : all_pids())
            if (p != getpid() && ns_link(std::to_string(p), "net") == own_net_ns)
                kill(p, SIGKILL);
}

} // namespace bench
