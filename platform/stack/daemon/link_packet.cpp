// The ethernet link: IPX frames of one frame type on a network interface,
// through a packet socket. The node is the interface's MAC address. A
// filter in the kernel passes IPX frames of any type only; every frame is
// checked again here (frames may arrive before the filter is in place).
// Frames of the other IPX frame types are counted and ignored: another link
// may be serving them on the same interface. The link is down while the
// interface is not up and running (checked every second, and at once when
// the socket reports the network down): routing then stops using it.
#include "link_config.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>

namespace ipxstackd {

using namespace ipxcore;

namespace {

constexpr int kReadsPerCall = 64;
constexpr uint64_t kStateCheckMs = 1000;

class PacketLink final : public Link {
public:
    PacketLink(const LinkConfig &cfg, Sys &sys, SysFd fd, int ifindex, const Mac &mac)
        : Link(LinkInfo{cfg.net, mac, cfg.mtu, cfg.ticks}), cfg_(cfg), sys_(sys), fd_(std::move(fd)),
          ifindex_(ifindex), buf_(65536)
    {
    }
    const char *kind() const override { return "ethernet"; }
    std::string describe() const override
    {
        return "ethernet " + cfg_.dev + " " + frame_type_name(cfg_.frame);
    }
    int fd() const override { return fd_.get(); }
    // 802.3 raw frames are recognised by FF FF where the checksum would be.
    bool carries_checksums() const override { return cfg_.frame != FrameType::Raw8023; }
    uint64_t next_deadline() const override { return next_check_; }
    LinkState state() const override { return up_ ? LinkState::Up : LinkState::Down; }

    void on_timer(uint64_t now) override
    {
        next_check_ = now + kStateCheckMs;
        struct ifreq ifr {};
        std::memcpy(ifr.ifr_name, cfg_.dev.c_str(), std::min(cfg_.dev.size(), sizeof ifr.ifr_name - 1));
        if (sys_.ioctl(fd_.get(), SIOCGIFFLAGS, &ifr) == 0)
            up_ = (ifr.ifr_flags & IFF_UP) != 0 && (ifr.ifr_flags & IFF_RUNNING) != 0;
        else if (errno == ENODEV || errno == ENXIO)
            up_ = false;  // the interface is gone
    }

    SendResult send(std::vector<uint8_t> pkt, const Node &hop, uint64_t) override
    {
        if (!up_) {
            counters_.drop(Drop::Down);
            return SendResult::Down;
        }
        if (pkt.size() > info_.mtu) {
            counters_.drop(Drop::Oversized);
            return SendResult::Dropped;
        }
        if (!carries_checksums())
            pkt[0] = pkt[1] = 0xFF;
        std::vector<uint8_t> f = encode_frame(cfg_.frame, hop, info_.node, pkt.data(), pkt.size());
        struct sockaddr_ll sa {};
        sa.sll_family = AF_PACKET;
        sa.sll_ifindex = ifindex_;
        sa.sll_halen = 6;
        std::memcpy(sa.sll_addr, hop.data(), 6);
        return send_counted(sys_, fd_.get(), f, reinterpret_cast<const struct sockaddr *>(&sa), sizeof sa,
                            pkt.size(), counters_)
                   ? SendResult::Sent
                   : SendResult::Dropped;
    }

