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

// Feeds `in` whole; the text sent, with each command shown as "<.>",
// "<?>" or "<Z>".
std::string typed(EscapeDetector &d, const std::string &in)
{
    std::string out;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(in.data());
    size_t n = in.size();
    while (n > 0) {
        size_t used = 0;
        Escape e = d.feed(p, n, out, used);
        p += used;
        n -= used;
        if (e == Escape::Quit)
            out += "<.>";
        else if (e == Escape::Help)
            out += "<?>";
        else if (e == Escape::Suspend)
            out += "<Z>";
    }
    return out;
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

TEST(ZeltermEscape, CommandsActOnlyAtTheStartOfALine)
{
    for (const char *start : {"", "ls\r", "ls\n"}) {
        EscapeDetector d;
        EXPECT_EQ(typed(d, std::string(start) + "~.after"), std::string(start) + "<.>after") << start;
    }
    EscapeDetector d;
    EXPECT_EQ(typed(d, "a~."), "a~.");           // not at a line start
    EXPECT_EQ(typed(d, "\r~~."), "\r~.");         // "~~" is one "~"
    EXPECT_EQ(typed(d, "\r~x"), "\r~x");          // any other character: both
    EXPECT_EQ(typed(d, "\r~\r~."), "\r~\r<.>");   // "~" then Return: a new line start
    // After a list or a suspension the line start goes on: another escape
    // may follow at once.
    EXPECT_EQ(typed(d, "\r~?~\x1a~.x"), "\r<?><Z><.>x");

    // Split over reads, one byte at a time.
    EscapeDetector e;
    std::string out;
    for (char c : std::string("x\r~?~."))
        out += typed(e, std::string(1, c));
    EXPECT_EQ(out, "x\r<?><.>");
}

TEST(ZeltermTexts, UsageListsEveryOptionAndEscape)
{
    std::string u = usage_text();
    for (const char *opt : {"-l, --list", "-q, --quiet", "-w, --connect-timeout=SECONDS", "-h, --help",
                            "-V, --version", "~.", "~?", "~^Z", "~~", "255", "128+N", "TERM", "IPX_DEVDIR"})
        EXPECT_NE(u.find(opt), std::string::npos) << opt;
    EXPECT_EQ(u.rfind("usage: zelterm ", 0), 0u);
    EXPECT_EQ(version_text().rfind("zelterm ", 0), 0u);
    EXPECT_NE(version_text().find("session protocol 2"), std::string::npos);
    std::string h = escape_help();
    for (const char *esc : {" ~.", " ~^Z", " ~?", " ~~"})
        EXPECT_NE(h.find(esc), std::string::npos) << esc;
    EXPECT_EQ(h.find("\n", h.find("\n") + 1) - 1, h.find("\r\n", h.find("\n") + 1));  // raw terminal: CR LF
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
