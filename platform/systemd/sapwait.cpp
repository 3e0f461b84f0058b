// sapwait: waits until SAP advertises a service, so that a unit (or a
// script) that starts Zelptyd is done only once clients can find it.
//
//   sapwait [-t SECONDS] [-T TYPE] [-p PIDFILE] NAME
//
// Asks the network (the host's Ombrad answers for its own services) every
// half second for NAME of TYPE (default 0x247, the terminal service) and
// ends with status 0 as soon as it is advertised. With -p it fails at once
// when PIDFILE names a process that has ended (the daemon gave up); a pid
// file that does not exist yet is waited for. Status 1 when the time (-t,
// default 30 s) runs out first, 2 for a wrong command line.
#include "sapclient.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxName = 47;  // what a SAP entry carries
constexpr int kRoundMs = 500;

int usage()
{
    std::fprintf(stderr, "usage: sapwait [-t SECONDS] [-T TYPE] [-p PIDFILE] NAME\n");
    return 2;
}

// The process recorded in `path`: its pid, 0 when the file does not exist
// (yet) or holds no number.
long recorded_pid(const std::string &path)
{
    std::ifstream in(path);
    long pid = 0;
    if (!(in >> pid) || pid <= 0)
        return 0;
    return pid;
}

bool alive(long pid)
{
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool parse_number(const char *s, int base, long max, long &out)
{
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(s, &end, base);
    if (errno != 0 || end == s || *end != '\0' || v < 0 || v > max)
        return false;
    out = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    long seconds = 30, type = 0x247;
    std::string pidfile;
    int c;
    opterr = 0;
    while ((c = getopt(argc, argv, "t:T:p:h")) != -1) {
        switch (c) {
        case 't':
            if (!parse_number(optarg, 10, 3600, seconds) || seconds == 0) {
                std::fprintf(stderr, "sapwait: bad time \"%s\" (1 to 3600 seconds)\n", optarg);
                return usage();
            }
            break;
        case 'T':
            if (!parse_number(optarg, 0, 0xFFFE, type) || type == 0) {
                std::fprintf(stderr, "sapwait: bad service type \"%s\"\n", optarg);
                return usage();
            }
            break;
        case 'p': pidfile = optarg; break;
        case 'h': usage(); return 0;
        default:
            std::fprintf(stderr, "sapwait: unknown option -%c\n", optopt);
            return usage();
        }
    }
    if (optind + 1 != argc)
        return usage();
    // Advertised names are cut to what SAP carries and compared without
    // regard to case.
    std::string name = std::string(argv[optind]).substr(0, kMaxName);
    if (name.empty())
        return usage();

    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    std::string error;
    for (;;) {
        if (!pidfile.empty()) {
            long pid = recorded_pid(pidfile);
            if (pid > 0 && !alive(pid)) {
                std::fprintf(stderr, "sapwait: process %ld of %s ended before %s was advertised\n", pid,
                             pidfile.c_str(), name.c_str());
                return 1;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        auto round = Clock::now();
        sap::Service found;
        int ms = static_cast<int>(left < kRoundMs ? left : kRoundMs);
        if (sap::find_service(name, static_cast<uint16_t>(type), ms, found, error) == 0)
            return 0;
        // A query that failed at once (no stack yet) waits out its round.
        auto spent = Clock::now() - round;
        if (spent < std::chrono::milliseconds(ms))
            usleep(static_cast<useconds_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::milliseconds(ms) - spent)
                    .count()));
    }
    // "cannot ..." is the stack's failure; anything else means no answer.
    bool stack_failed = error.rfind("cannot", 0) == 0;
    std::fprintf(stderr, "sapwait: %s (type %04lX) not advertised within %ld s%s%s\n", name.c_str(), type,
                 seconds, stack_failed ? ": " : "", stack_failed ? error.c_str() : "");
    return 1;
}
