#include "endpoint.h"

#include <tiuser.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace ombrad {

std::string tli_error(const char *op)
{
    std::string text = op;
    text += ": ";
    if (t_errno == TSYSERR)
        text += std::strerror(errno);
    else if (t_errno > 0 && t_errno < t_nerr)
        text += t_errlist[t_errno];
    else
        text += "TLI error " + std::to_string(t_errno);
    return text;
}

DatagramEndpoint &DatagramEndpoint::operator=(DatagramEndpoint &&o) noexcept
{
    if (this != &o) {
        close();
        fd_ = o.fd_;
        bound_ = o.bound_;
        o.fd_ = -1;
    }
    return *this;
}

void DatagramEndpoint::close()
{
    if (fd_ >= 0)
        t_close(fd_);
    fd_ = -1;
}

bool DatagramEndpoint::open(uint16_t socket, std::string &error)
{
    close();
    int fd = t_open(kDatagramDevice, O_RDWR | O_NONBLOCK, nullptr);
    if (fd < 0) {
        error = tli_error("t_open") + " (" + kDatagramDevice + ")";
        return false;
    }
    fd_ = fd;

    uint8_t want[sap::kAddressSize] = {};
    uint8_t got[sap::kAddressSize] = {};
    struct t_bind req{}, ret{};
    req.addr.buf = reinterpret_cast<char *>(want);
    req.addr.len = req.addr.maxlen = sizeof want;
    ret.addr.buf = reinterpret_cast<char *>(got);
    ret.addr.maxlen = sizeof got;
    sap::put_address(want, sap::Address{0, {}, socket});
    if (t_bind(fd_, socket ? &req : nullptr, &ret) < 0) {
        error = tli_error("t_bind");
        close();
        return false;
    }
    if (ret.addr.len != sap::kAddressSize) {
        error = "t_bind returned an address of " + std::to_string(ret.addr.len) + " bytes";
        close();
        return false;
    }
    bound_ = sap::get_address(got);
    if (socket && bound_.socket != socket) {
        error = "t_bind gave socket " + std::to_string(bound_.socket) + " instead";
        close();
        return false;
    }
    return true;
}

bool DatagramEndpoint::send(const sap::Address &to, const sap::Bytes &data, std::string &error,
                            uint8_t packet_type)
{
    // The provider takes the IPX packet type from the first option byte.
    uint8_t opt[2] = {packet_type, 0};
    uint8_t addr[sap::kAddressSize];
    sap::put_address(addr, to);
    struct t_unitdata ud{};
    ud.addr.buf = reinterpret_cast<char *>(addr);
    ud.addr.len = sizeof addr;
    ud.opt.buf = reinterpret_cast<char *>(opt);
    ud.opt.len = sizeof opt;
    ud.udata.buf = reinterpret_cast<char *>(const_cast<uint8_t *>(data.data()));
    ud.udata.len = unsigned(data.size());
    if (t_sndudata(fd_, &ud) < 0) {
        error = tli_error("t_sndudata");
        return false;
    }
    return true;
}

DatagramEndpoint::Got DatagramEndpoint::receive(sap::Address &from, sap::Bytes &data,
                                                std::string &error)
{
    uint8_t addr[sap::kAddressSize + 4];
    uint8_t opt[32];
    uint8_t buf[kMaxDatagram];
    struct t_unitdata ud{};
    ud.addr.buf = reinterpret_cast<char *>(addr);
    ud.addr.maxlen = sizeof addr;
    ud.opt.buf = reinterpret_cast<char *>(opt);
    ud.opt.maxlen = sizeof opt;
    ud.udata.buf = reinterpret_cast<char *>(buf);
    ud.udata.maxlen = sizeof buf;
    int flags = 0;
    if (t_rcvudata(fd_, &ud, &flags) < 0) {
        switch (t_errno) {
        case TNODATA:
            return Got::nothing;
        case TBUFOVFLW:
            error = "datagram with an oversized address or options lost";
            return Got::dropped;
        case TLOOK: {
            struct t_uderr ue{};
            if (t_look(fd_) == T_UDERR && t_rcvuderr(fd_, &ue) == 0) {
                error = "datagram error " + std::to_string(ue.error) + " cleared";
                return Got::dropped;
            }
            error = tli_error("t_rcvudata");
            return Got::failed;
        }
        case TSYSERR:
            if (errno == EINTR || errno == EAGAIN)
                return Got::nothing;
            [[fallthrough]];
        default:
            error = tli_error("t_rcvudata");
            return Got::failed;
        }
    }
    if (flags & T_MORE) {
        // The rest of an oversized datagram: read and throw away.
        do {
            flags = 0;
            ud.udata.maxlen = sizeof buf;
            if (t_rcvudata(fd_, &ud, &flags) < 0)
                break;
        } while (flags & T_MORE);
        error = "oversized datagram dropped";
        return Got::dropped;
    }
    if (ud.addr.len != sap::kAddressSize) {
        error = "datagram with a " + std::to_string(ud.addr.len) + "-byte address dropped";
        return Got::dropped;
    }
    from = sap::get_address(addr);
    last_type_ = ud.opt.len >= 1 ? opt[0] : -1;
    data.assign(buf, buf + ud.udata.len);
    return Got::datagram;
}

} // namespace ombrad
