// ripsim: a simulated IPX internetwork in one process, built on the pure
// routing core (RipCore, through fakerip) and Ombrad's engine (through
// fakesap), with fake links and a fake clock: no namespaces, no sockets.
//
//   ripsim [--routers N] [--networks N] [--seed N] [--gap MS]
//
// The internetwork: N routers joined by transit networks (a tree of
// branching 3, which keeps every network within 15 hops, and chords
// between random routers for other ways round), the rest of the networks
// stubs, a few per router, each with one host advertising one service. It
// reports, in simulated time: how long the routing tables take to
// converge after a start, after a transit network breaks and after a
// router fails; the RIP and SAP packets a minute in steady state beside
// what the periodic updates alone must send; the memory the tables take;
// and the processor time the simulation spent per packet handled.
#include "fakerip.h"
#include "fakesap.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace ipxcore;

// Bytes of the heap in use (malloc's own count).
long long heap()
{
    return static_cast<long long>(mallinfo2().uordblks);
}

double cpu_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Options {
    int routers = 100;
    int networks = 500;
    uint64_t seed = 7;
    uint64_t gap_ms = 1000;
};

// The internetwork: which networks each router is on, which are stubs.
struct Topology {
    std::vector<std::vector<uint32_t>> nets_of;  // router -> networks
    std::vector<uint32_t> transit, stubs;
    std::map<uint32_t, std::vector<int>> members;  // network -> routers
};

constexpr uint32_t kFirstNet = 0x10000;

Topology build(const Options &o)
{
    Topology t;
    t.nets_of.resize(static_cast<size_t>(o.routers));
    std::mt19937_64 rng(o.seed);
    uint32_t next = kFirstNet;
    auto join = [&](int r, uint32_t net) {
        t.nets_of[static_cast<size_t>(r)].push_back(net);
        t.members[net].push_back(r);
    };
    std::set<std::pair<int, int>> joined;
    // A tree of branching 3, and half again as many chords.
    for (int i = 1; i < o.routers; i++) {
        uint32_t net = next++;
        join((i - 1) / 3, net);
        join(i, net);
        t.transit.push_back(net);
        joined.insert({(i - 1) / 3, i});
    }
    int chords = std::max(0, std::min(o.routers * 2 / 5, o.networks - o.routers));
    while (chords > 0) {
        int a = static_cast<int>(rng() % static_cast<uint64_t>(o.routers));
        int b = static_cast<int>(rng() % static_cast<uint64_t>(o.routers));
        if (a == b || joined.count({std::min(a, b), std::max(a, b)}))
            continue;
        joined.insert({std::min(a, b), std::max(a, b)});
        uint32_t net = next++;
        join(a, net);
        join(b, net);
        t.transit.push_back(net);
        chords--;
    }
    // The rest: stubs, spread over the routers.
    for (int s = 0; next < kFirstNet + static_cast<uint32_t>(o.networks); s++) {
        uint32_t net = next++;
        join(s % o.routers, net);
        t.stubs.push_back(net);
    }
    return t;
}

// Hops from every router to every network by breadth-first search, with
// networks in `broken` cut and routers in `dead` gone (16: unreachable).
std::map<uint32_t, std::vector<uint16_t>> expected(const Topology &t, const std::set<uint32_t> &broken,
                                                   const std::set<int> &dead)
{
    size_t n = t.nets_of.size();
    std::map<uint32_t, std::vector<uint16_t>> want;
    for (const auto &[net, ms] : t.members) {
        std::vector<uint16_t> d(n, 16);
        std::deque<int> todo;
        if (!broken.count(net))
            for (int r : ms)
                if (!dead.count(r)) {
                    d[static_cast<size_t>(r)] = 0;
                    todo.push_back(r);
                }
        while (!todo.empty()) {
            int r = todo.front();
            todo.pop_front();
            for (uint32_t via : t.nets_of[static_cast<size_t>(r)]) {
                if (broken.count(via))
                    continue;
                for (int o : t.members.at(via)) {
                    if (dead.count(o) || d[static_cast<size_t>(o)] <= d[static_cast<size_t>(r)] + 1)
                        continue;
                    d[static_cast<size_t>(o)] = static_cast<uint16_t>(std::min(16, d[static_cast<size_t>(r)] + 1));
                    todo.push_back(o);
                }
            }
        }
        want[net] = d;
    }
    return want;
}

