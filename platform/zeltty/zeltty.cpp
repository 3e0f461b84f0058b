#include "zeltty.h"

#include "bytequeue.h"
#include "netconn.h"

#include <tiuser.h>

#include <fcntl.h>
#include <paths.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

namespace zeltty {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kNet = 0;              // the connection, as the listener hands it over
constexpr size_t kQueueSize = 128 * 1024;  // per direction
// Most bytes per t_snd and t_rcv: the stack's largest piece, so that a
// t_rcv takes a piece without looking at it first.
constexpr size_t kNetChunk = 64 * 1024;
// A pseudo-terminal moves about this much per read or write.
constexpr size_t kPtyChunk = 4096;
// Reads of the terminal gathered before one t_snd.
constexpr int kPtyReads = 16;
// Used when the client sends no hello, or an unacceptable one.
const char *const kDefaultTerm = "dumb";
constexpr zelproto::WindowSize kDefaultWindow{24, 80, 0, 0};

int sig_pipe[2] = {-1, -1};

void on_signal(int sig)
{
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    ssize_t r = write(sig_pipe[1], &b, 1);
    (void)r;
    errno = saved;
}

void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void report(const char *fmt, ...)
{
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    syslog(LOG_NOTICE, "%s", msg);
    dprintf(2, "Zeltty: %s\n", msg);
}

int ms_until(Clock::time_point t)
{
    auto d = std::chrono::duration_cast<milliseconds>(t - Clock::now()).count();
    return d < 0 ? 0 : static_cast<int>(std::min<long long>(d, 60000)) + 1;
}

bool install_signals(std::string &error)
{
    if (pipe2(sig_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGCHLD, SIGTERM, SIGHUP, SIGINT})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

std::string status_text(const zelproto::ExitStatus &st)
{
    if (st.kind == zelproto::ExitStatus::Signalled)
        return "killed by signal " + std::to_string(st.value);
    return "exit status " + std::to_string(st.value);
}

// Watches over a session from outside it: when Zeltty ends without saying
// so on the pipe (it was killed), the guard hangs the session up, closes its
// login record and logs the end. Nothing else of Zeltty's stays open in it:
// neither the connection, which must end with Zeltty, nor the terminal, nor
// the listener's output.
void run_guard(int from_zeltty, const Options &opts, pid_t leader, const std::string &line, const std::string &what)
{
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGPIPE, SIGCHLD})
        signal(sig, sig == SIGCHLD ? SIG_DFL : SIG_IGN);
    if (from_zeltty != 3) {
        dup2(from_zeltty, 3);
        from_zeltty = 3;
    }
    close_from(4);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        for (int fd = 0; fd <= 2; ++fd)
            dup2(null, fd);
        if (null > 3)
            close(null);
    }
    char b;
    ssize_t r;
    while ((r = read(from_zeltty, &b, 1)) < 0 && errno == EINTR) {
    }
    if (r == 1)
        _exit(0);  // Zeltty ended the session itself
    hang_up_session(leader);
    utmp_end(opts.files, leader, line);
    if (opts.log)
        opts.log(LOG_AUTH | LOG_INFO, "session end: " + what + ": Zeltty ended unexpectedly; the session was hung up");
    _exit(0);
}

class Server {
public:
    Server(const Options &opts, std::vector<std::string> command)
        : opts_(opts), command_(std::move(command))
    {
    }
    int run();

private:
    bool await_hello();
    bool start();
    void start_guard();
    void relay();
    void end_session(bool disconnect);
    void wait_gone();

    void read_net();
    void write_net();
    void read_pty();
    void write_pty();
    void type_end_of_input();
    void handle(const zelproto::Event &e);
    void set_window(const zelproto::WindowSize &ws);
    void take_signals();
    void reap();
    void leader_ended(int status);
    void output(const std::string &text);
    void log(const std::string &text);

