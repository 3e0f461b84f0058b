// The stack's side of routing: packets of this host that waited for a
// route go out once it is found, or fail clearly when none is.
#include "stack.h"

#include <tiuser.h>

#include <cerrno>

namespace ipxstackd {

void Stack::run_router()
{
    router_.run(now_);
    for (std::vector<uint8_t> &pkt : router_.take_released())
        send_out(std::move(pkt));
    for (const std::vector<uint8_t> &pkt : router_.take_failed())
        no_route(pkt);
}

void Stack::no_route(const std::vector<uint8_t> &pkt)
{
    counters_.unroutable++;
    counters_.packets_dropped++;
    auto v = ipxcore::decode_ipx(pkt.data(), pkt.size());
    if (!v)
        return;
    const IpxAddress &dst = v->header.dst;
    if (v->header.type == ipxcore::kIpxTypeSpx) {
        // A call still waiting for its answer fails; a connection that
        // has lost its way meanwhile is left to its own retries.
        auto sh = ipxcore::decode_spx(v->data, v->data_len);
        auto it = sh ? conns_.find(sh->src_id) : conns_.end();
        if (it != conns_.end() && it->second.c->state() == ipxcore::SpxState::Connecting &&
            !it->second.offered && it->second.c->remote() == dst) {
            it->second.forced_reason = kReasonNoRoute;
            it->second.c->abort();
            touch(it->second.ep);
        }
        return;
    }
    auto s = sockets_.find(v->header.src.socket);
    Endpoint *e = s == sockets_.end() ? nullptr : find(s->second);
    counters_.datagrams_dropped++;
    if (e != nullptr && e->svc == Service::Datagram && e->state == T_IDLE &&
        e->uderr.size() < 16)  // as many as sndudata keeps
    {
        e->uderr.push_back({dst, v->header.type, ENETUNREACH});
        touch(e->id);
    }
}

} // namespace ipxstackd
