// The Debian package: what it holds, and that installing, removing and
// purging it on this system works and leaves nothing behind. Installing
// happens in a private mount namespace whose /usr, /etc, /var and /opt are
// overlays on the real ones (the changes land in a temporary directory) and
// whose /run is empty (no service manager is asked to do anything).
#include "product.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>
#include <sstream>

using namespace product;

namespace {

const std::vector<std::pair<std::string, std::string>> kEnv = {
    {"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}, {"MANPATH", ""}, {"DEBIAN_FRONTEND", "noninteractive"}};

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        out.push_back(l);
    return out;
}

class Package : public ::testing::Test {
protected:
    // The package is made once, by cpack from this build.
    static void SetUpTestSuite()
    {
        built_ = new testsupport::TempDir;
        made_ = run({CPACK_COMMAND, "--config", build_dir() + "/CPackConfig.cmake", "-B", *built_ / "pkg"});
    }
    static void TearDownTestSuite()
    {
        delete built_;
        built_ = nullptr;
    }
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root in a private mount namespace";
        ASSERT_EQ(made_.status, 0) << made_.text();
        deb_ = *built_ / "pkg/draxipx_" PACKAGE_VERSION "_amd64.deb";
        ASSERT_EQ(access(deb_.c_str(), R_OK), 0) << made_.text();
    }

    // Overlays over the system's directories, in this (private) namespace.
    bool overlay(std::string &why)
    {
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) {
            why = std::string("cannot make / private: ") + std::strerror(errno);
            return false;
        }
        for (const char *d : {"usr", "etc", "var", "opt"}) {
            std::string up = tmp_ / (std::string(d) + ".up"), work = tmp_ / (std::string(d) + ".work");
            mkdir(up.c_str(), 0755);
            mkdir(work.c_str(), 0755);
            // An installation already there (scripts/run.sh's) is hidden:
            // the package starts from nothing.
            if (std::string(d) == "opt" && access("/opt/DRAXipx", F_OK) == 0 &&
                mknod((up + "/DRAXipx").c_str(), S_IFCHR | 0000, makedev(0, 0)) < 0) {
                why = std::string("cannot hide /opt/DRAXipx: ") + std::strerror(errno);
                return false;
            }
            std::string opts = "lowerdir=/" + std::string(d) + ",upperdir=" + up + ",workdir=" + work;
            if (mount("overlay", (std::string("/") + d).c_str(), "overlay", 0, opts.c_str()) < 0) {
                why = std::string("cannot put an overlay on /") + d + ": " + std::strerror(errno);
                return false;
            }
        }
        if (mount("run", "/run", "tmpfs", 0, "mode=0755") < 0) {
            why = std::string("cannot mount a tmpfs on /run: ") + std::strerror(errno);
            return false;
        }
        // No rebuild of man's index on every install (it would take long).
        unlink("/var/lib/man-db/auto-update");
        return true;
    }

    static testsupport::TempDir *built_;
    static Result made_;
    testsupport::TempDir tmp_;
    std::string deb_;
};

testsupport::TempDir *Package::built_ = nullptr;
Result Package::made_;

} // namespace

TEST_F(Package, HoldsTheProductInItsPlaces)
{
    Result c = run({"dpkg-deb", "-c", deb_});
    ASSERT_EQ(c.status, 0) << c.text();
    std::string list = c.out;
    for (const char *p : {"./opt/DRAXipx/bin/ipxstackd", "./opt/DRAXipx/bin/Ombrad", "./opt/DRAXipx/bin/Zelptyd",
                          "./opt/DRAXipx/bin/Zeltty", "./opt/DRAXipx/bin/zelterm", "./opt/DRAXipx/bin/dunmere",
                          "./opt/DRAXipx/bin/sapwait", "./opt/DRAXipx/lib/libtli.so.1 -> libtli.so.1.0.0",
                          "./opt/DRAXipx/lib/libtli.a", "./opt/DRAXipx/include/tiuser.h",
                          "./usr/bin/zelterm -> /opt/DRAXipx/bin/zelterm",
                          "./usr/lib/pkgconfig/tli.pc -> /opt/DRAXipx/lib/pkgconfig/tli.pc",
                          "./usr/share/man/man1/zelterm.1 -> ", "./usr/share/man/man3/tli.3 -> ",
                          "./usr/share/man/man3/t_open.3 -> ", "./usr/share/man/man8/Zelptyd.8 -> ",
                          "./lib/systemd/system/ipxstackd.service", "./lib/systemd/system/Ombrad.service",
                          "./lib/systemd/system/Zelptyd.service"})
        EXPECT_NE(list.find(p), std::string::npos) << p << "\n" << list;
    // Nothing of a build or a test.
    EXPECT_EQ(list.find("test"), std::string::npos) << list;
    Result f = run({"dpkg-deb", "-f", deb_, "Package", "Version", "Depends"});
    EXPECT_EQ(f.out, "Package: draxipx\nVersion: " PACKAGE_VERSION "\nDepends: libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1\n")
        << f.text();
}

