// The state file: its text, and how it is written and read.
#include "state.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace ombrad;

namespace {

const sap::Node kNode = {0, 0, 127, 0, 0, 1};

std::vector<SavedService> two()
{
    return {{{0x247, "TERM1", {0, kNode, 0x8063}, 0}, 0, 0x1700},
            {{0x4, "A NAME WITH SPACES", {0, kNode, 0x4001}, 0}, std::nullopt, 0x0031}};
}

// A private directory, removed with what is in it.
struct Dir {
    std::string path;
    Dir()
    {
        char tmpl[] = "/tmp/ombradstate.XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~Dir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    void write(const std::string &name, const std::string &text, mode_t mode = 0600) const
    {
        std::ofstream(*this / name) << text;
        chmod((*this / name).c_str(), mode);
    }
};

} // namespace

TEST(StateText, RoundTripsAndRefusesDamage)
{
    std::string text = encode_state(two());
    EXPECT_EQ(text, "Ombrad services 1\n"
                    "0247 8063 00007f000001 0 1700 TERM1\n"
                    "0004 4001 00007f000001 - 0031 A NAME WITH SPACES\n");
    std::vector<SavedService> back;
    std::string why;
    ASSERT_TRUE(decode_state(text, 100, back, why)) << why;
    EXPECT_EQ(back, two());
    ASSERT_TRUE(decode_state("Ombrad services 1\n", 100, back, why));
    EXPECT_TRUE(back.empty());
    ASSERT_TRUE(decode_state("Ombrad services 1\n0247 8063 00007F000001 -2 1700 X\n", 100, back, why));
    EXPECT_EQ(back[0].uid, -2);

    const std::string head = "Ombrad services 1\n";
    const std::string damaged[] = {
        "Ombrad services 2\n",
        head + "0247 8063 00007f000001 0 1700 TERM1",            // cut short
        head + "0247 8063 00007f000001 0 1700\n",                // no name
        head + "247 8063 00007f000001 0 1700 TERM1\n",           // short type
        head + "0247 8063 00007f00000g 0 1700 TERM1\n",          // not hexadecimal
        head + "0247 8063 00007f000001 x 1700 TERM1\n",          // not a user
        head + "0247 8063 00007f000001 99999999999 1700 TERM1\n",  // user out of range
        head + "0000 8063 00007f000001 0 1700 TERM1\n",          // type 0
        head + "0247 8063 ffffffffffff 0 1700 TERM1\n",          // broadcast node
        head + "0247 8063 00007f000001 0 1700 TERM1\r\n",        // unprintable name
        head + "0247 8063 00007f000001 0 TERM1\n",               // no owner
        head + "0247 8063 00007f000001 0 4001 TERM1\n",          // owner any user may bind
    };
    for (const std::string &d : damaged) {
        back = two();
        EXPECT_FALSE(decode_state(d, 100, back, why)) << d;
        EXPECT_EQ(back, two()) << "nothing decoded from " << d;
    }
    EXPECT_FALSE(decode_state(text, 1, back, why)) << "more services than the table holds";
}

TEST(StateFile, IsReplacedWholeAndReadOnlyWhenTrustworthy)
{
    Dir d;
    std::string file = d / "run/Ombrad.state";
    std::vector<SavedService> got = two();
    std::string why;
    ASSERT_TRUE(load_state(file, 100, got, why)) << "no file yet: no services";
    EXPECT_TRUE(got.empty());

    ASSERT_TRUE(save_state(file, two(), why)) << why;  // the directory is made
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(load_state(file, 100, got, why)) << why;
    EXPECT_EQ(got, two());

    // A file left by an interrupted save is not written through.
    symlink((d / "elsewhere").c_str(), (file + ".new").c_str());
    ASSERT_TRUE(save_state(file, {}, why)) << why;
    EXPECT_NE(access((d / "elsewhere").c_str(), F_OK), 0);
    ASSERT_TRUE(load_state(file, 100, got, why)) << why;
    EXPECT_TRUE(got.empty());

    // Files not to be trusted are refused, with the reason.
    d.write("open", encode_state(two()), 0622);
    EXPECT_FALSE(load_state(d / "open", 100, got, why));
    EXPECT_EQ(why, "writable by others");
    d.write("big", std::string(kMaxStateSize + 1, '\n'));
    EXPECT_FALSE(load_state(d / "big", 100, got, why));
    symlink((d / "run/Ombrad.state").c_str(), (d / "link").c_str());
    EXPECT_FALSE(load_state(d / "link", 100, got, why)) << "a link is not followed";
    EXPECT_FALSE(load_state(d.path, 100, got, why)) << "a directory";
    d.write("damaged", "Ombrad services 1\n0247 8063");
    EXPECT_FALSE(load_state(d / "damaged", 100, got, why));
    EXPECT_EQ(why, "cut short");

    // A directory that cannot be written: the save fails with a reason.
    if (geteuid() != 0) {
        chmod((d / "run").c_str(), 0555);
        EXPECT_FALSE(save_state(file, two(), why));
        EXPECT_NE(why.find("Ombrad.state.new"), std::string::npos) << why;
    }
}
