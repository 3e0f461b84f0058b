// The terminal services the suite compares, each started in the benchmark's
// private namespaces and running the same shell: this system (ipxstackd,
// Ombrad, Zelptyd and Zeltty, with zelterm as the client), telnetd behind a
// small accepting listener (as inetd would run it) with telnet as the
// client, and sshd with key authentication with ssh as the client.
#ifndef DRAX_BENCH_SERVICES_H
#define DRAX_BENCH_SERVICES_H

#include "benchsys.h"

#include <memory>
#include <string>
#include <vector>

namespace bench {

// The prompt of the benchmark's shell.
extern const char kPrompt[];

// Writes the shell every session runs (an interactive /bin/sh with a clean
// environment and the prompt above) to `path`.
bool write_shell(const std::string &path);

class Service {
public:
    virtual ~Service() = default;
    // Short name used in the table's series ("zel", "telnet", "ssh").
    virtual std::string key() const = 0;
    virtual bool start(std::string &why) = 0;
    virtual void stop() = 0;
    // The client command and its environment.
    virtual std::vector<std::string> client() const = 0;
    virtual Env client_env() const { return {{"TERM", "xterm"}}; }
    // The processes that serve the open sessions, one or more per session
    // (not the shells).
    virtual std::vector<pid_t> session_pids() const = 0;
    // A process that serves every session (the stack), or -1.
    virtual pid_t shared_pid() const { return -1; }
    // Holds `n` more idle connections open until stop(), as far as the
    // shared process is concerned like as many idle sessions; false when
    // the service has no such thing (the caller opens whole sessions).
    virtual bool hold_idle(size_t n, std::string &why)
    {
        (void)n;
        (void)why;
        return false;
    }
};

struct ZelPaths {
    std::string stackd, ombrad, zelptyd, zeltty, zelterm;
};

// Each start is a fresh stack, Ombrad and Zelptyd (installed into
// /opt/DRAXipx/bin, which the namespace keeps private).
std::unique_ptr<Service> make_zel(const ZelPaths &paths, const std::string &shell,
                                  const std::string &workdir);
// nullptr with the reason in `why` when the programs are not installed.
std::unique_ptr<Service> make_telnet(const std::string &shell, std::string &why);
std::unique_ptr<Service> make_ssh(const std::string &shell, const std::string &workdir,
                                  std::string &why);

} // namespace bench

#endif
