// The DateTime text to the host's time value, in fixed time zones.
#include <gtest/gtest.h>

#include "context.h"
#include "reader_fixture.h"

using namespace testhost;

namespace {

struct DateCase {
    const char *tz;
    std::string text; // padded with zeros to count bytes
    uint32_t count;
    int64_t seconds; // -1 when the conversion must fail
};

class DateTime : public ::testing::TestWithParam<DateCase> {};

TEST_P(DateTime, ConvertsOrClearsTheCreationTime)
{
    const DateCase &c = GetParam();
    setTimeZone(c.tz);
    Document doc({'I', 'I', 42, 0, 0, 0, 0, 0});
    ASSERT_EQ(doc.open(), 0u);
    std::memset(doc.ctx->summary.createTime, 0x5A, 8); // as an earlier walk may have left it
    std::string value = c.text;
    value.resize(c.count + 1, '\0');

    const int32_t ok = tifConvertDateTime(doc.ctx, 2, c.count, value.c_str());
    EXPECT_EQ(ok, c.seconds != -1 ? 1 : 0);
    if (c.seconds == -1) {
        static const uint8_t zero[8] = {};
        EXPECT_EQ(std::memcmp(doc.ctx->summary.createTime, zero, 8), 0);
        EXPECT_TRUE(doc.host.timesGiven.empty());
    } else {
        ASSERT_EQ(doc.host.timesGiven.size(), 1u);
        EXPECT_EQ(doc.host.timesGiven[0], c.seconds);
        EXPECT_EQ(secondsFromFileTime(doc.ctx->summary.createTime), c.seconds);
    }
    setTimeZone("UTC0");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DateTime,
    ::testing::Values(
        DateCase{"UTC0", "2024:02:29 13:45:00", 20, 1709214300},
        DateCase{"EST5", "2024:02:29 13:45:00", 20, 1709214300 + 5 * 3600},
        DateCase{"CET-1", "2024:02:29 13:45:00", 20, 1709214300 - 3600},
        DateCase{"UTC0", "2024:02:29 13:45:00", 19, -1},
        DateCase{"UTC0", "2024:02:29 13:45:00", 21, -1},
        DateCase{"UTC0", "2024:1:2 3:4:5", 20, 1704164645},
        DateCase{"UTC0", "0000:00:00 00:00:00", 20, -1},
        DateCase{"UTC0", "    :  :     :  :  ", 20, -1},
        DateCase{"UTC0", "2024:13:01 00:00:00", 20, 1735689600},
        DateCase{"UTC0", "1970:01:01 00:00:00", 20, 0},
        DateCase{"EST5", "1970:01:01 00:00:00", 20, 5 * 3600},
        DateCase{"CET-1", "1970:01:01 00:00:00", 20, -1},
        DateCase{"UTC0", "1969:12:31 23:59:59", 20, -1},
        DateCase{"UTC0", "3000:12:31 23:59:59", 20, 32535215999},
        DateCase{"UTC0", "3001:01:01 00:00:00", 20, -1},
        DateCase{"CET-1", "1970:01:01 01:00:00", 20, 0},
        // Numbers no int holds once 1900 or 1 is taken off: no overflow, just a failure.
        DateCase{"UTC0", "1:2147483648:1 1:1:1", 20, -1},
        DateCase{"UTC0", "2147483648:1:1 1:1:1", 20, -1},
        DateCase{"UTC0", "-999999999:1:1 1:1:1", 20, -1},
        DateCase{"UTC0", "2024:-11:01 00:00:0", 20, 1672531200}));

TEST(DateTime, WrongTypeFails)
{
    Document doc({'I', 'I', 42, 0, 0, 0, 0, 0});
    ASSERT_EQ(doc.open(), 0u);
    std::string value = "2024:02:29 13:45:00";
    value.push_back('\0');
    EXPECT_EQ(tifConvertDateTime(doc.ctx, 7, 20, value.c_str()), 0);
}

} // namespace
