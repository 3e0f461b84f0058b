#include "zelterm.h"

#include "proto.h"
#include "termcore.h"

#include <tiuser.h>

#include <fcntl.h>
#include <getopt.h>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelterm {

namespace {

const char *const kDevice = "/dev/ravspx";
constexpr size_t kMaxName = 47;         // longest SAP service name
constexpr size_t kQueueLimit = 16384;   // keyboard data waiting for the network
// Most bytes per t_rcv: the stack's largest piece, so that a t_rcv takes a
// piece without looking at it first.
constexpr size_t kNetChunk = 64 * 1024;
constexpr uint8_t kEndOfFile = 0x04;    // ^D, the usual end-of-file character

int sig_pipe[2] = {-1, -1};

void on_signal(int sig)
{
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    ssize_t r = write(sig_pipe[1], &b, 1);
    (void)r;
    errno = saved;
}

struct Config {
    bool list = false;
    bool quiet = false;
    int timeout_s = kDefaultConnectTimeout;
    std::string target;
};

// Progress and notices, which -q silences.
void note(const Config &cfg, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void note(const Config &cfg, const char *fmt, ...)
{
    if (cfg.quiet)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "zelterm: %s\n%s", what.c_str(), usage_text().c_str());
    return kOwnFailure;
}

std::string tli_text()
{
    std::string s = (t_errno > 0 && t_errno <= t_nerr) ? t_errlist[t_errno] : "error " + std::to_string(t_errno);
    if (t_errno == TSYSERR)
        s += std::string(": ") + std::strerror(errno);
    return s;
}

// A device that is missing, or that nobody answers on, means no stack.
bool no_stack()
{
    return t_errno == TSYSERR && (errno == ENOENT || errno == ECONNREFUSED);
}

// The endpoint's link to the stack broke: the stack daemon went away under
// the connection (it closes every endpoint only when it ends).
bool stack_gone()
{
    return t_errno == TSYSERR && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN);
}

const char *const kStartStack =
    "the IPX/SPX stack is not running; start ipxstackd as root "
    "(systemctl start ipxstackd, or /opt/DRAXipx/bin/ipxstackd)";

// The local terminal in raw mode while entered.
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
    void leave()
    {
        if (fd_ >= 0)
            tcsetattr(fd_, TCSADRAIN, &saved_);
        fd_ = -1;
    }
    ~RawMode() { leave(); }

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

