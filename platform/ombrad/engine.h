// The SAP daemon's behaviour without I/O: what to send in answer to each
// received datagram and to the passing of time. The daemon feeds it the
// datagrams of its two endpoints and the clock, and sends what it returns.
#ifndef DRAX_OMBRAD_ENGINE_H
#define DRAX_OMBRAD_ENGINE_H

#include "table.h"

#include <functional>
#include <map>
#include <optional>
#include <set>

namespace ombrad {

// One datagram to send from our endpoint at `from_socket`, as an IPX
// packet of `packet_type` (-1: the socket's own, 4 for SAP, 0 for replies).
struct Send {
    uint16_t from_socket;
    sap::Address to;
    sap::Bytes data;
    int packet_type = -1;
};

// The stack's RIP socket, where Ombrad asks its own stack for its routes.
constexpr uint16_t kRipSocket = 0x0453;
constexpr uint8_t kRipPacketType = 1;
// How often the stack's routes are asked for.
constexpr std::chrono::seconds kRoutePeriod{2};

// What the stack says of one socket.
struct SocketState {
    bool bound = false;
    int32_t uid = -1;  // the user who bound it (-1: unknown)
};

// A local service as kept across the daemon's restarts: the entry and the
// user who had its socket bound when it was last checked (none: not
// checked yet).
struct SavedService {
    sap::Entry entry;
    std::optional<int32_t> uid;
    // The socket, at this host, of the program that registered the service:
    // only that address may withdraw it after a restart too.
    uint16_t owner_socket = 0;
    bool operator==(const SavedService &) const = default;
};

// How often the sockets of local services are checked. A service whose
// socket is closed is withdrawn within one period (plus the time the
// stack takes to answer).
constexpr std::chrono::seconds kCheckPeriod{2};

// Log priorities, as syslog numbers them.
enum class Level { err = 3, warning = 4, notice = 5, info = 6, debug = 7 };
using LogFn = std::function<void(Level, const std::string &)>;

// Services across routers. Every kRoutePeriod the engine asks its own
// stack's router for every route (a RIP request from the SAP socket to
// this host's socket 0x0453); the answers come back to the SAP socket. A
// stack that answers routes between its links: the networks it gives
// with hops 0 are those links. Ombrad then relays services between them:
//  - on each link it advertises its own services (hops 0 on the network
//    they are on, 1 elsewhere) and what it learned through the other
//    links, one hop further; never what it learned through that link
//    (split horizon), never at 16 hops or more;
//  - it learns only from neighbours, senders on one of the links'
//    networks (a broadcast's source network is its link's: the stack
//    drops any other), and tells the other links at once of what it
//    learned, what changed and what was withdrawn (hops 16);
//  - a service learned through a link that went away, or on a network the
//    router now calls unreachable, is withdrawn at once;
//  - queries from a neighbour are answered with what its link hears.
// A stack that does not answer (no links, one link, or forwarding off) is
// a host's: services are advertised on the host's network only, and
// whatever was heard is kept as heard.
class Engine {
public:
    Engine(const Local &local, Time now, Limits limits = {}, LogFn log = {});

    // A datagram on the request socket (0x0872).
    void on_request(const uint8_t *p, size_t n, const sap::Address &sender, Time now,
                    std::vector<Send> &out);
    // A datagram on the SAP socket (0x0452).
    void on_sap(const uint8_t *p, size_t n, const sap::Address &sender, Time now,
                std::vector<Send> &out);
    // Periodic work due by `now`: the broadcast of every local service and
    // the ageing of learned ones.
    void on_timer(Time now, std::vector<Send> &out);
    // When on_timer next has something to do.
    Time next_deadline() const;
    // Broadcasts every local service with hop count 16 and forgets them
    // (on shutdown).
    void withdraw_all(std::vector<Send> &out);

    const ServiceTable &table() const { return table_; }

