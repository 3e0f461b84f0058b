// The service directory of the program: the host's SAP daemon.
#include "sapdir.h"

#include "sapclient.h"

#include <cstring>

namespace zelterm {

namespace {

// How long to wait for the SAP daemon's answer.
constexpr int kTimeoutMs = 3000;

ServiceEntry entry(const sap::Service &s)
{
    ServiceEntry e;
    e.type = s.type;
    e.name = s.name;
    std::memcpy(e.addr, s.addr, sizeof e.addr);
    e.hops = s.hops;
    return e;
}

} // namespace

Directory sap_directory()
{
    Directory d;
    d.list = [](uint16_t type, std::vector<ServiceEntry> &out, std::string &error) {
        std::vector<sap::Service> found;
        if (sap::query_services(type, kTimeoutMs, found, error) != 0)
            return -1;
        for (const auto &s : found)
            out.push_back(entry(s));
        return 0;
    };
    d.find = [](const std::string &name, uint16_t type, ServiceEntry &out, std::string &error) {
        sap::Service s;
        if (sap::find_service(name, type, kTimeoutMs, s, error) != 0)
            return -1;
        out = entry(s);
        return 0;
    };
    return d;
}

} // namespace zelterm
