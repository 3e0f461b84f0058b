// Ombrad with a real stack daemon, in a private namespace: requests on
// socket 0x0872, listings through the client library, SAP packets as they
// travel, services whose sockets close, restarts. A registered service's
// socket is held open by the test (or a child of it): Ombrad withdraws
// services whose sockets are not bound.
#include "endpoint.h"
#include "sap.h"
#include "sapclient.h"
#include "stackcheck.h"

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
// Where the request library sends from: a socket only root may bind.
constexpr uint16_t kLibrarySocket = 0x1700;

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

// One host: a stack daemon and Ombrad on it.
struct Host {
    TempDir dir;
    Proc stack;
    Proc ombrad;
    std::vector<std::string> ombrad_args;

    bool start(const std::string &ip, std::string &why, std::vector<std::string> extra = {})
    {
        std::string devdir = dir / "dev";
        mkdir(devdir.c_str(), 0755);
        if (!start_ready(stack,
                         {build_path("platform/stack/ipxstackd"), "-f", "--dev-dir", devdir,
                          "--net", "ABCD", "--host", ip},
                         {}, 10s, why))
            return false;
        ombrad_args = extra;
        return start_ombrad(why);
    }
    bool start_ombrad(std::string &why)
    {
        Proc::Options o;
        o.env = {{"IPX_DEVDIR", dir / "dev"}};
        std::vector<std::string> argv = {build_path("platform/ombrad/Ombrad"), "-f",
                                         "--state-file", state_file()};
        argv.insert(argv.end(), ombrad_args.begin(), ombrad_args.end());
        return start_ready(ombrad, argv, o, 10s, why);
    }
    std::string state_file() const { return dir / "Ombrad.state"; }
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

// The entries of the next SAP broadcast `listener` (holding 0x0452) hears
// within `ms`; false when none comes.
bool heard(Client &listener, std::vector<sap::Entry> &entries, int ms = 5000)
{
    sap::Address from;
    sap::Bytes data;
    if (!listener.next(from, data, ms))
        return false;
    sap::Packet pk;
    std::string why;
    EXPECT_TRUE(sap::decode_packet(data.data(), data.size(), pk, why)) << why;
    EXPECT_EQ(pk.op, sap::kGeneralResponse);
    entries = pk.entries;
    return true;
}

// What Ombrad, taking SAP on `sap_socket`, answers `c` to a General
// Service Query for kType (nothing when it knows of no such service).
std::vector<sap::Entry> listed(Client &c, uint16_t sap_socket)
{
    c.send(c.at(sap_socket), sap::encode_query(sap::kGeneralQuery, kType));
    std::vector<sap::Entry> all;
    sap::Address from;
    sap::Bytes data;
    while (c.next(from, data, 300)) {
        sap::Packet pk;
        std::string why;
        EXPECT_TRUE(sap::decode_packet(data.data(), data.size(), pk, why)) << why;
        all.insert(all.end(), pk.entries.begin(), pk.entries.end());
    }
    return all;
}

// A child process holding an IPX socket until it is killed.
struct Holder {
    pid_t pid = -1;
    explicit Holder(uint16_t socket)
    {
        int p[2];
        if (pipe(p) < 0)
            return;
        pid = fork();
        if (pid == 0) {
            ombrad::DatagramEndpoint ep;
            std::string error;
            if (ep.open(socket, error) && write(p[1], "r", 1) == 1)
                pause();
            _exit(1);
        }
        close(p[1]);
        char c;
        EXPECT_EQ(read(p[0], &c, 1), 1) << "the holder could not bind";
        close(p[0]);
    }
    void kill9()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    ~Holder() { kill9(); }
};

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
    Client held(0x8063);
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
    std::vector<Client> held;
    held.emplace_back(0x8063);
    for (int i = 0; i < 7; ++i)
        held.emplace_back(uint16_t(0x8070 + i));
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
    Client held(0x8063);

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

// A service whose owner dies without a word (SIGKILL) is withdrawn within
// the documented three seconds (a check every two, and the stack's answer);
// the wait allows two more for a loaded test machine.
TEST_F(OmbradE2E, ServiceOfAKilledOwnerIsWithdrawn)
{
    Host host;
    std::string why;
    ASSERT_TRUE(host.start("127.0.0.1", why, {"--sap-socket", "0x0999"})) << why;
    host.use();
    Client listener(sap::kSapSocket);
    Client c(kLibrarySocket);
    Holder owner(0x8063);
    ASSERT_EQ(c.request(sap::kCodeBind, "TERM1", 0x8063, 1), sap::kOk);
    std::vector<sap::Entry> entries;
    ASSERT_TRUE(heard(listener, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].hops, 0);

    owner.kill9();
    ASSERT_TRUE(heard(listener, entries, 3000 + 2000)) << "not withdrawn in time";
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "TERM1");
    EXPECT_EQ(entries[0].addr, c.at(0x8063));
    EXPECT_EQ(entries[0].hops, sap::kHopsDown);
    EXPECT_TRUE(listed(c, 0x0999).empty());
    EXPECT_TRUE(host.ombrad.wait_output("socket 8063 is no longer bound", 5s, true))
        << host.ombrad.err();
}

// Ombrad killed and started again advertises the services whose sockets
// are still held by the same user, and drops the others.
TEST_F(OmbradE2E, RestartedOmbradAdvertisesRunningServicesAgain)
{
    Host host;
    std::string why;
    ASSERT_TRUE(host.start("127.0.0.1", why, {"--sap-socket", "0x0999"})) << why;
    host.use();
    Client listener(sap::kSapSocket);
    Client c(kLibrarySocket);
    Client held(0x8063);
    auto gone = std::make_unique<Client>(0x8064);
    ASSERT_EQ(c.request(sap::kCodeBind, "TERM1", 0x8063, 1), sap::kOk);
    ASSERT_EQ(c.request(sap::kCodeBind, "TERM2", 0x8064, 2), sap::kOk);
    std::vector<sap::Entry> entries;
    ASSERT_TRUE(heard(listener, entries));
    ASSERT_TRUE(heard(listener, entries));
    // Saved once the stack was asked who holds the sockets.
    ASSERT_TRUE(wait_until(
        [&] {
            std::string saved = read_file(host.state_file());
            return saved.find(" 0 1700 TERM1\n") != std::string::npos &&
                   saved.find(" 0 1700 TERM2\n") != std::string::npos;
        },
        10s, host.dir.path()))
        << read_file(host.state_file());

    host.ombrad.signal(SIGKILL);
    host.ombrad.wait_exit();
    gone.reset();  // TERM2's socket closes while Ombrad is away
    ASSERT_TRUE(wait_until([] {
        std::vector<ombrad::SocketState> states;
        std::string error;
        return ombrad::ask_stack({0x8064}, states, error) && !states[0].bound;
    }));
    ASSERT_TRUE(host.start_ombrad(why)) << why;

    ASSERT_TRUE(heard(listener, entries)) << "not advertised again";
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "TERM1");
    EXPECT_EQ(entries[0].addr, c.at(0x8063));
    EXPECT_EQ(entries[0].hops, 0);
    std::vector<sap::Entry> now = listed(c, 0x0999);
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0].name, "TERM1");
    EXPECT_TRUE(host.ombrad.wait_output("dropped saved \"TERM2\"", 5s, true)) << host.ombrad.err();
    EXPECT_EQ(read_file(host.state_file()).find("TERM2"), std::string::npos);
    EXPECT_EQ(c.request(sap::kCodeUnbind, "TERM1", 0x8063, 3), sap::kOk)
        << "the program that registered it still withdraws it";
}
