// The benchmark's pure parts: command line, statistics and the result
// table. No I/O, so that a unit test can check them.
#ifndef DRAX_BENCHLIB_H
#define DRAX_BENCHLIB_H

#include <cstddef>
#include <string>
#include <vector>

namespace spxbench {

struct Options {
    size_t units = 20000;      // bulk: units sent one way
    size_t unit_size = 2048;   // bulk: bytes per unit (one t_snd / one send)
    size_t rounds = 2000;      // latency: ping-pong round trips
    size_t ping_size = 32;     // latency: bytes per ping
    std::string stackd;        // the stack daemon to start
    std::string wrap;          // command words put before the daemon (a profiler)
    bool status = false;       // print the stack's status after the SPX run
    bool spx = true;           // run the SPX exchange
    bool tcp = true;           // run the TCP twin
};

// Parses argv into `opt` (which holds the defaults). 1: run; 0: help was
// asked for (the text is in `msg`); -1: bad command line (reason in `msg`).
int parse_options(int argc, char *const *argv, Options &opt, std::string &msg);

extern const char kUsage[];

// What one transport achieved. A negative value is a run that did not take
// place or failed.
struct Result {
    double mbytes_per_s = -1;   // bulk throughput, 10^6 bytes per second
    double median_us = -1;      // ping-pong round trip
    double p99_us = -1;
};

// The p-th percentile (0..100) of the samples, nearest rank; -1 when empty.
double percentile(std::vector<double> samples, double p);

// The result table: one line per metric with SPX, TCP and SPX/TCP, then
// whether the throughput goal (SPX at least half of TCP) is met. When
// `floor_mbps` is measured (>= 0), a last line gives it beside TCP: the
// throughput of one request and reply over a Unix socket per unit, what any
// stack pays that answers every t_snd from another process.
std::string format_table(const Options &opt, const Result &spx, const Result &tcp,
                         double floor_mbps = -1);

// SPX throughput at least half of TCP's; false when either is missing.
bool goal_met(const Result &spx, const Result &tcp);

} // namespace spxbench

#endif
