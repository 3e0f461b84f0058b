#include "termcore.h"

#include "proto.h"

#include <cstdio>
#include <vector>

#ifndef ZELTERM_VERSION
#define ZELTERM_VERSION "1.0"
#endif

namespace zelterm {

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Up to `bytes` bytes of hex digits, right-aligned into out[0..bytes).
bool parse_field(const std::string &f, size_t bytes, uint8_t *out)
{
    if (f.empty() || f.size() > bytes * 2)
        return false;
    for (size_t i = 0; i < bytes; ++i)
        out[i] = 0;
    size_t pos = bytes * 2 - f.size();  // digit position of the first char
    for (char c : f) {
        int v = hex_value(c);
        if (v < 0)
            return false;
        out[pos / 2] |= static_cast<uint8_t>(pos % 2 == 0 ? v << 4 : v);
        ++pos;
    }
    return true;
}

} // namespace

AddrParse parse_address(const std::string &text, uint8_t addr[12], std::string &error)
{
    if (text.find(':') == std::string::npos)
        return AddrParse::NotAnAddress;
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    if (parts.size() != 3) {
        error = "an address is NET:NODE:SOCKET in hex";
        return AddrParse::Bad;
    }
    if (!parse_field(parts[0], 4, addr)) {
        error = "bad network number \"" + parts[0] + "\" (1 to 8 hex digits)";
        return AddrParse::Bad;
    }
    if (!parse_field(parts[1], 6, addr + 4)) {
        error = "bad node \"" + parts[1] + "\" (1 to 12 hex digits)";
        return AddrParse::Bad;
    }
    if (!parse_field(parts[2], 2, addr + 10)) {
        error = "bad socket \"" + parts[2] + "\" (1 to 4 hex digits)";
        return AddrParse::Bad;
    }
    if (addr[10] == 0 && addr[11] == 0) {
        error = "socket 0 is not a service's socket";
        return AddrParse::Bad;
    }
    return AddrParse::Ok;
}

std::string format_address(const uint8_t a[12])
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X:%02X%02X%02X%02X%02X%02X:%02X%02X", a[0], a[1], a[2],
                  a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11]);
    return buf;
}

Escape EscapeDetector::feed(const uint8_t *in, size_t n, std::string &send, size_t &used)
{
    for (used = 0; used < n;) {
        char c = static_cast<char>(in[used++]);
        if (tilde_) {
            tilde_ = false;
            switch (c) {
            case '.':
                return Escape::Quit;
            case '?':
                line_start_ = true;  // another escape may follow at once
                return Escape::Help;
            case 0x1a:  // ^Z
                line_start_ = true;
                return Escape::Suspend;
            case '~':
                send += '~';
                break;
            default:
                send += '~';
                send += c;
                break;
            }
        } else if (line_start_ && c == '~') {
            tilde_ = true;
            line_start_ = false;
            continue;
        } else {
            send += c;
        }
        line_start_ = c == '\r' || c == '\n';
    }
    return Escape::None;
}

int exit_status_of(const zelproto::ExitStatus &st)
{
    if (st.kind == zelproto::ExitStatus::Signalled)
        return 128 + (st.value & 0x7f);
    return st.value;
}

std::string refusal_text(int reason)
{
    switch (reason) {
    case 2:
        return "connection refused";
    case 3:
    case 4:
        return "no answer";
    case 1:
        return "connection closed by the other end";
    case 7:
        return "no route";
    default:
        return "connection failed (disconnect reason " + std::to_string(reason) + ")";
    }
}

std::string usage_text()
{
    return "usage: zelterm [-q] [-w SECONDS] SERVICE\n"
           "       zelterm [-q] [-w SECONDS] NET:NODE:SOCKET\n"
           "       zelterm -l | -h | -V\n"
           "\n"
           "Opens a terminal session with a terminal service: SERVICE is its name as\n"
           "SAP advertises it (looked up in upper case), NET:NODE:SOCKET its IPX\n"
           "address in hex (up to 8, 12 and 4 digits).\n"
           "\n"
           "Options:\n"
           "  -l, --list             list the services that SAP knows, and exit\n"
           "  -q, --quiet            no progress, connection or warning messages\n"
           "  -w, --connect-timeout=SECONDS\n"
           "                         give up a connection request that has no answer\n"
           "                         after SECONDS (1 to 3600; default 10)\n"
           "  -h, --help             show this text, and exit\n"
           "  -V, --version          show the version, and exit\n"
           "\n"
           "Escapes, at the start of a line while standard input is a terminal:\n"
           "  ~.  end the session        ~^Z  suspend zelterm\n"
           "  ~?  list the escapes       ~~   send one ~\n"
           "When standard input is not a terminal, what it holds is typed into the\n"
           "session, and its end is typed as end-of-file (^D); there are no escapes.\n"
           "\n"
           "Exit status: that of the remote command (through /bin/login: login's);\n"
           "128+N when the remote command was killed by signal N; 255 when zelterm\n"
           "fails (usage, no stack, service not advertised, connection refused or\n"
           "unanswered, connection lost) or the session ends without the command's\n"
           "status (~., a signal). A server of the first protocol version sends no\n"
           "status: its sessions end with 0.\n"
           "\n"
           "Environment: TERM is sent to the server (\"dumb\" when unset or not a\n"
           "plain name); IPX_DEVDIR is where the stack's devices are (default /dev).\n";
}

std::string version_text()
{
    return std::string("zelterm ") + ZELTERM_VERSION + " (session protocol " +
           std::to_string(zelproto::kVersion) + ")\n";
}

std::string escape_help()
{
    return "Supported escape sequences:\r\n"
           " ~.   end the session\r\n"
           " ~^Z  suspend zelterm\r\n"
           " ~?   this list\r\n"
           " ~~   send one ~\r\n"
           "(Escapes are recognised only at the start of a line.)\r\n";
}

std::string list_header()
{
    char buf[128];
    std::snprintf(buf, sizeof buf, "%-47s %-4s  %-26s %4s\n", "Name", "Type", "Address", "Hops");
    return buf;
}

std::string list_row(const std::string &name, uint16_t type, const uint8_t addr[12], uint16_t hops)
{
    // Names come from the network: show them, but not their control bytes.
    std::string shown;
    for (char c : name)
        shown += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%-47s %04X  %-26s %4u\n", shown.c_str(), type, format_address(addr).c_str(),
                  static_cast<unsigned>(hops));
    return buf;
}

} // namespace zelterm
