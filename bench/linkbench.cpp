// linkbench: SPX between two hosts over each link kind, beside TCP over the
// same path. Two network namespaces on a bridge (the hosts of the link
// tests), a stack on each; linkpump sends the bulk and the pings. Prints one
// table: throughput (MB/s) and round trip (median, µs) per link, TCP's, and
// SPX/TCP. The goal measured against: SPX at least half of TCP's
// throughput. Runs as root in a private mount and network namespace
// (scripts/linkbench.sh).
#include "netns.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

struct Figures {
    double mbps = -1, rtt_us = -1;
};

// "intact N bytes X MB/s T s" / "rtt median X us p99 Y us"
Figures parse(const std::string &bulk, const std::string &ping)
{
    Figures f;
    size_t at = bulk.find(" bytes ");
    if (bulk.rfind("intact ", 0) == 0 && at != std::string::npos)
        f.mbps = std::atof(bulk.c_str() + at + 7);
    at = ping.find("median ");
    if (at != std::string::npos)
        f.rtt_us = std::atof(ping.c_str() + at + 7);
    return f;
}

std::string run_out(const Host &h, const std::vector<std::string> &argv,
                    const std::vector<std::pair<std::string, std::string>> &env = {})
{
    Proc::Options o;
    o.env = env;
    Proc p = h.start(argv, o);
    p.wait_exit(std::chrono::minutes(10));
    if (p.out().empty())
        std::fprintf(stderr, "linkbench: %s: %s", argv[1].c_str(), p.err().c_str());
    return p.out();
}

struct Options {
    unsigned long bytes = 50ul << 20;
    unsigned long rounds = 2000;
};

class Bench {
public:
    Bench(const Options &o) : opt_(o), a_(1), b_(2), c_(3)
    {
        for (const Host *h : {&a_, &b_, &c_}) {
            std::string why;
            if (!lan_.attach(*h, why)) {
                std::fprintf(stderr, "linkbench: %s\n", why.c_str());
                std::exit(1);
            }
        }
    }

    Figures tcp()
    {
        Proc serve = a_.start({LINKPUMP, "tcp-serve", "5001"});
        serve.wait_output("serving", std::chrono::seconds(10));
        std::string to = a_.ip() + ":5001";
        return parse(run_out(b_, {LINKPUMP, "tcp-send", to, std::to_string(opt_.bytes)}),
                     run_out(b_, {LINKPUMP, "tcp-ping", to, std::to_string(opt_.rounds), "32"}));
    }

    // Stacks on hosts 1 and 2 with these links; SPX from 2 to 1.
    Figures spx(const std::string &link_a, const std::string &link_b, const std::string &node_a)
    {
        TempDir da, db;
        Proc sa = stack(a_, da, link_a), sb = stack(b_, db, link_b);
        if (sa.pid() <= 0 || sb.pid() <= 0)
            return {};
        return pump(da, db, node_a, sa, sb);
    }

    Proc stack(const Host &h, const TempDir &dev, const std::string &link)
    {
        Proc::Options o;
        o.netns_fd = h.ns_fd();
        Proc p;
        std::string why;
        if (!start_ready(p, {IPXSTACKD, "-f", "--dev-dir", dev.path(), "--link", link}, o,
                         std::chrono::seconds(20), why)) {
            std::fprintf(stderr, "linkbench: the stack did not start: %s", why.c_str());
            return Proc();
        }
        return p;
    }

    // linkpump serves on host 1 (its stack's devices in `da`, its node
    // `node_a`) and host 2 (devices in `db`) sends to it, then pings it;
    // the stacks stop after.
    Figures pump(const TempDir &da, const TempDir &db, const std::string &node_a, Proc &sa, Proc &sb)
    {
        Proc::Options o;
        o.env = {{"IPX_DEVDIR", da.path()}};
        Proc serve = a_.start({LINKPUMP, "serve", "5000"}, o);
        serve.wait_output("serving", std::chrono::seconds(10));
        std::string to = "0000BE00:" + node_a + ":5000";
        std::vector<std::pair<std::string, std::string>> env = {{"IPX_DEVDIR", db.path()}};
        Figures f = parse(run_out(b_, {LINKPUMP, "send", to, std::to_string(opt_.bytes)}, env),
                          run_out(b_, {LINKPUMP, "ping", to, std::to_string(opt_.rounds), "32"}, env));
        for (Proc *p : {&serve, &sa, &sb}) {
            p->signal(SIGTERM);
            p->wait_exit();
        }
        return f;
    }

