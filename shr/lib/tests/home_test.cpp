// The installation directory and the directory locator.
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include <string>

#include "testproc.h"
#include "zelhome.h"

namespace {

TEST(Home, FixedPathWhateverTheEnvironment)
{
    setenv("ZEL_HOME", "/elsewhere", 1);
    setenv("DRAXipx", "/elsewhere", 1);
    char buf[100];
    memset(buf, 'x', sizeof buf);
    zelhome_get(buf);
    EXPECT_STREQ(buf, "/opt/DRAXipx/bin/");
    EXPECT_EQ(buf[18], 'x') << "18 bytes written, no more";
    ravhome_get(buf);
    EXPECT_STREQ(buf, "/opt/DRAXipx/bin/");
    unsetenv("ZEL_HOME");
    unsetenv("DRAXipx");
}

class DirLocate : public ::testing::Test {
protected:
    void SetUp() override
    {
        confdir_ = conf_.path() + "/";
        dir_confdir = confdir_.c_str();
        unsetenv("DRAXTEST_DIR");
        memset(result_, '#', sizeof result_);
        result_[sizeof result_ - 1] = '\0';
    }
    void TearDown() override
    {
        dir_confdir = "/etc/morvane/";
        unsetenv("DRAXTEST_DIR");
    }
    int locate(const char *dflt) { return dir_locate("DRAXTEST_DIR", dflt, result_); }
    bool untouched() { return result_[0] == '#' && result_[1] == '#'; }

    testsupport::TempDir conf_;
    testsupport::TempDir other_;
    std::string confdir_;
    char result_[600];
};

TEST_F(DirLocate, EnvironmentThenFileThenDefault)
{
    // The environment wins; its value is copied unchanged.
    setenv("DRAXTEST_DIR", "/no/such/dir", 1);
    testsupport::write_file(conf_ / "DRAXTEST_DIR", "/from/file\n");
    ASSERT_EQ(locate(other_.path().c_str()), 0);
    EXPECT_STREQ(result_, "/no/such/dir");

    // Empty: the file's first word, the rest of the file ignored.
    setenv("DRAXTEST_DIR", "", 1);
    testsupport::write_file(conf_ / "DRAXTEST_DIR", "  \n/from/file more words\n");
    ASSERT_EQ(locate(other_.path().c_str()), 0);
    EXPECT_STREQ(result_, "/from/file");

    // A file without a word: the default, when it is a directory.
    testsupport::write_file(conf_ / "DRAXTEST_DIR", " \n\t\n");
    ASSERT_EQ(locate(other_.path().c_str()), 0);
    EXPECT_EQ(std::string(result_), other_.path());

    // No file, and a default that is a regular file: -1, result unchanged.
    unlink((conf_ / "DRAXTEST_DIR").c_str());
    std::string plain = other_ / "plain";
    testsupport::write_file(plain, "x");
    memset(result_, '#', 10);
    EXPECT_EQ(locate(plain.c_str()), -1);
    EXPECT_TRUE(untouched());
    EXPECT_EQ(locate("/no/such/default"), -1);
    EXPECT_TRUE(untouched());
}

TEST_F(DirLocate, ValuesThatDoNotFitAreSkipped)
{
    // A first word of 511 characters is taken, one of 512 is not.
    std::string word511 = "/" + std::string(510, 'w');
    testsupport::write_file(conf_ / "DRAXTEST_DIR", word511 + " tail");
    ASSERT_EQ(locate(other_.path().c_str()), 0);
    EXPECT_EQ(std::string(result_), word511);

    testsupport::write_file(conf_ / "DRAXTEST_DIR", word511 + "w");
    ASSERT_EQ(locate(other_.path().c_str()), 0);
    EXPECT_EQ(std::string(result_), other_.path()) << "the long word is passed over";

    // A long environment value is passed over as well.
    setenv("DRAXTEST_DIR", std::string(600, 'e').c_str(), 1);
    ASSERT_EQ(locate(other_.path().c_str()), 0);
    EXPECT_EQ(std::string(result_), other_.path());

    // A name whose configuration path would not fit in 512 bytes.
    std::string name(600, 'n');
    memset(result_, '#', 10);
    EXPECT_EQ(dir_locate(name.c_str(), "/no/such/default", result_), -1);
    EXPECT_TRUE(untouched());
}

} // namespace
