// The SAP client library over the TLI test double.
#include "sapclient.h"

#include "sap.h"

#include <tlifake.h>

#include <gtest/gtest.h>

#include <cstring>
#include <deque>

namespace {

const sap::Address kMe{0x0000ABCD, {0, 0, 127, 0, 0, 1}, 0x4009};

struct SapClientTest : ::testing::Test {
    std::deque<sap::Bytes> answers;  // delivered one per t_rcvudata
    sap::Address sent_to;
    sap::Bytes sent;

    void SetUp() override
    {
        tlifake::reset();
        tlifake::hooks.bind = [](int, struct t_bind *req, struct t_bind *ret) {
            EXPECT_EQ(req, nullptr) << "a socket of the provider's choice";
            sap::put_address(reinterpret_cast<uint8_t *>(ret->addr.buf), kMe);
            ret->addr.len = 12;
            return 0;
        };
        tlifake::hooks.sndudata = [this](int, t_unitdata *ud) {
            sent_to = sap::get_address(reinterpret_cast<uint8_t *>(ud->addr.buf));
            sent.assign(ud->udata.buf, ud->udata.buf + ud->udata.len);
            return 0;
        };
        tlifake::hooks.rcvudata = [this](int, t_unitdata *ud, int *) {
            if (answers.empty())
                return tlifake::fail(TNODATA);
            sap::Bytes b = answers.front();
            answers.pop_front();
            sap::put_address(reinterpret_cast<uint8_t *>(ud->addr.buf),
                             sap::Address{kMe.net, kMe.node, sap::kSapSocket});
            ud->addr.len = 12;
            std::memcpy(ud->udata.buf, b.data(), b.size());
            ud->udata.len = unsigned(b.size());
            return 0;
        };
    }
    void TearDown() override { tlifake::reset(); }

    void answer(std::vector<sap::Entry> entries, uint16_t op = sap::kGeneralResponse)
    {
        for (sap::Bytes &b : sap::encode_responses(op, entries))
            answers.push_back(b);
    }
};

sap::Entry entry(const std::string &name, uint16_t type, uint16_t hops, uint16_t socket = 0x8063)
{
    return {type, name, {0xABCD, {0, 0, 10, 0, 0, 2}, socket}, hops};
}

} // namespace

TEST_F(SapClientTest, QueryBroadcastsAndGathersDistinctLiveServices)
{
    answer({entry("ZED", 0x247, 2), entry("ALPHA", 0x247, 0), entry("GONE", 0x247, 16)});
    answer({entry("ZED", 0x247, 1), entry("FS", 0x4, 1), entry("ALPHA", 0x247, 0, 0x8064)});
    answers.push_back({0x00, 0x02, 0x01});                       // garbage
    answers.push_back(sap::encode_query(sap::kGeneralQuery, 1));  // someone's query

    std::vector<sap::Service> out;
    std::string error;
    ASSERT_EQ(sap::query_services(0x247, 50, out, error), 0) << error;
    EXPECT_EQ(sent_to, (sap::Address{kMe.net, sap::kBroadcastNode, 0x0452}));
    EXPECT_EQ(sent, (sap::Bytes{0x00, 0x01, 0x02, 0x47}));

    ASSERT_EQ(out.size(), 3u) << "type 4 filtered out, withdrawn one left out";
    EXPECT_EQ(out[0].name, "ALPHA");
    EXPECT_EQ(out[1].name, "ALPHA");
    EXPECT_NE(std::memcmp(out[0].addr, out[1].addr, 12), 0) << "two addresses, two services";
    EXPECT_EQ(out[2].name, "ZED");
    EXPECT_EQ(out[2].hops, 1) << "the lowest hop count heard";
    uint8_t want[12] = {0, 0, 0xAB, 0xCD, 0, 0, 10, 0, 0, 2, 0x80, 0x63};
    EXPECT_EQ(std::memcmp(out[2].addr, want, 12), 0);
    EXPECT_EQ(tlifake::count("t_close"), 1);
}

TEST_F(SapClientTest, FindIgnoresCaseAndStopsAtANearAnswer)
{
    answer({entry("OTHER", 0x247, 0)});
    answer({entry("Term1", 0x247, 1)});
    answer({entry("TERM1", 0x247, 0, 0x9999)});  // never read
    sap::Service s;
    std::string error;
    ASSERT_EQ(sap::find_service("term1", 0xFFFF, 10000, s, error), 0) << error;
    EXPECT_EQ(s.name, "Term1");
    EXPECT_EQ(answers.size(), 1u);
}

TEST_F(SapClientTest, FindReportsWhyItFailed)
{
    sap::Service s;
    std::string error;
    answer({entry("TERM1", 0x4, 0)});
    EXPECT_EQ(sap::find_service("TERM1", 0x247, 30, s, error), -1);
    EXPECT_NE(error.find("TERM1"), std::string::npos);
    EXPECT_EQ(sap::find_service("", 0x247, 30, s, error), -1);
    EXPECT_EQ(sap::find_service(std::string(48, 'A'), 0x247, 30, s, error), -1);

    tlifake::hooks.open = [](const char *, int, t_info *) { return tlifake::fail(TSYSERR, ENOENT); };
    std::vector<sap::Service> out;
    EXPECT_EQ(sap::query_services(0xFFFF, 30, out, error), -1);
    EXPECT_NE(error.find("/dev/ravitp"), std::string::npos);
}
