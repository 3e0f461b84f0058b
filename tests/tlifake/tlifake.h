// A TLI test double: links in place of the TLI library (a link seam) and
// lets a test decide the outcome of every t_* call through hooks.
//
// Without a hook a call succeeds: t_open opens /dev/null (so the descriptor
// is real and can be dup'ed or closed), t_close closes it, t_look returns 0,
// t_getstate T_IDLE, t_rcv fills nothing and returns 0, everything else 0.
// Every call is recorded in `calls` as "t_name(fd)" (t_open as
// "t_open(path)", t_accept as "t_accept(fd,resfd)").
#ifndef DRAX_TLIFAKE_H
#define DRAX_TLIFAKE_H

#include <tiuser.h>

#include <functional>
#include <string>
#include <vector>

namespace tlifake {

struct Hooks {
    std::function<int(const char *, int, t_info *)> open;
    std::function<int(int, struct t_bind *, struct t_bind *)> bind;
    std::function<int(int)> unbind;
    std::function<int(int, t_call *)> listen;
    std::function<int(int, int, t_call *)> accept;
    std::function<int(int, t_call *, t_call *)> connect;
    std::function<int(int, t_call *)> rcvconnect;
    std::function<int(int, char *, unsigned, int)> snd;
    std::function<int(int, char *, unsigned, int *)> rcv;
    std::function<int(int, t_call *)> snddis;
    std::function<int(int, t_discon *)> rcvdis;
    std::function<int(int)> sndrel;
    std::function<int(int)> rcvrel;
    std::function<int(int, t_unitdata *)> sndudata;
    std::function<int(int, t_unitdata *, int *)> rcvudata;
    std::function<int(int, t_uderr *)> rcvuderr;
    std::function<int(int)> look;
    std::function<int(int)> getstate;
    std::function<int(int)> sync;
    std::function<int(int)> close;
    std::function<int(int, t_info *)> getinfo;
    std::function<int(int, struct t_optmgmt *, struct t_optmgmt *)> optmgmt;
};

extern Hooks hooks;
extern std::vector<std::string> calls;

// Forget every hook and recorded call, and set t_errno to 0.
void reset();

// For hooks: set t_errno (and errno when err is not 0) and return -1.
int fail(int terr, int err = 0);

// Number of recorded calls whose text starts with `prefix`.
int count(const std::string &prefix);

} // namespace tlifake

#endif
