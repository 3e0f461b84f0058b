// Runs the whole diagnostic (dunmere_main, built against the TLI test
// double) in a child process of the test, with its standard output and
// error captured, and waits, bounded, until it and the client it forks
// have ended.
#ifndef DUNMERE_TEST_RUN_DRIVER_H
#define DUNMERE_TEST_RUN_DRIVER_H

#include <sys/types.h>

#include <string>

struct DriverRun {
    int status = -1;      // the server's wait status; -1 when time ran out
    std::string out;
    std::string err;
};

struct DriverOptions {
    bool fail_fork = false; // the diagnostic's fork fails with EAGAIN
    int limit_ms = 20000;
};

// The hooks set before the call are inherited by both processes; they can
// tell them apart with is_server().
DriverRun run_driver(const DriverOptions &opts = DriverOptions{});

// True in the process the diagnostic started in (the server).
bool is_server();

#endif
