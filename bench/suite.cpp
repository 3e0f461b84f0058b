// benchsuite: every speed figure of the system beside its baseline, measured
// in the same run, in one table.
//
//   - SPX bulk throughput and round trip through a private stack, against
//     the same exchange over TCP loopback (the spxbench runs);
//   - a full run of dunmere against its twin over TCP (1000 units of 2048
//     bytes from a forked client to the server, each a fresh program);
//   - through terminals the benchmark owns, as a user typing: keystroke
//     echo, start to shell prompt and bulk output (cat of a file) through
//     zelterm against telnet to telnetd and ssh to sshd, every session
//     running the same shell; echo with many idle sessions open; the time
//     until many clients started at once all have a prompt; the memory per
//     session; CPU time, context switches and system calls per keystroke.
//
// Every figure is taken in each of several rounds, the order of the sides
// alternating from round to round, and within a round the services take
// their samples in turn; the table shows the median over the rounds (each
// round's value is the median of its samples), and the values of every
// round below it. Runs as root; it makes its own private mount and network
// namespaces first (scripts/bench.sh builds and runs it).
#include "benchsys.h"
#include "services.h"
#include "spxrun.h"
#include "term.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace bench;
using namespace std::chrono_literals;

namespace {

struct SuiteOptions {
    size_t rounds = 3;
    size_t keys = 300;        // timed keystrokes per round
    size_t starts = 5;        // client starts timed per round
    size_t bulk_mb = 20;      // size of the file the bulk run prints
    size_t clients = 200;     // idle sessions
    size_t burst_clients = 30;  // clients started at once
    size_t sessions = 20;     // sessions the memory figure is taken over
    size_t dunmere_runs = 5;  // dunmere runs (and twin runs) per round
    bool spx = true, dunmere = true, term = true, memory = true, burst = true;
    bool telnet = true, ssh = true, strace = true;
    std::string trace_dir;    // where the strace summaries are kept
    Options spxopt;           // the SPX runs
    ZelPaths paths;
    std::string dunmere_path;
};

const char kUsage[] =
    "usage: benchsuite [--rounds N] [--keys N] [--starts N] [--bulk-mb N] [--clients N]\n"
    "                  [--burst N] [--sessions N] [--dunmere-runs N] [--units N]\n"
    "                  [--skip spx,dunmere,term,memory,burst,telnet,ssh,strace] [--traces DIR]\n"
    "  --rounds N        rounds, the sides alternating in order (default 3)\n"
    "  --keys N          timed keystrokes per round and service (default 300)\n"
    "  --starts N        timed client starts per round and service (default 5)\n"
    "  --bulk-mb N       megabytes the bulk run prints with cat (default 20)\n"
    "  --clients N       idle sessions for the echo beside them (default 200)\n"
    "  --burst N         clients started at once (default 30: Zelptyd serves 32\n"
    "                    sessions per caller host)\n"
    "  --sessions N      sessions the memory figure is taken over (default 20)\n"
    "  --dunmere-runs N  dunmere runs per round (default 5)\n"
    "  --units N         SPX bulk units of 2048 bytes (default 20000)\n"
    "  --skip LIST       leave parts out\n"
    "  --traces DIR      keep the strace summaries (one per process) in DIR\n"
    "Runs as root, in private namespaces it makes itself (scripts/bench.sh).\n";

bool parse_size(const char *s, size_t min, size_t &out)
{
    if (s == nullptr || *s < '0' || *s > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > 1000000000UL)
        return false;
    out = v;
    return true;
}

// 1: run; 0: help shown; -1: bad command line (said).
int parse(int argc, char **argv, SuiteOptions &o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        size_t *field = nullptr;
        size_t min = 1;
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--rounds") {
            field = &o.rounds;
        } else if (a == "--keys") {
            field = &o.keys;
            min = 50;
        } else if (a == "--starts") {
            field = &o.starts;
        } else if (a == "--bulk-mb") {
            field = &o.bulk_mb;
        } else if (a == "--clients") {
            field = &o.clients;
        } else if (a == "--burst") {
            field = &o.burst_clients;
        } else if (a == "--sessions") {
            field = &o.sessions;
        } else if (a == "--dunmere-runs") {
            field = &o.dunmere_runs;
        } else if (a == "--units") {
            field = &o.spxopt.units;
        } else if (a == "--traces" && v != nullptr) {
            o.trace_dir = v;
            i++;
            continue;
        } else if (a == "--skip" && v != nullptr) {
            std::string list = std::string(",") + v + ",";
            auto has = [&](const char *w) { return list.find(std::string(",") + w + ",") != std::string::npos; };
            o.spx = !has("spx");
            o.dunmere = !has("dunmere");
            o.term = !has("term");
            o.memory = !has("memory");
            o.burst = !has("burst");
            o.telnet = !has("telnet");
            o.ssh = !has("ssh");
            o.strace = !has("strace");
            i++;
            continue;
        } else {
            std::fprintf(stderr, "benchsuite: unknown or incomplete option %s\n%s", a.c_str(), kUsage);
            return -1;
        }
        if (!parse_size(v, min, *field)) {
            std::fprintf(stderr, "benchsuite: bad %s: %s\n", a.c_str(), v ? v : "(missing)");
            return -1;
        }
        i++;
    }
    return 1;
}

