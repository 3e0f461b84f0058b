// The TLI library's reading of the stack daemon's replies: one input is a
// series of t_* calls, each answered by a "daemon" whose messages come
// from the input. The endpoint is one end of a socket pair (the library
// checks only that it is a SEQPACKET socket of root's); the messages are
// put in the other end before the call, which is then shut, so that a
// call waiting for more sees the daemon go away instead of hanging. t_open
// is answered from a thread through a device socket in a private directory.
//
// The messages are replies to the call (with the request id the library
// will use), doorbells, replies to other calls, or raw bytes; bodies are
// shaped like the right ones or raw; now and then a descriptor comes along.
// Checked: user buffers are never overrun (each has exactly its maxlen), a
// failure always sets a valid t_errno, lengths returned fit the buffers,
// and no descriptor is left open.
//
// Needs to run as root (or as root of a user namespace: unshare -r), since
// the library accepts only a root daemon.
#include "fuzzinput.h"
#include "proto.h"

#include <tiuser.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace tliproto;

namespace {

uint32_t pid_part = 0;   // this process's id as the library puts it in request ids
uint32_t last_low = 0;   // low byte of the library's last request id
int listener = -1;       // the device socket for t_open
bool wild_terr = false;  // a reply carried a t_errno outside the known ones

uint32_t next_id()
{
    uint32_t id = pid_part | ((last_low + 1) & 0xff);
    return id == 0 ? 1 : id;
}

// The descriptors open among the first 128.
std::vector<bool> open_fds()
{
    std::vector<bool> v(128);
    for (int fd = 0; fd < 128; fd++)
        v[fd] = fcntl(fd, F_GETFD) >= 0;
    return v;
}

// A buffer of exactly n bytes (ASan sees any byte beyond).
struct Buf {
    explicit Buf(size_t n) : n_(n), p_(n ? static_cast<char *>(std::malloc(n)) : nullptr) {}
    ~Buf() { std::free(p_); }
    Buf(const Buf &) = delete;
    Buf &operator=(const Buf &) = delete;
    char *get() { return p_; }
    void netbuf(struct netbuf &nb, unsigned len = 0)
    {
        nb.maxlen = static_cast<unsigned>(n_);
        nb.len = len;
        nb.buf = p_;
    }
    size_t n_;
    char *p_;
};

std::string device_dir;

void remove_device()
{
    unlink((device_dir + "/ravspx").c_str());
    rmdir(device_dir.c_str());
}

void init_once()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    pid_part = static_cast<uint32_t>(getpid()) << 8;
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fuzz-tli-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr)
        std::abort();
    device_dir = dir;
    setenv("IPX_DEVDIR", dir.c_str(), 1);
    std::string path = device_dir + "/ravspx";
    listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 ||
        listen(listener, 4) < 0)
        std::abort();
    std::atexit(remove_device);
}

