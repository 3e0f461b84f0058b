// The services the SAP daemon knows, without any I/O:
//  - local services, registered and withdrawn by request (socket 0x0872);
//  - services learned from other hosts' SAP responses, which age out when
//    three periodic broadcasts (180 s) pass without word of them. Each is
//    kept as heard from one neighbour (its network and node): that
//    neighbour's word goes, better or worse; another's replaces it only
//    with fewer hops, or once the first has missed a broadcast.
// Time is passed in by the caller, so tests drive it by hand.
#ifndef DRAX_OMBRAD_TABLE_H
#define DRAX_OMBRAD_TABLE_H

#include "sap.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ombrad {

using Time = std::chrono::steady_clock::time_point;
constexpr std::chrono::seconds kPeriod{60};        // periodic broadcast
constexpr std::chrono::seconds kExpiry = 3 * kPeriod;

struct Limits {
    size_t local = 100;     // services registered on this host
    size_t learned = 1000;  // services heard from other hosts
};

// The stack's own network and node: where local services live and where
// requests must come from.
struct Local {
    uint32_t net = 0;
    sap::Node node{};
};

class ServiceTable {
public:
    explicit ServiceTable(Limits limits = {}) : limits_(limits) {}

    // Registers a local service (name, type) at `e.addr` for the program
    // at `owner`, the address the request came from. Registering the same
    // service at the same address again is accepted and changes nothing
    // (`added` false; the first owner stays). A name (compared
    // case-insensitively) already registered with the same type at another
    // address is refused with sap::kNameInUse; a full table (Limits::local
    // services) with sap::kTableFull.
    int32_t bind(const sap::Entry &e, const sap::Address &owner, bool &added);
    // Withdraws a local service for the program at `owner`: only the
    // address that registered it may (sap::kNotOwner otherwise). The
    // removed entry is stored in `removed`.
    int32_t unbind(const std::string &name, uint16_t type, const sap::Address &owner,
                   sap::Entry &removed);
    // Withdraws a local service whoever registered it (the daemon's own
    // shutdown).
    int32_t unbind(const std::string &name, uint16_t type, sap::Entry &removed);
    const std::vector<sap::Entry> &local() const { return local_; }
    // owners()[i] registered local()[i].
    const std::vector<sap::Address> &owners() const { return owners_; }
    size_t local_limit() const { return limits_.local; }

    struct Heard {
        sap::Entry entry;
        Time last;
        sap::Address via;  // the neighbour it was heard from (socket 0)
    };
    enum class Learned { added, refreshed, changed, withdrawn, ignored, full };
    // Takes in one entry of a response from `via` heard at `now`. A hop
    // count of 16 withdraws the service (only from the neighbour it was
    // heard from); above 16 is ignored. `changed`: its hop count or its
    // neighbour changed.
    Learned learn(const sap::Entry &e, Time now, const sap::Address &via = {});
    // Removes the learned services not heard of for kExpiry by `now`, and
    // returns them.
    std::vector<sap::Entry> expire(Time now, std::vector<Heard> *gone = nullptr);
    // Removes the learned services for which `drop` holds, and returns them.
    std::vector<Heard> forget(const std::function<bool(const Heard &)> &drop);
    const std::vector<Heard> &learned() const { return learned_; }
    // How many changes the learned services have seen.
    uint64_t changes() const { return changes_; }
    // When the next learned service would expire, if any.
    std::optional<Time> next_expiry() const;
    size_t learned_count() const { return learned_.size(); }

    // Services of `type` (sap::kAllTypes: all): the local ones first, then,
    // with `with_learned`, the learned ones.
    std::vector<sap::Entry> find(uint16_t type, bool with_learned) const;

private:
    Limits limits_;
    std::vector<sap::Entry> local_;
    std::vector<sap::Address> owners_;  // owners_[i] registered local_[i]
    std::vector<Heard> learned_;
    uint64_t changes_ = 0;
};

// What a request leads to.
struct RequestOutcome {
    bool reply = false;            // send `reply_bytes` back to the sender
    sap::Bytes reply_bytes;
    int32_t status = 0;
    std::vector<sap::Entry> announce;  // broadcast these at once (hops 16: withdrawn)
    std::string log;               // what happened, for the log
};

// Handles one datagram received on the request socket from `sender`.
// Requests are taken only from this host (sender's network and node equal
// `local`); others are dropped without a reply. A datagram too short to
// carry a code and a sequence number is dropped too; every other request
// gets a reply echoing its code (with 0x8000 set) and sequence number.
// Binds and unbinds are refused (sap::kNotPrivileged) unless they come from
// a privileged socket, which only root's programs can bind; a service is
// withdrawn only for the address that registered it.
RequestOutcome handle_request(ServiceTable &table, const uint8_t *p, size_t n,
                              const sap::Address &sender, const Local &local);

} // namespace ombrad

#endif