void note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void note(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::fputs("bench: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
}

// ---- SPX and dunmere ----

void spx_round(const SuiteOptions &o, bool tcp_first, Series &s)
{
    Result spx, tcp;
    auto one_spx = [&] {
        Stack st;
        if (!start_stack(o.spxopt, st))
            return;
        if (!run_spx(o.spxopt, st, spx))
            spx = Result{};
        stop_stack(st);
    };
    auto one_tcp = [&] {
        if (!run_tcp(o.spxopt, tcp))
            tcp = Result{};
    };
    if (tcp_first) {
        one_tcp();
        one_spx();
    } else {
        one_spx();
        one_tcp();
    }
    s["spx.mbps"].push_back(spx.mbytes_per_s);
    s["tcp.mbps"].push_back(tcp.mbytes_per_s);
    s["spx.rtt"].push_back(spx.median_us);
    s["tcp.rtt"].push_back(tcp.median_us);
}

// The twin of dunmere over TCP: the same exchange (a server that binds and
// listens, a forked client that connects and sends 1000 units of 2048 zero
// bytes, the server receiving and checking every unit), as a program of its
// own. Exit status 0 when every unit arrived whole.
int tcp_twin()
{
    constexpr int kUnits = 1000, kSize = 2048;
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || listen(lfd, 1) < 0 ||
        getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &len) < 0)
        return 1;
    std::printf(">> the TCP twin: server bound\n");
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(lfd);
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0)
            _exit(1);
        static char unit[kSize];
        for (int i = 0; i < kUnits; i++)
            for (size_t done = 0; done < kSize;) {
                ssize_t n = send(fd, unit + done, kSize - done, MSG_NOSIGNAL);
                if (n <= 0)
                    _exit(1);
                done += static_cast<size_t>(n);
            }
        close(fd);
        _exit(0);
    }
    signal(SIGCHLD, SIG_IGN);
    int fd = accept(lfd, nullptr, nullptr);
    if (fd < 0)
        return 1;
    static char unit[kSize];
    for (int i = 0; i < kUnits; i++) {
        for (size_t got = 0; got < kSize;) {
            ssize_t n = recv(fd, unit + got, kSize - got, 0);
            if (n <= 0)
                return 1;
            got += static_cast<size_t>(n);
        }
        for (char c : unit)
            if (c != 0)
                return 1;
    }
    close(fd);
    std::printf(">> %d packets have been exchanged and verified\n", kUnits);
    return 0;
}

// Milliseconds from the start of a program to its end; -1 when it failed.
double run_ms(const std::vector<std::string> &argv)
{
    auto t0 = Clock::now();
    pid_t p = spawn(argv, {});
    int st = p > 0 ? wait_child(p, 60s) : -1;
    if (st < 0 && p > 0)
        stop_child(p, 1s);
    return st >= 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0 ? us_since(t0) / 1000 : -1;
}

