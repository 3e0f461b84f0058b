#include "zeltty.h"

#include <tiuser.h>

#include <cstdint>
#include <cstdio>

namespace {

// The caller's IPX address, as the stack knows it: "NET:NODE:SOCKET" in hex.
std::string caller_address()
{
    uint8_t a[12];
    struct t_bind peer{};
    peer.addr.maxlen = sizeof a;
    peer.addr.buf = reinterpret_cast<char *>(a);
    if (t_getprotaddr(0, nullptr, &peer) < 0 || peer.addr.len != sizeof a)
        return "";
    char text[32];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X:%02X%02X%02X%02X%02X%02X:%02X%02X", a[0], a[1], a[2], a[3],
                  a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11]);
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    zeltty::Options opts = zeltty::default_options();
    opts.peer = caller_address;
    return zeltty::run(argc, argv, opts);
}
