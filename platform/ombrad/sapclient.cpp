#include "sapclient.h"

#include "endpoint.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <poll.h>

namespace sap {
namespace {

using Clock = std::chrono::steady_clock;

bool same_service(const Service &a, const Entry &e)
{
    return a.type == e.type && a.name == e.name && get_address(a.addr) == e.addr;
}

// Broadcasts a General Service Query for `type` and gathers the answers
// into `out` until `timeout_ms` pass or `done` says enough.
int collect(uint16_t type, int timeout_ms, std::vector<Service> &out, std::string &error,
            const std::function<bool(const std::vector<Service> &)> &done)
{
    out.clear();
    if (timeout_ms < 0) {
        error = "negative time-out";
        return -1;
    }
    ombrad::DatagramEndpoint ep;
    if (!ep.open(0, error)) {
        error = "cannot open a datagram endpoint: " + error;
        return -1;
    }
    Address all{ep.address().net, kBroadcastNode, kSapSocket};
    if (!ep.send(all, encode_query(kGeneralQuery, type), error, ombrad::kSapPacketType)) {
        error = "cannot send the service query: " + error;
        return -1;
    }

    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return 0;
        struct pollfd pfd = {ep.fd(), POLLIN, 0};
        int n = poll(&pfd, 1, int(left.count()));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = std::string("poll: ") + std::strerror(errno);
            return -1;
        }
        if (n == 0)
            return 0;
        for (;;) {
            Address from;
            Bytes data;
            std::string why;
            auto got = ep.receive(from, data, why);
            if (got == ombrad::DatagramEndpoint::Got::nothing)
                break;
            if (got == ombrad::DatagramEndpoint::Got::failed) {
                error = why;
                return -1;
            }
            Packet pk;
            if (got != ombrad::DatagramEndpoint::Got::datagram ||
                !decode_packet(data.data(), data.size(), pk, why) ||
                (pk.op != kGeneralResponse && pk.op != kNearestResponse))
                continue;  // not an answer: somebody else's traffic or garbage
            for (const Entry &e : pk.entries) {
                if ((type != kAllTypes && e.type != type) || e.hops >= kHopsDown)
                    continue;
                auto it = std::find_if(out.begin(), out.end(),
                                       [&](const Service &s) { return same_service(s, e); });
                if (it != out.end()) {
                    it->hops = std::min(it->hops, e.hops);
                    continue;
                }
                Service s{e.type, e.name, {}, e.hops};
                put_address(s.addr, e.addr);
                out.push_back(std::move(s));
            }
            if (done && done(out))
                return 0;
        }
    }
}

} // namespace

int query_services(uint16_t type, int timeout_ms, std::vector<Service> &out, std::string &error)
{
    std::vector<Service> found;
    if (collect(type, timeout_ms, found, error, {}) < 0)
        return -1;
    std::sort(found.begin(), found.end(), [](const Service &a, const Service &b) {
        return a.type != b.type ? a.type < b.type : a.name < b.name;
    });
    out = std::move(found);
    return 0;
}

int find_service(const std::string &name, uint16_t type, int timeout_ms, Service &out,
                 std::string &error)
{
    if (!valid_name(name)) {
        error = "\"" + name + "\" is no service name (1 to 47 printable characters)";
        return -1;
    }
    auto match = [&](const Service &s) { return same_name(s.name, name); };
    // A service on the network answers with one hop or none, and nothing
    // can beat that: stop there. Farther matches wait for the full time in
    // case a nearer one answers.
    std::vector<Service> found;
    if (collect(type, timeout_ms, found, error, [&](const std::vector<Service> &so_far) {
            return std::any_of(so_far.begin(), so_far.end(),
                               [&](const Service &s) { return match(s) && s.hops <= 1; });
        }) < 0)
        return -1;
    const Service *best = nullptr;
    for (const Service &s : found)
        if (match(s) && (!best || s.hops < best->hops))
            best = &s;
    if (!best) {
        error = "no service \"" + name + "\" answered";
        return -1;
    }
    out = *best;
    return 0;
}

} // namespace sap
