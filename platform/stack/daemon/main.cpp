// ipxstackd: the user-space IPX/SPX stack. Serves the TLI devices
// "ravspx", "mspx" (SPX) and "ravitp" (IPX datagrams) as Unix sockets in the
// device directory.
#include "server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <unistd.h>

using namespace ipxstackd;

namespace {

const char kUsage[] =
    "usage: ipxstackd [-f] [--dev-dir DIR] [--link LINK]... [--net HEX] [--host A.B.C.D]\n"
    "                 [--impair RATES] [--ready-fd N] [--rcv-max N] [--user-limits LIST]\n"
    "                 [--no-forward] [--rip-timers LIST] [--settle-all MS]\n"
    "       ipxstackd -s [--dev-dir DIR]\n"
    "  -f              stay in the foreground, log to standard error\n"
    "  -s              print the status of the running stack\n"
    "  --dev-dir DIR   where the device sockets are (default /dev)\n"
    "  --link LINK     a link to other hosts, one IPX network each (repeatable):\n"
    "                    udp,net=HEX8,addr=IPV4[,port=N][,peer=IPV4[:PORT]]...[,mtu=N][,ticks=N]\n"
    "                    dosbox,net=HEX8,server=HOST[:PORT][,mtu=N][,ticks=N]\n"
    "                    ethernet,net=HEX8,dev=IFACE,frame=ethernet_ii|802.3|802.2|snap[,mtu=N][,ticks=N]\n"
    "  --no-forward    never route between the links (a host, not a router)\n"
    "  --rip-timers LIST  test option: routing timers in ms, e.g.\n"
    "                  update=60000,expire=180000,garbage=240000,gap=1000,ask=500,lookup=2000\n"
    "  --net HEX       without --link: the network number (default 00000001)\n"
    "  --host A.B.C.D  without --link: the node 00:00:A:B:C:D (default 127.0.0.1)\n"
    "  --impair RATES  test option: impair every link, e.g. loss=0.1,dup=0.1,reorder=0.1\n"
    "  --ready-fd N    write \"ready\\n\" on descriptor N once the devices are up\n"
    "  --rcv-max N     test option: every t_rcv returns at most N bytes\n"
    "  --settle-all MS test option: how often every endpoint is looked at,\n"
    "                  whether anything happened to it or not (default 1000)\n"
    "  --user-limits LIST  what one ordinary user may hold, e.g.\n"
    "                  endpoints=256,sockets=128,held=4096,pending=8 (held in KiB)\n";

int usage_error(const std::string &msg)
{
    std::fprintf(stderr, "ipxstackd: %s\n%s", msg.c_str(), kUsage);
    return 1;
}

bool parse_uint(const char *s, int base, unsigned long max, unsigned long &out)
{
    if (s == nullptr || *s == '\0' || *s == '-')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long v = std::strtoul(s, &end, base);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    out = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    ServerOptions opt;
    bool status = false;
    enum { kDevDir = 256, kNet, kHost, kImpair, kReadyFd, kRcvMax, kUserLimits, kLink, kNoForward, kSettleAll,
           kRipTimers };
    bool net_or_host = false;
    static const struct option longopts[] = {
        {"dev-dir", required_argument, nullptr, kDevDir},
        {"net", required_argument, nullptr, kNet},
        {"host", required_argument, nullptr, kHost},
        {"impair", required_argument, nullptr, kImpair},
        {"ready-fd", required_argument, nullptr, kReadyFd},
        {"rcv-max", required_argument, nullptr, kRcvMax},
        {"settle-all", required_argument, nullptr, kSettleAll},
        {"user-limits", required_argument, nullptr, kUserLimits},
        {"link", required_argument, nullptr, kLink},
        {"no-forward", no_argument, nullptr, kNoForward},
        {"rip-timers", required_argument, nullptr, kRipTimers},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "fsh", longopts, nullptr)) != -1) {
        unsigned long v = 0;
        switch (c) {
        case 'f': opt.foreground = true; break;
        case 's': status = true; break;
        case 'h': std::fputs(kUsage, stdout); return 0;
        case kDevDir:
            if (*optarg == '\0') return usage_error("empty --dev-dir");
            opt.dev_dir = optarg;
            break;
        case kNet: {
            const char *s = optarg;
            if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s += 2;
            // 0 means "this network" and FFFFFFFE/FFFFFFFF are reserved.
            if (!parse_uint(s, 16, 0xFFFFFFFDul, v) || v == 0)
                return usage_error(std::string("bad network number: ") + optarg);
            opt.stack.net = static_cast<uint32_t>(v);
            net_or_host = true;
            break;
        }
        case kHost: {
            struct in_addr in;
            if (inet_pton(AF_INET, optarg, &in) != 1)
                return usage_error(std::string("bad host address: ") + optarg);
            opt.stack.host = ntohl(in.s_addr);
            net_or_host = true;
            break;
        }
        case kImpair: {
            ipxcore::ImpairmentConfig ic;
            std::string err;
            if (!ipxcore::Impairment::parse(optarg, ic, err))
                return usage_error("bad --impair: " + err);
            opt.stack.impair = ic;
            break;
        }
        case kReadyFd:
            if (!parse_uint(optarg, 10, 1 << 20, v) || fcntl(static_cast<int>(v), F_GETFD) < 0)
                return usage_error(std::string("bad --ready-fd: ") + optarg);
            opt.ready_fd = static_cast<int>(v);
            break;
        case kLink: {
            LinkConfig lc;
            std::string err;
            if (!parse_link(optarg, lc, err))
                return usage_error(err);
            opt.links.push_back(lc);
            break;
        }
        case kNoForward:
            opt.stack.forward = false;
            break;
        case kRipTimers: {
            std::string err;
            if (!parse_rip_timers(optarg, opt.stack.rip, err))
                return usage_error("bad --rip-timers: " + err);
            break;
        }
        case kRcvMax:
            if (!parse_uint(optarg, 10, 1u << 30, v) || v == 0)
                return usage_error(std::string("bad --rcv-max: ") + optarg);
            opt.stack.rcv_max = static_cast<uint32_t>(v);
            break;
        case kSettleAll:
            if (!parse_uint(optarg, 10, 3600000u, v) || v == 0)
                return usage_error(std::string("bad --settle-all: ") + optarg);
            opt.stack.settle_all_ms = v;
            break;
        case kUserLimits: {
            std::string err;
            if (!UserLimits::parse(optarg, opt.stack.limits, err))
                return usage_error("bad --user-limits: " + err);
            break;
        }
        default:
            return usage_error(std::string("unknown option ") +
                               (optind > 0 && optind <= argc ? argv[optind - 1] : "?"));
        }
    }
    if (optind < argc)
        return usage_error(std::string("unexpected argument ") + argv[optind]);
    {
        std::string err;
        if (!check_links(opt.links, err))
            return usage_error(err);
    }
    if (net_or_host && !opt.links.empty())
        return usage_error("--net and --host describe a stack without links; "
                           "with --link, each link has its own network and node");
    if (status)
        return print_status(opt.dev_dir);
    if (geteuid() != 0) {
        std::fprintf(stderr, "ipxstackd: must be run as root\n");
        return 1;
    }

    Server server(opt);
    std::string err;
    if (server.setup(err) < 0) {
        std::fprintf(stderr, "ipxstackd: %s\n", err.c_str());
        return 1;
    }
    if (!opt.foreground) {
        pid_t pid = fork();
        if (pid < 0) {
            std::fprintf(stderr, "ipxstackd: fork: %s\n", std::strerror(errno));
            return 1;
        }
        if (pid > 0)
            _exit(0);
        setsid();
        if (chdir("/") < 0) { /* stays where it is */ }
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            if (null > 2) close(null);
        }
        log_to_syslog();
    }
    return server.run();
}
