// The daemon's local services kept across its restarts, in a small text
// file (default /opt/DRAXipx/run/Ombrad.state):
//
//   Ombrad services 1
//   0247 8063 00007f000001 0 1700 TERM1
//
// After the first line, one line a service: type, socket and node in
// hexadecimal (4, 4 and 12 digits), the user seen holding the socket (a
// decimal number, or "-" when not seen yet), the socket at this host that
// registered it (4 hexadecimal digits; only it may withdraw the service),
// and the name (the rest of the line). The network is not kept: it is the stack's at the next start.
// Every line ends with a newline, so a file cut short reads as damaged.
#ifndef DRAX_OMBRAD_STATE_H
#define DRAX_OMBRAD_STATE_H

#include "engine.h"

#include <string>
#include <vector>

namespace ombrad {

constexpr const char *kStateFile = "/opt/DRAXipx/run/Ombrad.state";
constexpr size_t kMaxStateSize = 64 * 1024;

std::string encode_state(const std::vector<SavedService> &services);
// Strict: a wrong first line, a malformed line, an unusable service (as a
// bind request would be refused) or more than `max` services fail with the
// reason in `why` and nothing decoded.
bool decode_state(const std::string &text, size_t max, std::vector<SavedService> &out,
                  std::string &why);

// Reads the file at `path`. A missing file is no services. A file that is
// not a regular file of this process's user, is writable by others, is
// larger than kMaxStateSize or is damaged fails with the reason in `why`.
bool load_state(const std::string &path, size_t max, std::vector<SavedService> &out,
                std::string &why);
// Replaces the file at once: the text goes into a fresh file beside it
// (mode 0600), which is synced and renamed over it. The directory is made
// (mode 0755) when it is missing. False with the reason in `error`.
bool save_state(const std::string &path, const std::vector<SavedService> &services,
                std::string &error);

} // namespace ombrad

#endif
