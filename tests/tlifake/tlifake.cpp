#include "tlifake.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tlifake {

Hooks hooks;
std::vector<std::string> calls;

void reset()
{
    hooks = Hooks{};
    calls.clear();
    t_errno = 0;
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
    if (hooks.open)
        return hooks.open(path, oflag, info);
    if (info != nullptr)
        std::memset(info, 0, sizeof *info);
    int fd = ::open("/dev/null", O_RDWR);
    if (fd < 0)
        return tlifake::fail(TSYSERR);
    return fd;
}

int t_bind(int fd, struct t_bind *req, struct t_bind *ret)
{
    record("t_bind", fd);
    if (hooks.bind)
        return hooks.bind(fd, req, ret);
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
    return hooks.unbind ? hooks.unbind(fd) : 0;
}

int t_listen(int fd, struct t_call *call)
{
    record("t_listen", fd);
    return hooks.listen ? hooks.listen(fd, call) : 0;
}

int t_accept(int fd, int resfd, struct t_call *call)
{
    tlifake::calls.push_back("t_accept(" + std::to_string(fd) + "," + std::to_string(resfd) + ")");
    return hooks.accept ? hooks.accept(fd, resfd, call) : 0;
}

int t_connect(int fd, struct t_call *sndcall, struct t_call *rcvcall)
{
    record("t_connect", fd);
    return hooks.connect ? hooks.connect(fd, sndcall, rcvcall) : 0;
}

int t_rcvconnect(int fd, struct t_call *call)
{
    record("t_rcvconnect", fd);
    return hooks.rcvconnect ? hooks.rcvconnect(fd, call) : 0;
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
    return hooks.snddis ? hooks.snddis(fd, call) : 0;
}

int t_rcvdis(int fd, struct t_discon *discon)
{
    record("t_rcvdis", fd);
    return hooks.rcvdis ? hooks.rcvdis(fd, discon) : 0;
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
    return hooks.getstate ? hooks.getstate(fd) : T_IDLE;
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
