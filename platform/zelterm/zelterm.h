// zelterm: the client of the terminal service.
#ifndef ZELTERM_ZELTERM_H
#define ZELTERM_ZELTERM_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zelterm {

struct ServiceEntry {
    uint16_t type = 0;
    std::string name;
    uint8_t addr[12] = {};
    uint16_t hops = 0;
};

// Where services are looked up (SAP in the program). `list` returns 0 on
// success; `find` 0 when found and 1 when nothing answered for the name.
// Both return -1 with `error` set when the lookup itself failed.
struct Directory {
    std::function<int(uint16_t type, std::vector<ServiceEntry> &out, std::string &error)> list;
    std::function<int(const std::string &name, uint16_t type, ServiceEntry &out, std::string &error)> find;
};

// The whole program; returns the exit status: the remote command's (or
// 128 + the signal that killed it), 0 for -h, -V and -l, and kOwnFailure
// (255) for zelterm's own failures and sessions that end without the
// command's status.
int run(int argc, char **argv, const Directory &dir);

} // namespace zelterm

#endif