void dunmere_round(const SuiteOptions &o, bool twin_first, const std::string &self, Series &s)
{
    Stack st;
    if (!start_stack(o.spxopt, st))
        return;
    std::vector<double> d, t;
    for (size_t i = 0; i < o.dunmere_runs; i++) {
        bool twin_now = (i % 2 == 0) == twin_first;
        for (int k = 0; k < 2; k++) {
            if (twin_now)
                t.push_back(run_ms({self, "--tcp-twin"}));
            else
                d.push_back(run_ms({o.dunmere_path}));
            twin_now = !twin_now;
        }
    }
    stop_stack(st);
    s["dunmere.ms"].push_back(std::count(d.begin(), d.end(), -1.0) ? -1 : median(d));
    s["twin.ms"].push_back(std::count(t.begin(), t.end(), -1.0) ? -1 : median(t));
}

// ---- terminal sessions ----

// Starts a client and waits for its prompt; the time that took in ms, or -1.
double open_session(Service &svc, Term &t, std::string &why)
{
    auto t0 = Clock::now();
    if (!t.start(svc.client(), svc.client_env(), why))
        return -1;
    if (!t.wait_for(kPrompt, 60s)) {
        why = svc.key() + ": no prompt; the screen ends: " + t.tail();
        return -1;
    }
    return us_since(t0) / 1000;
}

void close_session(Term &t)
{
    t.finish("exit\r", 10s);
}

// Ends many sessions together: all are told to exit, then all get the same
// 20 s to end before the rest are killed.
void close_all(std::vector<std::unique_ptr<Term>> &ts)
{
    for (auto &t : ts)
        t->type("exit\r");
    auto until = Clock::now() + 20s;
    for (auto &t : ts)
        t->finish("", std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::max(Clock::duration::zero(), until - Clock::now())));
    ts.clear();
}

// Everything that serves the sessions, and the client of `t` when given.
std::vector<pid_t> serving(const Service &svc, const Term *t)
{
    std::vector<pid_t> v = svc.session_pids();
    if (svc.shared_pid() > 0)
        v.push_back(svc.shared_pid());
    if (t != nullptr)
        v.push_back(t->pid());
    return v;
}

struct Usage {
    long long cpu_ns = 0;
    long switches = 0;
};

Usage usage_of(const std::vector<pid_t> &pids)
{
    Usage u;
    for (pid_t p : pids) {
        u.cpu_ns += cpu_ns_of(p);
        u.switches += switches_of(p);
    }
    return u;
}

constexpr size_t kLine = 50;  // keystrokes on one comment line

// Types `n` keys (at most kLine) on a comment line ("#aaaa...", which the
// shell ignores) and ends the line; adds each key's round trip (µs) to
// `rtt`. `usage` (when given) gets the CPU time and switches of `pids` over
// the keys, not over the line's start and end. False when a key did not
// come back.
bool type_line(Term &t, size_t n, std::vector<double> &rtt, const std::vector<pid_t> &pids = {},
               Usage *usage = nullptr)
{
    if (!t.type("#") || !t.wait_for("#", 10s))
        return false;
    Usage before = usage != nullptr ? usage_of(pids) : Usage{};
    for (size_t i = 0; i < n; i++) {
        double us = t.echo_us('a', 10s);
        if (us < 0)
            return false;
        rtt.push_back(us);
    }
    if (usage != nullptr) {
        Usage after = usage_of(pids);
        usage->cpu_ns += after.cpu_ns - before.cpu_ns;
        usage->switches += after.switches - before.switches;
    }
    return t.type("\r") && t.wait_for(kPrompt, 10s);
}

bool type_keys(Term &t, size_t n, std::vector<double> &rtt)
{
    for (size_t done = 0; done < n; done += kLine)
        if (!type_line(t, std::min(kLine, n - done), rtt))
            return false;
    return true;
}

