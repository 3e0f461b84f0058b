#include "session.h"

#include <dirent.h>
#include <fcntl.h>
#include <paths.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>
#include <utmpx.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace zeltty {

bool open_pty(Pty &pty, const zelproto::WindowSize &ws, std::string &error)
{
    Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master.valid() || grantpt(master.get()) < 0 || unlockpt(master.get()) < 0) {
        error = std::string("cannot allocate a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(master.get(), name, sizeof name) != 0) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    Fd slave(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.valid()) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        return false;
    }
    struct winsize w{};
    w.ws_row = ws.rows;
    w.ws_col = ws.cols;
    w.ws_xpixel = ws.xpixel;
    w.ws_ypixel = ws.ypixel;
    if (ioctl(master.get(), TIOCSWINSZ, &w) < 0) {
        error = std::string("TIOCSWINSZ: ") + std::strerror(errno);
        return false;
    }
    int fl = fcntl(master.get(), F_GETFL);
    if (fl < 0 || fcntl(master.get(), F_SETFL, fl | O_NONBLOCK) < 0) {
        error = std::string("cannot make the pty master non-blocking: ") + std::strerror(errno);
        return false;
    }
    pty.master = std::move(master);
    pty.slave = std::move(slave);
    pty.path = name;
    return true;
}

std::string tty_line(const std::string &path)
{
    return path.compare(0, 5, "/dev/") == 0 ? path.substr(5) : path;
}

std::string tty_id(const std::string &line)
{
    return line.size() > 4 ? line.substr(line.size() - 4) : line;
}

namespace {

template <size_t N>
void copy_field(char (&dst)[N], const std::string &src)
{
    std::memset(dst, 0, N);
    std::memcpy(dst, src.data(), src.size() < N ? src.size() : N);
}

struct utmpx make_entry(short type, pid_t pid, const std::string &line, const std::string &user,
                        const std::string &host = "")
{
    struct utmpx ut;
    std::memset(&ut, 0, sizeof ut);
    ut.ut_type = type;
    ut.ut_pid = pid;
    copy_field(ut.ut_line, line);
    copy_field(ut.ut_id, tty_id(line));
    copy_field(ut.ut_user, user);
    copy_field(ut.ut_host, host);
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    ut.ut_tv.tv_sec = static_cast<int32_t>(tv.tv_sec);
    ut.ut_tv.tv_usec = static_cast<int32_t>(tv.tv_usec);
    return ut;
}

void put_utmp(const std::string &file, const struct utmpx &ut)
{
    if (file.empty())
        return;
    // Failing to record is not a reason to refuse the session: a system
    // without a utmp file simply keeps no record.
    if (utmpxname(file.c_str()) < 0)
        return;
    setutxent();
    pututxline(&ut);
    endutxent();
}

void put_wtmp(const std::string &file, const struct utmpx &ut)
{
    if (!file.empty() && access(file.c_str(), W_OK) == 0)
        updwtmpx(file.c_str(), &ut);
}

} // namespace

void utmp_begin(const UtmpFiles &files, pid_t pid, const std::string &line, bool login,
                const std::string &host)
{
    if (login) {
        put_utmp(files.utmp, make_entry(LOGIN_PROCESS, pid, line, "LOGIN", host));
        return;
    }
    const struct passwd *pw = getpwuid(getuid());
    auto ut = make_entry(USER_PROCESS, pid, line, pw != nullptr ? pw->pw_name : "root", host);
    put_utmp(files.utmp, ut);
    put_wtmp(files.wtmp, ut);
}

void utmp_end(const UtmpFiles &files, pid_t pid, const std::string &line)
{
    auto ut = make_entry(DEAD_PROCESS, pid, line, "");
    put_utmp(files.utmp, ut);
    put_wtmp(files.wtmp, ut);
}

bool is_login(const std::vector<std::string> &command)
{
    if (command.empty())
        return false;
    const std::string &p = command[0];
    size_t slash = p.rfind('/');
    return (slash == std::string::npos ? p : p.substr(slash + 1)) == "login";
}

void close_from(int first)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, first, ~0U, 0) == 0)
        return;
#endif
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536)
        max = 65536;
    for (int fd = first; fd < max; ++fd)
        close(fd);
}

pid_t start_session(Pty &pty, const std::vector<std::string> &command, const std::string &term,
                    const std::string &client, const UtmpFiles &files, std::string &error)
{
    std::vector<char *> argv;
    for (const auto &w : command)
        argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    const std::string line = tty_line(pty.path);
    const bool login = is_login(command);

    pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return -1;
    }
    if (pid > 0)
        return pid;

    // The command's process.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGHUP, SIGPIPE, SIGCHLD, SIGTERM, SIGINT, SIGQUIT, SIGWINCH})
        signal(sig, SIG_DFL);
    int slave = pty.slave.get();
    if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) < 0) {
        dprintf(slave, "Zeltty: cannot set up the terminal: %s\r\n", std::strerror(errno));
        _exit(126);
    }
    for (int fd = 0; fd < 3; ++fd)
        dup2(slave, fd);  // dup2 clears close-on-exec on the copies
    close_from(3);
    utmp_begin(files, getpid(), line, login, client);
    setenv("TERM", term.c_str(), 1);
    if (!client.empty())
        setenv("ZELTTY_CLIENT", client.c_str(), 1);
    execvp(argv[0], argv.data());
    dprintf(2, "Zeltty: cannot run %s: %s\r\n", argv[0], std::strerror(errno));
    _exit(127);
}

std::vector<pid_t> session_members(pid_t sid, bool zombies)
{
    std::vector<pid_t> out;
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return out;
    while (struct dirent *e = readdir(d)) {
        char *end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
        std::string stat;
        if (!std::getline(f, stat))
            continue;
        // pid (comm) state ppid pgrp session ...: comm may hold anything, so
        // count fields after its closing parenthesis.
        size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        long ppid = 0, pgrp = 0, session = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %ld %ld %ld", &state, &ppid, &pgrp, &session) != 4)
            continue;
        if (session == sid && (zombies || state != 'Z'))
            out.push_back(static_cast<pid_t>(pid));
    }
    closedir(d);
    return out;
}

int signal_session(pid_t sid, int sig)
{
    auto members = session_members(sid);
    for (pid_t p : members)
        kill(p, sig);
    return static_cast<int>(members.size());
}

int hang_up_session(pid_t sid)
{
    auto members = session_members(sid);
    for (pid_t p : members)
        kill(p, SIGHUP);
    for (pid_t p : members)
        kill(p, SIGCONT);
    return static_cast<int>(members.size());
}

} // namespace zeltty
