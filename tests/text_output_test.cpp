// The fixed text-output record.
#include <gtest/gtest.h>

#include "context.h"
#include "reader_fixture.h"

using namespace testhost;

namespace {

const uint8_t kRecordStart[9] = {0x00, 0x3E, 0x00, 0x00, 0x00, 0x35, 0x00, 0x00, 0x00};

TEST(TextOutput, WritesTheHintRecordByteForByte)
{
    TestHost host;
    uint32_t status;
    TifContext *ctx = reader().allocateContext(0, 0, &status, host.services(), 0);
    ASSERT_NE(ctx, nullptr);

    uint8_t first[80], second[64];
    std::memset(first, 0x77, sizeof first);
    std::memset(second, 0x11, sizeof second);
    for (uint8_t *buffer : {first, first, second}) {
        uint32_t textStatus = 12345;
        EXPECT_EQ(reader().fillBuffer(ctx, buffer, 0, &textStatus, 0xFFFFFFFF), 0u);
        EXPECT_EQ(textStatus, 100u);
        EXPECT_EQ(std::memcmp(buffer, kRecordStart, 9), 0);
        EXPECT_EQ(std::memcmp(buffer + 9, "sievecheck -i inputfile outputfile-to getsummary info", 53), 0);
        EXPECT_EQ(ctx->outCursor, buffer + 62) << "on a context that was never bound";
    }
    EXPECT_EQ(first[62], 0x77) << "no terminator past the record";
    EXPECT_EQ(std::memcmp(first, second, 62), 0);

    TextOutputRecord record;
    std::memcpy(&record, first, sizeof record);
    const uint32_t recordLength = record.recordLength, textLength = record.textLength;
    EXPECT_EQ(recordLength, sizeof(TextOutputRecord));
    EXPECT_EQ(textLength, 53u);
    reader().freeContext(ctx);
    EXPECT_EQ(host.liveBlocks(), 0u);
}

} // namespace
