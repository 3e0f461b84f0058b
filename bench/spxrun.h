// SPX through a private ipxstackd beside a TCP loopback twin of the same
// exchange: bulk throughput and ping-pong round trips (see spxrun.cpp).
#ifndef DRAX_SPXRUN_H
#define DRAX_SPXRUN_H

#include "benchlib.h"

#include <string>
#include <sys/types.h>

namespace bench {

// A private stack daemon on a temporary device directory.
struct Stack {
    std::string dir;
    pid_t pid = -1;
};

// Starts opt.stackd (under opt.wrap, if given) and waits for its "ready";
// then points the TLI library at it (IPX_DEVDIR). False when it failed (its
// log is shown).
bool start_stack(const Options &opt, Stack &s);
// Ends the daemon (SIGTERM to its process group, SIGKILL after 60 s) and
// removes its directory.
void stop_stack(Stack &s);
// Prints the stack's status (ipxstackd -s).
void show_status(const Options &opt, const Stack &s);

// The runs: fill `res`; false when the exchange failed.
bool run_spx(const Options &opt, const Stack &s, Result &res);
bool run_tcp(const Options &opt, Result &res);
// One SEQPACKET request and reply per unit between two processes: MB/s, or
// -1 on failure.
double run_floor(const Options &opt);

} // namespace bench

#endif
