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

// Where services are looked up (SAP in the program). Both return 0 on
// success, -1 with `error` set otherwise.
struct Directory {
    std::function<int(uint16_t type, std::vector<ServiceEntry> &out, std::string &error)> list;
    std::function<int(const std::string &name, uint16_t type, ServiceEntry &out, std::string &error)> find;
};

// The whole program; returns the exit status (0 after a normal end of the
// session, 1 on a failure, 2 on a usage error).
int run(int argc, char **argv, const Directory &dir);

} // namespace zelterm

#endif
