// dunmere against the real stack daemon, in a private namespace: ipxstackd
// serves its devices from a temporary directory and dunmere reaches them
// through IPX_DEVDIR.
#include "testproc.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::Proc;

const char STARS[] = "******************************************************\n";

class StackRun : public ::testing::Test {
protected:
    testsupport::TempDir dev;
    Proc stack;

    void SetUp() override
    {
        std::string why;
        if (!testsupport::enter_sandbox(why))
            GTEST_SKIP() << "no private sandbox: " << why;
    }

    // Starts ipxstackd on the devices directory with the extra arguments and
    // waits until it says it is ready.
    ::testing::AssertionResult start_stack(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> argv = {testsupport::build_path("platform/stack/ipxstackd"),
                                         "-f", "--dev-dir", dev.path()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::string why;
        if (!testsupport::start_ready(stack, argv, {}, 10s, why))
            return ::testing::AssertionFailure() << why;
        return ::testing::AssertionSuccess();
    }

    // Runs dunmere on the devices directory until it ends; its wait status.
    int run_dunmere(Proc &p)
    {
        Proc::Options opts;
        opts.env = {{"IPX_DEVDIR", dev.path()}};
        p = Proc({testsupport::build_path("ipx/benchmark/dunmere")}, opts);
        return p.wait_exit(120s);
    }
};

bool exited_with(int status, int code)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// Offsets of the texts in `out`, in the order given; npos for a missing one.
std::vector<size_t> positions(const std::string &out, const std::vector<std::string> &texts)
{
    std::vector<size_t> at;
    for (const auto &t : texts)
        at.push_back(out.find(t));
    return at;
}

TEST_F(StackRun, WorkingStackIsValidated)
{
    ASSERT_TRUE(start_stack());
    Proc p;
    int st = run_dunmere(p);
    EXPECT_TRUE(exited_with(st, 0)) << st << "\n" << p.err();
    const std::string &out = p.out();
    EXPECT_EQ(p.err(), "");

    // The banner opens, the reports follow in order, the verdict closes.
    EXPECT_EQ(out.rfind(std::string(STARS) + "*           IPX/SPX Diagnostic Program", 0), 0u) << out;
    auto at = positions(out, {"* IPX/SPX Protocol via TLI Options",
                              "Service Type Provided: ",
                              "* Network Address Assigned to Server",
                              "* Network Address Assigned to Client",
                              ">> Testing the IPX/SPX protocol stack ...\n",
                              ">> 1000 packets have been exchanged and verified\n"});
    for (size_t i = 0; i < at.size(); ++i) {
        EXPECT_NE(at[i], std::string::npos) << i << "\n" << out;
        if (i > 0) {
            EXPECT_LT(at[i - 1], at[i]) << i << "\n" << out;
        }
    }
    const std::string verdict = ">> 1000 packets have been exchanged and verified\n"
                                "\nIPX/SPX protocol stack is validated\n";
    ASSERT_GE(out.size(), verdict.size());
    EXPECT_EQ(out.substr(out.size() - verdict.size()), verdict);

    // The server got the socket it asked for; each report appears once.
    size_t server = out.find("* Network Address Assigned to Server");
    EXPECT_NE(out.find("Socket Number:  0031\n", server), std::string::npos);
    EXPECT_EQ(out.find("* IPX/SPX Protocol via TLI Options", at[0] + 1), std::string::npos);
    EXPECT_EQ(out.find("* Network Address Assigned to Client", at[3] + 1), std::string::npos);
}

TEST_F(StackRun, MissingDeviceEndsBeforeTheFork)
{
    Proc p;
    int st = run_dunmere(p);
    EXPECT_TRUE(exited_with(st, 1)) << st;
    EXPECT_EQ(p.err().rfind("t_open: failed to open /dev/mspx\n: ", 0), 0u) << p.err();
    // Nothing after the banner: no transport report, no address, no client.
    EXPECT_EQ(p.out().find("* IPX/SPX Protocol via TLI Options"), std::string::npos) << p.out();
    EXPECT_EQ(p.out().find("Network Address"), std::string::npos);
}

// Every t_rcv returns at most 500 bytes, so each unit takes five receives.
// Counting receives instead of units would stop the server early and leave
// the client failing its sends.
TEST_F(StackRun, UnitsDeliveredInPiecesStillPass)
{
    ASSERT_TRUE(start_stack({"--rcv-max", "500"}));
    Proc p;
    int st = run_dunmere(p);
    EXPECT_TRUE(exited_with(st, 0)) << st << "\n" << p.err();
    EXPECT_NE(p.out().find(">> 1000 packets have been exchanged and verified\n"
                           "\nIPX/SPX protocol stack is validated\n"),
              std::string::npos)
        << p.out();
    EXPECT_EQ(p.err(), "");
}

// One packet in fifty has a byte changed past the link's own check (a
// faulty host: the stack sends no checksums, and damage on the line is
// caught by the link); the server's check of the data must catch it.
TEST_F(StackRun, CorruptingStackFails)
{
    ASSERT_TRUE(start_stack({"--impair", "damage=0.02,seed=7"}));
    Proc p;
    int st = run_dunmere(p);
    EXPECT_TRUE(exited_with(st, 1)) << st << "\n" << p.out();
    EXPECT_EQ(p.out().find("validated"), std::string::npos) << p.out();
    EXPECT_NE(p.err().find("dunmere: unit "), std::string::npos) << p.err();
}

} // namespace
