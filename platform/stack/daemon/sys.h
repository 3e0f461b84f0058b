// The system calls of the links, behind a seam: the links make every socket
// call through a Sys, so that tests can fail any of them with a chosen
// errno. The real one retries EINTR, in this one place.
#ifndef IPXSTACKD_SYS_H
#define IPXSTACKD_SYS_H

#include <cstddef>
#include <sys/socket.h>
#include <sys/types.h>

namespace ipxstackd {

class Sys {
public:
    virtual ~Sys() = default;
    virtual int socket(int domain, int type, int protocol);
    virtual int bind(int fd, const struct sockaddr *sa, socklen_t len);
    virtual int setsockopt(int fd, int level, int name, const void *val, socklen_t len);
    virtual ssize_t sendto(int fd, const void *buf, size_t len, int flags,
                           const struct sockaddr *sa, socklen_t salen);
    virtual ssize_t recvfrom(int fd, void *buf, size_t len, int flags, struct sockaddr *sa,
                             socklen_t *salen);
    virtual int ioctl(int fd, unsigned long request, void *arg);
    virtual int close(int fd);
    virtual unsigned if_nametoindex(const char *name);
};

// The real calls.
Sys &real_sys();

// A descriptor closed through its Sys when it goes.
class SysFd {
public:
    SysFd() = default;
    SysFd(Sys &sys, int fd) : sys_(&sys), fd_(fd) {}
    ~SysFd() { reset(); }
    SysFd(SysFd &&o) noexcept : sys_(o.sys_), fd_(o.fd_) { o.fd_ = -1; }
    SysFd &operator=(SysFd &&o) noexcept
    {
        if (this != &o) {
            reset();
            sys_ = o.sys_;
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }
    SysFd(const SysFd &) = delete;
    SysFd &operator=(const SysFd &) = delete;
    int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0 && sys_ != nullptr)
            sys_->close(fd_);
        fd_ = -1;
    }

private:
    Sys *sys_ = nullptr;
    int fd_ = -1;
};

} // namespace ipxstackd

#endif