// Processor time spent checking convergence, left out of the figures.
double g_checking = 0;

bool converged(fakerip::Internet &net, const std::map<uint32_t, std::vector<uint16_t>> &want,
               const std::set<int> &dead)
{
    struct Timer {
        double t0 = cpu_seconds();
        ~Timer() { g_checking += cpu_seconds() - t0; }
    } timer;
    for (const auto &[n, d] : want)
        for (size_t r = 0; r < d.size(); r++)
            if (!dead.count(static_cast<int>(r)) && net.hops(static_cast<int>(r), n) != d[r])
                return false;
    return true;
}

// Runs until the tables match `want`; the time of the last change then.
// -1 when they do not within `limit_ms`.
long long settle(fakerip::Internet &net, const std::map<uint32_t, std::vector<uint16_t>> &want,
                 const std::set<int> &dead, uint64_t since, uint64_t limit_ms)
{
    uint64_t until = net.now + limit_ms;
    while (net.now < until) {
        net.advance(100);
        if (converged(net, want, dead))
            return static_cast<long long>(net.last_change - since);
    }
    return -1;
}

void row(const char *what, const std::string &value, const std::string &note = "")
{
    std::printf("%-52s %14s  %s\n", what, value.c_str(), note.c_str());
}

std::string num(double v, int decimals = 0)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

std::string secs(long long ms)
{
    return ms < 0 ? "not within limit" : num(ms / 1000.0, 3) + " s";
}

