// The links between hosts, end to end: hosts are network namespaces on a
// LAN, one stack each. For each link type (udp, ethernet in its four frame
// types, dosbox through a real DOSBox relay server): zelterm on host 2 finds
// and logs in on host 1's service and the session carries 1 MB each way;
// tshark decodes the traffic on the LAN as an independent check; crafted
// bad packets are dropped, counted by cause, and the stack goes on.
#include "site_test.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

using namespace links;

namespace {

const std::string kNet = "000000A1";

std::string lower(std::string s)
{
    std::string o;
    for (char c : s)
        if (c != ':' && c != '.' && c != '-')
            o += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return o;
}

unsigned long num(const std::string &s)
{
    if (s == "True") return 1;
    if (s == "False") return 0;
    return std::strtoul(s.c_str(), nullptr, 0);
}

// An IPX packet as bytes: header fields as given, then `data_len` bytes.
std::vector<uint8_t> ipx(uint16_t length_field, size_t total, const std::string &src_node_hex,
                         uint16_t first2 = 0xFFFF, const std::string &dst_node_hex = "ffffffffffff")
{
    std::vector<uint8_t> p(total, 0x5a);
    auto put_node = [&](size_t at, const std::string &hex) {
        for (size_t i = 0; i < 6 && at + i < p.size(); i++)
            p[at + i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    };
    if (total >= 30) {
        p[0] = static_cast<uint8_t>(first2 >> 8);
        p[1] = static_cast<uint8_t>(first2);
        p[2] = static_cast<uint8_t>(length_field >> 8);
        p[3] = static_cast<uint8_t>(length_field);
        p[4] = 0;
        p[5] = 0;
        std::memset(p.data() + 6, 0, 4);
        put_node(10, dst_node_hex);
        p[16] = 0x40;
        p[17] = 0x99;
        std::memset(p.data() + 18, 0, 4);
        put_node(22, src_node_hex);
    }
    return p;
}

// The status line's count of one drop cause (0 when absent).
unsigned long drops(const std::string &line, const std::string &cause)
{
    size_t at = line.find(" " + cause + " ");
    return at == std::string::npos ? 0 : std::strtoul(line.c_str() + at + cause.size() + 2, nullptr, 10);
}

class Links : public SiteTest {
protected:

    // zelterm -l on host 2 lists host 1's service at its address on the
    // link; a session from host 2 carries 1 MB each way.
    void check_service(const std::string &node)
    {
        std::string list = site_.list(2);
        size_t at = list.find(kService);
        ASSERT_NE(at, std::string::npos) << list;
        std::string row = lower(list.substr(at, list.find('\n', at) - at));
        EXPECT_NE(row.find(lower(kNet + ":" + node + ":8063")), std::string::npos) << row;
        EXPECT_NE(row.find("0247"), std::string::npos) << row;
        EXPECT_EQ(site_.session(2), "");
    }

    // What tshark makes of the LAN's traffic: nothing malformed, lengths
    // that agree, the SPX connection's IDs and sequence numbers, and the
    // service in a SAP response. `head` is the bytes in front of the IPX
    // packet in a frame (0 for UDP).
    void check_capture(Capture &cap, size_t head, const std::string &node_a,
                       const std::vector<std::string> &extra = {})
    {
        // One pass of tshark over the capture; the checks read its rows.
        enum { kMalformed, kFrame, kEthLen, kUdpLen, kIpxLen, kHops, kSrcNode, kDstSock, kSpxSrc,
               kSpxDst, kSpxSeq, kSys, kSendAck, kSapType, kName, kSvcType, kSvcNet, kSvcNode,
               kSvcSock, kSvcHops, kFields };
        auto rows = cap.rows("ipx || _ws.malformed",
                             {"_ws.malformed", "frame.len", "eth.len", "udp.length", "ipx.len",
                              "ipx.hops", "ipx.src.node", "ipx.dst.socket", "spx.src", "spx.dst",
                              "spx.seq", "spx.ctl.sys", "spx.ctl.send_ack", "ipxsap.packet_type",
                              "ipxsap.server.name", "ipxsap.server.type", "ipxsap.server.network",
                              "ipxsap.server.node", "ipxsap.server.socket",
                              "ipxsap.server.intermediate_networks"},
                             extra);
        ASSERT_GT(rows.size(), 1000u);
        std::vector<std::vector<std::string>> pk;
        for (const std::string &r : rows) {
            pk.push_back(split(r));
            pk.back().resize(kFields);
            const auto &f = pk.back();
            EXPECT_EQ(f[kMalformed], "") << r;
            // The IPX length agrees with what carried it; nobody counts hops.
            unsigned long frame = num(f[kFrame]), ipx_len = num(f[kIpxLen]);
            if (head == 0) {
                EXPECT_EQ(ipx_len, num(f[kUdpLen]) - 8) << r;
            } else {
                EXPECT_EQ(frame, std::max<unsigned long>(60, head + ipx_len)) << r;
                if (head > 14 || !f[kEthLen].empty()) {
                    EXPECT_EQ(num(f[kEthLen]), ipx_len + head - 14) << r;
                }
            }
            EXPECT_EQ(num(f[kHops]), 0u) << r;
        }
        // The connection: the request names the caller's ID, the answer
        // the listener's; every later packet carries both; data sequence
        // numbers start at 0 and never skip ahead.
        auto spx = [&](const std::vector<std::string> &f) {
            return !f[kSpxSrc].empty() && num(f[kDstSock]) != 2;
        };
        unsigned long caller = 0, listener = 0;
        for (const auto &f : pk)
            if (spx(f) && num(f[kDstSock]) == 0x8063 && num(f[kSpxDst]) == 0xFFFF && num(f[kSys]) &&
                num(f[kSendAck]))
                caller = num(f[kSpxSrc]);
        ASSERT_NE(caller, 0u);
        for (const auto &f : pk)
            if (spx(f) && num(f[kSpxDst]) == caller && lower(f[kSrcNode]) == lower(node_a)) {
                listener = num(f[kSpxSrc]);
                break;
            }
        ASSERT_NE(listener, 0u);
        long max_seq[2] = {-1, -1};
        size_t data = 0;
        for (const auto &f : pk) {
            if (!spx(f))
                continue;
            bool from_a = lower(f[kSrcNode]) == lower(node_a);
            if (num(f[kSpxSrc]) != (from_a ? listener : caller))
                continue;  // another connection
            if (num(f[kSpxDst]) != 0xFFFF) {
                EXPECT_EQ(num(f[kSpxDst]), from_a ? caller : listener);
            }
            if (num(f[kSys]))
                continue;  // system packets carry no data
            long seq = static_cast<long>(num(f[kSpxSeq]));
            EXPECT_LE(seq, max_seq[from_a] + 1);
            max_seq[from_a] = std::max(max_seq[from_a], seq);
            data++;
        }
        EXPECT_GT(data, 3000u);  // 2 MB in 534-byte packets
        // The service in the SAP responses.
        bool seen = false;
        for (const auto &f : pk) {
            if (num(f[kSapType]) != 2 || f[kName].find(kService) == std::string::npos)
                continue;
            seen = true;
            EXPECT_EQ(num(f[kSvcType]), 0x247u);
            EXPECT_EQ(num(f[kSvcNet]), std::strtoul(kNet.c_str(), nullptr, 16));
            EXPECT_EQ(lower(f[kSvcNode]), lower(node_a));
            EXPECT_EQ(num(f[kSvcSock]), 0x8063u);
            EXPECT_EQ(num(f[kSvcHops]), 0u);
        }
        EXPECT_TRUE(seen);
    }

};

// ---- udp -----------------------------------------------------------------

// A well-formed IPX datagram whose UDP checksum is wrong, through a raw
// socket: the receiving kernel must drop it.
bool send_bad_checksum(const std::string &from, const std::string &to, const std::vector<uint8_t> &payload)
{
    int s = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (s < 0)
        return false;
    std::vector<uint8_t> pkt(20 + 8 + payload.size());
    auto *ip = reinterpret_cast<struct iphdr *>(pkt.data());
    ip->version = 4;
    ip->ihl = 5;
    ip->ttl = 64;
    ip->protocol = IPPROTO_UDP;
    ip->tot_len = htons(static_cast<uint16_t>(pkt.size()));
    inet_pton(AF_INET, from.c_str(), &ip->saddr);
    inet_pton(AF_INET, to.c_str(), &ip->daddr);
    auto *udp = reinterpret_cast<struct udphdr *>(pkt.data() + 20);
    udp->source = htons(213);
    udp->dest = htons(213);
    udp->len = htons(static_cast<uint16_t>(8 + payload.size()));
    udp->check = htons(0x1234);  // anything but the sum
    std::memcpy(pkt.data() + 28, payload.data(), payload.size());
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = ip->daddr;
    bool ok = sendto(s, pkt.data(), pkt.size(), 0, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) ==
              static_cast<ssize_t>(pkt.size());
    close(s);
    return ok;
}

unsigned long udp_checksum_errors(Host &h)
{
    std::string snmp;
    h.run({"/bin/cat", "/proc/net/snmp"}, &snmp);
    // "Udp: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors InCsumErrors ..."
    size_t head = snmp.find("Udp: ");
    size_t vals = snmp.find("Udp: ", head + 1);
    if (head == std::string::npos || vals == std::string::npos)
        return 0;
    auto names = split(snmp.substr(head, snmp.find('\n', head) - head), ' ');
    auto values = split(snmp.substr(vals, snmp.find('\n', vals) - vals), ' ');
    for (size_t i = 0; i < names.size() && i < values.size(); i++)
        if (names[i] == "InCsumErrors")
            return std::stoul(values[i]);
    return 0;
}

TEST_F(Links, UdpTunnelCarriesSessionsAndDropsBadDatagrams)
{
    Capture cap(site_.lan().bridge());
    ASSERT_TRUE(cap.started());
    ASSERT_TRUE(site_.stack(1, {"--link", "udp,net=" + kNet + ",addr=10.213.0.1,peer=10.213.0.2"})) << why();
    ASSERT_TRUE(site_.stack(2, {"--link", "udp,net=" + kNet + ",addr=10.213.0.2,peer=10.213.0.1"})) << why();
    ASSERT_TRUE(site_.service(1, 2)) << why();
    Host &a = *site_.host(1).host;
    check_service(a.udp_node());
    check_capture(cap, 0, a.udp_node());

    // Bad datagrams from host 2, each dropped by its cause.
    const std::string b = site_.host(2).host->udp_node();
    std::vector<std::vector<uint8_t>> bad = {
        std::vector<uint8_t>(10, 0xFF),                    // short
        ipx(30, 30, b, 0x4747),                            // not FF FF
        ipx(100, 100, b, 0x0000),                          // not FF FF (a checksum)
        ipx(700, 700, b),                                  // oversized
        ipx(100, 50, b),                                   // truncated
        ipx(20, 40, b),                                    // bad length
        ipx(40, 40, "ffffffffffff"),                       // broadcast source
        ipx(40, 40, "00000a0000ff"),                       // not the sender's node
    };
    unsigned long csum_before = udp_checksum_errors(a);
    ASSERT_TRUE(site_.host(2).host->in_host([&] { return send_udp("10.213.0.1", 213, bad); }));
    ASSERT_TRUE(site_.host(2).host->in_host([&] {
        return send_bad_checksum("10.213.0.2", "10.213.0.1", ipx(40, 40, b));
    }));
    std::string line;
    EXPECT_TRUE(wait_until([&] {
        line = site_.link_line(1, "udp");
        return drops(line, "wrong-sender") == 1;
    }, 10s)) << line;
    EXPECT_EQ(drops(line, "short"), 1u) << line;
    EXPECT_EQ(drops(line, "not-ffff"), 2u) << line;
    EXPECT_EQ(drops(line, "oversized"), 1u) << line;
    EXPECT_EQ(drops(line, "truncated"), 1u) << line;
    EXPECT_EQ(drops(line, "bad-length"), 1u) << line;
    EXPECT_EQ(drops(line, "broadcast-source"), 1u) << line;
    // The damaged one never reached the stack: the kernel's UDP checksum
    // caught it.
    EXPECT_EQ(udp_checksum_errors(a), csum_before + 1);
    EXPECT_NE(site_.list(2).find(kService), std::string::npos);
}

// ---- ethernet ------------------------------------------------------------

struct FrameCase {
    const char *frame;
    size_t head;
    const char *other;  // a frame type the link does not serve
};

class EthernetLinks : public Links, public ::testing::WithParamInterface<FrameCase> {};

std::vector<uint8_t> frame_of(const std::string &type, const std::string &dst_mac_hex,
                              const std::string &src_mac_hex, const std::vector<uint8_t> &ipx_pkt,
                              long length_adjust = 0)
{
    std::vector<uint8_t> f;
    auto put = [&](const std::string &hex) {
        for (size_t i = 0; i < 6; i++)
            f.push_back(static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16)));
    };
    put(dst_mac_hex);
    put(src_mac_hex);
    static const uint8_t k8022[] = {0xe0, 0xe0, 0x03};
    static const uint8_t kSnap[] = {0xaa, 0xaa, 0x03, 0, 0, 0, 0x81, 0x37};
    const uint8_t *llc = type == "snap" ? kSnap : k8022;
    size_t llc_len = type == "snap" ? sizeof kSnap : type == "802.2" ? sizeof k8022 : 0;
    size_t len = static_cast<size_t>(static_cast<long>(llc_len + ipx_pkt.size()) + length_adjust);
    if (type == "ethernet_ii") {
        f.push_back(0x81);
        f.push_back(0x37);
    } else {
        f.push_back(static_cast<uint8_t>(len >> 8));
        f.push_back(static_cast<uint8_t>(len));
    }
    for (size_t i = 0; i < llc_len; i++)
        f.push_back(llc[i]);
    f.insert(f.end(), ipx_pkt.begin(), ipx_pkt.end());
    if (f.size() < 60 && length_adjust == 0) f.resize(60, 0);
    return f;
}

