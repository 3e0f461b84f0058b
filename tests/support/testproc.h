// Helpers for tests that run real programs: a child process with its
// output captured, bounded waits on events, and the private sandbox that
// namespaced tests set up (tmpfs over /opt/DRAXipx, a devices directory).
#ifndef DRAX_TESTPROC_H
#define DRAX_TESTPROC_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

// Path of a built program: $DRAX_BUILD_DIR/<relative>.
std::string build_path(const std::string &relative);

// A child process. Standard output and error are captured through pipes
// (unless inherit_output is set); standard input is /dev/null unless
// `stdin_fd` is given. The destructor kills (SIGKILL) and reaps a child that
// is still running.
class Proc {
public:
    struct Options {
        std::vector<std::pair<std::string, std::string>> env;  // added/overridden
        std::string cwd;
        int stdin_fd = -1;
        bool inherit_output = false;
        std::vector<int> keep_fds;  // passed to the child unchanged
        int netns_fd = -1;          // a network namespace to run in (see netns.h)
    };

    Proc() = default;
    Proc(const std::vector<std::string> &argv, const Options &opts);
    Proc(const std::vector<std::string> &argv) : Proc(argv, Options{}) {}
    ~Proc();
    Proc(Proc &&) noexcept;
    Proc &operator=(Proc &&) noexcept;
    Proc(const Proc &) = delete;
    Proc &operator=(const Proc &) = delete;

    pid_t pid() const { return pid_; }

    // Reads output until `text` has appeared on stdout (or stderr when
    // from_stderr) or the time runs out. True when it appeared.
    bool wait_output(const std::string &text, std::chrono::milliseconds limit = 10s,
                     bool from_stderr = false);

    // Waits for the child to end; returns its wait status, or -1 on time-out.
    int wait_exit(std::chrono::milliseconds limit = 10s);

    // Sends a signal to the child.
    void signal(int sig);

    // Everything captured so far (after wait_exit, everything there was).
    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }

private:
    void pump(int timeout_ms);
    // Kills and reaps a child still running, closes the pipes.
    void release();
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::string out_;
    std::string err_;
};

// Polls `cond` until it holds or the limit passes; between tries it waits on
// inotify events of `watch_dir` when given (else 10 ms). True when it held.
bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds limit = 10s,
                const std::string &watch_dir = "");

// Reads the first line a daemon writes on its --ready-fd, within the limit:
// true when it is "ready". False on another line, end of file, an error or
// the limit.
bool wait_ready(int fd, std::chrono::milliseconds limit);

// Starts a daemon as `p` with "--ready-fd N" added to `argv` (options as for
// Proc; the descriptor is added to keep_fds) and waits up to `limit` for its
// "ready". False when it did not come, with the program and what it said on
// its standard error in `why`.
bool start_ready(Proc &p, std::vector<std::string> argv, Proc::Options o,
                 std::chrono::milliseconds limit, std::string &why);

// Inside a private mount namespace (the NAMESPACE tests): makes the mount
// tree private, mounts a fresh tmpfs on /opt/DRAXipx and creates
// /opt/DRAXipx/bin. When the host has no /opt/DRAXipx, /opt is covered in
// the namespace (its entries still shown) rather than written to. Returns
// false (with the reason in `why`) when not root or not in a namespace of
// our own.
bool enter_sandbox(std::string &why);

// A fresh directory, removed with its contents by the destructor.
class TempDir {
public:
    // /tmp/draxtest.XXXXXX, private to the test.
    TempDir();
    // $TMPDIR/PREFIX.XXXXXX (/tmp when TMPDIR is not set), open to every
    // user: for programs that run as other users.
    explicit TempDir(const std::string &prefix);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A pseudo-terminal standing for a user's terminal, ROWS x COLS: the test
// keeps the master, a program gets the slave as its terminal. The destructor
// closes both.
class Pty {
public:
    explicit Pty(unsigned short rows = 24, unsigned short cols = 80);
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    int master() const { return master_; }
    int slave() const { return slave_; }
    void resize(unsigned short rows, unsigned short cols);

private:
    int master_ = -1;
    int slave_ = -1;
};

// Whole file as a string ("" when it cannot be read).
std::string read_file(const std::string &path);
bool write_file(const std::string &path, const std::string &content, mode_t mode = 0644);
bool copy_file(const std::string &from, const std::string &to, mode_t mode = 0755);

// Descriptors open in a process (from /proc/PID/fd), sorted.
std::vector<int> open_fds(pid_t pid);

} // namespace testsupport

#endif
