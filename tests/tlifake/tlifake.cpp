#include "tlifake.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace tlifake {

Hooks hooks;
std::vector<std::string> calls;
bool track_states = false;

namespace {

struct Endpoint {
    int state = T_UNBND;
    std::vector<int> inds;  // sequence numbers listened for, not yet answered
};
std::map<int, Endpoint> endpoints;

} // namespace

void reset()
{
    hooks = Hooks{};
    calls.clear();
    endpoints.clear();
    track_states = false;
    t_errno = 0;
}

// The tracked endpoint of fd, or null when states are not tracked for it.
static Endpoint *tracked(int fd)
{
    if (!track_states)
        return nullptr;
    auto it = endpoints.find(fd);
    return it == endpoints.end() ? nullptr : &it->second;
}

// Drops an answered indication; the listener is idle once none is left.
static bool answer(Endpoint &e, int seq)
{
    auto it = std::find(e.inds.begin(), e.inds.end(), seq);
    if (it == e.inds.end())
        return false;
    e.inds.erase(it);
    if (e.inds.empty())
        e.state = T_IDLE;
    return true;
}

static bool outstanding(const Endpoint &e, int seq)
{
    return std::find(e.inds.begin(), e.inds.end(), seq) != e.inds.end();
}

int fail(int terr, int err)
{
    t_errno = terr;
    if (err != 0)
        errno = err;
    return -1;
}

int count(const std::string &prefix)
{
    int n = 0;
    for (const auto &c : calls)
        if (c.compare(0, prefix.size(), prefix) == 0)
            ++n;
    return n;
}

static void record(const char *name, int fd)
{
    calls.push_back(std::string(name) + "(" + std::to_string(fd) + ")");
}

} // namespace tlifake

using tlifake::hooks;
using tlifake::record;

