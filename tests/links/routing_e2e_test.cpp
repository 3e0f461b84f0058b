// Routing between networks, end to end, where only a real network shows it:
//  - three networks' worth of hosts: A on an Ethernet segment, R a router
//    between that segment and a UDP tunnel, B on the tunnel. B finds A's
//    service one hop away and logs in on A by name; malformed RIP and SAP
//    from B are dropped and counted at R; when R loses its link to A, B
//    stops listing the service within seconds and a call fails "no route".
//  - a chain of 16 routers (stacks in one namespace joined by udp links on
//    loopback addresses): a service 15 networks away is listed with its
//    hop count and reached; 16 networks away it is neither.
// The 60/180/240 s rules, convergence and counting to infinity are the
// unit tests' (fakerip, fakesap): they need no network.
#include "site_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <iostream>

using namespace links;

namespace {

std::string upper(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string hex8(uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "%08X", v);
    return b;
}

// The hop count of a `zelterm -l` row (-1: no row).
int hops_of(const std::string &row)
{
    size_t at = row.find_last_of(' ');
    return row.empty() || at == std::string::npos ? -1 : std::atoi(row.c_str() + at + 1);
}

// An IPX packet from B's node on the tunnel (network B2) to R's socket.
std::vector<uint8_t> from_b(uint16_t socket, uint8_t type, const std::vector<uint8_t> &data)
{
    const uint8_t hi = static_cast<uint8_t>(socket >> 8), lo = static_cast<uint8_t>(socket);
    const size_t len = 30 + data.size();
    const uint8_t head[30] = {0xFF, 0xFF, uint8_t(len >> 8), uint8_t(len), 0, type,
                              0, 0, 0, 0xB2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, hi, lo,
                              0, 0, 0, 0xB2, 0, 0, 10, 213, 1, 3, hi, lo};
    std::vector<uint8_t> p(len);
    std::copy(head, head + 30, p.begin());
    std::copy(data.begin(), data.end(), p.begin() + 30);
    return p;
}

std::vector<uint8_t> rip_rows(uint16_t op, const std::vector<std::array<uint32_t, 3>> &rows)
{
    std::vector<uint8_t> d = {0, static_cast<uint8_t>(op)};
    for (const auto &r : rows)
        for (uint8_t b : {uint8_t(r[0] >> 24), uint8_t(r[0] >> 16), uint8_t(r[0] >> 8), uint8_t(r[0]),
                          uint8_t(r[1] >> 8), uint8_t(r[1]), uint8_t(r[2] >> 8), uint8_t(r[2])})
            d.push_back(b);
    return d;
}

std::vector<uint8_t> sap_entry(const std::string &name, uint16_t hops)
{
    std::vector<uint8_t> d = {0, 2, 0x02, 0x47};
    for (size_t i = 0; i < 48; i++)
        d.push_back(i < name.size() ? static_cast<uint8_t>(name[i]) : 0);
    for (uint8_t b : {0, 0, 0, 0xB2, 0, 0, 10, 213, 1, 3, 0x80, 0x63})
        d.push_back(b);
    d.push_back(static_cast<uint8_t>(hops >> 8));
    d.push_back(static_cast<uint8_t>(hops));
    return d;
}

class Routing : public SiteTest {};

TEST_F(Routing, ThreeNetworksAcrossARouter)
{
    site_.host(1, {0});
    site_.host(2, {0, 1});
    site_.host(3, {1});
    const std::string eth = "ethernet,net=A1,dev=eth0,frame=ethernet_ii";
    ASSERT_TRUE(site_.stack(2, {"--link", eth, "--link", "udp,net=B2,addr=10.213.1.2,peer=10.213.1.3"}))
        << why();
    ASSERT_TRUE(site_.stack(3, {"--link", "udp,net=B2,addr=10.213.1.3,peer=10.213.1.2"})) << why();
    ASSERT_TRUE(site_.stack(1, {"--link", eth})) << why();
    ASSERT_TRUE(site_.ombrad(2)) << why();
    ASSERT_TRUE(site_.ombrad(3)) << why();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(site_.service(1, 3)) << why();
    std::cout << "[ routing ] B listed A's service after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count()
              << " ms\n";

    // One hop away, at its address on A's network.
    const std::string addr_a = "000000A1:" + upper(site_.host(1).host->mac_node()) + ":8063";
    std::string row = Site::service_row_of(site_.listed());
    EXPECT_NE(row.find(addr_a), std::string::npos) << row;
    EXPECT_EQ(hops_of(row), 1) << row;
    // Logged in on A by name, through R.
    EXPECT_EQ(site_.session(3, 64 << 10), "");
    std::string st = site_.status(3);
    EXPECT_NE(st.find("000000a1     1     2  00000ad50102"), std::string::npos) << st;
    st = site_.status(2);
    EXPECT_NE(st.find("routing: router"), std::string::npos) << st;
    EXPECT_EQ(st.find("forwarded 0 "), std::string::npos) << st;

    // Malformed RIP and SAP from B: dropped, counted, nothing learned.
    std::vector<std::array<uint32_t, 3>> fifty_one(51, {0xD0, 1, 1});
    std::vector<std::vector<uint8_t>> bad = {
        from_b(0x0453, 1, {0, 2, 0, 0, 0xD0, 0x01, 0, 1, 0}),            // a truncated row
        from_b(0x0453, 1, rip_rows(2, fifty_one)),                       // too many entries
        from_b(0x0453, 1, rip_rows(2, {{0xD0, 17, 1}})),                 // 17 hops
        from_b(0x0453, 1, rip_rows(2, {{0xA1, 0, 1}, {0xB2, 0, 1}})),    // R's own networks
        from_b(0x0452, 4, {0, 2, 1, 2, 3}),                              // a cut SAP entry
        from_b(0x0452, 4, sap_entry("BAD\x01NAME", 1)),                  // an unprintable name
        from_b(0x0452, 4, sap_entry("TOOFAR", 17)),                      // 17 hops
        from_b(0x0452, 4, [] {                                           // 8 entries
            std::vector<uint8_t> d = sap_entry("EIGHT", 1);
            for (int i = 1; i < 8; i++) {
                std::vector<uint8_t> e = sap_entry("EIGHT" + std::to_string(i), 1);
                d.insert(d.end(), e.begin() + 2, e.end());
            }
            return d;
        }()),
    };
    ASSERT_TRUE(site_.host(3).host->in_host([&] { return send_udp("10.213.1.2", 213, bad); }));
    EXPECT_TRUE(wait_until([&] {
        st = site_.status(2);
        return st.find("malformed 3 foreign 0 own-networks 2") != std::string::npos;
    }, 10s)) << st;
    EXPECT_EQ(st.find("000000d0"), std::string::npos) << st;
    EXPECT_TRUE(site_.host(2).ombrad.wait_output("dropped SAP packet from 000000b2:00000ad50103:0452: SAP "
                                                 "response of 5 bytes", 10s, true));
    EXPECT_TRUE(site_.host(2).ombrad.wait_output("SAP entry 1 has an unusable name", 10s, true));
    EXPECT_TRUE(site_.host(2).ombrad.wait_output("SAP response with 8 entries (at most 7)", 10s, true));

    // R loses its link to A: B stops listing the service within seconds,
    // by name nothing is found, and a call by address fails clearly.
    ASSERT_TRUE(site_.host(2).host->run({"/usr/sbin/ip", "link", "set", "eth0", "down"}));
    const auto down = std::chrono::steady_clock::now();
    EXPECT_TRUE(site_.host(3).ombrad.wait_output(
        "\"" + std::string(kService) + "\" at 000000a1:" + site_.host(1).host->mac_node() + ":8063 withdrawn",
        60s, true));
    std::cout << "[ routing ] B heard of the withdrawal after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - down).count()
              << " ms\n";
    // The list (nor what B sent), the name and the address, side by side.
    Proc list = site_.start_zelterm(3, {"-l"});
    Proc by_name = site_.start_zelterm(3, {kService});
    Proc by_addr = site_.start_zelterm(3, {addr_a});
    EXPECT_EQ(list.wait_exit(30s), 0);
    EXPECT_EQ(Site::service_row_of(list.out()), "") << list.out();
    EXPECT_EQ(list.out().find("TOOFAR"), std::string::npos) << list.out();
    EXPECT_EQ(list.out().find("EIGHT"), std::string::npos) << list.out();
    EXPECT_NE(by_name.wait_exit(30s), 0);
    EXPECT_NE(by_name.err().find("service ZELTEST is not advertised"), std::string::npos) << by_name.err();
    EXPECT_NE(by_addr.wait_exit(30s), 0);
    EXPECT_NE(by_addr.err().find("zelterm: " + addr_a + ": no route\n"), std::string::npos) << by_addr.err();
    st = site_.status(3);
    EXPECT_NE(st.find("000000a1    16"), std::string::npos) << st;
}

// Networks 0x100+k (k = 0..16) in a row; router k (1..16) joins networks
// k-1 and k. The server is on network 0, clients on networks 15 and 16.
// Every stack runs in the test's namespace; the link of network k at
// member m is a udp link on 127.1.k.m with the other members as peers.
TEST_F(Routing, AChainOf16RoutersReaches15HopsAndNot16)
{
    constexpr int kServer = 100, kClient15 = 115, kClient16 = 116;
    std::map<int, std::vector<std::pair<int, int>>> members;  // network -> (stack, member)
    auto join = [&](int stack, int k, int m) { members[k].push_back({stack, m}); };
    join(kServer, 0, 1);
    for (int r = 1; r <= 16; r++) {
        join(r, r - 1, 2);
        join(r, r, 1);
    }
    join(kClient15, 15, 3);
    join(kClient16, 16, 3);
    std::map<int, std::vector<std::string>> args;
    for (auto &[k, ms] : members)
        for (auto [stack, m] : ms) {
            std::string link = "udp,net=" + hex8(0x100 + uint32_t(k)) + ",addr=127.1." +
                               std::to_string(k) + "." + std::to_string(m);
            for (auto [other, om] : ms)
                if (other != stack)
                    link += ",peer=127.1." + std::to_string(k) + "." + std::to_string(om);
            args[stack].push_back("--link");
            args[stack].push_back(link);
        }
    const auto start = std::chrono::steady_clock::now();
    for (auto &[stack, a] : args) {
        site_.here(stack);
        a.push_back("--rip-timers");
        a.push_back("gap=100");  // test option: triggered updates 0.1 s apart
        ASSERT_TRUE(site_.stack(stack, a)) << why();
        if (stack != kServer) {
            ASSERT_TRUE(site_.ombrad(stack)) << why();
        }
    }
    ASSERT_TRUE(site_.service(kServer, kClient15)) << why();
    std::cout << "[ routing ] 19 stacks started, the service seen 15 networks away after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count()
              << " ms\n";
    std::string row = Site::service_row_of(site_.listed());
    EXPECT_EQ(hops_of(row), 15) << row;
    // 16 networks away: not listed, and no route (asked while the session
    // 15 networks away runs).
    const std::string server = "00000100:00007F010001:8063";
    Proc list = site_.start_zelterm(kClient16, {"-l"});
    Proc call = site_.start_zelterm(kClient16, {server});
    EXPECT_EQ(site_.session(kClient15, 16 << 10), "");
    EXPECT_EQ(list.wait_exit(30s), 0);
    EXPECT_EQ(Site::service_row_of(list.out()), "") << list.out();
    EXPECT_NE(call.wait_exit(30s), 0);
    EXPECT_NE(call.err().find("zelterm: " + server + ": no route\n"), std::string::npos) << call.err();
}

} // namespace