TEST_F(Package, InstallsRemovesAndPurgesLeavingNothingBehind)
{
    if (access("/opt", F_OK) != 0 || access("/var/lib/dpkg/status", F_OK) != 0)
        GTEST_SKIP() << "no /opt or no dpkg database on this system";
    std::string why;
    ASSERT_TRUE(overlay(why)) << why;

    Result r = run({"dpkg", "-i", deb_}, kEnv);
    ASSERT_EQ(r.status, 0) << r.text();

    // zelterm on the command path, the manual pages for man, the library
    // for pkg-config and the compiler.
    r = sh("command -v zelterm && zelterm -h", kEnv);
    EXPECT_EQ(r.status, 0) << r.text();
    EXPECT_EQ(lines(r.out).at(0), "/usr/bin/zelterm") << r.text();
    for (const char *page : {"zelterm", "ipxstackd", "Ombrad", "Zelptyd", "Zeltty", "dunmere", "sapwait", "tli",
                             "t_open", "t_rcvudata"}) {
        r = run({"man", "-w", page}, kEnv);
        EXPECT_EQ(r.status, 0) << page << r.text();
    }
    // Reading pages leaves man's formatted copies in /var/cache/man.
    r = sh("man zelterm && man t_open", kEnv);
    EXPECT_NE(r.out.find("zelterm"), std::string::npos) << r.text();
    r = run({"pkg-config", "--cflags", "--libs", "tli"}, kEnv);
    EXPECT_EQ(r.out, "-I/opt/DRAXipx/include -L/opt/DRAXipx/lib -Wl,-rpath,/opt/DRAXipx/lib -ltli \n") << r.text();
    auto env = kEnv;
    env.push_back({"SRC", source_path("tests/product/tliprog.c")});
    env.push_back({"OUT", tmp_ / "tliprog"});
    env.push_back({"EXTRA", THIRD_PARTY_CFLAGS});
    r = sh("cc $EXTRA \"$SRC\" -o \"$OUT\" $(pkg-config --cflags --libs tli)", env);
    EXPECT_EQ(r.status, 0) << r.text();
    // The units name the installed programs and installed pages; systemd's
    // own check finds nothing to say (where systemd is installed).
    bool systemd = access("/usr/bin/systemd-analyze", X_OK) == 0 && access("/usr/bin/systemctl", X_OK) == 0;
    for (const char *unit : {"ipxstackd", "Ombrad", "Zelptyd"}) {
        std::string path = std::string("/lib/systemd/system/") + unit + ".service";
        std::string text = testsupport::read_file(path);
        EXPECT_NE(text.find(std::string("/opt/DRAXipx/bin/") + unit), std::string::npos) << unit << text;
        EXPECT_NE(text.find(std::string("Documentation=man:") + unit), std::string::npos) << unit << text;
        if (systemd) {
            r = run({"systemd-analyze", "verify", "--man=yes", path}, kEnv);
            EXPECT_EQ(r.status, 0) << r.text();
            EXPECT_EQ(r.out + r.err, "") << unit;
        }
    }
    // An enabled unit must not outlive the package.
    if (systemd) {
        r = run({"systemctl", "enable", "Zelptyd.service"}, kEnv);
        EXPECT_EQ(r.status, 0) << r.text();
        EXPECT_EQ(access("/etc/systemd/system/multi-user.target.wants/Zelptyd.service", F_OK), 0);
    }

    // What the programs and scripts/run.sh write beside the installation.
    ASSERT_TRUE(testsupport::write_file("/opt/DRAXipx/bin/log.zel", "x\r\n"));
    ASSERT_TRUE(testsupport::write_file("/opt/DRAXipx/bin/ptyd.pid", "1\n"));
    ASSERT_TRUE(testsupport::write_file("/opt/DRAXipx/bin/zeltty.trc", "x\n"));
    mkdir("/opt/DRAXipx/run", 0755);
    mkdir("/opt/DRAXipx/etc", 0755);
    ASSERT_TRUE(testsupport::write_file("/opt/DRAXipx/run/ipxstackd.log", "x\n"));
    ASSERT_TRUE(testsupport::write_file("/opt/DRAXipx/etc/ipxstackd.conf", "IPXSTACKD_ARGS=\n"));

    r = run({"dpkg", "-r", "draxipx"}, kEnv);
    ASSERT_EQ(r.status, 0) << r.text();
    EXPECT_NE(access("/usr/bin/zelterm", F_OK), 0);
    EXPECT_NE(access("/opt/DRAXipx/bin/ipxstackd", F_OK), 0);
    EXPECT_NE(access("/lib/systemd/system/Zelptyd.service", F_OK), 0);
    EXPECT_EQ(access("/opt/DRAXipx/bin/log.zel", F_OK), 0) << "remove keeps the logs";
    struct stat st;
    EXPECT_NE(lstat("/etc/systemd/system/multi-user.target.wants/Zelptyd.service", &st), 0)
        << "the unit stays enabled after the package was removed";

    r = run({"dpkg", "-P", "draxipx"}, kEnv);
    ASSERT_EQ(r.status, 0) << r.text();
    EXPECT_NE(access("/opt/DRAXipx", F_OK), 0) << "purge leaves /opt/DRAXipx";
    r = run({"dpkg", "-s", "draxipx"}, kEnv);
    EXPECT_NE(r.status, 0) << r.text();

    // Every change left in the overlays is dpkg's own bookkeeping: no file
    // of ours, and no file of anyone else's removed.
    r = sh("cd '" + tmp_.path() + "' && find usr.up etc.up var.up opt.up ! -type d -printf '%y %p\\n'");
    ASSERT_EQ(r.status, 0) << r.text();
    for (const auto &l : lines(r.out)) {
        std::string path = l.substr(2);
        bool bookkeeping = path.rfind("var.up/lib/dpkg/", 0) == 0 || path.rfind("var.up/log/", 0) == 0;
        bool ours = l == "c opt.up/DRAXipx" ||  // a /opt/DRAXipx that was there before, hidden
                    l == "c var.up/lib/man-db/auto-update";  // removed by this test
        EXPECT_TRUE(bookkeeping || ours) << l;
    }
}