// Runs one `strace -c -f` per process of `pids` around `work`, each
// summary in "<prefix>-<name>-<pid>.txt"; the calls of all of them, or -1.
long count_calls(const std::vector<pid_t> &pids, const std::string &prefix,
                 const std::function<bool()> &work)
{
    struct Tracer {
        pid_t pid = -1;
        int err = -1;
        std::string out, said;
    };
    std::vector<Tracer> tr(pids.size());
    for (size_t i = 0; i < pids.size(); i++) {
        tr[i].out = prefix + "-" + comm_of(pids[i]) + "-" + std::to_string(pids[i]) + ".txt";
        int errp[2];
        if (pipe2(errp, O_CLOEXEC) < 0)
            return -1;
        SpawnOptions so;
        so.err = errp[1];
        tr[i].pid = spawn({"strace", "-c", "-f", "-o", tr[i].out, "-p", std::to_string(pids[i])}, so);
        close(errp[1]);
        tr[i].err = errp[0];
    }
    // Each says "Process N attached" once it traces.
    auto until = Clock::now() + 10s;
    size_t attached = 0;
    while (attached < tr.size() && Clock::now() < until) {
        attached = 0;
        for (Tracer &t : tr) {
            if (t.said.find("attached") != std::string::npos) {
                attached++;
                continue;
            }
            struct pollfd p {t.err, POLLIN, 0};
            if (poll(&p, 1, 10) > 0) {
                char b[512];
                ssize_t n = read(t.err, b, sizeof b);
                if (n > 0)
                    t.said.append(b, static_cast<size_t>(n));
            }
        }
    }
    bool ok = attached == tr.size() && work();
    long calls = 0;
    for (Tracer &t : tr) {
        if (t.pid > 0) {
            kill(t.pid, SIGINT);
            if (wait_child(t.pid, 10s) < 0)
                stop_child(t.pid, 1s);
        }
        close(t.err);
        long c = strace_total_calls(read_text(t.out));
        if (c < 0)
            ok = false;
        calls += c;
    }
    return ok ? calls : -1;
}

struct Bench {
    SuiteOptions o;
    std::string work;        // the benchmark's temporary directory
    std::string bulk_file;
    std::string small_file;  // the bulk file the system calls are counted over
    size_t small_bytes = 0;
    Series s;
};

// The services side by side, their samples taken in turn so that every
// service sees the same load: start to prompt (one client at a time), then
// on one session each, keystroke echo line by line in turn with the CPU
// time and switches per key, bulk output, and (in the first round) the
// system calls per key and per KiB.
void single_phase(Bench &b, const std::vector<Service *> &order, bool first_round)
{
    struct Side {
        Service *svc = nullptr;
        std::string k;
        std::vector<double> starts, rtt;
        std::unique_ptr<Term> t;
        std::vector<pid_t> pids;
        Usage usage;
        bool ok = true;
    };
    std::vector<Side> sides;
    std::string why;
    for (Service *svc : order) {
        if (svc->start(why)) {
            sides.emplace_back();
            sides.back().svc = svc;
            sides.back().k = svc->key();
        } else {
            note("%s: %s", svc->key().c_str(), why.c_str());
        }
    }
    auto fail = [&](Side &d, const char *what) {
        if (d.ok)
            note("%s: %s; the screen ends: %s", d.k.c_str(), what, d.t ? d.t->tail().c_str() : "");
        d.ok = false;
    };
    for (size_t i = 0; i < b.o.starts; i++)
        for (Side &d : sides) {
            if (!d.ok)
                continue;
            Term t;
            double ms = open_session(*d.svc, t, why);
            if (ms < 0) {
                note("%s", why.c_str());
                d.ok = false;
                continue;
            }
            d.starts.push_back(ms);
            close_session(t);
        }
    for (Side &d : sides) {
        b.s[d.k + ".start"].push_back(d.ok ? median(d.starts) : -1);
        if (!d.ok)
            continue;
        d.t = std::make_unique<Term>();
        if (open_session(*d.svc, *d.t, why) < 0) {
            note("%s", why.c_str());
            d.ok = false;
            continue;
        }
        d.pids = serving(*d.svc, d.t.get());
    }

    for (size_t done = 0; done < b.o.keys; done += kLine)
        for (Side &d : sides)
            if (d.ok && !type_line(*d.t, std::min(kLine, b.o.keys - done), d.rtt, d.pids, &d.usage))
                fail(d, "a keystroke did not come back");
    for (Side &d : sides) {
        double keys = static_cast<double>(d.rtt.size());
        b.s[d.k + ".echo"].push_back(d.ok ? median(d.rtt) : -1);
        b.s[d.k + ".cpu"].push_back(d.ok ? static_cast<double>(d.usage.cpu_ns) / 1000 / keys : -1);
        b.s[d.k + ".cs"].push_back(d.ok ? static_cast<double>(d.usage.switches) / keys : -1);
    }

    // Bulk output: the end marker is typed quoted so that only the
    // command's output shows it whole.
    for (Side &d : sides) {
        double mbps = -1;
        if (d.ok) {
            d.t->drain();
            auto t0 = Clock::now();
            if (d.t->type("cat " + b.bulk_file + "; echo @@E''ND@@\r") && d.t->wait_for("@@END@@", 300s))
                mbps = static_cast<double>(b.o.bulk_mb) / (us_since(t0) / 1e6);
            if (mbps < 0 || !d.t->wait_for(kPrompt, 10s))
                fail(d, "the bulk output did not end");
        }
        b.s[d.k + ".bulk"].push_back(mbps);
    }

    for (Side &d : sides) {
        if (!first_round || !b.o.strace || !d.ok)
            continue;
        std::string dir = (b.o.trace_dir.empty() ? b.work : b.o.trace_dir) + "/strace-" + d.k;
        std::vector<double> ignored;
        long calls = count_calls(d.pids, dir + "-keys", [&] {
            return type_keys(*d.t, 100, ignored);
        });
        b.s[d.k + ".sc_key"].push_back(calls >= 0 ? static_cast<double>(calls) / 100 : -1);
        calls = count_calls(d.pids, dir + "-bulk", [&] {
            return d.t->type("cat " + b.small_file + "; echo @@E''ND@@\r") &&
                   d.t->wait_for("@@END@@", 300s) && d.t->wait_for(kPrompt, 10s);
        });
        b.s[d.k + ".sc_kib"].push_back(
            calls >= 0 ? static_cast<double>(calls) * 1024 / static_cast<double>(b.small_bytes) : -1);
    }
    for (Side &d : sides) {
        if (d.t)
            close_session(*d.t);
        d.t.reset();
        d.svc->stop();
    }
}

