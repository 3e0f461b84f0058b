// SPX header codec and connection state machine.
//
// Sequencing: each direction numbers its sequenced packets (data and the end
// of connection) from 0, wrapping at 0xFFFF. System packets (connection
// acknowledgement, acknowledgements, watchdog probes) carry the current
// numbers but consume none. The acknowledge number is the next sequence
// expected; the allocation number is the highest sequence the peer may send.
//
// Sending: send() cuts the bytes into packets of at most max_data bytes and
// queues them; packets go out while their sequence is within the peer's
// allocation. The oldest unacknowledged packet is guarded by one
// retransmission timer (RTO from SRTT/RTTVAR, doubled on every timeout,
// clamped to [rto_min, rto_max]); after a timeout, acknowledgements that
// advance only part of the way resend the next hole at once, and three
// repeated acknowledgements for the same number resend it too. When the
// window is closed and nothing is in flight, a probe (system packet with
// send-ack) asks for the allocation on a backed-off timer, so that a lost
// window update cannot stall the connection.
//
// Receiving: packets inside the allocation are buffered even out of order
// (at most recv_window of them, counting those the reader has not taken);
// in-order ones move to the reader's queue. Duplicates and packets beyond
// the allocation are dropped, counted and answered at once with an
// acknowledgement. The allocation we advertise never goes backwards.
//
// End of connection: close() queues a 0xFE packet behind all queued data.
// The receiver answers it with a 0xFF packet once everything before it has
// arrived, and the connection is over on both sides: Closed with
// LocalClose on the closing side when the 0xFE is acknowledged, Closed with
// PeerClose on the other, whose reader still gets every byte that preceded
// the 0xFE. A side that receives the peer's 0xFE drops what it had not yet
// delivered to the peer: the peer has stopped reading.
#include "spx.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace ipxcore {

namespace {

inline uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

constexpr uint64_t kNever = UINT64_MAX;

// Packets queued for sending at most (keeps every sequence number in flight
// well inside half the 16-bit space, so wrap-aware comparisons hold).
constexpr size_t kMaxQueuedPackets = 0x2000;

struct OutPkt {
    std::vector<uint8_t> data;
    uint64_t sent_ms = 0;
    uint32_t retries = 0;       // retransmissions after a timeout
    uint16_t seq = 0;
    uint8_t flags = 0;          // kSpxEom | kSpxAttention
    uint8_t dstype = 0;
    bool retransmitted = false; // no RTT sample from it (Karn)
};

struct InPkt {
    std::vector<uint8_t> data;
    size_t off = 0;             // bytes already read
    uint8_t flags = 0;
    uint8_t dstype = 0;
    bool present = false;       // slot filled (reordering buffer)
};

const char *state_name(SpxState s) {
    switch (s) {
    case SpxState::Connecting: return "Connecting";
    case SpxState::Offered: return "Offered";
    case SpxState::Established: return "Established";
    case SpxState::Closing: return "Closing";
    case SpxState::Closed: return "Closed";
    case SpxState::Aborted: return "Aborted";
    }
    return "?";
}

const char *reason_name(SpxCloseReason r) {
    switch (r) {
    case SpxCloseReason::None: return "none";
    case SpxCloseReason::LocalClose: return "local close";
    case SpxCloseReason::PeerClose: return "peer close";
    case SpxCloseReason::Timeout: return "retransmission timeout";
    case SpxCloseReason::WatchdogTimeout: return "watchdog timeout";
    case SpxCloseReason::Refused: return "refused";
    case SpxCloseReason::LocalAbort: return "local abort";
    }
    return "?";
}

SpxConfig sanitize(SpxConfig c) {
    c.max_data = std::clamp<uint16_t>(c.max_data, 1, kSpxMaxDataLimit);
    c.recv_window = std::clamp<uint16_t>(c.recv_window, 1, 0x1000);
    if (c.send_buffer == 0) c.send_buffer = 1;
    if (c.rto_min_ms == 0) c.rto_min_ms = 1;
    if (c.rto_max_ms < c.rto_min_ms) c.rto_max_ms = c.rto_min_ms;
    c.rto_initial_ms = std::clamp(c.rto_initial_ms, c.rto_min_ms, c.rto_max_ms);
    return c;
}

} // namespace

