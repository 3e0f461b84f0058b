// The benchmarks' pure parts: spxbench's command line and table, the
// statistics, the readers of /proc and strace texts, and the suite's table.
// No I/O, so that a unit test can check them.
#ifndef DRAX_BENCHLIB_H
#define DRAX_BENCHLIB_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace bench {

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

// ---- statistics ----

// The median (mean of the middle two for an even count); -1 when empty.
double median(std::vector<double> samples);

// ---- readers of /proc and strace texts (-1 when the field is missing) ----

// "Pss:" of /proc/PID/smaps_rollup, in KiB.
long pss_kib(const std::string &smaps_rollup);
// Time on the CPU, ns: the first field of /proc/PID/task/TID/schedstat.
long long schedstat_ns(const std::string &schedstat);
// Voluntary plus involuntary context switches from /proc/PID/task/TID/status.
long context_switches(const std::string &status);
// The calls on the "total" line of an `strace -c` summary.
long strace_total_calls(const std::string &summary);

// ---- the suite's table ----

// The per-round values of every measured series, by key ("zel.echo_us").
// A round's value is the median of that round's samples.
using Series = std::map<std::string, std::vector<double>>;

// One line of the table: our series against a peer's, with the ratio
// ours/peer and the goal that ratio must meet.
struct Figure {
    enum Better { kLower, kHigher };
    std::string name;        // "keystroke echo round trip"
    std::string unit;        // "us"
    std::string ours;        // series key of ours
    std::string peer;        // series key of the baseline
    std::string peer_label;  // "telnet"
    Better better = kLower;
    double goal = 0;         // bound on the ratio; 0: shown for information
};

// Median over the rounds of a series; -1 when it was not measured.
double figure_value(const Series &s, const std::string &key);

// "met", "NOT met", or "" (no goal or not measured).
std::string verdict(const Figure &f, double ours, double peer);

// The table: one line per figure (median over rounds of each side, the
// ratio, the goal and its verdict), then the per-round values of every
// figure so that the spread shows.
std::string format_suite_table(const std::vector<Figure> &figures, const Series &s);

} // namespace bench

#endif
