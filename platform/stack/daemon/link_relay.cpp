// The dosbox link: a client of a DOSBox-compatible IPX relay server. The
// link registers as DOSBox does and takes the node the server assigns (the
// IPv4 address and UDP port it sees). Everything goes to the server, which
// relays by destination node. While the server says nothing, the link
// sends a bare packet to its own node through the server now and then:
// a live server that still knows us sends it straight back; otherwise the
// link registers again (the server may have restarted and forgotten us).
// Broadcast pings to socket 2 are answered as DOSBox clients answer them.
#include "link_config.h"

#include "../core/relay_wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

namespace ipxstackd {

using namespace ipxcore;

namespace {

constexpr int kReadsPerCall = 64;
constexpr uint64_t kRegisterFastMs = 1000;   // between the first registrations
constexpr int kFastTries = 5;
constexpr uint64_t kRegisterSlowMs = 5000;   // after that
constexpr uint64_t kQuietMs = 15000;         // server silent this long: probe it
constexpr uint64_t kProbeMs = 2000;          // between probes
constexpr int kProbes = 3;                   // unanswered probes before registering again

class RelayLink final : public Link {
public:
    RelayLink(const LinkConfig &cfg, Sys &sys, SysFd fd, struct sockaddr_in server, LinkLog log)
        : Link(LinkInfo{cfg.net, Node{}, cfg.mtu, cfg.ticks}), cfg_(cfg), sys_(sys), fd_(std::move(fd)),
          server_(server), log_(std::move(log)), buf_(65536)
    {
    }
    const char *kind() const override { return "dosbox"; }
    std::string describe() const override
    {
        return "dosbox server " + ipv4_text(ntohl(server_.sin_addr.s_addr), ntohs(server_.sin_port));
    }
    int fd() const override { return fd_.get(); }
    bool carries_checksums() const override { return false; }
    LinkState state() const override { return state_; }

    uint64_t next_deadline() const override
    {
        if (state_ == LinkState::Registering)
            return next_tx_;
        if (probes_ > 0)
            return next_tx_;
        return heard_ + kQuietMs;
    }

    void on_timer(uint64_t now) override
    {
        if (state_ == LinkState::Registering) {
            if (now < next_tx_)
                return;
            transmit(relay_registration(Node{}));
            tries_++;
            next_tx_ = now + (tries_ < kFastTries ? kRegisterFastMs : kRegisterSlowMs);
            if (tries_ == kFastTries)
                log_("link " + describe() + ": no answer from the server yet; still trying");
            return;
        }
        if (now < heard_ + kQuietMs || (probes_ > 0 && now < next_tx_))
            return;
        if (probes_ >= kProbes) {
            log_("link " + describe() + ": the server answers nothing; registering again");
            state_ = LinkState::Registering;
            probes_ = 0;
            tries_ = 0;
            next_tx_ = now;
            on_timer(now);
            return;
        }
        transmit(relay_ping_answer(info_.node, info_.node));  // to ourselves, through the server
        probes_++;
        next_tx_ = now + kProbeMs;
    }

    SendResult send(std::vector<uint8_t> pkt, const Node &, uint64_t) override
    {
        if (state_ != LinkState::Up) {
            counters_.drop(Drop::Down);
            return SendResult::Down;
        }
        if (pkt.size() > info_.mtu) {
            counters_.drop(Drop::Oversized);
            return SendResult::Dropped;
        }
        pkt[0] = pkt[1] = 0xFF;
        return transmit(pkt) ? SendResult::Sent : SendResult::Dropped;
    }

