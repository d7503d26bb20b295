// The library's exports, the reader table, null arguments and the fixed text record.
#include <gtest/gtest.h>

#include "reader_fixture.h"

using namespace testhost;

namespace {

// The six exports are the functions the table holds; the table's other slots are the host's.
TEST(ReaderTable, ExportsAndSlots)
{
    const char *const exports[] = {"tifAllocateContext", "tifFreeContext", "tifInitDoc", "tifFillBuffer"};
    auto get = reinterpret_cast<TifGetReaderInterfaceFn>(moduleSymbol("tifGetReaderInterface"));
    void *slots[TIF_SLOT_COUNT];
    for (void *&slot : slots)
        slot = reinterpret_cast<void *>(0x5EED5EED);
    get(reinterpret_cast<ReaderInterface *>(slots));
    get(nullptr);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(slots[i], moduleSymbol(exports[i])) << exports[i];
    EXPECT_EQ(slots[5], moduleSymbol("tifGetSummaryInfo"));
    EXPECT_EQ(moduleSymbol("tifGetXmpInfo"), nullptr) << "reachable only through slot 11";
    EXPECT_EQ(moduleSymbol("tifWalkIfds"), nullptr);
    for (int i = 0; i < TIF_SLOT_COUNT; ++i) {
        const bool written = i <= 3 || i == 5 || i == 11;
        EXPECT_EQ(slots[i] != reinterpret_cast<void *>(0x5EED5EED) && slots[i] != nullptr, written) << "slot " << i;
    }
}

// Null pointers where the host must pass valid ones: an orderly return, no service called.
// (Every life also asks both retrievals for a null context.)
TEST(NullArguments, ReturnInOrder)
{
    EXPECT_EQ(reader().allocateContext(0, 0, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(reader().initDoc(nullptr, 0, 0, nullptr), 6u);
    EXPECT_EQ(reader().freeContext(nullptr), 0u);
    TestHost host;
    TifContext *ctx = reader().allocateContext(0, 0, nullptr, host.services(), 0);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(reader().initDoc(ctx, 0, 0, nullptr), 6u);
    uint32_t status = 0;
    EXPECT_EQ(reader().fillBuffer(ctx, nullptr, 0, &status, 0), 0u);
    EXPECT_EQ(status, 100u);
    uint8_t buffer[62];
    EXPECT_EQ(reader().fillBuffer(nullptr, buffer, 0, nullptr, 0), 0u);
    reader().freeContext(ctx);
    EXPECT_EQ(host.liveBlocks(), 0u);
}

TEST(TextOutput, WritesTheHintRecordByteForByte)
{
    TestHost host;
    TifContext *ctx = reader().allocateContext(0, 0, nullptr, host.services(), 0);
    uint8_t out[80];
    std::memset(out, 0x77, sizeof out);
    uint32_t status = 12345;
    EXPECT_EQ(reader().fillBuffer(ctx, out, 0, &status, 0xFFFFFFFF), 0u);
    EXPECT_EQ(status, 100u);
    const std::string expected = std::string("\0\x3E\0\0\0\x35\0\0\0", 9) +
                                 "sievecheck -i inputfile outputfile-to getsummary info" + "\x77";
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 63), expected);
    reader().freeContext(ctx);
}

} // namespace
