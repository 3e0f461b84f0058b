// Ombrad: the host's SAP daemon.
//
//   Ombrad [-f] [--ready-fd N] [--sap-socket N] [--state-file FILE]
//
// Takes requests from local programs on IPX socket 0x0872 to start and stop
// advertising services, advertises them by SAP on socket 0x0452, answers
// service queries and keeps what other hosts advertise. With -f it stays in
// the foreground and logs to standard error; otherwise it detaches and logs
// to syslog. With --ready-fd N it writes "ready\n" on descriptor N (then
// closes it) once both sockets are bound. With --sap-socket N it takes SAP
// packets on socket N instead of 0x0452 (beside another SAP agent of the
// host, or for a test that listens on 0x0452 itself); its broadcasts still
// go to socket 0x0452. SIGTERM or SIGINT withdraw every
// advertised service and end it with status 0.
//
// On a router (a stack that routes between links) it relays services
// between the links: every two seconds it asks its stack's router for the
// routes, and learns from them which networks are its links (engine.h).
//
// Local services are kept in FILE (default /opt/DRAXipx/run/Ombrad.state)
// across restarts. Every two seconds the stack is asked whether the
// sockets of the local services are still bound, and by whom: a service
// whose socket was closed, or taken by another user, is withdrawn. Saved
// services are advertised again after a restart only once the stack has
// confirmed them in this way.
#include "endpoint.h"
#include "engine.h"
#include "stackcheck.h"
#include "state.h"

#include <logstamp.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <syslog.h>
#include <unistd.h>

namespace ombrad {
namespace {

constexpr const char *kProg = "Ombrad";

// Where log lines go: standard error in the foreground, syslog otherwise.
struct Log {
    bool to_stderr = true;
    void operator()(Level level, const std::string &text) const
    {
        char stamp[40];
        if (to_stderr)
            std::fprintf(stderr, "%s%s: %s\n", logstamp(stamp, sizeof stamp), kProg, text.c_str());
        else
            syslog(int(level), "%s", text.c_str());
    }
};

// The one source of time, a seam for the loop below.
struct Clock {
    virtual ~Clock() = default;
    virtual Time now() const = 0;
};
struct SteadyClock : Clock {
    Time now() const override { return std::chrono::steady_clock::now(); }
};

struct Options {
    bool foreground = false;
    int ready_fd = -1;
    uint16_t sap_socket = sap::kSapSocket;
    std::string state_file = kStateFile;
};

void usage()
{
    std::fprintf(stderr, "usage: %s [-f] [--ready-fd N] [--sap-socket N] [--state-file FILE]\n",
                 kProg);
}

// The value of option argv[i] (moving i onto it), a number in `base` (0:
// C notation) from lo to hi. False after a message when it is not.
bool number(int argc, char **argv, int &i, int base, long lo, long hi, long &n)
{
    const char *opt = argv[i];
    if (i + 1 >= argc) {
        std::fprintf(stderr, "%s: %s needs a number\n", kProg, opt);
        return false;
    }
    const char *v = argv[++i];
    char *end = nullptr;
    errno = 0;
    n = std::strtol(v, &end, base);
    if (!*v || *end || errno || n < lo || n > hi) {
        std::fprintf(stderr, "%s: bad number \"%s\" for %s\n", kProg, v, opt);
        return false;
    }
    return true;
}

// False (after a message) when the command line is wrong.
bool parse(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-f") {
            o.foreground = true;
        } else if (a == "--ready-fd") {
            long n;
            if (!number(argc, argv, i, 10, 0, 65535, n))
                return false;
            if (fcntl(int(n), F_GETFD) < 0) {
                std::fprintf(stderr, "%s: descriptor %ld is not open\n", kProg, n);
                return false;
            }
            o.ready_fd = int(n);
        } else if (a == "--sap-socket") {
            long n;
            if (!number(argc, argv, i, 0, 1, 0xFFFF, n))
                return false;
            if (n == sap::kRequestSocket) {
                std::fprintf(stderr, "%s: socket 0x0872 takes the requests\n", kProg);
                return false;
            }
            o.sap_socket = uint16_t(n);
        } else if (a == "--state-file") {
            if (i + 1 >= argc || !*argv[i + 1]) {
                std::fprintf(stderr, "%s: --state-file needs a file name\n", kProg);
                return false;
            }
            o.state_file = argv[++i];
        } else if (a == "-h" || a == "--help") {
            usage();
            std::exit(0);
        } else {
            std::fprintf(stderr, "%s: unknown argument \"%s\"\n", kProg, a.c_str());
            return false;
        }
    }
    return true;
}

