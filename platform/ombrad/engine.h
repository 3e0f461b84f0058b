// The SAP daemon's behaviour without I/O: what to send in answer to each
// received datagram and to the passing of time. The daemon feeds it the
// datagrams of its two endpoints and the clock, and sends what it returns.
#ifndef DRAX_OMBRAD_ENGINE_H
#define DRAX_OMBRAD_ENGINE_H

#include "table.h"

#include <functional>

namespace ombrad {

// One datagram to send from our endpoint at `from_socket`.
struct Send {
    uint16_t from_socket;
    sap::Address to;
    sap::Bytes data;
};

// Log priorities, as syslog numbers them.
enum class Level { err = 3, warning = 4, notice = 5, info = 6, debug = 7 };
using LogFn = std::function<void(Level, const std::string &)>;

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

private:
    void broadcast(const std::vector<sap::Entry> &entries, std::vector<Send> &out) const;
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

    Local local_;
    ServiceTable table_;
    int drops_logged_ = 0;
    int drops_unlogged_ = 0;
    LogFn log_;
    Time next_broadcast_;
};

} // namespace ombrad

#endif
