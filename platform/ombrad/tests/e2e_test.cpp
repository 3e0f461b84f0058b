// Ombrad with a real stack daemon, in a private namespace: requests on
// socket 0x0872, listings through the client library, SAP packets as they
// travel.
#include "endpoint.h"
#include "sap.h"
#include "sapclient.h"

#include <testproc.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;

namespace {

constexpr uint16_t kType = 0x247;

// The loopback interface of a fresh network namespace starts down.
bool loopback_up()
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return false;
    struct ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return ok;
}

// Starts `argv` with a readiness descriptor appended as --ready-fd N and
// waits (bounded) for its "ready\n".
bool start_ready(Proc &proc, std::vector<std::string> argv, Proc::Options opts, std::string &why)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0) {
        why = "pipe";
        return false;
    }
    argv.push_back("--ready-fd");
    argv.push_back(std::to_string(p[1]));
    opts.keep_fds.push_back(p[1]);
    proc = Proc(argv, opts);
    close(p[1]);
    char buf[16] = {};
    struct pollfd pfd = {p[0], POLLIN, 0};
    bool ok = poll(&pfd, 1, 10000) == 1 && read(p[0], buf, sizeof buf - 1) > 0 &&
              std::string(buf) == "ready\n";
    close(p[0]);
    if (!ok) {
        proc.wait_output("\n", 2s, true);  // its complaint, if it has one
        why = argv[0] + " did not get ready: " + proc.err();
    }
    return ok;
}

// One host: a stack daemon and Ombrad on it.
struct Host {
    TempDir dir;
    Proc stack;
    Proc ombrad;

    bool start(const std::string &ip, std::string &why, std::vector<std::string> extra = {})
    {
        std::string devdir = dir / "dev";
        mkdir(devdir.c_str(), 0755);
        if (!start_ready(stack,
                         {build_path("platform/stack/ipxstackd"), "-f", "--dev-dir", devdir,
                          "--net", "ABCD", "--host", ip},
                         {}, why))
            return false;
        Proc::Options o;
        o.env = {{"IPX_DEVDIR", devdir}};
        std::vector<std::string> argv = {build_path("platform/ombrad/Ombrad"), "-f"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return start_ready(ombrad, argv, o, why);
    }
    // Makes this process's TLI calls reach this host's stack.
    void use() const { setenv("IPX_DEVDIR", (dir / "dev").c_str(), 1); }
};

// Ombrad takes requests only from privileged sockets (below 0x4000, which
// root alone may bind, as the test does).
constexpr uint16_t kRootSocket = 0x1701;

// One datagram endpoint of the test itself.
struct Client {
    ombrad::DatagramEndpoint ep;
    explicit Client(uint16_t socket = kRootSocket)
    {
        std::string error;
        EXPECT_TRUE(ep.open(socket, error)) << error;
    }
    sap::Address at(uint16_t socket) const
    {
        return {ep.address().net, ep.address().node, socket};
    }
    void send(const sap::Address &to, const sap::Bytes &b)
    {
        std::string error;
        EXPECT_TRUE(ep.send(to, b, error)) << error;
    }
    // The next datagram within `ms`, or false.
    bool next(sap::Address &from, sap::Bytes &data, int ms = 5000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            std::string error;
            auto got = ep.receive(from, data, error);
            if (got == ombrad::DatagramEndpoint::Got::datagram)
                return true;
            if (got == ombrad::DatagramEndpoint::Got::failed)
                return false;
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            struct pollfd pfd = {ep.fd(), POLLIN, 0};
            poll(&pfd, 1, int(left.count()));
        }
    }
    // Sends a request to Ombrad on this host; the reply's status, after
    // checking that the reply came from 0x0872 and echoes code and seq.
    int32_t request(uint16_t code, const std::string &name, uint16_t socket, uint16_t seq)
    {
        sap::Request r;
        r.code = code;
        r.seq = seq;
        r.type = kType;
        r.name = name;
        if (code == sap::kCodeBind) {
            r.socket = socket;
            r.node = ep.address().node;
        }
        send(at(sap::kRequestSocket), sap::encode_request(r));
        sap::Address from;
        sap::Bytes data;
        if (!next(from, data)) {
            ADD_FAILURE() << "no reply to request " << seq;
            return 99;
        }
        sap::Reply reply;
        EXPECT_TRUE(sap::decode_reply(data.data(), data.size(), reply));
        EXPECT_EQ(from, at(sap::kRequestSocket));
        EXPECT_EQ(reply.code, code | 0x8000);
        EXPECT_EQ(reply.seq, seq);
        return reply.status;
    }
};

bool has_service(const std::vector<sap::Service> &list, const std::string &name,
                 const sap::Address &addr)
{
    for (const sap::Service &s : list) {
        if (s.name == name && sap::get_address(s.addr) == addr)
            return true;
    }
    return false;
}

class OmbradE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!enter_sandbox(why))
            GTEST_SKIP() << why;
        ASSERT_TRUE(loopback_up());
    }
};

} // namespace

