// A stack without sockets for unit tests: fake links that record what they
// are given and deliver what a test puts in, a clock the test sets, a
// client that records the stack's messages, and TLI calls made as messages.
#ifndef IPXSTACKD_TESTS_STACKFAKE_H
#define IPXSTACKD_TESTS_STACKFAKE_H

#include "stack.h"

#include "../core/rip_wire.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

namespace stackfake {

using namespace ipxstackd;
using namespace ipxcore;

class FakeLink : public Link {
public:
    FakeLink(uint32_t net, Node node, size_t mtu, bool sums)
        : Link(LinkInfo{net, node, mtu}), sums_(sums) {}
    const char *kind() const override { return "fake"; }
    SendResult send(std::vector<uint8_t> p, const Node &hop, uint64_t) override
    {
        sent.push_back({p, hop});
        return SendResult::Sent;
    }
    bool receive(std::vector<uint8_t> &p, uint64_t) override
    {
        if (arrivals.empty()) return false;
        p = arrivals.front();
        arrivals.pop_front();
        return true;
    }
    uint64_t next_deadline() const override { return arrivals.empty() ? UINT64_MAX : 0; }
    bool carries_checksums() const override { return sums_; }
    LinkState state() const override { return st; }
    // What was sent, RIP left out (or only RIP).
    std::vector<std::pair<std::vector<uint8_t>, Node>> data() const { return pick(false); }
    std::vector<std::pair<std::vector<uint8_t>, Node>> rip() const { return pick(true); }

    std::vector<std::pair<std::vector<uint8_t>, Node>> sent;
    std::deque<std::vector<uint8_t>> arrivals;
    LinkState st = LinkState::Up;

private:
    std::vector<std::pair<std::vector<uint8_t>, Node>> pick(bool rip) const
    {
        std::vector<std::pair<std::vector<uint8_t>, Node>> out;
        for (const auto &s : sent)
            if ((s.first.size() >= 30 && (s.first[16] << 8 | s.first[17]) == kSocketRip) == rip)
                out.push_back(s);
        return out;
    }
    bool sums_;
};

class TestClock : public Clock {
public:
    uint64_t t = 1000;
    uint64_t now_ms() const override { return t; }
};

class RecordIo : public StackIo {
public:
    std::vector<std::string> logs;
    std::map<uint32_t, std::vector<std::vector<uint8_t>>> msgs;
    bool send(uint32_t ep, const std::vector<uint8_t> &m) override
    {
        msgs[ep].push_back(m);
        return true;
    }
    void drop(uint32_t) override {}
    void log(const std::string &l) override { logs.push_back(l); }
    bool closed(uint32_t) override { return false; }
};

// TLI calls as messages to a stack, answered at once.
class Calls {
public:
    Calls(Stack &stack, RecordIo &io) : stack_(stack), io_(io) {}

    tliproto::Header call(uint32_t ep, uint16_t type, const tliproto::Writer &w,
                          std::vector<uint8_t> *body = nullptr, int uid = 0)
    {
        uint32_t id = reqid_++;
        auto m = tliproto::build(type, 0, id, 0, 0, w.data());
        stack_.on_message(ep, m.data(), m.size(), 0, uid);
        for (auto &r : io_.msgs[ep]) {
            auto h = tliproto::get_header(r.data());
            if (h.reqid == id) {
                if (body) body->assign(r.begin() + tliproto::kHeaderLen, r.end());
                return h;
            }
        }
        return {};
    }
    // Binds `ep` at net (0: default) and socket; the bound address.
    IpxAddress bind(uint32_t ep, uint32_t net, uint16_t sock, uint32_t qlen = 0)
    {
        uint8_t addr[12] = {};
        IpxAddress{net, {}, sock}.to_bytes(addr);
        tliproto::Writer w;
        w.i32(1).u32(qlen).bytes(addr, 12);
        std::vector<uint8_t> body;
        EXPECT_EQ(call(ep, tliproto::kBind, w, &body).terr, 0);
        return body.size() >= 12 ? IpxAddress::from_bytes(body.data()) : IpxAddress{};
    }
    void sendudata(uint32_t ep, const IpxAddress &to, uint8_t type = 0,
                   const std::vector<uint8_t> &data = {'h', 'e', 'l', 'l', 'o'})
    {
        uint8_t addr[12];
        to.to_bytes(addr);
        uint8_t opt[2] = {type, 0};
        tliproto::Writer w;
        w.u32(12).u32(2).bytes(addr, 12).bytes(opt, 2).bytes(data.data(), data.size());
        EXPECT_EQ(call(ep, tliproto::kSndudata, w).terr, 0);
    }
    // The next datagram of `ep`: its sender and data (false: none).
    bool rcvudata(uint32_t ep, IpxAddress &from, std::vector<uint8_t> &data)
    {
        tliproto::Writer w;
        w.u32(12).u32(2).u32(1000);
        std::vector<uint8_t> body;
        if (call(ep, tliproto::kRcvudata, w, &body).terr != 0 || body.size() < 26)
            return false;
        from = IpxAddress::from_bytes(body.data() + 12);
        data.assign(body.begin() + 26, body.end());
        return true;
    }
    int look(uint32_t ep)
    {
        std::vector<uint8_t> body;
        call(ep, tliproto::kLook, tliproto::Writer{}, &body);
        return body.size() == 4 ? body[0] | body[1] << 8 : -1;
    }

private:
    Stack &stack_;
    RecordIo &io_;
    uint32_t reqid_ = 1;
};

// An IPX packet as it arrives from another host.
inline std::vector<uint8_t> arriving(const IpxAddress &src, const IpxAddress &dst,
                                     const std::vector<uint8_t> &data, uint8_t type = 0,
                                     uint8_t hops = 0)
{
    IpxHeader h;
    h.src = src;
    h.dst = dst;
    h.type = type;
    h.hops = hops;
    return encode_ipx(h, data.data(), data.size());
}

} // namespace stackfake

#endif
