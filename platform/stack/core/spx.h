// SPX: header codec and the connection state machine. Pure: no I/O, no
// clock of its own. Packets and the current time come in through calls;
// packets go out through a callback. The endpoint layer of the stack daemon
// demultiplexes incoming SPX packets to connections (by destination
// connection ID, or to a listener for a connection request) and implements
// the TLI semantics on top.
#ifndef IPXSTACK_CORE_SPX_H
#define IPXSTACK_CORE_SPX_H

#include "ipx.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ipxcore {

constexpr size_t kSpxHeaderLen = 12;
constexpr size_t kSpxMaxData = kIpxMaxData - kSpxHeaderLen;  // 534
// On links that carry larger packets, up to this much data per packet.
constexpr size_t kSpxMaxDataLimit = kIpxLinkMaxPacket - kIpxHeaderLen - kSpxHeaderLen;  // 1458

// Connection control bits.
constexpr uint8_t kSpxSys = 0x80;
constexpr uint8_t kSpxSendAck = 0x40;
constexpr uint8_t kSpxAttention = 0x20;
constexpr uint8_t kSpxEom = 0x10;

// Datastream types with a meaning of their own.
constexpr uint8_t kSpxEndOfConnection = 0xFE;
constexpr uint8_t kSpxEndOfConnectionAck = 0xFF;

constexpr uint16_t kSpxUnknownId = 0xFFFF;

struct SpxHeader {
    uint8_t control = 0;
    uint8_t dstype = 0;
    uint16_t src_id = 0;
    uint16_t dst_id = kSpxUnknownId;
    uint16_t seq = 0;
    uint16_t ack = 0;
    uint16_t alloc = 0;
};

void encode_spx(const SpxHeader &h, uint8_t *out12);
std::optional<SpxHeader> decode_spx(const uint8_t *p, size_t len);  // nullopt if len < 12

// True when `h` is a connection request (system + send-ack, destination ID
// unknown, source ID known).
bool is_connect_request(const SpxHeader &h);

// The answer (a whole IPX packet) to an end of connection that arrives for a
// connection no longer known, because our earlier answer was lost and the
// connection has since gone: lets the peer end in order instead of retrying
// until it gives up. Only for packets with dstype kSpxEndOfConnection and no
// system bit.
std::vector<uint8_t> spx_stray_end_answer(const IpxHeader &ipx, const SpxHeader &spx);

// Wrap-aware comparison of 16-bit sequence numbers.
inline bool seq_lt(uint16_t a, uint16_t b) { return static_cast<int16_t>(a - b) < 0; }
inline bool seq_le(uint16_t a, uint16_t b) { return a == b || seq_lt(a, b); }

// Tunables of one connection. Times in milliseconds.
struct SpxConfig {
    uint16_t max_data = kSpxMaxData;   // data bytes per packet (1..1458; 534 on a 576-byte link)
    uint16_t recv_window = 16;         // packets we buffer for the reader
    uint32_t send_buffer = 64 * 1024;  // bytes queued but not yet acknowledged
    uint32_t ack_delay_ms = 0;         // delay before a lone acknowledgement (0: at once)
    uint32_t rto_initial_ms = 500;     // first retransmission timeout
    uint32_t rto_min_ms = 100;
    uint32_t rto_max_ms = 5000;
    uint32_t retry_limit = 12;         // retransmissions of one packet before aborting
    uint32_t verify_idle_ms = 3000;    // send a watchdog probe after this long silent
    uint32_t abort_idle_ms = 30000;    // peer silent this long: abort (dead peer)
    uint32_t connect_timeout_ms = 0;   // 0: governed by retry_limit
    int trace_level = 0;               // 0 silent; higher: more lines through `trace`
    bool checksum = false;             // put IPX checksums on the packets we send
};

enum class SpxState {
    Connecting,    // active side: request sent, waiting for the acknowledgement
    Offered,       // passive side: request received, not yet accepted
    Established,
    Closing,       // local end of connection queued/sent, waiting for its acknowledgement
    Closed,        // orderly end (either side); see close_reason()
    Aborted,       // retries exhausted or the peer went silent
};

enum class SpxCloseReason {
    None,
    LocalClose,       // our end-of-connection was acknowledged
    PeerClose,        // the peer's end-of-connection arrived (after all its data)
    Timeout,          // retransmission gave up
    WatchdogTimeout,  // peer silent beyond abort_idle_ms
    Refused,          // connect never answered / refused
    LocalAbort,
};

struct SpxStats {
    uint64_t packets_sent = 0;
    uint64_t packets_received = 0;
    uint64_t data_packets_sent = 0;
    uint64_t data_packets_received = 0;
    uint64_t retransmissions = 0;
    uint64_t duplicates = 0;       // received again, dropped
    uint64_t out_of_window = 0;    // beyond our allocation, dropped
    uint64_t watchdog_probes = 0;
    uint64_t bad_packets = 0;      // wrong IDs or address, ack of unsent data: dropped
    uint64_t fast_retransmissions = 0;  // of the retransmissions, those sent before a timeout
    uint32_t rto_ms = 0;           // current retransmission timeout
    uint32_t srtt_ms = 0;          // smoothed round-trip time (0 until measured)
};

// One unit of received data handed to the reader.
struct SpxReadResult {
    size_t bytes = 0;
    bool end_of_unit = false;  // the read ended at a packet with end-of-message
    bool attention = false;    // the bytes came from attention (expedited) packets
};

