// The sandbox of the namespaced tests leaves the host's file system alone,
// also on a host that has no /opt/DRAXipx.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "testproc.h"

using testsupport::read_file;

namespace {

// Here (the test's own mount namespace) /opt plays the host's: a tmpfs
// with one entry of its own and no DRAXipx. A child enters the sandbox in
// a namespace of its own and reports what it sees.
TEST(Sandbox, HostWithoutOurDirectoryIsLeftAlone)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    struct stat sb;
    if (stat("/opt", &sb) < 0)
        GTEST_SKIP() << "no /opt on this host";
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(mount("host-opt", "/opt", "tmpfs", 0, "mode=0755"), 0);
    ASSERT_TRUE(testsupport::write_file("/opt/other-product", "kept\n"));
    ASSERT_EQ(mkdir("/opt/otherdir", 0755), 0);
    ASSERT_TRUE(testsupport::write_file("/opt/otherdir/f", "also kept\n"));

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string why;
        if (unshare(CLONE_NEWNS) < 0 || !testsupport::enter_sandbox(why))
            _exit(2);
        bool ok = testsupport::write_file("/opt/DRAXipx/bin/x", "sandboxed\n") &&
                  read_file("/opt/other-product") == "kept\n" &&
                  read_file("/opt/otherdir/f") == "also kept\n";
        _exit(ok ? 0 : 3);
    }
    int st = 0;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;

    EXPECT_NE(stat("/opt/DRAXipx", &sb), 0) << "the host's /opt was written to";
    EXPECT_EQ(read_file("/opt/other-product"), "kept\n");
    umount2("/opt", MNT_DETACH);
}

} // namespace
