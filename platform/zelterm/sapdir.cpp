// The service directory of the program: the host's SAP daemon.
#include "sapdir.h"

#include "sapclient.h"

#include <cstring>

namespace zelterm {

namespace {

// SAP queries and answers are datagrams: one may be lost (a busy daemon's
// queue overflows when many clients ask at once), so a lookup asks again,
// waiting longer each time. A found service ends the wait at once.
constexpr int kAttemptsMs[] = {750, 1500, 3000};
constexpr int kListMs = 3000;

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
        // A list gathers answers for the whole time; an empty one is asked
        // for once more.
        for (int attempt = 0; attempt < 2 && found.empty(); ++attempt)
            if (sap::query_services(type, kListMs, found, error) != 0)
                return -1;
        for (const auto &s : found)
            out.push_back(entry(s));
        return 0;
    };
    d.find = [](const std::string &name, uint16_t type, ServiceEntry &out, std::string &error) {
        sap::Service s;
        for (int ms : kAttemptsMs) {
            if (sap::find_service(name, type, ms, s, error) == 0) {
                out = entry(s);
                return 0;
            }
            // Only silence is asked about again: a failure of the lookup
            // itself is reported.
            if (error != "no service \"" + name + "\" answered")
                return -1;
        }
        return 1;
    };
    return d;
}

} // namespace zelterm
