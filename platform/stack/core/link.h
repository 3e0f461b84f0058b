// Links: how IPX packets leave and enter the stack. The loopback link is
// internal; a UDP tunnel link (IPX over UDP) plugs in through the same
// interface. Impairment wraps any link for tests: loss, duplication,
// reordering, delay and corruption, each with a rate.
#ifndef IPXSTACK_CORE_LINK_H
#define IPXSTACK_CORE_LINK_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
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

// A link moves whole IPX packets between this stack and others. Links are
// driven by the daemon's loop, like the connections: packets go in with
// send(), arrivals come out of receive(), and the loop waits on fd() (when
// not -1) and wakes at next_deadline().
class Link {
public:
    virtual ~Link() = default;
    virtual const char *name() const = 0;
    virtual void send(std::vector<uint8_t> packet, uint64_t now_ms) = 0;
    // One packet that has arrived by now_ms; false when there is none.
    virtual bool receive(std::vector<uint8_t> &packet, uint64_t now_ms) = 0;
    // When receive() will next have something without help from fd():
    // 0 for "now", UINT64_MAX for never.
    virtual uint64_t next_deadline() const = 0;
    virtual int fd() const { return -1; }
};

// The internal link: what is sent arrives back here, in order. A packet
// beyond `limit` waiting packets is dropped (a stack that stops reading its
// own loopback must not grow without bound).
class LoopbackLink final : public Link {
public:
    explicit LoopbackLink(size_t limit = 4096) : limit_(limit) {}
    const char *name() const override { return "loopback"; }
    void send(std::vector<uint8_t> packet, uint64_t now_ms) override;
    bool receive(std::vector<uint8_t> &packet, uint64_t now_ms) override;
    uint64_t next_deadline() const override;
    uint64_t dropped() const { return dropped_; }

private:
    std::deque<std::vector<uint8_t>> queue_;
    size_t limit_;
    uint64_t dropped_ = 0;
};

// Any link behind an Impairment: what is sent is lost, doubled, held back
// or damaged as configured, and reaches the inner link when due.
class ImpairedLink final : public Link {
public:
    ImpairedLink(std::unique_ptr<Link> inner, const ImpairmentConfig &cfg);
    const char *name() const override { return inner_->name(); }
    void send(std::vector<uint8_t> packet, uint64_t now_ms) override;
    bool receive(std::vector<uint8_t> &packet, uint64_t now_ms) override;
    uint64_t next_deadline() const override;
    int fd() const override { return inner_->fd(); }
    Link &inner() { return *inner_; }

private:
    void release(uint64_t now_ms);
    std::unique_ptr<Link> inner_;
    Impairment impairment_;
    std::multimap<std::pair<uint64_t, uint64_t>, std::vector<uint8_t>> held_;  // (due, order)
    uint64_t order_ = 0;
};

} // namespace ipxcore

#endif
