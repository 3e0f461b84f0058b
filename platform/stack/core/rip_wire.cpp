#include "rip_wire.h"

#include <algorithm>

namespace ipxcore {

namespace {

void put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t get32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

std::string hex8(uint32_t v)
{
    static const char digits[] = "0123456789abcdef";
    std::string s(8, '0');
    for (int i = 7; i >= 0; i--, v >>= 4)
        s[static_cast<size_t>(i)] = digits[v & 0xF];
    return s;
}

} // namespace

bool routable_net(uint32_t net)
{
    return net != 0 && net != 0xFFFFFFFE && net != 0xFFFFFFFF;
}

std::vector<std::vector<uint8_t>> encode_rip(uint16_t op, const std::vector<RipEntry> &entries)
{
    std::vector<std::vector<uint8_t>> packets;
    for (size_t first = 0; first < entries.size(); first += kRipMaxEntries) {
        size_t count = std::min(kRipMaxEntries, entries.size() - first);
        std::vector<uint8_t> b(2 + count * kRipEntryLen);
        put16(b.data(), op);
        for (size_t i = 0; i < count; i++) {
            const RipEntry &e = entries[first + i];
            uint8_t *q = b.data() + 2 + i * kRipEntryLen;
            q[0] = static_cast<uint8_t>(e.net >> 24);
            q[1] = static_cast<uint8_t>(e.net >> 16);
            q[2] = static_cast<uint8_t>(e.net >> 8);
            q[3] = static_cast<uint8_t>(e.net);
            put16(q + 4, e.hops);
            put16(q + 6, e.ticks);
        }
        packets.push_back(std::move(b));
    }
    return packets;
}

bool decode_rip(const uint8_t *p, size_t n, RipPacket &out, std::string &why)
{
    if (n < 2) {
        why = "RIP packet of " + std::to_string(n) + " bytes";
        return false;
    }
    RipPacket pk;
    pk.op = get16(p);
    if (pk.op != kRipRequest && pk.op != kRipResponse) {
        why = "unknown RIP operation " + std::to_string(pk.op);
        return false;
    }
    size_t body = n - 2;
    if (body == 0 || body % kRipEntryLen != 0) {
        why = "RIP packet of " + std::to_string(n) + " bytes is no whole number of entries";
        return false;
    }
    size_t count = body / kRipEntryLen;
    if (count > kRipMaxEntries) {
        why = "RIP packet with " + std::to_string(count) + " entries (at most 50)";
        return false;
    }
    for (size_t i = 0; i < count; i++) {
        const uint8_t *q = p + 2 + i * kRipEntryLen;
        RipEntry e{get32(q), get16(q + 4), get16(q + 6)};
        if (pk.op == kRipResponse) {
            if (!routable_net(e.net)) {
                why = "RIP entry " + std::to_string(i + 1) + " for network " + hex8(e.net);
                return false;
            }
            if (e.hops > kRipUnreachable) {
                why = "RIP entry " + std::to_string(i + 1) + " with " + std::to_string(e.hops) +
                      " hops";
                return false;
            }
        } else if (e.net == 0 || e.net == 0xFFFFFFFE ||
                   (e.net == kRipAllNetworks && count != 1)) {
            why = "RIP request for network " + hex8(e.net);
            return false;
        }
        pk.entries.push_back(e);
    }
    out = std::move(pk);
    return true;
}

} // namespace ipxcore
