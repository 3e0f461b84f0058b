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

TEST(BenchStats, MedianOfOddAndEvenCounts)
{
    EXPECT_EQ(median({}), -1);
    EXPECT_EQ(median({5}), 5);
    EXPECT_EQ(median({9, 1, 5}), 5);
    EXPECT_EQ(median({10, 1, 3, 4}), 3.5);
}

TEST(BenchReaders, ProcAndStraceTexts)
{
    // The "Pss:" line, not one of the Pss_ lines around it.
    const std::string rollup =
        "55d0c0a00000-7ffd1b1d5000 ---p 00000000 00:00 0 [rollup]\n"
        "Rss:                3072 kB\n"
        "Pss_Anon:            300 kB\n"
        "Pss:                1234 kB\n"
        "Pss_Dirty:           400 kB\n";
    EXPECT_EQ(pss_kib(rollup), 1234);
    EXPECT_EQ(pss_kib("Rss: 12 kB\nPss_Anon: 3 kB\n"), -1);

    EXPECT_EQ(schedstat_ns("1520334 20100 17\n"), 1520334);
    EXPECT_EQ(schedstat_ns(""), -1);

    const std::string status = "Name:\tZeltty\nvoluntary_ctxt_switches:\t120\n"
                               "nonvoluntary_ctxt_switches:\t7\n";
    EXPECT_EQ(context_switches(status), 127);
    EXPECT_EQ(context_switches("Name:\tx\nvoluntary_ctxt_switches:\t1\n"), -1);

    // The errors column is empty when no call failed.
    const std::string summary =
        "% time     seconds  usecs/call     calls    errors syscall\n"
        "------ ----------- ----------- --------- --------- ----------------\n"
        " 60.00    0.000600           6       100           read\n"
        " 40.00    0.000400           4       100        50 recvmsg\n"
        "------ ----------- ----------- --------- --------- ----------------\n"
        "100.00    0.001000           5       200        50 total\n";
    EXPECT_EQ(strace_total_calls(summary), 200);
    EXPECT_EQ(strace_total_calls("100.00    0.000010           1        42           total\n"), 42);
    EXPECT_EQ(strace_total_calls("strace: attach: ptrace(PTRACE_SEIZE, 7): No such process\n"), -1);
    EXPECT_EQ(strace_total_calls(""), 0);  // traced, and blocked throughout
}

TEST(BenchSuiteTable, MediansRatiosAndGoalsInBothDirections)
{
    Series s;
    s["zel.echo"] = {300, 100, 200};       // median 200
    s["telnet.echo"] = {100, 90, 110};     // median 100
    s["zel.bulk"] = {40, 50};              // median 45
    s["telnet.bulk"] = {30, -1, 30};       // a failed round is left out
    s["zel.mem"] = {500};
    std::vector<Figure> f = {
        {"keystroke echo", "us", "zel.echo", "telnet.echo", "telnet", Figure::kLower, 1},
        {"bulk output", "MB/s", "zel.bulk", "telnet.bulk", "telnet", Figure::kHigher, 1},
        {"memory per session", "KiB", "zel.mem", "ssh.mem", "sshd", Figure::kLower, 0.25},
        {"CPU per keystroke", "us", "zel.cpu", "telnet.cpu", "telnet", Figure::kLower, 0},
    };
    EXPECT_EQ(figure_value(s, "zel.echo"), 200);
    EXPECT_EQ(figure_value(s, "telnet.bulk"), 30);
    EXPECT_EQ(figure_value(s, "ssh.mem"), -1);

    // Lower is better: twice telnet's time misses "no slower"; higher is
    // better: 1.5 x telnet's throughput meets "at least telnet's".
    EXPECT_EQ(verdict(f[0], 200, 100), "NOT met");
    EXPECT_EQ(verdict(f[0], 100, 100), "met");
    EXPECT_EQ(verdict(f[1], 45, 30), "met");
    EXPECT_EQ(verdict(f[1], 29, 30), "NOT met");
    EXPECT_EQ(verdict(f[2], 500, -1), "");
    EXPECT_EQ(verdict(f[3], 10, 5), "");

    std::string t = format_suite_table(f, s);
    auto line_of = [&](const std::string &start) {
        size_t at = t.find(start);
        return at == std::string::npos ? std::string() : t.substr(at, t.find('\n', at) - at);
    };
    std::string echo = line_of("keystroke echo  ");
    EXPECT_NE(echo.find(" 200 "), std::string::npos) << t;
    EXPECT_NE(echo.find(" 100 "), std::string::npos) << t;
    EXPECT_NE(echo.find("2.00  <= 1.00  NOT met"), std::string::npos) << t;
    std::string bulk = line_of("bulk output  ");
    EXPECT_NE(bulk.find("45.0"), std::string::npos) << t;
    EXPECT_NE(bulk.find("1.50  >= 1.00  met"), std::string::npos) << t;
    std::string mem = line_of("memory per session  ");
    EXPECT_NE(mem.find("sshd"), std::string::npos) << t;
    EXPECT_NE(mem.find("-       -  <= 0.25"), std::string::npos) << t;
    EXPECT_EQ(mem.find("met"), std::string::npos) << t;
    // Every round's values are listed under the table.
    EXPECT_NE(t.find("  keystroke echo                          300 100 200 | 100 90.0 110\n"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find("  bulk output                             40.0 50.0 | 30.0 - 30.0\n"),
              std::string::npos)
        << t;
}