void encode_spx(const SpxHeader &h, uint8_t *o) {
    o[0] = h.control;
    o[1] = h.dstype;
    put16(o + 2, h.src_id);
    put16(o + 4, h.dst_id);
    put16(o + 6, h.seq);
    put16(o + 8, h.ack);
    put16(o + 10, h.alloc);
}

std::optional<SpxHeader> decode_spx(const uint8_t *p, size_t len) {
    if (p == nullptr || len < kSpxHeaderLen) return std::nullopt;
    SpxHeader h;
    h.control = p[0];
    h.dstype = p[1];
    h.src_id = get16(p + 2);
    h.dst_id = get16(p + 4);
    h.seq = get16(p + 6);
    h.ack = get16(p + 8);
    h.alloc = get16(p + 10);
    return h;
}

std::vector<uint8_t> spx_stray_end_answer(const IpxHeader &ipx, const SpxHeader &spx) {
    uint8_t s[kSpxHeaderLen];
    SpxHeader a;
    a.control = 0;
    a.dstype = kSpxEndOfConnectionAck;
    a.src_id = spx.dst_id;
    a.dst_id = spx.src_id;
    a.seq = spx.ack;
    a.ack = static_cast<uint16_t>(spx.seq + 1);
    a.alloc = spx.seq;
    encode_spx(a, s);
    IpxHeader h;
    h.type = kIpxTypeSpx;
    h.dst = ipx.src;
    h.src = ipx.dst;
    return encode_ipx(h, s, sizeof s);
}

bool is_connect_request(const SpxHeader &h) {
    // A requester must name itself: an unknown source ID could never be
    // answered, so such a packet is no request.
    return (h.control & (kSpxSys | kSpxSendAck)) == (kSpxSys | kSpxSendAck) &&
           h.dst_id == kSpxUnknownId && h.src_id != kSpxUnknownId;
}

struct SpxConnection::Impl {
    IpxAddress local, remote;
    uint16_t local_id = 0;
    uint16_t remote_id = kSpxUnknownId;
    SpxConfig cfg;
    Transmit tx;
    Trace trace;
    SpxState state = SpxState::Connecting;
    SpxCloseReason reason = SpxCloseReason::None;
    SpxStats stats;

    // Sending.
    std::deque<OutPkt> out;      // unacknowledged, then unsent
    size_t n_sent = 0;           // out[0, n_sent) have been transmitted
    size_t out_bytes = 0;        // data bytes in `out`
    uint16_t snd_next = 0;       // sequence of the next packet queued
    uint16_t peer_alloc = 0xFFFF;  // highest sequence the peer accepts (0xFFFF: none yet)
    bool in_recovery = false;
    uint16_t recover = 0;        // one past the highest sent when the timeout struck
    uint32_t dupacks = 0;

    // Timing.
    bool have_rtt = false;
    double srtt = 0, rttvar = 0;
    uint32_t rto = 0;
    uint64_t rtx_deadline = kNever;
    uint64_t persist_deadline = kNever;
    uint32_t persist_interval = 0;
    uint64_t ack_deadline = kNever;
    uint64_t connect_deadline = kNever;
    uint64_t connect_sent_ms = 0;
    uint32_t connect_retries = 0;
    uint64_t last_rx = 0;
    uint64_t last_probe = 0;

    // Receiving.
    uint16_t rcv_next = 0;       // next sequence expected
    uint16_t adv_alloc = 0xFFFF; // highest allocation advertised so far
    std::deque<InPkt> ooo;       // slot i: sequence rcv_next + i
    std::deque<InPkt> ready;     // in order, for the reader
    size_t ready_bytes = 0;
    bool peer_eoc = false;

    [[gnu::format(printf, 3, 4)]] void tr(int level, const char *fmt, ...) {
        if (cfg.trace_level < level || !trace) return;
        char buf[256];
        int n = std::snprintf(buf, sizeof buf, "spx %04x>%04x: ", local_id, remote_id);
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(buf + n, sizeof buf - static_cast<size_t>(n), fmt, ap);
        va_end(ap);
        trace(buf);
    }

    void set_state(SpxState s, SpxCloseReason r) {
        if (state == s) return;
        tr(1, "%s -> %s (%s)", state_name(state), state_name(s), reason_name(r));
        state = s;
        reason = r;
    }