// Memory: sessions opened one after the other, then the PSS of what serves
// them (and the stack's growth since before the first) per session.
void memory_phase(Bench &b, Service &svc)
{
    std::string k = svc.key(), why;
    if (!svc.start(why)) {
        note("%s: %s", k.c_str(), why.c_str());
        return;
    }
    pid_t shared = svc.shared_pid();
    long shared0 = shared > 0 ? pss_of(shared) : 0;
    std::vector<std::unique_ptr<Term>> ts;
    bool ok = true;
    for (size_t i = 0; i < b.o.sessions && ok; i++) {
        ts.push_back(std::make_unique<Term>());
        ok = open_session(svc, *ts.back(), why) >= 0;
    }
    double per = -1;
    if (ok) {
        long sum = 0;
        for (pid_t p : svc.session_pids())
            sum += std::max(0L, pss_of(p));
        if (shared > 0)
            sum += pss_of(shared) - shared0;
        per = static_cast<double>(sum) / static_cast<double>(b.o.sessions);
    } else {
        note("%s", why.c_str());
    }
    b.s[k + ".mem"].push_back(per);
    close_all(ts);
    svc.stop();
}

// Many clients started at once: the time until the last has its prompt.
// The keystroke echo of one more session, opened before them, is taken
// before the burst and again with as many idle sessions as --clients says
// open beside it: those of the burst, and more (idle connections where the
// service holds them, else more sessions).
void burst_phase(Bench &b, Service &svc)
{
    std::string k = svc.key(), why;
    if (!svc.start(why)) {
        note("%s: %s", k.c_str(), why.c_str());
        return;
    }
    // The probe session's echo with nothing else open, then with the
    // sessions idle: the same session of the same service.
    Term probe;
    double none = -1, idle = -1;
    if (open_session(svc, probe, why) >= 0) {
        std::vector<double> rtt;
        if (type_keys(probe, b.o.keys, rtt))
            none = median(rtt);
    } else {
        note("%s", why.c_str());
    }
    std::vector<std::unique_ptr<Term>> ts;
    // Starts `n` more clients; how many of them have a prompt, when the
    // last came, and the screen of the first that ended without one.
    auto start_clients = [&](size_t n, double &secs, std::string &lost) {
        std::vector<Term *> raw;
        auto t0 = Clock::now();
        for (size_t i = 0; i < n; i++) {
            ts.push_back(std::make_unique<Term>());
            if (!ts.back()->start(svc.client(), svc.client_env(), why)) {
                note("%s: %s", k.c_str(), why.c_str());
                break;
            }
            raw.push_back(ts.back().get());
        }
        std::vector<Clock::time_point> at;
        size_t up = wait_all(raw, kPrompt, 300s, &at);
        secs = us_since(t0) / 1e6;
        for (size_t i = 0; i < raw.size() && lost.empty(); i++)
            if (at[i] == Clock::time_point{} && raw[i]->ended())
                lost = raw[i]->tail();
        return up;
    };
    double secs = 0;
    std::string lost;
    size_t up = start_clients(b.o.burst_clients, secs, lost);
    b.s[k + ".burst"].push_back(up == b.o.burst_clients ? secs : -1);
    b.s[k + ".burst_lost"].push_back(static_cast<double>(b.o.burst_clients - up));
    if (up != b.o.burst_clients)
        note("%s: %zu of %zu clients had a prompt after %.1f s; the first that ended without one "
             "said: %s",
             k.c_str(), up, b.o.burst_clients, secs, lost.c_str());
    size_t idle_n = up;
    if (b.o.clients > up) {
        size_t more = b.o.clients - up;
        if (svc.hold_idle(more, why)) {
            idle_n += more;
        } else {
            if (!why.empty())
                note("%s: %s", k.c_str(), why.c_str());
            double s2 = 0;
            std::string lost2;
            idle_n += start_clients(more, s2, lost2);
        }
    }
    if (idle_n != b.o.clients)
        note("%s: the echo beside idle sessions was taken with %zu of them", k.c_str(), idle_n);
    if (idle_n > 0 && none >= 0) {
        std::vector<double> rtt;
        if (type_keys(probe, b.o.keys, rtt))
            idle = median(rtt);
    }
    close_session(probe);
    b.s[k + ".echo_none"].push_back(none);
    b.s[k + ".echo_idle"].push_back(idle);
    close_all(ts);
    svc.stop();
}

