#include "proto.h"

namespace tliproto {

void put_header(const Header &h, uint8_t *out)
{
    std::memcpy(out + 0, &h.type, 2);
    std::memcpy(out + 2, &h.flags, 2);
    std::memcpy(out + 4, &h.len, 4);
    std::memcpy(out + 8, &h.reqid, 4);
    std::memcpy(out + 12, &h.terr, 4);
    std::memcpy(out + 16, &h.syserr, 4);
}

Header get_header(const uint8_t *in)
{
    Header h;
    std::memcpy(&h.type, in + 0, 2);
    std::memcpy(&h.flags, in + 2, 2);
    std::memcpy(&h.len, in + 4, 4);
    std::memcpy(&h.reqid, in + 8, 4);
    std::memcpy(&h.terr, in + 12, 4);
    std::memcpy(&h.syserr, in + 16, 4);
    return h;
}

void InfoBody::write(Writer &w) const
{
    w.i64(addr).i64(options).i64(tsdu).i64(etsdu).i64(connect).i64(discon).i64(servtype).i32(state);
}

bool InfoBody::read(Reader &r)
{
    return r.i64(addr) && r.i64(options) && r.i64(tsdu) && r.i64(etsdu) && r.i64(connect) &&
           r.i64(discon) && r.i64(servtype) && r.i32(state);
}

void ControlPrefix::write(Writer &w) const
{
    w.u32(gen).u32(notes).u32(old_gen).u32(res_gen);
}

bool ControlPrefix::read(Reader &r)
{
    return r.u32(gen) && r.u32(notes) && r.u32(old_gen) && r.u32(res_gen);
}

std::vector<uint8_t> build(uint16_t type, uint16_t flags, uint32_t reqid, int32_t terr,
                           int32_t syserr, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> msg(kHeaderLen + body.size());
    Header h;
    h.type = type;
    h.flags = flags;
    h.len = static_cast<uint32_t>(msg.size());
    h.reqid = reqid;
    h.terr = terr;
    h.syserr = syserr;
    put_header(h, msg.data());
    if (!body.empty())
        std::memcpy(msg.data() + kHeaderLen, body.data(), body.size());
    return msg;
}

std::string type_name(uint16_t type)
{
    std::string prefix;
    if (type & kReply) {
        prefix = "reply to ";
        type = static_cast<uint16_t>(type & ~kReply);
    }
    static const char *const names[] = {"info", "bind", "unbind", "optmgmt", "connect",
                                        "rcvconnect", "listen", "accept", "snd", "rcv",
                                        "snddis", "rcvdis", "sndudata", "rcvudata",
                                        "rcvuderr", "look", "cancel", "return", "protaddr",
                                        "pause", "unread", "post"};
    if (type == kOpen) return prefix + "open";
    if (type == kStatus) return prefix + "status";
    if (type == kBound) return prefix + "bound";
    if (type == kDoorbell) return prefix + "doorbell";
    if (type == kData) return prefix + "data";
    if (type == kDiscNote) return prefix + "disconnect note";
    if (type >= kInfo && type <= kPost) return prefix + names[type - kInfo];
    return prefix + "type " + std::to_string(type);
}

OutMessage::OutMessage(const std::vector<uint8_t> &msg, int pass_fd, int pass_fd2)
{
    iov.iov_base = const_cast<uint8_t *>(msg.data());
    iov.iov_len = msg.size();
    std::memset(&mh, 0, sizeof mh);
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    if (pass_fd >= 0) {
        int fds[2] = {pass_fd, pass_fd2};
        size_t n = pass_fd2 >= 0 ? 2 : 1;
        mh.msg_control = cbuf;
        mh.msg_controllen = CMSG_SPACE(n * sizeof(int));
        struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(n * sizeof(int));
        std::memcpy(CMSG_DATA(c), fds, n * sizeof(int));
    }
}

} // namespace tliproto