int usage()
{
    std::fprintf(stderr, "usage: ripsim [--routers N] [--networks N] [--seed N] [--gap MS]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            return usage();
        long long v = std::atoll(argv[++i]);
        if (v <= 0)
            return usage();
        if (a == "--routers") o.routers = static_cast<int>(v);
        else if (a == "--networks") o.networks = static_cast<int>(v);
        else if (a == "--seed") o.seed = static_cast<uint64_t>(v);
        else if (a == "--gap") o.gap_ms = static_cast<uint64_t>(v);
        else return usage();
    }
    if (o.routers < 2 || o.networks < o.routers)
        return usage();
    Topology t = build(o);
    std::map<uint32_t, std::vector<uint16_t>> want = expected(t, {}, {});
    int diameter = 0;
    for (const auto &[n, d] : want)
        for (uint16_t h : d)
            diameter = std::max<int>(diameter, h);
    std::printf("ripsim: %d routers, %zu networks (%zu transit, %zu stubs with a service each), "
                "farthest network %d hops, seed %llu\n\n",
                o.routers, t.members.size(), t.transit.size(), t.stubs.size(), diameter,
                static_cast<unsigned long long>(o.seed));
    std::printf("%-52s %14s  %s\n", "figure (simulated time)", "value", "what the timers allow");

    // ---- RIP --------------------------------------------------------------------
    RipConfig cfg;
    cfg.timers.gap_ms = o.gap_ms;
    cfg.timers.jitter_ms = 30'000;  // routers started together spread their updates
    cfg.seed = o.seed;
    fakerip::Internet net(cfg);
    for (int r = 0; r < o.routers; r++) {
        net.add();
        for (uint32_t n : t.nets_of[static_cast<size_t>(r)])
            net.join(r, n);
    }
    const long long heap_before = heap();
    double cpu0 = cpu_seconds();
    net.start();
    long long start_ms = settle(net, want, {}, fakerip::kStart, 600'000);
    uint64_t start_packets = net.packets[1] + net.packets[2];
    row("RIP: converged after a start", secs(start_ms),
        "periodic updates alone: up to " + num(diameter) + " x 60 s = " + num(diameter * 60) + " s");
    row("  RIP packets until then", num(static_cast<double>(start_packets)));

    // Steady state: a whole minute after the triggered updates died down.
    net.advance(120'000);
    const long long heap_tables = heap() - heap_before;
    uint64_t p0 = net.packets[2], e0 = net.entries_sent;
    net.advance(60'000);
    uint64_t per_min = net.packets[2] - p0, entries_min = net.entries_sent - e0;
    uint64_t floor = 0, links = 0, routes = 0;
    for (int r = 0; r < o.routers; r++) {
        const auto &tab = net.core(r).routes();
        routes += tab.size();
        for (uint32_t n : t.nets_of[static_cast<size_t>(r)]) {
            RipLink l = net.link_of(r, n);
            size_t told = 0;
            for (const auto &[m, route] : tab)
                told += route.link != l;
            floor += (told + kRipMaxEntries - 1) / kRipMaxEntries;
            links++;
        }
    }
    row("RIP: response packets a minute, steady", num(static_cast<double>(per_min)),
        num(static_cast<double>(floor)) + " (one full table a link a minute, split horizon)");
    row("  entries a minute", num(static_cast<double>(entries_min)),
        "without split horizon: " + num(static_cast<double>(links * t.members.size())));
    row("RIP: table memory, all routers", num(heap_tables / 1024.0, 0) + " KiB",
        num(static_cast<double>(heap_tables) / static_cast<double>(routes), 0) + " bytes a route, " +
            num(static_cast<double>(routes)) + " routes");

    // A transit network of the tree breaks: the routers behind it go round
    // by a chord (or lose the networks behind it).
    uint32_t broken = t.transit.at(0);
    std::set<uint32_t> cut = {broken};
    auto want_cut = expected(t, cut, {});
    size_t lost = 0;
    for (const auto &[n, d] : want_cut)
        for (size_t r = 0; r < d.size(); r++)
            lost += d[r] != want[n][r];
    uint64_t before = net.packets[1] + net.packets[2];
    const uint64_t brk = net.now;
    for (int r : t.members.at(broken))
        net.link(r, broken, false);
    long long cut_ms = settle(net, want_cut, {}, brk, 600'000);
    row("RIP: converged after a transit network broke", secs(cut_ms),
        num(static_cast<double>(lost)) + " routes changed; without triggered updates up to " +
            num(diameter * 60) + " s, or 180 s to age out");
    row("  RIP packets until then", num(static_cast<double>(net.packets[1] + net.packets[2] - before)));
    for (int r : t.members.at(broken))
        net.link(r, broken, true);
    settle(net, want, {}, net.now, 600'000);

    // A router fails: its links all go down (its neighbours see their
    // links' networks as before; its stubs become unreachable).
    int victim = 1;
    std::set<int> dead = {victim};
    std::set<uint32_t> its_stubs;
    for (uint32_t n : t.nets_of[static_cast<size_t>(victim)])
        if (t.members.at(n).size() == 1)
            its_stubs.insert(n);
    auto want_dead = expected(t, its_stubs, dead);
    before = net.packets[1] + net.packets[2];
    const uint64_t fail = net.now;
    for (uint32_t n : t.nets_of[static_cast<size_t>(victim)])
        net.link(victim, n, false);
    long long dead_ms = settle(net, want_dead, dead, fail, 600'000);
    row("RIP: converged after a router failed", secs(dead_ms),
        "its neighbours notice only by ageing: 180 s");
    row("  RIP packets until then", num(static_cast<double>(net.packets[1] + net.packets[2] - before)));
    double rip_cpu = cpu_seconds() - cpu0 - g_checking;
    uint64_t rip_packets = net.packets[1] + net.packets[2];
    row("RIP: processor time per packet handled", num(rip_cpu * 1e6 / static_cast<double>(rip_packets), 1) + " us",
        num(static_cast<double>(rip_packets)) + " packets in " + num(static_cast<double>(net.now - fakerip::kStart) / 60000.0, 1) +
            " simulated minutes");

    // ---- SAP ----------------------------------------------------------------------
    std::printf("\n");
    fakesap::Internet sap;
    for (int r = 0; r < o.routers; r++)
        sap.router(t.nets_of[static_cast<size_t>(r)]);
    std::vector<int> hosts;
    for (uint32_t s : t.stubs)
        hosts.push_back(sap.host(s));
    const long long sap_heap0 = heap();
    double cpu1 = cpu_seconds();
    g_checking = 0;
    sap.advance(100);  // the routers learn their links from their stacks
    for (size_t i = 0; i < hosts.size(); i++)
        sap.bind(hosts[i], "SVC" + std::to_string(i), 0x8063);
    auto sap_converged = [&] {
        struct Timer {
            double t0 = cpu_seconds();
            ~Timer() { g_checking += cpu_seconds() - t0; }
        } timer;
        for (size_t i = 0; i < hosts.size(); i++) {
            uint32_t stub = t.stubs[i];
            for (int r = 0; r < o.routers; r++)
                if (sap.hops(r, "SVC" + std::to_string(i)) != want.at(stub)[static_cast<size_t>(r)])
                    return false;
        }
        return true;
    };
    uint64_t sap_start = sap.now;
    uint64_t sap_conv = 0;
    while (sap.now < sap_start + 600'000) {
        sap.advance(100);
        if (sap_converged()) {
            sap_conv = std::max(sap.last_change, sap_start) - sap_start;
            break;
        }
    }
    row("SAP: every router knows every service after", num(sap_conv / 1000.0, 3) + " s",
        "periodic broadcasts alone: up to " + num(diameter * 60) + " s");
    sap.advance(120'000);
    const long long sap_tables = heap() - sap_heap0;
    uint64_t s0 = sap.packets;
    sap.advance(60'000);
    uint64_t sap_min = sap.packets - s0;
    // One full list a link a minute: services known beyond the link, 7 a packet.
    uint64_t sap_floor = 0;
    for (int r = 0; r < o.routers; r++)
        for (uint32_t n : t.nets_of[static_cast<size_t>(r)]) {
            size_t told = 0;
            for (const auto &h : sap.engine(r).table().learned())
                told += h.via.net != n;
            sap_floor += (told + 6) / 7;
        }
    sap_floor += hosts.size();  // each host's own service
    row("SAP: packets a minute, steady", num(static_cast<double>(sap_min)),
        num(static_cast<double>(sap_floor)) + " (one full list a link a minute, split horizon)");
    row("SAP: table memory, routers and hosts", num(sap_tables / 1024.0, 0) + " KiB",
        num(static_cast<double>(sap_tables) / static_cast<double>(sap.size()), 0) + " bytes an engine (" +
            num(static_cast<double>(sap.size())) + " engines, " + num(static_cast<double>(hosts.size())) +
            " services)");
    const uint64_t gone = sap.now;
    sap.unbind(hosts.back(), "SVC" + std::to_string(hosts.size() - 1));
    uint64_t withdrawn = 0;
    while (sap.now < gone + 60'000) {
        sap.advance(10);
        bool all = true;
        for (int r = 0; r < o.routers && all; r++)
            all = sap.hops(r, "SVC" + std::to_string(hosts.size() - 1)) == 16;
        if (all) {
            withdrawn = sap.now - gone;
            break;
        }
    }
    row("SAP: a withdrawal known everywhere after", num(withdrawn / 1000.0, 3) + " s",
        "without triggered withdrawals: 180 s to age out");
    double sap_cpu = cpu_seconds() - cpu1 - g_checking;
    row("SAP: processor time per packet carried", num(sap_cpu * 1e6 / static_cast<double>(sap.packets), 1) + " us",
        num(static_cast<double>(sap.packets)) + " packets in " + num(static_cast<double>(sap.now) / 60000.0, 1) +
            " simulated minutes");
    return 0;
}
