// Ethernet framing of IPX.
#include "frame.h"

#include <algorithm>
#include <cstring>

namespace ipxcore {

namespace {

constexpr uint8_t kLlc[3] = {0xE0, 0xE0, 0x03};
constexpr uint8_t kSnap[8] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x81, 0x37};

} // namespace

const char *frame_type_name(FrameType t)
{
    switch (t) {
    case FrameType::EthernetII: return "ethernet_ii";
    case FrameType::Raw8023: return "802.3";
    case FrameType::Llc8022: return "802.2";
    case FrameType::Snap: return "snap";
    }
    return "?";
}

bool parse_frame_type(const std::string &text, FrameType &out)
{
    for (FrameType t : {FrameType::EthernetII, FrameType::Raw8023, FrameType::Llc8022, FrameType::Snap})
        if (text == frame_type_name(t)) {
            out = t;
            return true;
        }
    return false;
}

size_t frame_overhead(FrameType t)
{
    switch (t) {
    case FrameType::Llc8022: return kEthHeaderLen + sizeof kLlc;
    case FrameType::Snap: return kEthHeaderLen + sizeof kSnap;
    default: return kEthHeaderLen;
    }
}

std::vector<uint8_t> encode_frame(FrameType t, const Mac &dst, const Mac &src, const uint8_t *ipx,
                                  size_t len)
{
    size_t head = frame_overhead(t);
    std::vector<uint8_t> f(std::max(head + len, kEthMinFrame), 0);
    std::memcpy(f.data(), dst.data(), 6);
    std::memcpy(f.data() + 6, src.data(), 6);
    // 802.3 frames carry the length of what follows the header (without
    // padding); Ethernet II carries the type.
    uint16_t tl = t == FrameType::EthernetII ? kEthertypeIpx : static_cast<uint16_t>(head - kEthHeaderLen + len);
    f[12] = static_cast<uint8_t>(tl >> 8);
    f[13] = static_cast<uint8_t>(tl);
    if (t == FrameType::Llc8022) std::memcpy(f.data() + kEthHeaderLen, kLlc, sizeof kLlc);
    if (t == FrameType::Snap) std::memcpy(f.data() + kEthHeaderLen, kSnap, sizeof kSnap);
    if (len) std::memcpy(f.data() + head, ipx, len);
    return f;
}

FrameView decode_frame(const uint8_t *frame, size_t len)
{
    FrameView v;
    if (len < kEthHeaderLen) {
        v.kind = FrameKind::Truncated;
        return v;
    }
    std::memcpy(v.dst.data(), frame, 6);
    std::memcpy(v.src.data(), frame + 6, 6);
    uint16_t tl = static_cast<uint16_t>(frame[12] << 8 | frame[13]);
    const uint8_t *body = frame + kEthHeaderLen;
    size_t rest = len - kEthHeaderLen;
    if (tl == kEthertypeIpx) {
        v.kind = FrameKind::Ipx;
        v.type = FrameType::EthernetII;
        v.payload = body;
        v.len = rest;
        return v;
    }
    if (tl > kEthMaxPayload)
        return v;  // another protocol (or an invalid type): not ours
    if (tl > rest) {
        v.kind = FrameKind::Truncated;
        return v;
    }
    rest = tl;  // what follows the 802.3 length is padding
    if (rest >= 2 && body[0] == 0xFF && body[1] == 0xFF) {
        v.type = FrameType::Raw8023;
        v.payload = body;
        v.len = rest;
    } else if (rest >= sizeof kSnap && std::memcmp(body, kSnap, sizeof kSnap) == 0) {
        v.type = FrameType::Snap;
        v.payload = body + sizeof kSnap;
        v.len = rest - sizeof kSnap;
    } else if (rest >= sizeof kLlc && std::memcmp(body, kLlc, sizeof kLlc) == 0) {
        v.type = FrameType::Llc8022;
        v.payload = body + sizeof kLlc;
        v.len = rest - sizeof kLlc;
    } else {
        return v;
    }
    v.kind = FrameKind::Ipx;
    return v;
}

} // namespace ipxcore
