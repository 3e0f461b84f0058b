// Links: how IPX packets leave and enter the stack. Each link is one IPX
// network (its number, this host's node on it, its largest packet); the
// internal loopback carries traffic between endpoints of this host. Links
// count what they carry and what they drop, by cause.
#ifndef IPXSTACK_CORE_LINK_H
#define IPXSTACK_CORE_LINK_H

#include "ipx.h"

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ipxcore {

using Node = std::array<uint8_t, 6>;

// Why a link dropped a packet or a frame.
enum class Drop : uint8_t {
    Short,            // fewer than 30 bytes
    Oversized,        // longer than the link's largest packet
    Truncated,        // the IPX length (or frame length) promises more than arrived
    BadLength,        // IPX length field below 30
    NotFfff,          // tunnel: first two bytes not FF FF
    BroadcastSource,  // source node FF:FF:FF:FF:FF:FF
    WrongSender,      // the source node is not the sender's address
    OtherFrame,       // an IPX frame of another frame type (Ethernet)
    NotIpx,           // a frame of another protocol (Ethernet)
    Damaged,          // the link's integrity check failed
    NotForUs,         // addressed to another network or node
    Own,              // our own packet come back
    Down,             // sent while the link was not up
    NoAddress,        // no address to send to (unicast node without one)
    QueueFull,        // internal queue full
    SendError,        // the system refused to send
    WrongNetwork,     // a broadcast whose source network is not the link's
    kCount
};
constexpr size_t kDropCauses = static_cast<size_t>(Drop::kCount);
const char *drop_name(Drop d);

struct LinkCounters {
    uint64_t packets_in = 0, bytes_in = 0;
    uint64_t packets_out = 0, bytes_out = 0;
    std::array<uint64_t, kDropCauses> drops{};
    void drop(Drop d) { drops[static_cast<size_t>(d)]++; }
    uint64_t dropped(Drop d) const { return drops[static_cast<size_t>(d)]; }
    uint64_t dropped() const;
    // "in 3 pkts 120 bytes, out ...; dropped short 1 damaged 2"
    std::string text() const;
};

enum class LinkState { Up, Registering, Down };
enum class SendResult { Sent, Dropped, Down };
const char *state_name(LinkState s);

// Where a link sits: its network, this host's node on it, its largest IPX
// packet (header included), and the time a packet takes to cross it in
// ticks (1/18 s), which routing adds up.
struct LinkInfo {
    uint32_t net = 0;
    Node node{};
    size_t mtu = kIpxMaxPacket;
    uint16_t ticks = 1;
};

// A link moves whole IPX packets between this stack and the hosts of one
// network. Links are driven by the daemon's loop, like the connections:
// packets go out with send(), arrivals come out of receive(), on_timer()
// runs when next_deadline() has come, and the loop waits on fd() when it is
// not -1. Every arrival a link returns has been checked: at least 30 bytes,
// its length field within what arrived (the packet is cut to it), a source
// that is not a broadcast, the link's own integrity check passed.
class Link {
public:
    explicit Link(const LinkInfo &info = {}) : info_(info) {}
    virtual ~Link() = default;
    virtual const char *kind() const = 0;            // "loopback", "udp", ...
    virtual std::string describe() const { return kind(); }  // for the status view
    // Sends one packet to `next_hop` (a node on this link; the broadcast
    // node for everyone). A packet that cannot go is counted and dropped.
    virtual SendResult send(std::vector<uint8_t> packet, const Node &next_hop, uint64_t now_ms) = 0;
    // One packet that has arrived by now_ms; false when there is none.
    virtual bool receive(std::vector<uint8_t> &packet, uint64_t now_ms) = 0;
    // When receive() or on_timer() next has something to do without help
    // from fd(): 0 for "now", UINT64_MAX for never.
    virtual uint64_t next_deadline() const = 0;
    virtual void on_timer(uint64_t) {}
    virtual int fd() const { return -1; }
    virtual LinkState state() const { return LinkState::Up; }
    // False where the packet must carry FF FF in its checksum field (the
    // UDP tunnel, 802.3 raw frames).
    virtual bool carries_checksums() const { return true; }

    virtual uint32_t net() const { return info_.net; }
    virtual Node node() const { return info_.node; }
    virtual size_t mtu() const { return info_.mtu; }
    virtual uint16_t ticks() const { return info_.ticks; }
    virtual LinkCounters &counters() { return counters_; }
    const LinkCounters &counters() const { return const_cast<Link *>(this)->counters(); }

protected:
    LinkInfo info_;
    LinkCounters counters_;
};

// Checks one arrived IPX packet as every link does, before it reaches the
// stack: the cause of the drop, or nothing when it is good. `len` becomes
// the IPX length field (what follows is padding). An IPX checksum other
// than FF FF that does not match counts as damage.
std::optional<Drop> check_arrival(const uint8_t *pkt, size_t &len, size_t mtu);

// The internal link: what is sent arrives back here, in order. A packet
// beyond `limit` waiting packets is dropped (a stack that stops reading its
// own loopback must not grow without bound).
class LoopbackLink final : public Link {
public:
    explicit LoopbackLink(size_t limit = 4096, const LinkInfo &info = {})
        : Link(info), limit_(limit) {}
    const char *kind() const override { return "loopback"; }
    SendResult send(std::vector<uint8_t> packet, const Node &next_hop, uint64_t now_ms) override;
    bool receive(std::vector<uint8_t> &packet, uint64_t now_ms) override;
    uint64_t next_deadline() const override;

private:
    std::deque<std::vector<uint8_t>> queue_;
    size_t limit_;
};

} // namespace ipxcore

#include "impair.h"

#endif
