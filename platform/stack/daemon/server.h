// The I/O side of ipxstackd: device sockets, endpoint sockets, the loop.
#ifndef IPXSTACKD_SERVER_H
#define IPXSTACKD_SERVER_H

#include "link_config.h"
#include "stack.h"

#include <csignal>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ipxstackd {

struct ServerOptions {
    std::string dev_dir = "/dev";
    bool foreground = false;
    int ready_fd = -1;
    StackConfig stack;
    std::vector<LinkConfig> links;  // links to other hosts (--link)
};

// The devices: name under the device directory and the service behind it.
struct Device {
    const char *name;
    Service svc;
};
extern const Device kDevices[3];

// Connections to a device socket that have not sent their request yet:
// ordinary users together may have this many (each at most its
// UserLimits::pending); root's are always taken.
constexpr size_t kMaxPendingUsers = 64;
// How long such a connection may stay silent (ms): an ordinary user's, and
// root's.
constexpr uint64_t kPendingTimeoutUserMs = 1000;
constexpr uint64_t kPendingTimeoutRootMs = 5000;
// Descriptors kept for root: ordinary users cannot open endpoints once the
// daemon has no more than this many descriptors left.
constexpr size_t kRootReservedFds = 64;
// Descriptors that not even root's opens take: the requests on control
// connections (a call about an endpoint, t_close's included) need them, so
// that endpoints opened up to the limit can still be used and closed.
constexpr size_t kControlReservedFds = 8;
// The daemon's own descriptors besides endpoints and connections (standard
// streams, device sockets, lock, log, links), as counted against its limit.
constexpr size_t kOwnFds = 16;
// Lock file in the device directory (only root can take it): one stack per
// directory.
constexpr const char *kLockName = ".ipxstackd.lock";
// Socket buffers of an endpoint (the kernel doubles them): the library's end
// bounds its posted sends (the credit), the daemon's end the stream pushed
// ahead of the reader. Both hold the largest message.
constexpr int kEndpointSendBuffer = 64 * 1024;
constexpr int kEndpointPushBuffer = 64 * 1024;
// The daemon's end of an endpoint socket is bound to the abstract name
// "\0ipxstackd:DIR:KEY" (DIR the device directory, KEY random), so that
// a process that got the endpoint by exec finds the device sockets for its
// control connections with getpeername().
constexpr const char *kPeerNamePrefix = "ipxstackd:";

// Logging: standard error in the foreground, syslog otherwise.
void log_line(const std::string &line);
void log_to_syslog();

class Server : public StackIo {
public:
    explicit Server(const ServerOptions &opt);
    ~Server() override;

    // Claims the devices (refusing when another stack serves them) and
    // creates their sockets; -1 with a message on failure.
    int setup(std::string &error);
    // Serves until SIGTERM/SIGINT; removes the device sockets.
    int run();
    static void request_stop();

