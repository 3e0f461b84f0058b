// The udp link: IPX in UDP (RFC 1234). Each datagram is one whole IPX
// packet, checksum field FF FF; a host's node is 00 00 and its IPv4
// address, so a unicast packet goes to the address in its destination
// node. Broadcasts go as one copy to each configured peer.
#include "link_config.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>

namespace ipxstackd {

using namespace ipxcore;

namespace {

constexpr int kReadsPerCall = 64;

struct sockaddr_in inet(uint32_t ip, uint16_t port)
{
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(ip);
    sa.sin_port = htons(port);
    return sa;
}

class UdpLink final : public Link {
public:
    UdpLink(const LinkConfig &cfg, Sys &sys, SysFd fd)
        : Link(LinkInfo{cfg.net, node_from_host(cfg.addr), cfg.mtu, cfg.ticks}), cfg_(cfg), sys_(sys),
          fd_(std::move(fd)), buf_(65536)
    {
    }
    const char *kind() const override { return "udp"; }
    std::string describe() const override
    {
        std::string s = "udp " + ipv4_text(cfg_.addr, cfg_.port);
        for (const UdpPeer &p : cfg_.peers)
            s += " peer " + ipv4_text(p.ip, p.port);
        return s;
    }
    int fd() const override { return fd_.get(); }
    bool carries_checksums() const override { return false; }
    uint64_t next_deadline() const override { return UINT64_MAX; }

    SendResult send(std::vector<uint8_t> pkt, const Node &hop, uint64_t) override
    {
        if (pkt.size() > info_.mtu) {
            counters_.drop(Drop::Oversized);
            return SendResult::Dropped;
        }
        // The tunnel carries no IPX checksums.
        pkt[0] = pkt[1] = 0xFF;
        if (hop == kBroadcastNode) {
            SendResult r = SendResult::Sent;
            for (const UdpPeer &p : cfg_.peers)
                if (!send_to(pkt, p.ip, p.port))
                    r = SendResult::Dropped;
            return r;
        }
        uint32_t ip = static_cast<uint32_t>(hop[2]) << 24 | static_cast<uint32_t>(hop[3]) << 16 |
                      static_cast<uint32_t>(hop[4]) << 8 | hop[5];
        if (hop[0] != 0 || hop[1] != 0 || ip == 0 || ip == 0xFFFFFFFF) {
            counters_.drop(Drop::NoAddress);
            return SendResult::Dropped;
        }
        uint16_t port = cfg_.port;
        for (const UdpPeer &p : cfg_.peers)
            if (p.ip == ip)
                port = p.port;
        return send_to(pkt, ip, port) ? SendResult::Sent : SendResult::Dropped;
    }

    bool receive(std::vector<uint8_t> &packet, uint64_t) override
    {
        for (int i = 0; i < kReadsPerCall; i++) {
            struct sockaddr_in from {};
            socklen_t fl = sizeof from;
            ssize_t r = sys_.recvfrom(fd_.get(), buf_.data(), buf_.size(), MSG_DONTWAIT | MSG_TRUNC,
                                      reinterpret_cast<struct sockaddr *>(&from), &fl);
            if (r < 0)
                return false;  // nothing more (EAGAIN), or an ICMP error reported late
            size_t n = static_cast<size_t>(r);
            uint32_t ip = ntohl(from.sin_addr.s_addr);
            std::optional<Drop> bad;
            if (n < 2) bad = Drop::Short;
            else if (buf_[0] != 0xFF || buf_[1] != 0xFF) bad = Drop::NotFfff;
            else if (n > info_.mtu) bad = Drop::Oversized;
            else bad = check_arrival(buf_.data(), n, info_.mtu);
            // A sender of this network sends as itself (else replies would
            // go elsewhere); a packet from another network came through a
            // router of this one, and carries its first sender's address.
            uint32_t src_net = uint32_t(buf_[18]) << 24 | uint32_t(buf_[19]) << 16 |
                               uint32_t(buf_[20]) << 8 | buf_[21];
            if (!bad && (src_net == 0 || src_net == info_.net) &&
                std::memcmp(buf_.data() + 22, node_from_host(ip).data(), 6) != 0)
                bad = Drop::WrongSender;
            if (!bad && ip == cfg_.addr && ntohs(from.sin_port) == cfg_.port)
                bad = Drop::Own;
            if (bad) {
                counters_.drop(*bad);
                continue;
            }
            counters_.packets_in++;
            counters_.bytes_in += n;
            packet.assign(buf_.begin(), buf_.begin() + static_cast<long>(n));
            return true;
        }
        return false;
    }

private:
    bool send_to(const std::vector<uint8_t> &pkt, uint32_t ip, uint16_t port)
    {
        struct sockaddr_in sa = inet(ip, port);
        return send_counted(sys_, fd_.get(), pkt, reinterpret_cast<const struct sockaddr *>(&sa), sizeof sa,
                            pkt.size(), counters_);
    }

    LinkConfig cfg_;
    Sys &sys_;
    SysFd fd_;
    std::vector<uint8_t> buf_;
};

} // namespace

std::unique_ptr<Link> open_udp_link(const LinkConfig &cfg, Sys &sys, LinkLog, std::string &error)
{
    SysFd fd(sys, sys.socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    // The UDP checksum is the tunnel's only protection of the data (Linux
    // computes it unless told not to; say so all the same).
    int zero = 0;
    sys.setsockopt(fd.get(), SOL_SOCKET, SO_NO_CHECK, &zero, sizeof zero);
    struct sockaddr_in sa = inet(cfg.addr, cfg.port);
    if (sys.bind(fd.get(), reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) < 0) {
        int e = errno;
        error = "cannot use " + ipv4_text(cfg.addr, cfg.port) + ": " + std::strerror(e);
        if (e == EADDRNOTAVAIL)
            error += " (not an address of this host)";
        else if (e == EADDRINUSE)
            error += " (the port is in use)";
        return nullptr;
    }
    return std::make_unique<UdpLink>(cfg, sys, std::move(fd));
}

} // namespace ipxstackd