bool send_frames(const std::vector<std::vector<uint8_t>> &frames)
{
    int s = socket(AF_PACKET, SOCK_RAW, 0);
    struct sockaddr_ll sa {};
    sa.sll_family = AF_PACKET;
    sa.sll_ifindex = static_cast<int>(if_nametoindex("eth0"));
    sa.sll_halen = 6;
    for (const auto &f : frames)
        if (sendto(s, f.data(), f.size(), 0, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) < 0)
            return false;
    close(s);
    return true;
}

TEST_P(EthernetLinks, FramesCarrySessionsAndBadFramesAreDropped)
{
    const FrameCase &fc = GetParam();
    Capture cap(site_.lan().bridge());
    ASSERT_TRUE(cap.started());
    const std::string link = "ethernet,net=" + kNet + ",dev=eth0,frame=" + fc.frame;
    ASSERT_TRUE(site_.stack(1, {"--link", link})) << why();
    ASSERT_TRUE(site_.stack(2, {"--link", link})) << why();
    ASSERT_TRUE(site_.service(1, 2)) << why();
    Host &a = *site_.host(1).host;
    check_service(a.mac_node());
    check_capture(cap, fc.head, a.mac_node());

    const std::string b = site_.host(2).host->mac_node();
    const std::string to = a.mac_node();
    std::vector<std::vector<uint8_t>> bad = {
        frame_of(fc.frame, to, b, ipx(20, 40, b)),                        // bad length
        frame_of(fc.frame, to, b, ipx(1000, 1000, b)),                    // oversized
        frame_of(fc.frame, to, b, ipx(40, 40, "ffffffffffff")),           // broadcast source
        frame_of(fc.frame, "020000000099", b, ipx(40, 40, b)),            // another node's
        frame_of(fc.other, to, b, ipx(40, 40, b)),                        // another frame type
    };
    std::vector<uint8_t> cut = frame_of(fc.frame, to, b, ipx(40, 40, b));
    cut.resize(14 + 20);  // short, or cut short of its 802.3 length
    bad.push_back(cut);
    ASSERT_TRUE(site_.host(2).host->in_host([&] { return send_frames(bad); }));
    std::string line;
    EXPECT_TRUE(wait_until([&] {
        line = site_.link_line(1, "ethernet");
        return drops(line, "other-frame") >= 1 && drops(line, "not-for-us") >= 1;
    }, 10s)) << line;
    EXPECT_EQ(drops(line, "bad-length"), 1u) << line;
    EXPECT_EQ(drops(line, "oversized"), 1u) << line;
    EXPECT_EQ(drops(line, "broadcast-source"), 1u) << line;
    // A cut 802.3 frame is cut by its length; an Ethernet II one is short.
    EXPECT_EQ(drops(line, "short") + drops(line, "truncated"), 1u) << line;
    EXPECT_NE(site_.list(2).find(kService), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Frames, EthernetLinks,
                         ::testing::Values(FrameCase{"ethernet_ii", 14, "snap"},
                                           FrameCase{"802.3", 14, "ethernet_ii"},
                                           FrameCase{"802.2", 17, "802.3"},
                                           FrameCase{"snap", 22, "802.2"}),
                         [](const auto &info) {
                             std::string n = info.param.frame;
                             std::replace(n.begin(), n.end(), '.', '_');
                             return n;
                         });

// ---- dosbox --------------------------------------------------------------

// DOSBox run headless on host 3, with a DOS session's commands.
Proc dosbox(Site &site, const TempDir &dir, const std::string &commands)
{
    write_file(dir / "dosbox.conf", "[sdl]\noutput=surface\n[cpu]\ncycles=fixed 1000\n"
                                    "[ipx]\nipx=true\n[autoexec]\nmount c " + dir.path() + "\n" +
                                        commands);
    Proc::Options o;
    o.env = {{"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}, {"HOME", dir.path()}};
    return site.host(3).host->start({"/usr/bin/dosbox", "-conf", dir / "dosbox.conf", "-noconsole"}, o);
}

std::string relay_node(Site &site, int n)
{
    // "  dosbox server 10.213.0.3:213 network 000000a1:0ad500013039 mtu 576 up: ..."
    std::string line = site.link_line(n, "dosbox");
    size_t at = line.find(" network ");
    return at == std::string::npos ? "" : line.substr(at + 18, 12);
}

TEST_F(Links, DosboxRelayCarriesSessionsAndDosboxSeesUs)
{
    TempDir server_dir, ping_dir;
    site_.host(3);
    Proc server = dosbox(site_, server_dir, "ipxnet startserver 213\n");
    // The relay is up once it has its UDP port 213 (00D5).
    ASSERT_TRUE(wait_until([&] {
        std::string udp;
        site_.host(3).host->run({"/bin/cat", "/proc/net/udp"}, &udp);
        return udp.find(":00D5 ") != std::string::npos;
    }, 30s)) << server.err();
    Capture cap(site_.lan().bridge());
    ASSERT_TRUE(cap.started());
    const std::string link = "dosbox,net=" + kNet + ",server=10.213.0.3";
    ASSERT_TRUE(site_.stack(1, {"--link", link})) << why();
    ASSERT_TRUE(site_.stack(2, {"--link", link})) << why();
    ASSERT_TRUE(site_.service(1, 2)) << why();
    std::string node_a = relay_node(site_, 1);
    ASSERT_EQ(node_a.substr(0, 8), "0ad50001");
    check_service(node_a);
    check_capture(cap, 0, node_a);

    // DOSBox's own ping, from a second DOSBox on the relay, lists us.
    Proc pinger = dosbox(site_, ping_dir, "ipxnet connect 10.213.0.3 213\nipxnet ping > c:\\ping.txt\nexit\n");
    EXPECT_EQ(pinger.wait_exit(60s), 0);
    std::string ping = read_file(ping_dir / "PING.TXT");
    unsigned port_a = static_cast<unsigned>(std::stoul(node_a.substr(8), nullptr, 16));
    EXPECT_NE(ping.find("Response from 10.213.0.1, port " + std::to_string(port_a)), std::string::npos) << ping;
    EXPECT_NE(ping.find("Response from 10.213.0.2, port "), std::string::npos) << ping;

    // Bad input: datagrams from anyone but the server, and bad packets the
    // server relays to us.
    uint16_t relay_port = static_cast<uint16_t>(port_a);
    const std::string b = relay_node(site_, 2);
    ASSERT_TRUE(site_.host(2).host->in_host([&] {
        return send_udp("10.213.0.1", relay_port, {ipx(40, 40, b, 0xFFFF, node_a)}) &&
               send_udp("10.213.0.3", 213, {ipx(20, 40, b, 0xFFFF, node_a),
                                            ipx(100, 40, b, 0xFFFF, node_a),
                                            ipx(40, 40, "ffffffffffff", 0xFFFF, node_a),
                                            ipx(700, 700, b, 0xFFFF, node_a)});
    }));
    // The server may hold a registration of ours twice for a while (we
    // register again when it is slow to answer), and then relays each
    // packet to us twice: each bad one is counted, at least once.
    std::string line;
    EXPECT_TRUE(wait_until([&] {
        line = site_.link_line(1, "dosbox");
        for (const char *cause : {"wrong-sender", "oversized", "bad-length", "truncated", "broadcast-source"})
            if (drops(line, cause) == 0)
                return false;
        return true;
    }, 10s)) << line;
    EXPECT_EQ(drops(line, "wrong-sender"), 1u) << line;
    EXPECT_NE(site_.list(2).find(kService), std::string::npos);
    server.signal(SIGKILL);
}

} // namespace