    uint16_t cur_alloc() const {
        size_t used = ready.size();
        size_t free = used < cfg.recv_window ? cfg.recv_window - used : 0;
        uint16_t a = static_cast<uint16_t>(rcv_next + free - 1);
        return seq_lt(a, adv_alloc) ? adv_alloc : a;  // never take back what we offered
    }

    uint16_t seq_unsent() const { return n_sent < out.size() ? out[n_sent].seq : snd_next; }
    uint16_t seq_una() const { return out.empty() ? snd_next : out.front().seq; }

    void emit(uint8_t control, uint8_t dstype, uint16_t seq, const uint8_t *data, size_t len,
              std::optional<uint16_t> ack_override = std::nullopt) {
        uint16_t alloc = cur_alloc();
        adv_alloc = alloc;
        uint16_t ack = ack_override ? *ack_override : rcv_next;
        size_t total = kIpxHeaderLen + kSpxHeaderLen + len;
        std::vector<uint8_t> pkt(total);
        IpxHeader h;
        h.checksum = 0xFFFF;
        h.length = static_cast<uint16_t>(total);
        h.type = kIpxTypeSpx;
        h.dst = remote;
        h.src = local;
        encode_ipx_header(h, pkt.data());
        SpxHeader s;
        s.control = control;
        s.dstype = dstype;
        s.src_id = local_id;
        s.dst_id = remote_id;
        s.seq = seq;
        s.ack = ack;
        s.alloc = alloc;
        encode_spx(s, pkt.data() + kIpxHeaderLen);
        if (len) std::memcpy(pkt.data() + kIpxHeaderLen + kSpxHeaderLen, data, len);
        if (cfg.checksum) put16(pkt.data(), ipx_checksum(pkt.data(), total));
        ack_deadline = kNever;  // every packet carries the acknowledgement
        stats.packets_sent++;
        tr(2, "tx ctl=%02x type=%02x seq=%u ack=%u alloc=%u len=%zu", control, dstype, seq, ack,
           alloc, len);
        if (tx) tx(std::move(pkt));
    }

    void send_ack() { emit(kSpxSys, 0, seq_unsent(), nullptr, 0); }
    void send_probe() { emit(kSpxSys | kSpxSendAck, 0, seq_unsent(), nullptr, 0); }
    void send_eoc_ack(uint16_t ack) { emit(0, kSpxEndOfConnectionAck, seq_unsent(), nullptr, 0, ack); }

    void schedule_ack(uint64_t now) {
        if (cfg.ack_delay_ms == 0) {
            send_ack();
        } else if (ack_deadline == kNever) {
            ack_deadline = now + cfg.ack_delay_ms;
        }
    }

    void transmit(OutPkt &p, uint64_t now) {
        p.sent_ms = now;
        emit(static_cast<uint8_t>(kSpxSendAck | p.flags), p.dstype, p.seq, p.data.data(),
             p.data.size());
    }

    void retransmit_front(uint64_t now) {
        OutPkt &p = out.front();
        p.retransmitted = true;
        stats.retransmissions++;
        tr(1, "retransmit seq=%u try=%u rto=%u", p.seq, p.retries, rto);
        transmit(p, now);
    }

    void recompute_rto() {
        if (!have_rtt) {
            rto = cfg.rto_initial_ms;
        } else {
            double v = srtt + std::max(4 * rttvar, 1.0);
            rto = static_cast<uint32_t>(
                std::clamp(v, static_cast<double>(cfg.rto_min_ms), static_cast<double>(cfg.rto_max_ms)));
        }
        stats.rto_ms = rto;
    }

    void rtt_sample(uint64_t r_ms) {
        double r = static_cast<double>(r_ms);
        if (!have_rtt) {
            srtt = r;
            rttvar = r / 2;
            have_rtt = true;
        } else {
            rttvar = 0.75 * rttvar + 0.25 * std::fabs(srtt - r);
            srtt = 0.875 * srtt + 0.125 * r;
        }
        stats.srtt_ms = static_cast<uint32_t>(srtt);
        recompute_rto();
    }

    void backoff() {
        rto = std::min(cfg.rto_max_ms, rto > cfg.rto_max_ms / 2 ? cfg.rto_max_ms : rto * 2);
        stats.rto_ms = rto;
    }