// A body shaped like the reply to `type`, with lengths from the input.
std::vector<uint8_t> shaped_body(fuzz::Input &in, uint16_t type)
{
    Writer w;
    auto addr_opt = [&](bool with_seq) {
        if (with_seq)
            w.i32(static_cast<int32_t>(in.u8()));
        uint32_t al = in.u8() % 4 == 0 ? in.u8() % 20 : kAddrLen;
        uint32_t ol = in.u8() % 4 == 0 ? in.u8() % 12 : 0;
        std::vector<uint8_t> a = in.bytes(al), o = in.bytes(ol);
        a.resize(al);
        o.resize(ol);
        w.u32(al).u32(ol).bytes(a.data(), al).bytes(o.data(), ol);
    };
    switch (type) {
    case kOpen:
    case kInfo: {
        InfoBody b;
        static const int64_t values[] = {-2, -1, 0, 2, 8, 12, 534, 546, 1024, 4096};
        b.addr = values[in.u8() % 10];
        b.options = values[in.u8() % 10];
        b.tsdu = values[in.u8() % 10];
        b.etsdu = values[in.u8() % 10];
        b.connect = values[in.u8() % 10];
        b.discon = values[in.u8() % 10];
        b.servtype = in.range(0, 4);
        b.state = static_cast<int32_t>(in.range(0, 9));
        b.write(w);
        break;
    }
    case kLook:
        w.i32(static_cast<int32_t>(in.u16()));
        break;
    case kBind: {
        std::vector<uint8_t> a = in.bytes(kAddrLen);
        a.resize(kAddrLen);
        w.bytes(a.data(), kAddrLen).u32(in.u8());
        break;
    }
    case kOptmgmt: {
        uint32_t ol = in.u8() % 4 == 0 ? in.u8() % 80 : 8;
        std::vector<uint8_t> o = in.bytes(ol);
        o.resize(ol);
        w.i32(in.u8()).u32(ol).bytes(o.data(), ol);
        break;
    }
    case kConnect:
    case kRcvconnect:
        addr_opt(false);
        break;
    case kListen:
        addr_opt(true);
        break;
    case kSnd:
        w.u32(in.u8() % 4 == 0 ? in.u32() : in.u8());
        break;
    case kRcv: {
        w.i32(in.u8() % 4);
        std::vector<uint8_t> d = in.chunk();
        w.bytes(d.data(), d.size());
        break;
    }
    case kRcvdis:
        w.i32(in.u8()).i32(in.u8());
        break;
    case kRcvudata: {
        w.i32(in.u8() % 2);
        addr_opt(false);
        std::vector<uint8_t> d = in.chunk();
        w.bytes(d.data(), d.size());
        break;
    }
    case kRcvuderr:
        w.i32(in.u8());
        addr_opt(false);
        break;
    case kProtaddr:
        for (int i = 0; i < 2; i++) {
            uint32_t al = in.u8() % 4 == 0 ? in.u8() % 20 : (in.flag() ? kAddrLen : 0);
            std::vector<uint8_t> a = in.bytes(al);
            a.resize(al);
            w.u32(al).bytes(a.data(), al);
        }
        break;
    default:
        break;
    }
    return w.data();
}

// The daemon's side of one call: writes its messages, then shuts its end.
// `extra` collects descriptors to close afterwards.
void answer(fuzz::Input &in, int fd, uint16_t type, bool bounded, std::vector<int> &extra)
{
    const uint32_t id = next_id();
    const uint16_t want = static_cast<uint16_t>(type | kReply);
    int count = 1 + in.u8() % 4;
    for (int i = 0; i < count; i++) {
        uint8_t kind = in.u8() % 8;
        if (bounded && kind == 7)
            kind = 0;
        std::vector<uint8_t> msg;
        if (kind == 7) {
            msg = in.chunk(120);
            if (msg.size() >= kHeaderLen) {
                Header h = get_header(msg.data());
                if (h.terr < 0 || h.terr > t_nerr)
                    wild_terr = true;
                // Only ids of this process, of none, or of no living process:
                // a reply to another live process is left for it for two
                // seconds, which is right but slow.
                if ((h.reqid >> 8) != (pid_part >> 8) && (h.reqid >> 8) != 0)
                    h.reqid = 0xFFFFFF00u | (h.reqid & 0xff);
                put_header(h, msg.data());
            }
        } else {
            Header h;
            h.type = want;
            h.reqid = id;
            if (kind == 4) {
                h.type = kDoorbell;
                h.reqid = 0;
            } else if (kind == 5) {
                h.type = static_cast<uint16_t>((in.u8() % 30) | kReply);
            } else if (kind == 6) {
                h.reqid = pid_part | ((id + 1 + in.u8() % 254) & 0xff);
            }
            uint8_t f = in.u8();
            h.flags = f % 4 == 0 ? kFlagPending : 0;
            if (f == 0xff)
                h.flags = in.u16();
            uint8_t t = in.u8();
            static const int32_t errs[] = {TLOOK, TSYSERR, TBUFOVFLW, TNODATA, TFLOW, TOUTSTATE};
            h.terr = t % 4 != 0 ? 0 : (t % 16 == 4 ? static_cast<int32_t>(in.u32()) : errs[t % 6]);
            h.syserr = h.terr == TSYSERR ? static_cast<int32_t>(in.u8()) : 0;
            if (h.terr < 0 || h.terr > t_nerr)
                wild_terr = true;
            std::vector<uint8_t> body;
            if (bounded || in.u8() % 4 != 0)
                body = shaped_body(in, h.type & ~kReply);
            else
                body = in.chunk(100);
            msg = build(h.type, h.flags, h.reqid, h.terr, h.syserr, body);
            if (!bounded && in.u8() % 16 == 0) {
                h = get_header(msg.data());
                h.len = in.u32();
                put_header(h, msg.data());
            }
        }
        // A descriptor along with it: an endpoint-like socket (what t_open
        // wants), or any file.
        int pass = -1;
        uint8_t d = in.u8();
        if (d % 8 == 1 || (type == kOpen && d % 2 == 0)) {
            int sv[2];
            if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) == 0) {
                pass = sv[0];
                extra.push_back(sv[1]);
            }
        } else if (d % 8 == 2) {
            pass = open("/dev/null", O_RDWR | O_CLOEXEC);
        }
        OutMessage om(msg, pass);
        bool sent = sendmsg(fd, &om.mh, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0;
        if (pass >= 0)
            close(pass);
        if (!sent)
            break;
    }
    shutdown(fd, SHUT_WR);
}

