// The trace facility: the -z scan among the caller's options, the trace
// file's name and opening, the limits, and a second scan after tc_reset.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testproc.h"
#include "trace.h"

namespace {

// A command line that getopt may rearrange and point into.
struct Args {
    explicit Args(std::vector<std::string> words) : words_(std::move(words))
    {
        for (auto &w : words_)
            ptrs_.push_back(w.data());
        ptrs_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words_.size()); }
    char *const *argv() { return ptrs_.data(); }
    std::vector<std::string> words_;
    std::vector<char *> ptrs_;
};

// Standard error redirected into a file for the life of the object.
class StderrCapture {
public:
    explicit StderrCapture(const std::string &path) : path_(path)
    {
        fflush(stderr);
        saved_ = dup(2);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text()
    {
        restore();
        return testsupport::read_file(path_);
    }

private:
    void restore()
    {
        if (saved_ >= 0) {
            fflush(stderr);
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
    }
    std::string path_;
    int saved_ = -1;
};

// One result of tc_getopt as the caller sees it.
struct Seen {
    int c;
    std::string arg;
    bool operator==(const Seen &) const = default;
};

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tc_reset();
        old_cwd_ = getcwd(nullptr, 0);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override
    {
        tc_reset();
        EXPECT_EQ(chdir(old_cwd_), 0);
        free(old_cwd_);
    }

    // Scans the whole command line, returning what reached the caller.
    std::vector<Seen> scan(Args &a, const char *opts = "kid:n:h:s:")
    {
        std::vector<Seen> seen;
        int c;
        while ((c = tc_getopt(a.argc(), a.argv(), opts)) != -1) {
            seen.push_back({c, optarg != nullptr && c != '?' ? optarg : ""});
            if (seen.size() > 50)
                break;
        }
        return seen;
    }

    bool exists(const std::string &name) { return access((dir_ / name).c_str(), F_OK) == 0; }

    testsupport::TempDir dir_;
    testsupport::TempDir errdir_;
    char *old_cwd_ = nullptr;
};

TEST_F(TraceTest, TraceOptionsMixedAmongCallersOptions)
{
    Args a({"Zelptyd", "-k", "-z", "proc=1", "-n", "svc", "-zlock=3", "-d", "7"});
    auto seen = scan(a);
    std::vector<Seen> want = {{'k', ""}, {'n', "svc"}, {'d', "7"}};
    EXPECT_EQ(seen, want);
    EXPECT_EQ(optind, 9);
    EXPECT_EQ(tc_proc, 1);
    EXPECT_EQ(tc_lock, 3);
    EXPECT_EQ(tc_in, 0);
    ASSERT_NE(tcfile, nullptr);
    EXPECT_TRUE(exists("zeltty.trc"));
}

TEST_F(TraceTest, ScanStopsAtTheCommandAfterTheOptions)
{
    // Option-like words of the command stay the command's.
    Args a({"Zelptyd", "-k", "/bin/sh", "-i", "-z", "proc=1"});
    auto seen = scan(a);
    EXPECT_EQ(seen, (std::vector<Seen>{{'k', ""}}));
    EXPECT_EQ(optind, 2);
    EXPECT_STREQ(a.argv()[2], "/bin/sh");
    EXPECT_STREQ(a.argv()[3], "-i");
    EXPECT_EQ(tc_proc, 0);
    EXPECT_EQ(tcfile, nullptr);
}

TEST_F(TraceTest, SettingsAndTheirEffectOnTheFile)
{
    {
        Args a({"p", "-z", "tracefile=x"});
        scan(a);
        EXPECT_EQ(tcfile, nullptr) << "a file name alone opens nothing";
        EXPECT_FALSE(exists("x"));
    }
    tc_reset();
    {
        Args a({"p", "-z", "proc=0"});
        scan(a);
        EXPECT_NE(tcfile, nullptr) << "a level of 0 still counts as a setting";
        EXPECT_EQ(tc_proc, 0);
    }
    tc_reset();
    {
        Args a({"p", "-z", "in=1,out=2", "-z", "proc=3", "-z", "proc=1", "-z", "lock=-2x"});
        scan(a);
        EXPECT_EQ(tc_in, 1);
        EXPECT_EQ(tc_out, 0);
        EXPECT_EQ(tc_proc, 1);
        EXPECT_EQ(tc_lock, -2);
    }
    tc_reset();
    {
        Args a({"p", "-z", "tracefile=a=b", "-z", "in=1", "-z", "tracefile===c", "-z", "==in=4"});
        scan(a);
        EXPECT_EQ(tc_in, 4) << "leading '=' are skipped";
        EXPECT_TRUE(exists("==c")) << "the value keeps its '=' characters";
    }
}

TEST_F(TraceTest, BadSettingsWarnAndChangeNothing)
{
    StderrCapture err(errdir_ / "err");
    Args a({"Zelptyd", "-z", "PROC=1", "-z", "proc", "-z", "lock=", "-z", "tracefile=",
            "-z", "", "-z", "===", "-k"});
    auto seen = scan(a);
    std::string text = err.text();
    EXPECT_EQ(seen, (std::vector<Seen>{{'k', ""}}));
    EXPECT_EQ(tc_proc, 0);
    EXPECT_EQ(tc_lock, 0);
    EXPECT_EQ(tcfile, nullptr);
    EXPECT_EQ(text, "Zelptyd: warning: unrecognized trace option PROC\n"
                    "Zelptyd: warning: trace option proc has no value, ignored\n"
                    "Zelptyd: warning: trace option lock has no value, ignored\n"
                    "Zelptyd: warning: trace option tracefile has no value, ignored\n");
}

TEST_F(TraceTest, CallerOptionStringWithZIsRefused)
{
    StderrCapture err(errdir_ / "err");
    Args a({"Zelptyd", "-z", "proc=1", "-k"});
    EXPECT_EQ(tc_getopt(a.argc(), a.argv(), "kz"), -1);
    EXPECT_EQ(err.text(), "Zelptyd: tc_getopt error: multiply defined z option\n");
    EXPECT_EQ(optind, 1) << "no option consumed";
    EXPECT_EQ(tc_proc, 0);
}

TEST_F(TraceTest, MissingArgumentAndUnknownOptionReachTheCaller)
{
    StderrCapture err(errdir_ / "err");
    Args a({"p", "-x", "-k", "-z"});
    auto seen = scan(a);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].c, '?');
    EXPECT_EQ(seen[1].c, 'k');
    EXPECT_EQ(seen[2].c, '?');
    EXPECT_NE(err.text(), "");
}

