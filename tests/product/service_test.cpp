// Starting the service as the scripts and units do: time stamps in the
// daemons' logs, sapwait (with which Zelptyd.service waits for the
// advertisement), and scripts/run.sh (start, another start, status for any
// user, a rebuilt daemon, stale pid files naming strangers, stop). Each
// case runs in a private namespace with a tmpfs on /opt/DRAXipx.
#include "product.h"
#include "stackproc.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <climits>
#include <fstream>
#include <memory>
#include <regex>

using namespace product;
using testsupport::Proc;

namespace {

const std::string kBin = "/opt/DRAXipx/bin";

// Starts a daemon that says "ready" on --ready-fd; null (with `why`) when
// it does not within 10 s.
std::unique_ptr<Proc> start_ready(const std::vector<std::string> &argv, std::string &why,
                                  const std::vector<std::pair<std::string, std::string>> &env = {})
{
    Proc::Options o;
    o.env = env;
    auto proc = std::make_unique<Proc>();
    if (!testsupport::start_ready(*proc, argv, o, 10s, why))
        return nullptr;
    return proc;
}

long pid_in(const std::string &file)
{
    std::ifstream in(file);
    long pid = -1;
    in >> pid;
    return pid;
}

bool alive(long pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat))
        return false;
    size_t paren = stat.rfind(") ");
    return paren != std::string::npos && stat[paren + 2] != 'Z';
}

// Every process of this mount namespace that runs a program of the
// sandbox's /opt/DRAXipx/bin gets SIGKILL (what a failed test leaves).
void kill_ours()
{
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/ns/mnt", self, sizeof self - 1) < 0)
        return;
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return;
    while (auto *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.find_first_not_of("0123456789") != std::string::npos)
            continue;
        char ns[PATH_MAX] = {}, exe[PATH_MAX] = {};
        if (readlink(("/proc/" + n + "/ns/mnt").c_str(), ns, sizeof ns - 1) < 0 ||
            readlink(("/proc/" + n + "/exe").c_str(), exe, sizeof exe - 1) < 0)
            continue;
        if (std::string(ns) == self && std::string(exe).rfind(kBin + "/", 0) == 0)
            kill(std::stoi(n), SIGKILL);
    }
    closedir(d);
}

const std::regex kStamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");

} // namespace

TEST(Logs, DaemonsStampTheirLinesUnlessTheJournalDoes)
{
    stacktest::StackProc stack;
    ASSERT_TRUE(stack.ok()) << stack.error();
    std::string why;
    std::string ombrad = testsupport::build_path("platform/ombrad/Ombrad");
    auto plain = start_ready({ombrad, "-f"}, why);
    ASSERT_TRUE(plain) << why;
    plain->signal(SIGTERM);
    ASSERT_NE(plain->wait_exit(10s), -1);
    std::smatch m;
    EXPECT_TRUE(std::regex_search(plain->err(), m, std::regex(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} Ombrad: stopping)",
                                                            std::regex::multiline)))
        << plain->err();

    // Standard error that is the journal (as systemd says in JOURNAL_STREAM).
    auto journal = start_ready({"/bin/sh", "-c",
                                "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) && export JOURNAL_STREAM && "
                                "exec \"$0\" \"$@\"",
                                ombrad, "-f"},
                               why);
    ASSERT_TRUE(journal) << why;
    journal->signal(SIGTERM);
    ASSERT_NE(journal->wait_exit(10s), -1);
    EXPECT_EQ(journal->err().rfind("Ombrad: ", 0), 0u) << journal->err();
    EXPECT_NE(journal->err().find("\nOmbrad: stopping"), std::string::npos) << journal->err();

    ASSERT_NE(stack.stop(), -1);
    const std::string &err = stack.proc().err();
    size_t at = err.find("ipxstackd: stopping");
    ASSERT_NE(at, std::string::npos) << err;
    size_t line = err.rfind('\n', at);
    std::string whole = err.substr(line == std::string::npos ? 0 : line + 1);
    EXPECT_TRUE(std::regex_search(whole, kStamped)) << whole;
}

class Sandbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!testsupport::enter_sandbox(why))
            GTEST_SKIP() << why;
    }
    void TearDown() override { kill_ours(); }
};

TEST_F(Sandbox, SapwaitEndsOnceTheServiceIsAdvertisedAndFailsWhenItIsNot)
{
    stacktest::StackProc stack;
    ASSERT_TRUE(stack.ok()) << stack.error();
    std::string why;
    auto ombrad = start_ready({testsupport::build_path("platform/ombrad/Ombrad"), "-f"}, why);
    ASSERT_TRUE(ombrad) << why;
    ASSERT_TRUE(testsupport::copy_file(testsupport::build_path("zel/tty/Zelptyd"), kBin + "/Zelptyd"));
    std::string sapwait = testsupport::build_path("platform/systemd/sapwait");
    std::string pidfile = kBin + "/ptyd.pid";

    // Waiting before Zelptyd even starts, as the unit's ExecStartPost may.
    Proc wait({sapwait, "-t", "30", "-p", pidfile, "svctest"});
    EXPECT_EQ(wait.wait_exit(0ms), -1) << "sapwait ended with nothing advertised: " << wait.err();
    Result start = run({kBin + "/Zelptyd", "-n", "svctest"});
    ASSERT_EQ(start.status, 0) << start.text();
    int st = wait.wait_exit(30s);
    ASSERT_TRUE(st >= 0 && WIFEXITED(st)) << wait.err();
    EXPECT_EQ(WEXITSTATUS(st), 0) << wait.err();

    // Withdrawn: sapwait gives up after its time.
    long pid = pid_in(pidfile);
    ASSERT_GT(pid, 0);
    Result kill = run({kBin + "/Zelptyd", "-k"});
    ASSERT_EQ(kill.status, 0) << kill.text();
    ASSERT_TRUE(testsupport::wait_until([&] { return !alive(pid); }, 15s));
    Result gone = run({sapwait, "-t", "1", "svctest"}, {}, 20s);
    EXPECT_EQ(gone.status, 1) << gone.text();
    EXPECT_NE(gone.err.find("svctest (type 0247) not advertised"), std::string::npos) << gone.err;

    // A daemon that ended before it was advertised fails the wait at once.
    Proc ended({"/bin/true"});
    ASSERT_NE(ended.wait_exit(10s), -1);
    ASSERT_TRUE(testsupport::write_file(pidfile, std::to_string(ended.pid()) + "\n"));
    Result dead = run({sapwait, "-t", "60", "-p", pidfile, "nosuch"}, {}, 20s);
    EXPECT_EQ(dead.status, 1) << dead.text();
    EXPECT_NE(dead.err.find("ended before"), std::string::npos) << dead.err;
}