extern "C" {

int t_open(const char *path, int oflag, struct t_info *info)
{
    tlifake::calls.push_back(std::string("t_open(") + (path ? path : "") + ")");
    int fd;
    if (hooks.open) {
        fd = hooks.open(path, oflag, info);
    } else {
        if (info != nullptr)
            std::memset(info, 0, sizeof *info);
        fd = ::open("/dev/null", O_RDWR);
        if (fd < 0)
            return tlifake::fail(TSYSERR);
    }
    if (fd >= 0 && tlifake::track_states)
        tlifake::endpoints[fd] = tlifake::Endpoint{};
    return fd;
}

int t_bind(int fd, struct t_bind *req, struct t_bind *ret)
{
    record("t_bind", fd);
    tlifake::Endpoint *e = tlifake::tracked(fd);
    if (e != nullptr && e->state != T_UNBND)
        return tlifake::fail(TOUTSTATE);
    if (e != nullptr)
        e->state = T_IDLE;  // a failing hook puts it back below
    if (hooks.bind) {
        int r = hooks.bind(fd, req, ret);
        if (r < 0 && e != nullptr)
            e->state = T_UNBND;
        return r;
    }
    if (req != nullptr && ret != nullptr && ret->addr.buf != nullptr && req->addr.buf != nullptr &&
        ret->addr.buf != req->addr.buf && req->addr.len <= ret->addr.maxlen) {
        std::memcpy(ret->addr.buf, req->addr.buf, req->addr.len);
        ret->addr.len = req->addr.len;
    }
    if (ret != nullptr && req != nullptr)
        ret->qlen = req->qlen;
    return 0;
}

int t_unbind(int fd)
{
    record("t_unbind", fd);
    tlifake::Endpoint *e = tlifake::tracked(fd);
    if (e != nullptr) {
        if (e->state != T_IDLE)
            return tlifake::fail(TOUTSTATE);
        if (hooks.look && hooks.look(fd) > 0)
            return tlifake::fail(TLOOK);
    }
    int r = hooks.unbind ? hooks.unbind(fd) : 0;
    if (r == 0 && e != nullptr)
        e->state = T_UNBND;
    return r;
}

int t_listen(int fd, struct t_call *call)
{
    record("t_listen", fd);
    tlifake::Endpoint *e = tlifake::tracked(fd);
    if (e != nullptr && e->state != T_IDLE && e->state != T_INCON)
        return tlifake::fail(TOUTSTATE);
    int r = hooks.listen ? hooks.listen(fd, call) : 0;
    if (r == 0 && e != nullptr) {
        e->state = T_INCON;
        e->inds.push_back(call != nullptr ? call->sequence : 0);
    }
    return r;
}

int t_accept(int fd, int resfd, struct t_call *call)
{
    tlifake::calls.push_back("t_accept(" + std::to_string(fd) + "," + std::to_string(resfd) + ")");
    tlifake::Endpoint *e = tlifake::tracked(fd);
    tlifake::Endpoint *res = resfd != fd ? tlifake::tracked(resfd) : nullptr;
    int seq = call != nullptr ? call->sequence : 0;
    if (e != nullptr && e->state != T_INCON)
        return tlifake::fail(TOUTSTATE);
    if (res != nullptr && res->state != T_IDLE)
        return tlifake::fail(TOUTSTATE);
    if (e != nullptr && !tlifake::outstanding(*e, seq))
        return tlifake::fail(TBADSEQ);
    int r = hooks.accept ? hooks.accept(fd, resfd, call) : 0;
    if (r == 0 && e != nullptr) {
        tlifake::answer(*e, seq);
        if (res != nullptr)
            res->state = T_DATAXFER;
        else if (resfd == fd)
            e->state = T_DATAXFER;
    }
    return r;
}

int t_connect(int fd, struct t_call *sndcall, struct t_call *rcvcall)
{
    record("t_connect", fd);
    tlifake::Endpoint *e = tlifake::tracked(fd);
    if (e != nullptr && e->state != T_IDLE)
        return tlifake::fail(TOUTSTATE);
    int r = hooks.connect ? hooks.connect(fd, sndcall, rcvcall) : 0;
    if (e != nullptr && r == 0)
        e->state = T_DATAXFER;
    else if (e != nullptr && t_errno == TNODATA)
        e->state = T_OUTCON;
    return r;
}

int t_rcvconnect(int fd, struct t_call *call)
{
    record("t_rcvconnect", fd);
    int r = hooks.rcvconnect ? hooks.rcvconnect(fd, call) : 0;
    tlifake::Endpoint *e = tlifake::tracked(fd);
    if (e != nullptr && r == 0)
        e->state = T_DATAXFER;
    return r;
}

int t_snd(int fd, char *buf, unsigned nbytes, int flags)
{
    record("t_snd", fd);
    return hooks.snd ? hooks.snd(fd, buf, nbytes, flags) : static_cast<int>(nbytes);
}

int t_rcv(int fd, char *buf, unsigned nbytes, int *flags)
{
    record("t_rcv", fd);
    if (hooks.rcv)
        return hooks.rcv(fd, buf, nbytes, flags);
    if (flags != nullptr)
        *flags = 0;
    return 0;
}

int t_snddis(int fd, struct t_call *call)
{
    record("t_snddis", fd);
    tlifake::Endpoint *e = tlifake::tracked(fd);
    int seq = call != nullptr ? call->sequence : 0;
    if (e != nullptr) {
        if (e->state < T_OUTCON || e->state > T_INREL)
            return tlifake::fail(TOUTSTATE);
        if (e->state == T_INCON && !tlifake::outstanding(*e, seq))
            return tlifake::fail(TBADSEQ);
    }
    int r = hooks.snddis ? hooks.snddis(fd, call) : 0;
    if (r == 0 && e != nullptr) {
        if (e->state == T_INCON)
            tlifake::answer(*e, seq);
        else
            e->state = T_IDLE;
    }
    return r;
}

int t_rcvdis(int fd, struct t_discon *discon)
{
    record("t_rcvdis", fd);
    int r = hooks.rcvdis ? hooks.rcvdis(fd, discon) : 0;
    tlifake::Endpoint *e = tlifake::tracked(fd);
    if (r == 0 && e != nullptr) {
        if (e->state == T_INCON)
            tlifake::answer(*e, discon != nullptr ? discon->sequence : -1);
        else if (e->state >= T_OUTCON)
            e->state = T_IDLE;
    }
    return r;
}

int t_sndrel(int fd)
{
    record("t_sndrel", fd);
    return hooks.sndrel ? hooks.sndrel(fd) : 0;
}

int t_rcvrel(int fd)
{
    record("t_rcvrel", fd);
    return hooks.rcvrel ? hooks.rcvrel(fd) : 0;
}

int t_sndudata(int fd, struct t_unitdata *ud)
{
    record("t_sndudata", fd);
    return hooks.sndudata ? hooks.sndudata(fd, ud) : 0;
}

int t_rcvudata(int fd, struct t_unitdata *ud, int *flags)
{
    record("t_rcvudata", fd);
    if (hooks.rcvudata)
        return hooks.rcvudata(fd, ud, flags);
    if (flags != nullptr)
        *flags = 0;
    return 0;
}

int t_rcvuderr(int fd, struct t_uderr *uderr)
{
    record("t_rcvuderr", fd);
    return hooks.rcvuderr ? hooks.rcvuderr(fd, uderr) : 0;
}

int t_look(int fd)
{
    record("t_look", fd);
    return hooks.look ? hooks.look(fd) : 0;
}

int t_getstate(int fd)
{
    record("t_getstate", fd);
    if (hooks.getstate)
        return hooks.getstate(fd);
    tlifake::Endpoint *e = tlifake::tracked(fd);
    return e != nullptr ? e->state : T_IDLE;
}

int t_getinfo(int fd, struct t_info *info)
{
    record("t_getinfo", fd);
    if (hooks.getinfo)
        return hooks.getinfo(fd, info);
    if (info != nullptr)
        std::memset(info, 0, sizeof *info);
    return 0;
}

int t_sync(int fd)
{
    record("t_sync", fd);
    return hooks.sync ? hooks.sync(fd) : T_IDLE;
}

int t_optmgmt(int fd, struct t_optmgmt *req, struct t_optmgmt *ret)
{
    record("t_optmgmt", fd);
    return hooks.optmgmt ? hooks.optmgmt(fd, req, ret) : 0;
}

int t_close(int fd)
{
    record("t_close", fd);
    tlifake::endpoints.erase(fd);
    if (hooks.close)
        return hooks.close(fd);
    if (::close(fd) < 0)
        return tlifake::fail(TBADF);
    return 0;
}

char *t_alloc(int fd, int, int)
{
    record("t_alloc", fd);
    return nullptr;
}

int t_free(char *ptr, int)
{
    std::free(ptr);
    return 0;
}

} // extern "C"
