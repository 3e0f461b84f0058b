// Impairment of a link: pure and seeded, so a test run repeats exactly.
#include "impair.h"

#include <cerrno>
#include <cstdlib>

namespace ipxcore {

Impairment::Impairment(const ImpairmentConfig &cfg) : cfg_(cfg), rng_(cfg.seed) {}

void Impairment::flip(std::vector<uint8_t> &p)
{
    size_t at_byte = rng_() % p.size();
    uint8_t x = static_cast<uint8_t>(1 + rng_() % 255);  // never a no-op
    p[at_byte] ^= x;
}

std::vector<Impairment::Delivery> Impairment::apply(std::vector<uint8_t> packet, uint64_t now_ms)
{
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    std::vector<Delivery> out;
    if (cfg_.loss > 0 && coin(rng_) < cfg_.loss) return out;
    int copies = (cfg_.duplicate > 0 && coin(rng_) < cfg_.duplicate) ? 2 : 1;
    out.reserve(copies);
    for (int i = 0; i < copies; i++) {
        uint64_t at = now_ms + cfg_.delay_ms;
        if (cfg_.jitter_ms) at += rng_() % (static_cast<uint64_t>(cfg_.jitter_ms) + 1);
        if (cfg_.reorder > 0 && coin(rng_) < cfg_.reorder) at += cfg_.reorder_hold_ms;
        std::vector<uint8_t> p = (i + 1 == copies) ? std::move(packet) : packet;
        if (cfg_.corrupt > 0 && !p.empty() && coin(rng_) < cfg_.corrupt)
            flip(p);
        out.push_back(Delivery{at, std::move(p)});
    }
    return out;
}

bool Impairment::damage(std::vector<uint8_t> &packet)
{
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    if (cfg_.damage <= 0 || packet.empty() || coin(rng_) >= cfg_.damage)
        return false;
    flip(packet);
    return true;
}

namespace {

bool parse_rate(const std::string &v, double &out)
{
    if (v.empty()) return false;
    char *end = nullptr;
    errno = 0;
    double d = std::strtod(v.c_str(), &end);
    if (errno || *end || !(d >= 0.0 && d <= 1.0)) return false;
    out = d;
    return true;
}

bool parse_uint(const std::string &v, uint64_t max, uint64_t &out)
{
    if (v.empty() || v[0] < '0' || v[0] > '9') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(v.c_str(), &end, 10);
    if (errno || *end || n > max) return false;
    out = n;
    return true;
}

} // namespace

// Items are "name=value" separated by commas; rates are 0..1, times are
// milliseconds. An empty text means no impairment. Names: loss, dup,
// reorder, corrupt, damage, delay, jitter, hold (how long a reordered packet
// is held back), seed. Nothing is changed in `out` unless the whole text is
// valid.
bool Impairment::parse(const std::string &text, ImpairmentConfig &out, std::string &error)
{
    ImpairmentConfig c;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(pos, comma - pos);
        pos = comma + 1;
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            error = "impairment item \"" + item + "\" is not name=value";
            return false;
        }
        std::string name = item.substr(0, eq), value = item.substr(eq + 1);
        bool ok = true;
        bool rate = true;
        uint64_t n = 0;
        if (name == "loss") ok = parse_rate(value, c.loss);
        else if (name == "dup") ok = parse_rate(value, c.duplicate);
        else if (name == "reorder") ok = parse_rate(value, c.reorder);
        else if (name == "corrupt") ok = parse_rate(value, c.corrupt);
        else if (name == "damage") ok = parse_rate(value, c.damage);
        else {
            rate = false;
            if (name == "delay") { ok = parse_uint(value, 600000, n); c.delay_ms = static_cast<uint32_t>(n); }
            else if (name == "jitter") { ok = parse_uint(value, 600000, n); c.jitter_ms = static_cast<uint32_t>(n); }
            else if (name == "hold") { ok = parse_uint(value, 600000, n); c.reorder_hold_ms = static_cast<uint32_t>(n); }
            else if (name == "seed") { ok = parse_uint(value, UINT64_MAX, n); c.seed = n; }
            else {
                error = "unknown impairment \"" + name + "\"";
                return false;
            }
        }
        if (!ok) {
            error = "bad value \"" + value + "\" for impairment \"" + name + "\" (" +
                    (rate ? "a rate from 0 to 1" : "a whole number") + ")";
            return false;
        }
    }
    if (!text.empty() && text.back() == ',') {
        error = "impairment text ends with a comma";
        return false;
    }
    out = c;
    return true;
}

uint32_t crc32(const uint8_t *p, size_t n)
{
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++)
        c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

ImpairedLink::ImpairedLink(std::unique_ptr<Link> inner, const ImpairmentConfig &cfg)
    : inner_(std::move(inner)), impairment_(cfg)
{
}

SendResult ImpairedLink::send(std::vector<uint8_t> packet, const Node &next_hop, uint64_t now_ms)
{
    uint32_t fcs = crc32(packet.data(), packet.size());
    for (int i = 0; i < 4; i++)
        packet.push_back(static_cast<uint8_t>(fcs >> (24 - 8 * i)));
    for (auto &d : impairment_.apply(std::move(packet), now_ms))
        held_.emplace(std::make_pair(d.at_ms, order_++), Held{next_hop, std::move(d.packet)});
    release(now_ms);
    return SendResult::Sent;
}

void ImpairedLink::release(uint64_t now_ms)
{
    while (!held_.empty() && held_.begin()->first.first <= now_ms) {
        Held h = std::move(held_.begin()->second);
        held_.erase(held_.begin());
        std::vector<uint8_t> &p = h.packet;
        size_t n = p.size() - 4;
        uint32_t fcs = static_cast<uint32_t>(p[n]) << 24 | static_cast<uint32_t>(p[n + 1]) << 16 |
                       static_cast<uint32_t>(p[n + 2]) << 8 | p[n + 3];
        if (crc32(p.data(), n) != fcs) {
            counters().drop(Drop::Damaged);
            continue;
        }
        p.resize(n);
        impairment_.damage(p);
        inner_->send(std::move(p), h.next_hop, now_ms);
    }
}

bool ImpairedLink::receive(std::vector<uint8_t> &packet, uint64_t now_ms)
{
    release(now_ms);
    return inner_->receive(packet, now_ms);
}

void ImpairedLink::on_timer(uint64_t now_ms)
{
    release(now_ms);
    inner_->on_timer(now_ms);
}

uint64_t ImpairedLink::next_deadline() const
{
    uint64_t t = inner_->next_deadline();
    if (!held_.empty()) t = std::min(t, held_.begin()->first.first);
    return t;
}

} // namespace ipxcore