    // StackIo
    bool send(uint32_t ep, const std::vector<uint8_t> &msg) override;
    bool push(uint32_t ep, const std::vector<uint8_t> &msg) override;
    void reply(uint32_t call, const std::vector<uint8_t> &msg, bool last) override;
    void end_call(uint32_t call) override;
    void shut_input(uint32_t ep) override;
    void drop(uint32_t ep) override;
    void log(const std::string &line) override;
    bool closed(uint32_t ep) override;

private:
    struct Pending {  // a connection to a device socket, before its request
        int fd;
        Service svc;
        uint64_t since;
        uint32_t uid;  // of the process that connected
    };
    // The client's end of an endpoint socket, as the daemon knows it: a
    // descriptor passed with t_accept must be that very socket.
    struct ClientEnd {
        dev_t dev = 0;
        ino_t ino = 0;
        uint64_t cookie = 0;  // the kernel's unique socket id (0: unknown)
    };
    // The daemon's end of an endpoint socket.
    struct EpIo {
        int fd = -1;
        std::deque<std::vector<uint8_t>> out;  // messages the full socket did not take yet
        bool want_write = false;  // the stack waits for room (Stack::on_writable)
        bool input_shut = false;  // reading side shut: nothing new comes
    };
    // A control connection of the library: requests about one endpoint.
    struct Call {
        int fd = -1;
        uint32_t ep = 0;
        uint32_t uid = 0;
        bool closing = false;  // closed after this round (the stack is done with it)
        bool gone = false;     // the stack is told (on_call_gone) when it closes
    };
    // The loop waits with epoll: each descriptor is registered once, with a
    // key (what it is, and its endpoint, call or descriptor number), and
    // changed only when what it waits for changes.
    enum class Kind : uint32_t { Device, Pending, Endpoint, Call, Link };
    struct Watch {
        uint64_t key = 0;
        uint32_t events = 0;
    };
    static uint64_t key_of(Kind k, uint32_t id) { return (static_cast<uint64_t>(k) << 32) | id; }
    void watch(int fd, Kind k, uint32_t id, uint32_t events);
    void unwatch(int fd);
    // What an endpoint's socket waits for now: messages unless it is shut or
    // stalled, room while messages wait to go out.
    void rewatch_endpoints();
    void watch_links();
    void accept_device(size_t i);
    bool take_pending(int fd, uint32_t uid);
    uint32_t endpoint_of(int fd) const;
    void open_endpoint(Pending &p, const tliproto::Header &h);
    void start_call(Pending &p, const uint8_t *msg, size_t n, std::vector<int> &fds);
    void read_call(uint32_t call);
    void finish_calls();
    bool flush(uint32_t ep);
    // Reads what waits in the endpoint's socket; `all`: also what a stall
    // would leave (posted sends before a hangup or a request that follows
    // them), else at most a few messages and nothing while stalled.
    void drain_endpoint(uint32_t ep, bool all);
    void handle_endpoint_message(uint32_t ep, const uint8_t *msg, size_t n, std::vector<int> &fds,
                                 int uid, int flags);
    // Logs at most once in 10 s per key (floods cannot fill the log).
    void log_limited(const std::string &key, const std::string &line);
    void trim_memory(uint64_t now);
    void serve_pending(Pending &p);
    void read_endpoint(uint32_t ep);
    void close_endpoint(uint32_t ep);
    void cleanup();
    void say_ready();

    ServerOptions opt_;
    Sys &sys_ = real_sys();
    MonotonicClock clock_;
    Stack stack_;
    int lock_fd_ = -1;
    int reserve_fd_ = -1;  // given up to turn a caller away when out of descriptors
    int dev_fd_[3] = {-1, -1, -1};
    std::string dev_path_[3];
    std::vector<Pending> pending_;
    int epfd_ = -1;
    std::map<int, Watch> watched_;
    std::set<uint32_t> io_changed_;  // endpoints whose wait may have changed
    std::vector<int> link_fds_;      // link descriptors registered
    std::map<uint32_t, EpIo> ep_io_;
    std::map<int, uint32_t> fd_ep_;
    std::map<uint32_t, Call> calls_;
    std::map<uint32_t, size_t> user_calls_;  // control connections per ordinary user
    uint32_t next_call_ = 1;
    std::string dev_real_;   // the device directory, resolved
    uint64_t name_key_ = 0;  // secret part of the endpoints' peer names
    uint64_t name_count_ = 0;
    std::map<ino_t, uint32_t> ino_ep_;   // the client's end of each endpoint socket
    std::map<uint32_t, ClientEnd> ep_end_;
    std::set<uint32_t> stalled_;  // a t_snd waits unread in the socket (sends_stalled)
    std::map<std::string, uint64_t> logged_;
    size_t fd_limit_ = 1024;
    uint64_t last_trim_ = 0;
    size_t trim_held_ = 0;  // the most memory in use (estimated) since the last trim
    std::vector<uint32_t> dropped_;
    std::vector<uint8_t> buf_;
};

// The status view: asks the stack serving dev_dir and prints its answer.
int print_status(const std::string &dev_dir);

} // namespace ipxstackd

#endif