// How the endpoint layer drives a connection:
// - Time is one monotonic millisecond clock, read once per loop turn and
//   passed to every call. After any call, next_deadline() may have moved:
//   take the minimum over all connections as the poll timeout and call
//   on_timer(now) on each connection whose deadline has come.
// - Transmit must not call back into the connection (queue the packet and
//   deliver it from the loop, loopback included).
// - Demultiplexing: a packet with a destination ID goes to the connection
//   with that local ID (on_packet also checks the source address and ID). A
//   connection request (is_connect_request) from an address and source ID
//   that already have a connection goes to that connection (a repeated
//   request, its acknowledgement was lost), otherwise to the listener, which
//   creates the connection with offered(). An end of connection for no
//   connection at all is answered with spx_stray_end_answer().
// - Connecting ends in Established, or in Aborted with Refused (no answer
//   within retry_limit retries or connect_timeout_ms, or the listener
//   refused by closing the offer).
// - send() takes what fits (send_space()); end-of-message goes on the last
//   packet only when every byte was taken, so a unit cut short continues
//   with the next send(). An empty unit (len 0, end_of_unit) returns 0.
// - read() returns at most `cap` bytes of one kind (attention or normal),
//   stopping after the packet that ends a unit (end_of_unit set). A read
//   that fills `cap` exactly at a unit end reports end_of_unit. After
//   readable() turns false, more may come with later packets.
// - close(): Established -> Closing, queued data then the end of
//   connection; Closed/LocalClose when the peer acknowledges it (or Aborted
//   when the peer dies meanwhile). On an offer it refuses (Closed/LocalClose);
//   while Connecting it is abort(). The peer's end of connection makes the
//   state Closed/PeerClose at once, from Established or Closing; the reader
//   still has every byte sent before it, and peer_closed_and_drained() turns
//   true when they have all been read: that is the moment for the
//   disconnect indication. Aborted (Timeout, WatchdogTimeout, Refused) keeps
//   the bytes already in order for the reader; abort() drops them.
// - In Closed and Aborted nothing is due (next_deadline() is UINT64_MAX); a
//   Closed/PeerClose connection kept for a while still answers a repeated
//   end of connection.
class SpxConnection {
public:
    using Transmit = std::function<void(std::vector<uint8_t> ipx_packet)>;
    using Trace = std::function<void(const std::string &line)>;

    // Active side: sends the connection request at once.
    static SpxConnection connect(const IpxAddress &local, const IpxAddress &remote, uint16_t local_id,
                                 const SpxConfig &cfg, uint64_t now_ms, Transmit tx,
                                 Trace trace = nullptr);

    // Passive side, from a received connection request. Sends nothing until
    // accept().
    static SpxConnection offered(const IpxAddress &local, const IpxAddress &remote,
                                 const SpxHeader &request, uint16_t local_id, const SpxConfig &cfg,
                                 uint64_t now_ms, Transmit tx, Trace trace = nullptr);

    // Passive side: answer the request with the connection acknowledgement.
    void accept(uint64_t now_ms);

    // A packet addressed to this connection (already matched by the caller).
    void on_packet(const IpxHeader &ipx, const SpxHeader &spx, const uint8_t *data, size_t len,
                   uint64_t now_ms);

    // Timers: call on_timer when now_ms >= next_deadline().
    void on_timer(uint64_t now_ms);
    uint64_t next_deadline() const;  // UINT64_MAX when nothing is due

    // Queues data. Returns how many bytes were taken (less than len when the
    // send buffer is full; 0 when full or not Established). The last packet of
    // these bytes carries end-of-message when `end_of_unit` is set; attention
    // sets the attention bit on every packet of them.
    size_t send(const uint8_t *data, size_t len, bool end_of_unit, bool attention, uint64_t now_ms);
    size_t send_space() const;  // bytes send() would take now

    // Reading: bytes stop at the end of a unit and never mix attention and
    // normal data. Reading frees receive buffers, which may open the window
    // to the peer (an acknowledgement goes out).
    bool readable() const;                 // data (or a unit end) waiting
    bool next_is_attention() const;        // the next byte comes from an attention packet
    SpxReadResult read(uint8_t *buf, size_t cap, uint64_t now_ms);
    size_t buffered() const;               // bytes waiting to be read

    // Orderly end: the end-of-connection packet is sequenced after all queued
    // data; state goes to Closing, then Closed when it is acknowledged (or
    // Aborted when retries give up).
    void close(uint64_t now_ms);
    // Abortive end: drops everything, sends nothing, state Aborted.
    void abort();

    SpxState state() const;
    SpxCloseReason close_reason() const;
    // True once the peer's end-of-connection has been reached by the reader:
    // every byte sent before it has been read.
    bool peer_closed_and_drained() const;
    bool all_acknowledged() const;  // nothing of ours awaits acknowledgement

    uint16_t local_id() const;
    uint16_t remote_id() const;
    const IpxAddress &local() const;
    const IpxAddress &remote() const;
    const SpxStats &stats() const;
    const SpxConfig &config() const;
    void set_config(const SpxConfig &cfg);  // before the connection carries data

    SpxConnection(SpxConnection &&) noexcept;
    SpxConnection &operator=(SpxConnection &&) noexcept;
    ~SpxConnection();

private:
    SpxConnection();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace ipxcore

#endif
