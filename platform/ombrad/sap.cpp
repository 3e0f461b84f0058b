#include "sap.h"

#include <cstdio>

namespace sap {
namespace {

void put16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

void put32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

uint16_t get16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }

uint32_t get32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// The name in a field of `field` bytes: up to the first NUL, or the whole
// field when there is none.
std::string get_name(const uint8_t *p, size_t field)
{
    size_t len = 0;
    while (len < field && p[len] != 0)
        ++len;
    return std::string(reinterpret_cast<const char *>(p), len);
}

void put_name(uint8_t *p, const std::string &name)
{
    size_t len = name.size() < kMaxName ? name.size() : kMaxName;
    for (size_t i = 0; i < kNameField; ++i)
        p[i] = i < len ? uint8_t(name[i]) : 0;
}

} // namespace

void put_address(uint8_t *p, const Address &a)
{
    put32(p, a.net);
    for (size_t i = 0; i < 6; ++i)
        p[4 + i] = a.node[i];
    put16(p + 10, a.socket);
}

Address get_address(const uint8_t *p)
{
    Address a;
    a.net = get32(p);
    for (size_t i = 0; i < 6; ++i)
        a.node[i] = p[4 + i];
    a.socket = get16(p + 10);
    return a;
}

std::string to_string(const Address &a)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x:%02x%02x%02x%02x%02x%02x:%04x", unsigned(a.net),
                  a.node[0], a.node[1], a.node[2], a.node[3], a.node[4], a.node[5],
                  unsigned(a.socket));
    return buf;
}

bool valid_name(const std::string &name)
{
    if (name.empty() || name.size() > kMaxName)
        return false;
    for (char c : name)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}

bool same_name(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return true;
}

Bytes encode_query(uint16_t op, uint16_t type)
{
    Bytes b(kQuerySize);
    put16(&b[0], op);
    put16(&b[2], type);
    return b;
}

std::vector<Bytes> encode_responses(uint16_t op, const std::vector<Entry> &entries)
{
    std::vector<Bytes> packets;
    for (size_t first = 0; first < entries.size(); first += kMaxEntries) {
        size_t count = entries.size() - first;
        if (count > kMaxEntries)
            count = kMaxEntries;
        Bytes b(2 + count * kEntrySize);
        put16(&b[0], op);
        for (size_t i = 0; i < count; ++i) {
            const Entry &e = entries[first + i];
            uint8_t *p = &b[2 + i * kEntrySize];
            put16(p, e.type);
            put_name(p + 2, e.name);
            put_address(p + 50, e.addr);
            put16(p + 62, e.hops);
        }
        packets.push_back(std::move(b));
    }
    return packets;
}

bool decode_packet(const uint8_t *p, size_t n, Packet &out, std::string &why)
{
    if (n < 2) {
        why = "SAP packet of " + std::to_string(n) + " bytes";
        return false;
    }
    Packet pk;
    pk.op = get16(p);
    switch (pk.op) {
    case kGeneralQuery:
    case kNearestQuery:
        if (n != kQuerySize) {
            why = "SAP query of " + std::to_string(n) + " bytes (4 expected)";
            return false;
        }
        pk.type = get16(p + 2);
        break;
    case kGeneralResponse:
    case kNearestResponse: {
        size_t body = n - 2;
        if (body == 0 || body % kEntrySize != 0) {
            why = "SAP response of " + std::to_string(n) + " bytes is no whole number of entries";
            return false;
        }
        size_t count = body / kEntrySize;
        size_t limit = pk.op == kNearestResponse ? 1 : kMaxEntries;
        if (count > limit) {
            why = "SAP response with " + std::to_string(count) + " entries (at most " +
                  std::to_string(limit) + ")";
            return false;
        }
        for (size_t i = 0; i < count; ++i) {
            const uint8_t *q = p + 2 + i * kEntrySize;
            Entry e;
            e.type = get16(q);
            e.name = get_name(q + 2, kNameField);
            if (!valid_name(e.name)) {
                why = "SAP entry " + std::to_string(i + 1) + " has an unusable name";
                return false;
            }
            e.addr = get_address(q + 50);
            e.hops = get16(q + 62);
            pk.entries.push_back(std::move(e));
        }
        break;
    }
    default:
        why = "unknown SAP operation " + std::to_string(pk.op);
        return false;
    }
    out = std::move(pk);
    return true;
}

const char *status_text(int32_t status)
{
    switch (status) {
    case kOk: return "done";
    case kMalformed: return "malformed request";
    case kBadName: return "unusable service name";
    case kBadService: return "unusable service type or address";
    case kNameInUse: return "name already advertised at another address";
    case kTableFull: return "service table full";
    case kUnknownService: return "no such service advertised";
    case kNotPrivileged: return "not from a privileged socket (below 0x4000)";
    case kNotOwner: return "registered from another address";
    default: return "unknown status";
    }
}

Bytes encode_request(const Request &r)
{
    Bytes b(kRequestSize);
    put16(&b[0], r.code);
    put16(&b[2], r.seq);
    put16(&b[4], r.type);
    put16(&b[6], r.socket);
    // Unlike a SAP entry, the request field may be filled to all 48 bytes.
    for (size_t i = 0; i < kNameField; ++i)
        b[8 + i] = i < r.name.size() ? uint8_t(r.name[i]) : 0;
    for (size_t i = 0; i < 6; ++i)
        b[56 + i] = r.node[i];
    return b;
}

bool decode_request(const uint8_t *p, size_t n, Request &out, std::string &why)
{
    if (n != kRequestSize) {
        why = "request of " + std::to_string(n) + " bytes (62 expected)";
        return false;
    }
    Request r;
    r.code = get16(p);
    r.seq = get16(p + 2);
    r.type = get16(p + 4);
    r.socket = get16(p + 6);
    r.name = get_name(p + 8, kNameField);
    for (size_t i = 0; i < 6; ++i)
        r.node[i] = p[56 + i];
    out = std::move(r);
    return true;
}

Bytes encode_reply(const Reply &r)
{
    Bytes b(kReplySize);
    put16(&b[0], r.code);
    put16(&b[2], r.seq);
    put32(&b[4], uint32_t(r.status));
    return b;
}

bool decode_reply(const uint8_t *p, size_t n, Reply &out)
{
    if (n != kReplySize)
        return false;
    out.code = get16(p);
    out.seq = get16(p + 2);
    out.status = int32_t(get32(p + 4));
    return true;
}

} // namespace sap
