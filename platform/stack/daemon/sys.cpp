#include "sys.h"

#include <cerrno>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ipxstackd {

namespace {

template <typename F>
auto again(F f)
{
    decltype(f()) r;
    do {
        r = f();
    } while (r < 0 && errno == EINTR);
    return r;
}

} // namespace

int Sys::socket(int domain, int type, int protocol) { return ::socket(domain, type, protocol); }

int Sys::bind(int fd, const struct sockaddr *sa, socklen_t len) { return ::bind(fd, sa, len); }

int Sys::setsockopt(int fd, int level, int name, const void *val, socklen_t len)
{
    return ::setsockopt(fd, level, name, val, len);
}

ssize_t Sys::sendto(int fd, const void *buf, size_t len, int flags, const struct sockaddr *sa,
                    socklen_t salen)
{
    return again([&] { return ::sendto(fd, buf, len, flags, sa, salen); });
}

ssize_t Sys::recvfrom(int fd, void *buf, size_t len, int flags, struct sockaddr *sa, socklen_t *salen)
{
    return again([&] { return ::recvfrom(fd, buf, len, flags, sa, salen); });
}

int Sys::ioctl(int fd, unsigned long request, void *arg)
{
    return again([&] { return ::ioctl(fd, request, arg); });
}

int Sys::close(int fd) { return ::close(fd); }

unsigned Sys::if_nametoindex(const char *name) { return ::if_nametoindex(name); }

Sys &real_sys()
{
    static Sys sys;
    return sys;
}

} // namespace ipxstackd