// Detaches from the terminal: the invoking process ends with status 0 and
// the child carries on in a session of its own, in /, with /dev/null on
// 0, 1 and 2. Descriptors already open (the endpoints, the ready
// descriptor) stay open.
bool detach()
{
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid > 0)
        _exit(0);
    setsid();
    if (chdir("/") != 0) {
        // Not fatal: only keeps a directory busy.
    }
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2)
            close(null);
    }
    return true;
}

class Daemon {
public:
    Daemon(DatagramEndpoint requests, DatagramEndpoint sap_ep, const Clock &clock, Log log,
           std::string state_file)
        : requests_(std::move(requests)), sap_(std::move(sap_ep)), clock_(clock), log_(log),
          engine_(Local{requests_.address().net, requests_.address().node}, clock.now(), Limits{},
                  log),
          state_file_(std::move(state_file))
    {
        std::vector<SavedService> saved;
        std::string why;
        if (!load_state(state_file_, Limits{}.local, saved, why))
            log_(Level::err, "ignoring the saved services in " + state_file_ + ": " + why);
        else if (!saved.empty())
            log_(Level::info, std::to_string(saved.size()) + " saved services to check");
        engine_.restore(saved);
    }

    // Serves until a stop signal arrives on `sigfd`; 0 then, 1 when an
    // endpoint breaks.
    int run(int sigfd)
    {
        for (;;) {
            Time now = clock_.now();
            std::optional<Time> check = engine_.next_check();
            if (check && *check <= now)
                check_sockets(now);
            if (engine_.next_route_ask() <= now)
                engine_.ask_routes(now, out_);
            engine_.on_timer(now, out_);
            flush();
            save();
            Time deadline = engine_.next_deadline();
            check = engine_.next_check();
            if (check && *check < deadline)
                deadline = *check;
            if (engine_.next_route_ask() < deadline)
                deadline = engine_.next_route_ask();
            auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_.now());
            int timeout = wait.count() < 0 ? 0 : wait.count() > 60000 ? 60000 : int(wait.count());
            struct pollfd fds[3] = {{requests_.fd(), POLLIN, 0}, {sap_.fd(), POLLIN, 0},
                                    {sigfd, POLLIN, 0}};
            int n = poll(fds, 3, timeout);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                log_(Level::err, std::string("poll: ") + std::strerror(errno));
                return stop(1);
            }
            if (fds[2].revents) {
                struct signalfd_siginfo si;
                if (read(sigfd, &si, sizeof si) == ssize_t(sizeof si))
                    log_(Level::notice, std::string("stopping on ") + strsignal(int(si.ssi_signo)));
                return stop(0);
            }
            if (fds[0].revents && !drain(requests_, true))
                return stop(1);
            if (fds[1].revents && !drain(sap_, false))
                return stop(1);
        }
    }

