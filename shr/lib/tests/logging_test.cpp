// The event log: exact bytes on the file, stamps per entry, flushing, and
// the mode and owner of a log that open_log created.
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "logging.h"
#include "testproc.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { close_log(); }

    std::string path() { return dir_ / "log.zel"; }
    std::string content() { return testsupport::read_file(path()); }

    // The stamp lines that a message written between `from` and now may carry.
    std::set<std::string> stamps_since(time_t from)
    {
        std::set<std::string> s;
        for (time_t t = from; t <= time(nullptr); t++) {
            char text[32];
            ctime_r(&t, text);
            s.insert(std::string(text, 24) + "\r\n");
        }
        return s;
    }

    testsupport::TempDir dir_;
};

TEST_F(LogTest, NoLogOpenWritesNothing)
{
    EXPECT_EQ(logfile, nullptr);
    log_new();
    log_msg("lost %d", 1);
    EXPECT_EQ(logfile, nullptr);
}

TEST_F(LogTest, EntriesAreStampedOnceAndFlushedPerMessage)
{
    time_t before = time(nullptr);
    ASSERT_EQ(open_log(path().c_str()), 0);

    // The first message stamps even without log_new.
    log_msg("Zelptyd: %s starting", "v1");
    std::string got = content();  // read while the stream is still open
    ASSERT_EQ(got.size(), 26u + 1 + 20 + 2);
    std::string stamp = got.substr(0, 26);
    EXPECT_TRUE(stamps_since(before).count(stamp)) << stamp;
    EXPECT_EQ(got.substr(26), "\tZelptyd: v1 starting\r\n");

    // No log_new: the same entry goes on.
    log_msg("%s|%d|%x|%c|%ld|%s", "a", -5, 255u, 'q', 7L, "end");
    EXPECT_EQ(content(), stamp + "\tZelptyd: v1 starting\r\n\ta|-5|ff|q|7|end\r\n");

    // Two log_new in a row make one new stamp; a format's own newline
    // leaves a line holding a lone CR.
    size_t first_entry = content().size();
    log_new();
    log_new();
    log_msg("Zelptyd: exec of Zeltty failed\n");
    got = content();
    std::string tail = got.substr(first_entry);
    ASSERT_EQ(tail.size(), 26u + 1 + 31 + 2);
    EXPECT_TRUE(stamps_since(before).count(tail.substr(0, 26)));
    EXPECT_EQ(tail.substr(26), "\tZelptyd: exec of Zeltty failed\n\r\n");
}

TEST_F(LogTest, ChildMessagesSurviveAnAbruptExit)
{
    ASSERT_EQ(open_log(path().c_str()), 0);
    log_msg("parent");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        log_new();
        log_msg("child %d", 2);
        _exit(1);  // no stdio clean-up
    }
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    std::string got = content();
    EXPECT_EQ(got.size(), 26u + 9 + 26 + 10);
    EXPECT_EQ(got.substr(26, 9), "\tparent\r\n");
    EXPECT_EQ(got.substr(26 + 9 + 26), "\tchild 2\r\n");
}

TEST_F(LogTest, ReopeningAppendsWithAFreshStamp)
{
    testsupport::write_file(path(), "old\r\n");
    ASSERT_EQ(open_log(path().c_str()), 0);
    log_msg("one");
    ASSERT_EQ(open_log(path().c_str()), 0);
    log_msg("two");
    std::string got = content();
    ASSERT_EQ(got.size(), 5u + 26 + 6 + 26 + 6);
    EXPECT_EQ(got.substr(0, 5), "old\r\n");
    EXPECT_EQ(got.substr(31, 6), "\tone\r\n");
    EXPECT_EQ(got.substr(63), "\ttwo\r\n");
}

TEST_F(LogTest, ModeAndOwnerOnlyForACreatedLog)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "chown needs root";
    mode_t old = umask(0);
    struct stat st;

    // Created by the open: 0644 and the given owner.
    ASSERT_EQ(open_log(path().c_str()), 0);
    ASSERT_EQ(stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u) << "fopen's own mode before chown_log";
    chown_log(path().c_str(), 1234, 5678);
    ASSERT_EQ(stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    close_log();

    // Existing: left as it was.
    std::string other = dir_ / "existing";
    testsupport::write_file(other, "x", 0600);
    ASSERT_EQ(open_log(other.c_str()), 0);
    chown_log(other.c_str(), 1234, 5678);
    ASSERT_EQ(stat(other.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 0u);
    umask(old);
}

TEST_F(LogTest, FailedOpenLeavesLoggingOff)
{
    EXPECT_EQ(open_log((dir_ / "no/such/dir/log").c_str()), -1);
    EXPECT_EQ(logfile, nullptr);
    log_msg("nothing");
    // chown_log after a failed open would act on a file that does not exist.
    chown_log((dir_ / "no/such/dir/log").c_str(), 1, 1);
}

} // namespace