TEST_F(TraceTest, FileNameExpansion)
{
    struct Case {
        const char *given;
        std::string file;
    } cases[] = {
        {"t%%", "t%"},
        {"a%xb", "axb"},
        {"abc%", "abc"},
        {"t.%p", "t." + std::to_string(getpid())},
        {"%p%%p%", std::to_string(getpid()) + "%p"},
    };
    for (const auto &c : cases) {
        tc_reset();
        Args a({"p", "-z", std::string("tracefile=") + c.given, "-z", "out=1"});
        scan(a);
        EXPECT_NE(tcfile, nullptr) << c.given;
        EXPECT_TRUE(exists(c.file)) << c.given << " -> " << c.file;
    }

    tc_reset();
    std::string abs = dir_ / "abs.%p";
    Args a({"p", "-z", "tracefile=" + abs, "-z", "in=1"});
    scan(a);
    EXPECT_TRUE(exists("abs." + std::to_string(getpid())));
}

TEST_F(TraceTest, TraceFileAppendsAndPrintfWritesOnlyWhenOpen)
{
    testsupport::write_file(dir_ / "zeltty.trc", "old\n");
    EXPECT_EQ(tc_printf("nothing %d\n", 1), 0) << "no trace file open";

    Args a({"p", "-z", "proc=2"});
    scan(a);
    ASSERT_NE(tcfile, nullptr);
    EXPECT_EQ(tc_printf("line %d %s", 5, "x"), 8);
    tc_printf("\n");
    fflush(tcfile);
    EXPECT_EQ(testsupport::read_file(dir_ / "zeltty.trc"), "old\nline 5 x\n");

    // A further call after the end of the scan keeps the one stream.
    FILE *first = tcfile;
    EXPECT_EQ(tc_getopt(a.argc(), a.argv(), "k"), -1);
    EXPECT_EQ(tcfile, first);

    // An unopenable trace file leaves tracing off without a message.
    tc_reset();
    StderrCapture err(errdir_ / "err");
    Args b({"p", "-z", "tracefile=no/such/dir/f", "-z", "proc=1"});
    scan(b);
    EXPECT_EQ(tcfile, nullptr);
    EXPECT_EQ(err.text(), "");
}

