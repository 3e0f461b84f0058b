// SAP packets and the request and reply of Ombrad's request socket, as
// they arrive: the input is one datagram, read by each decoder. What
// decodes must encode back to the same bytes (a response with names cut
// as the encoder cuts them), and a decoder that refuses says why.
#include "fuzzinput.h"
#include "sap.h"

#include <cstring>

using namespace sap;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> d(data, data + size);

    Packet pk;
    std::string why;
    if (decode_packet(d.data(), d.size(), pk, why)) {
        if (pk.op == kGeneralQuery || pk.op == kNearestQuery) {
            FUZZ_CHECK(size == kQuerySize);
            FUZZ_CHECK(encode_query(pk.op, pk.type) == d);
        } else {
            FUZZ_CHECK(pk.op == kGeneralResponse || pk.op == kNearestResponse);
            FUZZ_CHECK(!pk.entries.empty() && pk.entries.size() <= kMaxEntries);
            for (const Entry &e : pk.entries)
                FUZZ_CHECK(valid_name(e.name));
            std::vector<Bytes> again = encode_responses(pk.op, pk.entries);
            FUZZ_CHECK(again.size() == 1);
            FUZZ_CHECK(again[0].size() == size);
            Packet pk2;
            std::string why2;
            FUZZ_CHECK(decode_packet(again[0].data(), again[0].size(), pk2, why2));
            FUZZ_CHECK(pk2.entries == pk.entries);
            // Only the bytes after a name's terminator may differ.
            for (size_t i = 0; i < pk.entries.size(); i++) {
                const uint8_t *a = d.data() + 2 + i * kEntrySize;
                const uint8_t *b = again[0].data() + 2 + i * kEntrySize;
                size_t name_end = 2 + pk.entries[i].name.size() + 1;
                FUZZ_CHECK(std::memcmp(a, b, name_end) == 0);
                FUZZ_CHECK(std::memcmp(a + 50, b + 50, kEntrySize - 50) == 0);
            }
        }
    } else {
        FUZZ_CHECK(!why.empty());
    }

    Request req;
    why.clear();
    if (decode_request(d.data(), d.size(), req, why)) {
        FUZZ_CHECK(size == kRequestSize);
        FUZZ_CHECK(req.name.size() <= kNameField);
        FUZZ_CHECK(req.name.find('\0') == std::string::npos);
        Bytes again = encode_request(req);
        // The same bytes up to the name's terminator and after the field.
        size_t name_end = 8 + std::min(req.name.size() + 1, kNameField);
        FUZZ_CHECK(std::memcmp(again.data(), d.data(), name_end) == 0);
        FUZZ_CHECK(std::memcmp(again.data() + 56, d.data() + 56, 6) == 0);
    } else {
        FUZZ_CHECK(size != kRequestSize && !why.empty());
    }

    Reply rep;
    if (decode_reply(d.data(), d.size(), rep)) {
        FUZZ_CHECK(encode_reply(rep) == d);
        FUZZ_CHECK(status_text(rep.status) != nullptr);
    } else {
        FUZZ_CHECK(size != kReplySize);
    }
    return 0;
}