    bool live() const { return state == SpxState::Established || state == SpxState::Closing; }

    void try_send(uint64_t now) {
        if (!live()) return;
        while (n_sent < out.size() && seq_le(out[n_sent].seq, peer_alloc)) {
            OutPkt &p = out[n_sent];
            transmit(p, now);
            stats.data_packets_sent++;
            n_sent++;
            if (rtx_deadline == kNever) rtx_deadline = now + rto;
        }
        if (n_sent == 0 && !out.empty()) {
            if (persist_deadline == kNever) {
                persist_interval = rto;
                persist_deadline = now + persist_interval;
            }
        } else {
            persist_deadline = kNever;
        }
    }

    void drop_sending() {
        out.clear();
        n_sent = 0;
        out_bytes = 0;
        in_recovery = false;
        dupacks = 0;
        rtx_deadline = persist_deadline = ack_deadline = connect_deadline = kNever;
    }

    void finish(SpxState s, SpxCloseReason r) {
        drop_sending();
        if (s == SpxState::Aborted) ooo.clear();
        set_state(s, r);
    }

    // Acknowledge and allocation numbers of a packet from the peer. False
    // when the packet acknowledges something never sent: it is then dropped
    // whole.
    bool take_ack(uint16_t ack, uint16_t alloc, bool pure_ack, uint64_t now) {
        uint16_t una = seq_una();
        uint16_t unsent = seq_unsent();
        if (seq_lt(unsent, ack)) return false;
        if (seq_lt(ack, una)) return true;  // stale (reordered): ignore both numbers
        uint16_t acked = static_cast<uint16_t>(ack - una);
        bool eoc_acked = false;
        if (acked > 0) {
            uint64_t sample_sent = 0;
            bool clean = true;
            for (uint16_t i = 0; i < acked; i++) {
                OutPkt &p = out.front();
                clean = clean && !p.retransmitted;
                sample_sent = p.sent_ms;
                if (p.dstype == kSpxEndOfConnection) eoc_acked = true;
                out_bytes -= p.data.size();
                out.pop_front();
                n_sent--;
            }
            // Karn: no sample when the acknowledgement covers a retransmitted
            // packet (it cannot tell which copy arrived, and the packets after
            // a hole waited for its repair), and the backed-off timeout stays
            // until a clean sample arrives.
            if (clean && now >= sample_sent) rtt_sample(now - sample_sent);
            dupacks = 0;
            if (in_recovery && seq_lt(ack, recover) && n_sent > 0) {
                out.front().retransmitted = true;
                stats.retransmissions++;
                stats.fast_retransmissions++;
                tr(1, "partial ack %u: resend seq=%u", ack, out.front().seq);
                transmit(out.front(), now);
            } else {
                in_recovery = false;
            }
            rtx_deadline = n_sent > 0 ? now + rto : kNever;
        } else if (pure_ack && n_sent > 0 && alloc == peer_alloc) {
            if (++dupacks == 3) {
                in_recovery = true;
                recover = unsent;
                out.front().retransmitted = true;
                stats.retransmissions++;
                stats.fast_retransmissions++;
                tr(1, "repeated ack %u: resend seq=%u", ack, out.front().seq);
                transmit(out.front(), now);
                rtx_deadline = now + rto;
            }
        }
        // The allocation never goes backwards, and never below "nothing more".
        uint16_t floor = static_cast<uint16_t>(ack - 1);
        if (!seq_lt(alloc, peer_alloc) && !seq_lt(alloc, floor)) {
            if (alloc != peer_alloc) persist_interval = 0;
            peer_alloc = alloc;
        }
        if (eoc_acked && state == SpxState::Closing) {
            finish(SpxState::Closed, SpxCloseReason::LocalClose);
            return true;
        }
        try_send(now);
        return true;
    }

    void peer_ended(uint64_t now) {
        (void)now;
        peer_eoc = true;
        ooo.clear();
        drop_sending();
        send_eoc_ack(rcv_next);
        set_state(SpxState::Closed, SpxCloseReason::PeerClose);
    }

