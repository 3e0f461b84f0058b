#include "netconn.h"

#include <tiuser.h>

#include <cerrno>
#include <cstring>

namespace zeltty {

namespace {

std::string tli_error(const char *call)
{
    std::string s = call;
    s += ": ";
    if (t_errno > 0 && t_errno <= t_nerr)
        s += t_errlist[t_errno];
    else
        s += "error " + std::to_string(t_errno);
    if (t_errno == TSYSERR) {
        s += ": ";
        s += std::strerror(errno);
    }
    return s;
}

// Consumes a disconnect or orderly release if one is pending. Returns true
// when the connection is over.
bool take_end_event(int fd)
{
    int ev = t_look(fd);
    if (ev == T_DISCONNECT) {
        t_rcvdis(fd, nullptr);
        return true;
    }
    if (ev == T_ORDREL) {
        // The client has nothing more to say: for a terminal session that
        // is the end of the connection.
        t_rcvrel(fd);
        return true;
    }
    return ev < 0;  // t_look itself failing means the endpoint is gone
}

} // namespace

NetResult net_recv(int fd, uint8_t *buf, size_t size)
{
    int flags = 0;
    int r = t_rcv(fd, reinterpret_cast<char *>(buf), static_cast<unsigned>(size), &flags);
    if (r >= 0)
        return {NetStatus::Ok, static_cast<size_t>(r), {}};
    if (t_errno == TNODATA || (t_errno == TSYSERR && (errno == EINTR || errno == EAGAIN)))
        return {NetStatus::Again, 0, {}};
    if (t_errno == TLOOK)
        return take_end_event(fd) ? NetResult{NetStatus::Closed, 0, {}} : NetResult{NetStatus::Again, 0, {}};
    return {NetStatus::Error, 0, tli_error("t_rcv")};
}

NetResult net_send(int fd, const uint8_t *buf, size_t size)
{
    int r = t_snd(fd, const_cast<char *>(reinterpret_cast<const char *>(buf)), static_cast<unsigned>(size), 0);
    if (r >= 0)
        return {NetStatus::Ok, static_cast<size_t>(r), {}};
    if (t_errno == TFLOW || (t_errno == TSYSERR && (errno == EINTR || errno == EAGAIN)))
        return {NetStatus::Again, 0, {}};
    if (t_errno == TLOOK)
        return take_end_event(fd) ? NetResult{NetStatus::Closed, 0, {}} : NetResult{NetStatus::Again, 0, {}};
    return {NetStatus::Error, 0, tli_error("t_snd")};
}

bool net_closed(int fd)
{
    int ev = t_look(fd);
    if (ev == T_DISCONNECT || ev == T_ORDREL || ev < 0)
        return take_end_event(fd);
    return false;
}

void net_disconnect(int fd)
{
    t_snddis(fd, nullptr);
}

} // namespace zeltty
