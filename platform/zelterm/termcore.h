// The parts of zelterm that do no I/O: IPX address text, the "~." escape,
// and the service list's layout.
#ifndef ZELTERM_TERMCORE_H
#define ZELTERM_TERMCORE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelterm {

// SAP service type of the terminal service.
constexpr uint16_t kTerminalService = 0x247;

enum class AddrParse {
    NotAnAddress,  // no ':' in it: a service name
    Ok,
    Bad,           // looks like an address but is not one; `error` says why
};

// "net:node:socket" in hex (up to 8, 12 and 4 digits) into the 12-byte IPX
// address record (network, node, socket; most significant bytes first).
AddrParse parse_address(const std::string &text, uint8_t addr[12], std::string &error);
// The same text form, with every digit: "00000001:000000000001:8063".
std::string format_address(const uint8_t addr[12]);

// Watches what the user types for "~." at the start of a line.
class EscapeDetector {
public:
    // Takes `n` typed bytes; returns what is to be sent. Sets `quit` when
    // the escape was typed (what followed it is dropped).
    std::string feed(const uint8_t *in, size_t n, bool &quit);

private:
    bool line_start_ = true;
    bool tilde_ = false;
};

// One line of the service list.
std::string list_header();
std::string list_row(const std::string &name, uint16_t type, const uint8_t addr[12], uint16_t hops);

} // namespace zelterm

#endif
