// `cmake --install --prefix` puts everything under the prefix, and a third
// party's C program builds against the installed TLI library with
// pkg-config (shared) or with libtli.a (static) and runs against the stack.
#include "product.h"
#include "stackproc.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

using namespace product;

TEST(Installation, EverythingUnderThePrefixAndATliProgramBuildsAndRuns)
{
    stacktest::StackProc stack;
    ASSERT_TRUE(stack.ok()) << stack.error();
    testsupport::TempDir tmp;
    std::string prefix = tmp / "prefix";

    // Staged (DESTDIR), nothing lands outside the prefix.
    Result staged = run({CMAKE_COMMAND, "--install", build_dir(), "--prefix", "/opt/elsewhere"},
                        {{"DESTDIR", tmp / "stage"}});
    ASSERT_EQ(staged.status, 0) << staged.text();
    Result found = sh("cd '" + tmp / "stage" + "' && find . ! -type d");
    std::istringstream files(found.out);
    std::string line;
    int n = 0;
    std::string links = std::string(".") + LINKS_PREFIX + "/";  // links asked for at configure time
    for (; std::getline(files, line); ++n)
        EXPECT_TRUE(line.rfind("./opt/elsewhere/", 0) == 0 || (links != "./" && line.rfind(links, 0) == 0))
            << line;
    EXPECT_GT(n, 30) << found.text();

    Result inst = run({CMAKE_COMMAND, "--install", build_dir(), "--prefix", prefix});
    ASSERT_EQ(inst.status, 0) << inst.text();
    for (const char *p : {"bin/ipxstackd", "bin/Ombrad", "bin/Zelptyd", "bin/Zeltty", "bin/zelterm", "bin/dunmere",
                          "bin/sapwait"})
        EXPECT_EQ(access((prefix + "/" + p).c_str(), X_OK), 0) << p;
    for (const char *p : {"include/tiuser.h", "lib/libtli.a", "lib/libtli.so", "share/man/man1/zelterm.1",
                          "share/man/man3/tli.3", "share/man/man3/t_open.3", "share/man/man8/Zelptyd.8",
                          "lib/systemd/system/Zelptyd.service"})
        EXPECT_EQ(access((prefix + "/" + p).c_str(), R_OK), 0) << p;
    // The units name the programs where they are.
    std::string unit = testsupport::read_file(prefix + "/lib/systemd/system/Zelptyd.service");
    EXPECT_NE(unit.find("ExecStart=" + prefix + "/bin/Zelptyd\n"), std::string::npos) << unit;
    EXPECT_EQ(unit.find("/opt/DRAXipx"), std::string::npos) << unit;

    // The library exports the calls of <tiuser.h> and its variables, no more.
    Result nm = sh("nm -D --defined-only '" + prefix + "/lib/libtli.so' | awk '{print $3}'");
    ASSERT_EQ(nm.status, 0) << nm.text();
    std::set<std::string> exported;
    std::istringstream syms(nm.out);
    while (std::getline(syms, line)) {
        line = line.substr(0, line.find('@'));
        if (!line.empty() && line != "TLI_1")
            exported.insert(line);
    }
    std::vector<std::string> calls = tli_calls();
    std::set<std::string> expected(calls.begin(), calls.end());
    expected.insert({"t_errno", "t_errlist", "t_nerr"});
    EXPECT_EQ(exported, expected);
    Result soname = sh("readelf -d '" + prefix + "/lib/libtli.so' | grep SONAME");
    EXPECT_NE(soname.out.find("[libtli.so.1]"), std::string::npos) << soname.text();

    // The shared library, as pkg-config says.
    std::vector<std::pair<std::string, std::string>> env = {{"PKG_CONFIG_PATH", prefix + "/lib/pkgconfig"},
                                                            {"SRC", source_path("tests/product/tliprog.c")},
                                                            {"OUT", tmp.path()},
                                                            {"EXTRA", THIRD_PARTY_CFLAGS}};
    Result flags = run({"pkg-config", "--cflags", "--libs", "tli"}, env);
    ASSERT_EQ(flags.status, 0) << flags.text();
    EXPECT_NE(flags.out.find("-I" + prefix + "/include"), std::string::npos) << flags.out;
    Result cc = sh("cc -Wall -Werror $EXTRA \"$SRC\" -o \"$OUT/tliprog\" $(pkg-config --cflags --libs tli)", env);
    ASSERT_EQ(cc.status, 0) << cc.text();
    Result linked = sh("readelf -d \"$OUT/tliprog\"", env);
    EXPECT_NE(linked.out.find("[libtli.so.1]"), std::string::npos) << linked.out;
    EXPECT_NE(linked.out.find(prefix + "/lib"), std::string::npos) << "no run path to the library\n" << linked.out;
    Result shared = run({tmp / "tliprog"});
    EXPECT_EQ(shared.status, 0) << shared.text();
    EXPECT_EQ(shared.out, "tliprog: ok\n");

    // The static library.
    cc = sh("cc -Wall -Werror $EXTRA \"$SRC\" -o \"$OUT/tliprog-static\" $(pkg-config --cflags tli) "
            "\"$PKG_CONFIG_PATH/../libtli.a\" -lstdc++",
            env);
    ASSERT_EQ(cc.status, 0) << cc.text();
    linked = sh("readelf -d \"$OUT/tliprog-static\"", env);
    EXPECT_EQ(linked.out.find("libtli"), std::string::npos) << linked.out;
    Result statik = run({tmp / "tliprog-static"});
    EXPECT_EQ(statik.status, 0) << statik.text();
    EXPECT_EQ(statik.out, "tliprog: ok\n");
}

// The configurations that scripts/run.sh and scripts/package.sh build.
TEST(Installation, ReleaseWithoutTestsConfigures)
{
    testsupport::TempDir tmp;
    Result r = run({CMAKE_COMMAND, "-S", source_path(""), "-B", tmp.path(), "-DCMAKE_BUILD_TYPE=Release",
                    "-DDRAX_TESTS=OFF", "-DDRAX_LINKS_PREFIX=/usr/local"});
    EXPECT_EQ(r.status, 0) << r.text();
}
