// Run by the process tests with a connected SPX endpoint on descriptor 0,
// as the listener hands connections to its per-connection program: echoes
// every unit back with "echo:" in front until the peer disconnects, then
// exits 0 (2 on a TLI failure).
#include <tiuser.h>

#include <cstdio>
#include <cstring>
#include <string>

int main()
{
    if (t_getstate(0) != T_DATAXFER) {
        t_error("tli_child: t_getstate");
        return 2;
    }
    std::string unit;
    for (;;) {
        char buf[256];
        int flags = 0;
        int n = t_rcv(0, buf, sizeof(buf), &flags);
        if (n < 0) {
            if (t_errno == TLOOK && t_look(0) == T_DISCONNECT) {
                t_rcvdis(0, nullptr);
                return 0;
            }
            t_error("tli_child: t_rcv");
            return 2;
        }
        unit.append(buf, static_cast<size_t>(n));
        if (flags & T_MORE)
            continue;
        std::string reply = "echo:" + unit;
        unit.clear();
        if (t_snd(0, reply.data(), static_cast<unsigned>(reply.size()), 0) < 0) {
            t_error("tli_child: t_snd");
            return 2;
        }
    }
}
