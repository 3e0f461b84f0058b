// The link interface's shared parts: counters, the arrival check, the
// internal loopback.
#include "link.h"

#include <cstring>

namespace ipxcore {

const char *drop_name(Drop d)
{
    static const char *const names[] = {
        "short",     "oversized",  "truncated", "bad-length", "not-ffff", "broadcast-source",
        "wrong-sender", "other-frame", "not-ipx", "damaged", "not-for-us", "own",
        "down",      "no-address", "queue-full", "send-error", "wrong-network",
    };
    static_assert(sizeof(names) / sizeof(names[0]) == kDropCauses);
    size_t i = static_cast<size_t>(d);
    return i < kDropCauses ? names[i] : "?";
}

const char *state_name(LinkState s)
{
    switch (s) {
    case LinkState::Up: return "up";
    case LinkState::Registering: return "registering";
    case LinkState::Down: return "down";
    }
    return "?";
}

uint64_t LinkCounters::dropped() const
{
    uint64_t n = 0;
    for (uint64_t d : drops)
        n += d;
    return n;
}

std::string LinkCounters::text() const
{
    std::string s = "in " + std::to_string(packets_in) + " pkts " + std::to_string(bytes_in) +
                    " bytes, out " + std::to_string(packets_out) + " pkts " +
                    std::to_string(bytes_out) + " bytes, dropped " + std::to_string(dropped());
    for (size_t i = 0; i < kDropCauses; i++)
        if (drops[i])
            s += std::string(" ") + drop_name(static_cast<Drop>(i)) + " " + std::to_string(drops[i]);
    return s;
}

std::optional<Drop> check_arrival(const uint8_t *pkt, size_t &len, size_t mtu)
{
    if (len < kIpxHeaderLen)
        return Drop::Short;
    size_t field = static_cast<size_t>(pkt[2]) << 8 | pkt[3];
    if (field < kIpxHeaderLen)
        return Drop::BadLength;
    if (field > len)
        return Drop::Truncated;
    if (field > mtu)
        return Drop::Oversized;
    if (std::memcmp(pkt + 22, kBroadcastNode.data(), 6) == 0)
        return Drop::BroadcastSource;
    uint16_t sum = static_cast<uint16_t>(pkt[0] << 8 | pkt[1]);
    if (sum != 0xFFFF && sum != ipx_checksum(pkt, field))
        return Drop::Damaged;
    len = field;
    return std::nullopt;
}

SendResult LoopbackLink::send(std::vector<uint8_t> packet, const Node &, uint64_t)
{
    if (queue_.size() >= limit_) {
        counters_.drop(Drop::QueueFull);
        return SendResult::Dropped;
    }
    counters_.packets_out++;
    counters_.bytes_out += packet.size();
    queue_.push_back(std::move(packet));
    return SendResult::Sent;
}

bool LoopbackLink::receive(std::vector<uint8_t> &packet, uint64_t)
{
    if (queue_.empty()) return false;
    packet = std::move(queue_.front());
    queue_.pop_front();
    counters_.packets_in++;
    counters_.bytes_in += packet.size();
    return true;
}

uint64_t LoopbackLink::next_deadline() const { return queue_.empty() ? UINT64_MAX : 0; }

} // namespace ipxcore
