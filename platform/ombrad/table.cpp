#include "table.h"

#include <algorithm>
#include <cstdio>

namespace ombrad {

int32_t ServiceTable::bind(const sap::Entry &e, const sap::Address &owner, bool &added)
{
    added = false;
    for (const sap::Entry &s : local_) {
        if (s.type != e.type || !sap::same_name(s.name, e.name))
            continue;
        return s.addr == e.addr ? sap::kOk : sap::kNameInUse;
    }
    if (local_.size() >= limits_.local)
        return sap::kTableFull;
    local_.push_back(e);
    owners_.push_back(owner);
    added = true;
    return sap::kOk;
}

int32_t ServiceTable::unbind(const std::string &name, uint16_t type, const sap::Address &owner,
                             sap::Entry &removed)
{
    for (size_t i = 0; i < local_.size(); ++i) {
        if (local_[i].type != type || !sap::same_name(local_[i].name, name))
            continue;
        if (owners_[i] != owner)
            return sap::kNotOwner;
        return unbind(name, type, removed);
    }
    return sap::kUnknownService;
}

int32_t ServiceTable::unbind(const std::string &name, uint16_t type, sap::Entry &removed)
{
    for (size_t i = 0; i < local_.size(); ++i) {
        if (local_[i].type == type && sap::same_name(local_[i].name, name)) {
            removed = local_[i];
            local_.erase(local_.begin() + static_cast<std::ptrdiff_t>(i));
            owners_.erase(owners_.begin() + static_cast<std::ptrdiff_t>(i));
            return sap::kOk;
        }
    }
    return sap::kUnknownService;
}

ServiceTable::Learned ServiceTable::learn(const sap::Entry &e, Time now, const sap::Address &via)
{
    if (e.hops > sap::kHopsDown || !sap::valid_name(e.name))
        return Learned::ignored;
    auto it = std::find_if(learned_.begin(), learned_.end(), [&](const Heard &h) {
        return h.entry.type == e.type && h.entry.addr == e.addr &&
               sap::same_name(h.entry.name, e.name);
    });
    if (it == learned_.end()) {
        if (e.hops == sap::kHopsDown)
            return Learned::ignored;  // unknown, nothing to withdraw
        if (learned_.size() >= limits_.learned)
            return Learned::full;
        learned_.push_back({e, now, via});
        changes_++;
        return Learned::added;
    }
    if (it->via == via) {
        if (e.hops == sap::kHopsDown) {
            learned_.erase(it);
            changes_++;
            return Learned::withdrawn;
        }
        bool differs = it->entry.hops != e.hops;
        it->entry = e;
        it->last = now;
        if (!differs)
            return Learned::refreshed;
        changes_++;
        return Learned::changed;
    }
    // Another neighbour's way to it.
    if (e.hops == sap::kHopsDown ||
        (e.hops >= it->entry.hops && now - it->last < kPeriod + kPeriod / 2))
        return Learned::ignored;
    *it = {e, now, via};
    changes_++;
    return Learned::changed;
}

std::vector<sap::Entry> ServiceTable::expire(Time now, std::vector<Heard> *gone_heard)
{
    std::vector<sap::Entry> gone;
    for (const Heard &h : forget([&](const Heard &h) { return now - h.last >= kExpiry; })) {
        gone.push_back(h.entry);
        if (gone_heard != nullptr)
            gone_heard->push_back(h);
    }
    return gone;
}

std::vector<ServiceTable::Heard> ServiceTable::forget(const std::function<bool(const Heard &)> &drop)
{
    std::vector<Heard> gone;
    auto keep = std::remove_if(learned_.begin(), learned_.end(), [&](const Heard &h) {
        if (!drop(h))
            return false;
        gone.push_back(h);
        return true;
    });
    learned_.erase(keep, learned_.end());
    changes_ += gone.size();
    return gone;
}

std::optional<Time> ServiceTable::next_expiry() const
{
    std::optional<Time> first;
    for (const Heard &h : learned_)
        if (!first || h.last + kExpiry < *first)
            first = h.last + kExpiry;
    return first;
}

std::vector<sap::Entry> ServiceTable::find(uint16_t type, bool with_learned) const
{
    std::vector<sap::Entry> found;
    for (const sap::Entry &s : local_)
        if (type == sap::kAllTypes || s.type == type)
            found.push_back(s);
    if (with_learned)
        for (const Heard &h : learned_)
            if (type == sap::kAllTypes || h.entry.type == type)
                found.push_back(h.entry);
    return found;
}

namespace {

bool usable_node(const sap::Node &node)
{
    return node != sap::Node{} && node != sap::kBroadcastNode;
}

std::string describe(const sap::Request &r)
{
    char type[8];
    std::snprintf(type, sizeof type, "%04x", unsigned(r.type));
    return "\"" + r.name + "\" type " + type;
}

} // namespace

RequestOutcome handle_request(ServiceTable &table, const uint8_t *p, size_t n,
                              const sap::Address &sender, const Local &local)
{
    RequestOutcome out;
    std::string from = sap::to_string(sender);
    if (sender.net != local.net || sender.node != local.node) {
        out.log = "dropped request from " + from + ": not from this host";
        return out;
    }
    if (n < 4) {
        out.log = "dropped request of " + std::to_string(n) + " bytes from " + from;
        return out;
    }

    sap::Reply reply;
    reply.code = uint16_t(((p[0] << 8) | p[1]) | sap::kReplyBit);
    reply.seq = uint16_t((p[2] << 8) | p[3]);
    sap::Request req;
    std::string why;
    std::string what;
    if (!sap::decode_request(p, n, req, why)) {
        reply.status = sap::kMalformed;
        what = why;
    } else if (req.code != sap::kCodeBind && req.code != sap::kCodeUnbind) {
        reply.status = sap::kMalformed;
        what = "request code " + std::to_string(req.code);
    } else if (sender.socket == 0 || sender.socket >= sap::kFirstUnprivilegedSocket) {
        // Any user may bind such a socket: a program of theirs must not
        // take over, withdraw or crowd out root's services.
        reply.status = sap::kNotPrivileged;
        what = (req.code == sap::kCodeBind ? "bind " : "unbind ") + describe(req);
    } else if (!sap::valid_name(req.name)) {
        reply.status = sap::kBadName;
        what = req.code == sap::kCodeBind ? "bind" : "unbind";
    } else if (req.code == sap::kCodeBind) {
        sap::Entry e;
        e.type = req.type;
        e.name = req.name;
        e.addr = {local.net, req.node, req.socket};
        e.hops = 0;  // the service sits on our own network
        what = "bind " + describe(req) + " at " + sap::to_string(e.addr);
        if (req.type == 0 || req.type == sap::kAllTypes || req.socket == 0 ||
            !usable_node(req.node)) {
            reply.status = sap::kBadService;
        } else {
            bool added = false;
            reply.status = table.bind(e, sender, added);
            if (added)
                out.announce.push_back(e);
        }
    } else {
        sap::Entry removed;
        what = "unbind " + describe(req);
        reply.status = table.unbind(req.name, req.type, sender, removed);
        if (reply.status == sap::kOk) {
            removed.hops = sap::kHopsDown;
            out.announce.push_back(removed);
        }
    }
    out.reply = true;
    out.status = reply.status;
    out.reply_bytes = sap::encode_reply(reply);
    out.log = what + " from " + from + ": " + sap::status_text(reply.status);
    if (reply.status == sap::kTableFull)
        out.log += " (" + std::to_string(table.local_limit()) + " services, the limit)";
    return out;
}

} // namespace ombrad
