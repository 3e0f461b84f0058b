// spxbench: SPX bulk throughput and round-trip latency through the stack,
// beside a TCP loopback twin of the same exchange, in one table (the runs
// are in spxrun.cpp). Runs as root: it starts its own ipxstackd on a
// temporary device directory.
#include "spxrun.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

using namespace bench;

int main(int argc, char **argv)
{
    Options opt;
#ifdef SPXBENCH_STACKD
    opt.stackd = SPXBENCH_STACKD;
#endif
    std::string msg;
    int p = parse_options(argc, argv, opt, msg);
    if (p == 0) {
        std::fputs(msg.c_str(), stdout);
        return 0;
    }
    if (p < 0) {
        std::fprintf(stderr, "spxbench: %s\n%s", msg.c_str(), kUsage);
        return 2;
    }
    if (opt.spx && opt.stackd.empty()) {
        std::fprintf(stderr, "spxbench: no ipxstackd given (--stackd PATH)\n");
        return 2;
    }
    if (opt.spx && geteuid() != 0) {
        std::fprintf(stderr, "spxbench: must be run as root (it starts a private ipxstackd)\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);

    Result spx, tcp;
    bool ok = true;
    if (opt.spx) {
        Stack s;
        if (!start_stack(opt, s))
            return 1;
        ok = run_spx(opt, s, spx) && ok;
        stop_stack(s);
    }
    double floor = -1;
    if (opt.tcp) {
        ok = run_tcp(opt, tcp) && ok;
        floor = run_floor(opt);
    }
    std::fputs(format_table(opt, spx, tcp, floor).c_str(), stdout);
    return ok ? 0 : 1;
}
