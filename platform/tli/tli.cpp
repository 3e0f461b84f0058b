// The TLI calls. The stack daemon holds the endpoint's state, queues and
// options, checks every call against the state table and answers with the
// resulting t_errno; the library asks it on a control connection. On a
// connected endpoint the data path does without it: t_snd posts its data
// into the endpoint's socket and t_rcv and t_look read the stream the daemon
// pushes there (proto.h). The library remembers per descriptor only what
// that needs (channel.h), so an endpoint works the same through any
// descriptor that refers to it, after dup, fork or exec (t_sync asks anew).
#include "channel.h"
#include "proto.h"

#include <tiuser.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace tliproto;
using tlichan::call;
using tlichan::Ep;
using tlichan::fail;
using tlichan::Head;
using tlichan::nonblocking;
using tlichan::Reply;

namespace {

// The largest expedited unit: one SPX attention packet.
constexpr unsigned kMaxExpedited = 534;

// "/dev/NAME" becomes "$IPX_DEVDIR/NAME" when IPX_DEVDIR is set.
std::string device_path(const char *path)
{
    std::string p = path;
    const char *dir = std::getenv("IPX_DEVDIR");
    if (dir != nullptr && *dir != '\0' && p.rfind("/dev/", 0) == 0)
        return std::string(dir) + "/" + p.substr(5);
    return p;
}

void fill_info(const InfoBody &b, struct t_info *info)
{
    if (info == nullptr)
        return;
    info->addr = b.addr;
    info->options = b.options;
    info->tsdu = b.tsdu;
    info->etsdu = b.etsdu;
    info->connect = b.connect;
    info->discon = b.discon;
    info->servtype = b.servtype;
}

int get_info(int fd, InfoBody &info)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    Reply r;
    if (call(fd, *ep, kInfo, false, {}, r) < 0)
        return -1;
    Reader rd(r.body.data(), r.body.size());
    if (!info.read(rd) || !rd.done())
        return fail(TSYSERR, EPROTO);
    return 0;
}

// Copies `n` bytes into a user netbuf; false when maxlen is too small.
bool put_netbuf(struct netbuf &nb, const uint8_t *p, uint32_t n)
{
    if (n > nb.maxlen)
        return false;
    if (n > 0)
        std::memcpy(nb.buf, p, n);
    nb.len = n;
    return true;
}

// Reads a Call reply (addrlen, optlen, addr, opt) into `call` (may be null).
// -1 with TBUFOVFLW when a buffer is too small, TSYSERR on a bad reply.
int read_call(Reader &rd, struct t_call *c)
{
    uint32_t alen = 0, olen = 0;
    const uint8_t *a = nullptr, *o = nullptr;
    if (!rd.u32(alen) || !rd.u32(olen) || !rd.view(a, alen) || !rd.view(o, olen) || !rd.done())
        return fail(TSYSERR, EPROTO);
    if (c == nullptr)
        return 0;
    bool ok = true;
    if (c->addr.maxlen > 0)
        ok = put_netbuf(c->addr, a, alen) && ok;
    else
        c->addr.len = 0;
    if (c->opt.maxlen > 0)
        ok = put_netbuf(c->opt, o, olen) && ok;
    else
        c->opt.len = 0;
    c->udata.len = 0;
    return ok ? 0 : fail(TBUFOVFLW);
}

// The size of a t_alloc buffer from an information field.
long alloc_size(long v)
{
    if (v == -1)
        return 1024;
    if (v <= 0)
        return 0;
    return v;
}

bool alloc_netbuf(struct netbuf &nb, long field)
{
    long n = alloc_size(field);
    nb.len = 0;
    nb.maxlen = 0;
    nb.buf = nullptr;
    if (n == 0)
        return true;
    nb.buf = static_cast<char *>(std::calloc(1, static_cast<size_t>(n)));
    if (nb.buf == nullptr)
        return false;
    nb.maxlen = static_cast<unsigned>(n);
    return true;
}

} // namespace

