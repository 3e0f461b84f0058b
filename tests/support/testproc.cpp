#include "testproc.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace testsupport {

std::string build_path(const std::string &relative)
{
    const char *b = std::getenv("DRAX_BUILD_DIR");
    std::string base = b != nullptr ? b : ".";
    return base + "/" + relative;
}

Proc::Proc(const std::vector<std::string> &argv, const Options &opts)
{
    int outp[2] = {-1, -1};
    int errp[2] = {-1, -1};
    if (!opts.inherit_output) {
        if (pipe2(outp, O_CLOEXEC) < 0 || pipe2(errp, O_CLOEXEC) < 0)
            return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        if (opts.netns_fd >= 0 && setns(opts.netns_fd, CLONE_NEWNET) < 0)
            _exit(125);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) < 0)
            _exit(126);
        int in = opts.stdin_fd >= 0 ? opts.stdin_fd : open("/dev/null", O_RDONLY);
        if (in != 0) {
            dup2(in, 0);
        }
        if (!opts.inherit_output) {
            dup2(outp[1], 1);
            dup2(errp[1], 2);
        }
        for (int fd : opts.keep_fds) {
            int fl = fcntl(fd, F_GETFD);
            if (fl >= 0)
                fcntl(fd, F_SETFD, fl & ~FD_CLOEXEC);
        }
        for (const auto &[k, v] : opts.env)
            setenv(k.c_str(), v.c_str(), 1);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (!opts.inherit_output) {
        close(outp[1]);
        close(errp[1]);
        out_fd_ = outp[0];
        err_fd_ = errp[0];
    }
}

Proc::~Proc() { release(); }

void Proc::release()
{
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0)
        close(out_fd_);
    if (err_fd_ >= 0)
        close(err_fd_);
}

Proc::Proc(Proc &&o) noexcept { *this = std::move(o); }

Proc &Proc::operator=(Proc &&o) noexcept
{
    if (this != &o) {
        release();  // what this one holds (the strings are replaced below)
        pid_ = o.pid_;
        out_fd_ = o.out_fd_;
        err_fd_ = o.err_fd_;
        reaped_ = o.reaped_;
        status_ = o.status_;
        out_ = std::move(o.out_);
        err_ = std::move(o.err_);
        o.pid_ = -1;
        o.out_fd_ = o.err_fd_ = -1;
        o.reaped_ = true;
    }
    return *this;
}

void Proc::pump(int timeout_ms)
{
    pollfd fds[2];
    int n = 0;
    if (out_fd_ >= 0)
        fds[n++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0)
        fds[n++] = {err_fd_, POLLIN, 0};
    if (n == 0) {
        if (timeout_ms > 0)
            poll(nullptr, 0, std::min(timeout_ms, 10));
        return;
    }
    if (poll(fds, n, timeout_ms) <= 0)
        return;
    for (int i = 0; i < n; ++i) {
        if (fds[i].revents == 0)
            continue;
        char buf[4096];
        ssize_t r = read(fds[i].fd, buf, sizeof buf);
        std::string &dst = fds[i].fd == out_fd_ ? out_ : err_;
        if (r > 0) {
            dst.append(buf, static_cast<size_t>(r));
        } else if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) {
            int &which = fds[i].fd == out_fd_ ? out_fd_ : err_fd_;
            close(which);
            which = -1;
        }
    }
}

bool Proc::wait_output(const std::string &text, std::chrono::milliseconds limit, bool from_stderr)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const std::string &s = from_stderr ? err_ : out_;
        if (s.find(text) != std::string::npos)
            return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (out_fd_ < 0 && err_fd_ < 0)
            return false;
        pump(static_cast<int>(left.count()));
    }
}

int Proc::wait_exit(std::chrono::milliseconds limit)
{
    if (reaped_)
        return status_;
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = st;
            // collect what is left in the pipes (writers may outlive the child)
            for (int i = 0; i < 50 && (out_fd_ >= 0 || err_fd_ >= 0); ++i)
                pump(20);
            return st;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -1;
        pump(static_cast<int>(std::min<long>(left.count(), 20)));
    }
}

void Proc::signal(int sig)
{
    if (pid_ > 0 && !reaped_)
        kill(pid_, sig);
}

bool wait_ready(int fd, std::chrono::milliseconds limit)
{
    std::string got;
    auto until = std::chrono::steady_clock::now() + limit;
    while (got.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        struct pollfd p {fd, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        char buf[64];
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        got.append(buf, static_cast<size_t>(r));
    }
    return got.compare(0, got.find('\n') + 1, "ready\n") == 0;
}

bool start_ready(Proc &p, std::vector<std::string> argv, Proc::Options o,
                 std::chrono::milliseconds limit, std::string &why)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) {
        why = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    argv.push_back("--ready-fd");
    argv.push_back(std::to_string(fds[1]));
    o.keep_fds.push_back(fds[1]);
    p = Proc(argv, o);
    close(fds[1]);
    bool ok = wait_ready(fds[0], limit);
    close(fds[0]);
    if (!ok) {
        if (p.pid() > 0)
            p.wait_exit(2s);  // what it said before it ended, if it ends
        why = argv[0] + " did not become ready: " + p.err();
    }
    return ok;
}

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds limit,
                const std::string &watch_dir)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    int ino = -1;
    if (!watch_dir.empty()) {
        ino = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (ino >= 0)
            inotify_add_watch(ino, watch_dir.c_str(),
                              IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_TO | IN_CLOSE_WRITE |
                                  IN_ATTRIB);
    }
    bool ok = false;
    for (;;) {
        if (cond()) {
            ok = true;
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (ino >= 0) {
            pollfd p{ino, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100))) > 0) {
                char buf[4096];
                while (read(ino, buf, sizeof buf) > 0) {
                }
            }
        } else {
            poll(nullptr, 0, static_cast<int>(std::min<long>(left.count(), 10)));
        }
    }
    if (ino >= 0)
        close(ino);
    return ok;
}