    Options opts_;
    std::vector<std::string> command_;
    zelproto::Decoder decoder_;
    ByteQueue to_pty_{kQueueSize};
    ByteQueue to_net_{kQueueSize};
    std::unique_ptr<uint8_t[]> net_buf_{new uint8_t[kNetChunk]};
    std::string term_ = kDefaultTerm;
    zelproto::WindowSize window_ = kDefaultWindow;
    bool hello_ = false;
    // The client speaks version 2 or later: the output is framed and ends
    // with the command's exit status.
    bool framed_ = false;
    // The client's input ended; the terminal's end-of-file character is
    // typed once what came before it has been.
    bool input_ended_ = false;
    bool eof_typed_ = false;
    uint8_t last_typed_ = '\n';
    Pty pty_;
    std::vector<uint8_t> enc_;  // framed output, reused
    std::string line_;
    std::string caller_;
    std::string what_;  // "caller C, line L, pid P": how the log names the session
    pid_t leader_ = -1;
    bool leader_done_ = false;
    zelproto::ExitStatus status_;
    bool status_queued_ = false;
    bool net_open_ = true;
    bool pty_eof_ = false;
    bool stop_ = false;
    Fd guard_;
    Clock::time_point pty_pause_until_{};
    Clock::time_point give_up_at_{};
    Clock::time_point flush_by_{};
    Clock::time_point next_look_{};
};

int Server::run()
{
    if (opts_.peer)
        caller_ = opts_.peer();
    if (!await_hello())
        return 0;  // the client left, or we were told to stop, before anything started
    if (!start()) {
        // Tell the client why, as far as the connection takes it.
        auto until = Clock::now() + milliseconds(opts_.flush_timeout_ms);
        while (net_open_ && !to_net_.empty() && Clock::now() < until) {
            struct pollfd p{kNet, POLLOUT, 0};
            poll(&p, 1, ms_until(until));
            write_net();
        }
        if (net_open_)
            net_disconnect(kNet);
        return 1;
    }
    relay();
    return 0;
}

// The client's hello comes first: the pty gets the right size and the
// command the right TERM from the start. A client that types before its
// hello (or sends none) gets the defaults; nothing it sent is lost.
bool Server::await_hello()
{
    auto until = Clock::now() + milliseconds(opts_.hello_timeout_ms);
    while (!hello_ && to_pty_.empty()) {
        int left = ms_until(until);
        if (Clock::now() >= until)
            break;
        struct pollfd p[2] = {{kNet, POLLIN, 0}, {sig_pipe[0], POLLIN, 0}};
        if (poll(p, 2, left) < 0 && errno != EINTR)
            break;
        if (p[1].revents)
            take_signals();
        if (stop_)
            return false;
        if (p[0].revents)
            read_net();
        if (!net_open_)
            return false;
    }
    return true;
}

bool Server::start()
{
    std::string error;
    if (!open_pty(pty_, window_, error)) {
        report("%s", error.c_str());
        output("Zeltty: " + error + "\r\n");
        return false;
    }
    line_ = tty_line(pty_.path);
    leader_ = start_session(pty_, command_, term_, caller_, opts_.files, error);
    pty_.slave.reset();  // the session holds the only copies from now on
    if (leader_ < 0) {
        report("%s", error.c_str());
        output("Zeltty: " + error + "\r\n");
        return false;
    }
    what_ = "caller " + (caller_.empty() ? std::string("unknown") : caller_) + ", line " + line_ + ", pid " +
            std::to_string(leader_);
    std::string cmd;
    for (const auto &w : command_)
        cmd += (cmd.empty() ? "" : " ") + w;
    log("session start: " + what_ + ", command " + cmd);
    start_guard();
    return true;
}

void Server::start_guard()
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0) {
        report("no guard for the session: pipe: %s", std::strerror(errno));
        return;
    }
    pid_t g = fork();
    if (g == 0) {
        close(p[1]);
        run_guard(p[0], opts_, leader_, line_, what_);
    }
    close(p[0]);
    if (g < 0) {
        report("no guard for the session: fork: %s", std::strerror(errno));
        close(p[1]);
        return;
    }
    guard_.reset(p[1]);
}

