// Wire formats of the SAP daemon, without any I/O:
//  - SAP packets (socket 0x0452): service queries and responses;
//  - the request protocol of socket 0x0872, by which local programs ask the
//    daemon to start or stop advertising a service (62-byte request,
//    8-byte reply).
// Every integer on the wire is most significant byte first.
#ifndef DRAX_OMBRAD_SAP_H
#define DRAX_OMBRAD_SAP_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sap {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kSapSocket = 0x0452;
constexpr uint16_t kRequestSocket = 0x0872;

// SAP operations.
constexpr uint16_t kGeneralQuery = 1;
constexpr uint16_t kGeneralResponse = 2;
constexpr uint16_t kNearestQuery = 3;
constexpr uint16_t kNearestResponse = 4;

constexpr uint16_t kAllTypes = 0xFFFF;   // query for every type
constexpr uint16_t kHopsDown = 16;       // a withdrawn (unreachable) service
constexpr size_t kQuerySize = 4;
constexpr size_t kEntrySize = 64;
constexpr size_t kMaxEntries = 7;        // per response packet
constexpr size_t kNameField = 48;
constexpr size_t kMaxName = 47;          // the field always keeps a NUL

using Node = std::array<uint8_t, 6>;
constexpr Node kBroadcastNode = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// An IPX address; 12 bytes on the wire: net 4, node 6, socket 2.
struct Address {
    uint32_t net = 0;
    Node node{};
    uint16_t socket = 0;
    bool operator==(const Address &) const = default;
};
constexpr size_t kAddressSize = 12;
void put_address(uint8_t *p, const Address &a);
Address get_address(const uint8_t *p);
// "0000abcd:000000000001:0452"
std::string to_string(const Address &a);

// One service entry of a response.
struct Entry {
    uint16_t type = 0;
    std::string name;
    Address addr;
    uint16_t hops = 0;
    bool operator==(const Entry &) const = default;
};

// A decoded SAP packet: a query (op 1 or 3, `type` set) or a response
// (op 2 or 4, `entries` set).
struct Packet {
    uint16_t op = 0;
    uint16_t type = 0;
    std::vector<Entry> entries;
};

// A name that may go into a SAP entry or a request: 1 to 47 printable ASCII
// characters.
bool valid_name(const std::string &name);
// Case-insensitive (ASCII) equality of service names.
bool same_name(const std::string &a, const std::string &b);

Bytes encode_query(uint16_t op, uint16_t type);
// One packet per 7 entries; `op` is kGeneralResponse or kNearestResponse.
// Names are cut to 47 characters. No entries give no packets.
std::vector<Bytes> encode_responses(uint16_t op, const std::vector<Entry> &entries);

// Strict decoding: a query is exactly 4 bytes; a response is the operation
// and 1 to 7 whole entries, each with a valid name terminated within its
// field. Anything else fails with the reason in `why` and nothing decoded.
bool decode_packet(const uint8_t *p, size_t n, Packet &out, std::string &why);

// --- Request protocol (socket 0x0872) -----------------------------------

constexpr uint16_t kCodeBind = 1;
constexpr uint16_t kCodeUnbind = 2;
constexpr uint16_t kReplyBit = 0x8000;
constexpr size_t kRequestSize = 62;
constexpr size_t kReplySize = 8;
// Sockets below this one can be bound by root only (the stack refuses
// everyone else), so a request from one of them comes from a program of
// root's. Only such requests may register or withdraw a service.
constexpr uint16_t kFirstUnprivilegedSocket = 0x4000;

// Statuses of a reply. The request library passes a refusal on to its
// caller unchanged, and uses small positive codes of its own (2, 5, 6, 7)
// for failures on its side; our refusals are negative so that they never
// read as one of those.
enum Status : int32_t {
    kOk = 0,
    kMalformed = -1,       // not 62 bytes, or an unknown request code
    kBadName = -2,         // empty name, more than 47 characters, or not printable ASCII
    kBadService = -3,      // bind with type 0 or 0xFFFF, socket 0, or node 0 / broadcast
    kNameInUse = -4,       // name and type already advertised at another address
    kTableFull = -5,       // no room for another service
    kUnknownService = -6,  // unbind of a service that is not advertised
    kNotPrivileged = -7,   // request from a socket that any user may bind
    kNotOwner = -8,        // unbind from another address than the one that registered it
};
const char *status_text(int32_t status);

struct Request {
    uint16_t code = 0;
    uint16_t seq = 0;
    uint16_t type = 0;
    uint16_t socket = 0;
    std::string name;
    Node node{};
};

struct Reply {
    uint16_t code = 0;
    uint16_t seq = 0;
    int32_t status = 0;
};

Bytes encode_request(const Request &r);
// Decodes a request of exactly 62 bytes. The name ends at the first NUL of
// its field, or fills all 48 bytes (too long for SAP; valid_name refuses
// it). False with `why` when the length is wrong.
bool decode_request(const uint8_t *p, size_t n, Request &out, std::string &why);

Bytes encode_reply(const Reply &r);
bool decode_reply(const uint8_t *p, size_t n, Reply &out);

} // namespace sap

#endif