private:
    // Takes the waiting datagrams of one endpoint (a bounded number, so
    // that neither endpoint starves the other). False when it broke.
    bool drain(DatagramEndpoint &ep, bool is_requests)
    {
        for (int i = 0; i < 64; ++i) {
            sap::Address from;
            sap::Bytes data;
            std::string error;
            switch (ep.receive(from, data, error)) {
            case DatagramEndpoint::Got::nothing:
                return true;
            case DatagramEndpoint::Got::dropped:
                log_(Level::notice, error);
                continue;
            case DatagramEndpoint::Got::failed:
                log_(Level::err, error);
                return false;
            case DatagramEndpoint::Got::datagram:
                break;
            }
            if (is_requests)
                engine_.on_request(data.data(), data.size(), from, clock_.now(), out_);
            else
                engine_.on_sap(data.data(), data.size(), from, clock_.now(), out_);
            flush();
        }
        return true;
    }

    void check_sockets(Time now)
    {
        std::vector<uint16_t> sockets = engine_.check_sockets();
        std::vector<SocketState> states;
        std::string error;
        if (ask_stack(sockets, states, error))
            engine_.on_check(sockets, states, now, out_);
        else
            engine_.on_check_failed(error, now);
    }

    // Writes the local services to the state file when they changed. A
    // failure is logged once, until a save succeeds again.
    void save()
    {
        if (!engine_.take_saved_change())
            return;
        std::string error;
        if (save_state(state_file_, engine_.saved(), error)) {
            if (save_failing_)
                log_(Level::notice, "saved the services in " + state_file_ + " again");
            save_failing_ = false;
        } else {
            if (!save_failing_)
                log_(Level::err, "cannot save the services: " + error);
            save_failing_ = true;
        }
    }

    void flush()
    {
        for (const Send &s : out_) {
            bool is_sap = s.from_socket == sap::kSapSocket;
            DatagramEndpoint &ep = is_sap ? sap_ : requests_;
            std::string error;
            int type = s.packet_type >= 0 ? s.packet_type : is_sap ? kSapPacketType : 0;
            if (!ep.send(s.to, s.data, error, static_cast<uint8_t>(type)))
                log_(Level::warning, "to " + sap::to_string(s.to) + ": " + error);
        }
        out_.clear();
    }

    int stop(int status)
    {
        engine_.withdraw_all(out_);
        flush();
        return status;
    }

    DatagramEndpoint requests_;
    DatagramEndpoint sap_;
    const Clock &clock_;
    Log log_;
    Engine engine_;
    std::string state_file_;
    bool save_failing_ = false;
    std::vector<Send> out_;
};

int main_(int argc, char **argv)
{
    Options opts;
    if (!parse(argc, argv, opts)) {
        usage();
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    // Stop signals are taken through a descriptor, so that poll sees them
    // like any other event.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    int sigfd = signalfd(-1, &stops, SFD_CLOEXEC);
    if (sigfd < 0) {
        std::fprintf(stderr, "%s: signalfd: %s\n", kProg, std::strerror(errno));
        return 1;
    }

    // Bind before detaching, so that the invoking shell learns of failure.
    DatagramEndpoint requests, sap_ep;
    std::string error;
    if (!requests.open(sap::kRequestSocket, error)) {
        std::fprintf(stderr, "%s: cannot bind request socket 0872: %s\n", kProg, error.c_str());
        return 1;
    }
    if (!sap_ep.open(opts.sap_socket, error)) {
        std::fprintf(stderr, "%s: cannot bind SAP socket %04x: %s\n", kProg,
                     unsigned(opts.sap_socket), error.c_str());
        return 1;
    }

    Log log;
    if (!opts.foreground) {
        if (!detach()) {
            std::fprintf(stderr, "%s: fork: %s\n", kProg, std::strerror(errno));
            return 1;
        }
        openlog(kProg, LOG_PID, LOG_DAEMON);
        log.to_stderr = false;
    }
    log(Level::info, "serving at " + sap::to_string(requests.address()));
    if (opts.ready_fd >= 0) {
        ssize_t w = write(opts.ready_fd, "ready\n", 6);
        (void)w;
        close(opts.ready_fd);
    }

    SteadyClock clock;
    Daemon daemon(std::move(requests), std::move(sap_ep), clock, log, opts.state_file);
    int status = daemon.run(sigfd);
    close(sigfd);
    return status;
}

} // namespace
} // namespace ombrad

int main(int argc, char **argv)
{
    return ombrad::main_(argc, argv);
}
