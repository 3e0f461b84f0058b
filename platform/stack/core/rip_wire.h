// RIP packets (socket 0x0453, IPX packet type 1): pure encode/decode.
//
// A packet is an operation (1 request, 2 response) and up to 50 entries of
// 8 bytes: network u32, hops u16, ticks u16, most significant byte first.
// A request for every network carries the one network FFFFFFFF.
#ifndef IPXSTACK_CORE_RIP_WIRE_H
#define IPXSTACK_CORE_RIP_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ipxcore {

constexpr uint16_t kRipRequest = 1;
constexpr uint16_t kRipResponse = 2;
constexpr size_t kRipEntryLen = 8;
constexpr size_t kRipMaxEntries = 50;
constexpr uint16_t kRipUnreachable = 16;   // hops: the network cannot be reached
constexpr uint32_t kRipAllNetworks = 0xFFFFFFFF;

struct RipEntry {
    uint32_t net = 0;
    uint16_t hops = 0;
    uint16_t ticks = 0;
    bool operator==(const RipEntry &) const = default;
};

struct RipPacket {
    uint16_t op = 0;
    std::vector<RipEntry> entries;
};

// One packet body per 50 entries (none for no entries).
std::vector<std::vector<uint8_t>> encode_rip(uint16_t op, const std::vector<RipEntry> &entries);

// Strict decoding. A packet is taken only whole: a known operation, 1 to 50
// whole entries, and in a response no network 0, FFFFFFFE or FFFFFFFF and
// no hop count above 16. A request names networks (FFFFFFFF alone: all of
// them). Anything else fails with the reason in `why` and nothing decoded.
bool decode_rip(const uint8_t *p, size_t n, RipPacket &out, std::string &why);

// A network number that may stand in a table: not 0, FFFFFFFE or FFFFFFFF.
bool routable_net(uint32_t net);

} // namespace ipxcore

#endif