    void take_data(const SpxHeader &spx, const uint8_t *data, size_t len, uint64_t now) {
        uint16_t seq = spx.seq;
        if (seq_lt(seq, rcv_next)) {
            stats.duplicates++;
            tr(1, "duplicate seq=%u (expect %u)", seq, rcv_next);
            send_ack();
            return;
        }
        uint16_t alloc = cur_alloc();
        if (seq_lt(alloc, seq)) {
            stats.out_of_window++;
            tr(1, "out of window seq=%u (alloc %u)", seq, alloc);
            send_ack();
            return;
        }
        size_t off = static_cast<uint16_t>(seq - rcv_next);
        if (ooo.size() <= off) ooo.resize(off + 1);
        if (ooo[off].present) {
            stats.duplicates++;
            tr(1, "duplicate seq=%u (buffered)", seq);
            send_ack();
            return;
        }
        stats.data_packets_received++;
        InPkt &slot = ooo[off];
        slot.data.assign(data, data + len);
        slot.flags = spx.control & (kSpxEom | kSpxAttention);
        slot.dstype = spx.dstype;
        slot.present = true;
        while (!ooo.empty() && ooo.front().present) {
            InPkt p = std::move(ooo.front());
            ooo.pop_front();
            rcv_next++;
            if (p.dstype == kSpxEndOfConnection) {
                peer_ended(now);
                return;
            }
            // A packet with neither bytes nor a unit end carries nothing for the reader.
            if (!p.data.empty() || (p.flags & kSpxEom)) {
                ready_bytes += p.data.size();
                ready.push_back(std::move(p));
            }
        }
        if (off != 0) {
            send_ack();  // a hole: tell the sender now
        } else if (spx.control & kSpxSendAck) {
            schedule_ack(now);
        }
    }

    void on_packet(const IpxHeader &ipx, const SpxHeader &spx, const uint8_t *data, size_t len,
                   uint64_t now) {
        if (state == SpxState::Aborted) return;
        bool from_peer = ipx.src.node == remote.node && ipx.src.socket == remote.socket &&
                         (ipx.src.net == remote.net || ipx.src.net == 0 || remote.net == 0);
        if (!from_peer || (len > 0 && data == nullptr)) {
            stats.bad_packets++;
            if (cfg.trace_level >= 1) tr(1, "packet from %s dropped: not the peer", ipx.src.text().c_str());
            return;
        }
        stats.packets_received++;
        tr(2, "rx ctl=%02x type=%02x src=%04x dst=%04x seq=%u ack=%u alloc=%u len=%zu",
           spx.control, spx.dstype, spx.src_id, spx.dst_id, spx.seq, spx.ack, spx.alloc, len);
        bool sys = spx.control & kSpxSys;

        if (state == SpxState::Offered) return;  // repeated request: answered on accept
        if (state == SpxState::Connecting) {
            if (spx.dst_id != local_id || is_connect_request(spx) || spx.src_id == kSpxUnknownId) {
                stats.bad_packets++;
                return;
            }
            if (!sys && spx.dstype == kSpxEndOfConnectionAck) {
                finish(SpxState::Aborted, SpxCloseReason::Refused);
                return;
            }
            if (spx.ack != 0) {  // we have sent nothing sequenced yet
                stats.bad_packets++;
                return;
            }
            remote_id = spx.src_id;
            if (connect_retries == 0 && now >= connect_sent_ms) rtt_sample(now - connect_sent_ms);
            rtx_deadline = connect_deadline = kNever;
            last_rx = last_probe = now;
            set_state(SpxState::Established, SpxCloseReason::None);
        }

        if (is_connect_request(spx)) {
            // The peer repeats its request: our acknowledgement was lost.
            if (spx.src_id == remote_id && live()) {
                last_rx = now;
                send_ack();
            } else {
                stats.bad_packets++;
            }
            return;
        }
        if (spx.dst_id != local_id || spx.src_id != remote_id) {
            stats.bad_packets++;
            tr(1, "wrong connection IDs %04x>%04x dropped", spx.src_id, spx.dst_id);
            return;
        }
        if (state == SpxState::Closed) {
            // Over for us; a peer still sending its end of connection (our
            // answer was lost, or both ends closed at once) gets the answer
            // so that it ends in order too.
            if (!sys && spx.dstype == kSpxEndOfConnection)
                send_eoc_ack(static_cast<uint16_t>(spx.seq + 1));
            else if (spx.control & kSpxSendAck)
                send_ack();
            return;
        }
        if (!take_ack(spx.ack, spx.alloc, sys && !(spx.control & kSpxSendAck), now)) {
            stats.bad_packets++;
            tr(1, "ack %u of unsent data dropped", spx.ack);
            return;
        }
        last_rx = now;
        if (!live()) return;
        if (sys) {
            if (spx.control & kSpxSendAck) send_ack();
            return;
        }
        if (spx.dstype == kSpxEndOfConnectionAck) return;  // its ack number did the work
        take_data(spx, data, len, now);
    }