    bool receive(std::vector<uint8_t> &packet, uint64_t now) override
    {
        for (int i = 0; i < kReadsPerCall; i++) {
            struct sockaddr_in from {};
            socklen_t fl = sizeof from;
            ssize_t r = sys_.recvfrom(fd_.get(), buf_.data(), buf_.size(), MSG_DONTWAIT | MSG_TRUNC,
                                      reinterpret_cast<struct sockaddr *>(&from), &fl);
            if (r < 0)
                return false;
            size_t n = static_cast<size_t>(r);
            if (from.sin_addr.s_addr != server_.sin_addr.s_addr || from.sin_port != server_.sin_port) {
                counters_.drop(Drop::WrongSender);  // only the server speaks to us
                continue;
            }
            heard_ = now;
            probes_ = 0;
            std::optional<Drop> bad;
            if (n > info_.mtu) bad = Drop::Oversized;
            else bad = check_arrival(buf_.data(), n, info_.mtu);
            if (bad) {
                counters_.drop(*bad);
                continue;
            }
            counters_.packets_in++;
            counters_.bytes_in += n;
            Node who{};
            switch (classify_relay(buf_.data(), n, who)) {
            case RelayKind::Registration:
                registered(who);
                continue;
            case RelayKind::Ping:
                if (state_ == LinkState::Up && who != info_.node)
                    transmit(relay_ping_answer(info_.node, who));
                continue;
            case RelayKind::Other:
                continue;  // our own probe come back, ping answers
            case RelayKind::Data:
                break;
            }
            if (state_ != LinkState::Up) {
                counters_.drop(Drop::Down);
                continue;
            }
            if (std::memcmp(buf_.data() + 22, info_.node.data(), 6) == 0) {
                counters_.drop(Drop::Own);
                continue;
            }
            packet.assign(buf_.begin(), buf_.begin() + static_cast<long>(n));
            return true;
        }
        return false;
    }

private:
    void registered(const Node &node)
    {
        if (state_ == LinkState::Up && node == info_.node)
            return;
        char b[64];
        std::snprintf(b, sizeof b, "%02x%02x%02x%02x%02x%02x", node[0], node[1], node[2], node[3],
                      node[4], node[5]);
        if (state_ == LinkState::Up)
            log_("link " + describe() + ": the server moved us to node " + b);
        else
            log_("link " + describe() + ": registered as node " + b);
        info_.node = node;
        state_ = LinkState::Up;
    }

    bool transmit(const std::vector<uint8_t> &pkt)
    {
        return send_counted(sys_, fd_.get(), pkt, reinterpret_cast<const struct sockaddr *>(&server_),
                            sizeof server_, pkt.size(), counters_);
    }

    LinkConfig cfg_;
    Sys &sys_;
    SysFd fd_;
    struct sockaddr_in server_;
    LinkLog log_;
    std::vector<uint8_t> buf_;
    LinkState state_ = LinkState::Registering;
    int tries_ = 0;
    int probes_ = 0;
    uint64_t next_tx_ = 0;  // the first registration goes out at once
    uint64_t heard_ = 0;
};

} // namespace

std::unique_ptr<Link> open_relay_link(const LinkConfig &cfg, Sys &sys, LinkLog log,
                                      std::string &error)
{
    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *res = nullptr;
    int g = getaddrinfo(cfg.server.c_str(), nullptr, &hints, &res);
    if (g != 0 || res == nullptr) {
        error = "cannot find server \"" + cfg.server + "\": " + gai_strerror(g);
        return nullptr;
    }
    struct sockaddr_in server;
    std::memcpy(&server, res->ai_addr, sizeof server);
    freeaddrinfo(res);
    server.sin_port = htons(cfg.server_port);

    SysFd fd(sys, sys.socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    int zero = 0;
    sys.setsockopt(fd.get(), SOL_SOCKET, SO_NO_CHECK, &zero, sizeof zero);
    struct sockaddr_in any {};
    any.sin_family = AF_INET;
    if (sys.bind(fd.get(), reinterpret_cast<struct sockaddr *>(&any), sizeof any) < 0) {
        error = std::string("cannot bind a UDP port: ") + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<RelayLink>(cfg, sys, std::move(fd), server, std::move(log));
}

} // namespace ipxstackd
