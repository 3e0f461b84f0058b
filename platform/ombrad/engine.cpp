#include "engine.h"

#include "rip_wire.h"

#include <algorithm>
#include <cstdio>

namespace ombrad {

Engine::Engine(const Local &local, Time now, Limits limits, LogFn log)
    : local_(local), table_(limits), log_(std::move(log)), next_broadcast_(now + kPeriod),
      next_check_(now), next_route_ask_(now)
{
}

namespace {

std::string hex4(uint16_t v)
{
    char b[8];
    std::snprintf(b, sizeof b, "%04x", unsigned(v));
    return b;
}

std::string describe(const sap::Entry &e)
{
    return "\"" + e.name + "\" type " + hex4(e.type) + " at " + sap::to_string(e.addr);
}

std::string user(int32_t uid)
{
    return uid < 0 ? "an unknown user" : "user " + std::to_string(uid);
}

// Why a service on a socket in `state` may not be advertised (empty: it
// may), the socket's holder having been `holder` when last seen.
std::string fault(uint16_t socket, const SocketState &state, std::optional<int32_t> holder)
{
    if (!state.bound)
        return "socket " + hex4(socket) + " is no longer bound";
    if (holder && *holder != state.uid)
        return "socket " + hex4(socket) + " is now bound by " + user(state.uid) + ", not " +
               user(*holder);
    return "";
}

} // namespace

void Engine::send_on(uint32_t net, const std::vector<sap::Entry> &entries,
                     std::vector<Send> &out) const
{
    // A broadcast to a link's network goes out on that link only.
    sap::Address all{net, sap::kBroadcastNode, sap::kSapSocket};
    for (sap::Bytes &b : sap::encode_responses(sap::kGeneralResponse, entries))
        out.push_back({sap::kSapSocket, all, std::move(b)});
}

namespace {

// A service as a link of network `net` hears it from us: as heard on its
// own network, one hop more elsewhere; 16 stays 16.
sap::Entry as_heard_on(sap::Entry e, uint32_t net)
{
    if (e.hops < sap::kHopsDown && e.addr.net != net)
        e.hops = static_cast<uint16_t>(e.hops + 1);
    return e;
}

} // namespace

void Engine::broadcast(const std::vector<sap::Entry> &entries, std::vector<Send> &out) const
{
    if (!relaying_ || links_.empty()) {
        send_on(local_.net, entries, out);
        return;
    }
    for (uint32_t net : links_) {
        std::vector<sap::Entry> here;
        for (const sap::Entry &e : entries)
            here.push_back(as_heard_on(e, net));
        send_on(net, here, out);
    }
}

std::vector<sap::Entry> Engine::advert_for(uint32_t net) const
{
    std::vector<sap::Entry> all;
    for (const sap::Entry &e : table_.local())
        all.push_back(as_heard_on(e, net));
    for (const ServiceTable::Heard &h : table_.learned()) {
        if (h.via.net == net || h.entry.hops + 1 >= sap::kHopsDown)
            continue;
        sap::Entry e = h.entry;
        e.hops = static_cast<uint16_t>(e.hops + 1);
        all.push_back(e);
    }
    return all;
}

void Engine::relay(const std::vector<ServiceTable::Heard> &changes, std::vector<Send> &out) const
{
    if (!relaying_ || changes.empty())
        return;
    for (uint32_t net : links_) {
        std::vector<sap::Entry> told;
        for (const ServiceTable::Heard &h : changes) {
            if (h.via.net == net)
                continue;  // split horizon
            sap::Entry e = h.entry;
            e.hops = static_cast<uint16_t>(std::min<int>(e.hops + 1, sap::kHopsDown));
            told.push_back(e);
        }
        send_on(net, told, out);
    }
}

void Engine::on_request(const uint8_t *p, size_t n, const sap::Address &sender, Time now,
                        std::vector<Send> &out)
{
    RequestOutcome r = handle_request(table_, p, n, sender, local_);
    if (!r.reply)
        log_drop(r.log);
    else
        log(r.status == sap::kOk ? Level::info : Level::notice, r.log);
    if (r.reply)
        out.push_back({sap::kRequestSocket, sender, std::move(r.reply_bytes)});
    // What is announced was added or withdrawn: a new service's socket is
    // checked at once.
    for (const sap::Entry &e : r.announce) {
        saved_changed_ = true;
        if (e.hops != sap::kHopsDown && checked_here(e) && now < next_check_)
            next_check_ = now;
    }
    if (!r.announce.empty())
        forget_unused_holders();
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

void Engine::log_bad_sap(const std::string &text)
{
    ++bad_sap_;
    if (bad_sap_logged_ < kDropLogBudget) {
        ++bad_sap_logged_;
        log(Level::warning, text);
    } else {
        ++bad_sap_unlogged_;
    }
}

void Engine::on_sap(const uint8_t *p, size_t n, const sap::Address &sender, Time now,
                    std::vector<Send> &out)
{
    if (sender.socket == kRipSocket && from_here(sender)) {
        on_routes(p, n, now, out);  // our stack's router answers
        return;
    }
    sap::Packet pk;
    std::string why;
    if (!sap::decode_packet(p, n, pk, why)) {
        log_bad_sap("dropped SAP packet from " + sap::to_string(sender) + ": " + why);
        return;
    }
    switch (pk.op) {
    case sap::kGeneralQuery:
    case sap::kNearestQuery: {
        // Queriers on other hosts hear only our own services: whatever we
        // learned came from their network already. Programs on this host
        // hear everything we know, so that they can list the network. On
        // a router, a neighbour hears what its link hears.
        std::vector<sap::Entry> found;
        if (!from_here(sender) && relaying_ && links_.count(sender.net)) {
            for (const sap::Entry &e : advert_for(sender.net))
                if (pk.type == sap::kAllTypes || e.type == pk.type)
                    found.push_back(e);
        } else {
            found = table_.find(pk.type, from_here(sender));
        }
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
        // A router learns from its neighbours only: the sender's network
        // is the link it came by.
        if (relaying_ && !links_.count(sender.net)) {
            log(Level::debug, "ignored SAP response from " + sap::to_string(sender) +
                                  ": not on a network of ours");
            return;
        }
        const sap::Address via{sender.net, sender.node, 0};
        std::vector<ServiceTable::Heard> changes;
        for (const sap::Entry &e : pk.entries) {
            if (e.addr.net == local_.net && e.addr.node == local_.node)
                continue;
            auto result = table_.learn(e, now, via);
            if (result == ServiceTable::Learned::added)
                log(Level::info, "learned \"" + e.name + "\" at " + sap::to_string(e.addr) +
                                     " (" + std::to_string(e.hops) + " hops)");
            else if (result == ServiceTable::Learned::withdrawn)
                log(Level::info, "\"" + e.name + "\" at " + sap::to_string(e.addr) + " withdrawn");
            else if (result == ServiceTable::Learned::full)
                log(Level::warning, "no room to learn \"" + e.name + "\"");
            if (result == ServiceTable::Learned::added || result == ServiceTable::Learned::changed ||
                result == ServiceTable::Learned::withdrawn)
                changes.push_back({e, now, via});
        }
        relay(changes, out);
        break;
    }
}

void Engine::on_timer(Time now, std::vector<Send> &out)
{
    if (now >= next_broadcast_) {
        if (relaying_ && !links_.empty())
            for (uint32_t net : links_)
                send_on(net, advert_for(net), out);
        else
            broadcast(table_.local(), out);
        next_broadcast_ += kPeriod;
        // After a long stall (a suspended host) start the rhythm afresh
        // rather than catching up with a burst.
        if (next_broadcast_ <= now)
            next_broadcast_ = now + kPeriod;
        if (drops_unlogged_ > 0)
            log(Level::warning, std::to_string(drops_unlogged_) + " more requests dropped");
        drops_logged_ = drops_unlogged_ = 0;
        if (bad_sap_unlogged_ > 0)
            log(Level::warning, std::to_string(bad_sap_unlogged_) + " more malformed SAP packets dropped");
        bad_sap_logged_ = bad_sap_unlogged_ = 0;
    }
    std::vector<ServiceTable::Heard> gone;
    for (const sap::Entry &e : table_.expire(now, &gone))
        log(Level::info, "\"" + e.name + "\" at " + sap::to_string(e.addr) + " timed out");
    for (ServiceTable::Heard &h : gone)
        h.entry.hops = sap::kHopsDown;
    relay(gone, out);
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
    // A router going away is no longer the way to what it relayed.
    if (relaying_) {
        std::vector<ServiceTable::Heard> relayed =
            table_.forget([](const ServiceTable::Heard &) { return true; });
        for (ServiceTable::Heard &h : relayed)
            h.entry.hops = sap::kHopsDown;
        relay(relayed, out);
    }
}

void Engine::ask_routes(Time now, std::vector<Send> &out)
{
    if (asked_) {
        if (round_heard_) {
            networks_ = round_;
            apply_routes(out);
        } else if (relaying_) {
            relaying_ = false;
            networks_.clear();
            links_.clear();
            log(Level::notice, "the stack no longer routes: services stay on this host's network");
        }
    }
    asked_ = true;
    round_.clear();
    round_heard_ = false;
    std::vector<sap::Bytes> ask =
        ipxcore::encode_rip(ipxcore::kRipRequest, {{ipxcore::kRipAllNetworks, 0xFFFF, 0xFFFF}});
    out.push_back({sap::kSapSocket, {local_.net, local_.node, kRipSocket}, ask[0], kRipPacketType});
    next_route_ask_ = now + kRoutePeriod;
}

void Engine::on_routes(const uint8_t *p, size_t n, Time, std::vector<Send> &out)
{
    ipxcore::RipPacket pk;
    std::string why;
    if (!ipxcore::decode_rip(p, n, pk, why) || pk.op != ipxcore::kRipResponse) {
        log(Level::debug, "dropped the stack's answer about routes: " +
                              (why.empty() ? std::string("not a response") : why));
        return;
    }
    round_heard_ = true;
    for (const ipxcore::RipEntry &e : pk.entries) {
        round_[e.net] = e.hops;
        networks_[e.net] = e.hops;
    }
    if (!relaying_) {
        relaying_ = true;
        log(Level::notice, "the stack routes: relaying services between its links");
    }
    apply_routes(out);
}

void Engine::apply_routes(std::vector<Send> &out)
{
    std::set<uint32_t> now_links;
    for (const auto &[net, hops] : networks_)
        if (hops == 0)
            now_links.insert(net);
    std::set<uint32_t> added, gone;
    for (uint32_t net : now_links)
        if (!links_.count(net))
            added.insert(net);
    for (uint32_t net : links_)
        if (!now_links.count(net))
            gone.insert(net);
    links_ = now_links;
    for (uint32_t net : gone)
        log(Level::notice, "link to network " + sap::to_string(sap::Address{net, {}, 0}).substr(0, 8) +
                               " gone: what was heard through it is withdrawn");
    // What came through a link that is gone, or lies on a network the
    // router cannot reach any more, is withdrawn now.
    std::vector<ServiceTable::Heard> dropped = table_.forget([&](const ServiceTable::Heard &h) {
        auto route = networks_.find(h.entry.addr.net);
        return gone.count(h.via.net) != 0 ||
               (route != networks_.end() && route->second >= sap::kHopsDown);
    });
    for (ServiceTable::Heard &h : dropped) {
        log(Level::info, "\"" + h.entry.name + "\" at " + sap::to_string(h.entry.addr) +
                             " withdrawn: no way to it");
        h.entry.hops = sap::kHopsDown;
    }
    relay(dropped, out);
    // A new link hears everything at once.
    for (uint32_t net : added)
        send_on(net, advert_for(net), out);
}

std::optional<Time> Engine::next_check() const
{
    if (restoring_.empty() && check_sockets().empty())
        return std::nullopt;
    return next_check_;
}

std::vector<uint16_t> Engine::check_sockets() const
{
    std::vector<uint16_t> sockets;
    for (const sap::Entry &e : table_.local())
        if (checked_here(e))
            sockets.push_back(e.addr.socket);
    for (const SavedService &s : restoring_)
        sockets.push_back(s.entry.addr.socket);
    std::sort(sockets.begin(), sockets.end());
    sockets.erase(std::unique(sockets.begin(), sockets.end()), sockets.end());
    return sockets;
}

void Engine::on_check(const std::vector<uint16_t> &sockets,
                      const std::vector<SocketState> &states, Time now, std::vector<Send> &out)
{
    next_check_ = now + kCheckPeriod;
    if (check_failing_)
        log(Level::notice, "the stack answers again");
    check_failing_ = false;
    std::map<uint16_t, SocketState> state;
    for (size_t i = 0; i < sockets.size() && i < states.size(); ++i)
        state[sockets[i]] = states[i];

    std::vector<sap::Entry> down;
    std::vector<sap::Entry> local = table_.local();
    for (const sap::Entry &e : local) {
        auto it = state.find(e.addr.socket);
        if (!checked_here(e) || it == state.end())
            continue;
        auto holder = holders_.find(e.addr.socket);
        std::string why = fault(e.addr.socket, it->second,
                                holder == holders_.end() ? std::nullopt
                                                         : std::optional<int32_t>(holder->second));
        if (why.empty()) {
            if (holder == holders_.end()) {
                holders_[e.addr.socket] = it->second.uid;
                saved_changed_ = true;
            }
            continue;
        }
        sap::Entry removed;
        table_.unbind(e.name, e.type, removed);
        removed.hops = sap::kHopsDown;
        down.push_back(removed);
        saved_changed_ = true;
        log(Level::notice, "withdrew " + describe(e) + ": " + why);
    }
    forget_unused_holders();

    std::vector<sap::Entry> up;
    std::vector<SavedService> waiting;
    for (const SavedService &s : restoring_) {
        const sap::Entry &e = s.entry;
        auto it = state.find(e.addr.socket);
        if (it == state.end()) {
            waiting.push_back(s);
            continue;
        }
        saved_changed_ = true;
        std::string why = s.uid ? fault(e.addr.socket, it->second, s.uid)
                                : "the holder of socket " + hex4(e.addr.socket) + " was never seen";
        bool added = false;
        sap::Address owner{local_.net, local_.node, s.owner_socket};
        int32_t status = why.empty() ? table_.bind(e, owner, added) : sap::kOk;
        if (!why.empty() || status != sap::kOk) {
            log(Level::notice, "dropped saved " + describe(e) + ": " +
                                   (why.empty() ? sap::status_text(status) : why));
            continue;
        }
        holders_[e.addr.socket] = it->second.uid;
        if (added) {
            up.push_back(e);
            log(Level::info, "restored " + describe(e));
        }
    }
    restoring_ = std::move(waiting);
    broadcast(down, out);
    broadcast(up, out);
}

void Engine::on_check_failed(const std::string &why, Time now)
{
    next_check_ = now + kCheckPeriod;
    if (!check_failing_)
        log(Level::warning, "cannot ask the stack which sockets are bound (services are kept): " +
                                why);
    check_failing_ = true;
}

void Engine::restore(const std::vector<SavedService> &saved)
{
    for (SavedService s : saved) {
        if (!checked_here(s.entry)) {
            log(Level::notice, "dropped saved " + describe(s.entry) + ": not at this host's node");
            continue;
        }
        s.entry.addr.net = local_.net;
        s.entry.hops = 0;
        restoring_.push_back(s);
    }
}

std::vector<SavedService> Engine::saved() const
{
    std::vector<SavedService> all;
    const std::vector<sap::Entry> &local = table_.local();
    for (size_t i = 0; i < local.size(); ++i) {
        const sap::Entry &e = local[i];
        if (!checked_here(e))
            continue;
        auto holder = holders_.find(e.addr.socket);
        all.push_back({e,
                       holder == holders_.end() ? std::nullopt
                                                : std::optional<int32_t>(holder->second),
                       table_.owners()[i].socket});
    }
    all.insert(all.end(), restoring_.begin(), restoring_.end());
    return all;
}

void Engine::forget_unused_holders()
{
    for (auto it = holders_.begin(); it != holders_.end();) {
        bool used = false;
        for (const sap::Entry &e : table_.local())
            used = used || (checked_here(e) && e.addr.socket == it->first);
        it = used ? std::next(it) : holders_.erase(it);
    }
}

} // namespace ombrad
