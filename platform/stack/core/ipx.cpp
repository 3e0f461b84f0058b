// IPX addresses and header codec.
#include "ipx.h"

#include <cstdio>
#include <cstring>

namespace ipxcore {

namespace {

inline uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

} // namespace

IpxAddress IpxAddress::from_bytes(const uint8_t *b12) {
    IpxAddress a;
    a.net = get32(b12);
    std::memcpy(a.node.data(), b12 + 4, 6);
    a.socket = get16(b12 + 10);
    return a;
}

void IpxAddress::to_bytes(uint8_t *b12) const {
    put32(b12, net);
    std::memcpy(b12 + 4, node.data(), 6);
    put16(b12 + 10, socket);
}

bool IpxAddress::is_broadcast_node() const { return node == kBroadcastNode; }

std::string IpxAddress::text() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%08x:%02x%02x%02x%02x%02x%02x:%04x", net, node[0], node[1],
                  node[2], node[3], node[4], node[5], socket);
    return buf;
}

std::array<uint8_t, 6> node_from_host(uint32_t host) {
    return {0, 0, static_cast<uint8_t>(host >> 24), static_cast<uint8_t>(host >> 16),
            static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host)};
}

// One's complement sum of the 16-bit words from offset 2 to `len`, with the
// transport control byte (offset 4) counted as zero because routers change it
// in flight. An odd final byte is padded with zero. The result is never
// 0xFFFF, which means "no checksum" on the wire.
uint16_t ipx_checksum(const uint8_t *pkt, size_t len) {
    uint32_t sum = 0;
    for (size_t i = 2; i + 1 < len; i += 2) {
        uint16_t w = get16(pkt + i);
        if (i == 4) w &= 0x00FF;  // hops zeroed, packet type kept
        sum += w;
    }
    if (len > 2 && (len & 1)) sum += static_cast<uint32_t>(pkt[len - 1]) << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    uint16_t c = static_cast<uint16_t>(~sum);
    return c == 0xFFFF ? 0 : c;
}

void encode_ipx_header(const IpxHeader &h, uint8_t *out) {
    put16(out, h.checksum);
    put16(out + 2, h.length);
    out[4] = h.hops;
    out[5] = h.type;
    h.dst.to_bytes(out + 6);
    h.src.to_bytes(out + 18);
}

std::vector<uint8_t> encode_ipx(const IpxHeader &h, const uint8_t *data, size_t len,
                                bool with_checksum) {
    std::vector<uint8_t> pkt(kIpxHeaderLen + len);
    IpxHeader hh = h;
    hh.length = static_cast<uint16_t>(pkt.size());
    hh.checksum = 0xFFFF;
    encode_ipx_header(hh, pkt.data());
    if (len) std::memcpy(pkt.data() + kIpxHeaderLen, data, len);
    if (with_checksum) put16(pkt.data(), ipx_checksum(pkt.data(), pkt.size()));
    return pkt;
}

std::optional<IpxView> decode_ipx(const uint8_t *pkt, size_t len) {
    if (pkt == nullptr || len < kIpxHeaderLen) return std::nullopt;
    IpxView v;
    IpxHeader &h = v.header;
    h.checksum = get16(pkt);
    h.length = get16(pkt + 2);
    if (h.length < kIpxHeaderLen || h.length > len) return std::nullopt;
    if (h.checksum != 0xFFFF && h.checksum != ipx_checksum(pkt, h.length)) return std::nullopt;
    h.hops = pkt[4];
    h.type = pkt[5];
    h.dst = IpxAddress::from_bytes(pkt + 6);
    h.src = IpxAddress::from_bytes(pkt + 18);
    v.data = pkt + kIpxHeaderLen;
    v.data_len = h.length - kIpxHeaderLen;
    return v;
}

} // namespace ipxcore
