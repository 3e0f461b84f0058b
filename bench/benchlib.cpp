#include "benchlib.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace spxbench {

const char kUsage[] =
    "usage: spxbench [--units N] [--size BYTES] [--rounds N] [--ping-size BYTES]\n"
    "                [--stackd PATH] [--wrap 'CMD ARGS'] [--status] [--only spx|tcp]\n"
    "  --units N         units sent in the bulk run (default 20000)\n"
    "  --size BYTES      bytes per unit, 1 to 65536 (default 2048)\n"
    "  --rounds N        ping-pong round trips for the latency (default 2000)\n"
    "  --ping-size BYTES bytes per ping, 1 to 534 (default 32)\n"
    "  --stackd PATH     the ipxstackd to start (default: the one built beside)\n"
    "  --wrap 'CMD ARGS' run the daemon under CMD (e.g. valgrind --tool=callgrind)\n"
    "  --status          print the stack's status (ipxstackd -s) after the SPX run\n"
    "  --only spx|tcp    run one side only\n"
    "Runs as root: it starts a private stack in a temporary directory.\n";

namespace {

bool parse_count(const char *s, size_t min, size_t max, size_t &out)
{
    if (s == nullptr || *s < '0' || *s > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    out = static_cast<size_t>(v);
    return true;
}

} // namespace

int parse_options(int argc, char *const *argv, Options &opt, std::string &msg)
{
    struct Count {
        const char *name;
        size_t *field;
        size_t min, max;
    } counts[] = {
        {"--units", &opt.units, 1, 100000000},
        {"--size", &opt.unit_size, 1, 65536},
        {"--rounds", &opt.rounds, 1, 10000000},
        // A ping fits one SPX packet, as a keystroke or a short reply does.
        {"--ping-size", &opt.ping_size, 1, 534},
    };
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            msg = kUsage;
            return 0;
        }
        if (a == "--status") {
            opt.status = true;
            continue;
        }
        const char *val = i + 1 < argc ? argv[i + 1] : nullptr;
        bool known = false;
        for (Count &c : counts) {
            if (a != c.name)
                continue;
            known = true;
            if (!parse_count(val, c.min, c.max, *c.field)) {
                msg = "bad " + a + ": " + (val ? val : "(missing)");
                return -1;
            }
        }
        if (!known && (a == "--stackd" || a == "--wrap" || a == "--only")) {
            known = true;
            if (val == nullptr || *val == '\0') {
                msg = "bad " + a + ": (missing)";
                return -1;
            }
            if (a == "--stackd") {
                opt.stackd = val;
            } else if (a == "--wrap") {
                opt.wrap = val;
            } else if (std::strcmp(val, "spx") == 0) {
                opt.spx = true;
                opt.tcp = false;
            } else if (std::strcmp(val, "tcp") == 0) {
                opt.spx = false;
                opt.tcp = true;
            } else {
                msg = "bad --only: " + std::string(val);
                return -1;
            }
        }
        if (!known) {
            msg = "unknown option " + a;
            return -1;
        }
        i++;  // the value
    }
    return 1;
}

double percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return -1;
    std::sort(samples.begin(), samples.end());
    // Nearest rank: the smallest sample with at least p% of them at or below.
    double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()));
    size_t idx = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    if (idx >= samples.size())
        idx = samples.size() - 1;
    return samples[idx];
}

bool goal_met(const Result &spx, const Result &tcp)
{
    return spx.mbytes_per_s >= 0 && tcp.mbytes_per_s > 0 &&
           spx.mbytes_per_s >= 0.5 * tcp.mbytes_per_s;
}

namespace {

std::string cell(double v)
{
    char b[32];
    if (v < 0)
        std::snprintf(b, sizeof(b), "%12s", "-");
    else
        std::snprintf(b, sizeof(b), "%12.1f", v);
    return b;
}

std::string ratio(double spx, double tcp)
{
    char b[32];
    if (spx < 0 || tcp <= 0)
        std::snprintf(b, sizeof(b), "%9s", "-");
    else
        std::snprintf(b, sizeof(b), "%9.2f", spx / tcp);
    return b;
}

} // namespace

std::string format_table(const Options &opt, const Result &spx, const Result &tcp,
                         double floor_mbps)
{
    char head[160];
    std::snprintf(head, sizeof(head),
                  "bulk: %zu units of %zu bytes; latency: %zu round trips of %zu bytes\n",
                  opt.units, opt.unit_size, opt.rounds, opt.ping_size);
    std::string t = head;
    char line[160];
    std::snprintf(line, sizeof(line), "%-26s%12s%12s%9s\n", "metric", "SPX", "TCP", "SPX/TCP");
    t += line;
    struct Row {
        const char *name;
        double s, c;
    } rows[] = {
        {"throughput (MB/s)", spx.mbytes_per_s, tcp.mbytes_per_s},
        {"round trip median (us)", spx.median_us, tcp.median_us},
        {"round trip p99 (us)", spx.p99_us, tcp.p99_us},
    };
    for (const Row &r : rows)
        t += std::string(r.name) + std::string(26 - std::strlen(r.name), ' ') + cell(r.s) +
             cell(r.c) + ratio(r.s, r.c) + "\n";
    if (spx.mbytes_per_s < 0 || tcp.mbytes_per_s <= 0)
        t += "goal (SPX throughput >= 0.5 x TCP): not measured\n";
    else
        t += std::string("goal (SPX throughput >= 0.5 x TCP): ") +
             (goal_met(spx, tcp) ? "met" : "NOT met") + "\n";
    if (floor_mbps >= 0) {
        std::snprintf(line, sizeof(line),
                      "for reference: one request/reply over a Unix socket per unit: %.1f MB/s",
                      floor_mbps);
        t += line;
        if (tcp.mbytes_per_s > 0) {
            std::snprintf(line, sizeof(line), " (%.2f x TCP)", floor_mbps / tcp.mbytes_per_s);
            t += line;
        }
        t += "\n";
    }
    return t;
}

} // namespace spxbench