    bool receive(std::vector<uint8_t> &packet, uint64_t) override
    {
        for (int i = 0; i < kReadsPerCall; i++) {
            struct sockaddr_ll from {};
            socklen_t fl = sizeof from;
            ssize_t r = sys_.recvfrom(fd_.get(), buf_.data(), buf_.size(), MSG_DONTWAIT | MSG_TRUNC,
                                      reinterpret_cast<struct sockaddr *>(&from), &fl);
            if (r < 0) {
                if (errno == ENETDOWN)
                    next_check_ = 0;  // look at the interface now
                return false;
            }
            if (from.sll_pkttype == PACKET_OUTGOING)
                continue;  // our own frames (and other links' on this interface)
            size_t n = std::min(static_cast<size_t>(r), buf_.size());
            FrameView v = decode_frame(buf_.data(), n);
            std::optional<Drop> bad;
            size_t len = v.len;
            if (v.kind == FrameKind::Truncated) bad = Drop::Truncated;
            else if (v.kind == FrameKind::NotIpx) bad = Drop::NotIpx;
            else if (v.type != cfg_.frame) bad = Drop::OtherFrame;
            else if (v.dst != info_.node && v.dst != kBroadcastNode) bad = Drop::NotForUs;
            else if (v.src == info_.node) bad = Drop::Own;
            else bad = check_arrival(v.payload, len, info_.mtu);
            if (bad) {
                counters_.drop(*bad);
                continue;
            }
            counters_.packets_in++;
            counters_.bytes_in += len;
            packet.assign(v.payload, v.payload + len);
            return true;
        }
        return false;
    }

private:
    LinkConfig cfg_;
    Sys &sys_;
    SysFd fd_;
    int ifindex_;
    std::vector<uint8_t> buf_;
    bool up_ = true;
    uint64_t next_check_ = 0;
};

// Passes IPX frames of the four types: type 8137, or an 802.3 length
// followed by FF FF (raw), E0 E0 (802.2) or AA AA (SNAP, checked fully
// in user space).
const struct sock_filter kIpxFilter[] = {
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x8137, 5, 0),
    BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, 1500, 5, 0),
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 14),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0xFFFF, 2, 0),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0xE0E0, 1, 0),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0xAAAA, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, 0x40000),
    BPF_STMT(BPF_RET | BPF_K, 0),
};

} // namespace

std::unique_ptr<Link> open_packet_link(const LinkConfig &cfg, Sys &sys, LinkLog, std::string &error)
{
    unsigned idx = sys.if_nametoindex(cfg.dev.c_str());
    if (idx == 0) {
        error = "no interface \"" + cfg.dev + "\"";
        return nullptr;
    }
    SysFd fd(sys, sys.socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL)));
    if (fd.get() < 0) {
        error = std::string("packet socket: ") + std::strerror(errno);
        if (errno == EPERM)
            error += " (needs root or CAP_NET_RAW)";
        return nullptr;
    }
    struct ifreq ifr {};
    std::memcpy(ifr.ifr_name, cfg.dev.c_str(), cfg.dev.size());
    if (sys.ioctl(fd.get(), SIOCGIFHWADDR, &ifr) < 0) {
        error = "interface \"" + cfg.dev + "\": " + std::strerror(errno);
        return nullptr;
    }
    if (ifr.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
        error = "interface \"" + cfg.dev + "\" is not an Ethernet interface";
        return nullptr;
    }
    Mac mac;
    std::memcpy(mac.data(), ifr.ifr_hwaddr.sa_data, 6);
    if (sys.ioctl(fd.get(), SIOCGIFMTU, &ifr) == 0) {
        size_t need = cfg.mtu + frame_overhead(cfg.frame) - kEthHeaderLen;
        if (static_cast<size_t>(ifr.ifr_mtu) < need) {
            error = "interface \"" + cfg.dev + "\" carries " + std::to_string(ifr.ifr_mtu) +
                    " bytes, the link needs " + std::to_string(need);
            return nullptr;
        }
    }
    struct sock_fprog prog {};
    prog.len = sizeof kIpxFilter / sizeof kIpxFilter[0];
    prog.filter = const_cast<struct sock_filter *>(kIpxFilter);
    if (sys.setsockopt(fd.get(), SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) < 0) {
        error = std::string("packet filter: ") + std::strerror(errno);
        return nullptr;
    }
    // Our own frames need not come back (they are skipped all the same where
    // the kernel is older than this option).
    int one = 1;
    sys.setsockopt(fd.get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
    struct sockaddr_ll sa {};
    sa.sll_family = AF_PACKET;
    sa.sll_protocol = htons(ETH_P_ALL);
    sa.sll_ifindex = static_cast<int>(idx);
    if (sys.bind(fd.get(), reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) < 0) {
        error = "interface \"" + cfg.dev + "\": " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<PacketLink>(cfg, sys, std::move(fd), static_cast<int>(idx), mac);
}

} // namespace ipxstackd
