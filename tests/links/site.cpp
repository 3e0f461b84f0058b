#include "site.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <sstream>
#include <thread>

namespace links {

namespace {

const char *const kBin = "/opt/DRAXipx/bin";

// Printable lines that the session's shell takes as they are (no '~').
std::string text_data(size_t n, unsigned seed)
{
    static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s(n, '\n');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        if (i % 65 == 64)
            continue;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = abc[x % 64];
    }
    return s;
}

} // namespace

bool send_udp(const std::string &to, uint16_t port, const std::vector<std::vector<uint8_t>> &dgrams)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, to.c_str(), &sa.sin_addr);
    bool ok = s >= 0;
    for (const auto &d : dgrams)
        ok = ok && sendto(s, d.data(), d.size(), 0, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) >= 0;
    if (s >= 0)
        close(s);
    return ok;
}

std::vector<std::string> split(const std::string &row, char sep)
{
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(row);
    while (std::getline(in, cur, sep))
        out.push_back(cur);
    if (!row.empty() && row.back() == sep)
        out.push_back("");
    return out;
}

Site::Site()
{
    if (!enter_sandbox(why_))
        return;
    for (const auto &[from, name] : {std::pair{ZELTTY_PATH, "Zeltty"}, std::pair{ZELPTYD_PATH, "Zelptyd"}})
        if (!copy_file(from, std::string(kBin) + "/" + name))
            why_ = std::string("cannot install ") + name;
    if (!lan_.ok())
        why_ = "cannot make a bridge";
}

Site::~Site()
{
    for (auto &[n, h] : nodes_) {
        if (h.ptyd) {
            Proc::Options o;
            o.env = h.env();
            Proc k = h.host->start({std::string(kBin) + "/Zelptyd", "-k"}, o);
            k.wait_exit();
        }
        for (Proc *p : {&h.extra, &h.ombrad, &h.stack})
            if (p->pid() > 0) {
                p->signal(SIGTERM);
                p->wait_exit();
            }
    }
}

Node &Site::host(int n, const std::vector<int> &lans)
{
    auto it = nodes_.find(n);
    if (it != nodes_.end())
        return it->second;
    Node &h = nodes_[n];
    h.host = std::make_unique<Host>(n);
    h.dev = std::make_unique<TempDir>();
    std::string why;
    if (!h.host->ok()) {
        why_ = "cannot make host " + std::to_string(n);
        return h;
    }
    int iface = 0;
    for (int k : lans) {
        Lan *lan = &lan_;
        if (k != 0) {
            auto &l = more_lans_[k];
            if (!l)
                l = std::make_unique<Lan>();
            lan = l.get();
        }
        if (!lan->ok() || !lan->attach(*h.host, why, "eth" + std::to_string(iface++), k))
            why_ = "host " + std::to_string(n) + " on LAN " + std::to_string(k) + ": " + why;
    }
    return h;
}

Node &Site::here(int n)
{
    auto it = nodes_.find(n);
    if (it != nodes_.end())
        return it->second;
    Node &h = nodes_[n];
    h.host = std::make_unique<Host>(n, true);
    h.dev = std::make_unique<TempDir>();
    if (!h.host->ok())
        why_ = "cannot open the test's namespace";
    return h;
}

bool Site::start_ready(Node &h, Proc &p, const std::vector<std::string> &argv)
{
    Proc::Options o;
    o.env = h.env();
    o.netns_fd = h.host->ns_fd();
    std::string why;
    bool ok = testsupport::start_ready(p, argv, o, 20s, why);
    if (!ok)
        why_ = why;
    return ok;
}