TEST_F(OmbradE2E, RequestsAreAnsweredAndServicesListed)
{
    Host host;
    std::string why;
    ASSERT_TRUE(host.start("127.0.0.1", why)) << why;
    host.use();
    Client c;
    sap::Address svc = c.at(0x8063);

    EXPECT_EQ(c.request(sap::kCodeBind, "TERM1", 0x8063, 1), sap::kOk);
    EXPECT_EQ(c.request(sap::kCodeBind, "term1", 0x8064, 2), sap::kNameInUse);
    EXPECT_EQ(c.request(sap::kCodeUnbind, "NOSUCH", 0, 3), sap::kUnknownService);

    // Garbage on both sockets changes nothing and is survived.
    c.send(c.at(sap::kRequestSocket), {0x00, 0x01});
    c.send(c.at(sap::kSapSocket), {0x00, 0x02, 0xFF});
    sap::Bytes cut = sap::encode_request({sap::kCodeBind, 4, kType, 0x8065, "CUT", {}});
    cut.resize(30);
    c.send(c.at(sap::kRequestSocket), cut);
    sap::Address from;
    sap::Bytes data;
    ASSERT_TRUE(c.next(from, data));
    sap::Reply reply;
    ASSERT_TRUE(sap::decode_reply(data.data(), data.size(), reply));
    EXPECT_EQ(reply.seq, 4);
    EXPECT_EQ(reply.status, sap::kMalformed);

    std::vector<sap::Service> list;
    std::string error;
    ASSERT_EQ(sap::query_services(0xFFFF, 500, list, error), 0) << error;
    EXPECT_TRUE(has_service(list, "TERM1", svc));
    EXPECT_EQ(list.size(), 1u);
    sap::Service found;
    ASSERT_EQ(sap::find_service("Term1", kType, 5000, found, error), 0) << error;
    EXPECT_EQ(sap::get_address(found.addr), svc);
    EXPECT_EQ(found.hops, 0);

    EXPECT_EQ(c.request(sap::kCodeUnbind, "TERM1", 0, 5), sap::kOk);
    ASSERT_EQ(sap::query_services(kType, 300, list, error), 0) << error;
    EXPECT_TRUE(list.empty());

    host.ombrad.signal(SIGTERM);
    int st = host.ombrad.wait_exit();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

TEST_F(OmbradE2E, SapAnswersHaveTheWireLayout)
{
    Host host;
    std::string why;
    ASSERT_TRUE(host.start("127.0.0.1", why)) << why;
    host.use();
    Client c;
    ASSERT_EQ(c.request(sap::kCodeBind, "WIRE.TEST-1", 0x8063, 1), sap::kOk);

    // A General Service Query straight to Ombrad's SAP socket.
    c.send(c.at(sap::kSapSocket), {0x00, 0x01, 0x02, 0x47});
    sap::Address from;
    sap::Bytes data;
    ASSERT_TRUE(c.next(from, data));
    EXPECT_EQ(from, c.at(sap::kSapSocket));
    EXPECT_EQ(c.ep.last_packet_type(), 4) << "SAP travels as IPX packet type 4";
    sap::Bytes want = {0x00, 0x02, 0x02, 0x47};
    std::string name = "WIRE.TEST-1";
    for (size_t i = 0; i < 48; ++i)
        want.push_back(i < name.size() ? uint8_t(name[i]) : 0);
    uint8_t addr[12];
    sap::put_address(addr, c.at(0x8063));
    want.insert(want.end(), addr, addr + 12);
    want.push_back(0);
    want.push_back(0);
    EXPECT_EQ(data, want);

    // A Nearest Service Query gets one entry, operation 4.
    c.send(c.at(sap::kSapSocket), {0x00, 0x03, 0xFF, 0xFF});
    ASSERT_TRUE(c.next(from, data));
    ASSERT_EQ(data.size(), 66u);
    EXPECT_EQ(data[1], 4);

    // Eight services take two packets: seven entries, then one.
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(c.request(sap::kCodeBind, "MORE" + std::to_string(i), uint16_t(0x8070 + i),
                            uint16_t(10 + i)),
                  sap::kOk);
    c.send(c.at(sap::kSapSocket), {0x00, 0x01, 0xFF, 0xFF});
    ASSERT_TRUE(c.next(from, data));
    EXPECT_EQ(data.size(), 2 + 7 * 64u);
    ASSERT_TRUE(c.next(from, data));
    EXPECT_EQ(data.size(), 2 + 64u);
}

// With Ombrad taking SAP on another socket, the test holds 0x0452 and hears
// the broadcasts themselves.
TEST_F(OmbradE2E, BroadcastsAnnounceAndWithdraw)
{
    Host host;
    std::string why;
    ASSERT_TRUE(host.start("127.0.0.1", why, {"--sap-socket", "0x0999"})) << why;
    host.use();
    Client listener(sap::kSapSocket);
    Client c;

    // One broadcast packet with one entry; its hop count.
    auto heard = [&](const std::string &name) -> int {
        sap::Address from;
        sap::Bytes data;
        if (!listener.next(from, data)) {
            ADD_FAILURE() << "no broadcast for " << name;
            return -1;
        }
        EXPECT_EQ(from, listener.at(0x0999));
        EXPECT_EQ(listener.ep.last_packet_type(), 4);
        sap::Packet pk;
        std::string err;
        EXPECT_TRUE(sap::decode_packet(data.data(), data.size(), pk, err)) << err;
        EXPECT_EQ(pk.op, sap::kGeneralResponse);
        if (pk.entries.size() != 1)
            return -1;
        EXPECT_EQ(pk.entries[0].name, name);
        EXPECT_EQ(pk.entries[0].addr, c.at(0x8063));
        return pk.entries[0].hops;
    };

    ASSERT_EQ(c.request(sap::kCodeBind, "TERM1", 0x8063, 1), sap::kOk);
    EXPECT_EQ(heard("TERM1"), 0) << "announced at once";
    ASSERT_EQ(c.request(sap::kCodeUnbind, "TERM1", 0, 2), sap::kOk);
    EXPECT_EQ(heard("TERM1"), 16) << "withdrawn";

    ASSERT_EQ(c.request(sap::kCodeBind, "TERM2", 0x8063, 3), sap::kOk);
    EXPECT_EQ(heard("TERM2"), 0);
    host.ombrad.signal(SIGTERM);
    EXPECT_EQ(heard("TERM2"), 16) << "withdrawn on the way out";
    int st = host.ombrad.wait_exit();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}
