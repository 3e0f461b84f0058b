// The datagram endpoint over the TLI calls, with the TLI test double.
#include "endpoint.h"

#include <tlifake.h>

#include <gtest/gtest.h>

#include <cstring>

using namespace ombrad;

namespace {

const sap::Address kHost{0x0000ABCD, {0, 0, 127, 0, 0, 1}, 0};

// t_bind hands back `addr` (with `socket`) as the bound address.
void bind_returns(sap::Address addr, unsigned len = 12)
{
    tlifake::hooks.bind = [addr, len](int, struct t_bind *req, struct t_bind *ret) {
        sap::Address a = addr;
        if (req)
            a.socket = sap::get_address(reinterpret_cast<uint8_t *>(req->addr.buf)).socket;
        else
            a.socket = 0x4007;
        sap::put_address(reinterpret_cast<uint8_t *>(ret->addr.buf), a);
        ret->addr.len = len;
        return 0;
    };
}

// t_rcvudata delivers `data` from `from`.
int deliver(t_unitdata *ud, const sap::Address &from, const sap::Bytes &data)
{
    sap::put_address(reinterpret_cast<uint8_t *>(ud->addr.buf), from);
    ud->addr.len = 12;
    std::memcpy(ud->udata.buf, data.data(), data.size());
    ud->udata.len = unsigned(data.size());
    return 0;
}

struct EndpointTest : ::testing::Test {
    void SetUp() override { tlifake::reset(); }
    void TearDown() override { tlifake::reset(); }
};

} // namespace

TEST_F(EndpointTest, BindLearnsTheHostAddress)
{
    bind_returns(kHost);
    DatagramEndpoint ep;
    std::string error;
    ASSERT_TRUE(ep.open(0x0452, error)) << error;
    EXPECT_EQ(ep.address(), (sap::Address{kHost.net, kHost.node, 0x0452}));

    DatagramEndpoint dyn;
    ASSERT_TRUE(dyn.open(0, error)) << error;
    EXPECT_EQ(dyn.address().socket, 0x4007);
    dyn.close();
    ep.close();
    EXPECT_EQ(tlifake::count("t_close"), 2);
}

TEST_F(EndpointTest, BindFailuresCloseTheEndpoint)
{
    DatagramEndpoint ep;
    std::string error;
    tlifake::hooks.bind = [](int, struct t_bind *, struct t_bind *) {
        return tlifake::fail(TACCES);
    };
    EXPECT_FALSE(ep.open(0x0452, error));
    EXPECT_NE(error.find("t_bind"), std::string::npos);
    EXPECT_EQ(ep.fd(), -1);

    bind_returns(kHost, 8);
    EXPECT_FALSE(ep.open(0x0452, error)) << "short address";

    tlifake::hooks.bind = [](int, struct t_bind *, struct t_bind *ret) {
        sap::put_address(reinterpret_cast<uint8_t *>(ret->addr.buf), sap::Address{1, {}, 0x4001});
        ret->addr.len = 12;
        return 0;
    };
    EXPECT_FALSE(ep.open(0x0452, error)) << "socket taken by someone else";
    EXPECT_EQ(tlifake::count("t_close"), 3);

    tlifake::hooks.open = [](const char *, int, t_info *) { return tlifake::fail(TSYSERR, ENOENT); };
    EXPECT_FALSE(ep.open(0x0452, error));
    EXPECT_NE(error.find("/dev/ravitp"), std::string::npos);
}

TEST_F(EndpointTest, ReceiveSortsWhatArrives)
{
    bind_returns(kHost);
    DatagramEndpoint ep;
    std::string error;
    ASSERT_TRUE(ep.open(0x0872, error));

    sap::Address from{kHost.net, kHost.node, 0x4001};
    int step = 0;
    tlifake::hooks.rcvudata = [&](int, t_unitdata *ud, int *flags) -> int {
        switch (step++) {
        case 0: return deliver(ud, from, {1, 2, 3});
        case 1: return tlifake::fail(TNODATA);
        case 2: *flags = T_MORE; return deliver(ud, from, sap::Bytes(10, 0));
        case 3: *flags = T_MORE; return deliver(ud, from, sap::Bytes(10, 0));
        case 4: return deliver(ud, from, sap::Bytes(10, 0));  // end of the long one
        case 5: deliver(ud, from, {9}); ud->addr.len = 6; return 0;
        case 6: return tlifake::fail(TLOOK);
        case 7: return tlifake::fail(TSYSERR, EBADF);
        }
        return tlifake::fail(TNODATA);
    };
    tlifake::hooks.look = [](int) { return T_UDERR; };

    sap::Address got;
    sap::Bytes data;
    EXPECT_EQ(ep.receive(got, data, error), DatagramEndpoint::Got::datagram);
    EXPECT_EQ(got, from);
    EXPECT_EQ(data, (sap::Bytes{1, 2, 3}));
    EXPECT_EQ(ep.receive(got, data, error), DatagramEndpoint::Got::nothing);
    EXPECT_EQ(ep.receive(got, data, error), DatagramEndpoint::Got::dropped);
    EXPECT_EQ(step, 5) << "the whole oversized datagram was consumed";
    EXPECT_EQ(ep.receive(got, data, error), DatagramEndpoint::Got::dropped);
    EXPECT_EQ(ep.receive(got, data, error), DatagramEndpoint::Got::dropped);
    EXPECT_EQ(tlifake::count("t_rcvuderr"), 1);
    EXPECT_EQ(ep.receive(got, data, error), DatagramEndpoint::Got::failed);
}

TEST_F(EndpointTest, SendAddressesTheDatagram)
{
    bind_returns(kHost);
    DatagramEndpoint ep;
    std::string error;
    ASSERT_TRUE(ep.open(0x0452, error));
    sap::Address to{kHost.net, sap::kBroadcastNode, 0x0452};
    sap::Address seen;
    sap::Bytes sent;
    tlifake::hooks.sndudata = [&](int, t_unitdata *ud) {
        EXPECT_EQ(ud->addr.len, 12u);
        seen = sap::get_address(reinterpret_cast<uint8_t *>(ud->addr.buf));
        sent.assign(ud->udata.buf, ud->udata.buf + ud->udata.len);
        return 0;
    };
    ASSERT_TRUE(ep.send(to, {0, 2, 7}, error));
    EXPECT_EQ(seen, to);
    EXPECT_EQ(sent, (sap::Bytes{0, 2, 7}));
    tlifake::hooks.sndudata = [](int, t_unitdata *) { return tlifake::fail(TFLOW); };
    EXPECT_FALSE(ep.send(to, {0, 2}, error));
    EXPECT_NE(error.find("t_sndudata"), std::string::npos);
}