void Server::relay()
{
    while (true) {
        auto now = Clock::now();
        if (!net_open_ || stop_)
            break;
        if (leader_done_) {
            if (!pty_eof_ && now >= give_up_at_) {
                // Whatever still holds the terminal ignored the hang-up: its
                // output is not waited for any longer.
                pty_eof_ = true;
                flush_by_ = now + milliseconds(opts_.flush_timeout_ms);
            }
            if (pty_eof_ && framed_ && !status_queued_ && to_net_.space() >= 5) {
                std::vector<uint8_t> m;
                zelproto::encode_exit(status_, m);
                to_net_.push(m.data(), m.size());
                status_queued_ = true;
            }
            if (pty_eof_ && to_net_.empty() && (status_queued_ || !framed_))
                break;
            if (pty_eof_ && now >= flush_by_)
                break;  // the client does not take the rest
        }

        struct pollfd p[3];
        p[0] = {sig_pipe[0], POLLIN, 0};
        p[1] = {-1, 0, 0};
        p[2] = {-1, 0, 0};
        int timeout = -1;
        auto limit = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };

        short net_events = 0;
        if (!to_net_.empty())
            net_events |= POLLOUT;
        if (to_pty_.space() > 0 || leader_done_)
            net_events |= POLLIN;
        else
            limit(500);  // not reading: look for a disconnect now and then
        if (net_events != 0)
            p[1] = {kNet, net_events, 0};

        bool pty_paused = now < pty_pause_until_;
        if (pty_.master.valid() && !pty_eof_ && !pty_paused) {
            short ev = 0;
            if (to_net_.space() >= 2)
                ev |= POLLIN;
            if ((!to_pty_.empty() || (input_ended_ && !eof_typed_)) && !leader_done_)
                ev |= POLLOUT;
            if (ev != 0)
                p[2] = {pty_.master.get(), ev, 0};
        }
        if (pty_paused)
            limit(ms_until(pty_pause_until_));
        if (leader_done_)
            limit(ms_until(pty_eof_ ? flush_by_ : give_up_at_));

        int n = poll(p, 3, timeout);
        if (n < 0 && errno != EINTR) {
            report("poll: %s", std::strerror(errno));
            break;
        }
        if (p[0].revents)
            take_signals();
        if (p[2].revents & (POLLIN | POLLHUP | POLLERR))
            read_pty();
        if (p[2].revents & POLLOUT)
            write_pty();
        if (p[1].revents & (POLLIN | POLLHUP | POLLERR))
            read_net();
        if (net_open_ && (p[1].revents & POLLOUT))
            write_net();
        if (net_open_ && p[1].fd < 0 && Clock::now() >= next_look_) {
            // Not reading the connection: a disconnect would go unseen.
            next_look_ = Clock::now() + milliseconds(500);
            if (net_closed(kNet))
                net_open_ = false;
        }
    }
    end_session(net_open_);
}

void Server::read_net()
{
    uint8_t *raw = net_buf_.get();
    size_t want = leader_done_ ? kNetChunk : std::min(kNetChunk, to_pty_.space());
    if (want == 0)
        return;
    NetResult r = net_recv(kNet, raw, want);
    if (r.status == NetStatus::Closed) {
        net_open_ = false;
        return;
    }
    if (r.status == NetStatus::Error) {
        report("connection failed: %s", r.error.c_str());
        net_open_ = false;
        return;
    }
    if (r.n == 0)
        return;
    std::vector<uint8_t> data;
    std::vector<zelproto::Event> events;
    decoder_.feed(raw, r.n, data, events);
    // Decoding never makes the data longer than what was read, so it fits.
    if (!leader_done_ && !input_ended_)
        to_pty_.push(data.data(), data.size());
    // A window change takes effect at once, ahead of the keyboard data
    // still queued for the command.
    for (const auto &e : events)
        handle(e);
    // What was typed goes on at once (the terminal usually takes it).
    if (!to_pty_.empty() && pty_.master.valid() && !leader_done_ && Clock::now() >= pty_pause_until_)
        write_pty();
}

void Server::handle(const zelproto::Event &e)
{
    switch (e.kind) {
    case zelproto::Event::Hello:
        if (!e.problem.empty())
            report("client hello: %s", e.problem.c_str());
        // Only a hello that comes before any typed data opens the session;
        // a later one (even in the same packet) only changes the size.
        if (!hello_ && !e.after_data && leader_ < 0) {
            if (!e.term.empty())
                term_ = e.term;
            if (e.version >= 2) {
                framed_ = true;
                std::vector<uint8_t> m;
                zelproto::encode_server_hello(m);
                to_net_.push(m.data(), m.size());
            }
        }
        hello_ = true;
        if (e.window.rows != 0)
            set_window(e.window);
        break;
    case zelproto::Event::Window:
        set_window(e.window);
        break;
    case zelproto::Event::EndOfInput:
        input_ended_ = true;
        break;
    case zelproto::Event::Invalid:
        report("client message ignored: %s", e.problem.c_str());
        break;
    default:
        break;
    }
}

void Server::set_window(const zelproto::WindowSize &ws)
{
    window_ = ws;
    if (!pty_.master.valid())
        return;
    struct winsize w{};
    w.ws_row = ws.rows;
    w.ws_col = ws.cols;
    w.ws_xpixel = ws.xpixel;
    w.ws_ypixel = ws.ypixel;
    // The kernel signals SIGWINCH to the terminal's foreground group.
    ioctl(pty_.master.get(), TIOCSWINSZ, &w);
}

