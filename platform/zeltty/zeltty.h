// Zeltty: serves one terminal session on the connection that the listener
// hands over on descriptor 0.
#ifndef ZELTTY_ZELTTY_H
#define ZELTTY_ZELTTY_H

#include "session.h"

#include <functional>
#include <string>

namespace zeltty {

struct Options {
    UtmpFiles files;
    // How long the client has to send its hello before the session starts
    // with the defaults.
    int hello_timeout_ms = 10000;
    // After the session is hung up: how long its processes get to end
    // before they are killed.
    int grace_ms = 2000;
    // How long the last output may take to reach a client that has stopped
    // reading, before the connection is dropped anyway.
    int flush_timeout_ms = 15000;
    // Where each session's start and end are recorded, with a syslog
    // priority (facility included).
    std::function<void(int priority, const std::string &text)> log;
    // The caller's address as text; "" when it cannot be told.
    std::function<std::string()> peer;
};

// The system's own files; records go to syslog. The caller's address is
// for the program to fill in (it needs the TLI library).
Options default_options();

// The whole program: argv is "Zeltty" then the command (default
// "/bin/login"). Returns the exit status.
int run(int argc, char **argv, const Options &opts);

} // namespace zeltty

#endif
