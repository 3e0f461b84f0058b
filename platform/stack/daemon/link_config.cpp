// "--link" text into LinkConfig, and checks across links.
#include "link_config.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

namespace ipxstackd {

namespace {

bool parse_net(const std::string &v, uint32_t &out)
{
    if (v.empty() || v.size() > 8)
        return false;
    for (char c : v)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    unsigned long n = std::strtoul(v.c_str(), nullptr, 16);
    // 0 means "this network"; FFFFFFFE and FFFFFFFF are reserved.
    if (n == 0 || n >= 0xFFFFFFFEul)
        return false;
    out = static_cast<uint32_t>(n);
    return true;
}

bool parse_num(const std::string &v, unsigned long lo, unsigned long hi, unsigned long &out)
{
    if (v.empty() || v.size() > 6)
        return false;
    for (char c : v)
        if (c < '0' || c > '9')
            return false;
    unsigned long n = std::strtoul(v.c_str(), nullptr, 10);
    if (n < lo || n > hi)
        return false;
    out = n;
    return true;
}

bool parse_ipv4(const std::string &v, uint32_t &out)
{
    struct in_addr in;
    if (inet_pton(AF_INET, v.c_str(), &in) != 1)
        return false;
    out = ntohl(in.s_addr);
    return true;
}

// "A[:PORT]" with PORT 1..65535.
bool split_port(const std::string &v, std::string &host, uint16_t &port)
{
    size_t colon = v.rfind(':');
    host = v.substr(0, colon);
    if (colon == std::string::npos)
        return !host.empty();
    unsigned long p = 0;
    if (host.empty() || !parse_num(v.substr(colon + 1), 1, 65535, p))
        return false;
    port = static_cast<uint16_t>(p);
    return true;
}

const char *type_keys(LinkType t)
{
    switch (t) {
    case LinkType::Udp: return "net, addr, port, peer, mtu, ticks";
    case LinkType::Dosbox: return "net, server, mtu, ticks";
    case LinkType::Ethernet: return "net, dev, frame, mtu, ticks";
    }
    return "";
}

std::string net_text(uint32_t net)
{
    char b[16];
    std::snprintf(b, sizeof b, "%08X", net);
    return b;
}

} // namespace

std::string ipv4_text(uint32_t ip, uint16_t port)
{
    char b[32];
    std::snprintf(b, sizeof b, "%u.%u.%u.%u:%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF,
                  ip & 0xFF, port);
    return b;
}

bool parse_link(const std::string &text, LinkConfig &out, std::string &error)
{
    const std::string where = "--link " + text + ": ";
    auto fail = [&](const std::string &why) {
        error = where + why;
        return false;
    };
    std::vector<std::string> items;
    for (size_t pos = 0;;) {
        size_t comma = text.find(',', pos);
        items.push_back(text.substr(pos, comma == std::string::npos ? comma : comma - pos));
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    LinkConfig c;
    c.text = text;
    if (items[0] == "udp") c.type = LinkType::Udp;
    else if (items[0] == "dosbox") c.type = LinkType::Dosbox;
    else if (items[0] == "ethernet") c.type = LinkType::Ethernet;
    else return fail("unknown link type \"" + items[0] + "\" (udp, dosbox or ethernet)");

    std::set<std::string> seen;
    for (size_t i = 1; i < items.size(); i++) {
        const std::string &item = items[i];
        size_t eq = item.find('=');
        if (eq == std::string::npos)
            return fail("\"" + item + "\" is not KEY=VALUE");
        std::string key = item.substr(0, eq), v = item.substr(eq + 1);
        std::string allowed = type_keys(c.type);
        bool known = false;
        for (size_t p = 0; p <= allowed.size();) {
            size_t e = allowed.find(", ", p);
            if (allowed.substr(p, e == std::string::npos ? e : e - p) == key)
                known = true;
            if (e == std::string::npos) break;
            p = e + 2;
        }
        if (!known)
            return fail("unknown key \"" + key + "\" for a " + items[0] + " link (" + allowed + ")");
        if (key != "peer" && !seen.insert(key).second)
            return fail("\"" + key + "\" given twice");
        unsigned long n = 0;
        if (key == "net") {
            if (!parse_net(v, c.net))
                return fail("bad network number \"" + v +
                            "\" (1 to 8 hex digits, not 0, FFFFFFFE or FFFFFFFF)");
        } else if (key == "mtu") {
            if (!parse_num(v, ipxcore::kIpxMaxPacket, ipxcore::kIpxLinkMaxPacket, n))
                return fail("bad mtu \"" + v + "\" (576 to 1500)");
            c.mtu = n;
        } else if (key == "ticks") {
            if (!parse_num(v, 1, 1000, n))
                return fail("bad ticks \"" + v + "\" (1 to 1000)");
            c.ticks = static_cast<uint16_t>(n);
        } else if (key == "addr") {
            if (!parse_ipv4(v, c.addr) || c.addr == 0 || c.addr == 0xFFFFFFFF)
                return fail("bad address \"" + v + "\" (an IPv4 address of this host)");
        } else if (key == "port") {
            if (!parse_num(v, 1, 65535, n))
                return fail("bad port \"" + v + "\" (1 to 65535)");
            c.port = static_cast<uint16_t>(n);
        } else if (key == "peer") {
            std::string host;
            UdpPeer p;
            p.port = 0;  // the link's port unless given
            if (!split_port(v, host, p.port) || !parse_ipv4(host, p.ip) || p.ip == 0 ||
                p.ip == 0xFFFFFFFF)
                return fail("bad peer \"" + v + "\" (IPV4 or IPV4:PORT)");
            c.peers.push_back(p);
        } else if (key == "server") {
            if (!split_port(v, c.server, c.server_port))
                return fail("bad server \"" + v + "\" (HOST or HOST:PORT)");
        } else if (key == "dev") {
            if (v.empty() || v.size() >= 16 || v.find('/') != std::string::npos)
                return fail("bad interface name \"" + v + "\"");
            c.dev = v;
        } else if (key == "frame") {
            if (!ipxcore::parse_frame_type(v, c.frame))
                return fail("bad frame type \"" + v + "\" (ethernet_ii, 802.3, 802.2 or snap)");
        }
    }
    std::vector<const char *> required = {"net"};
    if (c.type == LinkType::Udp) required.push_back("addr");
    if (c.type == LinkType::Dosbox) required.push_back("server");
    if (c.type == LinkType::Ethernet) {
        required.push_back("dev");
        required.push_back("frame");
    }
    for (const char *k : required)
        if (!seen.count(k))
            return fail(std::string("\"") + k + "\" is missing");
    for (UdpPeer &p : c.peers)
        if (p.port == 0)
            p.port = c.port;
    if (c.type == LinkType::Ethernet) {
        size_t room = ipxcore::kEthMaxPayload - (ipxcore::frame_overhead(c.frame) - ipxcore::kEthHeaderLen);
        if (c.mtu > room)
            return fail("mtu " + std::to_string(c.mtu) + " does not fit a " +
                        ipxcore::frame_type_name(c.frame) + " frame (at most " +
                        std::to_string(room) + ")");
    }
    out = c;
    return true;
}

bool check_links(const std::vector<LinkConfig> &links, std::string &error)
{
    std::map<uint32_t, const LinkConfig *> nets;
    std::map<std::pair<std::string, int>, const LinkConfig *> frames;
    for (const LinkConfig &c : links) {
        auto [it, fresh] = nets.emplace(c.net, &c);
        if (!fresh) {
            error = "--link " + c.text + ": network " + net_text(c.net) +
                    " is already the network of --link " + it->second->text;
            return false;
        }
        if (c.type == LinkType::Ethernet) {
            auto [f, fresh2] = frames.emplace(std::make_pair(c.dev, static_cast<int>(c.frame)), &c);
            if (!fresh2) {
                error = "--link " + c.text + ": " + c.dev + " already carries " +
                        ipxcore::frame_type_name(c.frame) + " frames for --link " + f->second->text;
                return false;
            }
        }
    }
    return true;
}

std::unique_ptr<ipxcore::Link> open_link(const LinkConfig &cfg, Sys &sys, LinkLog log,
                                         std::string &error)
{
    std::unique_ptr<ipxcore::Link> l;
    switch (cfg.type) {
    case LinkType::Udp: l = open_udp_link(cfg, sys, log, error); break;
    case LinkType::Dosbox: l = open_relay_link(cfg, sys, log, error); break;
    case LinkType::Ethernet: l = open_packet_link(cfg, sys, log, error); break;
    }
    if (!l)
        error = "--link " + cfg.text + ": " + error;
    return l;
}

bool send_counted(Sys &sys, int fd, const std::vector<uint8_t> &wire, const struct sockaddr *to,
                  socklen_t to_len, size_t ipx_bytes, ipxcore::LinkCounters &counters)
{
    ssize_t r = sys.sendto(fd, wire.data(), wire.size(), MSG_DONTWAIT, to, to_len);
    if (r != static_cast<ssize_t>(wire.size())) {
        counters.drop(ipxcore::Drop::SendError);
        return false;
    }
    counters.packets_out++;
    counters.bytes_out += ipx_bytes;
    return true;
}

} // namespace ipxstackd
