// The benchmark's command line, statistics and result table (nothing is
// timed here).
#include "benchlib.h"

#include <gtest/gtest.h>

#include <vector>

using namespace bench;

namespace {

int parse(std::vector<const char *> args, Options &opt, std::string &msg)
{
    args.insert(args.begin(), "spxbench");
    return parse_options(static_cast<int>(args.size()), const_cast<char *const *>(args.data()),
                         opt, msg);
}

} // namespace

TEST(BenchOptions, ValuesAndDefaults)
{
    Options opt;
    std::string msg;
    ASSERT_EQ(parse({}, opt, msg), 1);
    EXPECT_EQ(opt.unit_size, 2048u);
    EXPECT_TRUE(opt.spx && opt.tcp);

    ASSERT_EQ(parse({"--units", "10", "--size", "65536", "--rounds", "3", "--ping-size", "534",
                     "--stackd", "/x/ipxstackd", "--wrap", "valgrind --tool=callgrind",
                     "--status", "--only", "tcp"},
                    opt, msg),
              1)
        << msg;
    EXPECT_EQ(opt.units, 10u);
    EXPECT_EQ(opt.unit_size, 65536u);
    EXPECT_EQ(opt.rounds, 3u);
    EXPECT_EQ(opt.ping_size, 534u);
    EXPECT_EQ(opt.stackd, "/x/ipxstackd");
    EXPECT_EQ(opt.wrap, "valgrind --tool=callgrind");
    EXPECT_TRUE(opt.status);
    EXPECT_FALSE(opt.spx);
    EXPECT_TRUE(opt.tcp);

    EXPECT_EQ(parse({"--help"}, opt, msg), 0);
    EXPECT_NE(msg.find("usage: spxbench"), std::string::npos);
}

TEST(BenchOptions, BadValuesAreRefusedByName)
{
    const std::vector<std::vector<const char *>> bad = {
        {"--units"},          {"--units", "0"},       {"--units", "-5"},
        {"--units", "12x"},   {"--size", "65537"},    {"--ping-size", "535"},
        {"--rounds", ""},     {"--only", "udp"},      {"--stackd"},
        {"--bogus"},          {"--units", "99999999999999999999999"},
    };
    for (const auto &args : bad) {
        Options opt;
        std::string msg;
        EXPECT_EQ(parse(args, opt, msg), -1) << args[0];
        EXPECT_NE(msg.find(args[0]), std::string::npos) << msg;
    }
}

TEST(BenchStats, PercentileNearestRank)
{
    EXPECT_EQ(percentile({}, 50), -1);
    EXPECT_EQ(percentile({7}, 99), 7);
    std::vector<double> v;
    for (int i = 100; i >= 1; i--)  // unsorted on purpose
        v.push_back(i);
    EXPECT_EQ(percentile(v, 50), 50);
    EXPECT_EQ(percentile(v, 99), 99);
    EXPECT_EQ(percentile(v, 100), 100);
    EXPECT_EQ(percentile({1, 2, 3, 1000}, 50), 2);
    EXPECT_EQ(percentile({1, 2, 3, 1000}, 99), 1000);
}

TEST(BenchTable, RowsRatioAndGoal)
{
    Options opt;
    Result spx{60.0, 40.0, 90.0}, tcp{100.0, 20.0, 30.0};
    std::string t = format_table(opt, spx, tcp);
    EXPECT_NE(t.find("20000 units of 2048 bytes"), std::string::npos) << t;
    EXPECT_NE(t.find("throughput (MB/s)                 60.0       100.0     0.60\n"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find("round trip median (us)            40.0        20.0     2.00\n"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find("round trip p99 (us)               90.0        30.0     3.00\n"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find(": met\n"), std::string::npos) << t;
    EXPECT_EQ(t.find("for reference"), std::string::npos) << t;
    t = format_table(opt, spx, tcp, 25.0);
    EXPECT_NE(t.find("per unit: 25.0 MB/s (0.25 x TCP)\n"), std::string::npos) << t;

    // Exactly half meets the goal; just under does not.
    EXPECT_TRUE(goal_met({50.0, 1, 1}, tcp));
    EXPECT_FALSE(goal_met({49.9, 1, 1}, tcp));
    EXPECT_NE(format_table(opt, {49.9, 1, 1}, tcp).find("NOT met"), std::string::npos);

    // A side that did not run shows dashes and no verdict.
    t = format_table(opt, spx, Result{});
    EXPECT_NE(t.find("throughput (MB/s)                 60.0           -        -\n"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find("not measured"), std::string::npos) << t;
    EXPECT_FALSE(goal_met(spx, Result{}));
}