// Reads what the library sent (to learn its last request id) and closes
// any descriptor that came with it (t_accept's responder).
void drain(int fd)
{
    static std::vector<uint8_t> buf(kMaxMessage + 64);
    for (;;) {
        struct iovec iov {buf.data(), buf.size()};
        struct msghdr mh {};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        alignas(struct cmsghdr) char cbuf[CMSG_SPACE(4 * sizeof(int))];
        mh.msg_control = cbuf;
        mh.msg_controllen = sizeof cbuf;
        ssize_t n = recvmsg(fd, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n <= 0)
            return;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                size_t nfd = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (size_t i = 0; i < nfd; i++) {
                    int got;
                    std::memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                    close(got);
                }
            }
        }
        if (static_cast<size_t>(n) >= kHeaderLen) {
            Header h = get_header(buf.data());
            FUZZ_CHECK(h.reqid != 0);
            FUZZ_CHECK((h.reqid & ~0xffu) == pid_part);
            last_low = h.reqid & 0xff;
        }
    }
}

// A failure always says why; the library's own reasons are known ones (a
// daemon's t_errno is passed on as it is). t_look and t_getstate return
// what the daemon reports, so any value may come back from them.
void check_result(int r, bool daemon_value = false)
{
    if (r < 0 && !daemon_value)
        FUZZ_CHECK(t_errno != 0 && (wild_terr || (t_errno >= 1 && t_errno <= t_nerr)));
    wild_terr = false;
}

struct Endpoint {
    int sv[2] = {-1, -1};
    bool ok = false;
    explicit Endpoint(bool nonblock)
    {
        ok = socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) == 0;
        if (ok && nonblock)
            fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    }
    ~Endpoint()
    {
        if (sv[1] >= 0) {
            drain(sv[1]);
            close(sv[1]);
        }
        if (sv[0] >= 0)
            close(sv[0]);
    }
};

