// The library's side of the endpoint protocol: one request and its reply,
// with the wait, the cancellation on EINTR and the endpoint check.
#ifndef DRAX_TLI_CHANNEL_H
#define DRAX_TLI_CHANNEL_H

#include "proto.h"

#include <cstdint>
#include <vector>

namespace tlichan {

struct Reply {
    tliproto::Header h;
    std::vector<uint8_t> body;
    int fd = -1;  // a descriptor that came with the reply (t_open), else -1
};

// True when fd is an open Unix-domain SEQPACKET socket (what every endpoint
// is); otherwise sets t_errno to TBADF.
bool is_endpoint(int fd);
// The descriptor is being closed.
void forget(int fd);

// True when the endpoint is in non-blocking mode (O_NONBLOCK on fd).
bool nonblocking(int fd);

// Sends one request (with `pass_fd` attached when >= 0) and waits for its
// reply, skipping doorbells and replies to other requests. When `block` is
// set the daemon may hold the request; a signal interrupting the wait
// cancels it (see proto.h). Returns 0 with the reply (whose terr may report
// a TLI failure) or -1 with t_errno TSYSERR and errno set when the endpoint
// cannot be reached or the wait was interrupted.
int transact(int fd, uint16_t type, bool block, const std::vector<uint8_t> &body, Reply &out,
             int pass_fd = -1);

// Like transact, and turns a failure reported in the reply into t_errno (and
// errno for TSYSERR) with result -1.
int call(int fd, uint16_t type, bool block, const std::vector<uint8_t> &body, Reply &out,
         int pass_fd = -1);

// Sets t_errno (and errno when err is not 0); returns -1.
int fail(int terr, int err = 0);

} // namespace tlichan

#endif
