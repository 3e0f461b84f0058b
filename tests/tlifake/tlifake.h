// A TLI test double: links in place of the TLI library (a link seam) and
// lets a test decide the outcome of every t_* call through hooks.
//
// Without a hook a call succeeds: t_open opens /dev/null (so the descriptor
// is real and can be dup'ed or closed), t_close closes it, t_look returns 0,
// t_getstate T_IDLE, t_rcv fills nothing and returns 0, everything else 0.
// Every call is recorded in `calls` as "t_name(fd)" (t_open as
// "t_open(path)", t_accept as "t_accept(fd,resfd)").
//
// With `track_states` on, the double also keeps the TLI state of every
// endpoint it opened, as a provider does, and fails a call that the state
// does not allow before any hook sees it: t_bind only in T_UNBND; t_unbind
// only in T_IDLE, and with TLOOK while the look hook reports an event;
// t_listen in T_IDLE or T_INCON; t_accept and t_snddis of an indication
// only for a sequence number that t_listen returned and nothing has
// answered yet (else TBADSEQ); t_connect only in T_IDLE. Successful calls
// move the state (t_listen to T_INCON, the last answered indication back
// to T_IDLE, the accepting endpoint to T_DATAXFER), and t_getstate reports
// it. Descriptors the double did not open are not checked.
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
extern bool track_states;

// Forget every hook, recorded call and endpoint state, turn state tracking
// off, and set t_errno to 0.
void reset();

// For hooks: set t_errno (and errno when err is not 0) and return -1.
int fail(int terr, int err = 0);

// Number of recorded calls whose text starts with `prefix`.
int count(const std::string &prefix);

} // namespace tlifake

#endif