    void on_timer(uint64_t now) {
        if (state == SpxState::Connecting) {
            if (connect_deadline <= now) {
                finish(SpxState::Aborted, SpxCloseReason::Refused);
                return;
            }
            if (rtx_deadline <= now) {
                if (connect_retries >= cfg.retry_limit) {
                    finish(SpxState::Aborted, SpxCloseReason::Refused);
                    return;
                }
                connect_retries++;
                stats.retransmissions++;
                backoff();
                send_probe();
                rtx_deadline = now + rto;
            }
            return;
        }
        if (!live()) return;
        if (cfg.abort_idle_ms && now >= last_rx + cfg.abort_idle_ms) {
            tr(1, "peer silent for %llu ms", static_cast<unsigned long long>(now - last_rx));
            finish(SpxState::Aborted, SpxCloseReason::WatchdogTimeout);
            return;
        }
        if (rtx_deadline <= now && n_sent > 0) {
            OutPkt &p = out.front();
            if (p.retries >= cfg.retry_limit) {
                tr(1, "seq=%u unacknowledged after %u retries", p.seq, p.retries);
                finish(SpxState::Aborted, SpxCloseReason::Timeout);
                return;
            }
            p.retries++;
            backoff();
            in_recovery = true;
            recover = seq_unsent();
            dupacks = 0;
            retransmit_front(now);
            rtx_deadline = now + rto;
        } else if (rtx_deadline <= now) {
            rtx_deadline = kNever;
        }
        if (persist_deadline <= now) {
            tr(1, "window closed at %u: probe", peer_alloc);
            send_probe();
            persist_interval = persist_interval ? std::min(cfg.rto_max_ms, persist_interval * 2) : rto;
            persist_deadline = now + persist_interval;
        }
        if (ack_deadline <= now) send_ack();
        if (cfg.verify_idle_ms && now >= std::max(last_rx, last_probe) + cfg.verify_idle_ms) {
            stats.watchdog_probes++;
            last_probe = now;
            tr(1, "watchdog probe");
            send_probe();
        }
    }

    uint64_t next_deadline() const {
        if (state == SpxState::Connecting) return std::min(rtx_deadline, connect_deadline);
        if (!live()) return kNever;
        uint64_t d = std::min({rtx_deadline, persist_deadline, ack_deadline});
        if (cfg.abort_idle_ms) d = std::min(d, last_rx + cfg.abort_idle_ms);
        if (cfg.verify_idle_ms) d = std::min(d, std::max(last_rx, last_probe) + cfg.verify_idle_ms);
        return d;
    }

    size_t send_space() const {
        if (state != SpxState::Established || out.size() >= kMaxQueuedPackets) return 0;
        if (out_bytes >= cfg.send_buffer) return 0;
        size_t by_bytes = cfg.send_buffer - out_bytes;
        size_t by_packets = (kMaxQueuedPackets - out.size()) * cfg.max_data;
        return std::min(by_bytes, by_packets);
    }

