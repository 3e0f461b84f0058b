// The benchmarks' system helpers: child processes, bounded waits, temporary
// directories and what /proc tells about a process (memory, CPU time,
// context switches, children).
#ifndef DRAX_BENCHSYS_H
#define DRAX_BENCHSYS_H

#include "testproc.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
using Env = std::vector<std::pair<std::string, std::string>>;

double us_since(Clock::time_point t0);

struct SpawnOptions {
    Env env;                 // added to (or replacing in) the environment
    std::string cwd;
    int in = -1, out = -1, err = -1;  // -1: /dev/null (output: inherited if inherit)
    bool inherit_output = false;
    std::vector<int> keep_fds;        // passed on to the program unchanged
    bool own_group = true;            // a process group of its own
};

// Starts argv[0] (searched in PATH); the pid, or -1 (reason on stderr).
pid_t spawn(const std::vector<std::string> &argv, const SpawnOptions &o);

// Waits up to `limit` for the child to end; its wait status, or -1 when it
// is still running then.
int wait_child(pid_t pid, std::chrono::milliseconds limit);

// SIGTERM, up to `grace` for the end, then SIGKILL; reaps the child.
void stop_child(pid_t pid, std::chrono::milliseconds grace);

// argv and the environment (ours, with `env` added or replacing) as
// execvpe takes them, made before a fork so that the child only calls exec.
class ExecArgs {
public:
    ExecArgs(const std::vector<std::string> &argv, const Env &env);
    ExecArgs(const ExecArgs &) = delete;
    ExecArgs &operator=(const ExecArgs &) = delete;
    char *const *argv() { return args_.data(); }
    char *const *envp() { return envp_.data(); }

private:
    std::vector<std::string> strings_;
    std::vector<char *> args_, envp_;
};

// A daemon's "ready" on its --ready-fd (wait_ready) and temporary
// directories (TempDir with a prefix: under $TMPDIR, open to every user) are
// the test support's.
using testsupport::TempDir;
using testsupport::wait_ready;

std::string read_text(const std::string &path);
bool write_text(const std::string &path, const std::string &text, mode_t mode = 0644);

// ---- processes as /proc shows them ----

std::string comm_of(pid_t pid);
// All live descendants of `root` (not root itself), zombies left out.
std::vector<pid_t> descendants(pid_t root);
// Proportional set size in KiB (-1 when the process is gone).
long pss_of(pid_t pid);
// CPU time in ns and context switches, summed over the process's threads.
long long cpu_ns_of(pid_t pid);
long switches_of(pid_t pid);

// Brings the loopback interface up (a fresh network namespace has it down).
void loopback_up();

// Moves this process into mount and network namespaces of its own (made
// here, so the caller's are never touched), makes the mounts private and
// puts fresh tmpfs on /opt/DRAXipx (with bin/), /run and /var/log, where
// the services keep pid files and login records. Brings the loopback
// interface up.
bool enter_private_namespaces(std::string &why);

// Ends every process left in the network namespace made by
// enter_private_namespaces (all started by us) but ourselves; nothing when
// that namespace was not made. Called at exit.
void kill_namespace_leftovers();

} // namespace bench

#endif