std::vector<Figure> figures(const SuiteOptions &o)
{
    auto n = [](size_t v) { return std::to_string(v); };
    std::vector<Figure> f = {
        {"SPX bulk, 2048-byte units", "MB/s", "spx.mbps", "tcp.mbps", "TCP loopback", Figure::kHigher, 0.5},
        {"SPX round trip, 32 bytes", "us", "spx.rtt", "tcp.rtt", "TCP loopback", Figure::kLower, 2},
        {"dunmere full run", "ms", "dunmere.ms", "twin.ms", "same over TCP", Figure::kLower, 3},
    };
    // Ours beside telnet, then beside ssh: the series zel.KEY, telnet.KEY
    // and ssh.KEY.
    auto beside_both = [&f](const std::string &name, const char *unit, const std::string &key,
                            Figure::Better better, double telnet_goal) {
        f.push_back({name, unit, "zel." + key, "telnet." + key, "telnet", better, telnet_goal});
        f.push_back({name, unit, "zel." + key, "ssh." + key, "ssh", better, 0});
    };
    beside_both("keystroke echo", "us", "echo", Figure::kLower, 1);
    beside_both("start to shell prompt", "ms", "start", Figure::kLower, 1);
    beside_both("bulk output (cat " + n(o.bulk_mb) + " MB)", "MB/s", "bulk", Figure::kHigher, 1);
    f.insert(f.end(), {
        {"echo, " + n(o.clients) + " sessions idle", "us", "zel.echo_idle", "zel.echo_none", "none idle", Figure::kLower, 1.2},
        {"telnet echo, " + n(o.clients) + " idle", "us", "telnet.echo_idle", "telnet.echo_none", "none idle", Figure::kLower, 0},
        {n(o.burst_clients) + " clients at once, all up", "s", "zel.burst", "telnet.burst", "telnet", Figure::kLower, 1},
        {"  clients that got no prompt", "", "zel.burst_lost", "telnet.burst_lost", "telnet", Figure::kLower, 0},
        {"memory per session (PSS)", "KiB", "zel.mem", "ssh.mem", "sshd", Figure::kLower, 0.25},
        {"memory per session (PSS)", "KiB", "zel.mem", "telnet.mem", "telnetd", Figure::kLower, 0},
    });
    beside_both("CPU per keystroke", "us", "cpu", Figure::kLower, 0);
    beside_both("context switches per keystroke", "", "cs", Figure::kLower, 0);
    beside_both("system calls per keystroke", "", "sc_key", Figure::kLower, 0);
    beside_both("system calls per KiB of bulk", "", "sc_kib", Figure::kLower, 0);
    return f;
}

