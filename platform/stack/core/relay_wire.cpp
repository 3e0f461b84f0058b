// The relay protocol's own packets.
#include "relay_wire.h"

#include <cstring>

namespace ipxcore {

std::array<uint8_t, 6> relay_node(uint32_t ip, uint16_t port)
{
    return {static_cast<uint8_t>(ip >> 24), static_cast<uint8_t>(ip >> 16),
            static_cast<uint8_t>(ip >> 8),  static_cast<uint8_t>(ip),
            static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
}

void relay_endpoint(const std::array<uint8_t, 6> &n, uint32_t &ip, uint16_t &port)
{
    ip = static_cast<uint32_t>(n[0]) << 24 | static_cast<uint32_t>(n[1]) << 16 |
         static_cast<uint32_t>(n[2]) << 8 | n[3];
    port = static_cast<uint16_t>(n[4] << 8 | n[5]);
}

namespace {

std::vector<uint8_t> bare(const std::array<uint8_t, 6> &dst, const std::array<uint8_t, 6> &src)
{
    IpxHeader h;
    h.dst.node = dst;
    h.dst.socket = kRelaySocket;
    h.src.node = src;
    h.src.socket = kRelaySocket;
    return encode_ipx(h, nullptr, 0);
}

} // namespace

std::vector<uint8_t> relay_registration(const std::array<uint8_t, 6> &own)
{
    return bare({}, own);
}

std::vector<uint8_t> relay_ping_answer(const std::array<uint8_t, 6> &own,
                                       const std::array<uint8_t, 6> &pinger)
{
    return bare(pinger, own);
}

RelayKind classify_relay(const uint8_t *pkt, size_t len, std::array<uint8_t, 6> &node)
{
    auto v = decode_ipx(pkt, len);
    if (!v || v->header.dst.socket != kRelaySocket)
        return v ? RelayKind::Data : RelayKind::Other;
    const IpxHeader &h = v->header;
    if (h.dst.is_broadcast_node()) {
        node = h.src.node;
        return RelayKind::Ping;
    }
    // The server's answer: from its own socket 2, network 1 (DOSBox's
    // server marks its answer so), to a node that is an address and port.
    uint32_t ip = 0;
    uint16_t port = 0;
    relay_endpoint(h.dst.node, ip, port);
    if (h.src.socket == kRelaySocket && h.src.net == 1 && v->data_len == 0 && ip != 0 && port != 0) {
        node = h.dst.node;
        return RelayKind::Registration;
    }
    return RelayKind::Other;
}

} // namespace ipxcore