extern "C" {

int t_open(const char *path, int oflag, struct t_info *info)
{
    if ((oflag & O_ACCMODE) != O_RDWR)
        return fail(TBADFLAG);
    if (path == nullptr)
        return fail(TSYSERR, EINVAL);
    std::string dev = device_path(path);
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    if (dev.size() >= sizeof(sa.sun_path))
        return fail(TSYSERR, ENAMETOOLONG);
    std::memcpy(sa.sun_path, dev.c_str(), dev.size() + 1);
    int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0)
        return fail(TSYSERR);
    int rc;
    do {
        rc = connect(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        int e = errno;
        close(s);
        return fail(TSYSERR, e);
    }
    Writer w;
    w.i32(oflag);
    Reply r;
    if (tlichan::device_request(s, kOpen, w.data(), r) < 0) {
        int e = errno;
        close(s);
        errno = e;
        return -1;
    }
    InfoBody ib;
    Reader rd(r.body.data(), r.body.size());
    if (r.fd < 0 || !ib.read(rd) || !rd.done()) {
        if (r.fd >= 0) close(r.fd);
        close(s);
        return fail(TSYSERR, EPROTO);
    }
    // The endpoint takes the descriptor number of the device connection, so
    // t_open returns the lowest free descriptor as open(2) would; it stays
    // open across exec.
    if (dup3(r.fd, s, 0) < 0) {
        int e = errno;
        close(r.fd);
        close(s);
        return fail(TSYSERR, e);
    }
    close(r.fd);
    if (oflag & O_NONBLOCK)
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    tlichan::opened(s, dev);
    fill_info(ib, info);
    return s;
}

int t_close(int fd)
{
    if (tlichan::endpoint(fd) == nullptr)
        return -1;
    // The daemon ends the endpoint when the last descriptor to it closes.
    tlichan::forget(fd);
    close(fd);
    return 0;
}

int t_getinfo(int fd, struct t_info *info)
{
    InfoBody ib;
    if (get_info(fd, ib) < 0)
        return -1;
    fill_info(ib, info);
    return 0;
}

int t_getstate(int fd)
{
    InfoBody ib;
    if (get_info(fd, ib) < 0)
        return -1;
    return ib.state;
}

int t_sync(int fd)
{
    return t_getstate(fd);
}

int t_getprotaddr(int fd, struct t_bind *boundaddr, struct t_bind *peeraddr)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    Reply r;
    if (call(fd, *ep, kProtaddr, false, {}, r) < 0)
        return -1;
    Reader rd(r.body.data(), r.body.size());
    uint32_t blen = 0, plen = 0;
    const uint8_t *b = nullptr, *p = nullptr;
    if (!rd.u32(blen) || !rd.view(b, blen) || !rd.u32(plen) || !rd.view(p, plen) || !rd.done())
        return fail(TSYSERR, EPROTO);
    bool ok = true;
    if (boundaddr != nullptr && boundaddr->addr.maxlen > 0)
        ok = put_netbuf(boundaddr->addr, b, blen) && ok;
    if (peeraddr != nullptr && peeraddr->addr.maxlen > 0)
        ok = put_netbuf(peeraddr->addr, p, plen) && ok;
    return ok ? 0 : fail(TBUFOVFLW);
}

int t_look(int fd)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    // What the socket holds tells: the stream's data and disconnect, or no
    // event at all when it is empty (a pending event keeps a doorbell
    // there). Only a doorbell needs the daemon to say which event it is.
    uint16_t flags = 0;
    if (ep->known) {
        switch (tlichan::peek_head(fd, *ep)) {
        case Head::Empty: return 0;
        case Head::Data: return T_DATA;
        case Head::Expedited: return T_EXDATA;
        case Head::Disconnect: return T_DISCONNECT;
        case Head::Failed: return -1;
        case Head::Bell: flags = kFlagSawBell; break;
        case Head::Other: break;
        }
    }
    Reply r;
    if (call(fd, *ep, kLook, false, {}, r, -1, flags) < 0)
        return -1;
    Reader rd(r.body.data(), r.body.size());
    int32_t ev = 0;
    if (!rd.i32(ev) || !rd.done())
        return fail(TSYSERR, EPROTO);
    if (ep->gen != 0 && flags == 0) {
        // A stream (the daemon's answer knows nothing of what it pushed).
        switch (tlichan::peek_head(fd, *ep)) {
        case Head::Data: return T_DATA;
        case Head::Expedited: return T_EXDATA;
        case Head::Disconnect: return T_DISCONNECT;
        case Head::Failed: return -1;
        default: return 0;
        }
    }
    return ev;
}

