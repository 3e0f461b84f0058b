#include "run_driver.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

int dunmere_main();

static bool fail_fork;
static pid_t server_pid = -1;

// Stands in for the C library's fork in this test program, so that a test
// can make the diagnostic's fork fail.
extern "C" pid_t fork(void)
{
    if (fail_fork) {
        errno = EAGAIN;
        return -1;
    }
    using fork_fn = pid_t (*)(void);
    static fork_fn real = reinterpret_cast<fork_fn>(dlsym(RTLD_NEXT, "fork"));
    return real();
}

bool is_server()
{
    return getpid() == server_pid;
}

DriverRun run_driver(const DriverOptions &opts)
{
    DriverRun run;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
        return run;
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        // The diagnostic and its client form a process group of their own,
        // so that a run that hangs can be ended as a whole.
        setpgid(0, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        server_pid = getpid();
        fail_fork = opts.fail_fork;
        dunmere_main();
        _exit(99); // not reached: the diagnostic ends by exit
    }
    close(out[1]);
    close(err[1]);
    setpgid(pid, pid);

    // Read until both processes have let go of the output (end of file on
    // both pipes), within the limit.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(opts.limit_ms);
    struct pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *text[2] = {&run.out, &run.err};
    int open_pipes = 2;
    bool timed_out = false;
    while (open_pipes > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        int n = poll(p, 2, static_cast<int>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || p[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t got = read(p[i].fd, buf, sizeof buf);
            if (got > 0) {
                text[i]->append(buf, got);
            } else if (got == 0 || errno != EINTR) {
                close(p[i].fd);
                p[i].fd = -1;
                --open_pipes;
            }
        }
    }
    for (auto &q : p)
        if (q.fd >= 0)
            close(q.fd);
    if (timed_out)
        kill(-pid, SIGKILL);
    int st;
    if (waitpid(pid, &st, 0) == pid && !timed_out)
        run.status = st;
    return run;
}
