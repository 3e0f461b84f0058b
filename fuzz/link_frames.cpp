// What a link reads from another host before the stack sees it: an
// Ethernet frame (any of the four IPX framings, or another protocol), the
// check every link makes of an arrived IPX packet, and the relay's reading
// of a packet from a DOSBox-style server. The input is one frame; the
// check and the relay's reading take its IPX payload when there is one,
// else the input itself as the packet (the UDP tunnel and the relay carry
// bare IPX packets).
//
// Checked besides: a decoded frame's payload lies inside it; a packet that
// passes the arrival check decodes as IPX with the length it was cut to,
// and framed again the same way it decodes to the same bytes; a relay
// registration names a node that is an address and a port.
#include "fuzzinput.h"
#include "frame.h"
#include "link.h"
#include "relay_wire.h"

#include <cstring>

using namespace ipxcore;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte: the link's largest packet (576 to 1500 bytes).
    const size_t mtu = 576 + size_t{data[0]} * 4;
    const uint8_t *frame = data + 1;
    const size_t flen = size - 1;

    const uint8_t *pkt = frame;
    size_t len = flen;
    FrameView v = decode_frame(frame, flen);
    if (v.kind == FrameKind::Ipx) {
        FUZZ_CHECK(v.payload >= frame && v.payload + v.len <= frame + flen);
        pkt = v.payload;
        len = v.len;
    } else if (v.kind == FrameKind::Truncated) {
        FUZZ_CHECK(flen < kEthHeaderLen ||
                   static_cast<size_t>(frame[12] << 8 | frame[13]) > flen - kEthHeaderLen);
    }

    size_t cut = len;
    std::optional<Drop> bad = check_arrival(pkt, cut, mtu);
    if (bad)
        return 0;
    FUZZ_CHECK(cut >= kIpxHeaderLen && cut <= len && cut <= mtu);
    auto ipx = decode_ipx(pkt, cut);
    FUZZ_CHECK(ipx.has_value());
    FUZZ_CHECK(ipx->header.length == cut);
    FUZZ_CHECK(!ipx->header.src.is_broadcast_node());

    if (v.kind == FrameKind::Ipx) {
        std::vector<uint8_t> again = encode_frame(v.type, v.dst, v.src, pkt, cut);
        FUZZ_CHECK(again.size() >= kEthMinFrame);
        FrameView w = decode_frame(again.data(), again.size());
        FUZZ_CHECK(w.kind == FrameKind::Ipx && w.type == v.type);
        FUZZ_CHECK(w.dst == v.dst && w.src == v.src);
        FUZZ_CHECK(w.len >= cut && std::memcmp(w.payload, pkt, cut) == 0);
    }

    std::array<uint8_t, 6> node{};
    switch (classify_relay(pkt, cut, node)) {
    case RelayKind::Registration: {
        uint32_t ip = 0;
        uint16_t port = 0;
        relay_endpoint(node, ip, port);
        FUZZ_CHECK(ip != 0 && port != 0);
        FUZZ_CHECK(relay_node(ip, port) == node);
        break;
    }
    case RelayKind::Ping:
        FUZZ_CHECK(node == ipx->header.src.node);
        break;
    case RelayKind::Data:
        FUZZ_CHECK(ipx->header.dst.socket != kRelaySocket);
        break;
    case RelayKind::Other:
        FUZZ_CHECK(ipx->header.dst.socket == kRelaySocket);
        break;
    }
    return 0;
}
