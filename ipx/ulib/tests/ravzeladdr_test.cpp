// IPX address <-> universal address record.
#include <string.h>

#include <gtest/gtest.h>

#include "ravzel.h"

namespace {

const ipx_addr sample = {{0x00, 0x00, 0xab, 0xcd}, {0, 0, 0, 0, 0, 1}, {0x80, 0x63}};

TEST(RavzelAddr, IpxAddressThroughARecordAndBack)
{
    uni_addr ua;
    memset(&ua, 0xee, sizeof ua);
    EXPECT_EQ(ravzel_iatoua(&ua, &sample), 0);
    EXPECT_EQ(ua.family, 'X');
    EXPECT_EQ(ua.len, 12);
    EXPECT_EQ(memcmp(ua.data, &sample, 12), 0);
    EXPECT_EQ(ua.data[12], 0xee) << "bytes past the twelfth are left alone";
    EXPECT_STREQ(uni_ntoa(&ua), "X(0000abcd:000000000001:8063)");

    ipx_addr back;
    memset(&back, 0, sizeof back);
    EXPECT_EQ(ravzel_uatoia(&back, &ua), 0);
    EXPECT_EQ(memcmp(&back, &sample, 12), 0);
}

TEST(RavzelAddr, OtherRecordsAreRefusedAndErrnoStays)
{
    uni_addr wrong_len = {'X', 4, {1, 2, 3, 4}};
    uni_addr wrong_family = {'I', 12, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}};
    uni_addr wide_family = {0x158, 12, {}};  // low byte 'X', but not 'X'
    for (const uni_addr *ua : {&wrong_len, &wrong_family, &wide_family}) {
        ravzel_errno = 0;
        ipx_addr ia;
        memset(&ia, 0x5a, sizeof ia);
        EXPECT_EQ(ravzel_uatoia(&ia, ua), -1);
        EXPECT_EQ(ravzel_errno, 1);
        for (size_t i = 0; i < sizeof ia; i++)
            ASSERT_EQ(reinterpret_cast<unsigned char *>(&ia)[i], 0x5a) << "destination touched";
    }

    uni_addr good;
    ipx_addr ia;
    ravzel_iatoua(&good, &sample);
    EXPECT_EQ(ravzel_uatoia(&ia, &good), 0);
    EXPECT_EQ(ravzel_errno, 1) << "a success does not clear the indicator";
}

} // namespace
