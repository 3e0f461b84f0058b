// Links: how IPX packets leave and enter the stack. The loopback link is
// internal; a UDP tunnel link (IPX over UDP) plugs in through the same
// interface. Impairment wraps any link for tests: loss, duplication,
// reordering, delay and corruption, each with a rate.
#ifndef IPXSTACK_CORE_LINK_H
#define IPXSTACK_CORE_LINK_H

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace ipxcore {

struct ImpairmentConfig {
    double loss = 0;         // probability a packet is dropped
    double duplicate = 0;    // probability a packet is sent twice
    double reorder = 0;      // probability a packet is held back behind later ones
    double corrupt = 0;      // probability one byte of the packet is flipped
    uint32_t delay_ms = 0;   // fixed delay added to every packet
    uint32_t jitter_ms = 0;  // extra random delay, 0..jitter_ms
    uint32_t reorder_hold_ms = 20;  // how long a reordered packet is held back
    uint64_t seed = 1;
};

// Pure: decides what becomes of one packet. Returns the copies to deliver,
// each with the time (absolute, ms) at which it is to be delivered.
class Impairment {
public:
    explicit Impairment(const ImpairmentConfig &cfg);
    struct Delivery {
        uint64_t at_ms;
        std::vector<uint8_t> packet;
    };
    std::vector<Delivery> apply(std::vector<uint8_t> packet, uint64_t now_ms);
    const ImpairmentConfig &config() const { return cfg_; }

    // Parses "loss=0.1,dup=0.1,reorder=0.1,corrupt=0.01,delay=5,jitter=2,seed=7";
    // false with a message on a bad item.
    static bool parse(const std::string &text, ImpairmentConfig &out, std::string &error);

private:
    ImpairmentConfig cfg_;
    std::mt19937_64 rng_;
};

} // namespace ipxcore

#endif
