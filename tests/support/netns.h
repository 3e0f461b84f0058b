// Several "hosts" inside one test: each host is a network namespace of its
// own, and a LAN is a bridge in the test's namespace with one veth pair per
// host. Addresses are 10.213.0.N/24 and MAC addresses 02:00:0a:d5:00:NN on
// each host's "eth0"; a host on a second LAN has "eth1" there, 10.213.K.N
// and 02:00:0a:d5:0K:NN (K: the subnet given). Everything lives in
// namespaces the test made (the test itself runs in a private network
// namespace) and goes with it. A host may also share the test's own
// namespace (many stacks on loopback addresses, no LAN).
#ifndef DRAX_NETNS_H
#define DRAX_NETNS_H

#include "testproc.h"

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

class Host {
public:
    explicit Host(int n, bool in_test_namespace = false);  // host number N: 10.213.0.N
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    bool ok() const { return ns_fd_ >= 0; }
    int n() const { return n_; }
    int ns_fd() const { return ns_fd_; }
    pid_t holder() const { return holder_; }
    std::string ip() const { return "10.213.0." + std::to_string(n_); }
    std::string mac() const;  // "02:00:0a:d5:00:NN"
    // The node of this host on a udp link: 00 00 and the IPv4 address, hex.
    std::string udp_node() const;
    // The MAC without colons.
    std::string mac_node() const;

    // A program run in this host; options as for Proc (netns_fd is set).
    Proc start(const std::vector<std::string> &argv, Proc::Options o = {}) const;
    // Runs a program here to its end; true on exit status 0 (output in `out`).
    bool run(const std::vector<std::string> &argv, std::string *out = nullptr) const;
    // Runs `fn` in a child process inside this host; true when it returned
    // true. For tests that send crafted packets from a host.
    bool in_host(const std::function<bool()> &fn) const;

private:
    int n_;
    pid_t holder_ = -1;
    int hold_fd_ = -1;  // the holder waits for this pipe to close
    int ns_fd_ = -1;
};

class Lan {
public:
    Lan();  // a bridge "lanK" in the test's namespace (K counts the LANs made)
    ~Lan();
    Lan(const Lan &) = delete;
    Lan &operator=(const Lan &) = delete;
    // Joins `h` to the LAN: veth "lanKhN" here, `iface` there, addressed
    // 10.213.SUBNET.N, up. False with the reason in `why`.
    bool attach(const Host &h, std::string &why, const std::string &iface = "eth0", int subnet = 0);
    const std::string &bridge() const { return bridge_; }
    bool ok() const { return ok_; }

private:
    std::string bridge_;
    bool ok_ = false;
};

// Runs a command in the test's own namespace; true on exit status 0.
bool sh(const std::vector<std::string> &argv, std::string *out = nullptr);

} // namespace testsupport

#endif
