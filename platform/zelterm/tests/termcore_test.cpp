#include "termcore.h"

#include <gtest/gtest.h>

using namespace zelterm;

namespace {

std::string parsed(const std::string &text)
{
    uint8_t a[12];
    std::string error;
    AddrParse r = parse_address(text, a, error);
    if (r == AddrParse::NotAnAddress)
        return "name";
    if (r == AddrParse::Bad)
        return "bad: " + error;
    return format_address(a);
}

std::string typed(EscapeDetector &d, const std::string &in, bool &quit)
{
    return d.feed(reinterpret_cast<const uint8_t *>(in.data()), in.size(), quit);
}

} // namespace

TEST(ZeltermAddress, ParsesHexFieldsRightAligned)
{
    EXPECT_EQ(parsed("1:1:8063"), "00000001:000000000001:8063");
    EXPECT_EQ(parsed("DEADBEEF:0123456789aB:ffff"), "DEADBEEF:0123456789AB:FFFF");
    EXPECT_EQ(parsed("0:7f000001:4"), "00000000:00007F000001:0004");
    EXPECT_EQ(parsed("ZELHOST"), "name");
}

TEST(ZeltermAddress, RejectsWhatIsNotAnAddress)
{
    for (const char *bad : {"1:2", "1:2:3:4", ":1:8063", "1::8063", "1:1:", "123456789:1:1", "1:1234567890123:1",
                            "1:1:12345", "1:1:0", "g:1:1", "1:1:80 63", "-1:1:1", "1:+1:1"})
        EXPECT_EQ(parsed(bad).rfind("bad: ", 0), 0u) << bad;
    EXPECT_NE(parsed("1:2").find("NET:NODE:SOCKET"), std::string::npos);
    EXPECT_NE(parsed("1:xyz:1").find("node"), std::string::npos);
}

TEST(ZeltermEscape, TildeDotAtLineStartEndsTheSession)
{
    for (const char *start : {"", "ls\r", "ls\n"}) {
        EscapeDetector d;
        bool quit = false;
        EXPECT_EQ(typed(d, std::string(start) + "~.after", quit), start);
        EXPECT_TRUE(quit) << start;
    }
    // Split over reads.
    EscapeDetector d;
    bool quit = false;
    EXPECT_EQ(typed(d, "x\r~", quit), "x\r");
    EXPECT_FALSE(quit);
    EXPECT_EQ(typed(d, ".", quit), "");
    EXPECT_TRUE(quit);
}

TEST(ZeltermEscape, EverythingElseIsSentUnchanged)
{
    EscapeDetector d;
    bool quit = false;
    EXPECT_EQ(typed(d, "a~.", quit), "a~.");      // not at a line start
    EXPECT_EQ(typed(d, "\r~~.", quit), "\r~.");   // "~~" is one "~"
    EXPECT_EQ(typed(d, "\r~x", quit), "\r~x");    // any other character
    EXPECT_EQ(typed(d, "\r~\r~.", quit), "\r~\r");  // "~" then Return: a new line start
    EXPECT_TRUE(quit);
}

TEST(ZeltermList, RowsShowNamesSafely)
{
    const uint8_t a[12] = {0, 0, 0, 1, 0, 0, 0x7f, 0, 0, 1, 0x80, 0x63};
    std::string row = list_row("ZEL\x1b[2JHOST", 0x247, a, 3);
    EXPECT_EQ(row.find('\x1b'), std::string::npos);
    EXPECT_NE(row.find("ZEL?[2JHOST"), std::string::npos);
    EXPECT_NE(row.find(" 0247 "), std::string::npos);
    EXPECT_NE(row.find("00000001:00007F000001:8063"), std::string::npos);
    EXPECT_EQ(row.substr(row.size() - 3), " 3\n");
}
