// Impaired links between hosts. A soak: bytes through one SPX connection
// between two hosts whose udp links lose 10% of their packets, double 5%
// and hold some back behind later ones: every byte arrives, once, in order
// (10 MB here; DRAX_SOAK_BYTES asks for more, 100 MB by hand). Integrity:
// with packets damaged in transit, on a link between hosts and on the
// loopback, no damaged byte is ever delivered; the links count what their
// check caught.
#include "site_test.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

using namespace links;

namespace {

const std::string kLinkA = "udp,net=000000A1,addr=10.213.0.1,peer=10.213.0.2";
const std::string kLinkB = "udp,net=000000A1,addr=10.213.0.2,peer=10.213.0.1";
const std::string kServer = "000000A1:00000ad50001:5000";

unsigned long drops(const std::string &line, const std::string &cause)
{
    size_t at = line.find(" " + cause + " ");
    return at == std::string::npos ? 0 : std::strtoul(line.c_str() + at + cause.size() + 2, nullptr, 10);
}

class Impaired : public SiteTest {
protected:
    // linkpump serving on host `server`, then sending `bytes` from host
    // `client` to `to`; the sender's line ("intact N bytes X MB/s T s").
    std::string pump(int server, int client, const std::string &to, unsigned long bytes)
    {
        Proc::Options o;
        o.env = site_.host(server).env();
        Proc serve = site_.host(server).host->start({LINKPUMP_PATH, "serve", "5000"}, o);
        if (!serve.wait_output("serving", 10s))
            return "no server: " + serve.err();
        o.env = site_.host(client).env();
        Proc send = site_.host(client).host->start({LINKPUMP_PATH, "send", to, std::to_string(bytes)}, o);
        send.wait_exit(600s);
        return send.out() + send.err();
    }
};

unsigned long soak_bytes()
{
    const char *e = std::getenv("DRAX_SOAK_BYTES");
    return e != nullptr ? std::strtoul(e, nullptr, 10) : 10ul << 20;
}

TEST_F(Impaired, EveryByteCrossesLossDuplicationAndReordering)
{
    const std::string rates = "loss=0.1,dup=0.05,reorder=0.05,hold=3,seed=";
    ASSERT_TRUE(site_.stack(1, {"--link", kLinkA, "--impair", rates + "3"})) << why();
    ASSERT_TRUE(site_.stack(2, {"--link", kLinkB, "--impair", rates + "4"})) << why();
    unsigned long bytes = soak_bytes();
    std::string got = pump(1, 2, kServer, bytes);
    EXPECT_EQ(got.rfind("intact " + std::to_string(bytes) + " bytes", 0), 0u) << got;
    std::printf("soak: %s", got.c_str());
    RecordProperty("goodput", got);
}

TEST_F(Impaired, DamageInTransitIsNeverDelivered)
{
    // Between hosts: both links damage 1% of what they carry.
    ASSERT_TRUE(site_.stack(1, {"--link", kLinkA, "--impair", "corrupt=0.01,seed=5"})) << why();
    ASSERT_TRUE(site_.stack(2, {"--link", kLinkB, "--impair", "corrupt=0.01,seed=6"})) << why();
    std::string got = pump(1, 2, kServer, 4ul << 20);
    EXPECT_EQ(got.rfind("intact 4194304 bytes", 0), 0u) << got;
    EXPECT_GT(drops(site_.link_line(2, "udp"), "damaged"), 0u) << site_.link_line(2, "udp");

    // On one host, through the loopback alone.
    ASSERT_TRUE(site_.stack(3, {"--impair", "corrupt=0.01,seed=7"})) << why();
    got = pump(3, 3, "00000001:00007f000001:5000", 4ul << 20);
    EXPECT_EQ(got.rfind("intact 4194304 bytes", 0), 0u) << got;
    EXPECT_GT(drops(site_.link_line(3, "loopback"), "damaged"), 0u) << site_.link_line(3, "loopback");
}

} // namespace
