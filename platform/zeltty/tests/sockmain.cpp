// Zeltty with the TLI calls on descriptor 0 served by a stream socket: the
// test holds the other end and plays the client. A disconnect is the end of
// the stream; t_snddis shuts the socket down after what was written.
//
// Environment: ZELTTY_TEST_UTMP / ZELTTY_TEST_WTMP (record files),
// ZELTTY_TEST_GRACE_MS, ZELTTY_TEST_HELLO_MS, ZELTTY_TEST_STATE=idle (the
// endpoint reports itself unconnected), ZELTTY_TEST_LOG (a file that gets
// each session record as "PRIORITY TEXT" lines), ZELTTY_TEST_PEER (the
// caller's address).
#include "sockhooks.h"
#include "tlifake.h"
#include "zeltty.h"

#include <fcntl.h>
#include <unistd.h>

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
    std::string log = env_str("ZELTTY_TEST_LOG");
    if (!log.empty()) {
        opts.log = [log](int priority, const std::string &text) {
            int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
            std::string line = std::to_string(priority) + " " + text + "\n";
            if (fd >= 0 && write(fd, line.data(), line.size()) < 0)
                line.clear();
            if (fd >= 0)
                close(fd);
        };
    }
    std::string peer = env_str("ZELTTY_TEST_PEER");
    opts.peer = [peer] { return peer; };
    int status = zeltty::run(argc, argv, opts);
    tlifake::reset();
    return status;
}
