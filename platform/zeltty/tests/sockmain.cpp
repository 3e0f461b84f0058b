// Zeltty with the TLI calls on descriptor 0 served by a stream socket: the
// test holds the other end and plays the client. A disconnect is the end of
// the stream; t_snddis shuts the socket down after what was written.
//
// Environment: ZELTTY_TEST_UTMP / ZELTTY_TEST_WTMP (record files),
// ZELTTY_TEST_GRACE_MS, ZELTTY_TEST_HELLO_MS, ZELTTY_TEST_STATE=idle (the
// endpoint reports itself unconnected).
#include "tlifake.h"
#include "zeltty.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool peer_gone = false;

int env_int(const char *name, int dflt)
{
    const char *v = std::getenv(name);
    return v != nullptr ? std::atoi(v) : dflt;
}

std::string env_str(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr ? v : "";
}

} // namespace

int main(int argc, char **argv)
{
    using tlifake::fail;
    auto &h = tlifake::hooks;
    bool idle = env_str("ZELTTY_TEST_STATE") == "idle";
    h.sync = [idle](int fd) { return fd != 0 ? fail(TBADF) : idle ? T_IDLE : T_DATAXFER; };
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
    h.rcvdis = [](int, t_discon *) { return peer_gone ? 0 : fail(TNODIS); };
    h.snddis = [](int fd, t_call *) { return shutdown(fd, SHUT_RDWR) == 0 ? 0 : fail(TSYSERR, errno); };
    h.close = [](int fd) { return close(fd) == 0 ? 0 : fail(TBADF); };

    zeltty::Options opts;
    opts.files.utmp = env_str("ZELTTY_TEST_UTMP");
    opts.files.wtmp = env_str("ZELTTY_TEST_WTMP");
    opts.grace_ms = env_int("ZELTTY_TEST_GRACE_MS", opts.grace_ms);
    opts.hello_timeout_ms = env_int("ZELTTY_TEST_HELLO_MS", opts.hello_timeout_ms);
    // The record of calls would grow with every byte relayed.
    int status = zeltty::run(argc, argv, opts);
    tlifake::reset();
    return status;
}