// A text file of 80-column lines, `bytes` long.
bool make_text_file(const std::string &path, size_t bytes)
{
    std::string line;
    for (int i = 0; i < 79; i++)
        line += static_cast<char>('!' + i % 90);
    line += '\n';
    std::string all;
    all.reserve(bytes);
    while (all.size() < bytes)
        all += line.substr(0, std::min(line.size(), bytes - all.size()));
    return write_text(path, all);
}

void on_signal(int)
{
    kill_namespace_leftovers();
    _exit(130);
}

std::string self_path()
{
    char b[4096];
    ssize_t n = readlink("/proc/self/exe", b, sizeof b - 1);
    return n > 0 ? std::string(b, static_cast<size_t>(n)) : "";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--tcp-twin") == 0)
        return tcp_twin();
    Bench b;
    SuiteOptions &o = b.o;
#ifdef BENCH_STACKD
    o.spxopt.stackd = BENCH_STACKD;
    o.paths = {BENCH_STACKD, BENCH_OMBRAD, BENCH_ZELPTYD, BENCH_ZELTTY, BENCH_ZELTERM};
    o.dunmere_path = BENCH_DUNMERE;
#endif
    int p = parse(argc, argv, o);
    if (p <= 0)
        return p == 0 ? 0 : 2;
    std::string why;
    if (!enter_private_namespaces(why)) {
        std::fprintf(stderr, "benchsuite: %s\n", why.c_str());
        return 2;
    }
    std::atexit(kill_namespace_leftovers);
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGPIPE, SIG_IGN);
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }

    TempDir work("benchsuite");
    b.work = work.path();
    std::string shell = work / "shell.sh";
    b.bulk_file = work / "bulk.txt";
    b.small_file = work / "bulk-small.txt";
    b.small_bytes = 2 * 1000 * 1000;
    if (!write_shell(shell) || !make_text_file(b.bulk_file, o.bulk_mb * 1000 * 1000) ||
        !make_text_file(b.small_file, b.small_bytes)) {
        std::fprintf(stderr, "benchsuite: cannot write in %s\n", b.work.c_str());
        return 1;
    }
    if (access("/usr/bin/strace", X_OK) != 0) {
        if (o.strace)
            note("no strace: the system calls are not counted (scripts/deps.sh bench installs it)");
        o.strace = false;
    }

    std::vector<std::unique_ptr<Service>> services;
    services.push_back(make_zel(o.paths, shell, b.work));
    if (o.telnet) {
        auto t = make_telnet(shell, why);
        if (t)
            services.push_back(std::move(t));
        else
            note("telnet left out: %s", why.c_str());
    }
    if (o.ssh) {
        auto t = make_ssh(shell, b.work, why);
        if (t)
            services.push_back(std::move(t));
        else
            note("ssh left out: %s", why.c_str());
    }

    std::string self = self_path();
    for (size_t r = 0; r < o.rounds; r++) {
        bool flip = r % 2 == 1;
        note("round %zu of %zu", r + 1, o.rounds);
        if (o.spx)
            spx_round(o, flip, b.s);
        if (o.dunmere)
            dunmere_round(o, flip, self, b.s);
        std::vector<Service *> order;
        for (auto &svc : services)
            order.push_back(svc.get());
        if (flip)
            std::reverse(order.begin(), order.end());
        if (o.term)
            single_phase(b, order, r == 0);
        if (o.memory)
            for (Service *svc : order)
                memory_phase(b, *svc);
        if (o.burst)
            for (Service *svc : order)
                if (svc->key() != "ssh")
                    burst_phase(b, *svc);
    }
    std::fputs(format_suite_table(figures(o), b.s).c_str(), stdout);
    return 0;
}