int t_bind(int fd, struct t_bind *req, struct t_bind *ret)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    Writer w;
    uint8_t addr[kAddrLen] = {};
    int32_t has_addr = 0;
    uint32_t qlen = 0;
    if (req != nullptr) {
        qlen = req->qlen;
        if (req->addr.len > 0) {
            if (req->addr.len != kAddrLen || req->addr.buf == nullptr)
                return fail(TBADADDR);
            std::memcpy(addr, req->addr.buf, kAddrLen);
            has_addr = 1;
        }
    }
    w.i32(has_addr).u32(qlen).bytes(addr, kAddrLen);
    Reply r;
    if (call(fd, *ep, kBind, false, w.data(), r) < 0)
        return -1;
    Reader rd(r.body.data(), r.body.size());
    uint8_t bound[kAddrLen];
    uint32_t rq = 0;
    if (!rd.bytes(bound, kAddrLen) || !rd.u32(rq) || !rd.done())
        return fail(TSYSERR, EPROTO);
    if (ret != nullptr) {
        ret->qlen = rq;
        // The endpoint is bound (T_IDLE) even when the address does not fit.
        if (!put_netbuf(ret->addr, bound, kAddrLen))
            return fail(TBUFOVFLW);
    }
    return 0;
}

int t_unbind(int fd)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    Reply r;
    return call(fd, *ep, kUnbind, false, {}, r);
}

int t_optmgmt(int fd, struct t_optmgmt *req, struct t_optmgmt *ret)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    if (req == nullptr)
        return fail(TSYSERR, EINVAL);
    if (req->opt.len > kMaxOpt || (req->opt.len > 0 && req->opt.buf == nullptr))
        return fail(TBADOPT);
    Writer w;
    w.i32(static_cast<int32_t>(req->flags)).u32(req->opt.len).bytes(req->opt.buf, req->opt.len);
    Reply r;
    if (call(fd, *ep, kOptmgmt, false, w.data(), r) < 0)
        return -1;
    Reader rd(r.body.data(), r.body.size());
    int32_t flags = 0;
    uint32_t olen = 0;
    const uint8_t *o = nullptr;
    if (!rd.i32(flags) || !rd.u32(olen) || !rd.view(o, olen) || !rd.done())
        return fail(TSYSERR, EPROTO);
    if (ret != nullptr) {
        ret->flags = flags;
        if (!put_netbuf(ret->opt, o, olen))
            return fail(TBUFOVFLW);
    }
    return 0;
}

int t_connect(int fd, struct t_call *sndcall, struct t_call *rcvcall)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    if (sndcall == nullptr)
        return fail(TBADADDR);
    const struct netbuf &a = sndcall->addr, &o = sndcall->opt, &u = sndcall->udata;
    if (a.len > kMaxOpt || o.len > kMaxOpt || u.len > kMaxOpt)
        return fail(TBADDATA);
    Writer w;
    w.u32(a.len).u32(o.len).u32(u.len).bytes(a.buf, a.len).bytes(o.buf, o.len).bytes(u.buf, u.len);
    Reply r;
    if (call(fd, *ep, kConnect, !nonblocking(fd), w.data(), r) < 0)
        return -1;
    Reader rd(r.body.data(), r.body.size());
    return read_call(rd, rcvcall);
}

int t_rcvconnect(int fd, struct t_call *c)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    Reply r;
    if (call(fd, *ep, kRcvconnect, !nonblocking(fd), {}, r) < 0)
        return -1;
    Reader rd(r.body.data(), r.body.size());
    return read_call(rd, c);
}

int t_listen(int fd, struct t_call *c)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    Reply r;
    if (call(fd, *ep, kListen, !nonblocking(fd), {}, r) < 0)
        return -1;
    Reader rd(r.body.data(), r.body.size());
    int32_t seq = 0;
    if (!rd.i32(seq))
        return fail(TSYSERR, EPROTO);
    // The indication is outstanding now; its sequence number is filled in
    // even when the address does not fit, so that it can be refused.
    if (c != nullptr)
        c->sequence = seq;
    return read_call(rd, c);
}

