// Zeltty with the TLI calls on descriptor 0 served by a stream socket: the
// test holds the other end and plays the client. A disconnect is the end of
// the stream; t_snddis shuts the socket down after what was written.
//
// Environment: ZELTTY_TEST_UTMP / ZELTTY_TEST_WTMP (record files),
// ZELTTY_TEST_GRACE_MS, ZELTTY_TEST_HELLO_MS, ZELTTY_TEST_STATE=idle (the
// endpoint reports itself unconnected).
#include "sockhooks.h"
#include "tlifake.h"
#include "zeltty.h"

#include <cstdlib>
#include <string>

namespace {

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
    socktli::install();
    bool idle = env_str("ZELTTY_TEST_STATE") == "idle";
    tlifake::hooks.sync = [idle](int fd) { return fd != 0 ? fail(TBADF) : idle ? T_IDLE : T_DATAXFER; };

    zeltty::Options opts;
    opts.files.utmp = env_str("ZELTTY_TEST_UTMP");
    opts.files.wtmp = env_str("ZELTTY_TEST_WTMP");
    opts.grace_ms = env_int("ZELTTY_TEST_GRACE_MS", opts.grace_ms);
    opts.hello_timeout_ms = env_int("ZELTTY_TEST_HELLO_MS", opts.hello_timeout_ms);
    int status = zeltty::run(argc, argv, opts);
    tlifake::reset();
    return status;
}
