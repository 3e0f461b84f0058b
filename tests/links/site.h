// The set-up shared by the link and routing tests: hosts on LANs (network
// namespaces, see netns.h) or in the test's own namespace, a stack on each
// with the links a test gives, Ombrad, the terminal service (Ombrad,
// Zelptyd) on the serving host, zelterm sessions and calls from another
// host, tshark captures of a LAN, and the stack's status view.
#ifndef DRAX_LINKS_SITE_H
#define DRAX_LINKS_SITE_H

#include "netns.h"
#include "testproc.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace links {

using namespace testsupport;

constexpr const char *kService = "ZELTEST";

// What a host runs.
struct Node {
    std::unique_ptr<Host> host;
    std::unique_ptr<TempDir> dev;  // the stack's device directory
    Proc stack, ombrad, extra;
    bool ptyd = false;
    std::vector<std::pair<std::string, std::string>> env() const
    {
        return {{"IPX_DEVDIR", dev->path()}};
    }
};

class Site {
public:
    Site();
    ~Site();
    // Fails the test set-up with `why` when a step fails.
    bool ok(std::string &why) const
    {
        why = why_;
        return why_.empty();
    }

    // Host n, created on first use and put on the LANs listed (0: the
    // first LAN, eth0 at 10.213.0.N; K: LAN K, the next interface, at
    // 10.213.K.N).
    Node &host(int n, const std::vector<int> &lans = {0});
    // Host n in the test's own namespace, on no LAN: stacks there are
    // joined by udp links on loopback addresses (127.x.y.z).
    Node &here(int n);
    // Starts ipxstackd on host n with these arguments (links) and waits for
    // its "ready".
    bool stack(int n, const std::vector<std::string> &args);
    bool ombrad(int n);  // with a state file of its own
    // Ombrad and Zelptyd (a shell in place of login) on host n; waits until
    // host `seen_from` lists the service (that list: listed()).
    bool service(int n, int seen_from);
    const std::string &listed() const { return listed_; }
    std::string list(int n);         // zelterm -l on host n
    // The row of `zelterm -l` on host n that names the service ("": none),
    // and that row of a list.
    std::string service_row(int n);
    static std::string service_row_of(const std::string &list);
    // zelterm with these arguments on host n, standard input empty: its
    // exit status and standard error; or started, to run beside others
    // (a list listens for 3 s, a lookup that finds nothing for 5).
    int zelterm(int n, const std::vector<std::string> &args, std::string &err);
    Proc start_zelterm(int n, const std::vector<std::string> &args);
    std::string status(int n);       // ipxstackd -s for host n's stack
    // The status line of host n's link whose description starts with `kind`.
    std::string link_line(int n, const std::string &kind);

    // zelterm kService on host n: logs in, sends 1 MB to the shell and reads
    // 1 MB back, then leaves. "" when both arrived intact, else what went
    // wrong.
    std::string session(int n, size_t bytes = 1 << 20);

    const Lan &lan() const { return lan_; }

private:
    bool start_ready(Node &h, Proc &p, const std::vector<std::string> &argv);
    Lan lan_;
    std::map<int, std::unique_ptr<Lan>> more_lans_;
    std::map<int, Node> nodes_;
    std::string why_;
    std::string listed_;
};

// A tshark capture on an interface of the test's namespace, written to a
// file, read back with display filters.
class Capture {
public:
    explicit Capture(const std::string &iface);
    ~Capture();
    bool started() const { return started_; }
    void stop();
    // Rows of the fields of every packet that `filter` selects, fields
    // separated by '|'. Extra tshark options (decode-as) may be given.
    std::vector<std::string> rows(const std::string &filter, const std::vector<std::string> &fields,
                                  const std::vector<std::string> &extra = {});
    std::string file() const { return dir_ / "cap.pcapng"; }

private:
    TempDir dir_;
    Proc tshark_;
    bool started_ = false;
};

// Splits "a|b|c".
std::vector<std::string> split(const std::string &row, char sep = '|');

// Sends UDP datagrams to `to`:`port` from the current namespace (crafted
// IPX packets for a udp link).
bool send_udp(const std::string &to, uint16_t port, const std::vector<std::vector<uint8_t>> &dgrams);

} // namespace links

#endif
