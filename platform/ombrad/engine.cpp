#include "engine.h"

#include <cstdio>

namespace ombrad {

Engine::Engine(const Local &local, Time now, Limits limits, LogFn log)
    : local_(local), table_(limits), log_(std::move(log)), next_broadcast_(now + kPeriod)
{
}

void Engine::broadcast(const std::vector<sap::Entry> &entries, std::vector<Send> &out) const
{
    sap::Address all{local_.net, sap::kBroadcastNode, sap::kSapSocket};
    for (sap::Bytes &b : sap::encode_responses(sap::kGeneralResponse, entries))
        out.push_back({sap::kSapSocket, all, std::move(b)});
}

void Engine::on_request(const uint8_t *p, size_t n, const sap::Address &sender, Time,
                        std::vector<Send> &out)
{
    RequestOutcome r = handle_request(table_, p, n, sender, local_);
    if (!r.reply)
        log_drop(r.log);
    else
        log(r.status == sap::kOk ? Level::info : Level::notice, r.log);
    if (r.reply)
        out.push_back({sap::kRequestSocket, sender, std::move(r.reply_bytes)});
    broadcast(r.announce, out);
}

void Engine::log_drop(const std::string &text)
{
    if (drops_logged_ < kDropLogBudget) {
        ++drops_logged_;
        log(Level::warning, text);
    } else {
        ++drops_unlogged_;
    }
}

void Engine::on_sap(const uint8_t *p, size_t n, const sap::Address &sender, Time now,
                    std::vector<Send> &out)
{
    sap::Packet pk;
    std::string why;
    if (!sap::decode_packet(p, n, pk, why)) {
        log(Level::debug, "dropped SAP packet from " + sap::to_string(sender) + ": " + why);
        return;
    }
    switch (pk.op) {
    case sap::kGeneralQuery:
    case sap::kNearestQuery: {
        // Queriers on other hosts hear only our own services: whatever we
        // learned came from their network already. Programs on this host
        // hear everything we know, so that they can list the network.
        std::vector<sap::Entry> found = table_.find(pk.type, from_here(sender));
        if (found.empty())
            return;
        if (pk.op == sap::kNearestQuery) {
            sap::Entry best = found.front();
            for (const sap::Entry &e : found)
                if (e.hops < best.hops)
                    best = e;
            found = {best};
        }
        uint16_t op = pk.op == sap::kGeneralQuery ? sap::kGeneralResponse : sap::kNearestResponse;
        for (sap::Bytes &b : sap::encode_responses(op, found))
            out.push_back({sap::kSapSocket, sender, std::move(b)});
        break;
    }
    default:
        // Responses from this host are our own broadcasts coming back;
        // entries at this host's address are ours, passed on by a router.
        if (from_here(sender))
            return;
        for (const sap::Entry &e : pk.entries) {
            if (e.addr.net == local_.net && e.addr.node == local_.node)
                continue;
            auto result = table_.learn(e, now);
            if (result == ServiceTable::Learned::added)
                log(Level::info, "learned \"" + e.name + "\" at " + sap::to_string(e.addr));
            else if (result == ServiceTable::Learned::withdrawn)
                log(Level::info, "\"" + e.name + "\" at " + sap::to_string(e.addr) + " withdrawn");
            else if (result == ServiceTable::Learned::full)
                log(Level::warning, "no room to learn \"" + e.name + "\"");
        }
        break;
    }
}

void Engine::on_timer(Time now, std::vector<Send> &out)
{
    if (now >= next_broadcast_) {
        broadcast(table_.local(), out);
        next_broadcast_ += kPeriod;
        // After a long stall (a suspended host) start the rhythm afresh
        // rather than catching up with a burst.
        if (next_broadcast_ <= now)
            next_broadcast_ = now + kPeriod;
        if (drops_unlogged_ > 0)
            log(Level::warning, std::to_string(drops_unlogged_) + " more requests dropped");
        drops_logged_ = drops_unlogged_ = 0;
    }
    for (const sap::Entry &e : table_.expire(now))
        log(Level::info, "\"" + e.name + "\" at " + sap::to_string(e.addr) + " timed out");
}

Time Engine::next_deadline() const
{
    std::optional<Time> expiry = table_.next_expiry();
    return expiry && *expiry < next_broadcast_ ? *expiry : next_broadcast_;
}

void Engine::withdraw_all(std::vector<Send> &out)
{
    std::vector<sap::Entry> down = table_.local();
    for (sap::Entry &e : down) {
        e.hops = sap::kHopsDown;
        sap::Entry removed;
        table_.unbind(e.name, e.type, removed);
    }
    broadcast(down, out);
}

} // namespace ombrad
