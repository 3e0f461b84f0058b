// Asks the stack daemon which sockets are bound, and by whom: a question on
// the datagram device's socket ("/dev/ravitp", or $IPX_DEVDIR/ravitp).
#ifndef DRAX_OMBRAD_STACKCHECK_H
#define DRAX_OMBRAD_STACKCHECK_H

#include "engine.h"

#include <string>
#include <vector>

namespace ombrad {

// One state a socket in `states`, in the order of `sockets`. Waits at most
// `timeout_ms` for each answer. False with the reason in `error` when the
// stack cannot be reached, refuses, or answers out of form.
bool ask_stack(const std::vector<uint16_t> &sockets, std::vector<SocketState> &states,
               std::string &error, int timeout_ms = 1000);

} // namespace ombrad

#endif
