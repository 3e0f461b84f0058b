// TLI test double hooks that serve the data calls of an endpoint with a
// stream socket: t_rcv/t_snd read and write it, the end of the stream is a
// disconnect, and t_snddis shuts the socket down after what was written.
#ifndef ZELTTY_TESTS_SOCKHOOKS_H
#define ZELTTY_TESTS_SOCKHOOKS_H

namespace socktli {

// Installs the hooks (t_rcv, t_snd, t_look, t_rcvdis, t_snddis, t_close).
void install();
// Makes t_look report a disconnect, whose reason t_rcvdis gives (2: the
// call was refused).
void set_disconnected(int reason = 2);

} // namespace socktli

#endif
