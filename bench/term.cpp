#include "term.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace bench {

namespace {

// Output kept while no match comes: beyond it only the tail is kept (a
// match can straddle two reads but is never longer than this).
constexpr size_t kKeep = 256 * 1024;

int ms_left(Clock::time_point until)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    return static_cast<int>(std::max<long>(0, left.count()));
}

} // namespace

Term::~Term()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0)
        close(fd_);
    if (slave_ >= 0)
        close(slave_);
}

bool Term::start(const std::vector<std::string> &argv, const Env &env, std::string &why)
{
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0 || grantpt(fd_) < 0 || unlockpt(fd_) < 0) {
        why = std::string("cannot open a pty: ") + std::strerror(errno);
        return false;
    }
    std::string slave = ptsname(fd_);
    struct winsize ws {};
    ws.ws_row = 24;
    ws.ws_col = 80;
    ioctl(fd_, TIOCSWINSZ, &ws);
    // The benchmark keeps the slave open too, so that reading the master
    // never fails while the client is starting or ending.
    slave_ = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);

    ExecArgs exec(argv, env);
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        why = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid_ == 0) {
        setsid();
        int t = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
        if (t < 0)
            _exit(126);
        ioctl(t, TIOCSCTTY, 0);
        dup2(t, 0);
        dup2(t, 1);
        dup2(t, 2);
        if (t > 2)
            close(t);
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvpe(exec.argv()[0], exec.argv(), exec.envp());
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0].c_str(), std::strerror(errno));
        _exit(127);
    }
    return true;
}

bool Term::pump()
{
    char b[65536];
    for (;;) {
        ssize_t n = read(fd_, b, sizeof b);
        if (n > 0) {
            buf_.append(b, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
}

bool Term::found(const std::string &text)
{
    if (text != last_text_) {
        last_text_ = text;
        searched_ = 0;
    }
    size_t from = searched_ >= text.size() ? searched_ - text.size() + 1 : 0;
    size_t at = buf_.find(text, from);
    if (at != std::string::npos) {
        buf_.erase(0, at + text.size());
        searched_ = 0;
        return true;
    }
    searched_ = buf_.size();
    if (buf_.size() > kKeep) {
        buf_.erase(0, buf_.size() - text.size());
        searched_ = buf_.size();
    }
    return false;
}

bool Term::wait_for(const std::string &text, std::chrono::milliseconds limit)
{
    auto until = Clock::now() + limit;
    for (;;) {
        bool open = pump();
        if (found(text))
            return true;
        if (!open)
            return false;
        struct pollfd p {fd_, POLLIN, 0};
        int left = ms_left(until);
        if (left == 0)
            return false;
        if (poll(&p, 1, left) < 0 && errno != EINTR)
            return false;
    }
}

void Term::drain()
{
    pump();
    buf_.clear();
    searched_ = 0;
}

bool Term::type(const std::string &keys)
{
    size_t done = 0;
    while (done < keys.size()) {
        ssize_t n = write(fd_, keys.data() + done, keys.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            struct pollfd p {fd_, POLLOUT, 0};
            poll(&p, 1, 1000);
            continue;
        }
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

double Term::echo_us(char key, std::chrono::milliseconds limit)
{
    drain();
    auto t0 = Clock::now();
    if (write(fd_, &key, 1) != 1)
        return -1;
    char b[4096];
    auto until = t0 + limit;
    for (;;) {
        struct pollfd p {fd_, POLLIN, 0};
        int n = poll(&p, 1, ms_left(until));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        ssize_t r = read(fd_, b, sizeof b);
        if (r > 0 && std::memchr(b, key, static_cast<size_t>(r)) != nullptr)
            return us_since(t0);
        if (r <= 0 && errno != EAGAIN && errno != EINTR)
            return -1;
    }
}

void Term::finish(const std::string &exit_keys, std::chrono::milliseconds limit)
{
    if (pid_ <= 0)
        return;
    type(exit_keys);
    auto until = Clock::now() + limit;
    // The client may write until its end: keep reading so it never blocks.
    while (wait_child(pid_, std::chrono::milliseconds(20)) < 0) {
        pump();
        buf_.clear();
        if (Clock::now() >= until) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
    }
    pid_ = -1;
}

bool Term::ended()
{
    if (pid_ <= 0)
        return true;
    if (waitpid(pid_, nullptr, WNOHANG) != pid_)
        return false;
    pid_ = -1;
    return true;
}

std::string Term::tail() const
{
    std::string t = buf_.size() > 300 ? buf_.substr(buf_.size() - 300) : buf_;
    for (char &c : t)
        if ((c < ' ' && c != '\n') || c == 127)
            c = '.';
    return t;
}

size_t wait_all(std::vector<Term *> &terms, const std::string &text,
                std::chrono::milliseconds limit, std::vector<Clock::time_point> *done_at)
{
    std::vector<bool> done(terms.size(), false);
    if (done_at != nullptr)
        done_at->assign(terms.size(), Clock::time_point{});
    size_t count = 0;
    auto until = Clock::now() + limit;
    // Every terminal is read once; after that only those poll names.
    std::vector<size_t> look(terms.size());
    for (size_t i = 0; i < look.size(); i++)
        look[i] = i;
    std::vector<struct pollfd> fds;
    std::vector<size_t> which;
    auto next_check = Clock::now();
    for (;;) {
        for (size_t i : look) {
            if (done[i])
                continue;
            terms[i]->pump();
            if (terms[i]->found(text)) {
                done[i] = true;
                count++;
                if (done_at != nullptr)
                    (*done_at)[i] = Clock::now();
            }
        }
        fds.clear();
        which.clear();
        for (size_t i = 0; i < terms.size(); i++)
            if (!done[i]) {
                fds.push_back({terms[i]->fd(), POLLIN, 0});
                which.push_back(i);
            }
        int left = ms_left(until);
        if (fds.empty() || left == 0)
            return count;
        // A client that ended will never show the text: looked for now and then.
        int n = poll(fds.data(), fds.size(), std::min(left, 100));
        if (Clock::now() >= next_check) {
            next_check = Clock::now() + std::chrono::milliseconds(100);
            for (size_t i : which)
                if (terms[i]->ended()) {
                    terms[i]->pump();
                    done[i] = true;
                    if (terms[i]->found(text)) {
                        count++;
                        if (done_at != nullptr)
                            (*done_at)[i] = Clock::now();
                    }
                }
        }
        if (n < 0 && errno != EINTR)
            return count;
        look.clear();
        for (size_t k = 0; k < fds.size(); k++) {
            if (fds[k].revents & (POLLERR | POLLNVAL))
                done[which[k]] = true;  // gone: it never shows the text
            else if (fds[k].revents != 0)
                look.push_back(which[k]);
        }
    }
}

} // namespace bench
