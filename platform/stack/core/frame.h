// IPX on Ethernet: the four frame types, pure encode/decode.
//
//   Ethernet II  dst src 8137                     IPX
//   802.3 raw    dst src length                   IPX (starts FF FF)
//   802.2        dst src length E0 E0 03          IPX
//   SNAP         dst src length AA AA 03 000000 8137 IPX
//
// Frames are padded to the Ethernet minimum of 60 bytes; the IPX length
// tells the real size (the link cuts the padding).
#ifndef IPXSTACK_CORE_FRAME_H
#define IPXSTACK_CORE_FRAME_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ipxcore {

using Mac = std::array<uint8_t, 6>;

enum class FrameType { EthernetII, Raw8023, Llc8022, Snap };

constexpr uint16_t kEthertypeIpx = 0x8137;
constexpr size_t kEthHeaderLen = 14;
constexpr size_t kEthMinFrame = 60;   // without the frame check sequence
constexpr size_t kEthMaxPayload = 1500;

// "ethernet_ii", "802.3", "802.2", "snap".
const char *frame_type_name(FrameType t);
bool parse_frame_type(const std::string &text, FrameType &out);
// Bytes in front of the IPX packet: 14, 14, 17, 22.
size_t frame_overhead(FrameType t);

// A whole frame (padded to 60 bytes) carrying `len` bytes of IPX.
std::vector<uint8_t> encode_frame(FrameType t, const Mac &dst, const Mac &src,
                                  const uint8_t *ipx, size_t len);

// What a received frame is.
enum class FrameKind {
    Ipx,        // an IPX frame of `type`; `payload` is the IPX packet and
                // whatever padding follows it
    NotIpx,     // another protocol
    Truncated,  // shorter than its header or its 802.3 length
};
struct FrameView {
    FrameKind kind = FrameKind::NotIpx;
    FrameType type = FrameType::EthernetII;
    Mac dst{}, src{};
    const uint8_t *payload = nullptr;
    size_t len = 0;
};
FrameView decode_frame(const uint8_t *frame, size_t len);

} // namespace ipxcore

#endif
