// The manual pages: each renders without a warning and indexes; every
// installed program and unit has its page; every option that a program's
// usage names is in its page; tli(3) names every call of <tiuser.h>.
#include "product.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

using namespace product;

namespace {

std::vector<std::string> pages()
{
    std::vector<std::string> out;
    std::string dir = source_path("docs/man");
    if (DIR *d = opendir(dir.c_str())) {
        while (auto *e = readdir(d)) {
            std::string n = e->d_name;
            if (std::regex_match(n, std::regex(R"([A-Za-z_]+\.[1-8])")))
                out.push_back(dir + "/" + n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// A page's text with troff's \- turned into -.
std::string page_text(const std::string &name)
{
    std::string s = testsupport::read_file(source_path("docs/man/" + name));
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '-')
            continue;
        out += s[i];
    }
    return out;
}

bool has_page(const std::string &name)
{
    return !testsupport::read_file(source_path("docs/man/" + name)).empty();
}

} // namespace

TEST(ManualPages, RenderWithoutWarningsAndIndex)
{
    auto all = pages();
    ASSERT_GE(all.size(), 8u);
    for (const auto &p : all) {
        Result g = run({"groff", "-ww", "-z", "-t", "-man", "-Tutf8", p});
        EXPECT_EQ(g.status, 0) << p << g.text();
        EXPECT_EQ(g.err, "") << p;
        Result m = sh("man --warnings -l '" + p + "' >/dev/null", {{"MANWIDTH", "80"}});
        EXPECT_EQ(m.status, 0) << p << m.text();
        EXPECT_EQ(m.err, "") << p;
        // What mandb makes of the NAME section (whatis, apropos).
        Result l = run({"lexgrog", p});
        EXPECT_EQ(l.status, 0) << p << l.text();
        EXPECT_NE(l.out.find(" - "), std::string::npos) << p << l.text();
    }
}

TEST(ManualPages, EveryProgramAndUnitHasItsPage)
{
    for (const char *p : {"zelterm.1", "ipxstackd.8", "Ombrad.8", "Zelptyd.8", "Zeltty.8", "dunmere.8",
                          "sapwait.8", "tli.3"})
        EXPECT_TRUE(has_page(p)) << p;
    std::regex doc(R"(man:([A-Za-z_]+)\(([1-8])\))");
    for (const char *unit : {"ipxstackd.service", "Ombrad.service", "Zelptyd.service"}) {
        std::string text = testsupport::read_file(source_path(std::string("platform/systemd/") + unit));
        ASSERT_NE(text.find("Documentation="), std::string::npos) << unit;
        int n = 0;
        for (std::sregex_iterator it(text.begin(), text.end(), doc), end; it != end; ++it, ++n)
            EXPECT_TRUE(has_page((*it)[1].str() + "." + (*it)[2].str())) << unit << ": " << (*it)[0];
        EXPECT_GT(n, 0) << unit;
    }
}

TEST(ManualPages, NameEveryOptionOfTheUsage)
{
    struct Program {
        std::string path, page;
    };
    std::vector<Program> programs = {
        {"platform/stack/ipxstackd", "ipxstackd.8"},
        {"platform/ombrad/Ombrad", "Ombrad.8"},
        {"platform/systemd/sapwait", "sapwait.8"},
        {"platform/zelterm/zelterm", "zelterm.1"},
    };
    std::regex option(R"((^|[\s\[|(])(--?[A-Za-z][A-Za-z-]*))");
    for (const auto &p : programs) {
        Result r = run({testsupport::build_path(p.path), "-h"});
        EXPECT_EQ(r.status, 0) << p.path << r.text();
        std::string usage = r.out + r.err;
        std::string page = page_text(p.page);
        std::set<std::string> seen;
        for (std::sregex_iterator it(usage.begin(), usage.end(), option), end; it != end; ++it)
            seen.insert((*it)[2]);
        EXPECT_FALSE(seen.empty()) << p.path << usage;
        for (const auto &o : seen)
            EXPECT_NE(page.find(o), std::string::npos) << p.page << " does not name " << o;
    }
}

TEST(ManualPages, TliPageNamesEveryCall)
{
    auto calls = tli_calls();
    ASSERT_GE(calls.size(), 25u);
    std::string page = page_text("tli.3");
    size_t synopsis = page.find(".SH SYNOPSIS"), description = page.find(".SH DESCRIPTION");
    ASSERT_NE(synopsis, std::string::npos);
    std::string name = page.substr(0, synopsis), syn = page.substr(synopsis, description - synopsis);
    for (const auto &c : calls) {
        EXPECT_TRUE(std::regex_search(name, std::regex("\\b" + c + "\\b"))) << "NAME lacks " << c;
        EXPECT_NE(syn.find(c + "("), std::string::npos) << "SYNOPSIS lacks " << c;
    }
}