bool Site::stack(int n, const std::vector<std::string> &args)
{
    Node &h = host(n);
    std::vector<std::string> argv = {IPXSTACKD_PATH, "-f", "--dev-dir", h.dev->path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return why_.empty() && start_ready(h, h.stack, argv);
}

bool Site::ombrad(int n)
{
    Node &h = host(n);
    return start_ready(h, h.ombrad, {OMBRAD_PATH, "-f", "--state-file", *h.dev / "Ombrad.state"});
}

bool Site::service(int n, int seen_from)
{
    Node &h = host(n);
    if (!ombrad(n))
        return false;
    Proc::Options o;
    o.env = h.env();
    o.cwd = kBin;
    Proc ptyd = h.host->start({std::string(kBin) + "/Zelptyd", "-n", "zeltest", "/bin/sh"}, o);
    if (ptyd.wait_exit(10s) != 0) {
        why_ = "Zelptyd did not start: " + ptyd.err() + ptyd.out();
        return false;
    }
    h.ptyd = true;
    // Another host's Ombrad says when it learns the service: one list then
    // (each `zelterm -l` listens for 3 s, 6 s when it finds nothing).
    Node &seer = host(seen_from);
    if (seen_from != n && seer.ombrad.pid() > 0)
        seer.ombrad.wait_output("learned \"" + std::string(kService) + "\"", 30s, true);
    if (!wait_until([&] { return (listed_ = list(seen_from)).find(kService) != std::string::npos; }, 30s)) {
        why_ = "host " + std::to_string(seen_from) + " never saw the service";
        return false;
    }
    return true;
}

std::string Site::list(int n)
{
    Node &h = host(n);
    Proc::Options o;
    o.env = h.env();
    Proc l = h.host->start({ZELTERM_PATH, "-l"}, o);
    l.wait_exit(15s);
    return l.out();
}

std::string Site::service_row(int n)
{
    return service_row_of(list(n));
}

std::string Site::service_row_of(const std::string &l)
{
    size_t at = l.find(kService);
    return at == std::string::npos ? "" : l.substr(at, l.find('\n', at) - at);
}

Proc Site::start_zelterm(int n, const std::vector<std::string> &args)
{
    Node &h = host(n);
    Proc::Options o;
    o.env = h.env();
    std::vector<std::string> argv = {ZELTERM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return h.host->start(argv, o);
}

int Site::zelterm(int n, const std::vector<std::string> &args, std::string &err)
{
    Proc z = start_zelterm(n, args);
    int st = z.wait_exit(60s);
    err = z.err();
    return st;
}

std::string Site::status(int n)
{
    Node &h = host(n);
    Proc s = h.host->start({IPXSTACKD_PATH, "-s", "--dev-dir", h.dev->path()});
    s.wait_exit(10s);
    return s.out();
}

std::string Site::link_line(int n, const std::string &kind)
{
    std::istringstream in(status(n));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("  " + kind, 0) == 0)
            return line;
    return "";
}

std::string Site::session(int n, size_t bytes)
{
    Node &h = host(n);
    Proc z;
    Pty pty;  // closed before zelterm is killed
    Proc::Options o;
    o.env = h.env();
    o.env.push_back({"TERM", "xterm"});
    o.stdin_fd = pty.slave();
    z = h.host->start({ZELTERM_PATH, kService}, o);
    auto type = [&](const std::string &s) {
        size_t done = 0;
        while (done < s.size()) {
            ssize_t r = write(pty.master(), s.data() + done, s.size() - done);
            if (r <= 0)
                return false;
            done += static_cast<size_t>(r);
        }
        return true;
    };
    std::string result;
    TempDir files;
    const std::string in = text_data(bytes, 1), out = text_data(bytes, 2);
    write_file(files / "expected", in);
    write_file(files / "out", out);
    // The session's terminal goes raw, so that the data passes unchanged.
    if (!type("stty raw -echo; echo RE''ADY\r") || !z.wait_output("READY", 30s)) {
        result = "no shell: " + z.out() + z.err();
    } else {
        // In: the shell's `head` takes the bytes once it runs.
        type("echo GO''1; head -c " + std::to_string(bytes) + " > " + (files / "in") + "; cmp " +
             (files / "in") + " " + (files / "expected") + " && echo --SA''ME--\n");
        if (!z.wait_output("GO1", 20s)) {
            result = "no go: " + z.out();
        } else {
            std::thread writer([&] { type(in); });
            bool same = z.wait_output("--SAME--", 120s);
            writer.join();
            if (!same)
                result = "the data sent differs or did not arrive; " + z.err();
        }
        // Out: between two marks.
        if (result.empty()) {
            // The marks have a '-', which the data never has.
            type("echo --ST''ART--; cat " + (files / "out") + "; echo; echo --EN''D--\n");
            if (!z.wait_output("\n--END--", 120s)) {
                result = "the data sent back did not arrive whole";
            } else {
                const std::string &got = z.out();
                size_t a = got.find("--START--\n");
                size_t b = got.rfind("\n--END--");
                if (a == std::string::npos || b == std::string::npos || got.substr(a + 10, b - a - 10) != out)
                    result = "the data sent back differs";
            }
        }
        type("exit\n");
        int st = z.wait_exit(30s);
        if (result.empty() && st != 0)
            result = "zelterm ended with " + std::to_string(st) + ": " + z.err();
    }
    return result;
}

Capture::Capture(const std::string &iface)
{
    tshark_ = Proc({"/usr/bin/tshark", "-n", "-i", iface, "-w", file()});
    started_ = tshark_.wait_output("Capturing on", 30s, true);
}

Capture::~Capture()
{
    stop();
}

void Capture::stop()
{
    if (tshark_.pid() > 0) {
        tshark_.signal(SIGINT);
        tshark_.wait_exit(20s);
    }
}

std::vector<std::string> Capture::rows(const std::string &filter, const std::vector<std::string> &fields,
                                       const std::vector<std::string> &extra)
{
    stop();
    // SPX on dynamic sockets 0x4001 and 0x4003 would be taken for other
    // protocols, which tshark picks by socket before the packet type.
    std::vector<std::string> argv = {"/usr/bin/tshark", "-n", "-r", file(), "--disable-protocol", "ipxmsg",
                                     "--disable-protocol", "nw_serial", "-Y", filter,
                                     "-T", "fields", "-E", "separator=|"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    for (const std::string &f : fields) {
        argv.push_back("-e");
        argv.push_back(f);
    }
    Proc p(argv);
    p.wait_exit(60s);
    std::vector<std::string> out;
    std::istringstream in(p.out());
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

} // namespace links
