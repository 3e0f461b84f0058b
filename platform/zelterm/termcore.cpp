#include "termcore.h"

#include <cstdio>
#include <vector>

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

std::string EscapeDetector::feed(const uint8_t *in, size_t n, bool &quit)
{
    std::string out;
    quit = false;
    for (size_t i = 0; i < n; ++i) {
        char c = static_cast<char>(in[i]);
        if (tilde_) {
            tilde_ = false;
            if (c == '.') {
                quit = true;
                return out;
            }
            if (c != '~')
                out += '~';
            out += c;
        } else if (line_start_ && c == '~') {
            tilde_ = true;
            line_start_ = false;
            continue;
        } else {
            out += c;
        }
        line_start_ = c == '\r' || c == '\n';
    }
    return out;
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
