// Impairment of a link, for tests: loss, duplication, reordering, delay and
// damage, each with a rate. Pure and seeded, so that a run repeats exactly.
#ifndef IPXSTACK_CORE_IMPAIR_H
#define IPXSTACK_CORE_IMPAIR_H

#include "link.h"

#include <map>
#include <random>

namespace ipxcore {

struct ImpairmentConfig {
    double loss = 0;         // probability a packet is dropped
    double duplicate = 0;    // probability a packet is sent twice
    double reorder = 0;      // probability a packet is held back behind later ones
    double corrupt = 0;      // probability one byte is changed in transit (the link's check sees it)
    double damage = 0;       // probability one byte is changed past the link's check (a faulty host)
    uint32_t delay_ms = 0;   // fixed delay added to every packet
    uint32_t jitter_ms = 0;  // extra random delay, 0..jitter_ms
    uint32_t reorder_hold_ms = 20;  // how long a reordered packet is held back
    uint64_t seed = 1;
};

// Decides what becomes of one packet. Returns the copies to deliver, each
// with the time (absolute, ms) at which it is to be delivered; `corrupt`
// has already changed a byte of some of them.
class Impairment {
public:
    explicit Impairment(const ImpairmentConfig &cfg);
    struct Delivery {
        uint64_t at_ms;
        std::vector<uint8_t> packet;
    };
    std::vector<Delivery> apply(std::vector<uint8_t> packet, uint64_t now_ms);
    // Changes one byte of `packet` with the `damage` rate; true when it did.
    bool damage(std::vector<uint8_t> &packet);
    const ImpairmentConfig &config() const { return cfg_; }

    // Parses "loss=0.1,dup=0.1,reorder=0.1,corrupt=0.01,delay=5,jitter=2,seed=7";
    // false with a message on a bad item.
    static bool parse(const std::string &text, ImpairmentConfig &out, std::string &error);

private:
    void flip(std::vector<uint8_t> &p);
    ImpairmentConfig cfg_;
    std::mt19937_64 rng_;
};

// CRC-32 (the polynomial of Ethernet's frame check sequence).
uint32_t crc32(const uint8_t *p, size_t n);

// Any link behind an Impairment. What is sent is lost, doubled, held back
// or damaged as configured, and reaches the inner link when due. The
// impaired line is a line like every real link of the stack, whose own
// check catches damage in transit (Ethernet's frame check sequence, the UDP
// checksum): each packet travels with a CRC-32, and one that no longer
// matches is dropped and counted as damaged, never delivered. Only the
// `damage` rate changes bytes past that check, as a faulty host would.
class ImpairedLink final : public Link {
public:
    ImpairedLink(std::unique_ptr<Link> inner, const ImpairmentConfig &cfg);
    const char *kind() const override { return inner_->kind(); }
    std::string describe() const override { return inner_->describe() + " (impaired)"; }
    SendResult send(std::vector<uint8_t> packet, const Node &next_hop, uint64_t now_ms) override;
    bool receive(std::vector<uint8_t> &packet, uint64_t now_ms) override;
    uint64_t next_deadline() const override;
    void on_timer(uint64_t now_ms) override;
    int fd() const override { return inner_->fd(); }
    LinkState state() const override { return inner_->state(); }
    bool carries_checksums() const override { return inner_->carries_checksums(); }
    uint32_t net() const override { return inner_->net(); }
    Node node() const override { return inner_->node(); }
    size_t mtu() const override { return inner_->mtu(); }
    uint16_t ticks() const override { return inner_->ticks(); }
    LinkCounters &counters() override { return inner_->counters(); }
    Link &inner() { return *inner_; }

private:
    struct Held {
        Node next_hop;
        std::vector<uint8_t> packet;  // with its CRC-32 at the end
    };
    void release(uint64_t now_ms);
    std::unique_ptr<Link> inner_;
    Impairment impairment_;
    std::multimap<std::pair<uint64_t, uint64_t>, Held> held_;  // (due, order)
    uint64_t order_ = 0;
};

} // namespace ipxcore

#endif