    size_t send(const uint8_t *data, size_t len, bool eou, bool attn, uint64_t now) {
        if (state != SpxState::Established || (len > 0 && data == nullptr)) return 0;
        uint8_t aflag = attn ? kSpxAttention : 0;
        auto open_tail = [&]() -> OutPkt * {
            // The last packet still unsent, with room, of the same kind and
            // in the middle of a unit, takes more bytes.
            if (n_sent >= out.size()) return nullptr;
            OutPkt &t = out.back();
            if ((t.flags & kSpxEom) || (t.flags & kSpxAttention) != aflag || t.dstype != 0 ||
                t.data.size() >= cfg.max_data)
                return nullptr;
            return &t;
        };
        if (len == 0) {
            // An empty unit end.
            if (!eou) return 0;
            if (OutPkt *t = open_tail()) {
                t->flags |= kSpxEom;
            } else if (out.size() < kMaxQueuedPackets) {
                OutPkt p;
                p.seq = snd_next++;
                p.flags = static_cast<uint8_t>(aflag | kSpxEom);
                out.push_back(std::move(p));
            }
            try_send(now);
            return 0;
        }
        size_t take = std::min(len, send_space());
        if (take == 0) return 0;
        size_t pos = 0;
        if (OutPkt *t = open_tail()) {
            size_t n = std::min(take, cfg.max_data - t->data.size());
            t->data.insert(t->data.end(), data, data + n);
            pos += n;
        }
        while (pos < take) {
            size_t n = std::min<size_t>(take - pos, cfg.max_data);
            OutPkt p;
            p.seq = snd_next++;
            p.flags = aflag;
            p.data.assign(data + pos, data + pos + n);
            out.push_back(std::move(p));
            pos += n;
        }
        // A unit cut short by a full buffer is not ended: the rest follows.
        if (eou && take == len) out.back().flags |= kSpxEom;
        out_bytes += take;
        try_send(now);
        return take;
    }

    SpxReadResult read(uint8_t *buf, size_t cap, uint64_t now) {
        SpxReadResult r;
        if (ready.empty()) return r;
        if (buf == nullptr) cap = 0;
        bool attn = ready.front().flags & kSpxAttention;
        r.attention = attn;
        size_t freed = 0;
        while (!ready.empty() && bool(ready.front().flags & kSpxAttention) == attn) {
            InPkt &p = ready.front();
            size_t avail = p.data.size() - p.off;
            if (avail > 0 && r.bytes == cap) break;
            size_t n = std::min(avail, cap - r.bytes);
            if (n) std::memcpy(buf + r.bytes, p.data.data() + p.off, n);
            p.off += n;
            r.bytes += n;
            ready_bytes -= n;
            if (p.off < p.data.size()) break;
            bool eom = p.flags & kSpxEom;
            ready.pop_front();
            freed++;
            if (eom) {
                r.end_of_unit = true;
                break;
            }
        }
        if (freed && live()) {
            // Tell the peer about room it could not know of: when the window
            // we advertised was shut, or has grown by half of all buffers.
            uint16_t last = static_cast<uint16_t>(rcv_next - 1);
            int old_win = seq_lt(last, adv_alloc) ? static_cast<uint16_t>(adv_alloc - last) : 0;
            int new_win = static_cast<uint16_t>(cur_alloc() - last);
            if (old_win == 0 || new_win >= old_win + std::max(1, cfg.recv_window / 2)) send_ack();
        }
        (void)now;
        return r;
    }
};

SpxConnection::SpxConnection() : impl_(std::make_unique<Impl>()) {}
SpxConnection::SpxConnection(SpxConnection &&) noexcept = default;
SpxConnection &SpxConnection::operator=(SpxConnection &&) noexcept = default;
SpxConnection::~SpxConnection() = default;

SpxConnection SpxConnection::connect(const IpxAddress &local, const IpxAddress &remote,
                                     uint16_t local_id, const SpxConfig &cfg, uint64_t now_ms,
                                     Transmit tx, Trace trace) {
    SpxConnection c;
    Impl &m = *c.impl_;
    m.local = local;
    m.remote = remote;
    m.local_id = local_id;
    m.cfg = sanitize(cfg);
    m.tx = std::move(tx);
    m.trace = std::move(trace);
    m.state = SpxState::Connecting;
    m.recompute_rto();
    m.connect_sent_ms = now_ms;
    if (m.cfg.connect_timeout_ms) m.connect_deadline = now_ms + m.cfg.connect_timeout_ms;
    m.tr(1, "connect to %s", remote.text().c_str());
    m.send_probe();  // the request: system + send-ack, destination unknown
    m.rtx_deadline = now_ms + m.rto;
    return c;
}