void Server::write_net()
{
    while (!to_net_.empty()) {
        NetResult r = net_send(kNet, to_net_.data(), std::min(to_net_.size(), kNetChunk));
        if (r.status == NetStatus::Ok && r.n > 0) {
            to_net_.consume(r.n);
            continue;
        }
        if (r.status == NetStatus::Closed || r.status == NetStatus::Error) {
            if (r.status == NetStatus::Error)
                report("connection failed: %s", r.error.c_str());
            net_open_ = false;
        }
        return;
    }
}

// The terminal's output is gathered (a pty gives a few KiB per read) into
// one t_snd, which goes at once.
void Server::read_pty()
{
    ssize_t r = 1;
    for (int i = 0; i < kPtyReads; i++) {
        // Framed output may double every byte.
        size_t want = std::min(framed_ ? to_net_.space() / 2 : to_net_.space(), kPtyChunk);
        if (want == 0)
            break;
        uint8_t buf[kPtyChunk];
        uint8_t *into = framed_ ? buf : to_net_.tail();
        r = read(pty_.master.get(), into, want);
        if (r <= 0)
            break;
        if (!framed_) {
            to_net_.commit(static_cast<size_t>(r));
        } else {
            enc_.clear();
            zelproto::encode_data(buf, static_cast<size_t>(r), enc_);
            to_net_.push(enc_.data(), enc_.size());
        }
        if (static_cast<size_t>(r) < want)
            break;  // all there was
    }
    const int err = errno;
    if (net_open_ && !to_net_.empty())
        write_net();
    if (r > 0 || (r < 0 && (err == EAGAIN || err == EINTR)))
        return;
    // EIO: no process holds the terminal any more. While the command still
    // runs this is login's hang-up of its terminal: it comes back.
    if (leader_done_) {
        pty_eof_ = true;
        flush_by_ = Clock::now() + milliseconds(opts_.flush_timeout_ms);
    } else {
        pty_pause_until_ = Clock::now() + milliseconds(50);
    }
}

void Server::write_pty()
{
    if (to_pty_.empty()) {
        if (input_ended_ && !eof_typed_)
            type_end_of_input();
        return;
    }
    ssize_t r = write(pty_.master.get(), to_pty_.data(), std::min(to_pty_.size(), kPtyChunk));
    if (r > 0) {
        last_typed_ = to_pty_.data()[r - 1];
        to_pty_.consume(static_cast<size_t>(r));
    } else if (r < 0 && errno == EIO) {
        pty_pause_until_ = Clock::now() + milliseconds(50);
    }
}

// The client's input ended: the command reads end-of-file, as when the
// user types the terminal's EOF character (^D) at the start of a line. A
// line typed without its end needs it twice (the first ends the line).
void Server::type_end_of_input()
{
    struct termios t{};
    if (tcgetattr(pty_.master.get(), &t) < 0)
        return;
    uint8_t eof = t.c_cc[VEOF];
    uint8_t keys[2] = {eof, eof};
    bool line_open = (t.c_lflag & ICANON) && last_typed_ != '\n' && last_typed_ != '\r' &&
                     last_typed_ != eof && last_typed_ != t.c_cc[VEOL];
    ssize_t n = line_open ? 2 : 1;
    if (write(pty_.master.get(), keys, static_cast<size_t>(n)) == n)
        eof_typed_ = true;
    else if (errno == EIO)
        pty_pause_until_ = Clock::now() + milliseconds(50);
    else if (errno != EAGAIN && errno != EINTR)
        eof_typed_ = true;  // nothing more to be done
}

void Server::output(const std::string &text)
{
    std::vector<uint8_t> enc;
    if (framed_)
        zelproto::encode_data(reinterpret_cast<const uint8_t *>(text.data()), text.size(), enc);
    else
        enc.assign(text.begin(), text.end());
    to_net_.push(enc.data(), enc.size());
}

void Server::log(const std::string &text)
{
    if (opts_.log)
        opts_.log(LOG_AUTH | LOG_INFO, text);
}

