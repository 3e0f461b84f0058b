// An ordinary user (uid 65534) attacks the terminal service: the stack, the
// real Ombrad and Zelptyd run as root in the test's namespaces, and after
// every attack the service must still be advertised, reachable and served
// by root.
#include "e2e_setup.h"

#include "endpoint.h"
#include "sap.h"

#include <sys/socket.h>
#include <sys/un.h>

using namespace ptyd_e2e;

namespace {

const std::string kService = "ATTACKED";

// One request to Ombrad from a datagram endpoint at a socket the provider
// picks (what any user gets); the reply's status, or 99 without one.
int32_t ombrad_request(ombrad::DatagramEndpoint &ep, uint16_t code, const std::string &name,
                       uint16_t socket, uint16_t seq)
{
    sap::Request r;
    r.code = code;
    r.seq = seq;
    r.type = 0x247;
    r.name = name;
    if (code == sap::kCodeBind) {
        r.socket = socket;
        r.node = ep.address().node;
    }
    std::string error;
    sap::Address ombrad{ep.address().net, ep.address().node, sap::kRequestSocket};
    if (!ep.send(ombrad, sap::encode_request(r), error))
        return 99;
    for (int waited = 0; waited < 50; waited++) {
        sap::Address from;
        sap::Bytes data;
        sap::Reply reply;
        auto got = ep.receive(from, data, error);
        if (got == ombrad::DatagramEndpoint::Got::datagram &&
            sap::decode_reply(data.data(), data.size(), reply) && reply.seq == seq)
            return reply.status;
        if (got == ombrad::DatagramEndpoint::Got::failed)
            return 99;
        struct pollfd pfd = {ep.fd(), POLLIN, 0};
        poll(&pfd, 1, 100);
    }
    return 99;
}

class Attack : public ZelptydE2E {
protected:
    void SetUp() override
    {
        ZelptydE2E::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        start_real_ombrad(kService);
        start_daemon({"-n", kService});
    }

    // The service is still there: the same daemon, advertised, and a call
    // of root's reaches a Zeltty run by root.
    void expect_service_stays()
    {
        EXPECT_TRUE(alive(daemon)) << read_file(kBin + "/log.zel");
        EXPECT_TRUE(advertised(kService));
        EXPECT_EQ(served_by_root(), "") << read_file(kBin + "/log.zel");
    }

    // Waits until the daemon has collected every session.
    bool sessions_collected()
    {
        std::string children =
            "/proc/" + std::to_string(daemon) + "/task/" + std::to_string(daemon) + "/children";
        return wait_until([&] { return read_file(children).empty(); }, 20s);
    }
};

// Withdrawing root's service, advertising the same name at one's own socket
// (to serve a false login prompt) or any other name: all refused by Ombrad.
// Root's own request socket is out of reach as well.
TEST_F(Attack, TakeOverTheServiceName)
{
    std::string r = as_nobody([] {
        ombrad::DatagramEndpoint ep;
        std::string error;
        if (!ep.open(0, error))
            return "failed: " + error;
        std::string out;
        out += "unbind " + std::to_string(ombrad_request(ep, sap::kCodeUnbind, kService, 0, 1)) + "\n";
        out += "bind " + std::to_string(ombrad_request(ep, sap::kCodeBind, kService, 0x9000, 2)) + "\n";
        out += "own " + std::to_string(ombrad_request(ep, sap::kCodeBind, "FAKE", 0x9000, 3)) + "\n";
        ombrad::DatagramEndpoint root_socket;
        out += std::string("socket 0x1700: ") + (root_socket.open(0x1700, error) ? "bound" : "refused") + "\n";
        return out;
    });
    EXPECT_EQ(r, "unbind -7\nbind -7\nown -7\nsocket 0x1700: refused\n");
    expect_service_stays();
}

// Filling Ombrad's table while the daemon is down no longer keeps it from
// advertising its service when it starts.
TEST_F(Attack, FillOmbradsTable)
{
    int st = run({"-k"});
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << last_err;
    ASSERT_EQ(daemon_exit(), 0);

    std::string r = as_nobody([] {
        ombrad::DatagramEndpoint ep;
        std::string error;
        if (!ep.open(0, error))
            return "failed: " + error;
        int refused = 0;
        for (int i = 0; i < 101; i++)
            if (ombrad_request(ep, sap::kCodeBind, "FILL" + std::to_string(i), uint16_t(0x9000 + i),
                               uint16_t(i + 1)) == sap::kNotPrivileged)
                refused++;
        return "refused " + std::to_string(refused);
    });
    EXPECT_EQ(r, "refused 101");

    start_daemon({"-n", kService});
    std::vector<sap::Service> list;
    std::string error;
    ASSERT_EQ(sap::query_services(0xFFFF, 500, list, error), 0) << error;
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, kService);
    expect_service_stays();
}