SpxConnection SpxConnection::offered(const IpxAddress &local, const IpxAddress &remote,
                                     const SpxHeader &request, uint16_t local_id,
                                     const SpxConfig &cfg, uint64_t now_ms, Transmit tx,
                                     Trace trace) {
    SpxConnection c;
    Impl &m = *c.impl_;
    m.local = local;
    m.remote = remote;
    m.local_id = local_id;
    m.remote_id = request.src_id;
    m.cfg = sanitize(cfg);
    m.tx = std::move(tx);
    m.trace = std::move(trace);
    m.state = SpxState::Offered;
    m.recompute_rto();
    // The request carries the client's allocation for our sequence 0 on.
    if (!seq_lt(request.alloc, 0xFFFF)) m.peer_alloc = request.alloc;
    m.last_rx = m.last_probe = now_ms;
    m.tr(1, "offered by %s", remote.text().c_str());
    return c;
}

void SpxConnection::accept(uint64_t now_ms) {
    Impl &m = *impl_;
    if (m.state != SpxState::Offered) return;
    m.last_rx = m.last_probe = now_ms;
    m.set_state(SpxState::Established, SpxCloseReason::None);
    m.send_ack();
    m.try_send(now_ms);
}

void SpxConnection::on_packet(const IpxHeader &ipx, const SpxHeader &spx, const uint8_t *data,
                              size_t len, uint64_t now_ms) {
    impl_->on_packet(ipx, spx, data, len, now_ms);
}

void SpxConnection::on_timer(uint64_t now_ms) { impl_->on_timer(now_ms); }
uint64_t SpxConnection::next_deadline() const { return impl_->next_deadline(); }

size_t SpxConnection::send(const uint8_t *data, size_t len, bool end_of_unit, bool attention,
                           uint64_t now_ms) {
    return impl_->send(data, len, end_of_unit, attention, now_ms);
}
size_t SpxConnection::send_space() const { return impl_->send_space(); }

bool SpxConnection::readable() const { return !impl_->ready.empty(); }
bool SpxConnection::next_is_attention() const {
    return !impl_->ready.empty() && (impl_->ready.front().flags & kSpxAttention);
}
SpxReadResult SpxConnection::read(uint8_t *buf, size_t cap, uint64_t now_ms) {
    return impl_->read(buf, cap, now_ms);
}
size_t SpxConnection::buffered() const { return impl_->ready_bytes; }

void SpxConnection::close(uint64_t now_ms) {
    Impl &m = *impl_;
    switch (m.state) {
    case SpxState::Connecting:
        m.finish(SpxState::Aborted, SpxCloseReason::LocalAbort);
        break;
    case SpxState::Offered:
        // Refuse the request: an end-of-connection acknowledgement to the
        // requester's ID ends its attempt at once.
        m.send_eoc_ack(0);
        m.finish(SpxState::Closed, SpxCloseReason::LocalClose);
        break;
    case SpxState::Established: {
        OutPkt p;
        p.seq = m.snd_next++;
        p.dstype = kSpxEndOfConnection;
        m.out.push_back(std::move(p));
        m.set_state(SpxState::Closing, SpxCloseReason::None);
        m.try_send(now_ms);
        break;
    }
    default:
        break;
    }
}

void SpxConnection::abort() {
    Impl &m = *impl_;
    if (m.state == SpxState::Aborted) return;
    m.ready.clear();
    m.ready_bytes = 0;
    m.finish(SpxState::Aborted, SpxCloseReason::LocalAbort);
}

SpxState SpxConnection::state() const { return impl_->state; }
SpxCloseReason SpxConnection::close_reason() const { return impl_->reason; }
bool SpxConnection::peer_closed_and_drained() const {
    return impl_->peer_eoc && impl_->ready.empty();
}
bool SpxConnection::all_acknowledged() const { return impl_->out.empty(); }
uint16_t SpxConnection::local_id() const { return impl_->local_id; }
uint16_t SpxConnection::remote_id() const { return impl_->remote_id; }
const IpxAddress &SpxConnection::local() const { return impl_->local; }
const IpxAddress &SpxConnection::remote() const { return impl_->remote; }
const SpxStats &SpxConnection::stats() const { return impl_->stats; }
const SpxConfig &SpxConnection::config() const { return impl_->cfg; }

void SpxConnection::set_config(const SpxConfig &cfg) {
    Impl &m = *impl_;
    m.cfg = sanitize(cfg);
    m.recompute_rto();
}

} // namespace ipxcore