void one_open(fuzz::Input &in)
{
    std::vector<int> extra;
    // The messages are decided now, sent by the thread once it accepted.
    std::vector<uint8_t> script = in.chunk(200);
    bool nonblock = in.flag();
    std::thread daemon([&] {
        int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            return;
        fuzz::Input sin(script.data(), script.size());
        answer(sin, c, kOpen, false, extra);
        // Until the library is done with the connection.
        struct timeval tv {5, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        uint8_t b[256];
        ssize_t n;
        while ((n = recv(c, b, sizeof b, 0)) > 0) {
            Header h = get_header(b);
            if (static_cast<size_t>(n) >= kHeaderLen && (h.reqid & ~0xffu) == pid_part)
                last_low = h.reqid & 0xff;
        }
        close(c);
    });
    struct t_info info {};
    t_errno = 0;
    int fd = t_open("/dev/ravspx", O_RDWR | (nonblock ? O_NONBLOCK : 0), in.flag() ? &info : nullptr);
    check_result(fd);
    if (fd >= 0)
        t_close(fd);
    daemon.join();
    for (int e : extra)
        close(e);
}

void one_call(fuzz::Input &in)
{
    static const uint16_t calls[] = {kLook,  kInfo,   kInfo,    kBind,    kUnbind, kOptmgmt,
                                     kConnect, kRcvconnect, kListen, kAccept, kSnd, kRcv,
                                     kSnddis, kRcvdis, kSndudata, kRcvudata, kRcvuderr, kInfo};
    uint8_t pick = in.u8() % 20;
    if (pick == 18) {
        one_open(in);
        return;
    }
    uint16_t type = pick == 19 ? kProtaddr : calls[pick];
    bool alloc = pick == 17;
    Endpoint ep(in.flag());
    if (!ep.ok)
        return;
    std::vector<int> extra;
    answer(in, ep.sv[1], type, alloc, extra);
    const int fd = ep.sv[0];
    int r = 0;
    t_errno = 0;
    switch (pick) {
    case 0:
        r = t_look(fd);
        break;
    case 1: {
        struct t_info info {};
        r = t_getinfo(fd, in.flag() ? &info : nullptr);
        break;
    }
    case 2:
        r = in.flag() ? t_getstate(fd) : t_sync(fd);
        break;
    case 3: {
        Buf a(in.u8() % 16), b(in.u8() % 16);
        struct t_bind req {}, ret {};
        a.netbuf(req.addr, in.flag() ? static_cast<unsigned>(a.n_) : 0);
        req.qlen = in.u8();
        b.netbuf(ret.addr);
        bool with_req = in.flag();
        bool with_ret = in.flag();
        r = t_bind(fd, with_req ? &req : nullptr, with_ret ? &ret : nullptr);
        if (r == 0 && with_ret)
            FUZZ_CHECK(ret.addr.len <= ret.addr.maxlen);
        break;
    }
    case 4:
        r = t_unbind(fd);
        break;
    case 5: {
        Buf o(in.u8() % 12), ro(in.u8() % 12);
        struct t_optmgmt req {}, ret {};
        o.netbuf(req.opt, static_cast<unsigned>(o.n_));
        req.flags = in.u8();
        ro.netbuf(ret.opt);
        bool with_ret = in.flag();
        r = t_optmgmt(fd, &req, with_ret ? &ret : nullptr);
        if (r == 0 && with_ret)
            FUZZ_CHECK(ret.opt.len <= ret.opt.maxlen);
        break;
    }
    case 6:
    case 7:
    case 8: {
        Buf sa(kAddrLen), a(in.u8() % 16), o(in.u8() % 10);
        std::memset(sa.get(), 0, kAddrLen);
        struct t_call snd {}, rcv {};
        sa.netbuf(snd.addr, kAddrLen);
        a.netbuf(rcv.addr);
        o.netbuf(rcv.opt);
        bool with = in.flag();
        if (pick == 6)
            r = t_connect(fd, &snd, with ? &rcv : nullptr);
        else if (pick == 7)
            r = t_rcvconnect(fd, with ? &rcv : nullptr);
        else
            r = t_listen(fd, with ? &rcv : nullptr);
        if (r == 0 && with)
            FUZZ_CHECK(rcv.addr.len <= rcv.addr.maxlen && rcv.opt.len <= rcv.opt.maxlen);
        break;
    }
    case 9: {
        struct t_call call {};
        call.sequence = in.u8();
        Endpoint res(false);
        int resfd = in.flag() && res.ok ? res.sv[0] : fd;
        r = t_accept(fd, resfd, in.flag() ? &call : nullptr);
        break;
    }
    case 10: {
        unsigned n = in.u8() % 16 == 0 ? static_cast<unsigned>(kMaxData + in.u8()) : in.range(0, 100);
        Buf d(n);
        if (n)
            std::memset(d.get(), 'x', n);
        r = t_snd(fd, d.get(), n, in.u8() % 4);
        if (r >= 0)
            FUZZ_CHECK(static_cast<unsigned>(r) <= n);
        break;
    }
    case 11: {
        unsigned n = in.range(0, 300);
        Buf d(n);
        int flags = 0;
        r = t_rcv(fd, d.get(), n, in.flag() ? &flags : nullptr);
        if (r >= 0)
            FUZZ_CHECK(static_cast<unsigned>(r) <= n);
        break;
    }
    case 12: {
        struct t_call call {};
        call.sequence = in.u8();
        r = t_snddis(fd, in.flag() ? &call : nullptr);
        break;
    }
    case 13: {
        struct t_discon dis {};
        r = t_rcvdis(fd, in.flag() ? &dis : nullptr);
        break;
    }
    case 14: {
        Buf a(kAddrLen), d(in.range(1, 40));
        std::memset(a.get(), 0, kAddrLen);
        std::memset(d.get(), 'y', d.n_);
        struct t_unitdata ud {};
        a.netbuf(ud.addr, kAddrLen);
        d.netbuf(ud.udata, static_cast<unsigned>(d.n_));
        r = t_sndudata(fd, &ud);
        break;
    }
    case 15: {
        Buf a(in.u8() % 16), o(in.u8() % 4), d(in.range(0, 300));
        struct t_unitdata ud {};
        a.netbuf(ud.addr);
        o.netbuf(ud.opt);
        d.netbuf(ud.udata);
        int flags = 0;
        r = t_rcvudata(fd, &ud, &flags);
        if (r == 0)
            FUZZ_CHECK(ud.addr.len <= ud.addr.maxlen && ud.opt.len <= ud.opt.maxlen &&
                       ud.udata.len <= ud.udata.maxlen);
        break;
    }
    case 16: {
        Buf a(in.u8() % 16), o(in.u8() % 4);
        struct t_uderr ue {};
        a.netbuf(ue.addr);
        o.netbuf(ue.opt);
        bool with = in.flag();
        r = t_rcvuderr(fd, with ? &ue : nullptr);
        if (r == 0 && with)
            FUZZ_CHECK(ue.addr.len <= ue.addr.maxlen && ue.opt.len <= ue.opt.maxlen);
        break;
    }
    case 17: {
        int st = static_cast<int>(in.range(0, 8));
        char *p = t_alloc(fd, st, in.u8() & T_ALL);
        if (p == nullptr) {
            r = -1;
        } else {
            FUZZ_CHECK(t_free(p, st) == 0);
        }
        break;
    }
    case 19: {
        Buf a(in.u8() % 16), b(in.u8() % 16);
        struct t_bind bound {}, peer {};
        a.netbuf(bound.addr);
        b.netbuf(peer.addr);
        bool with_bound = in.flag(), with_peer = in.flag();
        r = t_getprotaddr(fd, with_bound ? &bound : nullptr, with_peer ? &peer : nullptr);
        if (r == 0) {
            FUZZ_CHECK(!with_bound || bound.addr.len <= bound.addr.maxlen);
            FUZZ_CHECK(!with_peer || peer.addr.len <= peer.addr.maxlen);
        }
        break;
    }
    }
    check_result(r, pick == 0 || pick == 2);
    if (in.flag())
        t_close(fd);
    else
        close(fd);
    ep.sv[0] = -1;
    for (int e : extra)
        close(e);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    init_once();
    fuzz::Input in(data, size);
    const std::vector<bool> before = open_fds();
    for (int calls = 0; calls < 8 && !in.empty(); calls++)
        one_call(in);
    // Whatever came with a reply was closed or handed over.
    FUZZ_CHECK(open_fds() == before);
    return 0;
}
