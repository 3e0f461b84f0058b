// The parts of zelterm that do no I/O: IPX address text, the escapes, the
// texts it shows, its exit statuses, and the service list's layout.
#ifndef ZELTERM_TERMCORE_H
#define ZELTERM_TERMCORE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelproto {
struct ExitStatus;
}

namespace zelterm {

// SAP service type of the terminal service.
constexpr uint16_t kTerminalService = 0x247;

// zelterm's own failures (and a session that ends without the command's
// status) give this exit status, as ssh's do.
constexpr int kOwnFailure = 255;
// How long a connection may take to be answered, by default, in seconds.
constexpr int kDefaultConnectTimeout = 10;
constexpr int kMaxConnectTimeout = 3600;

// The exit status that stands for the remote command's end: its own
// status, or 128 + the signal that killed it (as a shell reports it).
int exit_status_of(const zelproto::ExitStatus &st);

// What a disconnect reason of the stack means for a connection request.
std::string refusal_text(int reason);

std::string usage_text();
std::string version_text();
// The list shown by "~?" (lines end in CR LF: the terminal is raw then).
std::string escape_help();

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

enum class Escape {
    None,
    Quit,     // "~.": end the session
    Help,     // "~?": list the escapes
    Suspend,  // "~^Z": suspend zelterm
};

// Watches what the user types for "~" commands at the start of a line:
// "~." "~?" "~^Z" act, "~~" sends one "~", "~" before anything else sends
// both characters.
class EscapeDetector {
public:
    // Takes typed bytes up to and including the first command: what is to
    // be sent is appended to `send`, `used` says how many bytes were taken,
    // and the command is returned (None when all `n` were taken).
    Escape feed(const uint8_t *in, size_t n, std::string &send, size_t &used);

private:
    bool line_start_ = true;
    bool tilde_ = false;
};

// One line of the service list.
std::string list_header();
std::string list_row(const std::string &name, uint16_t type, const uint8_t addr[12], uint16_t hops);

} // namespace zelterm

#endif
