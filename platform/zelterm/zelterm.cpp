#include "zelterm.h"

#include "proto.h"
#include "termcore.h"

#include <tiuser.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelterm {

namespace {

const char *const kDevice = "/dev/ravspx";
constexpr size_t kMaxName = 47;         // longest SAP service name
constexpr size_t kQueueLimit = 16384;   // keyboard data waiting for the network

int sig_pipe[2] = {-1, -1};

void on_signal(int sig)
{
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    ssize_t r = write(sig_pipe[1], &b, 1);
    (void)r;
    errno = saved;
}

void usage()
{
    std::fprintf(stderr,
                 "usage: zelterm SERVICE          open a session with a service found by SAP\n"
                 "       zelterm NET:NODE:SOCKET  open a session with an IPX address (hex)\n"
                 "       zelterm -l               list the services SAP knows\n"
                 "Type ~. at the start of a line to end a session.\n");
}

std::string tli_text()
{
    std::string s = (t_errno > 0 && t_errno <= t_nerr) ? t_errlist[t_errno] : "error " + std::to_string(t_errno);
    if (t_errno == TSYSERR)
        s += std::string(": ") + std::strerror(errno);
    return s;
}

// The local terminal in raw mode for as long as this lives.
class RawMode {
public:
    bool enter(int fd)
    {
        if (!isatty(fd) || tcgetattr(fd, &saved_) < 0)
            return false;
        struct termios raw = saved_;
        cfmakeraw(&raw);
        if (tcsetattr(fd, TCSADRAIN, &raw) < 0)
            return false;
        fd_ = fd;
        return true;
    }
    ~RawMode()
    {
        if (fd_ >= 0)
            tcsetattr(fd_, TCSADRAIN, &saved_);
    }

private:
    int fd_ = -1;
    struct termios saved_{};
};

class Endpoint {
public:
    ~Endpoint()
    {
        if (fd >= 0)
            t_close(fd);
    }
    int fd = -1;
};

zelproto::WindowSize local_window()
{
    struct winsize w{};
    zelproto::WindowSize ws{24, 80, 0, 0};
    if (ioctl(0, TIOCGWINSZ, &w) == 0) {
        zelproto::WindowSize got{w.ws_row, w.ws_col, w.ws_xpixel, w.ws_ypixel};
        if (zelproto::valid_window(got))
            ws = got;
    }
    return ws;
}

bool write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = write(fd, p, n);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                struct pollfd w{fd, POLLOUT, 0};
                poll(&w, 1, -1);
                continue;
            }
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

int list_services(const Directory &dir)
{
    std::vector<ServiceEntry> found;
    std::string error;
    // 0xFFFF asks for services of every type.
    if (dir.list(0xFFFF, found, error) != 0) {
        std::fprintf(stderr, "zelterm: cannot list the services: %s\n", error.c_str());
        return 1;
    }
    std::sort(found.begin(), found.end(), [](const ServiceEntry &a, const ServiceEntry &b) {
        return a.name != b.name ? a.name < b.name : a.type < b.type;
    });
    if (found.empty()) {
        std::printf("No services known.\n");
        return 0;
    }
    std::fputs(list_header().c_str(), stdout);
    for (const auto &s : found)
        std::fputs(list_row(s.name, s.type, s.addr, s.hops).c_str(), stdout);
    return 0;
}

// Opens a connection to `addr`; the endpoint's descriptor, or -1 with the
// reason in `error`.
int connect_to(const uint8_t addr[12], std::string &error)
{
    int fd = t_open(kDevice, O_RDWR, nullptr);
    if (fd < 0) {
        error = std::string("cannot open ") + kDevice + ": " + tli_text() + " (is ipxstackd running?)";
        return -1;
    }
    if (t_bind(fd, nullptr, nullptr) < 0) {
        error = "cannot bind an endpoint: " + tli_text();
        t_close(fd);
        return -1;
    }
    uint8_t a[12];
    std::memcpy(a, addr, sizeof a);
    struct t_call call{};
    call.addr.maxlen = call.addr.len = sizeof a;
    call.addr.buf = reinterpret_cast<char *>(a);
    if (t_connect(fd, &call, nullptr) < 0) {
        if (t_errno == TLOOK && t_look(fd) == T_DISCONNECT) {
            struct t_discon dis{};
            t_rcvdis(fd, &dis);
            error = "connection refused";
        } else {
            error = "cannot connect: " + tli_text();
        }
        t_close(fd);
        return -1;
    }
    return fd;
}

struct Outcome {
    int status;
    std::string message;
};

