// IPX and SPX headers as they arrive from a link: the input is one packet.
// Whatever decodes must encode back to the same bytes, carry a checksum
// that survives a router's change of the hop count, and, for an SPX end of
// connection, give a well-formed answer.
#include "fuzzinput.h"
#include "ipx.h"
#include "spx.h"

#include <cstring>

using namespace ipxcore;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The decoder must read only what it was given: copy to an exact buffer.
    std::vector<uint8_t> pkt(data, data + size);
    auto v = decode_ipx(pkt.data(), pkt.size());
    if (!v)
        return 0;
    const IpxHeader &h = v->header;
    FUZZ_CHECK(h.length >= kIpxHeaderLen && h.length <= size);
    FUZZ_CHECK(v->data == pkt.data() + kIpxHeaderLen);
    FUZZ_CHECK(v->data_len == h.length - kIpxHeaderLen);

    // Encoded again: the same bytes but for the checksum field.
    std::vector<uint8_t> again = encode_ipx(h, v->data, v->data_len, false);
    FUZZ_CHECK(again.size() == h.length);
    FUZZ_CHECK(std::memcmp(again.data() + 2, pkt.data() + 2, h.length - 2) == 0);

    // With a checksum: it verifies, also after the hop count changed.
    std::vector<uint8_t> summed = encode_ipx(h, v->data, v->data_len, true);
    FUZZ_CHECK(summed[0] != 0xFF || summed[1] != 0xFF);
    FUZZ_CHECK(decode_ipx(summed.data(), summed.size()).has_value());
    summed[4] = static_cast<uint8_t>(summed[4] + 1);
    FUZZ_CHECK(decode_ipx(summed.data(), summed.size()).has_value());
    // Any other byte changed is noticed.
    if (h.length > kIpxHeaderLen) {
        summed[summed.size() - 1] ^= 0x01;
        FUZZ_CHECK(!decode_ipx(summed.data(), summed.size()).has_value());
    }

    FUZZ_CHECK(h.dst.text().size() == 26 && h.src.text().size() == 26);
    uint8_t b12[12];
    h.src.to_bytes(b12);
    FUZZ_CHECK(IpxAddress::from_bytes(b12) == h.src);

    if (h.type != kIpxTypeSpx)
        return 0;
    auto s = decode_spx(v->data, v->data_len);
    if (!s) {
        FUZZ_CHECK(v->data_len < kSpxHeaderLen);
        return 0;
    }
    uint8_t s12[kSpxHeaderLen];
    encode_spx(*s, s12);
    FUZZ_CHECK(std::memcmp(s12, v->data, kSpxHeaderLen) == 0);
    if (is_connect_request(*s))
        FUZZ_CHECK(s->dst_id == kSpxUnknownId && s->src_id != kSpxUnknownId);

    // The answer to a stray end of connection goes back where it came from,
    // with the connection IDs swapped.
    if (s->dstype == kSpxEndOfConnection && !(s->control & kSpxSys)) {
        std::vector<uint8_t> ans = spx_stray_end_answer(h, *s);
        auto av = decode_ipx(ans.data(), ans.size());
        FUZZ_CHECK(av.has_value());
        FUZZ_CHECK(av->header.dst == h.src && av->header.src == h.dst);
        FUZZ_CHECK(av->header.type == kIpxTypeSpx);
        auto as = decode_spx(av->data, av->data_len);
        FUZZ_CHECK(as.has_value());
        FUZZ_CHECK(as->src_id == s->dst_id && as->dst_id == s->src_id);
        FUZZ_CHECK(as->dstype == kSpxEndOfConnectionAck);
        FUZZ_CHECK(as->ack == static_cast<uint16_t>(s->seq + 1));
    }
    return 0;
}