    // A DOSBox relay server on host 3.
    Figures dosbox()
    {
        TempDir dir;
        write_file(dir / "dosbox.conf", "[sdl]\noutput=surface\n[cpu]\ncycles=fixed 1000\n[ipx]\n"
                                        "ipx=true\n[autoexec]\nipxnet startserver 213\n");
        Proc::Options o;
        o.env = {{"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}, {"HOME", dir.path()}};
        Proc server = c_.start({"/usr/bin/dosbox", "-conf", dir / "dosbox.conf", "-noconsole"}, o);
        bool up = wait_until([&] {
            std::string udp;
            c_.run({"/bin/cat", "/proc/net/udp"}, &udp);
            return udp.find(":00D5 ") != std::string::npos;
        }, std::chrono::seconds(30));
        Figures f;
        if (up)
            f = spx_relay("dosbox,net=0000BE00,server=" + c_.ip());
        server.signal(SIGKILL);
        server.wait_exit();
        return f;
    }

    // Over the relay, the node comes from host 1's status view.
    Figures spx_relay(const std::string &link)
    {
        TempDir da, db;
        Proc sa = stack(a_, da, link), sb = stack(b_, db, link);
        Proc st = a_.start({IPXSTACKD, "-s", "--dev-dir", da.path()});
        st.wait_exit();
        size_t at = st.out().find(" network 0000be00:");
        if (at == std::string::npos)
            return {};
        return pump(da, db, st.out().substr(at + 18, 12), sa, sb);
    }

    const Host &a() const { return a_; }
    const Host &b() const { return b_; }

private:
    Options opt_;
    Lan lan_;
    Host a_, b_, c_;
};

void row(const char *name, const Figures &spx, const Figures &tcp)
{
    auto num = [](double v, const char *fmt) {
        char b[32];
        if (v < 0) return std::string("-");
        std::snprintf(b, sizeof b, fmt, v);
        return std::string(b);
    };
    std::printf("%-22s %10s %10s %8s %10s %10s\n", name, num(spx.mbps, "%.1f").c_str(),
                num(tcp.mbps, "%.1f").c_str(),
                spx.mbps > 0 && tcp.mbps > 0 ? num(spx.mbps / tcp.mbps, "%.2f").c_str() : "-",
                num(spx.rtt_us, "%.0f").c_str(), num(tcp.rtt_us, "%.0f").c_str());
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if ((a == "--bytes" || a == "--rounds") && i + 1 < argc) {
            unsigned long v = std::strtoul(argv[++i], nullptr, 10);
            (a == "--bytes" ? opt.bytes : opt.rounds) = v ? v : 1;
        } else {
            std::fprintf(stderr, "usage: linkbench [--bytes N] [--rounds N]\n");
            return 2;
        }
    }
    if (geteuid() != 0) {
        std::fprintf(stderr, "linkbench: run as root, in namespaces of its own (scripts/linkbench.sh)\n");
        return 1;
    }
    sh({"/usr/sbin/ip", "link", "set", "lo", "up"});
    Bench bench(opt);
    Figures tcp = bench.tcp();
    std::printf("SPX across two hosts (network namespaces on a bridge) beside TCP on the same path\n"
                "%lu bytes bulk in 8192-byte units, %lu round trips of 32 bytes\n\n", opt.bytes, opt.rounds);
    std::printf("%-22s %10s %10s %8s %10s %10s\n", "link", "SPX MB/s", "TCP MB/s", "SPX/TCP", "SPX rtt", "TCP rtt");
    std::fflush(stdout);
    const std::string node_a = bench.a().udp_node(), mac_a = bench.a().mac_node();
    row("udp", bench.spx("udp,net=0000BE00,addr=" + bench.a().ip() + ",peer=" + bench.b().ip(),
                         "udp,net=0000BE00,addr=" + bench.b().ip() + ",peer=" + bench.a().ip(), node_a),
        tcp);
    std::fflush(stdout);
    row("ethernet_ii", bench.spx("ethernet,net=0000BE00,dev=eth0,frame=ethernet_ii",
                                 "ethernet,net=0000BE00,dev=eth0,frame=ethernet_ii", mac_a),
        tcp);
    std::fflush(stdout);
    row("ethernet_ii mtu 1500", bench.spx("ethernet,net=0000BE00,dev=eth0,frame=ethernet_ii,mtu=1500",
                                          "ethernet,net=0000BE00,dev=eth0,frame=ethernet_ii,mtu=1500", mac_a),
        tcp);
    std::fflush(stdout);
    row("dosbox relay", bench.dosbox(), tcp);
    std::printf("\ngoal: SPX at least half of TCP's throughput on the same path\n");
    return 0;
}
