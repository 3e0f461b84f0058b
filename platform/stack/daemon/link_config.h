// The links of ipxstackd: "--link TYPE,KEY=VALUE,..." text into plain
// configurations (nothing opened), checks across links, and the opening of
// each link's sockets.
//
//   udp,net=HEX8,addr=IPV4[,port=N][,peer=IPV4[:PORT]]...[,mtu=N][,ticks=N]
//   dosbox,net=HEX8,server=HOST[:PORT][,mtu=N][,ticks=N]
//   ethernet,net=HEX8,dev=IFACE,frame=ethernet_ii|802.3|802.2|snap[,mtu=N][,ticks=N]
#ifndef IPXSTACKD_LINK_CONFIG_H
#define IPXSTACKD_LINK_CONFIG_H

#include "../core/frame.h"
#include "../core/link.h"
#include "sys.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ipxstackd {

enum class LinkType { Udp, Dosbox, Ethernet };

constexpr uint16_t kIpxUdpPort = 213;

struct UdpPeer {
    uint32_t ip = 0;  // host order
    uint16_t port = kIpxUdpPort;
};

struct LinkConfig {
    std::string text;  // as given, for messages
    LinkType type = LinkType::Udp;
    uint32_t net = 0;
    size_t mtu = ipxcore::kIpxMaxPacket;
    uint16_t ticks = 1;  // what crossing the link costs a route (1/18 s)
    // udp
    uint32_t addr = 0;  // host order
    uint16_t port = kIpxUdpPort;
    std::vector<UdpPeer> peers;
    // dosbox
    std::string server;
    uint16_t server_port = kIpxUdpPort;
    // ethernet
    std::string dev;
    ipxcore::FrameType frame = ipxcore::FrameType::EthernetII;
};

// Parses one "--link" text; false with a message naming the option and the
// mistake.
bool parse_link(const std::string &text, LinkConfig &out, std::string &error);
// Mistakes across links: two links with one network number, or one
// interface given the same frame type twice.
bool check_links(const std::vector<LinkConfig> &links, std::string &error);

using LinkLog = std::function<void(const std::string &)>;

// Opens the link's sockets; nullptr with a message naming the option (an
// unknown interface, a port in use, a server that cannot be found).
std::unique_ptr<ipxcore::Link> open_link(const LinkConfig &cfg, Sys &sys, LinkLog log,
                                         std::string &error);

// The drivers, one per type (link_udp.cpp, link_relay.cpp, link_packet.cpp).
std::unique_ptr<ipxcore::Link> open_udp_link(const LinkConfig &cfg, Sys &sys, LinkLog log,
                                             std::string &error);
std::unique_ptr<ipxcore::Link> open_relay_link(const LinkConfig &cfg, Sys &sys, LinkLog log,
                                               std::string &error);
std::unique_ptr<ipxcore::Link> open_packet_link(const LinkConfig &cfg, Sys &sys, LinkLog log,
                                                std::string &error);

// "10.0.0.1:213"
std::string ipv4_text(uint32_t ip, uint16_t port);

// Sends `wire` (an IPX packet of `ipx_bytes`, in its link's framing) to
// `to` without waiting, and counts it as sent or as a send error.
bool send_counted(Sys &sys, int fd, const std::vector<uint8_t> &wire, const struct sockaddr *to,
                  socklen_t to_len, size_t ipx_bytes, ipxcore::LinkCounters &counters);

} // namespace ipxstackd

#endif