int t_accept(int fd, int resfd, struct t_call *c)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    if (resfd != fd && tlichan::endpoint(resfd) == nullptr)
        return -1;
    Writer w;
    uint32_t olen = 0, ulen = 0;
    const char *ob = nullptr, *ub = nullptr;
    int32_t seq = 0;
    if (c != nullptr) {
        seq = c->sequence;
        olen = c->opt.len;
        ulen = c->udata.len;
        ob = c->opt.buf;
        ub = c->udata.buf;
    }
    if (olen > kMaxOpt)
        return fail(TBADOPT);
    if (ulen > kMaxOpt)
        return fail(TBADDATA);
    w.i32(seq).u32(olen).u32(ulen).bytes(ob, olen).bytes(ub, ulen);
    Reply r;
    // The responding endpoint travels as a descriptor: only a process that
    // holds it can hand a connection to it.
    return call(fd, *ep, kAccept, false, w.data(), r, resfd != fd ? resfd : -1);
}

int t_snd(int fd, char *buf, unsigned nbytes, int flags)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    if (nbytes == 0)
        return fail(TBADDATA);
    if (buf == nullptr)
        return fail(TSYSERR, EFAULT);
    int block = -1;  // asked only when needed
    unsigned done = 0;
    while (done < nbytes) {
        if (ep->known && ep->gen != 0 && ep->post) {
            // A connected endpoint: the data goes into its socket.
            if ((flags & T_EXPEDITED) && nbytes > kMaxExpedited)
                return fail(TBADDATA);
            bool closed = false;
            int r = tlichan::post(fd, *ep, buf + done, nbytes - done, flags, closed);
            if (r >= 0)
                return static_cast<int>(done + static_cast<unsigned>(r));
            if (!closed)
                return done > 0 ? static_cast<int>(done) : -1;
            // The daemon takes no posted sends: it answers the request.
        }
        unsigned chunk = nbytes - done;
        if (chunk > kMaxData)
            chunk = kMaxData;
        int32_t f = flags & (T_EXPEDITED | T_MORE);
        if (done + chunk < nbytes)
            f |= T_MORE;  // the unit goes on in the next piece
        Writer w;
        w.i32(f).bytes(buf + done, chunk);
        Reply r;
        if (block < 0)
            block = nonblocking(fd) ? 0 : 1;
        if (call(fd, *ep, kSnd, block == 1, w.data(), r) < 0)
            return done > 0 ? static_cast<int>(done) : -1;
        Reader rd(r.body.data(), r.body.size());
        uint32_t n = 0;
        if (!rd.u32(n) || !rd.done() || n > chunk)
            return fail(TSYSERR, EPROTO);
        done += n;
        if (n < chunk)
            break;  // flow control under O_NONBLOCK, or interrupted
    }
    return static_cast<int>(done);
}

int t_rcv(int fd, char *buf, unsigned nbytes, int *flags)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    if (ep->known && ep->gen != 0)
        return tlichan::stream_rcv(fd, *ep, buf, nbytes, flags);
    Writer w;
    w.u32(nbytes > kMaxData ? static_cast<uint32_t>(kMaxData) : nbytes);
    Reply r;
    if (call(fd, *ep, kRcv, !nonblocking(fd), w.data(), r) < 0)
        return -1;
    if (r.pre.notes & kNoteUseStream)
        return tlichan::stream_rcv(fd, *ep, buf, nbytes, flags);
    Reader rd(r.body.data(), r.body.size());
    int32_t f = 0;
    if (!rd.i32(f) || rd.remaining() > nbytes)
        return fail(TSYSERR, EPROTO);
    size_t n = rd.remaining();
    if (n > 0)
        rd.bytes(buf, n);
    if (flags != nullptr)
        *flags = f;
    return static_cast<int>(n);
}

int t_snddis(int fd, struct t_call *c)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    Writer w;
    uint32_t ulen = c != nullptr ? c->udata.len : 0;
    if (ulen > kMaxOpt)
        return fail(TBADDATA);
    w.i32(c != nullptr ? 1 : 0).i32(c != nullptr ? c->sequence : 0).u32(ulen);
    if (ulen > 0)
        w.bytes(c->udata.buf, ulen);
    // Data of the stream still unread: the disconnect behind it has not
    // shown yet (and the data goes with the connection).
    uint16_t extra = 0;
    if (ep->known && ep->gen != 0) {
        Head h = tlichan::peek_head(fd, *ep);
        if (h == Head::Failed)
            return -1;
        if (h == Head::Data || h == Head::Expedited)
            extra = kFlagDataAhead;
    }
    Reply r;
    return call(fd, *ep, kSnddis, false, w.data(), r, -1, extra);
}