// Calls that are withdrawn at once, many of them: each costs only itself.
// (The caller hangs up between the daemon's listen and its accept, or
// before its listen; either way the daemon takes the disconnect.)
TEST_F(Attack, CallAndHangUpAtOnce)
{
    std::string r = as_nobody([] {
        int sent = 0;
        for (int i = 0; i < 200; i++) {
            int fd = connect_client(O_RDWR | O_NONBLOCK);
            if (fd >= 0) {
                sent++;
                t_close(fd);
            }
        }
        return "sent " + std::to_string(sent);
    });
    EXPECT_EQ(r, "sent 200");
    expect_service_stays();
    std::string log = read_file(kBin + "/log.zel");
    EXPECT_EQ(log.find("exiting"), std::string::npos) << log;
}

// Idle connections to the device socket keep the stack from opening new
// endpoints for a while, the daemon's connection endpoint among them: the
// call is refused and logged, and the daemon listens on.
TEST_F(Attack, FloodTheDeviceSocket)
{
    // Root's caller has its endpoint before the flood.
    int fd = t_open("/dev/ravspx", O_RDWR, nullptr);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(t_bind(fd, nullptr, nullptr), 0);

    Held flood;
    std::string dev = devdir / "ravspx";
    std::string r = as_nobody(
        [dev] {
            int opened = 0;
            for (int i = 0; i < 100; i++) {
                int s = socket(AF_UNIX, SOCK_SEQPACKET, 0);
                struct sockaddr_un sa;
                memset(&sa, 0, sizeof sa);
                sa.sun_family = AF_UNIX;
                strncpy(sa.sun_path, dev.c_str(), sizeof sa.sun_path - 1);
                if (s >= 0 && connect(s, (struct sockaddr *)&sa, sizeof sa) == 0)
                    opened++;
            }
            return "opened " + std::to_string(opened);
        },
        &flood);
    ASSERT_EQ(r.rfind("opened ", 0), 0u) << r;
    // Nobody else gets an endpoint now.
    int probe = t_open("/dev/ravspx", O_RDWR, nullptr);
    bool blocked = probe < 0;
    if (probe >= 0)
        t_close(probe);

    int connected = call_service(fd);
    if (blocked) {
        // The daemon could not open the call's endpoint: refused, logged.
        EXPECT_LT(connected, 0);
        EXPECT_TRUE(wait_until([] {
            std::string log = read_file(kBin + "/log.zel");
            return log.find("\tZelptyd: t_open(/dev/ravspx) failure") != std::string::npos &&
                   log.find("\tZelptyd: call from X(0000abcd:00007f000001:") != std::string::npos;
        }, 10s)) << read_file(kBin + "/log.zel");
    }
    t_close(fd);
    flood.release();
    // Once the stack has seen the idle connections go, endpoints open again.
    ASSERT_TRUE(wait_until([] {
        int e = t_open("/dev/ravspx", O_RDWR, nullptr);
        if (e >= 0)
            t_close(e);
        return e >= 0;
    }, 20s));
    expect_service_stays();
}

// More sessions than one caller may have: the calls beyond the limit are
// refused and logged, and once the caller goes its sessions are collected
// and the service serves others again.
TEST_F(Attack, MoreSessionsThanTheLimit)
{
    Held sessions;
    std::string r = as_nobody(
        [] {
            int served = 0;
            for (int i = 0; i < CALLER_SESSIONS_MAX; i++) {
                int fd = connect_client();
                char buf[64];
                int flags = 0;
                if (fd >= 0 && t_rcv(fd, buf, sizeof buf, &flags) > 0)
                    served++;
            }
            std::string out = "served " + std::to_string(served);
            int fd = t_open("/dev/ravspx", O_RDWR, nullptr);
            struct t_discon dis;
            memset(&dis, 0, sizeof dis);
            if (fd >= 0 && t_bind(fd, nullptr, nullptr) == 0 && call_service(fd) < 0 &&
                t_errno == TLOOK && t_rcvdis(fd, &dis) == 0)
                out += ", then refused (reason " + std::to_string(dis.reason) + ")";
            else
                out += ", then not refused";
            return out;
        },
        &sessions);
    EXPECT_EQ(r, "served " + std::to_string(CALLER_SESSIONS_MAX) + ", then refused (reason 2)");
    std::string line = "refused: " + std::to_string(CALLER_SESSIONS_MAX) +
                       " sessions from that address (limit " + std::to_string(CALLER_SESSIONS_MAX) + ")";
    EXPECT_TRUE(wait_until([&] { return read_file(kBin + "/log.zel").find(line) != std::string::npos; }, 10s))
        << read_file(kBin + "/log.zel");
    EXPECT_TRUE(advertised(kService));

    sessions.release();
    ASSERT_TRUE(sessions_collected());
    expect_service_stays();
}

} // namespace