// The session proper, with the local terminal raw while it runs.
Outcome session(int fd, const std::string &label)
{
    RawMode raw;
    raw.enter(0);

    std::vector<uint8_t> out;
    const char *term = std::getenv("TERM");
    zelproto::encode_hello(term != nullptr && zelproto::valid_term(term) ? term : "dumb", local_window(), out);

    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        fcntl(fd, F_SETFL, fl | O_NONBLOCK);

    EscapeDetector escape;
    bool stdin_open = true;
    while (true) {
        struct pollfd p[3];
        p[0] = {sig_pipe[0], POLLIN, 0};
        p[1] = {stdin_open && out.size() < kQueueLimit ? 0 : -1, POLLIN, 0};
        p[2] = {fd, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
        if (poll(p, 3, -1) < 0 && errno != EINTR)
            return {1, std::string("poll: ") + std::strerror(errno)};

        if (p[0].revents) {
            unsigned char sigs[32];
            ssize_t n = read(sig_pipe[0], sigs, sizeof sigs);
            for (ssize_t i = 0; i < n; ++i) {
                if (sigs[i] == SIGWINCH) {
                    zelproto::encode_window(local_window(), out);
                } else {
                    t_snddis(fd, nullptr);
                    return {1, "ended by signal " + std::to_string(sigs[i]) + "; connection to " + label + " closed"};
                }
            }
        }
        if (p[1].revents) {
            uint8_t buf[4096];
            ssize_t n = read(0, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                // Nothing more to type; the session goes on until the
                // server ends it.
                stdin_open = false;
            } else if (n > 0) {
                bool quit = false;
                std::string keys = escape.feed(buf, static_cast<size_t>(n), quit);
                zelproto::encode_data(reinterpret_cast<const uint8_t *>(keys.data()), keys.size(), out);
                if (quit) {
                    // What was typed before the escape goes first, as far as
                    // the connection takes it now.
                    if (!out.empty())
                        t_snd(fd, reinterpret_cast<char *>(out.data()), static_cast<unsigned>(out.size()), 0);
                    t_snddis(fd, nullptr);
                    return {0, "Connection to " + label + " closed."};
                }
            }
        }
        if (p[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            int flags = 0;
            int n = t_rcv(fd, buf, sizeof buf, &flags);
            if (n > 0) {
                if (!write_all(1, buf, static_cast<size_t>(n)))
                    return {1, std::string("cannot write the output: ") + std::strerror(errno)};
            } else if (n < 0 && t_errno == TLOOK) {
                int ev = t_look(fd);
                if (ev == T_DISCONNECT || ev == T_ORDREL) {
                    // The server ends the connection when the session is
                    // over: the normal end.
                    if (ev == T_DISCONNECT)
                        t_rcvdis(fd, nullptr);
                    else
                        t_rcvrel(fd);
                    return {0, "Connection to " + label + " closed."};
                }
            } else if (n < 0 && t_errno != TNODATA && !(t_errno == TSYSERR && errno == EINTR)) {
                return {1, "connection to " + label + " failed: " + tli_text()};
            }
        }
        if (!out.empty() && (p[2].revents & POLLOUT)) {
            int n = t_snd(fd, reinterpret_cast<char *>(out.data()), static_cast<unsigned>(out.size()), 0);
            if (n > 0) {
                out.erase(out.begin(), out.begin() + n);
            } else if (n < 0 && t_errno == TLOOK) {
                // A disconnect: found by the next t_rcv.
            } else if (n < 0 && t_errno != TFLOW && !(t_errno == TSYSERR && errno == EINTR)) {
                return {1, "connection to " + label + " failed: " + tli_text()};
            }
        }
    }
}

} // namespace

int run(int argc, char **argv, const Directory &dir)
{
    bool list = false;
    int opt;
    opterr = 0;
    while ((opt = getopt(argc, argv, "+lh")) != -1) {
        switch (opt) {
        case 'l':
            list = true;
            break;
        case 'h':
            usage();
            return 0;
        default:
            std::fprintf(stderr, "zelterm: unknown option -%c\n", optopt);
            usage();
            return 2;
        }
    }
    if (list) {
        if (optind != argc) {
            usage();
            return 2;
        }
        return list_services(dir);
    }
    if (optind + 1 != argc) {
        usage();
        return 2;
    }

    std::string target = argv[optind];
    uint8_t addr[12];
    std::string error;
    std::string label;
    switch (parse_address(target, addr, error)) {
    case AddrParse::Bad:
        std::fprintf(stderr, "zelterm: %s: %s\n", target.c_str(), error.c_str());
        return 2;
    case AddrParse::Ok:
        label = format_address(addr);
        break;
    case AddrParse::NotAnAddress: {
        if (target.empty() || target.size() > kMaxName ||
            std::any_of(target.begin(), target.end(), [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; })) {
            std::fprintf(stderr, "zelterm: \"%s\" is not a service name (1 to %zu printable characters)\n",
                         target.c_str(), kMaxName);
            return 2;
        }
        // Service names are advertised in upper case.
        std::string name = target;
        for (char &c : name)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        ServiceEntry found;
        if (dir.find(name, kTerminalService, found, error) != 0) {
            std::fprintf(stderr, "zelterm: service %s not found%s%s\n", name.c_str(), error.empty() ? "" : ": ",
                         error.c_str());
            return 1;
        }
        std::memcpy(addr, found.addr, sizeof addr);
        label = name + " (" + format_address(addr) + ")";
        break;
    }
    }

    Endpoint ep;
    ep.fd = connect_to(addr, error);
    if (ep.fd < 0) {
        std::fprintf(stderr, "zelterm: %s: %s\n", label.c_str(), error.c_str());
        return 1;
    }

    if (pipe2(sig_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
        std::fprintf(stderr, "zelterm: pipe: %s\n", std::strerror(errno));
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGWINCH, SIGTERM, SIGHUP, SIGINT, SIGQUIT})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Outcome o = session(ep.fd, label);
    // The terminal is back in its own mode here.
    if (!o.message.empty())
        std::fprintf(stderr, o.status == 0 ? "\n%s\n" : "\nzelterm: %s\n", o.message.c_str());
    return o.status;
}

} // namespace zelterm