TEST_F(TraceTest, Limits)
{
    // Option strings: 97 characters are taken, 98 refused.
    std::string opts97(97, 'a'), opts98(98, 'a');
    {
        Args a({"p", "-a", "-z", "in=1"});
        EXPECT_EQ(tc_getopt(a.argc(), a.argv(), opts97.c_str()), 'a');
        EXPECT_EQ(tc_getopt(a.argc(), a.argv(), opts97.c_str()), -1);
        EXPECT_EQ(tc_in, 1);
    }
    tc_reset();
    {
        StderrCapture err(errdir_ / "err");
        Args a({"p", "-a"});
        EXPECT_EQ(tc_getopt(a.argc(), a.argv(), opts98.c_str()), -1);
        EXPECT_NE(err.text().find("option string longer than 97"), std::string::npos);
    }

    // -z arguments: 99 characters are taken, 100 refused as a whole.
    tc_reset();
    {
        std::string name89(89, 'n');
        std::string name90(90, 'm');
        StderrCapture err(errdir_ / "err");
        Args a({"p", "-z", "tracefile=" + name89, "-z", "tracefile=" + name90, "-z", "in=1"});
        scan(a);
        EXPECT_NE(err.text().find("longer than 99"), std::string::npos);
        EXPECT_TRUE(exists(name89));
        std::string level(99 - 5, '0');
        level += "7";
        tc_reset();
        Args b({"p", "-z", "proc=" + level});  // 100 characters
        scan(b);
        EXPECT_EQ(tc_proc, 0);
        EXPECT_EQ(tcfile, nullptr);
    }

    // A name that only grows too long through %p: no trace file at all.
    tc_reset();
    {
        std::string many;
        for (int i = 0; i < 44; i++)
            many += "%p";
        StderrCapture err(errdir_ / "err");
        Args a({"p", "-z", "tracefile=" + many, "-z", "in=1"});
        scan(a);
        EXPECT_EQ(tcfile, nullptr);
        EXPECT_NE(err.text().find("too long once expanded"), std::string::npos);
    }
    // Exactly 127 characters after expansion fit, 128 do not.
    std::string pid = std::to_string(getpid());
    for (size_t want : {127u, 128u}) {
        tc_reset();
        std::string name;
        size_t k = want / pid.size();
        for (size_t i = 0; i < k; i++)
            name += "%p";
        name += std::string(want - k * pid.size(), 'q');
        if (name.size() + 10 > 99)
            continue;  // pid too short to reach the length within one argument
        Args a({"p", "-z", "tracefile=" + name, "-z", "in=1"});
        scan(a);
        EXPECT_EQ(tcfile != nullptr, want == 127) << name;
    }
}

TEST_F(TraceTest, EnumerationOfDimensions)
{
    Args a({"p", "-z", "in=1", "-z", "out=2", "-z", "proc=3", "-z", "lock=4"});
    scan(a);
    std::vector<std::pair<std::string, int>> got;
    int index = 0;
    const char *name;
    int level;
    while (tc_enumdim(&index, &name, &level))
        got.emplace_back(name, level);
    EXPECT_EQ(got, (std::vector<std::pair<std::string, int>>{
                       {"in", 1}, {"out", 2}, {"proc", 3}, {"lock", 4}}));
    EXPECT_EQ(index, 4);

    for (int bad : {4, -1, 1000}) {
        index = bad;
        name = "untouched";
        level = 99;
        EXPECT_EQ(tc_enumdim(&index, &name, &level), 0);
        EXPECT_EQ(index, bad);
        EXPECT_STREQ(name, "untouched");
        EXPECT_EQ(level, 99);
    }
}

TEST_F(TraceTest, ResetAllowsASecondScanOfTheSameLine)
{
    Args a({"Zelptyd", "-kd", "5", "-z", "proc=2", "-z", "tracefile=one", "-n", "x"});
    auto first = scan(a);
    ASSERT_NE(tcfile, nullptr);
    EXPECT_TRUE(exists("one"));

    tc_reset();
    EXPECT_EQ(tcfile, nullptr);
    EXPECT_EQ(tc_proc, 0);
    EXPECT_EQ(optind, 1);
    auto second = scan(a);
    EXPECT_EQ(first, second);
    EXPECT_EQ(tc_proc, 2);
    EXPECT_NE(tcfile, nullptr);

    // A scan abandoned inside a group of options leaves nothing behind.
    tc_reset();
    Args b({"p", "-kk", "-n", "y"});
    EXPECT_EQ(tc_getopt(b.argc(), b.argv(), "kn:"), 'k');
    tc_reset();
    StderrCapture err(errdir_ / "err");
    Args c({"p", "-n", "z"});
    EXPECT_EQ(scan(c, "kn:"), (std::vector<Seen>{{'n', "z"}}));
    EXPECT_EQ(err.text(), "");

    // The file name of the first scan does not carry over.
    tc_reset();
    Args d({"p", "-z", "in=1"});
    scan(d);
    EXPECT_TRUE(exists("zeltty.trc"));
}

} // namespace
