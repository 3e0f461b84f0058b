#include "fakenet.h"

#include <random>

namespace fakenet {

Net::Net() {
    for (int i = 0; i < 2; i++) {
        addr[i].net = 0x0000ABCD;
        addr[i].node = node_from_host(0x7F000001 + static_cast<uint32_t>(i));
        addr[i].socket = static_cast<uint16_t>(0x5000 + i);
        imp_[i] = std::make_unique<Impairment>(ImpairmentConfig{});
        cfg[i].trace_level = 0;
    }
}

void Net::impair(int side, const ImpairmentConfig &c) { imp_[side] = std::make_unique<Impairment>(c); }

SpxConnection::Transmit Net::tx_for(int side) {
    return [this, side](std::vector<uint8_t> pkt) {
        if (record) sent[side].push_back(pkt);
        if (cut[side]) return;
        for (auto &d : imp_[side]->apply(std::move(pkt), now))
            queue_.emplace(std::make_pair(d.at_ms, order_++), InFlight{1 - side, std::move(d.packet)});
    };
}

void Net::connect() {
    SpxConnection::Trace tr = [this](const std::string &l) { trace.push_back(l); };
    conn[0].emplace(SpxConnection::connect(addr[0], addr[1], id[0], cfg[0], now, tx_for(0), tr));
}

void Net::deliver(int to, const std::vector<uint8_t> &pkt) {
    auto ipx = decode_ipx(pkt.data(), pkt.size());
    if (!ipx || ipx->header.type != kIpxTypeSpx) {
        undecodable++;
        return;
    }
    auto spx = decode_spx(ipx->data, ipx->data_len);
    if (!spx) {
        undecodable++;
        return;
    }
    const uint8_t *data = ipx->data + kSpxHeaderLen;
    size_t len = ipx->data_len - kSpxHeaderLen;
    if (ipx->header.dst.socket != addr[to].socket) {
        undecodable++;
        return;
    }
    if (!conn[to]) {
        if (answer_stray && !(spx->control & kSpxSys) && spx->dstype == kSpxEndOfConnection) {
            tx_for(to)(spx_stray_end_answer(ipx->header, *spx));
            return;
        }
        // Only the listener side can be without a connection.
        if (to != 1 || !is_connect_request(*spx)) return;
        SpxConnection::Trace tr = [this](const std::string &l) { trace.push_back(l); };
        conn[1].emplace(SpxConnection::offered(addr[1], ipx->header.src, *spx, id[1], cfg[1], now,
                                               tx_for(1), tr));
        if (auto_accept) conn[1]->accept(now);
        return;
    }
    conn[to]->on_packet(ipx->header, *spx, data, len, now);
}

void Net::inject(int to, const std::vector<uint8_t> &pkt) { deliver(to, pkt); }

uint64_t Net::next_event() const {
    uint64_t t = queue_.empty() ? UINT64_MAX : queue_.begin()->first.first;
    for (int i = 0; i < 2; i++)
        if (conn[i]) t = std::min(t, conn[i]->next_deadline());
    return t;
}

void Net::run_due() {
    while (!queue_.empty() && queue_.begin()->first.first <= now) {
        InFlight f = std::move(queue_.begin()->second);
        queue_.erase(queue_.begin());
        deliver(f.to, f.pkt);
    }
    for (int i = 0; i < 2; i++)
        if (conn[i] && conn[i]->next_deadline() <= now) conn[i]->on_timer(now);
}

bool Net::run_until(const std::function<bool()> &done, uint64_t limit_ms,
                    const std::function<void()> &app) {
    uint64_t end = now + limit_ms;
    for (;;) {
        if (app) app();
        if (done()) return true;
        uint64_t t = next_event();
        if (t == UINT64_MAX || t > end) {
            if (t > end && end > now) now = end;
            return false;
        }
        if (t > now) now = t;
        run_due();
    }
}

void Net::advance(uint64_t ms, const std::function<void()> &app) {
    uint64_t end = now + ms;
    run_until([] { return false; }, ms, app);
    now = end;
}

std::vector<uint8_t> craft(const Net &net, int from, const SpxHeader &h,
                           const std::vector<uint8_t> &data) {
    std::vector<uint8_t> payload(kSpxHeaderLen + data.size());
    encode_spx(h, payload.data());
    std::copy(data.begin(), data.end(), payload.begin() + kSpxHeaderLen);
    IpxHeader ih;
    ih.type = kIpxTypeSpx;
    ih.src = net.addr[from];
    ih.dst = net.addr[1 - from];
    return encode_ipx(ih, payload.data(), payload.size());
}

void Pump::fill(uint64_t seed, size_t total_bytes, size_t max_unit) {
    std::mt19937_64 rng(seed);
    size_t n = 0;
    while (n < total_bytes) {
        size_t len = 1 + rng() % max_unit;
        std::vector<uint8_t> u(len);
        for (auto &b : u) b = static_cast<uint8_t>(rng());
        n += len;
        units.push_back(std::move(u));
    }
}

void Pump::send_some(SpxConnection &c, uint64_t now) {
    while (unit < units.size()) {
        const auto &u = units[unit];
        size_t took = c.send(u.data() + pos, u.size() - pos, true, false, now);
        pos += took;
        if (pos == u.size()) {
            unit++;
            pos = 0;
        } else {
            return;
        }
    }
}

void Pump::read_some(SpxConnection &c, uint64_t now) {
    static const size_t caps[] = {1, 7, 100, 534, 535, 4096, 3, 1000};
    uint8_t buf[4096];
    while (reading && c.readable()) {
        size_t cap = caps[read_caps_i++ % (sizeof caps / sizeof caps[0])];
        SpxReadResult r = c.read(buf, cap, now);
        partial.insert(partial.end(), buf, buf + r.bytes);
        if (r.end_of_unit) {
            got.push_back(std::move(partial));
            partial.clear();
        }
        if (r.bytes == 0 && !r.end_of_unit) break;
    }
}

} // namespace fakenet