bool write_all(int fd, const void *data, size_t n)
{
    const char *p = static_cast<const char *>(data);
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

// 0: run; 1: done (help or version shown); otherwise the exit status of a
// usage error.
int parse_args(int argc, char **argv, Config &cfg)
{
    static const struct option longs[] = {
        {"list", no_argument, nullptr, 'l'},
        {"quiet", no_argument, nullptr, 'q'},
        {"connect-timeout", required_argument, nullptr, 'w'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    optind = 1;
    int opt;
    while ((opt = getopt_long(argc, argv, "+:lqw:hV", longs, nullptr)) != -1) {
        switch (opt) {
        case 'l':
            cfg.list = true;
            break;
        case 'q':
            cfg.quiet = true;
            break;
        case 'w': {
            char *end = nullptr;
            errno = 0;
            long v = std::strtol(optarg, &end, 10);
            if (errno != 0 || end == optarg || *end != '\0' || v < 1 || v > kMaxConnectTimeout)
                return usage_error(std::string("bad connect timeout \"") + optarg + "\" (1 to " +
                                   std::to_string(kMaxConnectTimeout) + " seconds)");
            cfg.timeout_s = static_cast<int>(v);
            break;
        }
        case 'h':
            std::fputs(usage_text().c_str(), stdout);
            return 1;
        case 'V':
            std::fputs(version_text().c_str(), stdout);
            return 1;
        case ':':
            return usage_error(std::string("option ") + argv[optind - 1] + " needs a value");
        default:
            return usage_error(std::string("unknown option ") +
                               (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1]));
        }
    }
    if (cfg.list) {
        if (optind != argc)
            return usage_error("-l takes no service");
        return 0;
    }
    if (optind == argc)
        return usage_error("which service?");
    if (optind + 1 != argc)
        return usage_error("one service at a time");
    cfg.target = argv[optind];
    return 0;
}

int list_services(const Directory &dir)
{
    std::vector<ServiceEntry> found;
    std::string error;
    // 0xFFFF asks for services of every type.
    if (dir.list(0xFFFF, found, error) != 0) {
        Endpoint probe;
        probe.fd = t_open(kDevice, O_RDWR, nullptr);
        if (probe.fd < 0 && no_stack())
            std::fprintf(stderr, "zelterm: cannot list the services: %s\n", kStartStack);
        else
            std::fprintf(stderr, "zelterm: cannot list the services: %s\n", error.c_str());
        return kOwnFailure;
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

// A bound endpoint on the SPX device, or -1 with the reason in `error`.
int open_endpoint(std::string &error)
{
    int fd = t_open(kDevice, O_RDWR, nullptr);
    if (fd < 0) {
        error = no_stack() ? kStartStack : std::string("cannot open ") + kDevice + ": " + tli_text();
        return -1;
    }
    if (t_bind(fd, nullptr, nullptr) < 0) {
        error = "cannot bind an endpoint: " + tli_text();
        t_close(fd);
        return -1;
    }
    return fd;
}

// Connects `fd` to `addr`, waiting at most `timeout_s` for the answer.
// False with the reason in `error`.
bool connect_to(int fd, const uint8_t addr[12], int timeout_s, std::string &error)
{
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    uint8_t a[12];
    std::memcpy(a, addr, sizeof a);
    struct t_call call{};
    call.addr.maxlen = call.addr.len = sizeof a;
    call.addr.buf = reinterpret_cast<char *>(a);
    if (t_connect(fd, &call, nullptr) == 0)
        return true;
    if (t_errno != TNODATA && t_errno != TLOOK) {
        error = "cannot connect: " + tli_text();
        return false;
    }
    using Clock = std::chrono::steady_clock;
    auto until = Clock::now() + std::chrono::seconds(timeout_s);
    while (true) {
        int ev = t_look(fd);
        if (ev == T_CONNECT) {
            if (t_rcvconnect(fd, nullptr) == 0)
                return true;
            error = "cannot connect: " + tli_text();
            return false;
        }
        if (ev == T_DISCONNECT) {
            struct t_discon dis{};
            t_rcvdis(fd, &dis);
            error = refusal_text(dis.reason);
            return false;
        }
        if (ev < 0) {
            error = "cannot connect: " + tli_text();
            return false;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) {
            // Withdraws the request at the other end.
            t_snddis(fd, nullptr);
            error = "no answer within " + std::to_string(timeout_s) + (timeout_s == 1 ? " second" : " seconds");
            return false;
        }
        struct pollfd p{fd, POLLIN, 0};
        poll(&p, 1, static_cast<int>(left));
    }
}

struct Outcome {
    int status;
    std::string message;
    bool error;  // shown as zelterm's complaint (else only on a terminal)
};

// The session proper, with the local terminal raw while it runs (when
// standard input is one).
class Session {
public:
    Session(int fd, std::string label, bool tty) : fd_(fd), label_(std::move(label)), tty_(tty) {}
    Outcome run();

private:
    bool take_keys(const uint8_t *buf, size_t n, Outcome &end);
    void input_ended();
    Outcome ended(int reason);
    Outcome failed();
    void suspend();
    bool output(const std::vector<uint8_t> &data);

    int fd_;
    std::string label_;
    bool tty_;
    RawMode raw_;
    std::vector<uint8_t> out_;
    std::unique_ptr<uint8_t[]> net_buf_{new uint8_t[kNetChunk]};
    zelproto::OutputDecoder dec_;
    EscapeDetector escape_;
    bool stdin_open_ = true;
    bool input_ended_ = false;
    bool eof_key_sent_ = false;
    bool have_status_ = false;
    int status_ = 0;
};

Outcome Session::run()
{
    if (tty_)
        raw_.enter(0);
    const char *term = std::getenv("TERM");
    zelproto::encode_hello(term != nullptr && zelproto::valid_term(term) ? term : "dumb", local_window(), out_);

    while (true) {
        struct pollfd p[3];
        p[0] = {sig_pipe[0], POLLIN, 0};
        p[1] = {stdin_open_ && out_.size() < kQueueLimit ? 0 : -1, POLLIN, 0};
        p[2] = {fd_, static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0};
        if (poll(p, 3, -1) < 0 && errno != EINTR)
            return {kOwnFailure, std::string("poll: ") + std::strerror(errno), true};

        if (p[0].revents) {
            unsigned char sigs[32];
            ssize_t n = read(sig_pipe[0], sigs, sizeof sigs);
            for (ssize_t i = 0; i < n; ++i) {
                if (sigs[i] == SIGWINCH) {
                    zelproto::encode_window(local_window(), out_);
                } else {
                    t_snddis(fd_, nullptr);
                    return {kOwnFailure, "ended by signal " + std::to_string(sigs[i]) + "; connection to " + label_ +
                                             " closed", true};
                }
            }
        }
        if (p[1].revents) {
            uint8_t buf[4096];
            ssize_t n = read(0, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                // Nothing more to type; the session goes on until the
                // server ends it.
                stdin_open_ = false;
                input_ended();
            } else if (n > 0) {
                Outcome end;
                if (!take_keys(buf, static_cast<size_t>(n), end))
                    return end;
                // Typed keys go at once, without another poll.
                if (!out_.empty())
                    p[2].revents |= POLLOUT;
            }
        }
        if (p[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            // As much as the stack pushes in one piece.
            uint8_t *buf = net_buf_.get();
            int flags = 0;
            int n = t_rcv(fd_, reinterpret_cast<char *>(buf), static_cast<unsigned>(kNetChunk), &flags);
            if (n > 0) {
                std::vector<uint8_t> data;
                std::vector<zelproto::Event> events;
                dec_.feed(buf, static_cast<size_t>(n), data, events);
                if (!output(data))
                    return {kOwnFailure, std::string("cannot write the output: ") + std::strerror(errno), true};
                for (const auto &e : events) {
                    if (e.kind == zelproto::Event::Exit) {
                        have_status_ = true;
                        status_ = exit_status_of(e.exit);
                    }
                }
                if (input_ended_)
                    input_ended();  // the server's version may be known now
            } else if (n < 0 && t_errno == TLOOK) {
                int ev = t_look(fd_);
                if (ev == T_DISCONNECT) {
                    struct t_discon dis{};
                    t_rcvdis(fd_, &dis);
                    return ended(dis.reason);
                }
                if (ev == T_ORDREL) {
                    t_rcvrel(fd_);
                    return ended(1);
                }
            } else if (n < 0 && t_errno != TNODATA && !(t_errno == TSYSERR && errno == EINTR)) {
                return failed();
            }
        }
        if (!out_.empty() && (p[2].revents & POLLOUT)) {
            int n = t_snd(fd_, reinterpret_cast<char *>(out_.data()), static_cast<unsigned>(out_.size()), 0);
            if (n > 0) {
                out_.erase(out_.begin(), out_.begin() + n);
            } else if (n < 0 && t_errno == TLOOK) {
                // A disconnect: found by the next t_rcv.
            } else if (n < 0 && t_errno != TFLOW && !(t_errno == TSYSERR && errno == EINTR)) {
                return failed();
            }
        }
    }
}

// Typed input: escapes act (on a terminal), the rest is queued. False with
// `end` set when the session is to end.
bool Session::take_keys(const uint8_t *buf, size_t n, Outcome &end)
{
    if (!tty_) {
        zelproto::encode_data(buf, n, out_);
        return true;
    }
    while (n > 0) {
        std::string keys;
        size_t used = 0;
        Escape e = escape_.feed(buf, n, keys, used);
        zelproto::encode_data(reinterpret_cast<const uint8_t *>(keys.data()), keys.size(), out_);
        buf += used;
        n -= used;
        switch (e) {
        case Escape::None:
            break;
        case Escape::Quit:
            // What was typed before the escape goes first, as far as the
            // connection takes it now.
            if (!out_.empty())
                t_snd(fd_, reinterpret_cast<char *>(out_.data()), static_cast<unsigned>(out_.size()), 0);
            t_snddis(fd_, nullptr);
            end = {kOwnFailure, "Connection to " + label_ + " closed.", false};
            return false;
        case Escape::Help: {
            std::string text = "~?\r\n" + escape_help();
            write_all(2, text.data(), text.size());
            break;
        }
        case Escape::Suspend:
            suspend();
            break;
        }
    }
    return true;
}

// The local input is over: the server types end-of-file for it. A server of
// the first version knows no such message; it gets the usual ^D instead,
// once its version shows in what it sends.
void Session::input_ended()
{
    if (!input_ended_) {
        input_ended_ = true;
        zelproto::encode_end_of_input(out_);
    }
    if (!eof_key_sent_ && dec_.mode() == zelproto::OutputDecoder::Mode::Raw) {
        eof_key_sent_ = true;
        zelproto::encode_data(&kEndOfFile, 1, out_);
    }
}

void Session::suspend()
{
    const char msg[] = "~^Z [suspend zelterm]\r\n";
    write_all(2, msg, sizeof msg - 1);
    raw_.leave();
    kill(getpid(), SIGTSTP);
    // Continued: the terminal may have changed meanwhile.
    raw_.enter(0);
    zelproto::encode_window(local_window(), out_);
}

bool Session::output(const std::vector<uint8_t> &data)
{
    return data.empty() || write_all(1, data.data(), data.size());
}

// A TLI call on the connection failed (not a disconnect).
Outcome Session::failed()
{
    if (stack_gone())
        return {kOwnFailure, "connection to " + label_ + " lost: the IPX/SPX stack (ipxstackd) stopped", true};
    return {kOwnFailure, "connection to " + label_ + " failed: " + tli_text(), true};
}

Outcome Session::ended(int reason)
{
    std::vector<uint8_t> rest;
    dec_.finish(rest);
    output(rest);
    if (have_status_)
        return {status_, "Connection to " + label_ + " closed.", false};
    if (reason == 1) {
        // A server of the first version sends no status: its disconnect is
        // the normal end.
        if (dec_.mode() == zelproto::OutputDecoder::Mode::Raw)
            return {0, "Connection to " + label_ + " closed.", false};
        if (dec_.mode() == zelproto::OutputDecoder::Mode::Framed)
            return {kOwnFailure, "connection to " + label_ + " closed without the command's exit status", true};
        return {kOwnFailure, "connection to " + label_ + " closed before the session started", true};
    }
    return {kOwnFailure, "connection to " + label_ + " lost: " + refusal_text(reason), true};
}

} // namespace

int run(int argc, char **argv, const Directory &dir)
{
    Config cfg;
    int parsed = parse_args(argc, argv, cfg);
    if (parsed == 1)
        return 0;
    if (parsed != 0)
        return parsed;
    if (cfg.list)
        return list_services(dir);

    uint8_t addr[12];
    std::string error;
    std::string label;
    std::string name;
    switch (parse_address(cfg.target, addr, error)) {
    case AddrParse::Bad:
        return usage_error(cfg.target + ": " + error);
    case AddrParse::Ok:
        label = format_address(addr);
        break;
    case AddrParse::NotAnAddress:
        if (cfg.target.empty() || cfg.target.size() > kMaxName ||
            std::any_of(cfg.target.begin(), cfg.target.end(),
                        [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; }))
            return usage_error("\"" + cfg.target + "\" is not a service name (1 to " + std::to_string(kMaxName) +
                               " printable characters)");
        // Service names are advertised in upper case.
        name = cfg.target;
        for (char &c : name)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        break;
    }

    const bool tty = isatty(0);
    if (!tty)
        note(cfg, "zelterm: standard input is not a terminal: its contents are typed into the session and its "
                  "end is sent as end-of-file; no escapes\n");

    // The stack first: without it there is nothing to look up either.
    Endpoint ep;
    ep.fd = open_endpoint(error);
    if (ep.fd < 0) {
        std::fprintf(stderr, "zelterm: %s\n", error.c_str());
        return kOwnFailure;
    }
    if (!name.empty()) {
        ServiceEntry found;
        int r = dir.find(name, kTerminalService, found, error);
        if (r == 1) {
            std::fprintf(stderr, "zelterm: service %s is not advertised (zelterm -l lists those that are)\n",
                         name.c_str());
            return kOwnFailure;
        }
        if (r != 0) {
            std::fprintf(stderr, "zelterm: cannot look up service %s: %s\n", name.c_str(), error.c_str());
            return kOwnFailure;
        }
        std::memcpy(addr, found.addr, sizeof addr);
        label = name + " (" + format_address(addr) + ")";
    }

    note(cfg, "Trying %s...\n", label.c_str());
    if (!connect_to(ep.fd, addr, cfg.timeout_s, error)) {
        std::fprintf(stderr, "zelterm: %s: %s\n", label.c_str(), error.c_str());
        return kOwnFailure;
    }
    if (tty)
        note(cfg, "Connected to %s.\nEscape character is '~'.\n", label.c_str());

    if (pipe2(sig_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
        std::fprintf(stderr, "zelterm: pipe: %s\n", std::strerror(errno));
        return kOwnFailure;
    }
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGWINCH, SIGTERM, SIGHUP, SIGINT, SIGQUIT})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Outcome o = Session(ep.fd, label, tty).run();
    // The terminal is back in its own mode here.
    if (o.error)
        std::fprintf(stderr, tty ? "\nzelterm: %s\n" : "zelterm: %s\n", o.message.c_str());
    else if (tty)
        note(cfg, "\n%s\n", o.message.c_str());
    return o.status;
}

} // namespace zelterm