int t_rcvdis(int fd, struct t_discon *d)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    if (ep->known && ep->gen != 0) {
        // The disconnect shows once the data before it has been read.
        Head h = tlichan::peek_head(fd, *ep);
        if (h == Head::Failed)
            return -1;
        if (h == Head::Data || h == Head::Expedited)
            return fail(TNODIS);
    }
    Reply r;
    if (call(fd, *ep, kRcvdis, false, {}, r) < 0)
        return -1;
    Reader rd(r.body.data(), r.body.size());
    int32_t reason = 0, seq = 0;
    if (!rd.i32(reason) || !rd.i32(seq) || !rd.done())
        return fail(TSYSERR, EPROTO);
    if (d != nullptr) {
        d->reason = reason;
        d->sequence = seq;
        d->udata.len = 0;
    }
    return 0;
}

// SPX has no orderly release of the TLI kind (its end of connection is
// sequenced and works through t_snddis): T_COTS without _ORD.
int t_sndrel(int fd)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    return fail(TNOTSUPPORT);
}

int t_rcvrel(int fd)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    return fail(TNOTSUPPORT);
}

int t_sndudata(int fd, struct t_unitdata *ud)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    if (ud == nullptr)
        return fail(TSYSERR, EINVAL);
    if (ud->addr.len > kMaxOpt)
        return fail(TBADADDR);
    if (ud->opt.len > kMaxOpt)
        return fail(TBADOPT);
    if (ud->udata.len > kMaxData)
        return fail(TSYSERR, EPROTO);
    Writer w;
    w.u32(ud->addr.len).u32(ud->opt.len).bytes(ud->addr.buf, ud->addr.len);
    w.bytes(ud->opt.buf, ud->opt.len).bytes(ud->udata.buf, ud->udata.len);
    Reply r;
    return call(fd, *ep, kSndudata, false, w.data(), r);
}

int t_rcvudata(int fd, struct t_unitdata *ud, int *flags)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    if (ud == nullptr)
        return fail(TSYSERR, EINVAL);
    Writer w;
    uint32_t dmax = ud->udata.maxlen > kMaxData ? static_cast<uint32_t>(kMaxData) : ud->udata.maxlen;
    w.u32(ud->addr.maxlen).u32(ud->opt.maxlen).u32(dmax);
    Reply r;
    if (call(fd, *ep, kRcvudata, !nonblocking(fd), w.data(), r) < 0)
        return -1;
    Reader rd(r.body.data(), r.body.size());
    int32_t f = 0;
    uint32_t alen = 0, olen = 0;
    const uint8_t *a = nullptr, *o = nullptr;
    if (!rd.i32(f) || !rd.u32(alen) || !rd.u32(olen) || !rd.view(a, alen) || !rd.view(o, olen) ||
        alen > ud->addr.maxlen || olen > ud->opt.maxlen || rd.remaining() > dmax)
        return fail(TSYSERR, EPROTO);
    put_netbuf(ud->addr, a, alen);
    put_netbuf(ud->opt, o, olen);
    size_t n = rd.remaining();
    if (n > 0)
        rd.bytes(ud->udata.buf, n);
    ud->udata.len = static_cast<unsigned>(n);
    if (flags != nullptr)
        *flags = f;
    return 0;
}

int t_rcvuderr(int fd, struct t_uderr *ue)
{
    Ep *ep = tlichan::endpoint(fd);
    if (ep == nullptr)
        return -1;
    Reply r;
    if (call(fd, *ep, kRcvuderr, false, {}, r) < 0)
        return -1;
    Reader rd(r.body.data(), r.body.size());
    int32_t err = 0;
    uint32_t alen = 0, olen = 0;
    const uint8_t *a = nullptr, *o = nullptr;
    if (!rd.i32(err) || !rd.u32(alen) || !rd.u32(olen) || !rd.view(a, alen) || !rd.view(o, olen) ||
        !rd.done())
        return fail(TSYSERR, EPROTO);
    if (ue == nullptr)
        return 0;  // the error is cleared
    ue->error = err;
    bool ok = put_netbuf(ue->addr, a, alen);
    ok = put_netbuf(ue->opt, o, olen) && ok;
    return ok ? 0 : fail(TBUFOVFLW);
}