// Covers /opt, in this mount namespace only, with a tmpfs that shows
// what /opt held through bind mounts (symbolic links copied) and has room
// for /opt/DRAXipx: the host's /opt itself is never written to.
static bool cover_opt(std::string &why)
{
    int old = open("/opt", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (old < 0) {
        why = std::string("no /opt to put /opt/DRAXipx in: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::pair<std::string, unsigned char>> entries;
    int list = openat(old, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR *d = list >= 0 ? fdopendir(list) : nullptr) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                entries.emplace_back(n, e->d_type);
        }
        closedir(d);
    }
    bool ok = mount("drax-opt", "/opt", "tmpfs", 0, "mode=0755") == 0;
    if (!ok)
        why = std::string("cannot mount tmpfs on /opt: ") + std::strerror(errno);
    for (const auto &[name, type] : entries) {
        if (!ok)
            break;
        std::string there = "/opt/" + name;
        std::string from = "/proc/self/fd/" + std::to_string(old) + "/" + name;
        if (type == DT_LNK) {
            char target[4096];
            ssize_t n = readlinkat(old, name.c_str(), target, sizeof target - 1);
            ok = n >= 0 && (target[n] = '\0', symlink(target, there.c_str()) == 0);
        } else {
            if (type == DT_DIR)
                ok = mkdir(there.c_str(), 0755) == 0;
            else
                ok = write_file(there, "");
            ok = ok && mount(from.c_str(), there.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
        }
        if (!ok)
            why = "cannot show /opt/" + name + " again: " + std::strerror(errno);
    }
    close(old);
    return ok && (mkdir("/opt/DRAXipx", 0755) == 0 || errno == EEXIST);
}

bool enter_sandbox(std::string &why)
{
    if (geteuid() != 0) {
        why = "needs root";
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) {
        why = std::string("cannot make / private: ") + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (stat("/opt/DRAXipx", &st) < 0 && !cover_opt(why))
        return false;
    if (mount("drax", "/opt/DRAXipx", "tmpfs", 0, "mode=0755") < 0) {
        why = std::string("cannot mount tmpfs on /opt/DRAXipx: ") + std::strerror(errno);
        return false;
    }
    if (mkdir("/opt/DRAXipx/bin", 0755) < 0) {
        why = std::string("cannot create /opt/DRAXipx/bin: ") + std::strerror(errno);
        return false;
    }
    return true;
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/draxtest.XXXXXX";
    char *p = mkdtemp(tmpl);
    path_ = p != nullptr ? p : "/tmp";
}

TempDir::TempDir(const std::string &prefix)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> b(t.begin(), t.end());
    b.push_back('\0');
    char *p = mkdtemp(b.data());
    path_ = p != nullptr ? p : "/tmp";
    if (p != nullptr)
        chmod(p, 0755);
}

static void remove_tree(const std::string &path)
{
    DIR *d = opendir(path.c_str());
    if (d != nullptr) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..")
                continue;
            std::string full = path + "/" + n;
            struct stat st;
            if (lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                remove_tree(full);
            else
                unlink(full.c_str());
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

TempDir::~TempDir()
{
    if (path_ != "/tmp")
        remove_tree(path_);
}

Pty::Pty(unsigned short rows, unsigned short cols)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(master_);
    unlockpt(master_);
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    resize(rows, cols);
}

Pty::~Pty()
{
    close(master_);
    close(slave_);
}

void Pty::resize(unsigned short rows, unsigned short cols)
{
    struct winsize w {};
    w.ws_row = rows;
    w.ws_col = cols;
    ioctl(master_, TIOCSWINSZ, &w);
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return "";
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool write_file(const std::string &path, const std::string &content, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    close(fd);
    return ok;
}

bool copy_file(const std::string &from, const std::string &to, mode_t mode)
{
    std::string data = read_file(from);
    if (data.empty())
        return false;
    if (!write_file(to, data, mode))
        return false;
    return chmod(to.c_str(), mode) == 0;
}

std::vector<int> open_fds(pid_t pid)
{
    std::vector<int> fds;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return fds;
    int own = dirfd(d);
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        int fd = std::atoi(e->d_name);
        if (pid == getpid() && fd == own)
            continue;
        fds.push_back(fd);
    }
    closedir(d);
    std::sort(fds.begin(), fds.end());
    return fds;
}

} // namespace testsupport