    // When the stack's routes are next asked for, and the asking: the
    // answers of the last round are taken as the stack's view (no answer:
    // the stack does not route).
    Time next_route_ask() const { return next_route_ask_; }
    void ask_routes(Time now, std::vector<Send> &out);
    // The stack routes and Ombrad relays; the networks of its links.
    bool relaying() const { return relaying_; }
    const std::set<uint32_t> &links() const { return links_; }

    // Local services at this host's node live on this host's stack: one
    // is withdrawn (hop count 16) as soon as its socket is found unbound,
    // or bound by another user than the one first seen holding it. When
    // next_check() is due, the daemon asks the stack about check_sockets()
    // and reports the answer (one state a socket, in order) to on_check,
    // or its failure to on_check_failed. A new local service is checked at
    // once, so that the holder of its socket is known from the start.
    std::optional<Time> next_check() const;  // none: nothing to check
    std::vector<uint16_t> check_sockets() const;
    void on_check(const std::vector<uint16_t> &sockets, const std::vector<SocketState> &states,
                  Time now, std::vector<Send> &out);
    void on_check_failed(const std::string &why, Time now);

    // Services saved by an earlier run of the daemon. They are advertised
    // again only when the next check finds each socket still bound by the
    // user recorded for it; the others are dropped and logged.
    void restore(const std::vector<SavedService> &saved);
    // What to save: the local services at this node with the holders of
    // their sockets, and the restored ones not checked yet.
    std::vector<SavedService> saved() const;
    // True once after each change of what saved() returns.
    bool take_saved_change()
    {
        bool changed = saved_changed_;
        saved_changed_ = false;
        return changed;
    }

private:
    // Local services, added or withdrawn: on every link when relaying.
    void broadcast(const std::vector<sap::Entry> &entries, std::vector<Send> &out) const;
    void send_on(uint32_t net, const std::vector<sap::Entry> &entries, std::vector<Send> &out) const;
    // What link `net` hears: our services and, one hop further, what came
    // through the other links.
    std::vector<sap::Entry> advert_for(uint32_t net) const;
    // Learned services that changed (hops 16: gone), told on every link
    // but the one they came through.
    void relay(const std::vector<ServiceTable::Heard> &changes, std::vector<Send> &out) const;
    void on_routes(const uint8_t *p, size_t n, Time now, std::vector<Send> &out);
    void apply_routes(std::vector<Send> &out);
    void log(Level level, const std::string &text) const
    {
        if (log_)
            log_(level, text);
    }
    bool from_here(const sap::Address &a) const
    {
        return a.net == local_.net && a.node == local_.node;
    }

    // Dropped requests are logged up to kDropLogBudget a period; the rest
    // are only counted, so that a flood cannot flood the log as well.
    static constexpr int kDropLogBudget = 20;
    void log_drop(const std::string &text);
    // Malformed SAP packets: the same, with a budget of their own.
    void log_bad_sap(const std::string &text);
    int bad_sap_logged_ = 0;
    int bad_sap_unlogged_ = 0;
    uint64_t bad_sap_ = 0;

public:
    // Malformed SAP packets dropped since the start.
    uint64_t bad_sap() const { return bad_sap_; }

private:

    Local local_;
    ServiceTable table_;
    int drops_logged_ = 0;
    int drops_unlogged_ = 0;
    LogFn log_;
    Time next_broadcast_;

    bool checked_here(const sap::Entry &e) const { return e.addr.node == local_.node; }
    void forget_unused_holders();
    std::map<uint16_t, int32_t> holders_;  // socket -> user seen holding it
    std::vector<SavedService> restoring_;  // restored, not checked yet
    Time next_check_;
    bool check_failing_ = false;
    bool saved_changed_ = false;

    Time next_route_ask_;
    bool asked_ = false;
    bool round_heard_ = false;
    std::map<uint32_t, uint16_t> round_;     // this round's answers: network -> hops
    std::map<uint32_t, uint16_t> networks_;  // the stack's view
    std::set<uint32_t> links_;
    bool relaying_ = false;
};

} // namespace ombrad

#endif
