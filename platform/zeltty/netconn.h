// The client connection: a connected TLI endpoint, used without blocking.
#ifndef ZELTTY_NETCONN_H
#define ZELTTY_NETCONN_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace zeltty {

enum class NetStatus {
    Ok,      // `n` bytes moved (possibly fewer than asked)
    Again,   // nothing now: wait for the descriptor
    Closed,  // the peer disconnected or released the connection
    Error,   // the endpoint failed; `error` says how
};

struct NetResult {
    NetStatus status;
    size_t n = 0;
    std::string error;
};

// t_rcv into `buf`. A pending disconnect or orderly release is consumed and
// reported as Closed.
NetResult net_recv(int fd, uint8_t *buf, size_t size);
// t_snd of up to `size` bytes.
NetResult net_send(int fd, const uint8_t *buf, size_t size);
// True when a disconnect or orderly release waits on the endpoint (it is
// consumed); data that waits is left alone.
bool net_closed(int fd);
// Ends the connection (t_snddis); the provider delivers what was sent first.
void net_disconnect(int fd);

} // namespace zeltty

#endif
