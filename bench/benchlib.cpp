#include "benchlib.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

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

// ---- statistics ----

double median(std::vector<double> samples)
{
    if (samples.empty())
        return -1;
    std::sort(samples.begin(), samples.end());
    size_t n = samples.size();
    return n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

// ---- readers ----

namespace {

// The number after "name" at the start of a line of `text`; -1 when absent.
long long field_after(const std::string &text, const std::string &name)
{
    for (size_t at = 0; at < text.size();) {
        size_t eol = text.find('\n', at);
        if (eol == std::string::npos)
            eol = text.size();
        if (text.compare(at, name.size(), name) == 0) {
            const char *p = text.c_str() + at + name.size();
            while (*p == ' ' || *p == '\t')
                p++;
            char *end = nullptr;
            errno = 0;
            long long v = std::strtoll(p, &end, 10);
            return end == p || errno != 0 || v < 0 ? -1 : v;
        }
        at = eol + 1;
    }
    return -1;
}

} // namespace

long pss_kib(const std::string &smaps_rollup)
{
    return static_cast<long>(field_after(smaps_rollup, "Pss:"));
}

long long schedstat_ns(const std::string &schedstat)
{
    return field_after(schedstat, "");
}

long context_switches(const std::string &status)
{
    long long v = field_after(status, "voluntary_ctxt_switches:");
    long long n = field_after(status, "nonvoluntary_ctxt_switches:");
    return v < 0 || n < 0 ? -1 : static_cast<long>(v + n);
}

long strace_total_calls(const std::string &summary)
{
    // "100.00    0.001234           3       400        12 total": the
    // errors column is empty when no call failed. A process that made no
    // call at all while traced (one blocked throughout) leaves no summary.
    if (summary.find_first_not_of(" \t\n") == std::string::npos)
        return 0;
    long calls = -1;
    size_t at = 0;
    while (at < summary.size()) {
        size_t eol = summary.find('\n', at);
        if (eol == std::string::npos)
            eol = summary.size();
        std::vector<std::string> words;
        std::string w;
        for (size_t i = at; i <= eol; i++) {
            char c = i < eol ? summary[i] : ' ';
            if (c == ' ' || c == '\t') {
                if (!w.empty())
                    words.push_back(w);
                w.clear();
            } else {
                w += c;
            }
        }
        if ((words.size() == 5 || words.size() == 6) && words.back() == "total") {
            char *end = nullptr;
            long v = std::strtol(words[3].c_str(), &end, 10);
            if (*end == '\0' && v >= 0)
                calls = v;
        }
        at = eol + 1;
    }
    return calls;
}

// ---- the suite's table ----

double figure_value(const Series &s, const std::string &key)
{
    auto it = s.find(key);
    if (it == s.end())
        return -1;
    std::vector<double> ok;
    for (double v : it->second)
        if (v >= 0)
            ok.push_back(v);
    return median(ok);
}

std::string verdict(const Figure &f, double ours, double peer)
{
    if (f.goal <= 0 || ours < 0 || peer <= 0)
        return "";
    double r = ours / peer;
    bool met = f.better == Figure::kLower ? r <= f.goal : r >= f.goal;
    return met ? "met" : "NOT met";
}

namespace {

// Three significant figures or so, "-" when not measured.
std::string value_text(double v)
{
    char b[32];
    if (v < 0)
        return "-";
    if (v >= 100)
        std::snprintf(b, sizeof(b), "%.0f", v);
    else if (v >= 10)
        std::snprintf(b, sizeof(b), "%.1f", v);
    else
        std::snprintf(b, sizeof(b), "%.2f", v);
    return b;
}

std::string pad(std::string s, size_t width, bool right)
{
    if (s.size() >= width)
        return s + " ";
    std::string fill(width - s.size(), ' ');
    return right ? fill + s : s + fill;
}

std::string rounds_text(const Series &s, const std::string &key)
{
    auto it = s.find(key);
    if (it == s.end() || it->second.empty())
        return "-";
    std::string t;
    for (double v : it->second)
    {
        if (!t.empty())
            t += ' ';
        t += value_text(v);
    }
    return t;
}

} // namespace

std::string format_suite_table(const std::vector<Figure> &figures, const Series &s)
{
    std::string t = pad("figure", 40, false) + pad("unit", 7, false) + pad("ours", 10, true) +
                    "  " + pad("against", 16, false) + pad("", 10, true) + pad("ratio", 8, true) +
                    "  " + pad("goal", 9, false) + "verdict\n";
    for (const Figure &f : figures) {
        double ours = figure_value(s, f.ours), peer = figure_value(s, f.peer);
        std::string ratio = "-";
        if (ours >= 0 && peer > 0) {
            char b[32];
            std::snprintf(b, sizeof(b), "%.2f", ours / peer);
            ratio = ours / peer < 10 ? b : value_text(ours / peer);
        }
        std::string goal = "-";
        if (f.goal > 0) {
            char b[32];
            std::snprintf(b, sizeof(b), "%s %.2f", f.better == Figure::kLower ? "<=" : ">=", f.goal);
            goal = b;
        }
        std::string line = pad(f.name, 40, false) + pad(f.unit, 7, false) +
                           pad(value_text(ours), 10, true) + "  " + pad(f.peer_label, 16, false) +
                           pad(value_text(peer), 10, true) + pad(ratio, 8, true) + "  " +
                           pad(goal, 9, false) + verdict(f, ours, peer);
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        t += line + "\n";
    }
    t += "\nper round (ours | against):\n";
    for (const Figure &f : figures)
        t += "  " + pad(f.name, 40, false) + rounds_text(s, f.ours) + " | " +
             rounds_text(s, f.peer) + "\n";
    return t;
}

} // namespace bench
