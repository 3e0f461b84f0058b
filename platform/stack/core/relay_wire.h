// The DOSBox-compatible IPX relay: the few packets of its own protocol,
// pure encode/decode.
//
// A client registers with a bare IPX header to socket 2, every address zero
// (or, when it registers again, its own node as the source). The server
// answers with a bare header to socket 2 whose destination node is the
// client's IPv4 address and UDP port as the server saw them: that is the
// client's node from then on. The server relays every other packet by its
// destination node read back as address and port, and copies broadcasts to
// every client but the sender. A bare header broadcast to socket 2 is a
// ping; a client answers it with a bare header of its own to the pinger.
#ifndef IPXSTACK_CORE_RELAY_WIRE_H
#define IPXSTACK_CORE_RELAY_WIRE_H

#include "ipx.h"

#include <array>
#include <cstdint>
#include <vector>

namespace ipxcore {

constexpr uint16_t kRelaySocket = 2;

// Node <-> IPv4 address and UDP port (both in host order here, network
// order in the node).
std::array<uint8_t, 6> relay_node(uint32_t ip, uint16_t port);
void relay_endpoint(const std::array<uint8_t, 6> &node, uint32_t &ip, uint16_t &port);

// The registration request; `own` is all zero on the first registration.
std::vector<uint8_t> relay_registration(const std::array<uint8_t, 6> &own);
// The answer to a ping from `pinger`.
std::vector<uint8_t> relay_ping_answer(const std::array<uint8_t, 6> &own,
                                       const std::array<uint8_t, 6> &pinger);

// What a packet that arrived from the relay is to the relay protocol.
enum class RelayKind {
    Data,          // not to socket 2: for the stack
    Registration,  // the server's answer to a registration: `node` is ours
    Ping,          // a broadcast ping from `node`
    Other,         // anything else to socket 2 (ping answers, junk)
};
// `pkt` has passed the arrival check (at least 30 bytes, length consistent).
RelayKind classify_relay(const uint8_t *pkt, size_t len, std::array<uint8_t, 6> &node);

} // namespace ipxcore

#endif