char *t_alloc(int fd, int struct_type, int fields)
{
    InfoBody ib;
    if (get_info(fd, ib) < 0)
        return nullptr;
    void *p = nullptr;
    bool ok = true;
    auto want = [&](int bit) { return (fields & bit) != 0; };
    switch (struct_type) {
    case T_BIND: {
        auto *b = static_cast<struct t_bind *>(std::calloc(1, sizeof(struct t_bind)));
        if (b && want(T_ADDR)) ok = alloc_netbuf(b->addr, ib.addr);
        p = b;
        break;
    }
    case T_OPTMGMT: {
        auto *o = static_cast<struct t_optmgmt *>(std::calloc(1, sizeof(struct t_optmgmt)));
        if (o && want(T_OPT)) ok = alloc_netbuf(o->opt, ib.options);
        p = o;
        break;
    }
    case T_CALL: {
        auto *c = static_cast<struct t_call *>(std::calloc(1, sizeof(struct t_call)));
        if (c) {
            if (want(T_ADDR)) ok = alloc_netbuf(c->addr, ib.addr) && ok;
            if (want(T_OPT)) ok = alloc_netbuf(c->opt, ib.options) && ok;
            if (want(T_UDATA)) {
                long n = alloc_size(ib.connect) >= alloc_size(ib.discon) ? ib.connect : ib.discon;
                ok = alloc_netbuf(c->udata, n) && ok;
            }
        }
        p = c;
        break;
    }
    case T_DIS: {
        auto *d = static_cast<struct t_discon *>(std::calloc(1, sizeof(struct t_discon)));
        if (d && want(T_UDATA)) ok = alloc_netbuf(d->udata, ib.discon);
        p = d;
        break;
    }
    case T_UNITDATA: {
        auto *u = static_cast<struct t_unitdata *>(std::calloc(1, sizeof(struct t_unitdata)));
        if (u) {
            if (want(T_ADDR)) ok = alloc_netbuf(u->addr, ib.addr) && ok;
            if (want(T_OPT)) ok = alloc_netbuf(u->opt, ib.options) && ok;
            if (want(T_UDATA)) ok = alloc_netbuf(u->udata, ib.tsdu) && ok;
        }
        p = u;
        break;
    }
    case T_UDERROR: {
        auto *e = static_cast<struct t_uderr *>(std::calloc(1, sizeof(struct t_uderr)));
        if (e) {
            if (want(T_ADDR)) ok = alloc_netbuf(e->addr, ib.addr) && ok;
            if (want(T_OPT)) ok = alloc_netbuf(e->opt, ib.options) && ok;
        }
        p = e;
        break;
    }
    case T_INFO:
        p = std::calloc(1, sizeof(struct t_info));
        break;
    default:
        fail(TSYSERR, EINVAL);
        return nullptr;
    }
    if (p == nullptr || !ok) {
        if (p != nullptr)
            t_free(static_cast<char *>(p), struct_type);
        fail(TSYSERR, ENOMEM);
        return nullptr;
    }
    return static_cast<char *>(p);
}

int t_free(char *ptr, int struct_type)
{
    if (ptr == nullptr)
        return 0;
    switch (struct_type) {
    case T_BIND:
        std::free(reinterpret_cast<struct t_bind *>(ptr)->addr.buf);
        break;
    case T_OPTMGMT:
        std::free(reinterpret_cast<struct t_optmgmt *>(ptr)->opt.buf);
        break;
    case T_CALL: {
        auto *c = reinterpret_cast<struct t_call *>(ptr);
        std::free(c->addr.buf);
        std::free(c->opt.buf);
        std::free(c->udata.buf);
        break;
    }
    case T_DIS:
        std::free(reinterpret_cast<struct t_discon *>(ptr)->udata.buf);
        break;
    case T_UNITDATA: {
        auto *u = reinterpret_cast<struct t_unitdata *>(ptr);
        std::free(u->addr.buf);
        std::free(u->opt.buf);
        std::free(u->udata.buf);
        break;
    }
    case T_UDERROR: {
        auto *e = reinterpret_cast<struct t_uderr *>(ptr);
        std::free(e->addr.buf);
        std::free(e->opt.buf);
        break;
    }
    case T_INFO:
        break;
    default:
        return fail(TSYSERR, EINVAL);
    }
    std::free(ptr);
    return 0;
}

} // extern "C"
