#include "stackcheck.h"
#include "endpoint.h"

#include <proto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ombrad {

namespace {

// The device socket, where the TLI library would look for it.
std::string device_socket()
{
    const char *dir = std::getenv("IPX_DEVDIR");
    std::string dev = kDatagramDevice;
    if (dir != nullptr && *dir != '\0')
        return std::string(dir) + "/" + dev.substr(std::strlen("/dev/"));
    return dev;
}

struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

// One question of at most tliproto::kMaxBoundQuery sockets.
bool ask_some(const uint16_t *sockets, size_t count, std::vector<SocketState> &states,
              std::string &error, int timeout_ms)
{
    using namespace tliproto;
    std::string path = device_socket();
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) {
        error = path + ": name too long";
        return false;
    }
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    // Non-blocking, so that a stack that does not take connections cannot
    // hold the daemon up.
    Fd s{socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    if (s.fd < 0 || connect(s.fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    Writer w;
    w.u32(uint32_t(count));
    for (size_t i = 0; i < count; ++i)
        w.u32(sockets[i]);
    const uint32_t reqid = 1;
    std::vector<uint8_t> msg = build(kBound, 0, reqid, 0, 0, w.data());
    if (send(s.fd, msg.data(), msg.size(), MSG_NOSIGNAL) != ssize_t(msg.size())) {
        error = path + ": " + std::strerror(errno);
        return false;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<uint8_t> buf(kHeaderLen + 8 * count + 1);
    ssize_t n;
    for (;;) {
        n = recv(s.fd, buf.data(), buf.size(), MSG_TRUNC);
        if (n >= 0 || (errno != EAGAIN && errno != EINTR))
            break;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        struct pollfd p = {s.fd, POLLIN, 0};
        if (left.count() <= 0 || (poll(&p, 1, int(left.count())) == 0)) {
            error = "the stack does not answer";
            return false;
        }
    }
    if (n < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    Header h = n >= ssize_t(kHeaderLen) ? get_header(buf.data()) : Header{};
    if (n < ssize_t(kHeaderLen) || size_t(n) > buf.size() || h.len != size_t(n) ||
        h.type != (kBound | kReply) || h.reqid != reqid) {
        error = "the stack's answer is out of form (" + std::to_string(n) + " bytes)";
        return false;
    }
    if (h.terr != 0) {
        error = "the stack refuses (t_errno " + std::to_string(h.terr) + ")";
        return false;
    }
    Reader rd(buf.data() + kHeaderLen, size_t(n) - kHeaderLen);
    bool ok = true;
    for (size_t i = 0; i < count && ok; ++i) {
        int32_t bound = 0, uid = -1;
        ok = rd.i32(bound) && rd.i32(uid) && (bound == 0 || bound == 1);
        states.push_back({bound == 1, bound == 1 ? uid : -1});
    }
    if (!ok || !rd.done()) {
        error = "the stack's answer is out of form (" + std::to_string(n) + " bytes)";
        return false;
    }
    return true;
}

} // namespace

bool ask_stack(const std::vector<uint16_t> &sockets, std::vector<SocketState> &states,
               std::string &error, int timeout_ms)
{
    states.clear();
    for (size_t i = 0; i < sockets.size(); i += tliproto::kMaxBoundQuery) {
        size_t count = std::min<size_t>(tliproto::kMaxBoundQuery, sockets.size() - i);
        if (!ask_some(sockets.data() + i, count, states, error, timeout_ms))
            return false;
    }
    return true;
}

} // namespace ombrad
