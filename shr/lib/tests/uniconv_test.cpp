// Universal address records: text form, parsing, and the round trip.
#include <errno.h>
#include <string.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "uniconv.h"

namespace {

uni_addr rec(int family, int len, std::vector<unsigned char> bytes)
{
    uni_addr a;
    memset(&a, 0, sizeof a);
    a.family = static_cast<uint16_t>(family);
    a.len = static_cast<uint16_t>(len);
    if (!bytes.empty())
        memcpy(a.data, bytes.data(), bytes.size());
    return a;
}

std::vector<unsigned char> body(const uni_addr *a)
{
    return std::vector<unsigned char>(a->data, a->data + a->len);
}

TEST(UniNtoa, Examples)
{
    struct {
        uni_addr a;
        const char *text;
    } cases[] = {
        {rec('I', 4, {0xc0, 0xa8, 0x01, 0x02}), "I(192.168.1.2)"},
        {rec('X', 12, {0, 0, 0xab, 0xcd, 0, 0, 0, 0, 0, 1, 0x80, 0x63}),
         "X(0000abcd:000000000001:8063)"},
        {rec('A', 4, {1, 2, 5, 0x80}), "A(258.5.128)"},
        {rec('O', 3, {0x0a, 0x0b, 0xff}), "O(0a0bff)"},
        {rec('I', 6, {1, 2, 3, 4, 5, 6}), "I(010203040506)"},
        {rec('X', 0, {}), "X()"},
        // Bytes above 127 are unsigned; families at their wrong length are hex.
        {rec('I', 4, {255, 128, 200, 0}), "I(255.128.200.0)"},
        {rec('A', 4, {0xff, 0xff, 0xff, 0x80}), "A(65535.255.128)"},
        {rec('X', 11, {0xAB}), "X(ab00000000000000000000)"},
        {rec('A', 3, {1, 2, 3}), "A(010203)"},
        {rec(0x149, 4, {1, 2, 3, 4}), "I(1.2.3.4)"},
        {rec(0x4a5a, 1, {0x7f}), "Z(7f)"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(uni_ntoa(&c.a), c.text);
}

TEST(UniNtoa, LengthAboveSixtyUsesSixtyBytesAndFitsTheBuffer)
{
    uni_addr a = rec('O', 0xffff, {});
    memset(a.data, 0xff, sizeof a.data);
    const char *t = uni_ntoa(&a);
    EXPECT_EQ(strlen(t), 123u);
    EXPECT_EQ(std::string(t), "O(" + std::string(120, 'f') + ")");
}

TEST(UniNtoa, ResultIsOneStaticBuffer)
{
    uni_addr a = rec('I', 4, {1, 2, 3, 4});
    uni_addr b = rec('O', 1, {9});
    const char *first = uni_ntoa(&a);
    const char *second = uni_ntoa(&b);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "O(09)");
}

TEST(UniAton, Examples)
{
    struct {
        const char *text;
        int family;
        std::vector<unsigned char> data;
    } cases[] = {
        {"1.2.3.4", 'I', {1, 2, 3, 4}},
        {"I(1.2.3.4)", 'I', {1, 2, 3, 4}},
        {"10.1", 'I', {10, 0, 0, 1}},
        {"1.2.3", 'I', {1, 2, 0, 3}},
        {"0x7f.1", 'I', {0x7f, 0, 0, 1}},
        {"256.1.1.1", 'I', {0, 1, 1, 1}},
        {"1.2.3.4.5", 'I', {1, 2, 3, 4}},
        {"...", 'I', {0, 0, 0, 0}},
        {"abcd:1:8063", 'X', {0, 0, 0xab, 0xcd, 0, 0, 0, 0, 0, 1, 0x80, 0x63}},
        {"X(0000abcd:000000000001:8063)", 'X', {0, 0, 0xab, 0xcd, 0, 0, 0, 0, 0, 1, 0x80, 0x63}},
        {"::8063", 'X', {0, 0, 0x80, 0x63, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"A(1.2.3)", 'A', {0, 1, 2, 3}},
        {"A(258.5.128)", 'A', {1, 2, 5, 0x80}},
        {"0a0bff", 'O', {0x0a, 0x0b, 0xff}},
        {"abc", 'O', {0x0a, 0xbc}},
        {"I(0a0b0c0d)", 'I', {0x0a, 0x0b, 0x0c, 0x0d}},
        {"Z(1234)", 'Z', {0x12, 0x34}},
        // More of the rules: runs of separators, octal, signs, garbage.
        {"1..2", 'I', {1, 0, 0, 2}},
        {".1.2.3.4.", 'I', {1, 2, 3, 4}},
        {"010.0X10.-1.+7", 'I', {8, 16, 0xff, 7}},
        {"x.y.z.w", 'I', {0, 0, 0, 0}},
        {"0x1020304.", 'I', {1, 2, 3, 4}},
        {"99999999999.1.1.1", 'I', {0xff, 1, 1, 1}},
        {"A(0x10000.300)", 'A', {0, 0, 0x2c, 0}},
        {"A()", 'A', {0, 0, 0, 0}},
        {"I(zz)", 'I', {0}},
        {"X(12345)", 'X', {0x01, 0x23, 0x45}},
        {"123456789:1234567890abcdef:12345", 'X',
         {0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0x56, 0x78, 0x90, 0xab, 0x12, 0x34}},
        {"1:2:3:4", 'X', {0, 0, 0, 1, 0, 0, 0, 0, 0, 2, 0, 3}},
        {"X(1:2", 'X', {0, 0, 0, 1, 0, 0, 0, 0, 0, 2, 0, 0}},
        {"x(1.2)", 'x', {0x01, 0x02}},
        {"O(1)x)", 'O', {0x01, 0x00}},
        {"g", 'O', {0}},
        {"(", 'O', {0}},
        {"(()", '(', {}},
    };
    for (const auto &c : cases) {
        uni_addr *a = uni_aton(c.text);
        ASSERT_NE(a, nullptr) << c.text;
        EXPECT_EQ(a->family, c.family) << c.text;
        EXPECT_EQ(body(a), c.data) << c.text;
    }
}

TEST(UniAton, EmptyTextAndStaticResult)
{
    EXPECT_EQ(uni_aton(""), nullptr);
    EXPECT_EQ(uni_aton(nullptr), nullptr);
    uni_addr *a = uni_aton("1.2.3.4");
    uni_addr *b = uni_aton("0a");
    EXPECT_EQ(a, b);
    EXPECT_EQ(b->family, 'O');
}

TEST(UniAton, LongAndMalformedTextsStayInBounds)
{
    // 130 hex digits: the first 120 make 60 bytes.
    std::string hex;
    for (int i = 0; i < 130; i++)
        hex += "0123456789abcdef"[i % 16];
    uni_addr *a = uni_aton(hex.c_str());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->len, 60);
    EXPECT_EQ(a->data[0], 0x01);
    EXPECT_EQ(a->data[59], 0x67) << "digits 118 and 119";

    // Texts of growing and shrinking size through the one work buffer,
    // long fields in every family; the sanitizers watch the buffers.
    std::string huge(100000, '7');
    for (const std::string &t :
         {huge, "I(" + huge + ")", "X(" + huge + ":" + huge + ":" + huge + ")",
          "A(" + huge + "." + huge + ")", huge + "." + huge, std::string("1"), "Q(" + huge,
          std::string(5000, '.'), std::string(5000, ':'), std::string(5000, '('),
          std::string(5000, ')'), std::string("\xff\x80(\xff\xfe)")}) {
        uni_addr *r = uni_aton(t.c_str());
        ASSERT_NE(r, nullptr);
        EXPECT_LE(r->len, 60);
        const char *text = uni_ntoa(r);
        EXPECT_LE(strlen(text), 123u);
    }
}

TEST(UniAton, RandomTextsStayInBounds)
{
    std::mt19937 rng(7);
    const std::string alphabet = "0123456789abcdefgxX.:()IXAOZ -+\t\xff";
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(1, 200);
    for (int i = 0; i < 20000; i++) {
        std::string t;
        for (int n = length(rng); n > 0; n--)
            t += alphabet[pick(rng)];
        uni_addr *r = uni_aton(t.c_str());
        ASSERT_NE(r, nullptr) << t;
        ASSERT_LE(r->len, 60) << t;
        ASSERT_LE(strlen(uni_ntoa(r)), 123u);
    }
}

TEST(UniAton, RecordsReadBackFromTheirText)
{
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string letters = "BCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    int checked = 0;

    auto check = [&](int family, int len) {
        uni_addr r;
        memset(&r, 0, sizeof r);
        r.family = static_cast<uint16_t>(family);
        r.len = static_cast<uint16_t>(len);
        for (int i = 0; i < len; i++)
            r.data[i] = static_cast<unsigned char>(byte(rng));
        std::string text = uni_ntoa(&r);
        uni_addr *back = uni_aton(text.c_str());
        ASSERT_NE(back, nullptr) << text;
        EXPECT_EQ(back->family, family) << text;
        EXPECT_EQ(body(back), body(&r)) << text;
        checked++;
    };

    for (int round = 0; round < 20; round++) {
        check('A', 4);
        for (char f : letters)
            for (int len = 0; len <= UNI_MAXLEN; len++)
                check(f, len);
    }
    EXPECT_GT(checked, 50000);
}

TEST(UniStrtoul, ThirtyTwoBitRules)
{
    char *end;
    const char *s;

    s = "  \t-1";
    EXPECT_EQ(uni_strtoul(s, &end, 0), 0xffffffffUL);
    EXPECT_EQ(end, s + 5);

    s = "4294967295x";
    errno = 0;
    EXPECT_EQ(uni_strtoul(s, &end, 10), 4294967295UL);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(*end, 'x');

    s = "4294967296 rest";
    EXPECT_EQ(uni_strtoul(s, &end, 10), 4294967295UL);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_STREQ(end, " rest") << "every digit consumed on overflow";

    s = "-99999999999";
    EXPECT_EQ(uni_strtoul(s, nullptr, 0), 4294967295UL);

    EXPECT_EQ(uni_strtoul("0x1F", nullptr, 0), 31UL);
    EXPECT_EQ(uni_strtoul("0X1f", nullptr, 16), 31UL);
    EXPECT_EQ(uni_strtoul("0777", nullptr, 0), 511UL);
    EXPECT_EQ(uni_strtoul("089", nullptr, 0), 0UL);
    EXPECT_EQ(uni_strtoul("zZ", nullptr, 36), 36UL * 35 + 35);
    EXPECT_EQ(uni_strtoul("101", nullptr, 2), 5UL);

    s = "nothing";
    EXPECT_EQ(uni_strtoul(s, &end, 0), 0UL);
    EXPECT_EQ(end, s);
    s = "0xg";
    EXPECT_EQ(uni_strtoul(s, &end, 0), 0UL);
    EXPECT_EQ(end, s);

    s = "12";
    errno = 0;
    EXPECT_EQ(uni_strtoul(s, &end, 1), 0UL);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(end, s);
    EXPECT_EQ(uni_strtoul(s, &end, 37), 0UL);
}

} // namespace