void Server::take_signals()
{
    unsigned char sigs[64];
    ssize_t n;
    while ((n = read(sig_pipe[0], sigs, sizeof sigs)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            if (sigs[i] == SIGTERM || sigs[i] == SIGHUP || sigs[i] == SIGINT)
                stop_ = true;
    }
    reap();
}

// Collects every ended child: the command, the guard, and (as the
// session's reaper) whatever of the session was orphaned.
void Server::reap()
{
    int status;
    pid_t p;
    while ((p = waitpid(-1, &status, WNOHANG)) > 0) {
        if (p == leader_ && !leader_done_)
            leader_ended(status);
    }
}

void Server::leader_ended(int status)
{
    leader_done_ = true;
    if (WIFSIGNALED(status))
        status_ = {zelproto::ExitStatus::Signalled, static_cast<uint8_t>(WTERMSIG(status))};
    else
        status_ = {zelproto::ExitStatus::Exited, static_cast<uint8_t>(WEXITSTATUS(status))};
    to_pty_.clear();
    // The rest of the session is hung up now; its last output still reaches
    // the client.
    hang_up_session(leader_);
    give_up_at_ = Clock::now() + milliseconds(opts_.grace_ms);
}

void Server::end_session(bool disconnect)
{
    std::string how;
    if (leader_done_)
        how = status_text(status_);
    else
        how = stop_ ? "Zeltty was stopped" : "the caller disconnected";
    if (!leader_done_) {
        // The connection dropped (or we were stopped): hang up the session.
        kill(leader_, SIGHUP);
        hang_up_session(leader_);
    }
    // Closing the master hangs up the terminal: nothing can use it any more.
    pty_.master.reset();
    if (disconnect && net_open_)
        net_disconnect(kNet);
    wait_gone();
    utmp_end(opts_.files, leader_, line_);
    log("session end: " + what_ + ": " + how);
    if (guard_.valid()) {
        char done = 'x';
        ssize_t r = write(guard_.get(), &done, 1);
        (void)r;
        guard_.reset();
    }
    t_close(kNet);
}

// The session's processes have had their hang-up: give them a while to
// end, collecting those that are ours. What ignores the hang-up (a job
// started with nohup) goes on running.
void Server::wait_gone()
{
    auto until = Clock::now() + milliseconds(opts_.grace_ms);
    while (true) {
        reap();
        // Ended members count until they are collected: the session's
        // orphans are ours to collect, and we do not leave them to init.
        size_t left = session_members(leader_, true).size();
        if (left == 0)
            return;
        if (Clock::now() >= until) {
            size_t running = session_members(leader_).size();
            if (running > 0)
                log("session " + what_ + ": " + std::to_string(running) +
                    " process(es) ignore the hang-up and go on running");
            return;
        }
        // Our own children announce their end; other members are looked
        // for again shortly.
        struct pollfd p{sig_pipe[0], POLLIN, 0};
        poll(&p, 1, 20);
        unsigned char sink[64];
        while (read(sig_pipe[0], sink, sizeof sink) > 0) {
        }
    }
}

} // namespace

Options default_options()
{
    Options o;
    o.files.utmp = _PATH_UTMP;
    o.files.wtmp = _PATH_WTMP;
    o.log = [](int priority, const std::string &text) { syslog(priority, "%s", text.c_str()); };
    return o;
}

int run(int argc, char **argv, const Options &opts)
{
    // Nothing the listener had open (its listening endpoint, event log,
    // trace file) may reach the session.
    close_from(3);
    if (fcntl(kNet, F_GETFD) < 0) {
        dprintf(2, "Zeltty: no connection on descriptor 0\n");
        return 1;
    }
    for (int fd = 1; fd <= 2; ++fd) {
        // Keep 1 and 2 taken, so that nothing we open lands there.
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0)
            return 1;
    }
    openlog("Zeltty", LOG_PID, LOG_DAEMON);

    int state = t_sync(kNet);
    if (state < 0) {
        report("descriptor 0 is not a transport endpoint (t_errno %d)", t_errno);
        return 1;
    }
    if (state != T_DATAXFER) {
        report("the endpoint on descriptor 0 is not connected (state %d)", state);
        return 1;
    }
    int fl = fcntl(kNet, F_GETFL);
    if (fl < 0 || fcntl(kNet, F_SETFL, fl | O_NONBLOCK) < 0) {
        report("cannot make the connection non-blocking: %s", std::strerror(errno));
        return 1;
    }

    std::vector<std::string> command;
    for (int i = 1; i < argc; ++i)
        command.emplace_back(argv[i]);
    if (command.empty())
        command.emplace_back("/bin/login");

    std::string error;
    if (!install_signals(error)) {
        report("%s", error.c_str());
        return 1;
    }
    // Orphans of the session become our children, so that we see them end.
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    Server server(opts, std::move(command));
    return server.run();
}

} // namespace zeltty
