#include "sockhooks.h"

#include "tlifake.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace socktli {

namespace {
bool peer_gone = false;
int reason_given = 1;  // the peer ended the connection
}

void set_disconnected(int reason)
{
    peer_gone = true;
    reason_given = reason;
}

void install()
{
    using tlifake::fail;
    auto &h = tlifake::hooks;
    h.rcv = [](int fd, char *buf, unsigned n, int *flags) {
        *flags = 0;
        ssize_t r = read(fd, buf, n);
        if (r > 0)
            return static_cast<int>(r);
        if (r < 0 && errno == EAGAIN)
            return fail(TNODATA);
        if (r == 0 || errno == ECONNRESET) {
            peer_gone = true;
            return fail(TLOOK);
        }
        return fail(TSYSERR, errno);
    };
    h.snd = [](int fd, char *buf, unsigned n, int) {
        ssize_t r = send(fd, buf, n, MSG_NOSIGNAL);
        if (r >= 0)
            return static_cast<int>(r);
        if (errno == EAGAIN)
            return fail(TFLOW);
        if (errno == EPIPE || errno == ECONNRESET) {
            peer_gone = true;
            return fail(TLOOK);
        }
        return fail(TSYSERR, errno);
    };
    h.look = [](int) { return peer_gone ? T_DISCONNECT : 0; };
    h.rcvdis = [](int, t_discon *d) {
        if (!peer_gone)
            return fail(TNODIS);
        if (d != nullptr)
            d->reason = reason_given;
        return 0;
    };
    h.snddis = [](int fd, t_call *) { return shutdown(fd, SHUT_RDWR) == 0 ? 0 : fail(TSYSERR, errno); };
    h.close = [](int fd) { return close(fd) == 0 ? 0 : fail(TBADF); };
}

} // namespace socktli
