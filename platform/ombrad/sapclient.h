// SAP client library (`sapclient`): asks the network, through the IPX
// datagram provider "/dev/ravitp", which services are advertised.
//
// Every call opens its own datagram endpoint at a dynamic socket, broadcasts
// one General Service Query on the local network (socket 0x0452), gathers
// the General Service Responses that arrive within the time given, and
// closes the endpoint again. The host's own SAP daemon answers local
// queriers with what it advertises and with what it has learned from other
// hosts, so the result also covers services elsewhere on the network.
// IPX_DEVDIR in the environment moves the devices, as for every TLI user.
#ifndef DRAX_SAPCLIENT_H
#define DRAX_SAPCLIENT_H

#include <cstdint>
#include <string>
#include <vector>

namespace sap {

struct Service {
    uint16_t type;      // SAP service type
    std::string name;   // as advertised (at most 47 characters)
    uint8_t addr[12];   // IPX address: net 4, node 6, socket 2, MSB first
    uint16_t hops;      // 0 to 15; withdrawn services (16) are never listed
};

// Broadcasts a General Service Query for `type` (0xFFFF: all) on the local
// network from a dynamic socket and collects the answers for timeout_ms.
// 0 on success (possibly no services), -1 with `error` set. Each service
// (type, name, address) appears once, with the lowest hop count heard; the
// list is sorted by type, then name.
int query_services(uint16_t type, int timeout_ms, std::vector<Service> &out, std::string &error);

// Finds the service called `name` (compared case-insensitively) of `type`
// (0xFFFF: any). 0 found, -1 not found or error (`error` says which). When
// several answer, the one with the fewest hops wins.
int find_service(const std::string &name, uint16_t type, int timeout_ms, Service &out,
                 std::string &error);

} // namespace sap

#endif
