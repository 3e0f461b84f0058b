// IPX addresses and the IPX header: pure encode/decode, no I/O.
#ifndef IPXSTACK_CORE_IPX_H
#define IPXSTACK_CORE_IPX_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ipxcore {

constexpr size_t kIpxHeaderLen = 30;
constexpr size_t kIpxMaxPacket = 576;                   // classic size across routers
constexpr size_t kIpxMaxData = kIpxMaxPacket - kIpxHeaderLen;  // 546
// The largest packet any link may be configured to carry (a link's MTU is
// 576 unless its configuration says otherwise).
constexpr size_t kIpxLinkMaxPacket = 1500;

// Packet types.
constexpr uint8_t kIpxTypePlain = 0;
constexpr uint8_t kIpxTypeRip = 1;
constexpr uint8_t kIpxTypeEcho = 2;
constexpr uint8_t kIpxTypeError = 3;
constexpr uint8_t kIpxTypePep = 4;
constexpr uint8_t kIpxTypeSpx = 5;

// Well-known sockets.
constexpr uint16_t kSocketSap = 0x0452;
constexpr uint16_t kSocketRip = 0x0453;
constexpr uint16_t kFirstDynamicSocket = 0x4000;
constexpr uint16_t kLastDynamicSocket = 0x7FFF;

struct IpxAddress {
    uint32_t net = 0;
    std::array<uint8_t, 6> node{};
    uint16_t socket = 0;

    // The 12-byte wire/netbuf form: net 4, node 6, socket 2, big-endian.
    static IpxAddress from_bytes(const uint8_t *b12);
    void to_bytes(uint8_t *b12) const;
    bool is_broadcast_node() const;          // node FF:FF:FF:FF:FF:FF
    std::string text() const;                // "0000abcd:000000000001:8063"
    bool operator==(const IpxAddress &) const = default;
};

// A node made of two zero bytes and a 32-bit host number.
std::array<uint8_t, 6> node_from_host(uint32_t host);
constexpr std::array<uint8_t, 6> kBroadcastNode{0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

struct IpxHeader {
    uint16_t checksum = 0xFFFF;  // 0xFFFF: no checksum
    uint16_t length = 0;         // whole packet, header included
    uint8_t hops = 0;            // transport control
    uint8_t type = 0;
    IpxAddress dst;
    IpxAddress src;
};

// Builds a whole IPX packet (header + data); length is filled in. A checksum
// is computed when `with_checksum` is set, else 0xFFFF is sent.
std::vector<uint8_t> encode_ipx(const IpxHeader &h, const uint8_t *data, size_t len,
                                bool with_checksum = false);

// Writes the 30-byte header as given (length and checksum fields verbatim),
// for callers that assemble a packet in place.
void encode_ipx_header(const IpxHeader &h, uint8_t *out30);

// Parses a packet; nullopt when it is shorter than 30 bytes, its length field
// is below 30 or above the bytes that arrived, or a checksum (other than
// 0xFFFF) does not match. Bytes beyond the length field are ignored.
// `data`/`data_len` point into `pkt`.
struct IpxView {
    IpxHeader header;
    const uint8_t *data = nullptr;
    size_t data_len = 0;
};
std::optional<IpxView> decode_ipx(const uint8_t *pkt, size_t len);

uint16_t ipx_checksum(const uint8_t *pkt, size_t len);

} // namespace ipxcore

#endif