TEST_F(Sandbox, RunScriptStartsOnceStatusForAnyUserRestartsRebuiltAndSparesStrangers)
{
    testsupport::TempDir tmp;
    chmod(tmp.path().c_str(), 0755);
    std::string dev = tmp / "dev";
    mkdir(dev.c_str(), 0755);
    std::vector<std::pair<std::string, std::string>> env = {
        {"IPXSTACKD_ARGS", "--dev-dir " + dev}, {"IPX_DEVDIR", dev}, {"DRAX_RUN_BUILD", build_dir()},
        {"DRAX_NO_SESSION", "1"}, {"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}};
    std::string script = source_path("scripts/run.sh");
    auto runsh = [&](const std::string &what) { return run({"/bin/bash", script, what}, env, 180s); };

    Result first = runsh("start");
    ASSERT_EQ(first.status, 0) << first.text();
    for (const char *said : {"ipxstackd is ready", "Ombrad is ready", "Zelptyd is ready",
                             "IPX/SPX protocol stack is validated", "everything runs"})
        EXPECT_NE(first.out.find(said), std::string::npos) << said << "\n" << first.text();
    long stack = pid_in("/opt/DRAXipx/run/ipxstackd.pid"), ombrad = pid_in("/opt/DRAXipx/run/Ombrad.pid"),
         zelptyd = pid_in(kBin + "/ptyd.pid");
    ASSERT_TRUE(alive(stack) && alive(ombrad) && alive(zelptyd));

    // Any user may ask what runs (a copy of the script that nobody can read
    // where the tree is).
    mkdir((tmp / "scripts").c_str(), 0755);
    ASSERT_TRUE(testsupport::copy_file(script, tmp / "scripts/run.sh"));
    Result status = run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash",
                         tmp / "scripts/run.sh", "status"},
                        env);
    EXPECT_EQ(status.status, 0) << status.text();
    EXPECT_NE(status.out.find("ipxstackd: running (pid " + std::to_string(stack) + ")"), std::string::npos)
        << status.text();
    EXPECT_NE(status.out.find("Ombrad: running (pid " + std::to_string(ombrad) + ")"), std::string::npos)
        << status.text();
    EXPECT_NE(status.out.find("Zelptyd: running (pid " + std::to_string(zelptyd) + ")"), std::string::npos)
        << status.text();

    // Again: everything is reused, nothing stopped.
    Result again = runsh("start");
    ASSERT_EQ(again.status, 0) << again.text();
    for (const char *said : {"ipxstackd already runs", "Ombrad already runs", "Zelptyd already runs"})
        EXPECT_NE(again.out.find(said), std::string::npos) << said << "\n" << again.text();
    EXPECT_EQ(again.out.find("stopped"), std::string::npos) << again.text();
    EXPECT_TRUE(alive(stack) && alive(ombrad) && alive(zelptyd));

    // A new Zelptyd installed under the running one: named, then restarted.
    ASSERT_TRUE(testsupport::copy_file(kBin + "/Zelptyd", kBin + "/Zelptyd.new"));
    ASSERT_EQ(rename((kBin + "/Zelptyd.new").c_str(), (kBin + "/Zelptyd").c_str()), 0);
    status = runsh("status");
    EXPECT_NE(status.out.find("Zelptyd: running (pid " + std::to_string(zelptyd) + ", an older build"),
              std::string::npos)
        << status.text();
    Result rebuilt = runsh("start");
    ASSERT_EQ(rebuilt.status, 0) << rebuilt.text();
    EXPECT_NE(rebuilt.out.find("Zelptyd (pid " + std::to_string(zelptyd) + ") runs an older build"),
              std::string::npos)
        << rebuilt.text();
    long zelptyd2 = pid_in(kBin + "/ptyd.pid");
    EXPECT_NE(zelptyd2, zelptyd);
    EXPECT_TRUE(alive(zelptyd2) && alive(stack) && alive(ombrad)) << rebuilt.text();

    Result stop = runsh("stop");
    EXPECT_EQ(stop.status, 0) << stop.text();
    EXPECT_FALSE(alive(stack) || alive(ombrad) || alive(zelptyd2)) << stop.text();

    // Pid files that name a stranger (stale files after a reboot).
    Proc stranger({"/bin/sh", "-c", "exec tail -f /dev/null"});
    std::string pid = std::to_string(stranger.pid()) + "\n";
    for (const std::string &f : std::vector<std::string>{"/opt/DRAXipx/run/ipxstackd.pid", "/opt/DRAXipx/run/Ombrad.pid",
                                                          kBin + "/ptyd.pid"})
        ASSERT_TRUE(testsupport::write_file(f, pid));
    status = runsh("status");
    for (const char *said : {"ipxstackd: not running", "Ombrad: not running", "Zelptyd: not running"})
        EXPECT_NE(status.out.find(said), std::string::npos) << said << "\n" << status.text();
    stop = runsh("stop");
    EXPECT_EQ(stop.status, 0) << stop.text();
    EXPECT_EQ(stranger.wait_exit(0ms), -1) << "run.sh stop signalled a process it did not start";
}
