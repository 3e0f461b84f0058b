// The set-up shared by the link tests: hosts on a LAN (network
// namespaces, see netns.h), a stack on each with the links a test gives,
// the terminal service (Ombrad, Zelptyd) on the serving host, zelterm
// sessions from another host, tshark captures of the LAN, and the stack's
// status view.
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

    Node &host(int n);  // created and put on the LAN on first use
    // Starts ipxstackd on host n with these arguments (links) and waits for
    // its "ready".
    bool stack(int n, const std::vector<std::string> &args);
    bool ombrad(int n);
    // Ombrad and Zelptyd (a shell in place of login) on host n; waits until
    // host `seen_from` lists the service.
    bool service(int n, int seen_from);
    std::string list(int n);         // zelterm -l on host n
    std::string status(int n);       // ipxstackd -s for host n's stack
    // The status line of host n's link whose description starts with `kind`.
    std::string link_line(int n, const std::string &kind);

    // zelterm kService on host n: logs in, sends 1 MB to the shell and reads
    // 1 MB back, then leaves. "" when both arrived intact, else what went
    // wrong.
    std::string session(int n, size_t bytes = 1 << 20);

    const Lan &lan() const { return lan_; }

private:
    bool start_ready(Node &h, Proc &p, std::vector<std::string> argv);
    Lan lan_;
    std::map<int, Node> nodes_;
    std::string why_;
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

} // namespace links

#endif
