// The library's side of the endpoint protocol (proto.h): what it knows of
// each descriptor, requests on control connections, and the endpoint's own
// socket (posted sends, the stream, doorbells).
#ifndef DRAX_TLI_CHANNEL_H
#define DRAX_TLI_CHANNEL_H

#include "proto.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tlichan {

struct Reply {
    tliproto::Header h;
    tliproto::ControlPrefix pre;  // replies on a control connection
    std::vector<uint8_t> body;    // what follows the prefix
    int fd = -1;  // a descriptor that came with the reply (t_open), else -1
};

// What the library knows of a descriptor. Nothing of it is the endpoint's
// state (the daemon keeps that): the descriptor was checked to be an
// endpoint, where its daemon's device sockets are, and whether it carries
// a stream (then t_snd posts, t_rcv and t_look read the socket). A process
// that gets the descriptor by fork keeps the record (it is the same
// endpoint); one that gets it by exec starts without and asks the daemon.
// Another process may end the connection (t_snddis) or start a new one: the
// stream's messages carry its generation, so a record that is out of date
// is found out and asked for again (t_sync also asks).
struct Ep {
    bool valid = false;   // checked to be an endpoint socket
    bool known = false;   // gen and post come from the daemon
    uint32_t gen = 0;     // the stream's generation (0: no stream)
    bool post = false;    // t_snd may post
    std::string ctl;      // a device socket of the endpoint's daemon ("": not found yet)
    bool direct = false;  // its daemon is not named: requests go on the endpoint's socket
};

// The record of `fd` once it is known to be an endpoint; null with t_errno
// TBADF otherwise. The check (fstat and the socket's type, domain and peer)
// is made the first time only; t_close forgets it.
Ep *endpoint(int fd);
void forget(int fd);
// A descriptor t_open made: an endpoint of the daemon behind `device`.
void opened(int fd, const std::string &device);

// Sets t_errno (and errno when err is not 0); returns -1.
int fail(int terr, int err = 0);

// One request on a device connection `s` (t_open) and its reply, which may
// carry a descriptor. Signals do not interrupt it.
int device_request(int s, uint16_t type, const std::vector<uint8_t> &body, Reply &out);

// A request about endpoint `fd` on a control connection of its own (with
// `resfd`, t_accept's responding endpoint, when >= 0). When `block` is set
// the daemon may hold it; a signal interrupting the wait cancels it. Does
// what the reply's prefix says on the endpoint's socket and brings the
// record up to date. Returns 0 with the reply, or -1 with t_errno: the
// failure the reply reports (errno for TSYSERR), or TSYSERR when the daemon
// cannot be reached or the wait was interrupted.
int call(int fd, Ep &ep, uint16_t type, bool block, const std::vector<uint8_t> &body, Reply &out,
         int resfd = -1, uint16_t flags = 0);
// As call, and the reply's t_errno is left in out.h.terr (0: success).
int ask(int fd, Ep &ep, uint16_t type, bool block, const std::vector<uint8_t> &body, Reply &out,
        int resfd = -1, uint16_t flags = 0);

// True when `fd` is in non-blocking mode (O_NONBLOCK).
bool nonblocking(int fd);

// The endpoint's socket.
enum class Head { Empty, Data, Expedited, Disconnect, Bell, Other, Failed };
// What is at the head of the socket, without taking it. Doorbells of a
// stream and messages of earlier streams are taken out on the way.
Head peek_head(int fd, Ep &ep);

// Posts up to `n` bytes of one unit (T_MORE in flags: the unit goes on).
// Returns the bytes posted, or -1 with t_errno (TFLOW: none fitted; TLOOK:
// the connection is over; TSYSERR EINTR). `closed` is set when the daemon
// takes no posted sends on this endpoint any more.
int post(int fd, Ep &ep, const char *buf, unsigned n, int flags, bool &closed);

// t_rcv on a stream: 0 or more bytes with their flags, or -1 with t_errno
// (TNODATA, TLOOK for the disconnect, TSYSERR).
int stream_rcv(int fd, Ep &ep, char *buf, unsigned n, int *flags);

} // namespace tlichan

#endif
